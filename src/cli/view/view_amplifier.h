// One amplifier as the view's server thread sees it: its description for the page, its recent
// rows, and its health (rows/s, battery, link, reconnects, filled-in rows).
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "cli/view/amplifier_tap.h"
#include "cli/view/trace_history.h"

namespace Mivo::Cli::View {

struct AmplifierDescription {
    std::string name;
    double rate = 0;
    std::vector<std::string> channelNames;  // the signal channels drawn
};

class ViewAmplifier {
public:
    ViewAmplifier(AmplifierDescription description, AmplifierTap& tap, double historySeconds);

    const AmplifierDescription& Description() const { return description_; }
    const TraceHistory& History() const { return history_; }

    // Moves the tap's new rows into the history and updates the health figures; true when the
    // link went down or came back.
    bool Pull();
    // The health as a JSON object. With `measure`, rows/s is measured anew over the time since
    // the last measurement; otherwise the last figure is repeated.
    std::string StatusJson(std::chrono::steady_clock::time_point now, bool measure);
    std::string DescriptionJson() const;

private:
    AmplifierDescription description_;
    AmplifierTap& tap_;
    TraceHistory history_;
    TapTake take_;
    float battery_ = -1;
    bool linkUp_ = true;
    unsigned reconnects_ = 0;
    uint64_t filled_ = 0, skipped_ = 0;
    std::deque<LinkChange> changes_;  // the latest few, for markers on the page
    uint64_t rowsAtMeasure_ = 0;
    std::chrono::steady_clock::time_point measuredAt_;
    double rowsPerSecond_ = 0;
};

}  // namespace Mivo::Cli::View
