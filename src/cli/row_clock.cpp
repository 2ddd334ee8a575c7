#include "cli/row_clock.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Mivo::Cli {

namespace {
constexpr int64_t kLossDeliveries = 6;  // deliveries (with lossConfirmSeconds) in one unit of evidence of a loss
constexpr double kLossSpans[] = {0.5, 1.0, 2.0, 4.0, 8.0};  // spans of evidence judged, in those units
constexpr std::size_t kSpanCount = sizeof(kLossSpans) / sizeof(kLossSpans[0]);
constexpr double kJitterMargin = 6.0;    // jitters of lateness, over one unit of evidence, that mean rows lost
constexpr double kJitterStart = 0.005;   // the jitter until deliveries show it: cautious, learnt within a second
constexpr double kJitterCap = 0.050;     // no jitter estimate beyond this, whatever a stall does to it
constexpr double kJitterSteps = 16;      // the jitter's median moves by at most 1/16 of itself per delivery
constexpr double kCellsPerConfirm = 8;   // deliveries are kept as the least lateness per 1/8 of lossConfirmSeconds
constexpr std::size_t kCountsKept = 16;  // the latest counts of missing rows, which later arrivals may still take back
}  // namespace

RowClock::RowClock(double rate, RowClockTuning tuning) : tuning_(tuning) {
    if (!(rate > 0) || !std::isfinite(rate)) throw std::invalid_argument("rate must be positive.");
    const auto& t = tuning_;
    if (!(t.maxDrift >= 0 && t.maxDrift < 0.5 && t.slew > 0 && t.slew < 0.5 && t.bucketSeconds > 0 &&
          t.windowSeconds >= t.bucketSeconds && t.fitSpanSeconds >= 0 && t.lossTolerance > 0 &&
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
    pending_.reset();
    judged_.reset();
    covered_ = 0;
    cells_.clear();
    following_.clear();
    followingLeast_.clear();
    sequence_ = 0;
    jitter_ = kJitterStart;
    jitterUpdates_ = 0;
    counts_.clear();
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
    Output(rows, n.data(), arrivalSeconds, timesOut);
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
    double lateness = t - Line(static_cast<double>(n[rows - 1]));
    while (!counts_.empty() && lateness < -0.5 * period_) {
        // Arrived before its row was sampled, by the rows counted: they were never lost.
        const int64_t back = TakeBack(static_cast<int64_t>(std::ceil(-lateness / period_)));
        for (std::size_t i = 0; i < rows; ++i) n[i] -= back;
        lateness = t - Line(static_cast<double>(n[rows - 1]));
    }
    const double period = period_;
    const auto pending = pending_;
    pending_ = std::make_pair(t, lateness);
    // A chunk right behind the previous one belongs to the same delivery, which its last chunk
    // represents.
    if (!pending || t - pending->first <= std::min(0.5 * static_cast<double>(rows) * period, 0.001)) return;
    // A delivery may come the instant its last row was sampled: a thousandth of a period keeps
    // rounding of the arrival time from taking a row off the cap.
    const int64_t lost =
        Judge(pending->first, pending->second, static_cast<int64_t>(std::floor(lateness / period + 1e-3)));
    if (lost <= 0) return;
    missing_ += static_cast<uint64_t>(lost);
    nextN_ += lost;
    for (std::size_t i = 0; i < rows; ++i) n[i] += lost;
    pending_->second -= static_cast<double>(lost) * period;
    counts_.push_back({n[0], lost});
    if (counts_.size() > kCountsKept) counts_.pop_front();
}

// Takes back up to `rows` of the rows counted missing last, moving the row numbers since those
// counts back by as many; returns the rows taken back.
int64_t RowClock::TakeBack(int64_t rows) {
    int64_t taken = 0;
    while (!counts_.empty() && taken < rows) {
        Count& count = counts_.back();
        const int64_t step = std::min(count.rows, rows - taken);
        for (auto& p : points_) {
            if (p.n >= count.from) {
                p.n -= step;
                p.y += static_cast<double>(step) * nominal_;
            }
        }
        count.rows -= step;
        if (count.rows == 0) counts_.pop_back();
        taken += step;
    }
    const double shift = static_cast<double>(taken) * period_;
    for (auto& cell : cells_) cell.least += shift;
    for (auto& item : following_) item.lateness += shift;
    for (auto& item : followingLeast_) item.lateness += shift;
    if (pending_) pending_->second += shift;
    missing_ -= static_cast<uint64_t>(taken);
    takenBack_ += static_cast<uint64_t>(taken);
    nextN_ -= taken;
    *lastN_ -= taken;
    Fit();
    return taken;
}

// Rows lost before the delivery that arrived at t this late, if its lateness and that of the
// deliveries before it show them, at most `cap`; 0 otherwise.
int64_t RowClock::Judge(double t, double lateness, int64_t cap) {
    const double period = period_, confirm = tuning_.lossConfirmSeconds;
    if (judged_) covered_ += std::min(t - *judged_, confirm / 2);
    judged_ = t;
    const double covered = covered_;
    LearnJitter(t, lateness);
    if (!cells_.empty() && covered - cells_.back().start < confirm / kCellsPerConfirm) {
        cells_.back().count += 1;
        cells_.back().least = std::min(cells_.back().least, lateness);
    } else {
        cells_.push_back({covered, 1, lateness});
        if (static_cast<double>(cells_.size()) > kCellsPerConfirm * (kLossSpans[kSpanCount - 1] + 1))
            cells_.pop_front();
    }
    const double jitter = jitter_;
    const double floor = std::max(lossTolerance_, kJitterMargin * jitter / std::sqrt(kLossSpans[kSpanCount - 1]));
    double least = std::numeric_limits<double>::infinity();
    int64_t count = 0;
    std::size_t k = 0;
    for (std::size_t i = cells_.size(); i-- > 0;) {
        least = std::min(least, cells_[i].least);
        if (least <= floor) return 0;
        count += cells_[i].count;
        if (std::min(static_cast<double>(count) / static_cast<double>(kLossDeliveries),
                     (covered - cells_[i].start) / confirm) < kLossSpans[k])
            continue;
        const double span = kLossSpans[k];
        ++k;
        const double tolerance = std::max(floor, kJitterMargin * jitter / (span >= 1 ? std::sqrt(span) : span));
        if (least > tolerance) {
            if (Draining(i, count, tolerance)) return 0;  // a backlog draining away after a stall, not rows lost
            const auto lost =
                std::min(static_cast<int64_t>(std::floor((least - jitter / std::sqrt(span)) / period + 0.5)), cap);
            if (lost > 0) {
                const double shift = static_cast<double>(lost) * period;
                for (auto& cell : cells_) cell.least -= shift;
                for (auto& item : following_) item.lateness -= shift;
                for (auto& item : followingLeast_) item.lateness -= shift;
            }
            return std::max<int64_t>(lost, 0);
        }
        if (k == kSpanCount) return 0;
    }
    return 0;
}

// Whether the older half of the deliveries from cell `first` on was later than the newer half
// by more than `tolerance`.
bool RowClock::Draining(std::size_t first, int64_t count, double tolerance) const {
    double newer = std::numeric_limits<double>::infinity(), older = newer;
    int64_t seen = 0;
    for (std::size_t i = cells_.size(); i-- > first;) {
        if (static_cast<double>(seen) < static_cast<double>(count) / 2) newer = std::min(newer, cells_[i].least);
        else older = std::min(older, cells_[i].least);
        seen += cells_[i].count;
    }
    return older - newer > tolerance;
}

// Median of how far each delivery's lateness lies above the least lateness of it and the
// deliveries that follow it, once they span lossConfirmSeconds and six deliveries.
void RowClock::LearnJitter(double t, double lateness) {
    const uint64_t sequence = sequence_++;
    while (!followingLeast_.empty() && followingLeast_.back().lateness >= lateness) followingLeast_.pop_back();
    followingLeast_.push_back({sequence, lateness});
    following_.push_back({sequence, t, lateness});
    while (static_cast<int64_t>(following_.size()) > kLossDeliveries + 1 &&
           following_.front().t < t - tuning_.lossConfirmSeconds) {
        const Following oldest = following_.front();
        following_.pop_front();
        const double above = oldest.lateness - followingLeast_.front().lateness;
        if (followingLeast_.front().sequence == oldest.sequence) followingLeast_.pop_front();
        ++jitterUpdates_;
        const double step =
            std::max(jitter_, period_) / std::min(kJitterSteps, 2.0 + static_cast<double>(jitterUpdates_));
        jitter_ = std::min(kJitterCap, std::max(0.0, jitter_ + (above > jitter_ ? step : -step)));
    }
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
        slope =
            std::clamp((hull[k + 1].second - hull[k].second) / static_cast<double>(hull[k + 1].first - hull[k].first),
                       -bound, bound);
    }
    period_ = nominal_ + slope;
    double offset = std::numeric_limits<double>::infinity();
    for (const auto& p : points_) offset = std::min(offset, p.y - slope * static_cast<double>(p.n));
    offset_ = offset;
}

std::optional<double> RowClock::FirstRowTime() const {
    if (!offset_ || !tRef_) return std::nullopt;
    return *tRef_ + Line(0);
}

double RowClock::Lag() const {
    if (!lastOut_ || !lastN_ || !offset_) return 0.0;
    return *lastOut_ - (*tRef_ + Line(static_cast<double>(*lastN_)));
}

void RowClock::Output(std::size_t rows, const int64_t* n, double arrival, double* timesOut) {
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
    const double excess = timesOut[rows - 1] - arrival;
    if (excess > 0) {
        // Drawn back in proportion to the rows to the last, which lands on the arrival; spread
        // evenly from the previous row to the arrival where that would not keep them in order.
        const double span = static_cast<double>(n[rows - 1] - n[0] + 1);
        std::vector<double> share(rows), drawn(rows);
        bool inOrder = true;
        for (std::size_t i = 0; i < rows; ++i) {
            share[i] = static_cast<double>(n[i] - n[0] + 1) / span;
            drawn[i] = timesOut[i] - excess * share[i];
            if (i > 0 && !(drawn[i] > drawn[i - 1])) inOrder = false;
        }
        if (!lastOut_ || (drawn[0] > *lastOut_ && inOrder)) {
            for (std::size_t i = 0; i < rows; ++i) timesOut[i] = std::min(drawn[i], arrival);
        } else {
            const double last = *lastOut_;
            for (std::size_t i = 0; i < rows; ++i) timesOut[i] = std::max(last + (arrival - last) * share[i], last);
        }
    }
    lastOut_ = timesOut[rows - 1];
    lastN_ = n[rows - 1];
    rows_ += rows;
}

}  // namespace Mivo::Cli
