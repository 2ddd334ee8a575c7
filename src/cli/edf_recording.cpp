#include "cli/edf_recording.h"

#include <edflib.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "cli/cli_error.h"

namespace Mivo::Cli {

namespace {

constexpr int kBdfMax = 8388607;
constexpr int kEdfMax = 32767;
// A header field has 8 characters; a symmetric range needs room for the minus sign.
constexpr int kHeaderChars = 8;
constexpr double kHeaderMagnitudeMax = 9999999.0;
// EDFlib keeps at most this many characters of an annotation.
constexpr size_t kAnnotationChars = 40;
// EDFlib's annotation times are in units of 100 microseconds.
constexpr double kAnnotationUnitsPerSecond = 10000.0;
// Annotation signals of a file as it is recorded; the file is rewritten with more at the end
// when its notes need them (EDFlib stores one note per annotation signal and data record).
constexpr int kAnnotationSignalsWhileRecording = 1;
constexpr int kAnnotationSignalsMax = 64;
constexpr uint32_t kSamplesPerRecordMax = 120;
// How far the file may lag behind what was written before a write counts as failed: EDFlib
// writes through a stdio buffer (of the file's block size), so the file grows in steps.
constexpr uint64_t kGrowthSlack = 64 * 1024;

int DigitalMax(RecordingFormat f) { return f == RecordingFormat::Bdf ? kBdfMax : kEdfMax; }
int BytesPerSample(RecordingFormat f) { return f == RecordingFormat::Bdf ? 3 : 2; }

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

double PhysicalMin(const EdfSignal& s) { return s.kind == EdfSignal::Kind::Scaled ? -s.physicalMax : 0.0; }
int DigitalMin(const EdfSignal& s) {
    switch (s.kind) {
        case EdfSignal::Kind::Scaled: return -s.digitalMax;
        case EdfSignal::Kind::Counter: return -s.digitalMax - 1;
        case EdfSignal::Kind::Flag: return 0;
    }
    return 0;
}

std::string ErrnoText(int error) { return std::strerror(error); }

// EDFlib prints header numbers by cutting digits off, so a value just below a decimal (as most
// binary fractions are) loses its last digit. Nudged away from zero, it prints as meant.
double ForHeader(double value) { return value + std::copysign(std::max(std::fabs(value), 1.0) * 1e-12, value); }

// The fields of an EDF header that locate the data records.
struct RecordLayout {
    uint64_t headerBytes = 0;
    uint64_t recordBytes = 0;
    long long records = 0;
};

bool ReadField(std::FILE* f, long offset, size_t width, std::string& out) {
    out.assign(width, ' ');
    return std::fseek(f, offset, SEEK_SET) == 0 && std::fread(out.data(), 1, width, f) == width;
}

bool ReadLayout(std::FILE* f, int bytesPerSample, RecordLayout& layout) {
    std::string field;
    if (!ReadField(f, 184, 8, field)) return false;
    layout.headerBytes = std::strtoull(field.c_str(), nullptr, 10);
    if (!ReadField(f, 236, 8, field)) return false;
    layout.records = std::strtoll(field.c_str(), nullptr, 10);
    if (!ReadField(f, 252, 4, field)) return false;
    long signals = std::strtol(field.c_str(), nullptr, 10);
    if (signals <= 0 || layout.headerBytes != 256u * (static_cast<uint64_t>(signals) + 1)) return false;
    // Per signal: label 16, transducer 80, dimension 8, four ranges of 8, prefilter 80, then the
    // samples per record (8 each).
    const long samplesAt = 256 + signals * 216;
    layout.recordBytes = 0;
    for (long i = 0; i < signals; ++i) {
        if (!ReadField(f, samplesAt + i * 8, 8, field)) return false;
        layout.recordBytes += std::strtoull(field.c_str(), nullptr, 10) * static_cast<uint64_t>(bytesPerSample);
    }
    return layout.recordBytes > 0;
}

// Makes the header's record count and the file's length agree with the complete data records
// on disk (EDFlib counts records it could not write, and a write may stop halfway through one).
// Returns the number of complete records, or -1 when the file has no readable header.
long long RepairTail(const std::string& path, int bytesPerSample) {
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    if (!f) return -1;
    RecordLayout layout;
    struct stat st {};
    if (!ReadLayout(f, bytesPerSample, layout) || fstat(fileno(f), &st) != 0 ||
        static_cast<uint64_t>(st.st_size) < layout.headerBytes) {
        std::fclose(f);
        return -1;
    }
    const long long complete =
        static_cast<long long>((static_cast<uint64_t>(st.st_size) - layout.headerBytes) / layout.recordBytes);
    const uint64_t length = layout.headerBytes + static_cast<uint64_t>(complete) * layout.recordBytes;
    bool ok = true;
    if (complete != layout.records) {
        char count[16];
        std::snprintf(count, sizeof count, "%-8lld", complete);
        ok = std::fseek(f, 236, SEEK_SET) == 0 && std::fwrite(count, 1, 8, f) == 8;
    }
    ok = std::fflush(f) == 0 && ok;
    if (static_cast<uint64_t>(st.st_size) != length) ok = ftruncate(fileno(f), static_cast<off_t>(length)) == 0 && ok;
    ok = std::fclose(f) == 0 && ok;
    return ok ? complete : -1;
}

// Renames without replacing an existing file (unless asked to).
int RenameInto(const std::string& from, const std::string& to, bool replace) {
    if (replace) return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without the no-replace rename: a hard link fails on an existing name too.
    if (link(from.c_str(), to.c_str()) != 0) return errno;
    unlink(from.c_str());
    return 0;
}

std::string Directory(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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

double HeaderNumber(double value) {
    const double magnitude = std::min(std::fabs(value), kHeaderMagnitudeMax);
    char text[64];
    for (int decimals = kHeaderChars - 2; decimals >= 0; --decimals) {
        int n = std::snprintf(text, sizeof text, "%.*f", decimals, magnitude);
        if (n <= kHeaderChars - 1) break;
    }
    double fitted = std::strtod(text, nullptr);
    return value < 0 ? -fitted : fitted;
}

EdfSignal MicrovoltChannel(const std::string& label, float scale, RecordingFormat format) {
    double s = std::fabs(static_cast<double>(scale));
    if (s == 0.0 || !std::isfinite(s)) s = 1.0;
    EdfSignal signal;
    signal.label = label;
    signal.dimension = "uV";
    signal.digitalMax = DigitalMax(format);
    const double whole = kBdfMax * s;  // every 24-bit count the amplifier can send
    signal.physicalMax = HeaderNumber(format == RecordingFormat::Bdf ? whole : std::min(whole, kEdfEegRangeMicrovolts));
    if (signal.physicalMax <= 0) signal.physicalMax = HeaderNumber(kEdfEegRangeMicrovolts);
    return signal;
}

EdfSignal CountChannel(const std::string& label, RecordingFormat format) {
    EdfSignal signal;
    signal.label = label;
    signal.dimension = "count";
    signal.digitalMax = DigitalMax(format);
    signal.physicalMax = format == RecordingFormat::Bdf ? kBdfMax : kEdfMax * 256.0;
    return signal;
}

EdfSignal CounterChannel(const std::string& label, RecordingFormat format) {
    EdfSignal signal;
    signal.kind = EdfSignal::Kind::Counter;
    signal.label = label;
    signal.dimension = "count";
    signal.digitalMax = DigitalMax(format);
    signal.physicalMax = 2.0 * signal.digitalMax + 1.0;  // 0 .. 2^16-1 or 0 .. 2^24-1
    return signal;
}

EdfSignal FlagChannel(const std::string& label) {
    EdfSignal signal;
    signal.kind = EdfSignal::Kind::Flag;
    signal.label = label;
    signal.physicalMax = 1;
    signal.digitalMax = 1;
    return signal;
}

uint32_t SamplesPerRecord(uint32_t rate) {
    if (rate == 0) return 1;
    auto whole10us = [rate](uint32_t n) { return static_cast<uint64_t>(n) * 100000u % rate == 0; };
    const uint32_t cap = std::max<uint32_t>(1, std::min<uint32_t>(kSamplesPerRecordMax, rate / 10));
    for (uint32_t n = cap; n >= 1; --n)
        if (whole10us(n) && rate % n == 0) return n;
    for (uint32_t n = cap; n >= 1; --n)
        if (whole10us(n)) return n;
    // Rates whose 10 us multiples are all longer: the shortest record that fits.
    for (uint32_t n = cap + 1; n < rate; ++n)
        if (whole10us(n)) return n;
    return rate;
}

uint64_t RecordingTarget(double seconds, uint32_t rate, uint32_t samplesPerRecord) {
    // A hair below the product, so that a length the rate meets exactly is not rounded up.
    const double samples = std::max(1.0, std::ceil(seconds * rate - 1e-6));
    const uint64_t n = static_cast<uint64_t>(samples);
    return (n + samplesPerRecord - 1) / samplesPerRecord * samplesPerRecord;
}

std::string ReserveRecordingPath(const std::string& finalPath, bool overwrite) {
    struct stat st {};
    if (stat(finalPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw OperationError(finalPath + " is a directory; name a file to record to");
        if (!overwrite) throw OperationError(finalPath + " exists; give --overwrite to replace it, or another name");
    }
    const std::string tempPath = finalPath + ".partial";
    int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == EEXIST)
            throw OperationError(tempPath + " exists: an earlier recording to " + finalPath +
                                 " did not finish, and it may hold its data; it is left as it is. Move it away, "
                                 "or record under another name");
        throw OperationError("cannot write " + finalPath + ": " + ErrnoText(errno));
    }
    close(fd);
    return tempPath;
}

EdfRecording::EdfRecording(const std::string& tempPath, const std::string& finalPath, bool overwrite,
                           RecordingFormat format, std::vector<EdfSignal> signals, uint32_t rate,
                           uint32_t samplesPerRecord, const RecordingHeader& header)
    : tempPath_(tempPath),
      finalPath_(finalPath),
      overwrite_(overwrite),
      format_(format),
      signals_(std::move(signals)),
      rate_(rate),
      perRecord_(samplesPerRecord),
      header_(header) {
    if (signals_.empty() || rate_ == 0 || perRecord_ == 0 || static_cast<uint64_t>(perRecord_) * 100000u % rate_ != 0) {
        unlink(tempPath_.c_str());
        throw OperationError("cannot record: no channels, no sampling rate, or no record length for " +
                             std::to_string(rate_) + " Hz");
    }
    try {
        Open(tempPath_, kAnnotationSignalsWhileRecording, signals_);
    } catch (...) {
        unlink(tempPath_.c_str());
        throw;
    }
    block_.assign(static_cast<size_t>(perRecord_) * signals_.size(), 0);
}

void EdfRecording::Open(const std::string& path, int annotationSignals, const std::vector<EdfSignal>& signals) {
    int type = format_ == RecordingFormat::Bdf ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS;
    int handle = edfopen_file_writeonly(path.c_str(), type, static_cast<int>(signals.size()));
    if (handle < 0) {
        int error = errno;
        throw OperationError("cannot write " + finalPath_ + ": " + (error ? ErrnoText(error) : "EDFlib refused it"));
    }
    auto fail = [handle, this](const std::string& what) {
        edfclose_file(handle);
        throw OperationError("cannot set up " + finalPath_ + ": " + what);
    };
    int duration = static_cast<int>(static_cast<uint64_t>(perRecord_) * 100000u / rate_);
    if (edf_set_datarecord_duration(handle, duration) != 0) fail("data record duration");
    if (edf_set_number_of_annotation_signals(handle, annotationSignals) != 0) fail("annotation signals");
    for (size_t i = 0; i < signals.size(); ++i) {
        const auto& s = signals[i];
        int n = static_cast<int>(i);
        if (edf_set_samplefrequency(handle, n, static_cast<int>(perRecord_)) != 0 ||
            edf_set_digital_maximum(handle, n, s.digitalMax) != 0 ||
            edf_set_digital_minimum(handle, n, DigitalMin(s)) != 0 ||
            edf_set_physical_maximum(handle, n, ForHeader(s.physicalMax)) != 0 ||
            edf_set_physical_minimum(handle, n, ForHeader(PhysicalMin(s))) != 0 ||
            edf_set_label(handle, n, s.label.c_str()) != 0 ||
            edf_set_physical_dimension(handle, n, s.dimension.c_str()) != 0 ||
            edf_set_transducer(handle, n, s.transducer.c_str()) != 0 ||
            edf_set_prefilter(handle, n, s.prefilter.c_str()) != 0)
            fail("signal " + s.label);
    }
    edf_set_equipment(handle, header_.equipment.c_str());
    edf_set_recording_additional(handle, header_.additional.c_str());
    handle_ = handle;
    if (started_) SetStart(start_);
}

void EdfRecording::SetStart(std::chrono::system_clock::time_point start) {
    start_ = start;
    started_ = true;
    if (handle_ < 0) return;
    auto sinceEpoch = std::chrono::duration_cast<std::chrono::microseconds>(start.time_since_epoch());
    std::time_t seconds = static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(sinceEpoch).count());
    long long micros = (sinceEpoch - std::chrono::seconds(seconds)).count();
    std::tm local{};
    localtime_r(&seconds, &local);
    edf_set_startdatetime(handle_, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          local.tm_sec);
    // In units of 100 ns.
    edf_set_subsecond_starttime(handle_, static_cast<int>(micros * 10));
}

EdfRecording::~EdfRecording() { Finish(); }

void EdfRecording::AddSample(const double* values, std::vector<uint8_t>& clipped) {
    for (size_t i = 0; i < signals_.size(); ++i) {
        const EdfSignal& s = signals_[i];
        const double v = values[i];
        long long d = 0;
        clipped[i] = 0;
        switch (s.kind) {
            case EdfSignal::Kind::Scaled: {
                double q = std::isfinite(v) ? std::round(v / s.Step()) : 0.0;
                if (q > s.digitalMax || q < -s.digitalMax || !std::isfinite(v)) {
                    clipped[i] = 1;
                    q = std::clamp(q, -static_cast<double>(s.digitalMax), static_cast<double>(s.digitalMax));
                }
                d = static_cast<long long>(q);
                break;
            }
            case EdfSignal::Kind::Counter: {
                const long long modulus = 2LL * s.digitalMax + 2;
                long long n =
                    std::isfinite(v) ? std::llround(std::fmod(std::round(v), static_cast<double>(modulus))) : 0;
                if (n < 0) n += modulus;
                d = n - (s.digitalMax + 1LL);
                break;
            }
            case EdfSignal::Kind::Flag: d = v != 0.0 ? 1 : 0; break;
        }
        block_[i * perRecord_ + filled_] = static_cast<int>(d);
    }
    ++added_;
    if (++filled_ == perRecord_) WriteRecord();
}

void EdfRecording::WriteRecord() {
    filled_ = 0;
    if (!writeFailure_.empty() || handle_ < 0) return;
    if (edf_blockwrite_digital_samples(handle_, block_.data()) != 0) {
        writeFailure_ = "EDFlib could not write a data record";
        return;
    }
    written_ += perRecord_;
    CheckGrowth();
}

uint64_t EdfRecording::RecordBytes() const {
    return static_cast<uint64_t>(perRecord_) * signals_.size() * BytesPerSample(format_);
}

// EDFlib writes through stdio and does not report failed writes: the file's length tells.
void EdfRecording::CheckGrowth() {
    struct stat st {};
    if (stat(tempPath_.c_str(), &st) != 0) return;
    const uint64_t atLeast = 256u * (signals_.size() + 1) + (written_ / perRecord_) * RecordBytes();
    const uint64_t slack =
        kGrowthSlack + 2 * std::max<uint64_t>(BUFSIZ, static_cast<uint64_t>(st.st_blksize)) + 2 * RecordBytes();
    if (atLeast <= static_cast<uint64_t>(st.st_size) + slack) return;
    struct statvfs fs {};
    struct rlimit limit {};
    if (statvfs(Directory(tempPath_).c_str(), &fs) == 0 && fs.f_bavail == 0) writeFailure_ = "the disk is full";
    else if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
             static_cast<uint64_t>(st.st_size) + slack >= limit.rlim_cur)
        writeFailure_ = "the file size limit (ulimit -f) is reached";
    else writeFailure_ = "the file stopped growing at " + std::to_string(st.st_size) + " bytes";
}

