// Recordings: record sizing and ranges, a file that keeps what it was given, and the time axis
// of a recorder fed rows as the library delivers them. Files are read back with EDFlib.
#include <edflib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/edf_recording.h"
#include "cli/recorder.h"

using namespace Mivo::Cli;
namespace fs = std::filesystem;

namespace {

struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "mivoble-recording-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
    std::string File(const std::string& name) const { return (path / name).string(); }
};

struct Note {
    double onset, duration;  // seconds
    std::string text;
};

struct ReadBack {
    std::vector<std::vector<double>> signals;  // physical values
    std::vector<Note> notes;
    long long records = 0;
};

ReadBack Read(const std::string& path) {
    auto header = std::make_unique<edf_hdr_struct>();
    ReadBack back;
    if (edfopen_file_readonly(path.c_str(), header.get(), EDFLIB_READ_ALL_ANNOTATIONS) != 0) {
        ADD_FAILURE() << "EDFlib cannot read " << path << " (" << header->filetype << ")";
        return back;
    }
    back.records = header->datarecords_in_file;
    for (int s = 0; s < header->edfsignals; ++s) {
        std::vector<double> values(static_cast<size_t>(header->signalparam[s].smp_in_file));
        EXPECT_EQ(edfread_physical_samples(header->handle, s, static_cast<int>(values.size()), values.data()),
                  static_cast<int>(values.size()));
        back.signals.push_back(std::move(values));
    }
    for (long long n = 0; n < header->annotations_in_file; ++n) {
        edf_annotation_struct a{};
        edf_get_annotation(header->handle, static_cast<int>(n), &a);
        back.notes.push_back({a.onset / 1e7, a.duration_l < 0 ? -1.0 : a.duration_l / 1e7, a.annotation});
    }
    edfclose_file(header->handle);
    return back;
}

std::unique_ptr<EdfRecording> NewFile(const std::string& path, RecordingFormat format, std::vector<EdfSignal> signals,
                                      uint32_t rate, bool overwrite = false) {
    std::string temp = ReserveRecordingPath(path, overwrite);
    auto file = std::make_unique<EdfRecording>(temp, path, overwrite, format, std::move(signals), rate,
                                               SamplesPerRecord(rate), RecordingHeader{"model serial", "test"});
    file->SetStart(std::chrono::system_clock::now());
    return file;
}

}  // namespace

// Records of about 0.1 s, at most 120 samples where the rate allows, a whole number of 10 us.
TEST(CliRecordSizing, RecordsAndLengthsFitTheRate) {
    struct {
        uint32_t rate, perRecord;
    } records[] = {{250, 25},   {256, 16}, {500, 50}, {512, 32},     {1000, 100},
                   {2000, 100}, {7, 7},    {1, 1},    {65535, 13107}};
    for (const auto& c : records) {
        uint32_t n = SamplesPerRecord(c.rate);
        EXPECT_EQ(n, c.perRecord) << c.rate << " Hz";
        EXPECT_EQ(uint64_t{n} * 100000 % c.rate, 0u) << c.rate << " Hz";
    }
    // Never shorter than asked, at least one sample, whole records.
    struct {
        double seconds;
        uint32_t rate;
        uint64_t samples;
    } lengths[] = {{0.001, 250, 25}, {1.0005, 2000, 2100}, {1.01, 250, 275},
                   {4, 250, 1000},   {2, 256, 512},        {1e-9, 2000, 100}};
    for (const auto& c : lengths)
        EXPECT_EQ(RecordingTarget(c.seconds, c.rate, SamplesPerRecord(c.rate)), c.samples)
            << c.seconds << " s at " << c.rate;
}

