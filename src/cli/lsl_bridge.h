// The rows of one amplifier as a regular LSL sample stream and an irregular marker stream:
// each row gets its time from the row clock, the chosen columns become the sample, runs of
// filled-in rows and link events become markers. Rows that the clock finds missing on an
// amplifier without a counter channel are filled in here (copies of the last row, as the
// library does for counter gaps), so the timeline stays regular. No liblsl here: the output
// goes to a BridgeSink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/row_clock.h"

namespace Mivo::Cli {

class BridgeSink {
public:
    virtual ~BridgeSink() = default;
    // rows samples of channels values each, row after row, with one time per sample.
    virtual void Samples(const float* values, std::size_t rows, const double* times) = 0;
    virtual void Marker(const std::string& text, double time) = 0;
};

struct BridgeLayout {
    uint32_t width = 0;             // values per library row (channels + battery + valid)
    std::vector<uint32_t> columns;  // the row columns that make a sample, in order
    int counterColumn = -1;         // row column of the sample counter, -1 if none
};

class RowBridge {
public:
    RowBridge(BridgeLayout layout, double rate, BridgeSink& sink, RowClockTuning tuning = {});

    // `count` rows of `width` values that the library delivered together at `arrival`. Rows of
    // another width than the layout's are dropped and counted (Mismatched()).
    void Rows(const float* rows, std::size_t count, uint32_t width, double arrival);
    void LinkLost(double at);
    void LinkBack(double at);
    // Hands the samples of the rows given since the last flush to the sink, as one chunk.
    void Flush();
    // Flushes and ends a run of filled-in rows that is still open (at the end of the stream).
    void Finish();

    uint64_t RowsOut() const { return rowsOut_; }
    uint64_t FilledRows() const { return filledRows_; }
    uint64_t LostRows() const { return lostRows_; }
    uint64_t Mismatched() const { return mismatched_; }

private:
    void FillMissing(uint64_t missing, double nextTime);
    void Append(bool valid, double time);
    void EndRun();

    BridgeLayout layout_;
    double rate_;
    BridgeSink& sink_;
    RowClock clock_;
    std::size_t channels_;
    int validOutput_ = -1;  // sample index of the valid column, when it is part of the sample

    std::vector<double> counters_, times_;
    std::vector<float> out_;  // samples of the current delivery
    std::vector<double> outTimes_;
    std::vector<float> last_;  // the last sample sent
    std::optional<double> lastTime_;
    std::optional<double> runStart_;  // first time of the open run of filled-in rows
    uint64_t runRows_ = 0;
    std::optional<double> lostAt_;

    uint64_t rowsOut_ = 0, filledRows_ = 0, lostRows_ = 0, mismatched_ = 0;
};

}  // namespace Mivo::Cli