void EdfRecording::Annotate(uint64_t onsetSample, int64_t durationSamples, const std::string& text,
                            const std::string& mergeKey) {
    notes_.push_back({onsetSample, durationSamples, text.substr(0, kAnnotationChars), mergeKey});
}

// EDFlib writes a note's onset plus the start's fraction of a second cut to its 100 us unit,
// and readers subtract the whole fraction: a note would land up to 100 us before its sample,
// and one on the first sample outside the file. Onsets are rounded up instead: each note sits
// on its sample or less than 100 us after it.
void EdfRecording::WriteNotes(int handle, const std::vector<Note>& notes) const {
    constexpr long long kTicksPerSecond = 10000000;  // the start's fraction is kept in 100 ns
    constexpr long long kTicksPerUnit = kTicksPerSecond / static_cast<long long>(kAnnotationUnitsPerSecond);
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(start_.time_since_epoch()).count();
    const long long fraction = started_ ? micros % 1000000 * 10 : 0;
    const long long rate = rate_;
    // The first unit at or after a sample, counted from the start's whole second.
    auto unitAt = [&](uint64_t sample) {
        const long long ticks = fraction * rate + static_cast<long long>(sample) * kTicksPerSecond;  // x rate
        return (ticks + kTicksPerUnit * rate - 1) / (kTicksPerUnit * rate);
    };
    for (const auto& note : notes) {
        const long long onset = unitAt(note.onset);
        const long long duration =
            note.duration < 0 ? -1 : unitAt(note.onset + static_cast<uint64_t>(note.duration)) - onset;
        edfwrite_annotation_utf8(handle, onset - fraction / kTicksPerUnit, duration, note.text.c_str());
    }
}

