#include "cli/view/view_amplifier.h"

#include <cmath>
#include <cstdio>

#include "cli/text_output.h"

namespace Mivo::Cli::View {

namespace {
constexpr size_t kChangesKept = 32;

std::string Number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.6g", value);
    return buffer;
}
}  // namespace

ViewAmplifier::ViewAmplifier(AmplifierDescription description, AmplifierTap& tap, double historySeconds)
    : description_(std::move(description)),
      tap_(tap),
      history_(description_.channelNames.size(), static_cast<size_t>(std::ceil(historySeconds * description_.rate))),
      measuredAt_(std::chrono::steady_clock::now()) {}

bool ViewAmplifier::Pull() {
    tap_.Take(take_);
    // Rows that gave way still take their places, as gaps, so that row numbers stay true.
    history_.AppendGap(take_.skipped);
    skipped_ += take_.skipped;
    history_.Append(take_.values.data(), take_.valid.data(), take_.valid.size());
    for (uint8_t v : take_.valid) filled_ += v ? 0 : 1;
    if (take_.battery >= 0) battery_ = take_.battery;
    for (const auto& change : take_.changes) {
        if (change.up && !linkUp_) ++reconnects_;
        linkUp_ = change.up;
        changes_.push_back(change);
        if (changes_.size() > kChangesKept) changes_.pop_front();
    }
    return !take_.changes.empty();
}

std::string ViewAmplifier::StatusJson(std::chrono::steady_clock::time_point now, bool measure) {
    uint64_t rows = history_.End();
    if (measure) {
        double seconds = std::chrono::duration<double>(now - measuredAt_).count();
        rowsPerSecond_ = seconds > 0 ? static_cast<double>(rows - rowsAtMeasure_) / seconds : 0;
        rowsAtMeasure_ = rows;
        measuredAt_ = now;
    }
    std::string json = "{\"rows\":" + std::to_string(rows) + ",\"rowsPerSecond\":" + Number(rowsPerSecond_) +
                       ",\"battery\":" + (battery_ >= 0 ? Number(battery_) : "null") + ",\"link\":\"" +
                       (linkUp_ ? "up" : "down") + "\",\"reconnects\":" + std::to_string(reconnects_) +
                       ",\"filled\":" + std::to_string(filled_) + ",\"skipped\":" + std::to_string(skipped_) +
                       ",\"changes\":[";
    for (size_t i = 0; i < changes_.size(); ++i) {
        const auto& c = changes_[i];
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(c.at.time_since_epoch()).count();
        json += (i ? "," : "") + std::string("{\"up\":") + (c.up ? "true" : "false") +
                ",\"row\":" + std::to_string(c.row) + ",\"time\":" + std::to_string(ms) + "}";
    }
    return json + "]}";
}

std::string ViewAmplifier::DescriptionJson() const {
    std::string json = "{\"name\":" + JsonString(description_.name) + ",\"rate\":" + Number(description_.rate) +
                       ",\"unit\":\"\xC2\xB5V\",\"channels\":[";
    for (size_t i = 0; i < description_.channelNames.size(); ++i)
        json += (i ? "," : "") + JsonString(description_.channelNames[i]);
    return json + "]}";
}

}  // namespace Mivo::Cli::View
