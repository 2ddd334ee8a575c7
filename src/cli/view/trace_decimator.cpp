#include "cli/view/trace_decimator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace Mivo::Cli::View {

static_assert(std::endian::native == std::endian::little, "the column messages are written in host byte order");

TraceDecimator::TraceDecimator(uint8_t amplifier, size_t channels, double rate)
    : amplifier_(amplifier), channels_(channels), rate_(rate), min_(channels), max_(channels), row_(channels) {}

void TraceDecimator::Configure(const ViewSettings& settings, const TraceHistory& history) {
    settings_ = settings;
    rowsPerColumn_ = RowsPerBucket(settings, rate_);
    filters_ = DisplayFilters(channels_, rate_, settings.highPassHz, settings.notchHz);
    uint64_t window = static_cast<uint64_t>(std::ceil(settings.seconds * rate_));
    uint64_t end = history.End();
    uint64_t windowStart = std::max(history.Begin(), end > window ? end - window : 0);
    sendFrom_ = AlignUp(windowStart);
    uint64_t warmUp = filters_.Active() ? static_cast<uint64_t>(kFilterWarmUpSeconds * rate_) : 0;
    cursor_ = std::max(history.Begin(), sendFrom_ > warmUp ? sendFrom_ - warmUp : 0);
    filled_ = 0;
    doneMin_.clear();
    doneMax_.clear();
    doneValid_.clear();
    afresh_ = true;
}

void TraceDecimator::CloseColumn() {
    if (doneValid_.empty()) firstRow_ = sendFrom_ - rowsPerColumn_;
    doneMin_.insert(doneMin_.end(), min_.begin(), min_.end());
    doneMax_.insert(doneMax_.end(), max_.begin(), max_.end());
    doneValid_.push_back(columnValid_ ? 1 : 0);
    filled_ = 0;
}

std::string TraceDecimator::Next(const TraceHistory& history) {
    if (cursor_ < history.Begin()) {
        // Rows were overwritten before this page got them: go on from the oldest row held,
        // at the next column boundary.
        cursor_ = history.Begin();
        filled_ = 0;
        sendFrom_ = std::max(sendFrom_, AlignUp(cursor_));
    }
    for (uint64_t i = cursor_; i < history.End(); ++i) {
        std::memcpy(row_.data(), history.Row(i), channels_ * sizeof(float));
        filters_.Apply(row_.data());
        if (i < sendFrom_) continue;
        if (filled_ == 0) {
            min_ = row_;
            max_ = row_;
            columnValid_ = history.Valid(i);
        } else {
            for (size_t c = 0; c < channels_; ++c) {
                min_[c] = std::min(min_[c], row_[c]);
                max_[c] = std::max(max_[c], row_[c]);
            }
            columnValid_ = columnValid_ && history.Valid(i);
        }
        if (++filled_ == rowsPerColumn_) {
            sendFrom_ = i + 1;
            CloseColumn();
        }
    }
    cursor_ = std::max(cursor_, history.End());
    return doneValid_.empty() ? std::string() : Encode();
}

std::string TraceDecimator::Encode() {
    const uint32_t n = static_cast<uint32_t>(doneValid_.size());
    const bool single = rowsPerColumn_ == 1;
    const size_t validBytes = (n + 3) / 4 * 4;
    const size_t floats = channels_ * n * (single ? 1 : 2);
    std::string out(kColumnsHeader + validBytes + floats * sizeof(float), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    p[0] = kMessageColumns;
    p[1] = amplifier_;
    p[2] = static_cast<uint8_t>((single ? kFlagSingleValue : 0) | (afresh_ ? kFlagAfresh : 0));
    uint16_t channels = static_cast<uint16_t>(channels_);
    std::memcpy(p + 4, &channels, 2);
    std::memcpy(p + 8, &rowsPerColumn_, 4);
    std::memcpy(p + 12, &n, 4);
    double first = static_cast<double>(firstRow_);
    std::memcpy(p + 16, &first, 8);
    std::memcpy(p + kColumnsHeader, doneValid_.data(), n);
    unsigned char* f = p + kColumnsHeader + validBytes;
    auto put = [&f](float v) {
        std::memcpy(f, &v, sizeof v);
        f += sizeof v;
    };
    for (size_t c = 0; c < channels_; ++c) {
        for (uint32_t j = 0; j < n; ++j) put(doneMin_[j * channels_ + c]);
        if (single) continue;
        for (uint32_t j = 0; j < n; ++j) put(doneMax_[j * channels_ + c]);
    }
    afresh_ = false;
    doneMin_.clear();
    doneMax_.clear();
    doneValid_.clear();
    return out;
}

}  // namespace Mivo::Cli::View