// The notes in onset order, merged where there are more than `capacity`: neighbours with the
// same merge key become one note spanning both, closest pairs first.
std::vector<EdfRecording::Note> EdfRecording::FittingNotes(size_t capacity, size_t& merged) const {
    std::vector<Note> notes;
    notes.reserve(notes_.size());
    for (const auto& note : notes_)
        if (note.onset < written_) notes.push_back(note);
    std::stable_sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) { return a.onset < b.onset; });
    merged = 0;
    while (notes.size() > capacity) {
        // Merge every pair of neighbours that share a key, closest first, until the notes fit.
        std::vector<std::pair<uint64_t, size_t>> gaps;
        for (size_t i = 0; i + 1 < notes.size(); ++i) {
            if (notes[i].mergeKey.empty() || notes[i].mergeKey != notes[i + 1].mergeKey) continue;
            uint64_t end = notes[i].onset + static_cast<uint64_t>(std::max<int64_t>(notes[i].duration, 0));
            gaps.emplace_back(notes[i + 1].onset > end ? notes[i + 1].onset - end : 0, i);
        }
        if (gaps.empty()) break;
        std::sort(gaps.begin(), gaps.end());
        std::vector<uint8_t> joinNext(notes.size(), 0);
        size_t excess = notes.size() - capacity;
        for (size_t g = 0; g < gaps.size() && excess > 0; ++g) {
            size_t i = gaps[g].second;
            if (joinNext[i] || (i > 0 && joinNext[i - 1]) || (i + 1 < notes.size() && joinNext[i + 1])) continue;
            joinNext[i] = 1;
            --excess;
        }
        std::vector<Note> next;
        for (size_t i = 0; i < notes.size(); ++i) {
            if (i > 0 && joinNext[i - 1]) continue;
            Note note = notes[i];
            if (joinNext[i]) {
                const Note& other = notes[i + 1];
                uint64_t end = std::max(note.onset + static_cast<uint64_t>(std::max<int64_t>(note.duration, 0)),
                                        other.onset + static_cast<uint64_t>(std::max<int64_t>(other.duration, 0)));
                note.duration = static_cast<int64_t>(end - note.onset);
                note.text = (note.mergeKey + ": merged runs").substr(0, kAnnotationChars);
                ++merged;
            }
            next.push_back(std::move(note));
        }
        notes.swap(next);
    }
    if (notes.size() > capacity) notes.resize(capacity);
    return notes;
}

