// Several amplifiers at once on the simulated radio, through the C interface.
//
// Three measurements, each in a process of its own (the simulator reads its amplifiers once
// per process):
//   latency  B's command-frame round trip while A drops its link every 4 s and needs 2.5 s of
//            service discovery to come back (frames that overlap one of A's reconnects); B
//            alone first, for comparison.
//   open     one open, then four different amplifiers opened from four threads at once,
//            at a 30 ms connection interval; several rounds.
//   cpu      four legacy amplifiers streaming 8 channels at 1 kHz together: process CPU time
//            (library and simulator) per second of wall time, rows per second, threads.
// Options: --part latency|open|cpu (default: all three), --seconds N (latency and cpu window,
// default 20 and 10), --rounds N (open, default 3), --log PATH (library log, default /dev/null).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mivoble/mivoble.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Options {
    std::string part;
    int seconds = 0;
    int rounds = 3;
    std::string log = "/dev/null";
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t index =
        std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
    return values[index];
}

void Describe(const char* label, const std::vector<double>& ms) {
    std::printf("  %-26s n=%-5zu median %7.2f ms   p99 %8.2f ms   worst %8.2f ms\n", label, ms.size(),
                Percentile(ms, 0.5), Percentile(ms, 0.99), ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()));
}

bool Open(const char* name, MIVOBLE_HANDLE& handle) {
    if (MIVOBLE_OpenDevice(name, &handle) == MIVOBLE_OK) return true;
    std::fprintf(stderr, "open %s failed: %s\n", name, MIVOBLE_GetLastErrorText());
    return false;
}

// ---- latency ----

// A's link-state changes, in ms since the bench's start: lost, back, lost, back, ...
std::mutex g_stateMutex;
std::vector<std::pair<double, uint32_t>> g_states;
Clock::time_point g_start = Clock::now();

void OnState(MIVOBLE_HANDLE, uint32_t state) {
    std::lock_guard<std::mutex> lock(g_stateMutex);
    g_states.emplace_back(MsSince(g_start), state);
}

struct Frame {
    double start, ms;  // start in ms since the bench's start, round trip in ms
};

// Echo frames on `handle` for `seconds`, one every 5 ms.
std::vector<Frame> EchoFor(MIVOBLE_HANDLE handle, double seconds, int& failures) {
    std::vector<Frame> out;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    const uint8_t payload[4] = {'p', 'i', 'n', 'g'};
    while (Clock::now() < end) {
        uint8_t status = 0;
        uint8_t response[64];
        uint16_t length = sizeof response;
        const auto start = Clock::now();
        const int32_t rc = MIVOBLE_SendFrame(handle, 0x01, payload, sizeof payload, &status, response, &length, 10000);
        out.push_back({std::chrono::duration<double, std::milli>(start - g_start).count(), MsSince(start)});
        if (rc != MIVOBLE_OK) ++failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return out;
}

std::vector<double> Times(const std::vector<Frame>& frames) {
    std::vector<double> out;
    for (const auto& f : frames) out.push_back(f.ms);
    return out;
}

int Latency(const Options& o) {
    setenv("MIVOBLE_SIM", "MV-2401.00.01,drop_every=4000,delay=GetGattServicesAsync:2500;MV-2401.00.02,gen=nus", 1);
    const double seconds = o.seconds > 0 ? o.seconds : 20;
    MIVOBLE_HANDLE a = 0, b = 0;
    if (!Open("MV-2401.00.02", b)) return 1;
    std::printf("B's command-frame round trip (echo, 4 bytes), %.0f s each\n", seconds);
    int failures = 0;
    Describe("B alone", Times(EchoFor(b, seconds, failures)));
    const auto openStart = Clock::now();
    if (!Open("MV-2401.00.01", a)) return 1;
    std::printf("  (A opened in %.0f ms)\n", MsSince(openStart));
    MIVOBLE_RegisterConnectionStateCallback(a, OnState);
    const std::vector<Frame> frames = EchoFor(b, seconds, failures);
    MIVOBLE_RegisterConnectionStateCallback(a, nullptr);

    // Frames that overlap a reconnect of A (from its loss to its return).
    std::vector<std::pair<double, double>> reconnects;
    {
        std::lock_guard<std::mutex> lock(g_stateMutex);
        for (size_t i = 0; i < g_states.size(); ++i) {
            if (g_states[i].second != MIVOBLE_CONNECTION_LOST) continue;
            const double end = i + 1 < g_states.size() ? g_states[i + 1].first : 1e300;
            reconnects.emplace_back(g_states[i].first, end);
        }
    }
    std::vector<double> during;
    for (const auto& f : frames)
        for (const auto& [from, to] : reconnects)
            if (f.start < to && f.start + f.ms > from) {
                during.push_back(f.ms);
                break;
            }
    Describe("B, A open (all frames)", Times(frames));
    Describe("B, while A reconnects", during);
    std::printf("  A lost its link %zu times; B's failed frames: %d\n", reconnects.size(), failures);
    MIVOBLE_CloseDevice(&a);
    MIVOBLE_CloseDevice(&b);
    MIVOBLE_Shutdown();
    return failures == 0 ? 0 : 1;
}

// ---- open ----

const char* kOpenNames[] = {"MV-2401.00.11", "MV-2401.00.12", "MV-2401.00.13", "MV-2401.00.14", "MV-2401.00.15"};

int OpenTimes(const Options& o) {
    std::string sim;
    for (const char* name : kOpenNames) sim += std::string(sim.empty() ? "" : ";") + name + ",interval=30";
    setenv("MIVOBLE_SIM", sim.c_str(), 1);
    std::printf("Open time at a 30 ms connection interval (legacy amplifiers)\n");
    std::vector<double> single, parallel;
    for (int round = 1; round <= o.rounds; ++round) {
        MIVOBLE_HANDLE h = 0;
        auto start = Clock::now();
        if (!Open(kOpenNames[0], h)) return 1;
        single.push_back(MsSince(start));
        MIVOBLE_CloseDevice(&h);

        MIVOBLE_HANDLE handles[4] = {};
        double each[4] = {};
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        start = Clock::now();
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([&, i] {
                const auto mine = Clock::now();
                if (!Open(kOpenNames[1 + i], handles[i])) ++failed;
                each[i] = MsSince(mine);
            });
        }
        for (auto& t : threads) t.join();
        parallel.push_back(MsSince(start));
        if (failed) return 1;
        std::printf("  round %d: one open %6.0f ms; four from four threads %6.0f ms (each %.0f, %.0f, %.0f, %.0f)\n",
                    round, single.back(), parallel.back(), each[0], each[1], each[2], each[3]);
        for (auto& handle : handles) MIVOBLE_CloseDevice(&handle);
    }
    const double one = Percentile(single, 0.5), four = Percentile(parallel, 0.5);
    std::printf("  median: one open %.0f ms, four parallel %.0f ms, ratio %.2f\n", one, four, four / one);
    MIVOBLE_Shutdown();
    return 0;
}

