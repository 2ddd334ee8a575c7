// A recording in BDF+ (24-bit) or EDF+ (16-bit) written through EDFlib, to a temporary name
// that becomes the real one when the file is complete. Whatever ends the recording, the file
// is closed with every data record written and kept: under its final name where possible,
// else under the temporary one.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace Mivo::Cli {

enum class RecordingFormat { Bdf, Edf };

// From the file name's extension (.bdf / .edf, any case); throws UsageError otherwise.
RecordingFormat FormatFromPath(const std::string& path);

// The input range that an EDF (16-bit) file keeps for EEG: 0.1 uV per digital step.
constexpr double kEdfEegRangeMicrovolts = 3276.7;

struct EdfSignal {
    enum class Kind {
        Scaled,   // physical range -physicalMax .. physicalMax onto -digitalMax .. digitalMax; beyond it clips
        Counter,  // stored exactly, modulo the digital range: it wraps, never clips
        Flag,     // 0 or 1
    };
    Kind kind = Kind::Scaled;
    std::string label;       // at most 16 characters
    std::string transducer;  // at most 80
    std::string dimension;   // at most 8
    std::string prefilter;   // at most 80
    double physicalMax = 0;  // as the 8-character header field holds it
    int digitalMax = 0;

    // Physical units per digital step (Scaled).
    double Step() const { return physicalMax / digitalMax; }
};

// A channel in microvolts whose raw values are 24-bit counts scaled by `scale` uV. BDF keeps
// every count (the full 24-bit range); EDF keeps +-kEdfEegRangeMicrovolts, or the amplifier's
// whole range where that is narrower.
EdfSignal MicrovoltChannel(const std::string& label, float scale, RecordingFormat format);
// A channel of raw counts (no scale known): BDF keeps every 24-bit count, EDF steps of 256.
EdfSignal CountChannel(const std::string& label, RecordingFormat format);
// A sample counter: stored exactly, modulo 2^16 (EDF) or 2^24 (BDF).
EdfSignal CounterChannel(const std::string& label, RecordingFormat format);
// The valid flag of the rows: 1 for a sample the amplifier delivered, 0 for one filled in.
EdfSignal FlagChannel(const std::string& label);

// A number as an 8-character EDF header field reads back (the widest precision that fits).
double HeaderNumber(double value);

// Samples per data record: records of about 0.1 s that last a whole number of 10 us (EDFlib's
// unit), preferring a whole number of records per second, and at most 120 samples where the
// rate allows, so that one record's annotation signals (64 at most) have room for every run of
// filled-in samples it can hold.
uint32_t SamplesPerRecord(uint32_t rate);

// Samples to record for `seconds`: at least one, and whole data records (rounded up).
uint64_t RecordingTarget(double seconds, uint32_t rate, uint32_t samplesPerRecord);

// Reserves `finalPath`.partial for a new recording (created empty, exclusively) and returns its
// name. Refuses an existing final file unless `overwrite`, a final path that is a directory, and
// a leftover .partial (which may hold an earlier session and is never touched).
std::string ReserveRecordingPath(const std::string& finalPath, bool overwrite);

struct RecordingHeader {
    std::string equipment;   // the amplifier's model and serial number
    std::string additional;  // firmware, hardware, the tool's version
};

class EdfRecording {
public:
    // Opens the reserved temporary file; throws OperationError when EDFlib refuses the file or
    // the settings (the empty temporary file is removed then).
    EdfRecording(const std::string& tempPath, const std::string& finalPath, bool overwrite, RecordingFormat format,
                 std::vector<EdfSignal> signals, uint32_t rate, uint32_t samplesPerRecord,
                 const RecordingHeader& header);
    // Without Finish(): the file is finished under its temporary name (nothing is deleted).
    ~EdfRecording();
    EdfRecording(const EdfRecording&) = delete;
    EdfRecording& operator=(const EdfRecording&) = delete;

    // The wall-clock time of the first sample (to the microsecond); before the first AddSample.
    void SetStart(std::chrono::system_clock::time_point start);
    bool Started() const { return started_; }

    // One time step: one value per signal. Sets clipped[i] for each Scaled signal whose value
    // was outside its range (clipped.size() == signal count). Once a write has failed, samples
    // are counted but no longer stored.
    void AddSample(const double* values, std::vector<uint8_t>& clipped);
    // Onset and duration in samples from the start of the file (duration < 0: none). Notes that
    // share a non-empty merge key may be merged where the file has no room for all of them.
    void Annotate(uint64_t onsetSample, int64_t durationSamples, const std::string& text,
                  const std::string& mergeKey = {});

    uint64_t SamplesAdded() const { return added_; }
    uint64_t SamplesWritten() const { return written_; }
    uint32_t SamplesPerRecord() const { return perRecord_; }
    // A write failed (disk full, file size limit): the text says what happened.
    const std::string& WriteFailure() const { return writeFailure_; }

    struct Outcome {
        std::string path;        // where the recording is ("" when nothing was recorded)
        bool finalName = false;  // under the name asked for
        uint64_t samples = 0;    // samples in the file (whole records)
        size_t annotations = 0;  // annotations in the file
        size_t merged = 0;       // notes folded into others for lack of room
        size_t lost = 0;         // notes that did not fit at all (a failed write)
        std::string problem;     // what went wrong, if anything ("" for none)
    };
    // Writes the annotations, closes the file and gives it its final name. Samples of an
    // unfinished data record are left out (the caller completes the record first). Never throws:
    // a failure keeps the temporary file and says so in the outcome. Runs once; later calls
    // return the first outcome.
    Outcome Finish();

private:
    struct Note {
        uint64_t onset;
        int64_t duration;
        std::string text;
        std::string mergeKey;
    };

    void Open(const std::string& path, int annotationSignals, const std::vector<EdfSignal>& signals);
    void WriteRecord();
    void CheckGrowth();
    void WriteNotes(int handle, const std::vector<Note>& notes) const;
    std::vector<Note> FittingNotes(size_t capacity, size_t& merged) const;
    bool Rewrite(int annotationSignals, const std::vector<Note>& notes, std::string& problem);
    uint64_t RecordBytes() const;

    std::string tempPath_, finalPath_;
    bool overwrite_;
    RecordingFormat format_;
    std::vector<EdfSignal> signals_;
    uint32_t rate_;
    uint32_t perRecord_;
    RecordingHeader header_;
    int handle_ = -1;
    bool started_ = false;
    std::chrono::system_clock::time_point start_;
    std::vector<int> block_;  // perRecord_ digital samples of signal 0, then of signal 1, ...
    uint32_t filled_ = 0;
    uint64_t added_ = 0;
    uint64_t written_ = 0;
    std::string writeFailure_;
    std::vector<Note> notes_;
    bool finished_ = false;
    Outcome outcome_;
};

}  // namespace Mivo::Cli
