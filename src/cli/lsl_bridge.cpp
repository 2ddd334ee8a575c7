#include "cli/lsl_bridge.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace Mivo::Cli {

namespace {
std::string Samples(uint64_t count, const char* what) {
    return std::to_string(count) + (count == 1 ? " sample " : " samples ") + what;
}
}  // namespace

RowBridge::RowBridge(BridgeLayout layout, double rate, BridgeSink& sink, RowClockTuning tuning)
    : layout_(std::move(layout)), rate_(rate), sink_(sink), clock_(rate, tuning), channels_(layout_.columns.size()) {
    if (channels_ == 0) throw std::invalid_argument("a sample needs at least one column.");
    for (std::size_t i = 0; i < channels_; ++i) {
        if (layout_.columns[i] >= layout_.width) throw std::invalid_argument("sample column outside the row.");
        if (layout_.columns[i] + 1 == layout_.width) validOutput_ = static_cast<int>(i);
    }
    if (layout_.counterColumn >= static_cast<int>(layout_.width))
        throw std::invalid_argument("counter column outside the row.");
}

void RowBridge::Rows(const float* rows, std::size_t count, uint32_t width, double arrival) {
    if (count == 0) return;
    if (width != layout_.width || width < 2) {
        mismatched_ += count;
        return;
    }
    const bool counted = layout_.counterColumn >= 0;
    if (counted) {
        counters_.resize(count);
        for (std::size_t i = 0; i < count; ++i)
            counters_[i] = rows[i * width + static_cast<std::size_t>(layout_.counterColumn)];
    }
    times_.resize(count);
    const uint64_t missingBefore = clock_.Missing();
    clock_.Stamp(count, arrival, counted ? counters_.data() : nullptr, times_.data());
    if (const uint64_t missing = clock_.Missing() - missingBefore) FillMissing(missing, times_[0]);
    for (std::size_t i = 0; i < count; ++i) {
        const float* row = rows + i * width;
        for (uint32_t column : layout_.columns) out_.push_back(row[column]);
        Append(row[width - 1] != 0.0f, times_[i]);
    }
}

void RowBridge::FillMissing(uint64_t missing, double nextTime) {
    const auto limit = static_cast<uint64_t>(std::max(1.0, std::round(rate_)));
    if (layout_.counterColumn < 0 && lastTime_ && !last_.empty() && missing <= limit) {
        // Rows lost on a stream without counters: copies of the last sample, spread evenly
        // between it and the next, so that the sample times stay one period apart.
        const double step = (nextTime - *lastTime_) / static_cast<double>(missing + 1);
        const double from = *lastTime_;
        const std::vector<float> copy = last_;
        for (uint64_t j = 1; j <= missing; ++j) {
            out_.insert(out_.end(), copy.begin(), copy.end());
            if (validOutput_ >= 0) out_[out_.size() - channels_ + static_cast<std::size_t>(validOutput_)] = 0.0f;
            Append(false, from + step * static_cast<double>(j));
        }
        return;
    }
    EndRun();
    lostRows_ += missing;
    sink_.Marker(Samples(missing, "lost"), lastTime_ ? *lastTime_ + 1.0 / rate_ : nextTime);
}

// The sample just added to out_ (channels_ values at its end).
void RowBridge::Append(bool valid, double time) {
    if (valid) {
        EndRun();
    } else {
        if (!runStart_) {
            runStart_ = time;
            runRows_ = 0;
        }
        ++runRows_;
        ++filledRows_;
    }
    outTimes_.push_back(time);
    last_.assign(out_.end() - static_cast<std::ptrdiff_t>(channels_), out_.end());
    lastTime_ = time;
}

void RowBridge::EndRun() {
    if (!runStart_) return;
    sink_.Marker(Samples(runRows_, "filled in"), *runStart_);
    runStart_.reset();
}

void RowBridge::Flush() {
    if (outTimes_.empty()) return;
    sink_.Samples(out_.data(), outTimes_.size(), outTimes_.data());
    rowsOut_ += outTimes_.size();
    out_.clear();
    outTimes_.clear();
}

void RowBridge::LinkLost(double at) {
    Flush();
    EndRun();
    sink_.Marker("link lost", at);
    clock_.Restart();
    lostAt_ = at;
}

void RowBridge::LinkBack(double at) {
    Flush();
    if (lostAt_) {
        char text[64];
        std::snprintf(text, sizeof text, "link back after %.2f s", at - *lostAt_);
        sink_.Marker(text, at);
    } else {
        sink_.Marker("link back", at);
    }
    lostAt_.reset();
}

void RowBridge::Finish() {
    Flush();
    EndRun();
}

}  // namespace Mivo::Cli