// ---- cpu ----

std::atomic<uint64_t> g_rows[4];

void OnRows(MIVOBLE_HANDLE handle, const float*, uint32_t rowCount, uint32_t) {
    if (handle >= 1 && handle <= 4) g_rows[handle - 1] += rowCount;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

int Threads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    return -1;
}

int Cpu(const Options& o) {
    const char* names[] = {"MV-2401.00.21", "MV-2401.00.22", "MV-2401.00.23", "MV-2401.00.24"};
    std::string sim;
    for (const char* name : names) sim += std::string(sim.empty() ? "" : ";") + name + ",channels=8,rate=1000";
    setenv("MIVOBLE_SIM", sim.c_str(), 1);
    const double seconds = o.seconds > 0 ? o.seconds : 10;
    MIVOBLE_HANDLE handles[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (!Open(names[i], handles[i])) return 1;
        MIVOBLE_SetFramesPerCallback(handles[i], 10);
        MIVOBLE_RegisterDataAvailableBatchedCallback(handles[i], OnRows);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // streams settle
    uint64_t before[4];
    for (int i = 0; i < 4; ++i) before[i] = g_rows[i].load();
    const double cpu0 = CpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall = MsSince(start) / 1000.0;
    const double cpu = CpuSeconds() - cpu0;
    std::printf("Four amplifiers streaming 8 channels at 1 kHz (10 rows per callback), %.0f s\n", seconds);
    std::printf("  CPU %.1f %% of one core (library and simulator), %d threads in the process\n", 100.0 * cpu / wall,
                Threads());
    for (int i = 0; i < 4; ++i)
        std::printf("  %s: %.0f rows/s\n", names[i], static_cast<double>(g_rows[i].load() - before[i]) / wall);
    for (auto& handle : handles) MIVOBLE_CloseDevice(&handle);
    MIVOBLE_Shutdown();
    return 0;
}

int RunPart(const Options& o) {
    setenv("MIVOBLE_BACKEND", "sim", 1);
    MIVOBLE_SetLogFile(o.log.c_str());
    if (o.part == "latency") return Latency(o);
    if (o.part == "open") return OpenTimes(o);
    if (o.part == "cpu") return Cpu(o);
    std::fprintf(stderr, "unknown part '%s'\n", o.part.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--part") == 0) o.part = argv[i + 1];
        else if (std::strcmp(argv[i], "--seconds") == 0) o.seconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0) o.rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--log") == 0) o.log = argv[i + 1];
    }
    if (!o.part.empty()) return RunPart(o);

    // Every part in a child process of its own, one after the other.
    int worst = 0;
    for (const char* part : {"latency", "open", "cpu"}) {
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            o.part = part;
            const int rc = RunPart(o);
            std::fflush(stdout);
            _exit(rc);
        }
        int status = 0;
        waitpid(child, &status, 0);
        const int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        if (rc != 0) std::fprintf(stderr, "part %s failed (%d)\n", part, rc);
        worst = std::max(worst, rc);
        std::printf("\n");
    }
    return worst;
}
