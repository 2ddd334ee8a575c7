// One amplifier's recording: its rows and link events, in arrival order, become a file whose
// time axis is the amplifier's. Rows are placed by the row clock; wherever rows are missing
// (a link outage, rows lost on air on an amplifier without a counter, a counter that jumps
// further than the library fills) the file holds marked fill of the measured length: copies of
// the last row, valid flag 0, and a BAD_ annotation covering it. Runs of rows the library filled
// in, and values beyond the file's range, are annotated too.
//
// Recorded together with other amplifiers, a recorder can wait for a common start: rows sampled
// before it are left out, so that every file begins at the same instant; and it can tie sample
// indices to the host's monotonic clock at regular intervals, so that the files can be aligned
// and their drift corrected afterwards.
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

// The host's wall-clock time of a moment on its monotonic clock. One anchor shared by several
// recordings gives their start times the same reference.
struct WallAnchor {
    double steadySeconds;
    std::chrono::system_clock::time_point wall;
    static WallAnchor Now();
    std::chrono::system_clock::time_point At(double steady) const;
};

struct RecorderOptions {
    std::string label;                 // put before its messages ("" for none)
    bool commonStart = false;          // record only rows sampled from StartAt() on (to half a period)
    double syncSeconds = 0;            // a clock note this often (0: none)
    std::optional<WallAnchor> anchor;  // else taken at the first row
    // After an outage, the new link's rows are held this long from the first one's arrival, so
    // that the outage ends where the clock finds the link's first row was sampled, not where a
    // late first delivery put it (0: placed at once).
    double rejoinSeconds = 0.5;
};

class Recorder {
public:
    using Clock = std::chrono::steady_clock;

    // `file` takes one value per channel column and the valid flag last. `targetSamples` 0: no
    // end of its own.
    Recorder(std::unique_ptr<EdfRecording> file, RowColumns columns, uint32_t rate, uint64_t targetSamples,
             RecorderOptions options = {});
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Rows, link lost, link back. With a common start, rows added before StartAt only teach the
    // row clock: the caller makes sure they were sampled before the start.
    void Add(const FeedItem& item);
    // The common start (with commonStart), on the monotonic clock: the file begins with the row
    // sampled nearest to it (within half a period), or, while the link is down, at that instant
    // with fill.
    void StartAt(Clock::time_point start);
    // The time axis has reached the target (counting an outage still open), or a write failed.
    bool Done(Clock::time_point now);
    // A write failed: nothing more reaches the file.
    bool WriteFailed() const;
    // Seconds on the file's time axis so far.
    double Seconds() const;
    // How far the row clock's times still lag behind (or run ahead of) its line, in seconds.
    double ClockLag() const;

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
    void ReleaseRejoinLocked();
    void FillLocked(uint64_t count);
    void WriteLocked(const double* values);
    void EndFilledRunLocked();
    void EndClipRunLocked(uint64_t end);
    void BeginLocked(double time);
    void NoteClockLocked(uint64_t index, double time);
    uint64_t OpenOutageSamplesLocked(Clock::time_point now) const;

    mutable std::mutex mutex_;
    std::unique_ptr<EdfRecording> file_;
    RowColumns columns_;
    uint32_t rate_;
    uint64_t target_;
    RecorderOptions options_;
    bool begun_ = false;             // the file has its first sample
    std::optional<double> startAt_;  // clock seconds of the common start
    std::vector<float> held_;        // the latest row before the common start was known
    double heldTime_ = 0, heldLatest_ = 0;
    uint64_t nextSync_ = 0;  // sample index of the next clock note
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
    // Rows of the new link held after an outage (see rejoinSeconds): values, times and latest
    // sampling times, and the first one's arrival.
    struct Rejoin {
        std::vector<float> values;
        std::vector<double> times, latest;
        double since;
    };
    std::optional<Rejoin> rejoin_;
    std::optional<double> rejoinAt_;  // while they are placed: the line's time of the first
    std::optional<uint64_t> filledStart_;
    std::optional<uint64_t> clipStart_;
    std::vector<uint8_t> clipChannels_;
    std::vector<uint8_t> clipWarned_;
    Summary summary_;
    bool finished_ = false;
};

}  // namespace Mivo::Cli
