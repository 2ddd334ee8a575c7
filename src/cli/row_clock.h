// Sampling times of rows from the arrival times of the chunks that carry them.
//
// Row n (its index since the stream started) is sampled at T(n) = a + b n on the caller's
// monotonic clock, and a chunk whose last row is n arrives at t >= T(n) + latency: delivery only
// ever delays. The line therefore lies on or below every point (n, t); stalls and bursts lift
// points and cannot tilt it. The clock keeps the earliest point of each bucket of rows over a
// window, fits the lower-hull edge that spans their mean row (slope held near 1/rate), takes
// row numbers from the counter column when there is one (unwrapping it, restarting when it goes
// back) and otherwise counts rows, finding lost ones as lateness that does not go away (judged
// against the delivery jitter, with less tolerance the longer it lasts; no row is sampled after
// it arrived, so a count is capped by the next delivery and taken back as far as later arrivals
// come in before the line). Each row gets the line's time; changes of the line are slewed in, so
// times never go back, and no row is stamped after its chunk arrived. The Python package's
// mivo_ble.timestamps.RowClock computes the same times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace Mivo::Cli {

struct RowClockTuning {
    double maxDrift = 500e-6;                   // slope within this fraction of 1/rate
    double slew = 0.01;                         // a line change is taken up by at most this share of a period per row
    double bucketSeconds = 0.5;                 // rows per kept point
    double windowSeconds = 60.0;                // rows the kept points cover
    double fitSpanSeconds = 4.0;                // span of kept points before the slope is fitted
    double lossTolerance = 3.0;                 // least lateness, in periods, that counts as rows lost (no counters)
    double lossConfirmSeconds = 0.1;            // with six deliveries, the shortest lateness that counts rows lost
    uint64_t counterRange = uint64_t{1} << 24;  // counters wrap here
};

class RowClock {
public:
    // Throws std::invalid_argument for a rate that is not positive or tuning out of range.
    explicit RowClock(double rate, RowClockTuning tuning = {});

    // A new stream (after a link loss): row numbers and offset start anew, the slope stays.
    void Restart();

    // Writes the times of the next `rows` rows, which arrived together at `arrivalSeconds`;
    // `counters` (nullable) holds their counter column.
    void Stamp(std::size_t rows, double arrivalSeconds, const double* counters, double* timesOut);

    uint64_t Missing() const { return missing_; }      // rows found missing, over the clock's life
    uint64_t TakenBack() const { return takenBack_; }  // rows counted missing, then taken back
    uint64_t Rows() const { return rows_; }            // rows stamped since the (re)start
    double Period() const { return period_; }          // current slope, seconds per row
    double NominalPeriod() const { return nominal_; }
    // The line's time of the first row since the (re)start; none before a row came.
    std::optional<double> FirstRowTime() const;
    // How far the last time given out is still from the line (a change of the line being slewed
    // in): positive when the times run late.
    double Lag() const;

private:
    struct Point {
        int64_t bucket;
        int64_t n;
        double y;  // t - n * nominal period
    };

    struct Cell {
        double start;   // time covered by deliveries when the cell began
        int64_t count;  // deliveries in it
        double least;   // their least lateness
    };
    struct Following {
        uint64_t sequence;
        double t;
        double lateness;
    };
    struct Least {
        uint64_t sequence;
        double lateness;
    };
    struct Count {
        int64_t from;  // first row number after it
        int64_t rows;
    };

    // Row numbers of the chunk from its counters; returns the index where a counter went back.
    std::optional<std::size_t> Unwrap(std::size_t rows, const double* counters, int64_t* n);
    void CheckLoss(std::size_t rows, int64_t* n, double t);
    int64_t TakeBack(int64_t rows);
    int64_t Judge(double t, double lateness, int64_t cap);
    bool Draining(std::size_t first, int64_t count, double tolerance) const;
    void LearnJitter(double t, double lateness);
    void AddPoint(int64_t n, double t);
    void Fit();
    void Output(std::size_t rows, const int64_t* n, double arrival, double* timesOut);
    double Line(double n) const { return *offset_ + period_ * n; }

    double nominal_;
    RowClockTuning tuning_;
    int64_t bucketRows_;
    int64_t windowBuckets_;
    double fitRows_;
    double lossTolerance_;
    double period_;
    uint64_t missing_ = 0;
    uint64_t takenBack_ = 0;
    std::optional<double> tRef_;
    std::optional<double> lastOut_;

    uint64_t rows_ = 0;
    std::deque<Point> points_;
    std::optional<double> offset_;
    int64_t nextN_ = 0;
    std::optional<int64_t> lastN_;
    std::optional<int64_t> lastCounter_;
    // Loss detection without counters (see Judge): the delivery not yet judged (t, lateness),
    // the time of the last one judged, the time deliveries cover (gaps count at most half of
    // lossConfirmSeconds), the least lateness per cell of that time, the deliveries whose
    // following ones are still being seen with their running minimum, and the jitter.
    std::optional<std::pair<double, double>> pending_;
    std::optional<double> judged_;
    double covered_ = 0;
    std::deque<Cell> cells_;
    std::deque<Following> following_;
    std::deque<Least> followingLeast_;
    uint64_t sequence_ = 0;
    double jitter_ = 0;
    int64_t jitterUpdates_ = 0;
    std::deque<Count> counts_;  // the latest counts of missing rows, latest last
};

}  // namespace Mivo::Cli
