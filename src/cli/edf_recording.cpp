#include "cli/edf_recording.h"

#include <edflib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cli/cli_error.h"

namespace Mivo::Cli {

namespace {

constexpr double kRaw24Max = 8388607.0;
constexpr double kRaw24Min = -8388608.0;
// The widest physical value an 8-character header field holds as a whole number.
constexpr double kHeaderMax = 99999999.0;
// EDFlib keeps at most this many characters of an annotation.
constexpr size_t kAnnotationChars = 40;
// One EDFlib time unit for annotations is 100 microseconds.
constexpr double kAnnotationUnitsPerSecond = 10000.0;

int DigitalMax(RecordingFormat f) { return f == RecordingFormat::Bdf ? 8388607 : 32767; }
int DigitalMin(RecordingFormat f) { return f == RecordingFormat::Bdf ? -8388608 : -32768; }

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

RecordingFormat FormatFromPath(const std::string& path) {
    std::string lower = Lower(path);
    auto endsWith = [&lower](const char* ext) {
        size_t n = std::strlen(ext);
        return lower.size() > n && lower.compare(lower.size() - n, n, ext) == 0;
    };
    if (endsWith(".bdf")) return RecordingFormat::Bdf;
    if (endsWith(".edf")) return RecordingFormat::Edf;
    throw UsageError("FILE: '" + path + "' must end in .bdf (BDF+, 24-bit) or .edf (EDF+, 16-bit)");
}

EdfSignal ScaledChannel(const std::string& label, float scale) {
    double s = std::fabs(static_cast<double>(scale));
    if (s == 0.0 || !std::isfinite(s)) s = 1.0;
    double limit = std::min(kHeaderMax, std::max(1.0, std::ceil(-kRaw24Min * s)));
    EdfSignal signal;
    signal.label = label;
    // Scaled values are microvolts; unscaled ones are the amplifier's raw counts.
    signal.dimension = scale == 1.0f ? "" : "uV";
    signal.physicalMin = -limit;
    signal.physicalMax = limit;
    return signal;
}

EdfSignal CounterChannel(const std::string& label, RecordingFormat format) {
    EdfSignal signal;
    signal.label = label;
    signal.physicalMin = 0;
    signal.physicalMax = static_cast<double>(DigitalMax(format)) - DigitalMin(format);
    signal.wraps = true;
    return signal;
}

uint32_t SamplesPerRecord(uint32_t rate, uint64_t totalSamples) {
    uint32_t best = 0;
    for (uint32_t n = 1; n <= rate; ++n) {
        if (rate % n != 0 || (static_cast<uint64_t>(n) * 100000u) % rate != 0) continue;
        if (totalSamples && totalSamples % n != 0) continue;
        best = n;  // the largest fitting so far
        if (static_cast<uint64_t>(n) * 10 >= rate) return n;
    }
    if (best) return best;
    // No record length divides the requested total: whole seconds, the length is rounded up.
    return rate;
}

EdfRecording::EdfRecording(const std::string& tempPath, const std::string& finalPath, RecordingFormat format,
                           std::vector<EdfSignal> signals, uint32_t rate, uint32_t samplesPerRecord,
                           const std::string& equipment)
    : tempPath_(tempPath), finalPath_(finalPath), format_(format), signals_(std::move(signals)), rate_(rate),
      perRecord_(samplesPerRecord) {
    if (signals_.empty() || rate_ == 0 || perRecord_ == 0)
        throw OperationError("cannot record: the amplifier reports no channels or no sampling rate");
    int type = format == RecordingFormat::Bdf ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS;
    handle_ = edfopen_file_writeonly(tempPath_.c_str(), type, static_cast<int>(signals_.size()));
    if (handle_ < 0) {
        int error = errno;
        handle_ = -1;
        throw OperationError("cannot write " + finalPath_ + ": " + (error ? std::strerror(error) : "EDFlib refused it"));
    }
    auto fail = [this](const std::string& what) {
        Discard();
        throw OperationError("cannot set up " + finalPath_ + ": " + what);
    };
    // Record duration in 10-microsecond units; SamplesPerRecord keeps it whole.
    int duration = static_cast<int>(static_cast<uint64_t>(perRecord_) * 100000u / rate_);
    if (edf_set_datarecord_duration(handle_, duration) != 0) fail("data record duration");
    for (size_t i = 0; i < signals_.size(); ++i) {
        const auto& s = signals_[i];
        int n = static_cast<int>(i);
        if (edf_set_samplefrequency(handle_, n, static_cast<int>(perRecord_)) != 0 ||
            edf_set_digital_maximum(handle_, n, DigitalMax(format_)) != 0 ||
            edf_set_digital_minimum(handle_, n, DigitalMin(format_)) != 0 ||
            edf_set_physical_maximum(handle_, n, s.physicalMax) != 0 ||
            edf_set_physical_minimum(handle_, n, s.physicalMin) != 0 ||
            edf_set_label(handle_, n, s.label.c_str()) != 0 ||
            edf_set_physical_dimension(handle_, n, s.dimension.c_str()) != 0)
            fail("signal " + s.label);
    }
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    edf_set_startdatetime(handle_, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          local.tm_sec);
    edf_set_equipment(handle_, equipment.c_str());
    block_.assign(static_cast<size_t>(perRecord_) * signals_.size(), 0.0);
}

EdfRecording::~EdfRecording() {
    if (!finished_) Discard();
}

void EdfRecording::Discard() {
    if (handle_ >= 0) edfclose_file(handle_);
    handle_ = -1;
    unlink(tempPath_.c_str());
}

void EdfRecording::AddSample(const float* values) {
    const double wrapRange = static_cast<double>(DigitalMax(format_)) - DigitalMin(format_) + 1.0;
    for (size_t i = 0; i < signals_.size(); ++i) {
        double v = values[i];
        if (signals_[i].wraps) {
            v = std::fmod(std::round(v), wrapRange);
            if (v < 0) v += wrapRange;
        }
        block_[i * perRecord_ + filled_] = v;
    }
    ++added_;
    if (++filled_ == perRecord_) WriteRecord();
}

void EdfRecording::WriteRecord() {
    if (edf_blockwrite_physical_samples(handle_, block_.data()) != 0)
        throw OperationError("writing " + finalPath_ + " failed (disk full?)");
    written_ += filled_;
    filled_ = 0;
}

void EdfRecording::Annotate(uint64_t onsetSample, int64_t durationSamples, const std::string& text) {
    notes_.push_back({onsetSample, durationSamples, text.substr(0, kAnnotationChars)});
}

void EdfRecording::Finish() {
    if (written_ == 0) {
        Discard();
        throw OperationError("nothing recorded: no complete data record of " + std::to_string(perRecord_) +
                             " samples arrived; " + finalPath_ + " was not written");
    }
    for (const auto& note : notes_) {
        // Events after the last complete record are outside the file.
        if (note.onset > written_) continue;
        long long onset = std::llround(static_cast<double>(note.onset) * kAnnotationUnitsPerSecond / rate_);
        long long duration = note.duration < 0 ? -1
                                               : std::llround(static_cast<double>(note.duration) *
                                                              kAnnotationUnitsPerSecond / rate_);
        edfwrite_annotation_utf8(handle_, onset, duration, note.text.c_str());
    }
    int rc = edfclose_file(handle_);
    handle_ = -1;
    if (rc != 0) {
        unlink(tempPath_.c_str());
        throw OperationError("closing " + finalPath_ + " failed");
    }
    if (std::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
        int error = errno;
        unlink(tempPath_.c_str());
        throw OperationError("cannot rename the recording to " + finalPath_ + ": " + std::strerror(error));
    }
    finished_ = true;
}

}  // namespace Mivo::Cli
