// CPU the library spends per sample notification through BlueZ's D-Bus API, on both ways
// notifications reach it: AcquireNotify sockets and PropertiesChanged(Value) signals.
//
// Starts mivoble-fake-bluetoothd on a private bus with one legacy amplifier (8 signal
// channels and a counter, one frame per notification) at --rate Hz (default 2000), opens it
// through the C interface with the bluez backend, streams for --seconds (default 5) and
// divides the process's CPU time (user + system) by the notifications received. Each path
// runs in a child process of its own, so neither sees the other's threads or caches; with
// --repeat N the paths take turns N times and the median and range are printed (the machine's
// other load moves single runs by a few microseconds).
// Options: --rate HZ, --seconds S, --repeat N, --path acquire|signal (one path only), --log PATH.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "mivoble/mivoble.h"
#include "support/fake_bluetoothd.h"

namespace {

constexpr const char* kAmplifier = "MV-2401.00.09";
std::atomic<uint64_t> g_rows{0};

void OnRows(MIVOBLE_HANDLE, const float*, uint32_t rowCount, uint32_t) { g_rows += rowCount; }

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Result {
    double microsecondsPerNotification = -1;
    double notificationsPerSecond = 0;
};

// One measurement in this process: the fake, the open, warm-up, then `seconds` of streaming.
Result Measure(const std::string& path, int rate, double seconds, const std::string& log) {
    using Mivo::BLE::Testing::FakeBluetoothd;
    FakeBluetoothd fake(std::string(kAmplifier) + ",rate=" + std::to_string(rate));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", fake.Address().c_str(), 1);
    setenv("MIVOBLE_BACKEND", "bluez", 1);
    setenv("MIVOBLE_BLUEZ_NOTIFY", path.c_str(), 1);
    MIVOBLE_SetLogFile(log.c_str());
    MIVOBLE_HANDLE h = 0;
    if (MIVOBLE_OpenDevice(kAmplifier, &h) != MIVOBLE_OK) {
        std::fprintf(stderr, "open failed: %s\n", MIVOBLE_GetLastErrorText());
        return {};
    }
    MIVOBLE_RegisterDataAvailableBatchedCallback(h, OnRows);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // warm-up: the stream settles
    const uint64_t rows0 = g_rows;
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint64_t rows1 = g_rows;
    const double cpu1 = CpuSeconds();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    MIVOBLE_RegisterDataAvailableBatchedCallback(h, nullptr);
    MIVOBLE_CloseDevice(&h);
    MIVOBLE_Shutdown();
    Result r;
    const uint64_t notifications = rows1 - rows0;  // one frame per notification
    if (notifications > 0) r.microsecondsPerNotification = (cpu1 - cpu0) * 1e6 / static_cast<double>(notifications);
    r.notificationsPerSecond = static_cast<double>(notifications) / wall;
    return r;
}

// Runs Measure in a child process and reads its result through a pipe.
Result MeasureInChild(const std::string& path, int rate, double seconds, const std::string& log) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Result r = Measure(path, rate, seconds, log);
        (void)!write(fds[1], &r, sizeof r);
        _exit(0);
    }
    close(fds[1]);
    Result r;
    if (read(fds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) r = {};
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    int rate = 2000, repeat = 1;
    double seconds = 5;
    std::string only, log = "/dev/null";
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i], value = argv[i + 1];
        if (key == "--rate") rate = std::atoi(value.c_str());
        else if (key == "--seconds") seconds = std::atof(value.c_str());
        else if (key == "--path") only = value;
        else if (key == "--repeat") repeat = std::max(1, std::atoi(value.c_str()));
        else if (key == "--log") log = value;
        else {
            std::fprintf(stderr,
                         "usage: %s [--rate HZ] [--seconds S] [--repeat N] [--path acquire|signal] [--log PATH]\n",
                         argv[0]);
            return 2;
        }
    }
    std::printf("library CPU per notification, %s at %d Hz (8 channels and a counter, one frame per notification)\n",
                kAmplifier, rate);
    int failed = 0;
    std::map<std::string, std::vector<double>> runs;
    for (int round = 0; round < repeat; ++round) {
        for (const char* path : {"acquire", "signal"}) {
            if (!only.empty() && only != path) continue;
            Result r = MeasureInChild(path, rate, seconds, log);
            if (r.microsecondsPerNotification < 0) {
                std::printf("  %-8s no notifications\n", path);
                failed = 1;
                continue;
            }
            runs[path].push_back(r.microsecondsPerNotification);
            if (repeat == 1)
                std::printf("  %-8s %6.1f us per notification (%.0f notifications/s over %.1f s)\n", path,
                            r.microsecondsPerNotification, r.notificationsPerSecond, seconds);
        }
    }
    if (repeat > 1) {
        for (auto& [path, values] : runs) {
            std::sort(values.begin(), values.end());
            std::printf("  %-8s %6.1f us per notification (median of %zu runs of %.1f s; %.1f to %.1f)\n", path.c_str(),
                        values[values.size() / 2], values.size(), seconds, values.front(), values.back());
        }
    }
    return failed;
}
