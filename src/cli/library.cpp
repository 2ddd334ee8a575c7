#include "cli/library.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "cli/cli_error.h"
#include "cli/interrupts.h"

namespace Mivo::Cli {

void Check(int32_t rc, const char* what) {
    if (rc == MIVOBLE_OK) return;
    const char* text = MIVOBLE_GetLastErrorText();
    std::string message =
        std::string(what) + ": " + (text && *text ? text : "failed") + " (code " + std::to_string(rc) + ")";
    throw OperationError(message);
}

void ApplySettings(const LibrarySettings& settings) {
    if (!settings.backend.empty()) setenv("MIVOBLE_BACKEND", settings.backend.c_str(), 1);
    if (settings.simSet) setenv("MIVOBLE_SIM", settings.sim.c_str(), 1);
    if (!settings.logFile.empty()) Check(MIVOBLE_SetLogFile(settings.logFile.c_str()), "log file");
}

WaitNotice::WaitNotice(const std::string& what, bool lines) : what_(what), lines_(lines) {
    std::fprintf(stderr, lines_ ? "%s ...\n" : "%s ... ", what.c_str());
    std::fflush(stderr);
}

void WaitNotice::Done(const std::string& result) {
    if (!open_) return;
    if (lines_) std::fprintf(stderr, "%s: %s\n", what_.c_str(), result.c_str());
    else std::fprintf(stderr, "%s\n", result.c_str());
    open_ = false;
}

WaitNotice::~WaitNotice() { Done("failed"); }

namespace {

std::mutex g_listMutex;
std::condition_variable g_listChanged;
uint64_t g_listVersion = 0;

void OnListChanged(uint32_t) {
    {
        std::lock_guard<std::mutex> lock(g_listMutex);
        ++g_listVersion;
    }
    g_listChanged.notify_all();
}

// The scan that searches and opens share: started by the first of them, stopped by the last.
std::mutex g_scanMutex;
unsigned g_scanUsers = 0;

class ScanUse {
public:
    ScanUse() {
        std::lock_guard<std::mutex> lock(g_scanMutex);
        if (g_scanUsers == 0) {
            Check(MIVOBLE_RegisterDeviceListChangedCallback(&OnListChanged), "scan");
            int32_t rc = MIVOBLE_StartScanning();
            if (rc != MIVOBLE_OK) {
                MIVOBLE_RegisterDeviceListChangedCallback(nullptr);
                Check(rc, "scan");
            }
        }
        ++g_scanUsers;
    }
    ~ScanUse() {
        std::lock_guard<std::mutex> lock(g_scanMutex);
        if (--g_scanUsers > 0) return;
        MIVOBLE_RegisterDeviceListChangedCallback(nullptr);
        MIVOBLE_StopScanning();
    }
    ScanUse(const ScanUse&) = delete;
    ScanUse& operator=(const ScanUse&) = delete;
};

bool Discovered(const std::string& name) {
    int32_t count = MIVOBLE_GetDiscoveredDeviceCount();
    for (int32_t i = 0; i < count; ++i) {
        char buffer[MIVOBLE_DEVICENAME_LENGTH_MAX + 1] = {};
        if (MIVOBLE_GetDiscoveredDeviceName(static_cast<uint32_t>(i), buffer, sizeof buffer) == MIVOBLE_OK &&
            name == buffer)
            return true;
    }
    return false;
}

// Waits until the amplifier advertises, so that a wrong name fails after a short, stated wait.
void AwaitAdvertisement(const std::string& name, const OpenSettings& settings, WaitNotice& notice) {
    auto stopped = [&settings] { return settings.stopped && settings.stopped(); };
    const auto limit = settings.advertisementLimit;
    auto deadline = std::chrono::steady_clock::now() + limit;
    bool found = false;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(g_listMutex);
            seen = g_listVersion;
        }
        found = Discovered(name);
        if (found || stopped() || std::chrono::steady_clock::now() >= deadline) break;
        std::unique_lock<std::mutex> lock(g_listMutex);
        g_listChanged.wait_until(lock, deadline, [seen] { return g_listVersion != seen; });
    }
    if (!found && stopped()) {
        notice.Done("stopped");
        throw Interrupted("stopped while looking for " + name);
    }
    if (!found) {
        notice.Done("not found");
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", std::chrono::duration<double>(limit).count());
        throw OperationError("open " + name + ": no amplifier of that name advertised within " + seconds + " s");
    }
    notice.Done("seen");
}

}  // namespace

void WakeAmplifierSearches() { OnListChanged(0); }

Device::Device(const std::string& name, Interrupts* interrupts, std::chrono::milliseconds advertisementLimit)
    : name_(name) {
    Open({advertisementLimit, [interrupts] { return interrupts && interrupts->Requested(); }, false}, interrupts);
}

Device::Device(const std::string& name, const OpenSettings& settings) : name_(name) { Open(settings, nullptr); }

