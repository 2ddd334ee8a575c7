#pragma once
// Frame numbers of a counter channel and the frames missing between two payloads.
//
// An amplifier counts payloads from 1 in a raw sample; the host turns that into a frame number
// ((payload counter - 1) x frames per payload + frame index + 1). The arithmetic runs in double,
// exact far beyond any recording: in float, neighbouring frame numbers past 2^24 round to the
// same or skipping values, and every payload would look like a gap. A gap is measured modulo
// the counter's range (frames per payload x 2^bits of the raw sample), so a counter that wraps,
// or crosses from the positive into the negative half of a signed sample, is no gap.
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace Mivo::BLE {

inline double FrameNumber(float payloadCounter, size_t framesPerPayload, size_t frameIndex) {
    return (static_cast<double>(payloadCounter) - 1.0) * static_cast<double>(framesPerPayload) +
           static_cast<double>(frameIndex + 1);
}

// Frames missing between the last frame number of the previous payload and the first of this
// one; 0 when the counter went backwards, did not move, or jumped more than `limit` frames.
inline int32_t MissingFrames(double last, double first, size_t framesPerPayload, unsigned counterBits,
                             int32_t limit) {
    const double range = std::ldexp(static_cast<double>(framesPerPayload), static_cast<int>(counterBits));
    double step = std::fmod(first - last, range);  // NaN for a non-finite counter
    if (step < 0.0) step += range;
    const double missing = step - 1.0;
    if (!(missing >= 1.0) || missing >= static_cast<double>(limit) + 1.0) return 0;
    return static_cast<int32_t>(missing);
}

}  // namespace Mivo::BLE
