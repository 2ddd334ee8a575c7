// A recording in BDF+ (24-bit) or EDF+ (16-bit) written through EDFlib, to a temporary
// name that becomes the real one only when the file is complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Mivo::Cli {

enum class RecordingFormat { Bdf, Edf };

// From the file name's extension (.bdf / .edf, any case); throws UsageError otherwise.
RecordingFormat FormatFromPath(const std::string& path);

struct EdfSignal {
    std::string label;       // at most 16 characters
    std::string dimension;   // at most 8 characters
    double physicalMin = 0;
    double physicalMax = 0;
    bool wraps = false;      // store the value modulo the digital range (sample counters)
};

// Physical range of a channel whose raw values are 24-bit and scaled by `scale`: the whole
// range a sample can take, rounded outward to whole units so the header keeps it exactly.
EdfSignal ScaledChannel(const std::string& label, float scale);
// A sample counter: stored exactly, modulo 2^16 (EDF) or 2^24 (BDF); it wraps, never clips.
EdfSignal CounterChannel(const std::string& label, RecordingFormat format);

// Samples per data record for a rate: EDF stores whole samples per record, and EDFlib takes
// the record duration in 10-microsecond units. Prefers records of about 0.1 s that also divide
// `totalSamples` (0: any length), so that a requested length is met exactly.
uint32_t SamplesPerRecord(uint32_t rate, uint64_t totalSamples);

class EdfRecording {
public:
    // Opens `tempPath`; throws OperationError when EDFlib refuses the file or the settings.
    EdfRecording(const std::string& tempPath, const std::string& finalPath, RecordingFormat format,
                 std::vector<EdfSignal> signals, uint32_t rate, uint32_t samplesPerRecord, const std::string& equipment);
    // Without Finish(): the temporary file is closed and removed.
    ~EdfRecording();
    EdfRecording(const EdfRecording&) = delete;
    EdfRecording& operator=(const EdfRecording&) = delete;

    // One time step: one value per signal.
    void AddSample(const float* values);
    // Onset and duration in samples from the start of the file (duration < 0: none).
    void Annotate(uint64_t onsetSample, int64_t durationSamples, const std::string& text);

    uint64_t SamplesAdded() const { return added_; }
    uint64_t SamplesWritten() const { return written_; }
    uint32_t SamplesPerRecord() const { return perRecord_; }

    // Writes the annotations, closes the file and renames it to the final name. Samples of an
    // unfinished data record are left out. Throws OperationError when nothing complete was recorded.
    void Finish();

private:
    void WriteRecord();
    void Discard();

    std::string tempPath_, finalPath_;
    RecordingFormat format_;
    std::vector<EdfSignal> signals_;
    uint32_t rate_;
    uint32_t perRecord_;
    int handle_ = -1;
    std::vector<double> block_;  // perRecord_ samples of signal 0, then of signal 1, ...
    uint32_t filled_ = 0;
    uint64_t added_ = 0;
    uint64_t written_ = 0;
    struct Note {
        uint64_t onset;
        int64_t duration;
        std::string text;
    };
    std::vector<Note> notes_;
    bool finished_ = false;
};

}  // namespace Mivo::Cli
