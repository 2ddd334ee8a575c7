#include "cli/recorder.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>

#include "cli/cli_error.h"

namespace Mivo::Cli {

namespace {

// The counter column wraps here (the library keeps it exact by wrapping it).
constexpr double kCounterRange = MIVOBLE_FRAME_COUNTER_MODULUS;

double ClockSeconds(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

constexpr const char* kNotBack = "BAD_link_lost: not back by the end";

// EDFlib keeps this many characters of an annotation.
constexpr size_t kNoteChars = 40;

std::string Text(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

const MIVOBLE_CHANNEL_CONFIGURATION* FindChannel(const std::vector<MIVOBLE_CHANNEL_CONFIGURATION>& channels,
                                                 size_t id) {
    for (const auto& ch : channels)
        if (ch.id == id) return &ch;
    return nullptr;
}

constexpr uint8_t kChannelTypeSignal = 1;

}  // namespace

WallAnchor WallAnchor::Now() {
    return {ClockSeconds(std::chrono::steady_clock::now()), std::chrono::system_clock::now()};
}

std::chrono::system_clock::time_point WallAnchor::At(double steady) const {
    return wall + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                      std::chrono::duration<double>(steady - steadySeconds));
}

std::vector<EdfSignal> RecordingSignals(const std::vector<MIVOBLE_CHANNEL_CONFIGURATION>& channels,
                                        const RowColumns& columns, RecordingFormat format,
                                        const MIVOBLE_DEVICE_INFORMATION& info) {
    const std::string device = std::string(info.modelNumber) + " " + info.hardwareRevision;
    std::vector<EdfSignal> signals;
    for (size_t c = 0; c < columns.signalCount; ++c) {
        const auto* ch = FindChannel(channels, c + 1);
        EdfSignal signal;
        if (static_cast<int>(c) == columns.counterColumn) {
            signal = CounterChannel("MISC " + columns.names[c], format);
            signal.transducer = "sample counter of " + device;
        } else {
            // A scale of exactly 1 is a host-set layout (or a channel without one): raw counts.
            const bool scaled = ch && ch->scale != 1.0f && ch->scale != 0.0f && std::isfinite(ch->scale);
            const bool eeg = !ch || ch->type == kChannelTypeSignal;
            const std::string label = (eeg && scaled ? "EEG " : "MISC ") + columns.names[c];
            signal = scaled ? MicrovoltChannel(label, ch->scale, format) : CountChannel(label, format);
            signal.transducer = device + ", input " + std::to_string(ch ? ch->index : c) + ", type " +
                                std::to_string(ch ? ch->type : 0) +
                                (scaled ? ", " + Text("%.8g", ch->scale) + " uV per count" : ", no scale reported");
        }
        // The public interface does not report the amplifier's filters.
        signal.prefilter = "not reported by the amplifier";
        signals.push_back(signal);
    }
    EdfSignal valid = FlagChannel("MISC valid");
    valid.transducer = "1: sample from the amplifier, 0: filled in for a lost one";
    signals.push_back(valid);
    return signals;
}

Recorder::Recorder(std::unique_ptr<EdfRecording> file, RowColumns columns, uint32_t rate, uint64_t targetSamples,
                   RecorderOptions options)
    : file_(std::move(file)),
      columns_(std::move(columns)),
      rate_(rate),
      target_(targetSamples),
      options_(std::move(options)),
      clock_(static_cast<double>(rate)) {
    if (!options_.label.empty()) options_.label += ": ";
    const size_t values = columns_.signalCount + 1;
    last_.assign(values, 0.0);
    scratch_.assign(values, 0.0);
    clipped_.assign(values, 0);
    clipChannels_.assign(columns_.signalCount, 0);
    clipWarned_.assign(columns_.signalCount, 0);
}

Recorder::~Recorder() { Finish(Clock::now()); }

double Recorder::Seconds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<double>(file_->SamplesAdded()) / rate_;
}

double Recorder::ClockLag() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clock_.Lag();
}

