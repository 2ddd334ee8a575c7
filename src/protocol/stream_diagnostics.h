#pragma once
// Stream diagnostics on the standard error stream, switched on by MIVOBLE_DEBUG_STREAM=1
// (exactly "1"; the variable is read once per process). Each message is printed at most
// once per process, whatever the number of devices.
#include <atomic>
#include <cstddef>
#include <cstdio>

namespace Mivo::BLE {

class StreamDiagnostics {
public:
    StreamDiagnostics(bool enabled, std::FILE* out) : enabled_(enabled), out_(out) {}

    // The process-wide instance (reads the environment on first use).
    static StreamDiagnostics& Instance();
    // Whether a value of MIVOBLE_DEBUG_STREAM switches the diagnostics on (null: off).
    static bool SwitchValueEnables(const char* value);

    bool Enabled() const { return enabled_; }
    void FirstNotification(size_t length);
    void ParseError(const char* text);
    void UnknownError();

private:
    bool Claim(std::atomic<bool>& flag) { return enabled_ && !flag.exchange(true); }

    const bool enabled_;
    std::FILE* const out_;
    std::atomic<bool> firstNotification_{false};
    std::atomic<bool> parseError_{false};
    std::atomic<bool> unknownError_{false};
};

}  // namespace Mivo::BLE
