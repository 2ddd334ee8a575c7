#include "cli/row_clock.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Mivo::Cli {

namespace {
constexpr int kLossArrivals = 6;            // consecutive late arrivals that show rows lost
constexpr double kTypicalLateness = 0.002;  // start of the estimate: delivery jitters by milliseconds
}  // namespace

RowClock::RowClock(double rate, RowClockTuning tuning) : tuning_(tuning) {
    if (!(rate > 0) || !std::isfinite(rate)) throw std::invalid_argument("rate must be positive.");
    const auto& t = tuning_;
    if (!(t.maxDrift >= 0 && t.maxDrift < 0.5 && t.slew > 0 && t.slew < 0.5 &&
          t.bucketSeconds > 0 && t.windowSeconds >= t.bucketSeconds && t.fitSpanSeconds >= 0 && t.lossTolerance > 0 &&
          t.lossConfirmSeconds > 0 && t.counterRange >= 2 && t.counterRange <= (uint64_t{1} << 62)))
        throw std::invalid_argument("RowClock tuning out of range.");
    nominal_ = 1.0 / rate;
    bucketRows_ = std::max<int64_t>(1, static_cast<int64_t>(std::nearbyint(t.bucketSeconds * rate)));
    windowBuckets_ = std::max<int64_t>(1, static_cast<int64_t>(std::nearbyint(t.windowSeconds / t.bucketSeconds)));
    fitRows_ = t.fitSpanSeconds * rate;
    lossTolerance_ = t.lossTolerance * nominal_;
    period_ = nominal_;
    Restart();
}

void RowClock::Restart() {
    rows_ = 0;
    points_.clear();
    offset_.reset();
    nextN_ = 0;
    lastN_.reset();
    lastCounter_.reset();
    typicalLateness_ = kTypicalLateness;
    runSince_.reset();
}

void RowClock::Stamp(std::size_t rows, double arrivalSeconds, const double* counters, double* timesOut) {
    if (rows == 0) return;
    if (counters && !std::all_of(counters, counters + rows, [](double c) { return std::isfinite(c); }))
        counters = nullptr;
    if (!tRef_) tRef_ = arrivalSeconds;
    const double t = arrivalSeconds - *tRef_;
    std::vector<int64_t> n(rows);
    if (!counters) {
        for (std::size_t i = 0; i < rows; ++i) n[i] = nextN_ + static_cast<int64_t>(i);
        CheckLoss(rows, n.data(), t);
    } else if (auto back = Unwrap(rows, counters, n.data())) {
        // The counter went back: the rows from there on belong to a new stream.
        if (*back) Stamp(*back, arrivalSeconds, counters, timesOut);
        Restart();
        Stamp(rows - *back, arrivalSeconds, counters + *back, timesOut + *back);
        return;
    }
    AddPoint(n.back(), t);
    Output(rows, n.data(), timesOut);
}

std::optional<std::size_t> RowClock::Unwrap(std::size_t rows, const double* counters, int64_t* n) {
    const auto range = static_cast<int64_t>(tuning_.counterRange);
    auto wrapped = [range](double c) {
        // Beyond 2^62 the value means nothing as a counter; keep the conversion defined.
        const double r = std::nearbyint(std::clamp(c, -0x1p62, 0x1p62));
        return ((static_cast<int64_t>(r) % range) + range) % range;
    };
    int64_t previous = lastCounter_ ? *lastCounter_ : wrapped(counters[0]) - 1;
    int64_t at = lastN_ ? *lastN_ : -1;
    uint64_t skipped = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const int64_t c = wrapped(counters[i]);
        int64_t step = ((c - previous) % range + range) % range;
        if (step > range / 2) return i;
        step = std::max<int64_t>(step, 1);  // a repeated counter still moves on by a row
        skipped += static_cast<uint64_t>(step - 1);
        at += step;
        n[i] = at;
        previous = c;
    }
    missing_ += skipped;
    lastCounter_ = previous;
    return std::nullopt;
}

