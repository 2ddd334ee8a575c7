// The two LSL outlets of one amplifier: its samples (type EEG, the amplifier's rate, float32,
// described after the XDF conventions for EEG) and its markers (type Markers, irregular, one
// string channel). Destroying the object takes both off the network, except an outlet that a
// consumer is still connected to (see ~LslOutlets).
#pragma once

#include <string>
#include <vector>

#include "cli/lsl_bridge.h"
#include "cli/lsl_library.h"

namespace Mivo::Cli {

struct LslChannel {
    std::string label;
    std::string unit;  // XDF unit name ("microvolts"), empty when the values have none
    std::string type;  // XDF channel type ("EEG", "MISC")
};

struct LslStreamDescription {
    std::string name;      // stream name: the amplifier's name
    std::string sourceId;  // its serial number
    double rate = 0;
    std::vector<LslChannel> channels;
    std::string manufacturer, model, serialNumber, firmware, hardware;
};

class LslOutlets : public BridgeSink {
public:
    // Throws OperationError when liblsl cannot create an outlet.
    LslOutlets(const LslFunctions& api, const LslStreamDescription& description);
    // Destroys the outlets without consumers. liblsl serves every consumer on a thread of its
    // own that lsl_destroy_outlet neither stops nor waits for, and that thread can still read
    // samples of the outlet after their memory is freed (liblsl 1.16 crashes so under load).
    // An outlet with a consumer is therefore kept, announced but silent, until the process
    // ends through EndProcessWithKeptOutlets.
    ~LslOutlets() override;
    LslOutlets(const LslOutlets&) = delete;
    LslOutlets& operator=(const LslOutlets&) = delete;

    void Samples(const float* values, std::size_t rows, const double* times) override;
    void Marker(const std::string& text, double time) override;

    const std::string& SamplesUid() const { return uid_; }
    const std::string& MarkersName() const { return markersName_; }
    uint64_t PushFailures() const { return pushFailures_; }

private:
    const LslFunctions& api_;
    std::size_t channels_;
    LslOutlet samples_ = nullptr;
    LslOutlet markers_ = nullptr;
    std::string uid_;
    std::string markersName_;
    uint64_t pushFailures_ = 0;
};

// True once an outlet was kept: the process must then end through EndProcessWithKeptOutlets,
// not through exit(), whose destructors of static objects (liblsl's among them) would run
// while the kept outlets' threads still work.
bool LslOutletsKept();

// Flushes stdout and stderr and ends the process at once with this status; the kernel closes
// the kept outlets' sockets. Call it when nothing else of the program is left to end.
[[noreturn]] void EndProcessWithKeptOutlets(int status);

}  // namespace Mivo::Cli