// Copies the closed temporary file into a new one with more annotation signals, so that every
// note has a place, and puts it in the old one's place. False (old file untouched) on failure.
bool EdfRecording::Rewrite(int annotationSignals, const std::vector<Note>& notes, std::string& problem) {
    const std::string copyPath = tempPath_ + ".annotated";
    int fd = open(copyPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        problem = "cannot make room for every annotation: " + copyPath + ": " + ErrnoText(errno);
        return false;
    }
    close(fd);
    auto header = std::make_unique<edf_hdr_struct>();
    int reader = -1;
    if (edfopen_file_readonly(tempPath_.c_str(), header.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS) == 0)
        reader = header->handle;
    bool ok = reader >= 0 && header->edfsignals == static_cast<int>(signals_.size());
    const long long records = ok ? header->datarecords_in_file : 0;
    try {
        if (ok) Open(copyPath, annotationSignals, signals_);
    } catch (const OperationError&) {
        ok = false;
    }
    const int writer = ok ? handle_ : -1;
    std::vector<int> block(static_cast<size_t>(perRecord_) * signals_.size());
    for (long long r = 0; ok && r < records; ++r) {
        for (size_t i = 0; ok && i < signals_.size(); ++i)
            ok = edfread_digital_samples(reader, static_cast<int>(i), static_cast<int>(perRecord_),
                                         &block[i * perRecord_]) == static_cast<int>(perRecord_);
        ok = ok && edf_blockwrite_digital_samples(writer, block.data()) == 0;
    }
    if (reader >= 0) edfclose_file(reader);
    if (writer >= 0) {
        WriteNotes(writer, notes);
        edfclose_file(writer);
    }
    handle_ = -1;
    ok = ok && RepairTail(copyPath, BytesPerSample(format_)) == records &&
         std::rename(copyPath.c_str(), tempPath_.c_str()) == 0;
    if (!ok) {
        unlink(copyPath.c_str());
        problem = "could not rewrite the file with room for every annotation";
    }
    return ok;
}

