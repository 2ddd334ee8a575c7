#include "cli/view/trace_history.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Mivo::Cli::View {

TraceHistory::TraceHistory(size_t channels, size_t capacityRows)
    : channels_(channels),
      capacity_(std::max<size_t>(capacityRows, 1)),
      values_(capacity_ * channels),
      valid_(capacity_) {}

void TraceHistory::Append(const float* values, const uint8_t* valid, size_t rows) {
    // Only the newest capacity rows can be kept.
    if (rows > capacity_) {
        size_t skip = rows - capacity_;
        values += skip * channels_;
        valid += skip;
        end_ += skip;
        rows = capacity_;
    }
    for (size_t r = 0; r < rows; ++r) {
        size_t slot = (end_ + r) % capacity_;
        std::memcpy(&values_[slot * channels_], values + r * channels_, channels_ * sizeof(float));
        valid_[slot] = valid[r];
    }
    end_ += rows;
    held_ = std::min<uint64_t>(held_ + rows, capacity_);
}

void TraceHistory::AppendGap(uint64_t rows) {
    uint64_t written = std::min<uint64_t>(rows, capacity_);
    end_ += rows - written;
    for (uint64_t r = 0; r < written; ++r) {
        size_t slot = (end_ + r) % capacity_;
        std::fill_n(&values_[slot * channels_], channels_, std::numeric_limits<float>::quiet_NaN());
        valid_[slot] = 0;
    }
    end_ += written;
    held_ = std::min<uint64_t>(held_ + rows, capacity_);
}

}  // namespace Mivo::Cli::View