void Recorder::Add(const FeedItem& item) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    switch (item.kind) {
        case FeedItem::Kind::Rows: AddRowsLocked(item); break;
        case FeedItem::Kind::LinkLost:
            ReleaseRejoinLocked();  // the rows held ended the previous outage
            ++summary_.linkLosses;
            EndFilledRunLocked();
            if (!outage_) {
                // Before a common start the outage counts from it; before any row, from nothing.
                double before = std::numeric_limits<double>::quiet_NaN();
                if (lastTime_) before = *lastTime_;
                else if (startAt_ && !begun_) before = *startAt_ - clock_.Period();
                outage_ = Outage{file_->SamplesAdded(), before};
            }
            clock_.Restart();
            held_.clear();
            std::fprintf(stderr, "%slink lost at %s; waiting for the amplifier to reconnect\n", options_.label.c_str(),
                         Text("%.2f s", static_cast<double>(file_->SamplesAdded()) / rate_).c_str());
            break;
        case FeedItem::Kind::LinkBack:
            std::fprintf(stderr, "%slink back; recording goes on\n", options_.label.c_str());
            break;
    }
}

void Recorder::StartAt(Clock::time_point start) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_ || startAt_ || begun_) return;
    startAt_ = ClockSeconds(start);
    if (outage_) {
        // The link is down at the start: the file begins then, with the outage.
        if (std::isnan(outage_->lastTime)) outage_->lastTime = *startAt_ - clock_.Period();
    } else if (!held_.empty()) {
        PlaceRowLocked(held_.data(), heldTime_, heldLatest_);
    }
    held_.clear();
}

void Recorder::AddRowsLocked(const FeedItem& item) {
    if (item.width != columns_.names.size()) throw OperationError("the row width changed while recording");
    const size_t rows = item.rowCount;
    times_.resize(rows);
    const bool counted = columns_.counterColumn >= 0;
    if (counted) {
        counters_.resize(rows);
        for (size_t r = 0; r < rows; ++r)
            counters_[r] = item.values[r * item.width + static_cast<size_t>(columns_.counterColumn)];
    }
    const double arrival = ClockSeconds(item.arrived);
    clock_.Stamp(rows, arrival, counted ? counters_.data() : nullptr, times_.data());
    // A row was sampled before its batch arrived, the rows after it in the batch later still.
    auto latest = [&](size_t r) { return arrival - static_cast<double>(rows - 1 - r) * clock_.NominalPeriod(); };
    if (outage_ && begun_ && !std::isnan(outage_->lastTime) && options_.rejoinSeconds > 0) {
        // The first rows of a new link often come late in one burst; the deliveries after them
        // show when the link's first row was sampled.
        if (!rejoin_) rejoin_ = Rejoin{{}, {}, {}, arrival};
        rejoin_->values.insert(rejoin_->values.end(), item.values.begin(),
                               item.values.begin() + static_cast<std::ptrdiff_t>(rows * item.width));
        for (size_t r = 0; r < rows; ++r) {
            rejoin_->times.push_back(times_[r]);
            rejoin_->latest.push_back(latest(r));
        }
        if (arrival - rejoin_->since >= options_.rejoinSeconds) ReleaseRejoinLocked();
        return;
    }
    for (size_t r = 0; r < rows; ++r) PlaceRowLocked(&item.values[r * item.width], times_[r], latest(r));
}

void Recorder::ReleaseRejoinLocked() {
    if (!rejoin_) return;
    const Rejoin held = std::move(*rejoin_);
    rejoin_.reset();
    rejoinAt_ = clock_.FirstRowTime();
    const size_t width = columns_.names.size();
    for (size_t r = 0; r < held.times.size(); ++r)
        PlaceRowLocked(&held.values[r * width], held.times[r], held.latest[r]);
    rejoinAt_.reset();
}