void RowClock::CheckLoss(std::size_t rows, int64_t* n, double t) {
    if (!offset_) return;
    const double lateness = t - Line(static_cast<double>(n[rows - 1]));
    const double tolerance = std::max(lossTolerance_, 4.0 * typicalLateness_);
    if (lateness <= tolerance) {
        // Median of the lateness of arrivals within the tolerance, in steps relative to its size.
        const double step = std::max(typicalLateness_, nominal_) / 16.0;
        typicalLateness_ = std::max(0.0, typicalLateness_ + (lateness > typicalLateness_ ? step : -step));
        runSince_.reset();
        return;
    }
    if (!runSince_) {
        runSince_ = t;
        runCount_ = 0;
        runEarly_ = runRecent_ = std::numeric_limits<double>::infinity();
    }
    ++runCount_;
    if (runCount_ <= kLossArrivals / 2) {
        runEarly_ = std::min(runEarly_, lateness);
        return;
    }
    runRecent_ = std::min(runRecent_, lateness);
    if (runCount_ < kLossArrivals || t - *runSince_ < tuning_.lossConfirmSeconds) return;
    runSince_.reset();
    if (runEarly_ - runRecent_ > tolerance) return;  // a backlog draining away after a stall, not rows lost
    const auto lost = static_cast<int64_t>(std::nearbyint(runRecent_ / period_));
    if (lost <= 0) return;
    missing_ += static_cast<uint64_t>(lost);
    nextN_ += lost;
    for (std::size_t i = 0; i < rows; ++i) n[i] += lost;
}

void RowClock::AddPoint(int64_t n, double t) {
    const double y = t - static_cast<double>(n) * nominal_;
    const int64_t bucket = n / bucketRows_;
    nextN_ = n + 1;
    if (!points_.empty() && points_.back().bucket == bucket) {
        if (y >= points_.back().y) return;
        points_.back().n = n;
        points_.back().y = y;
    } else {
        points_.push_back({bucket, n, y});
        while (points_.front().bucket <= bucket - windowBuckets_) points_.pop_front();
    }
    Fit();
}

void RowClock::Fit() {
    double slope = period_ - nominal_;  // of y = t - n * nominal
    if (points_.size() >= 2 && static_cast<double>(points_.back().n - points_.front().n) >= fitRows_) {
        // Lower convex hull; its edge over the mean row is the line below all points with the
        // least summed distance to them.
        std::vector<std::pair<int64_t, double>> hull;
        int64_t sum = 0;
        for (const auto& p : points_) {
            while (hull.size() >= 2) {
                const auto& a = hull[hull.size() - 2];
                const auto& b = hull.back();
                if (static_cast<double>(b.first - a.first) * (p.y - a.second) -
                        (b.second - a.second) * static_cast<double>(p.n - a.first) >
                    0)
                    break;
                hull.pop_back();
            }
            hull.emplace_back(p.n, p.y);
            sum += p.n;
        }
        const double mean = static_cast<double>(sum) / static_cast<double>(points_.size());
        std::size_t k = 0;
        while (k + 2 < hull.size() && static_cast<double>(hull[k + 1].first) <= mean) ++k;
        const double bound = tuning_.maxDrift * nominal_;
        slope = std::clamp((hull[k + 1].second - hull[k].second) / static_cast<double>(hull[k + 1].first - hull[k].first),
                           -bound, bound);
    }
    period_ = nominal_ + slope;
    double offset = std::numeric_limits<double>::infinity();
    for (const auto& p : points_) offset = std::min(offset, p.y - slope * static_cast<double>(p.n));
    offset_ = offset;
}

double RowClock::Lag() const {
    if (!lastOut_ || !lastN_ || !offset_) return 0.0;
    return *lastOut_ - (*tRef_ + Line(static_cast<double>(*lastN_)));
}

void RowClock::Output(std::size_t rows, const int64_t* n, double* timesOut) {
    if (!lastOut_) {
        for (std::size_t i = 0; i < rows; ++i) timesOut[i] = *tRef_ + Line(static_cast<double>(n[i]));
    } else {
        const int64_t first = lastN_ ? *lastN_ : n[0] - 1;
        double gap = *lastOut_ - (*tRef_ + Line(static_cast<double>(first)));
        if (!lastN_) gap = std::max(gap, 0.0);  // a new stream does not go back before the old one's end
        for (std::size_t i = 0; i < rows; ++i) {
            const double steps = static_cast<double>(n[i] - first);
            timesOut[i] = *tRef_ + Line(static_cast<double>(n[i])) +
                          std::copysign(1.0, gap) * std::max(std::abs(gap) - tuning_.slew * nominal_ * steps, 0.0);
        }
    }
    lastOut_ = timesOut[rows - 1];
    lastN_ = n[rows - 1];
    rows_ += rows;
}

}  // namespace Mivo::Cli