EdfRecording::Outcome EdfRecording::Finish() {
    if (finished_) return outcome_;
    finished_ = true;
    Outcome& out = outcome_;
    out.problem = writeFailure_.empty() ? "" : "writing " + finalPath_ + " failed: " + writeFailure_;
    if (written_ == 0 || handle_ < 0) {
        // Nothing in it (with no data record EDFlib would write annotations as records of their own).
        if (handle_ >= 0) edfclose_file(handle_);
        handle_ = -1;
        unlink(tempPath_.c_str());
        if (out.problem.empty()) out.problem = "no complete data record arrived";
        return out;
    }
    const uint64_t records = written_ / perRecord_;
    // Notes after the last record are outside the file; the others all go in, merged if need be.
    const size_t inFile = static_cast<size_t>(
        std::count_if(notes_.begin(), notes_.end(), [this](const Note& n) { return n.onset < written_; }));
    std::vector<Note> notes = FittingNotes(records * kAnnotationSignalsMax, out.merged);
    out.lost = inFile - out.merged - notes.size();
    // The file as recorded has room for some; a copy with more annotation signals takes the rest.
    const size_t fitNow = static_cast<size_t>(records) * kAnnotationSignalsWhileRecording;
    std::vector<Note> first(notes.begin(), notes.begin() + static_cast<long>(std::min(fitNow, notes.size())));
    WriteNotes(handle_, first);
    edfclose_file(handle_);
    handle_ = -1;
    long long onDisk = RepairTail(tempPath_, BytesPerSample(format_));
    int signalsPerRecord = kAnnotationSignalsWhileRecording;
    if (notes.size() > fitNow) {
        std::string problem = "no room for every annotation after the failed write";
        int needed = static_cast<int>((notes.size() + records - 1) / records);
        if (onDisk == static_cast<long long>(records) && Rewrite(needed, notes, problem)) {
            signalsPerRecord = needed;
        } else {
            out.lost += notes.size() - first.size();
            notes = first;
            if (out.problem.empty()) out.problem = problem;
        }
    }
    if (onDisk < 0) {
        out.problem = (out.problem.empty() ? "" : out.problem + "; ") + "its header could not be completed";
        onDisk = 0;
    }
    const size_t noteRoom = static_cast<size_t>(onDisk) * static_cast<size_t>(signalsPerRecord);
    if (notes.size() > noteRoom) out.lost += notes.size() - noteRoom;
    out.annotations = std::min(notes.size(), noteRoom);
    out.samples = static_cast<uint64_t>(onDisk) * perRecord_;
    if (onDisk == 0) {
        unlink(tempPath_.c_str());
        if (out.problem.empty()) out.problem = "no complete data record could be stored";
        return out;
    }
    if (onDisk < static_cast<long long>(records) && out.problem.empty())
        out.problem =
            "only " + std::to_string(onDisk) + " of " + std::to_string(records) + " data records reached the disk";
    int error = RenameInto(tempPath_, finalPath_, overwrite_);
    if (error == 0) {
        out.path = finalPath_;
        out.finalName = true;
    } else {
        out.path = tempPath_;
        std::string why =
            "cannot name it " + finalPath_ + " (" + (error == EEXIST ? "that name exists now" : ErrnoText(error)) + ")";
        out.problem = out.problem.empty() ? why : out.problem + "; " + why;
    }
    return out;
}

}  // namespace Mivo::Cli
