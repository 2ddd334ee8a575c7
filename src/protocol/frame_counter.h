#pragma once
// Frame numbers of a counter channel and the frames missing between two payloads.
//
// An amplifier counts payloads from 1 in a raw sample; the host turns that into a frame number
// ((payload counter - 1) x frames per payload + frame index + 1). The arithmetic runs in double,
// exact for any raw counter and any frames per payload, and the result is taken modulo 2^24:
// every whole number in [0, 2^24) is exactly a float, so the counter column of a row is exact
// for ever, where the plain frame number would round to the same or skipping values past 2^24.
// A raw counter's own wrap (2^24 or 2^32 payloads, or the step from the positive into the
// negative half of a signed sample) is a multiple of 2^24 frames, so frame numbers count on
// across it by one. Gaps are measured modulo 2^24 as well.
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace Mivo::BLE {

// Frame numbers run from 0 to kFrameNumberModulus - 1 and then start again at 0.
inline constexpr double kFrameNumberModulus = 16777216.0;  // 2^24

// `number` taken into [0, kFrameNumberModulus); NaN stays NaN.
inline double WrapFrameNumber(double number) {
    double wrapped = std::fmod(number, kFrameNumberModulus);
    if (wrapped < 0.0) {
        wrapped += kFrameNumberModulus;
        if (wrapped >= kFrameNumberModulus) wrapped = 0.0;  // a tiny negative fraction rounds up to the modulus
    }
    return wrapped;
}

// A wrapped frame number as the float a row holds: exact for a whole number; a fraction just
// below the modulus, which would round up to it, is 0 (the same number modulo 2^24).
inline float FrameNumberCell(double wrapped) {
    const float cell = static_cast<float>(wrapped);
    return cell >= static_cast<float>(kFrameNumberModulus) ? 0.0f : cell;
}

inline double FrameNumber(float payloadCounter, size_t framesPerPayload, size_t frameIndex) {
    return WrapFrameNumber((static_cast<double>(payloadCounter) - 1.0) * static_cast<double>(framesPerPayload) +
                           static_cast<double>(frameIndex + 1));
}

// Frames missing between the last frame number of the previous payload and the first of this
// one (both wrapped); 0 when the counter went backwards, did not move, or jumped more than
// `limit` frames.
inline int32_t MissingFrames(double last, double first, int32_t limit) {
    double step = std::fmod(first - last, kFrameNumberModulus);  // NaN for a non-finite counter
    if (step < 0.0) step += kFrameNumberModulus;
    const double missing = step - 1.0;
    if (!(missing >= 1.0) || missing >= static_cast<double>(limit) + 1.0) return 0;
    return static_cast<int32_t>(missing);
}

}  // namespace Mivo::BLE