TEST(CliRecordSizing, RangesAreSymmetricAndFitTheHeader) {
    struct {
        double value, header;
    } numbers[] = {
        {187500.0029, 187500}, {3276.7, 3276.7}, {0.0123456789, 0.01235}, {12345678.9, 9999999}, {-3276.7, -3276.7}};
    for (const auto& c : numbers) EXPECT_DOUBLE_EQ(HeaderNumber(c.value), c.header) << c.value;

    const float scale = 0.02235174f;
    auto bdf = MicrovoltChannel("EEG ch1", scale, RecordingFormat::Bdf);
    EXPECT_EQ(bdf.digitalMax, 8388607);
    EXPECT_NEAR(bdf.Step(), scale, 1e-8);  // one digital step is one count
    auto edf = MicrovoltChannel("EEG ch1", scale, RecordingFormat::Edf);
    EXPECT_EQ(edf.digitalMax, 32767);
    EXPECT_DOUBLE_EQ(edf.physicalMax, kEdfEegRangeMicrovolts);
    EXPECT_NEAR(edf.Step(), 0.1, 1e-12);
    // An amplifier whose whole range is narrower keeps it.
    EXPECT_NEAR(MicrovoltChannel("EEG ch1", 1e-4f, RecordingFormat::Edf).physicalMax, 838.86, 0.01);
    EXPECT_EQ(CountChannel("MISC ch1", RecordingFormat::Edf).Step(), 256.0);
    EXPECT_EQ(CounterChannel("MISC counter", RecordingFormat::Bdf).physicalMax, 16777215.0);
    EXPECT_EQ(FormatFromPath("/x/A.BDF"), RecordingFormat::Bdf);
    EXPECT_THROW(FormatFromPath(".edf"), UsageError);
}

// More notes than the recorded file has room for: a copy with more annotation signals takes them
// all; beyond 64 per record, notes of a kind are merged so that every one is still covered.
TEST(CliEdfRecording, EveryNoteFindsARoom) {
    struct {
        size_t notes;
        bool mergeable;
        size_t stored, merged;
    } cases[] = {{7, true, 7, 0}, {300, false, 300, 0}, {1000, true, 640, 360}};
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.File("n.bdf");
        auto file = NewFile(path, RecordingFormat::Bdf, {FlagChannel("MISC valid")}, 250);
        std::vector<uint8_t> clipped(1);
        double one = 1;
        for (int i = 0; i < 250; ++i) file->AddSample(&one, clipped);  // 10 records
        for (size_t i = 0; i < c.notes; ++i)
            file->Annotate(i * 250 / c.notes, 0, "note " + std::to_string(i), c.mergeable ? "note" : "");
        auto outcome = file->Finish();
        EXPECT_EQ(outcome.annotations, c.stored) << c.notes;
        EXPECT_EQ(outcome.merged, c.merged) << c.notes;
        EXPECT_EQ(outcome.lost, 0u) << c.notes;
        EXPECT_TRUE(outcome.problem.empty()) << outcome.problem;
        auto back = Read(path);
        EXPECT_EQ(back.records, 10);
        ASSERT_EQ(back.notes.size(), c.stored) << c.notes;
        double covered = 0;
        for (const auto& note : back.notes) covered = std::max(covered, note.onset + std::max(note.duration, 0.0));
        EXPECT_NEAR(covered, (c.notes - 1) * 1.0 / c.notes, 0.005) << "the last note is kept";
    }
}

// Ended without Finish (an exception on the way): the file is finished all the same. With
// nothing in it, there is no file. (Names taken and leftovers: the tool's own tests.)
TEST(CliEdfRecording, FinishesOnTheWayOutAndLeavesNothingEmpty) {
    TempDir dir;
    std::vector<uint8_t> clipped(1);
    double one = 1;
    for (int samples : {30, 0}) {
        const std::string path = dir.File(std::to_string(samples) + ".bdf");
        auto file = NewFile(path, RecordingFormat::Bdf, {FlagChannel("MISC valid")}, 250);
        for (int i = 0; i < samples; ++i) file->AddSample(&one, clipped);
        file.reset();
        EXPECT_EQ(fs::exists(path), samples > 0);
        EXPECT_FALSE(fs::exists(path + ".partial"));
    }
    EXPECT_EQ(Read(dir.File("30.bdf")).records, 1);
}

namespace {

// Rows of a legacy amplifier at 250 Hz: one signal channel, optionally a counter, battery, valid.
struct Feed {
    bool counted = true;
    double counter = 0;
    std::chrono::steady_clock::time_point t0 = std::chrono::steady_clock::now() - std::chrono::hours(1);
    std::vector<FeedItem> items;