void Recorder::PlaceRowLocked(const float* row, double time, double latest) {
    if (target_ && file_->SamplesAdded() >= target_) return;
    if (!begun_) {
        if (options_.commonStart && !startAt_) {
            // Before the common start is known: the latest row may still be the one nearest to it.
            held_.assign(row, row + columns_.names.size());
            heldTime_ = time;
            heldLatest_ = latest;
            outage_.reset();  // and any outage ended before it
            return;
        }
        if (options_.commonStart && time < *startAt_ - clock_.NominalPeriod() / 2) {
            outage_.reset();
            return;
        }
        // Down at the common start: the file begins then, filled up to this row.
        BeginLocked(outage_ && startAt_ ? *startAt_ : time);
    }
    const double period = clock_.Period();
    // Rows missing between a row sampled at `since` and this one, sampled at `at`.
    auto missingSince = [period](double since, double at) {
        return static_cast<uint64_t>(std::max(0LL, std::llround((at - since) / period) - 1));
    };
    const bool afterOutage = outage_.has_value();
    const bool counted = columns_.counterColumn >= 0 && file_->SamplesAdded() > 0;
    const auto cc = static_cast<size_t>(std::max(columns_.counterColumn, 0));
    if (outage_) {
        EndClipRunLocked(file_->SamplesAdded());
        // The link's first row, at the time the clock's line gives it once later rows came in
        // (a counter that went back among the held rows leaves the row's own time earlier).
        const double back = rejoinAt_ ? std::min(time, *rejoinAt_) : time;
        FillLocked(std::isnan(outage_->lastTime)
                       ? 0
                       : std::min(missingSince(outage_->lastTime, back), missingSince(outage_->lastTime, latest)));
        const uint64_t away = file_->SamplesAdded() - outage_->onset;
        // The fill reached the end: the row of the new link is not in the file, so it is not back.
        const bool cut = target_ && file_->SamplesAdded() >= target_;
        file_->Annotate(outage_->onset, static_cast<int64_t>(away),
                        cut ? std::string(kNotBack)
                            : "BAD_link_lost: back after " + Text("%.3f s", static_cast<double>(away) / rate_));
        summary_.outageSamples += file_->SamplesAdded() - outage_->onset;
        outage_.reset();
    } else if (lastTime_) {
        // Without a counter, the rows the clock finds missing; with one, the rows it skipped, as
        // far as the row's arrival allows (a counter that leaps by mistake must not fill hours).
        uint64_t gap = missingSince(*lastTime_, time);
        if (counted) {
            // A skip the row's arrival cannot allow (give or take a tenth of a second of clock
            // error) is not believed: it is left to the jump note below.
            const uint64_t allowed = missingSince(*lastTime_, latest) + rate_ / 10 + 1;
            const double step = std::fmod(row[cc] - last_[cc] + kCounterRange, kCounterRange);
            gap = step >= 1 && step - 1 <= static_cast<double>(allowed) ? static_cast<uint64_t>(step - 1) : 0;
        }
        if (gap > 0) {
            EndFilledRunLocked();
            const uint64_t onset = file_->SamplesAdded();
            FillLocked(gap);
            const uint64_t filled = file_->SamplesAdded() - onset;
            file_->Annotate(onset, static_cast<int64_t>(filled), "BAD_missing: " + std::to_string(filled) + " samples",
                            "BAD_missing");
            summary_.missing += filled;
        }
    }
    lastTime_ = time;
    if (target_ && file_->SamplesAdded() >= target_) return;
    if (counted && !afterOutage) {
        // A counter that does not go on where the file's did (it went back, or leapt further
        // than the rows' arrival allows) is marked where it happens.
        const double expected = std::fmod(last_[cc] + 1.0, kCounterRange);
        if (row[cc] != expected)
            file_->Annotate(file_->SamplesAdded(), -1,
                            "counter jump " + Text("%.0f", last_[cc]) + " to " + Text("%.0f", row[cc]), "counter jump");
    }
    const size_t width = columns_.names.size();
    for (size_t c = 0; c < columns_.signalCount; ++c) scratch_[c] = row[c];
    const bool valid = row[width - 1] != 0.0f;
    scratch_[columns_.signalCount] = valid ? 1.0 : 0.0;
    if (!valid) {
        if (!filledStart_) filledStart_ = file_->SamplesAdded();
        ++summary_.filledIn;
    } else {
        EndFilledRunLocked();
    }
    const uint64_t index = file_->SamplesAdded();
    WriteLocked(scratch_.data());
    last_ = scratch_;
    if (options_.syncSeconds > 0 && index >= nextSync_) {
        const auto every = static_cast<uint64_t>(std::max(1.0, std::round(options_.syncSeconds * rate_)));
        NoteClockLocked(index, time);
        nextSync_ = (index / every + 1) * every;
    }
}

// Ties a sample to the monotonic clock: its index and its time there, to the microsecond
// while the text fits EDFlib's annotations.
void Recorder::NoteClockLocked(uint64_t index, double time) {
    std::string text;
    for (int decimals = 6; decimals >= 0; --decimals) {
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, "sample %llu at mono %.*f", static_cast<unsigned long long>(index),
                      decimals, time);
        text = buffer;
        if (text.size() <= kNoteChars) break;
    }
    file_->Annotate(index, -1, text);
}

// The file's first sample is sampled at `time` (clock seconds).
void Recorder::BeginLocked(double time) {
    begun_ = true;
    if (file_->Started()) return;
    if (!options_.anchor) options_.anchor = WallAnchor::Now();
    file_->SetStart(options_.anchor->At(time));
}

