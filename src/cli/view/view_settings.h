// What a page asks to be sent: its time window, how many pixel columns it draws, and the
// display filters. A page sends them as one text message, "seconds=10&columns=1200&highpass=1&notch=50".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace Mivo::Cli::View {

constexpr double kMinSeconds = 1, kMaxSeconds = 60;
constexpr uint32_t kMinColumns = 16, kMaxColumns = 4096;
constexpr double kMinHighPass = 0.05, kMaxHighPass = 50;

struct ViewSettings {
    double seconds = 10;
    uint32_t columns = 1000;
    double highPassHz = 0;  // 0: off
    uint32_t notchHz = 0;   // 0, 50 or 60
    bool operator==(const ViewSettings&) const = default;
};

// Keys left out keep the values of `base`. Returns the settings, or the reason they were refused.
std::variant<ViewSettings, std::string> ParseViewSettings(std::string_view text, const ViewSettings& base);

// Rows per pixel column, at least 1: the window never holds more buckets than columns.
uint32_t RowsPerBucket(const ViewSettings& settings, double rate);

}  // namespace Mivo::Cli::View
