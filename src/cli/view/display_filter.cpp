#include "cli/view/display_filter.h"

#include <cmath>

namespace Mivo::Cli::View {

namespace {
constexpr double kButterworthQ = 0.70710678118654752;
// Narrow enough to leave EEG rhythms next to the mains frequency alone (about 2.5 Hz wide).
constexpr double kNotchQ = 20;
}  // namespace

Biquad Biquad::HighPass(double cornerHz, double rate) {
    double w0 = 2 * M_PI * cornerHz / rate, cosw = std::cos(w0), alpha = std::sin(w0) / (2 * kButterworthQ);
    double a0 = 1 + alpha;
    Biquad f;
    f.b0_ = (1 + cosw) / 2 / a0;
    f.b1_ = -(1 + cosw) / a0;
    f.b2_ = f.b0_;
    f.a1_ = -2 * cosw / a0;
    f.a2_ = (1 - alpha) / a0;
    return f;
}

Biquad Biquad::Notch(double centreHz, double rate) {
    double w0 = 2 * M_PI * centreHz / rate, cosw = std::cos(w0), alpha = std::sin(w0) / (2 * kNotchQ);
    double a0 = 1 + alpha;
    Biquad f;
    f.b0_ = 1 / a0;
    f.b1_ = -2 * cosw / a0;
    f.b2_ = f.b0_;
    f.a1_ = f.b1_;
    f.a2_ = (1 - alpha) / a0;
    return f;
}

DisplayFilters::DisplayFilters(size_t channels, double rate, double highPassHz, double notchHz) : channels_(channels) {
    std::vector<Biquad> chain;
    if (highPassHz > 0 && highPassHz < rate / 2) chain.push_back(Biquad::HighPass(highPassHz, rate));
    if (notchHz > 0 && notchHz < rate / 2) chain.push_back(Biquad::Notch(notchHz, rate));
    perChannel_ = chain.size();
    for (size_t c = 0; c < channels; ++c) sections_.insert(sections_.end(), chain.begin(), chain.end());
}

void DisplayFilters::Apply(float* row) {
    if (perChannel_ == 0) return;
    for (size_t c = 0; c < channels_; ++c) {
        if (!std::isfinite(row[c])) continue;
        double v = row[c];
        for (size_t s = 0; s < perChannel_; ++s) v = sections_[c * perChannel_ + s].Step(v);
        row[c] = static_cast<float>(v);
    }
}

}  // namespace Mivo::Cli::View
