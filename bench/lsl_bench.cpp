// The LSL bridge on the simulated radio, measured from an inlet in the same process (prints a
// table; not a timed test):
//   - latency from a row's arrival at the bridge (the library's data callback) to the sample
//     being handed to an inlet on this machine: median and 99th percentile;
//   - the sample times against the simulator's emission grid (it sends payload k at
//     t0 + k * frames / rate, at the next connection event): spread of time - k / rate after
//     the first 10 s, around its median;
//   - CPU per thread group: the bridge (its thread and liblsl's outlet threads), the simulated
//     amplifier with the library's decoding (threads "sim-*"), and the inlet.
//
//   LSLAPICFG=/path/to/loopback-only/lsl_api.cfg MIVOBLE_LSL_LIBRARY=/path/to/liblsl.so
//     build/release/bench/lsl_bench [seconds]            (one command line)
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <sys/stat.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cli/library.h"
#include "cli/lsl_bridge.h"
#include "cli/lsl_library.h"
#include "cli/lsl_outlet.h"
#include "cli/lsl_pump.h"

using namespace Mivo::Cli;

namespace {

struct Config {
    const char* label;
    const char* name;
    int channels;
    int rate;
    int frames;
};
const Config kConfigs[] = {
    {"8 ch x 250 Hz", "MV-2401.00.21", 8, 250, 1},
    {"32 ch x 2 kHz", "MV-2401.00.22", 32, 2000, 2},
};

// Arrival of every row at the bridge, in order: the pump stamps each row with this clock.
double (*g_lslClock)() = nullptr;
std::mutex g_arrivalsMutex;
std::vector<double> g_arrivals;
double RecordingClock() {
    double t = g_lslClock();
    std::lock_guard<std::mutex> lock(g_arrivalsMutex);
    g_arrivals.push_back(t);
    return t;
}

// CPU seconds per thread name since the process started.
std::map<std::string, double> ThreadCpu() {
    std::map<std::string, double> cpu;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream stat(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stod(field);
            if (i == 15) stime = std::stod(field);
        }
        cpu[line.substr(open + 1, close - open - 1) + "#" + entry->d_name] = (utime + stime) / tick;
    }
    closedir(dir);
    return cpu;
}

std::string Group(const std::string& thread) {
    if (thread.rfind("sim-", 0) == 0) return "simulator";
    if (thread.rfind("bench-", 0) == 0 || thread.rfind("R_", 0) == 0 || thread.rfind("T_", 0) == 0) return "inlet";
    return "bridge";
}

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

// The inlet functions of liblsl this benchmark uses.
struct Inlet {
    int32_t (*resolve_byprop)(LslStreamInfo*, uint32_t, const char*, const char*, int32_t, double);
    void* (*create_inlet)(LslStreamInfo, int32_t, int32_t, int32_t);
    void (*open_stream)(void*, double, int32_t*);
    double (*pull_sample_f)(void*, float*, int32_t, double, int32_t*);
    unsigned long (*pull_chunk_f)(void*, float*, double*, unsigned long, unsigned long, double, int32_t*);
    void (*destroy_inlet)(void*);
};

template <typename F>
void Bind(void* handle, const char* name, F& f) {
    f = reinterpret_cast<F>(dlsym(handle, name));
    if (!f) {
        std::fprintf(stderr, "liblsl lacks %s\n", name);
        std::exit(1);
    }
}

