// The tool's view of libmivoble: result checking, the process environment it reads,
// and an open amplifier that is closed again on every path.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mivoble/mivoble.h"

namespace Mivo::Cli {

// Throws OperationError with "<what>: <library error text>" unless rc is MIVOBLE_OK.
void Check(int32_t rc, const char* what);

// Sets MIVOBLE_BACKEND / MIVOBLE_SIM (before the library first reads them) and the log file.
struct LibrarySettings {
    std::string backend;  // empty: leave the environment as it is
    std::string sim;      // set only when simSet
    bool simSet = false;
    std::string logFile;  // empty: the library's default
};
void ApplySettings(const LibrarySettings& settings);

// Stops the library's Bluetooth runtime when the command ends.
class LibraryShutdown {
public:
    LibraryShutdown() = default;
    ~LibraryShutdown() { MIVOBLE_Shutdown(); }
    LibraryShutdown(const LibraryShutdown&) = delete;
    LibraryShutdown& operator=(const LibraryShutdown&) = delete;
};

// Writes "what ... " to stderr before a blocking call and ends the line with its outcome,
// so a user sees what the tool is waiting for. With `lines` (waits running side by side) each
// of the two is a line of its own, the outcome as "what: result".
class WaitNotice {
public:
    explicit WaitNotice(const std::string& what, bool lines = false);
    ~WaitNotice();
    WaitNotice(const WaitNotice&) = delete;
    WaitNotice& operator=(const WaitNotice&) = delete;
    void Done(const std::string& result);

private:
    std::string what_;
    bool lines_;
    bool open_ = true;
};

class Interrupts;

// A --wait option's seconds as a limit.
inline std::chrono::milliseconds Milliseconds(double seconds) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
}

// How long an amplifier may take to show up in the scan before the tool gives up on it.
constexpr std::chrono::milliseconds kAdvertisementLimit{10000};

// How an open looks for its amplifier and says what it waits for.
struct OpenSettings {
    std::chrono::milliseconds advertisementLimit = kAdvertisementLimit;
    std::function<bool()> stopped;  // true: stop looking (Interrupted); asked again at WakeAmplifierSearches()
    bool lineNotices = false;       // whole lines, for opens running side by side
};

// Makes every search for an amplifier ask its `stopped` again.
void WakeAmplifierSearches();

// One opened amplifier. Opening reports what it waits for on stderr; a stop request while it
// looks for the amplifier ends the wait at once (Interrupted). Several may be opened at once
// from several threads: they share one scan.
class Device {
public:
    explicit Device(const std::string& name, Interrupts* interrupts = nullptr,
                    std::chrono::milliseconds advertisementLimit = kAdvertisementLimit);
    Device(const std::string& name, const OpenSettings& settings);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    MIVOBLE_HANDLE Handle() const { return handle_; }
    const std::string& Name() const { return name_; }
    MIVOBLE_DEVICE_INFORMATION Information() const;
    std::vector<MIVOBLE_CHANNEL_CONFIGURATION> Channels() const;

private:
    // `wakeSearchOn`: a stop request there wakes the search (nullptr: the caller sees to it).
    void Open(const OpenSettings& settings, Interrupts* wakeSearchOn);

    std::string name_;
    MIVOBLE_HANDLE handle_ = 0;
};

// Opens every named amplifier at once, one thread each, whether the library runs the opens side
// by side or one after the other. When one fails, the searches still under way stop, the
// amplifiers that did open are closed, and OperationError names every failure; a stop request
// ends the searches, waits for opens under way and closes them (Interrupted).
std::vector<std::unique_ptr<Device>> OpenAll(const std::vector<std::string>& names, Interrupts& interrupts,
                                             std::chrono::milliseconds advertisementLimit);

// Column names of a sample row: one per channel (from the channel table), then battery and valid.
struct RowColumns {
    std::vector<std::string> names;  // width entries
    int counterColumn = -1;          // column of the last counter channel, -1 if none
    size_t signalCount = 0;          // width - 2
};
RowColumns DescribeColumns(const std::vector<MIVOBLE_CHANNEL_CONFIGURATION>& channels, size_t width);

// Generation as the public interface shows it: a device whose channel table is the host-set
// default (one type-1 channel with scale 1.0) is the command-frame generation.
const char* GuessGeneration(const std::vector<MIVOBLE_CHANNEL_CONFIGURATION>& channels);

constexpr uint8_t kChannelTypeCounter = 5;

}  // namespace Mivo::Cli
