// One amplifier's recording: its rows and link events, in arrival order, become a file whose
// time axis is the amplifier's. Rows are placed by the row clock; wherever rows are missing
// (a link outage, rows lost on air on an amplifier without a counter, a counter that jumps
// further than the library fills) the file holds marked fill of the measured length: copies of
// the last row, valid flag 0, and a BAD_ annotation covering it. Runs of rows the library filled
// in, and values beyond the file's range, are annotated too.
//
// All public calls are serialised, so Finish may come from another thread (a second Ctrl-C)
// while rows are being added.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/edf_recording.h"
#include "cli/library.h"
#include "cli/row_clock.h"
#include "cli/row_feed.h"

namespace Mivo::Cli {

// The file's signals for an amplifier's columns: one per channel (microvolts where the channel
// table gives a scale, raw counts otherwise, the counter exactly), then the valid flag.
std::vector<EdfSignal> RecordingSignals(const std::vector<MIVOBLE_CHANNEL_CONFIGURATION>& channels,
                                        const RowColumns& columns, RecordingFormat format,
                                        const MIVOBLE_DEVICE_INFORMATION& info);

class Recorder {
public:
    using Clock = std::chrono::steady_clock;

    // `file` takes one value per channel column and the valid flag last. `targetSamples` 0: no
    // end of its own.
    Recorder(std::unique_ptr<EdfRecording> file, RowColumns columns, uint32_t rate, uint64_t targetSamples);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Rows, link lost, link back.
    void Add(const FeedItem& item);
    // The time axis has reached the target (counting an outage still open), or a write failed.
    bool Done(Clock::time_point now);
    // Seconds on the file's time axis so far.
    double Seconds() const;

    struct Summary {
        EdfRecording::Outcome file;
        uint64_t linkLosses = 0;
        uint64_t outageSamples = 0;   // filled for link outages
        uint64_t filledIn = 0;        // rows the library filled in (lost notifications)
        uint64_t missing = 0;         // rows missing against the clock, filled here
        uint64_t padding = 0;         // to complete the last data record
        uint64_t clippedSamples = 0;  // samples with at least one value beyond the file's range
        std::string writeFailure;
    };
    // Ends the recording at `now`: an open outage is filled up to now (not beyond the target),
    // the last data record completed with marked padding, the file closed and named. Once; later
    // calls return the first summary.
    Summary Finish(Clock::time_point now);

private:
    void AddRowsLocked(const FeedItem& item);
    void PlaceRowLocked(const float* row, double time, double latest);
    void FillLocked(uint64_t count);
    void WriteLocked(const double* values);
    void EndFilledRunLocked();
    void EndClipRunLocked(uint64_t end);
    void CloseOutageLocked(const std::string& how);
    uint64_t OpenOutageSamplesLocked(Clock::time_point now) const;

    mutable std::mutex mutex_;
    std::unique_ptr<EdfRecording> file_;
    RowColumns columns_;
    uint32_t rate_;
    uint64_t target_;
    RowClock clock_;
    std::vector<double> last_;     // the last row written: channels, then the valid flag
    std::vector<double> scratch_;  // one row of file values
    std::vector<double> times_, counters_;
    std::vector<uint8_t> clipped_;
    std::optional<double> lastTime_;  // clock time of the last row placed
    // An outage: from the link loss until the first row of the new link.
    struct Outage {
        uint64_t onset;
        double lastTime;  // of the last row before it (clock seconds); NaN when no row came before
    };
    std::optional<Outage> outage_;
    std::optional<uint64_t> filledStart_;
    std::optional<uint64_t> clipStart_;
    std::vector<uint8_t> clipChannels_;
    std::vector<uint8_t> clipWarned_;
    Summary summary_;
    bool finished_ = false;
};

}  // namespace Mivo::Cli
