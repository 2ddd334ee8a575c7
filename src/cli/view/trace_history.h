// The last rows of one amplifier's signal channels, kept for the longest window a page may ask
// for (plus a filter warm-up), so that a page that connects or changes its window gets the whole
// window at once. Rows are numbered from the start of the stream; only the server thread uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Mivo::Cli::View {

class TraceHistory {
public:
    TraceHistory(size_t channels, size_t capacityRows);

    // values: rows × channels floats; valid: one flag per row (0 for a row filled in for a lost one).
    void Append(const float* values, const uint8_t* valid, size_t rows);
    // Rows that never arrived: not-a-number values, marked as filled in.
    void AppendGap(uint64_t rows);

    size_t Channels() const { return channels_; }
    uint64_t Begin() const { return end_ - held_; }  // oldest row held
    uint64_t End() const { return end_; }            // one past the newest row
    const float* Row(uint64_t index) const { return &values_[(index % capacity_) * channels_]; }
    bool Valid(uint64_t index) const { return valid_[index % capacity_] != 0; }

private:
    size_t channels_;
    size_t capacity_;
    std::vector<float> values_;
    std::vector<uint8_t> valid_;
    uint64_t end_ = 0;
    uint64_t held_ = 0;
};

}  // namespace Mivo::Cli::View
