// Turns one amplifier's rows into what one page can show: the display filters run over every
// row, then the rows are gathered into pixel columns of k rows each, and every column is sent as
// the minimum and maximum of each channel (one value per channel when k is 1), with a flag telling
// whether any row in it was filled in. Columns start at row numbers divisible by k, so a page can
// place them by their row number alone.
//
// Binary message of the columns completed since the last one (little-endian):
//    0  u8   kind, always 1
//    1  u8   amplifier index (order of the names on the command line)
//    2  u8   flags: 1 one value per channel and column (k = 1); 2 starts afresh (drop what is held)
//    3  u8   0
//    4  u16  channels C
//    6  u16  0
//    8  u32  rows per column k
//   12  u32  columns N
//   16  f64  row number of the first row of the first column
//   24  N bytes, 1 when every row of the column was decoded, 0 when some were filled in; then zero
//       bytes up to a multiple of 4
//   then float32 for each channel: N minima and N maxima (flag 1: N values)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/view/display_filter.h"
#include "cli/view/trace_history.h"
#include "cli/view/view_settings.h"

namespace Mivo::Cli::View {

constexpr uint8_t kMessageColumns = 1;
constexpr uint8_t kFlagSingleValue = 1, kFlagAfresh = 2;
constexpr size_t kColumnsHeader = 24;
// Rows run through the filters before the first column that is sent, so that it shows them settled.
constexpr double kFilterWarmUpSeconds = 10;

class TraceDecimator {
public:
    TraceDecimator(uint8_t amplifier, size_t channels, double rate);

    // New settings: the next message starts afresh with the page's whole window from the history.
    void Configure(const ViewSettings& settings, const TraceHistory& history);
    // The message of the columns completed up to the history's newest row; empty when there is none.
    std::string Next(const TraceHistory& history);

    uint32_t RowsPerColumn() const { return rowsPerColumn_; }

private:
    uint64_t AlignUp(uint64_t row) const { return (row + rowsPerColumn_ - 1) / rowsPerColumn_ * rowsPerColumn_; }
    void CloseColumn();
    std::string Encode();

    uint8_t amplifier_;
    size_t channels_;
    double rate_;
    ViewSettings settings_;
    uint32_t rowsPerColumn_ = 1;
    DisplayFilters filters_;
    bool afresh_ = true;
    uint64_t cursor_ = 0;    // next row to filter
    uint64_t sendFrom_ = 0;  // first row that goes into a column
    // The column being filled.
    uint32_t filled_ = 0;
    bool columnValid_ = true;
    std::vector<float> min_, max_, row_;
    // Completed columns not yet sent, column-major.
    uint64_t firstRow_ = 0;
    std::vector<float> doneMin_, doneMax_;
    std::vector<uint8_t> doneValid_;
};

}  // namespace Mivo::Cli::View