void Device::Open(const OpenSettings& settings, Interrupts* wakeSearchOn) {
    std::optional<ScanUse> scan;
    {
        WaitNotice notice("looking for " + name_, settings.lineNotices);
        InterruptHooks hooks(wakeSearchOn, &WakeAmplifierSearches);
        scan.emplace();
        AwaitAdvertisement(name_, settings, notice);
    }
    WaitNotice notice("opening " + name_ + " (connecting, reading its configuration)", settings.lineNotices);
    int32_t rc = MIVOBLE_OpenDevice(name_.c_str(), &handle_);
    if (rc != MIVOBLE_OK) {
        notice.Done("failed");
        Check(rc, ("open " + name_).c_str());
    }
    notice.Done("open");
}

Device::~Device() {
    if (handle_) MIVOBLE_CloseDevice(&handle_);
}

std::vector<std::unique_ptr<Device>> OpenAll(const std::vector<std::string>& names, Interrupts& interrupts,
                                             std::chrono::milliseconds advertisementLimit) {
    // The opens run on detached threads that own what they share with this one: a second stop
    // request quits the process at once, maybe while one open still waits on the radio and
    // another has finished, and no thread may then be left finished but not joined.
    struct Shared {
        std::vector<std::unique_ptr<Device>> devices;
        std::vector<std::string> failures;
        // Once one amplifier cannot be opened, the others need not be looked for any longer.
        std::atomic<bool> abandoned{false};
        std::mutex mutex;
        std::condition_variable finished;
        size_t running = 0;
    };
    auto shared = std::make_shared<Shared>();
    shared->devices.resize(names.size());
    shared->failures.resize(names.size());
    shared->running = names.size();
    Interrupts* stop = &interrupts;
    const OpenSettings settings{advertisementLimit,
                                [shared, stop] { return shared->abandoned.load() || stop->Requested(); }, true};
    auto give = [shared](size_t i, std::unique_ptr<Device> device, std::string failure, size_t count) {
        if (!failure.empty()) {
            shared->abandoned = true;
            WakeAmplifierSearches();
        }
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->devices[i] = std::move(device);
        shared->failures[i] = std::move(failure);
        shared->running -= count;
        if (shared->running == 0) shared->finished.notify_all();
    };
    {
        InterruptHooks hooks(&interrupts, &WakeAmplifierSearches);
        for (size_t i = 0; i < names.size(); ++i) {
            try {
                std::thread([give, settings, name = names[i], i] {
                    std::unique_ptr<Device> device;
                    std::string failure;
                    try {
                        device = std::make_unique<Device>(name, settings);
                    } catch (const Interrupted&) {
                        // stopped looking: asked to, or another amplifier failed
                    } catch (const std::exception& e) {
                        failure = e.what();
                    } catch (...) {
                        failure = "open " + name + ": failed";
                    }
                    give(i, std::move(device), std::move(failure), 1);
                }).detach();
            } catch (const std::exception& e) {
                // This and the later amplifiers are not opened; the others stop looking.
                give(i, nullptr, "open " + names[i] + ": " + e.what(), names.size() - i);
                break;
            }
        }
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->finished.wait(lock, [&shared] { return shared->running == 0; });
    }
    auto devices = std::move(shared->devices);
    const auto failures = shared->failures;
    if (interrupts.Requested()) throw Interrupted("stopped while opening the amplifiers");
    std::string failed;
    for (const auto& failure : failures)
        if (!failure.empty()) failed += (failed.empty() ? "" : "; ") + failure;
    if (!failed.empty()) throw OperationError(failed);
    return devices;
}

MIVOBLE_DEVICE_INFORMATION Device::Information() const {
    MIVOBLE_DEVICE_INFORMATION info{};
    Check(MIVOBLE_GetDeviceInformation(handle_, &info), "device information");
    return info;
}

std::vector<MIVOBLE_CHANNEL_CONFIGURATION> Device::Channels() const {
    std::vector<MIVOBLE_CHANNEL_CONFIGURATION> channels(MIVOBLE_NUMBER_OF_CHANNELS_MAX);
    uint32_t count = static_cast<uint32_t>(channels.size());
    Check(MIVOBLE_GetChannelConfiguration(handle_, channels.data(), &count), "channel configuration");
    channels.resize(count);
    return channels;
}

RowColumns DescribeColumns(const std::vector<MIVOBLE_CHANNEL_CONFIGURATION>& channels, size_t width) {
    RowColumns columns;
    columns.signalCount = width >= 2 ? width - 2 : 0;
    for (size_t c = 0; c < columns.signalCount; ++c) {
        std::string name = "ch" + std::to_string(c + 1);
        for (const auto& ch : channels) {
            if (ch.id == c + 1 && ch.type == kChannelTypeCounter) {
                name = "counter";
                columns.counterColumn = static_cast<int>(c);
            }
        }
        columns.names.push_back(name);
    }
    columns.names.push_back("battery");
    columns.names.push_back("valid");
    return columns;
}

const char* GuessGeneration(const std::vector<MIVOBLE_CHANNEL_CONFIGURATION>& channels) {
    bool hostDefault = channels.size() == 1 && channels[0].id == 1 && channels[0].type == 1 && channels[0].index == 1 &&
                       channels[0].scale == 1.0f;
    return hostDefault ? "nus" : "legacy";
}

}  // namespace Mivo::Cli