    FeedItem& Rows(double arrival, int count, double value = 10.0, float valid = 1.0f) {
        FeedItem item;
        item.kind = FeedItem::Kind::Rows;
        item.rowCount = static_cast<uint32_t>(count);
        item.width = counted ? 4 : 3;
        item.arrived = At(arrival);
        for (int r = 0; r < count; ++r) {
            item.values.push_back(static_cast<float>(value));
            if (counted) item.values.push_back(static_cast<float>(counter = std::fmod(counter + 1, 16777216.0)));
            item.values.push_back(87.0f);
            item.values.push_back(valid);
        }
        items.push_back(std::move(item));
        return items.back();
    }
    // `seconds` of rows in batches of 16 from `start`, arriving when their last row is sampled.
    double Stream(double start, double seconds, double value = 10.0) {
        const int rows = static_cast<int>(std::lround(seconds * 250));
        for (int done = 0; done < rows; done += 16) {
            const int count = std::min(16, rows - done);
            Rows(start + (done + count) / 250.0, count, value);
        }
        return start + rows / 250.0;
    }
    void Event(FeedItem::Kind kind, double at) {
        FeedItem item;
        item.kind = kind;
        item.arrived = At(at);
        items.push_back(std::move(item));
    }
    std::chrono::steady_clock::time_point At(double seconds) const {
        return t0 +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
    }
};

RowColumns Columns(bool counted) {
    RowColumns columns;
    columns.names = counted ? std::vector<std::string>{"ch1", "counter", "battery", "valid"}
                            : std::vector<std::string>{"ch1", "battery", "valid"};
    columns.counterColumn = counted ? 1 : -1;
    columns.signalCount = columns.names.size() - 2;
    return columns;
}

}  // namespace