void Run(const Config& config, const LslLibrary& lsl, const Inlet& in, double seconds) {
    const auto& api = lsl.Api();
    Device device(config.name);
    const auto info = device.Information();
    const uint32_t width = info.numberOfAcquiredChannels;
    BridgeLayout layout{
        width, {}, static_cast<int>(width) - 3};  // every column; the counter is before battery and valid
    LslStreamDescription d;
    d.name = config.name;
    d.sourceId = std::string(config.name) + "-bench";
    d.rate = info.samplingRate;
    for (uint32_t c = 0; c < width; ++c) {
        layout.columns.push_back(c);
        d.channels.push_back({"c" + std::to_string(c), "", "MISC"});
    }
    LslOutlets outlets(api, d);
    RowBridge bridge(layout, d.rate, outlets);
    {
        std::lock_guard<std::mutex> lock(g_arrivalsMutex);
        g_arrivals.clear();
        g_arrivals.reserve(static_cast<size_t>(seconds * config.rate * 1.2) + 1000);
    }

    // The inlet: every sample's counter, time and the moment the inlet handed it over.
    LslStreamInfo found = nullptr;
    if (in.resolve_byprop(&found, 1, "source_id", d.sourceId.c_str(), 1, 10.0) != 1)
        throw std::runtime_error("the outlet was not found");  // the outlets end on the way out
    void* inlet = in.create_inlet(found, 360, 0, 1);
    api.destroy_streaminfo(found);
    int32_t ec = 0;
    in.open_stream(inlet, 10.0, &ec);
    std::vector<double> counters, stamps, received;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        pthread_setname_np(pthread_self(), "bench-inlet");
        std::vector<float> data(4096 * width);
        std::vector<double> times(4096);
        while (!stop) {
            // Waits for one sample, then takes what else has come with it.
            int32_t error = 0;
            times[0] = in.pull_sample_f(inlet, data.data(), static_cast<int32_t>(width), 0.2, &error);
            if (times[0] == 0.0) continue;
            unsigned long n = width + in.pull_chunk_f(inlet, data.data() + width, times.data() + 1, data.size() - width,
                                                      times.size() - 1, 0.0, &error);
            const double now = api.local_clock();
            for (unsigned long r = 0; r < n / width; ++r) {
                counters.push_back(data[r * width + width - 3]);
                stamps.push_back(times[r]);
                received.push_back(now);
            }
        }
    });

    const auto cpuBefore = ThreadCpu();
    const auto wallBefore = std::chrono::steady_clock::now();
    {
        LslPump pump(device.Handle(), bridge, &RecordingClock);
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));  // the measured span
        pump.Stop();
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const auto cpuAfter = ThreadCpu();
    // The inlet drains what is still on its way.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop = true;
    reader.join();
    in.destroy_inlet(inlet);

    std::map<std::string, double> groups;
    for (const auto& [thread, cpu] : cpuAfter) {
        auto before = cpuBefore.find(thread);
        groups[Group(thread.substr(0, thread.find('#')))] += cpu - (before == cpuBefore.end() ? 0.0 : before->second);
    }

    std::vector<double> latency, residual;
    std::vector<double> arrivals;
    {
        std::lock_guard<std::mutex> lock(g_arrivalsMutex);
        arrivals = g_arrivals;
    }
    const double settle = 10.0 * config.rate;
    for (size_t i = 0; i < counters.size(); ++i) {
        const auto k = static_cast<int64_t>(counters[i]) - 1;  // the counter numbers samples from 1
        if (k < 0 || static_cast<size_t>(k) >= arrivals.size()) continue;
        latency.push_back(received[i] - arrivals[static_cast<size_t>(k)]);
        if (static_cast<double>(k) >= settle) residual.push_back(stamps[i] - static_cast<double>(k) / config.rate);
    }
    // For comparison: how the arrivals themselves scatter about the grid (above their earliest).
    std::vector<double> late;
    for (size_t k = static_cast<size_t>(settle); k < arrivals.size(); ++k)
        late.push_back(arrivals[k] - static_cast<double>(k) / config.rate);
    const double earliest = late.empty() ? 0.0 : *std::min_element(late.begin(), late.end());
    for (double& l : late) l -= earliest;
    const double median = Quantile(residual, 0.5);
    std::vector<double> deviation;
    for (double r : residual) deviation.push_back(std::abs(r - median));
    std::printf(
        "%-14s %8zu samples  latency median %6.3f ms p99 %6.3f ms  jitter after 10 s p99 %6.3f ms max %6.3f ms"
        " (arrivals p99 %6.3f ms)  CPU bridge %5.2f %%  simulator+library %5.2f %%  inlet %5.2f %%\n",
        config.label, counters.size(), 1e3 * Quantile(latency, 0.5), 1e3 * Quantile(latency, 0.99),
        1e3 * Quantile(deviation, 0.99), 1e3 * Quantile(deviation, 1.0), 1e3 * Quantile(late, 0.99),
        100 * groups["bridge"] / wall, 100 * groups["simulator"] / wall, 100 * groups["inlet"] / wall);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const char* cfg = std::getenv("LSLAPICFG");
    struct stat st {};
    if (!cfg || stat(cfg, &st) != 0) {
        std::fprintf(stderr, "set LSLAPICFG to an lsl_api.cfg that keeps LSL on the loopback address\n");
        return 2;
    }
    std::string sim;
    for (const auto& c : kConfigs)
        sim += std::string(c.name) + ",channels=" + std::to_string(c.channels) + ",rate=" + std::to_string(c.rate) +
               ",frames=" + std::to_string(c.frames) + ",interval=7.5,mtu=517;";
    setenv("MIVOBLE_BACKEND", "sim", 1);
    setenv("MIVOBLE_SIM", sim.c_str(), 1);
    try {
        LslLibrary lsl;
        g_lslClock = lsl.Api().local_clock;
        void* handle = dlopen(lsl.Path().c_str(), RTLD_NOW | RTLD_NOLOAD);
        Inlet in{};
        Bind(handle, "lsl_resolve_byprop", in.resolve_byprop);
        Bind(handle, "lsl_create_inlet", in.create_inlet);
        Bind(handle, "lsl_open_stream", in.open_stream);
        Bind(handle, "lsl_pull_sample_f", in.pull_sample_f);
        Bind(handle, "lsl_pull_chunk_f", in.pull_chunk_f);
        Bind(handle, "lsl_destroy_inlet", in.destroy_inlet);
        std::printf("liblsl %s, %.0f s per configuration, connection interval 7.5 ms\n",
                    LslLibrary::VersionText(lsl.Version()).c_str(), seconds);
        for (const auto& c : kConfigs) Run(c, lsl, in, seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        MIVOBLE_Shutdown();
        if (LslOutletsKept()) EndProcessWithKeptOutlets(1);
        return 1;
    }
    MIVOBLE_Shutdown();
    if (LslOutletsKept()) EndProcessWithKeptOutlets(0);
    return 0;
}