// Copies of the last row, marked as not delivered; the counter goes on counting.
void Recorder::FillLocked(uint64_t count) {
    scratch_ = last_;
    scratch_[columns_.signalCount] = 0.0;
    for (uint64_t i = 0; i < count; ++i) {
        if (target_ && file_->SamplesAdded() >= target_) break;
        if (columns_.counterColumn >= 0) {
            double& counter = scratch_[static_cast<size_t>(columns_.counterColumn)];
            counter = std::fmod(counter + 1.0, kCounterRange);
        }
        WriteLocked(scratch_.data());
    }
    last_ = scratch_;
    last_[columns_.signalCount] = 0.0;
}

void Recorder::WriteLocked(const double* values) {
    const uint64_t at = file_->SamplesAdded();
    file_->AddSample(values, clipped_);
    bool any = false;
    for (size_t c = 0; c < columns_.signalCount; ++c) {
        if (!clipped_[c]) continue;
        any = true;
        clipChannels_[c] = 1;
        if (!clipWarned_[c]) {
            clipWarned_[c] = 1;
            std::fprintf(stderr,
                         "warning: %s%s went beyond the range the file holds at %s; clipped values are annotated "
                         "BAD_clipped\n",
                         options_.label.c_str(), columns_.names[c].c_str(),
                         Text("%.2f s", static_cast<double>(at) / rate_).c_str());
        }
    }
    if (any) {
        ++summary_.clippedSamples;
        if (!clipStart_) clipStart_ = at;
    } else {
        EndClipRunLocked(at);
    }
}

void Recorder::EndFilledRunLocked() {
    if (!filledStart_) return;
    const uint64_t count = file_->SamplesAdded() - *filledStart_;
    file_->Annotate(*filledStart_, static_cast<int64_t>(count), "BAD_filled_in: " + std::to_string(count) + " samples",
                    "BAD_filled_in");
    filledStart_.reset();
}

void Recorder::EndClipRunLocked(uint64_t end) {
    if (!clipStart_) return;
    std::string text = "BAD_clipped:";
    for (size_t c = 0; c < clipChannels_.size(); ++c) {
        if (clipChannels_[c]) text += " " + columns_.names[c];
        clipChannels_[c] = 0;
    }
    file_->Annotate(*clipStart_, static_cast<int64_t>(end - *clipStart_), text, "BAD_clipped");
    clipStart_.reset();
}

uint64_t Recorder::OpenOutageSamplesLocked(Clock::time_point now) const {
    if (!outage_ || std::isnan(outage_->lastTime)) return 0;
    const double away = ClockSeconds(now) - outage_->lastTime;
    // Whole periods, forgiving the rounding of the division.
    return away > 0 ? static_cast<uint64_t>(away / clock_.Period() + 1e-6) : 0;
}

bool Recorder::Done(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_ || !file_->WriteFailure().empty()) return true;
    return target_ && file_->SamplesAdded() + OpenOutageSamplesLocked(now) >= target_;
}

bool Recorder::WriteFailed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !file_->WriteFailure().empty();
}

Recorder::Summary Recorder::Finish(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return summary_;
    finished_ = true;
    ReleaseRejoinLocked();
    EndFilledRunLocked();
    // Down since the common start: the file begins then.
    if (outage_ && !begun_ && startAt_ && !std::isnan(outage_->lastTime)) BeginLocked(*startAt_);
    if (outage_ && begun_ && (file_->SamplesAdded() > 0 || !std::isnan(outage_->lastTime))) {
        // The amplifier did not come back: the time axis runs on to the end, marked.
        EndClipRunLocked(file_->SamplesAdded());
        FillLocked(OpenOutageSamplesLocked(now));
        file_->Annotate(outage_->onset, static_cast<int64_t>(file_->SamplesAdded() - outage_->onset), kNotBack);
        summary_.outageSamples += file_->SamplesAdded() - outage_->onset;
        outage_.reset();
    }
    const uint64_t partial = file_->SamplesAdded() % file_->SamplesPerRecord();
    if (partial != 0) {
        // Complete the last data record, so that every sample that arrived is in the file.
        EndClipRunLocked(file_->SamplesAdded());
        const uint64_t onset = file_->SamplesAdded();
        FillLocked(file_->SamplesPerRecord() - partial);  // the target is whole records: never cut short
        summary_.padding = file_->SamplesAdded() - onset;
        file_->Annotate(onset, static_cast<int64_t>(summary_.padding),
                        "BAD_padding: " + std::to_string(summary_.padding) + " samples");
    }
    EndClipRunLocked(file_->SamplesAdded());
    summary_.writeFailure = file_->WriteFailure();
    summary_.file = file_->Finish();
    return summary_;
}

}  // namespace Mivo::Cli
