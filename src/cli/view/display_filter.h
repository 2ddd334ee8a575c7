// Display filters of the view: a second-order Butterworth high-pass and a notch at the mains
// frequency, per channel, as biquad sections (Robert Bristow-Johnson's audio EQ cookbook).
// They shape what is drawn only; recordings and streams never pass through them.
#pragma once

#include <cstddef>
#include <vector>

namespace Mivo::Cli::View {

class Biquad {
public:
    static Biquad HighPass(double cornerHz, double rate);
    static Biquad Notch(double centreHz, double rate);

    double Step(double x) {
        double y = b0_ * x + z1_;
        z1_ = b1_ * x - a1_ * y + z2_;
        z2_ = b2_ * x - a2_ * y;
        return y;
    }

private:
    double b0_ = 1, b1_ = 0, b2_ = 0, a1_ = 0, a2_ = 0;
    double z1_ = 0, z2_ = 0;
};

// The chosen filters for every channel of one amplifier. A filter whose frequency is not below
// half the sampling rate is left out (it could not be represented).
class DisplayFilters {
public:
    DisplayFilters() = default;
    DisplayFilters(size_t channels, double rate, double highPassHz, double notchHz);

    bool Active() const { return !sections_.empty(); }
    // Filters one row in place; a value that is not finite passes unchanged and leaves the state alone.
    void Apply(float* row);

private:
    size_t channels_ = 0;
    size_t perChannel_ = 0;
    std::vector<Biquad> sections_;  // channel-major
};

}  // namespace Mivo::Cli::View
