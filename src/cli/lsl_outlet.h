// The two LSL outlets of one amplifier: its samples (type EEG, the amplifier's rate, float32,
// described after the XDF conventions for EEG) and its markers (type Markers, irregular, one
// string channel). Destroying the object takes both off the network.
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

}  // namespace Mivo::Cli