// The file's time axis is the amplifier's: every kind of hole becomes marked fill of its length.
TEST(CliRecorder, HolesBecomeMarkedFillOfTheirLength) {
    struct Case {
        const char* name;
        bool counted;
        void (*script)(Feed&);
        double endAt;            // Finish at this time
        const char* note;        // the annotation expected (prefix)
        double onset, duration;  // its place, seconds
        double seconds;          // the file's length
        double tolerance;        // of onset and duration
        RecordingFormat format = RecordingFormat::Bdf;
        uint64_t target = 0;  // samples (0: no end of its own)
    };
    const Case cases[] = {
        {"steady", true, [](Feed& f) { f.Stream(0, 2); }, 2.1, nullptr, 0, 0, 2.0, 0},
        {"library fill", true,
         [](Feed& f) {
             f.Stream(0, 1.0);
             f.Rows(1.0 + 3 / 250.0, 3, 10.0, 0.0f);  // three rows filled in by the library
             f.Stream(1.0 + 3 / 250.0, 1.0 - 3 / 250.0);
         },
         2.1, "BAD_filled_in: 3 samples", 1.0, 0.012, 2.0, 1e-3},
        {"counter jump", true,
         [](Feed& f) {
             double t = f.Stream(0, 1.0);
             f.counter += 300;  // beyond what the library fills in
             f.Stream(t + 300 / 250.0, 0.8);
         },
         3.0, "BAD_missing: 300 samples", 1.0, 1.2, 3.0, 1e-3},
        {"outage", true,
         [](Feed& f) {
             double t = f.Stream(0, 1.0);
             f.Event(FeedItem::Kind::LinkLost, t + 0.01);
             f.Event(FeedItem::Kind::LinkBack, t + 0.45);
             f.counter = 0;  // the amplifier counts from 1 on the new link
             f.Stream(t + 0.5, 1.0);
         },
         2.6, "BAD_link_lost: back after 0.500 s", 1.0, 0.5, 2.5, 0.01},
        {"outage, the new link's first rows late", true,
         [](Feed& f) {
             double t = f.Stream(0, 1.0);
             f.Event(FeedItem::Kind::LinkLost, t + 0.01);
             f.Event(FeedItem::Kind::LinkBack, t + 0.45);
             f.counter = 0;
             // Its first four batches arrive together, about 0.3 s late.
             for (int batch = 0; batch < 4; ++batch) f.Rows(t + 0.8, 16);
             f.Stream(t + 0.5 + 64 / 250.0, 1.0 - 64 / 250.0);
         },
         2.6, "BAD_link_lost: back after 0.500 s", 1.0, 0.5, 2.5, 0.01},
        {"never back", true,
         [](Feed& f) {
             double t = f.Stream(0, 1.0);
             f.Event(FeedItem::Kind::LinkLost, t + 0.01);
         },
         1.7, "BAD_link_lost: not back by the end", 1.0, 0.7, 1.7, 0.01},
        {"back after the end", true,
         [](Feed& f) {
             double t = f.Stream(0, 1.0);
             f.Event(FeedItem::Kind::LinkLost, t + 0.01);
             f.Event(FeedItem::Kind::LinkBack, t + 0.7);
             f.counter = 0;
             f.Stream(t + 0.8, 0.2);  // its first row falls after the 1.5 s the file holds
         },
         2.1, "BAD_link_lost: not back by the end", 1.0, 0.5, 1.5, 0.01, RecordingFormat::Bdf, 375},
        {"counter wraps", true,
         [](Feed& f) {
             f.counter = 16777216.0 - 100;
             f.Stream(0, 2);
         },
         2.1, nullptr, 0, 0, 2.0, 0},
        {"counterless loss", false,
         [](Feed& f) {
             double t = f.Stream(0, 6.0);
             f.Stream(t + 0.2, 2.0);  // 50 rows never arrive
         },
         8.3, "BAD_missing: 50 samples", 6.0, 0.2, 8.2, 0.35},
        {"partial record", true, [](Feed& f) { f.Stream(0, 1.02); }, 1.2, "BAD_padding: 20 samples", 1.02, 0.08, 1.1,
         1e-3},
        {"counter goes back", true,
         [](Feed& f) {
             double t = f.Stream(0, 1.0);
             f.counter = 0;  // the amplifier restarted without the link dropping
             f.Stream(t, 1.0);
         },
         2.1, "counter jump 250 to 1", 1.0, -1, 2.0, 1e-3},
        {"clipped", true,
         [](Feed& f) {
             double t = f.Stream(0, 1.0);
             f.Rows(t + 8 / 250.0, 8, 5000.0);  // beyond the +-3276.7 uV of EDF
             f.Stream(t + 8 / 250.0, 0.968);
         },
         2.1, "BAD_clipped: ch1", 1.0, 0.032, 2.0, 1e-3, RecordingFormat::Edf},
        {"counter leaps", true,
         [](Feed& f) {
             double t = f.Stream(0, 1.0);
             f.counter += 1e6;  // more than the rows' arrival allows
             f.Stream(t, 1.0);
         },
         2.1, "counter jump 250 to 1000251", 1.0, -1, 2.0, 1e-3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.File(c.format == RecordingFormat::Bdf ? "r.bdf" : "r.edf");
        auto columns = Columns(c.counted);
        Feed feed;
        feed.counted = c.counted;
        c.script(feed);
        {
            Recorder recorder(NewFile(path, c.format,
                                      RecordingSignals({{1, 1, 0, 0.02235174f}, {2, 5, 1, 1.0f}}, columns, c.format,
                                                       MIVOBLE_DEVICE_INFORMATION{}),
                                      250),
                              columns, 250, c.target);
            for (const auto& item : feed.items) recorder.Add(item);
            auto summary = recorder.Finish(feed.At(c.endAt));
            EXPECT_TRUE(summary.file.finalName) << summary.file.problem;
        }
        auto back = Read(path);
        const auto& valid = back.signals.back();
        EXPECT_NEAR(valid.size() / 250.0, c.seconds, c.tolerance + 1e-9);
        std::vector<Note> marks;  // the fill
        for (const auto& note : back.notes)
            if (note.text.rfind("BAD_", 0) == 0 && note.text.rfind("BAD_clipped", 0) != 0) marks.push_back(note);
        size_t unmarked = 0;
        for (size_t i = 0; i < valid.size(); ++i) {
            bool covered = false;
            const long at = static_cast<long>(i);
            for (const auto& m : marks)
                covered |= at >= std::lround(m.onset * 250) && at < std::lround((m.onset + m.duration) * 250);
            EXPECT_EQ(valid[i] == 0, covered) << "sample " << i;  // fill is exactly what is marked
            unmarked += valid[i] != 0;
        }
        EXPECT_GT(unmarked, 0u);
        if (!c.note) {
            EXPECT_TRUE(back.notes.empty());
            continue;
        }
        std::string texts;
        for (const auto& note : back.notes)
            texts += note.text + " at " + std::to_string(note.onset) + " for " + std::to_string(note.duration) + "; ";
        ASSERT_EQ(back.notes.size(), 1u) << texts;
        EXPECT_EQ(back.notes[0].text.rfind(c.note, 0), 0u) << back.notes[0].text;
        EXPECT_NEAR(back.notes[0].onset, c.onset, c.tolerance);
        EXPECT_NEAR(back.notes[0].duration, c.duration, c.tolerance);
    }
}

// Recorded together: the file starts with the row nearest to the common instant (rows before
// it only teach the clock), or at that instant with marked fill while the link is down; every
// 10 s a note ties a sample to the monotonic clock.
TEST(CliRecorder, RecordedTogetherStartsAtTheCommonInstant) {
    struct Case {
        const char* name;
        double start;  // the common instant, seconds after the feed's origin
        void (*script)(Feed&);
        double endAt;
        double firstCounter;  // counter of the file's first sample
        std::vector<uint64_t> notedSamples;
        const char* outage;  // an outage note from the first sample, if any
    };
    const Case cases[] = {
        {"nearest row", 1.0 + 0.3 / 250, [](Feed& f) { f.Stream(0, 3); }, 3.1, 250, {0}, nullptr},
        {"nearest row after it", 1.0 + 0.7 / 250, [](Feed& f) { f.Stream(0, 3); }, 3.1, 251, {0}, nullptr},
        {"nearest row came before it", 0.96 + 0.3 / 250, [](Feed& f) { f.Stream(0, 3); }, 3.1, 240, {0}, nullptr},
        {"a note every 10 s", 0.5, [](Feed& f) { f.Stream(0, 25.6); }, 25.7, 125, {0, 2500, 5000}, nullptr},
        {"down at the start",
         1.0,
         [](Feed& f) {
             double t = f.Stream(0, 0.5);
             f.Event(FeedItem::Kind::LinkLost, t + 0.01);
             f.Event(FeedItem::Kind::LinkBack, 1.35);
             f.counter = 0;
             f.Stream(1.4, 1.0);
         },
         2.5,
         1,
         {101},
         "BAD_link_lost: back after 0.404 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.File("t.bdf");
        auto columns = Columns(true);
        Feed feed;
        c.script(feed);
        const double origin = std::chrono::duration<double>(feed.t0.time_since_epoch()).count();
        {
            RecorderOptions options{"A", true, 10.0, WallAnchor::Now()};
            Recorder recorder(NewFile(path, RecordingFormat::Bdf,
                                      RecordingSignals({{1, 1, 0, 0.02235174f}, {2, 5, 1, 1.0f}}, columns,
                                                       RecordingFormat::Bdf, MIVOBLE_DEVICE_INFORMATION{}),
                                      250),
                              columns, 250, 0, options);
            // What arrived before the common instant is added before it is known, as the tool does.
            bool started = false;
            for (const auto& item : feed.items) {
                if (!started && item.arrived >= feed.At(c.start)) {
                    recorder.StartAt(feed.At(c.start));
                    started = true;
                }
                recorder.Add(item);
            }
            EXPECT_TRUE(recorder.Finish(feed.At(c.endAt)).file.finalName);
        }
        auto back = Read(path);
        ASSERT_EQ(back.signals.size(), 3u);
        EXPECT_EQ(back.signals[1][0], c.firstCounter);
        std::vector<uint64_t> noted;
        for (const auto& note : back.notes) {
            unsigned long long sample = 0;
            double mono = 0;
            if (std::sscanf(note.text.c_str(), "sample %llu at mono %lf", &sample, &mono) != 2) continue;
            noted.push_back(sample);
            EXPECT_EQ(std::lround(note.onset * 250), static_cast<long>(sample)) << note.text;
            // On the clock: the common instant plus the sample's place in the file.
            EXPECT_NEAR(mono - origin, c.start + sample / 250.0, 0.5 / 250 + 1e-6) << note.text;
        }
        EXPECT_EQ(noted, c.notedSamples);
        if (c.outage) {
            ASSERT_FALSE(back.notes.empty());
            const Note* outage = nullptr;
            for (const auto& note : back.notes)
                if (note.text.rfind("BAD_link_lost", 0) == 0) outage = &note;
            ASSERT_NE(outage, nullptr);
            EXPECT_EQ(outage->text, c.outage);
            EXPECT_NEAR(outage->onset, 0.0, 1e-3);
            EXPECT_EQ(back.signals[2][0], 0.0);  // filled, not delivered
        }
    }
}
