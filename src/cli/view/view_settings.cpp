#include "cli/view/view_settings.h"

#include <charconv>
#include <cmath>
#include <set>

#include "cli/view/view_access.h"

namespace Mivo::Cli::View {

namespace {

bool Number(std::string_view text, double& value) {
    if (text.empty() || text.size() > 24) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

}  // namespace

std::variant<ViewSettings, std::string> ParseViewSettings(std::string_view text, const ViewSettings& base) {
    ViewSettings settings = base;
    std::set<std::string_view> seen;
    while (!text.empty()) {
        auto [key, valueText, hasValue] = TakeQueryItem(text);
        if (!hasValue) return "expected key=value, not '" + std::string(key) + "'";
        if (key != "seconds" && key != "columns" && key != "highpass" && key != "notch")
            return "unknown setting '" + std::string(key) + "'";
        if (!seen.insert(key).second) return "'" + std::string(key) + "' given twice";
        double value = 0;
        if (!Number(valueText, value))
            return "'" + std::string(key) + "' needs a number, not '" + std::string(valueText) + "'";
        if (key == "seconds") {
            if (value < kMinSeconds || value > kMaxSeconds) return "seconds must be between 1 and 60";
            settings.seconds = value;
        } else if (key == "columns") {
            if (value != std::floor(value) || value < kMinColumns || value > kMaxColumns)
                return "columns must be a whole number between 16 and 4096";
            settings.columns = static_cast<uint32_t>(value);
        } else if (key == "highpass") {
            if (value != 0 && (value < kMinHighPass || value > kMaxHighPass))
                return "highpass must be 0 (off) or between 0.05 and 50 Hz";
            settings.highPassHz = value;
        } else {
            if (value != 0 && value != 50 && value != 60) return "notch must be 0 (off), 50 or 60 Hz";
            settings.notchHz = static_cast<uint32_t>(value);
        }
    }
    return settings;
}

uint32_t RowsPerBucket(const ViewSettings& settings, double rate) {
    double rows = std::ceil(rate * settings.seconds / settings.columns);
    return rows < 1 ? 1 : static_cast<uint32_t>(rows);
}

}  // namespace Mivo::Cli::View
