// record: a BDF+/EDF+ file of the stream on the amplifier's time axis, with annotations for
// link outages, filled-in and missing rows, and clipped values. Several amplifiers record into
// a directory, one file each, opened side by side and started from one instant.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/edf_recording.h"
#include "cli/recorder.h"
#include "cli/row_feed.h"

namespace Mivo::Cli {

namespace {

struct RecordOptions {
    std::vector<std::string> arguments;  // NAME... then FILE or DIR/
    std::string outputDir;
    std::string format = "bdf";
    bool formatGiven = false;
    std::optional<double> seconds;
    double wait = 10;
    bool overwrite = false;
};

// What to record where. `together`: into a directory, opened side by side, from one instant.
struct Target {
    std::string name, path;
};
struct Plan {
    std::vector<Target> targets;
    bool together = false;
    std::string directory;
};

constexpr uint32_t kFramesPerCallback = 16;
// How often the loop looks at the time axis while no rows come (an outage may reach the end).
constexpr std::chrono::milliseconds kTick{100};
// Recorded together, each file ties a sample to the host's monotonic clock this often.
constexpr double kClockNoteSeconds = 10;
// Recorded together, the files start once the row clocks have settled: their first estimates
// carry the first batches' delivery delay (several ms, far more on a busy host), which they
// shed at 1 % of a period per row. The start waits at least kSettleLeast after every amplifier
// streams, until every clock's times are within kSettledLag of its line, and at most
// kSettleMost; start times and first clock notes are then as exact as the later ones.
constexpr std::chrono::seconds kSettleLeast{1};
constexpr std::chrono::seconds kSettleMost{10};
constexpr double kSettledLag = 0.0005;

std::string Seconds(double s) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f s", s);
    return buffer;
}

bool EndsWith(const std::string& text, char c) { return !text.empty() && text.back() == c; }

Plan MakePlan(const RecordOptions& o) {
    Plan plan;
    std::vector<std::string> names = o.arguments;
    std::string file;
    if (!o.outputDir.empty()) {
        plan.together = true;
        plan.directory = o.outputDir;
    } else {
        if (names.size() < 2)
            throw UsageError(
                "record: give the amplifier and a FILE, or amplifiers and a directory (DIR/ or --output-dir)");
        const std::string last = names.back();
        names.pop_back();
        if (EndsWith(last, '/')) {
            plan.together = true;
            plan.directory = last;
        } else if (names.size() > 1) {
            throw UsageError("record: several amplifiers record into a directory, one file each: end '" + last +
                             "' with '/' or give --output-dir DIR");
        } else {
            file = last;
        }
    }
    if (names.empty()) throw UsageError("record: name at least one amplifier");
    std::set<std::string> seen;
    for (const auto& name : names)
        if (!seen.insert(name).second) throw UsageError("record: " + name + " is named twice");
    if (!plan.together) {
        if (o.formatGiven) throw UsageError("record: --format is for a directory; FILE's extension gives the format");
        FormatFromPath(file);  // a wrong extension is a usage error, found before any radio work
        plan.targets.push_back({names[0], file});
        return plan;
    }
    while (plan.directory.size() > 1 && EndsWith(plan.directory, '/')) plan.directory.pop_back();
    for (const auto& name : names) {
        std::string base = name;
        std::replace(base.begin(), base.end(), '/', '_');
        plan.targets.push_back({name, plan.directory + "/" + base + "." + o.format});
    }
    return plan;
}

// The directory of a recording made together: created if it is missing (not its parents), and
// removed again when the run leaves it empty.
class OutputDirectory {
public:
    explicit OutputDirectory(const std::string& path) : path_(path) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) throw OperationError("cannot write into " + path + ": it is not a directory");
            return;
        }
        if (mkdir(path.c_str(), 0755) != 0)
            throw OperationError("cannot write into " + path + ": " + std::strerror(errno));
        created_ = true;
    }
    ~OutputDirectory() { RemoveIfEmpty(); }
    OutputDirectory(const OutputDirectory&) = delete;
    OutputDirectory& operator=(const OutputDirectory&) = delete;
    void RemoveIfEmpty() const {
        if (created_) rmdir(path_.c_str());  // fails, as it should, when anything is in it
    }

private:
    std::string path_;
    bool created_ = false;
};

// The empty files reserved for the recordings, removed again if the recordings never start.
class Reservations {
public:
    Reservations() = default;
    ~Reservations() { Remove(); }
    Reservations(const Reservations&) = delete;
    Reservations& operator=(const Reservations&) = delete;
    void Add(std::string path) { paths_.push_back(std::move(path)); }
    const std::string& Path(size_t i) const { return paths_[i]; }
    // Safe from the signal watcher while the command's thread waits on the radio.
    void Remove() const {
        for (const auto& path : paths_) unlink(path.c_str());
    }
    void Release() { paths_.clear(); }

private:
    std::vector<std::string> paths_;
};

// Prints what the recording kept; returns the exit status.
int Report(const Recorder::Summary& s, const std::string& label, size_t channels, uint32_t rate) {
    const auto& f = s.file;
    if (f.path.empty()) {
        std::fprintf(stderr, "mivoble: %snothing recorded: %s\n", label.c_str(), f.problem.c_str());
        return kExitFailed;
    }
    std::printf(
        "%srecorded %s (%llu samples of %zu channels at %u Hz) to %s; %llu link loss(es) (%s marked), "
        "%llu filled-in sample(s), %llu missing sample(s) marked, %llu clipped sample(s); %zu annotation(s)",
        label.c_str(), Seconds(static_cast<double>(f.samples) / rate).c_str(),
        static_cast<unsigned long long>(f.samples), channels, rate, f.path.c_str(),
        static_cast<unsigned long long>(s.linkLosses), Seconds(static_cast<double>(s.outageSamples) / rate).c_str(),
        static_cast<unsigned long long>(s.filledIn), static_cast<unsigned long long>(s.missing),
        static_cast<unsigned long long>(s.clippedSamples), f.annotations);
    if (f.merged) std::printf(" (%zu merged into their neighbours for lack of room)", f.merged);
    if (f.lost) std::printf(" (%zu could not be stored)", f.lost);
    std::printf("\n");
    std::fflush(stdout);
    if (f.problem.empty()) return kExitOk;
    std::fprintf(stderr, "mivoble: %s%s; the recording is kept as %s\n", label.c_str(), f.problem.c_str(),
                 f.path.c_str());
    return kExitFailed;
}

// One amplifier's recording, from its open device to its report.
struct Track {
    Device* device = nullptr;
    std::string label;  // "NAME: " when recorded together
    size_t channels = 0;
    uint32_t rate = 0;
    std::unique_ptr<Recorder> recorder;
    std::unique_ptr<RowFeed> feed;
    std::once_flag reported;
    int status = kExitOk;

    // The summary is printed once, by whoever finishes the recording first.
    void Finish() {
        auto summary = recorder->Finish(std::chrono::steady_clock::now());
        std::call_once(reported, [&] { status = Report(summary, label, channels, rate); });
    }
};

std::unique_ptr<Recorder> PrepareRecorder(Track& track, const Target& target, const std::string& reserved,
                                          const RecordOptions& options, const Plan& plan, const WallAnchor& anchor) {
    const Device& device = *track.device;
    auto info = device.Information();
    auto channels = device.Channels();
    track.rate = info.samplingRate;
    const size_t width = info.numberOfAcquiredChannels;
    if (track.rate == 0 || width < 3)
        throw OperationError(track.label + "cannot record: the amplifier reports no channels or no sampling rate");
    RowColumns columns = DescribeColumns(channels, width);
    track.channels = columns.signalCount;

    const RecordingFormat format = FormatFromPath(target.path);
    const uint32_t perRecord = SamplesPerRecord(track.rate);
    const uint64_t samples = options.seconds ? RecordingTarget(*options.seconds, track.rate, perRecord) : 0;
    RecordingHeader header;
    header.equipment = std::string(info.modelNumber) + " " + info.serialNumber;
    header.additional = std::string("firmware ") + info.firmwareRevision + ", hardware " + info.hardwareRevision +
                        ", mivoble " + MIVOBLE_GetApiVersion();
    auto file = std::make_unique<EdfRecording>(reserved, target.path, options.overwrite, format,
                                               RecordingSignals(channels, columns, format, info), track.rate, perRecord,
                                               header);
    RecorderOptions settings;
    if (plan.together) {
        settings = {device.Name(), true, kClockNoteSeconds, anchor};
    }
    std::fprintf(stderr, "%srecording %zu channels at %u Hz to %s%s%s\n", track.label.c_str(), track.channels,
                 track.rate, target.path.c_str(),
                 samples ? (" for " + Seconds(static_cast<double>(samples) / track.rate)).c_str() : "",
                 plan.together ? "" : " (Ctrl-C ends it)");
    return std::make_unique<Recorder>(std::move(file), columns, track.rate, samples, std::move(settings));
}

std::string WallText(std::chrono::system_clock::time_point t) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%06lld", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long long>(micros % 1000000));
    return buffer;
}

int RunRecord(const RecordOptions& options, const Plan& plan, Context& context) {
    Interrupts& interrupts = *context.interrupts;
    // Before any radio work: the names are free and the folder takes the files.
    std::optional<OutputDirectory> directory;
    if (plan.together) directory.emplace(plan.directory);
    Reservations reservations;
    for (const auto& target : plan.targets) reservations.Add(ReserveRecordingPath(target.path, options.overwrite));
    // Quitting before the recordings start leaves no empty file behind to block the next run.
    std::optional<InterruptHooks> quitting(std::in_place, &interrupts, std::function<void()>{}, [&] {
        reservations.Remove();
        if (directory) directory->RemoveIfEmpty();
    });

    const auto wait = Milliseconds(options.wait);
    std::vector<std::unique_ptr<Device>> devices;
    if (plan.together) {
        std::vector<std::string> names;
        for (const auto& target : plan.targets) names.push_back(target.name);
        devices = OpenAll(names, interrupts, wait);
    } else {
        devices.push_back(std::make_unique<Device>(plan.targets[0].name, &interrupts, wait));
    }

    FeedGroup group(plan.targets.size());  // outlives the feeds
    std::vector<std::unique_ptr<Track>> tracks;
    const WallAnchor anchor = WallAnchor::Now();
    for (size_t i = 0; i < plan.targets.size(); ++i) {
        auto track = std::make_unique<Track>();
        track->device = devices[i].get();
        if (plan.together) track->label = plan.targets[i].name + ": ";
        if (interrupts.Requested()) throw Interrupted("stopped before the recording began");
        track->recorder = PrepareRecorder(*track, plan.targets[i], reservations.Path(i), options, plan, anchor);
        tracks.push_back(std::move(track));
    }
    quitting.reset();
    reservations.Release();  // each file is its recording's now

    auto finishAll = [&tracks] {
        for (auto& track : tracks) track->Finish();
    };
    // A second stop request quits without waiting for the amplifiers: the files are finished first.
    InterruptHooks hooks(
        &interrupts, [&group] { group.Wake(); }, finishAll);

    for (auto& track : tracks)
        track->feed = std::make_unique<RowFeed>(track->device->Handle(), kFramesPerCallback, &group);
    std::string failure;
    // Recorded together: the instant the recordings start from, once known.
    std::optional<std::chrono::steady_clock::time_point> startsAt;
    try {
        if (plan.together)
            std::fprintf(stderr,
                         "waiting for every amplifier to stream; the recordings start together (Ctrl-C ends them)\n");
        const auto streamsDue = std::chrono::steady_clock::now() + wait;
        auto done = [&tracks] {
            const auto now = std::chrono::steady_clock::now();
            bool all = true;
            for (auto& track : tracks) {
                if (track->recorder->WriteFailed()) return true;  // a full disk ends them all
                all = track->recorder->Done(now) && all;
            }
            return all;
        };
        auto lastStatus = std::chrono::steady_clock::now();
        std::vector<std::vector<FeedItem>> taken(tracks.size());
        while (!interrupts.Requested() && !done()) {
            group.Wait(std::chrono::steady_clock::now() + kTick);
            const auto now = std::chrono::steady_clock::now();
            for (size_t i = 0; i < tracks.size(); ++i) taken[i] = tracks[i]->feed->Take(now);
            // Only after taking: every row taken before the start is decided arrived before it.
            if (plan.together && !startsAt) {
                if (auto streaming = group.CommonStart()) {
                    const bool settled = std::all_of(tracks.begin(), tracks.end(), [](const auto& track) {
                        return std::abs(track->recorder->ClockLag()) < kSettledLag;
                    });
                    if ((settled && now >= *streaming + kSettleLeast) || now >= *streaming + kSettleMost) {
                        startsAt = now;
                        for (auto& track : tracks) track->recorder->StartAt(now);
                        const double steady = std::chrono::duration<double>(now.time_since_epoch()).count();
                        std::fprintf(stderr, "every amplifier streams: the recordings start at %s%s\n",
                                     WallText(anchor.At(steady)).c_str(),
                                     settled ? "" : " (a row clock has not settled yet)");
                    }
                } else if (now >= streamsDue) {
                    std::string silent;
                    for (size_t i : group.Silent()) silent += (silent.empty() ? "" : ", ") + tracks[i]->device->Name();
                    throw OperationError(silent + " sent no samples within " + Seconds(options.wait) +
                                         "; nothing recorded");
                }
            }
            for (size_t i = 0; i < tracks.size(); ++i)
                for (auto& item : taken[i]) {
                    tracks[i]->recorder->Add(item);
                    if (tracks[i]->recorder->Done(std::chrono::steady_clock::now())) break;
                }
            if (context.stderrIsTerminal && now - lastStatus >= std::chrono::seconds(1)) {
                lastStatus = now;
                std::string line;
                for (auto& track : tracks) line += track->label + Seconds(track->recorder->Seconds()) + "  ";
                std::fprintf(stderr, "\r%srecorded  ", line.c_str());
            }
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (context.stderrIsTerminal) std::fputc('\n', stderr);
    if (plan.together && !startsAt) {
        // The recordings never began: their files are left out, and one line says why.
        for (auto& track : tracks) track->recorder->Finish(std::chrono::steady_clock::now());
        if (!failure.empty()) throw OperationError(failure);
        throw Interrupted("stopped before the recordings began");
    }
    if (!failure.empty()) std::fprintf(stderr, "mivoble: the recording stopped: %s\n", failure.c_str());
    // The files first: stopping the streams and closing the amplifiers may wait on the radio.
    finishAll();
    int status = failure.empty() ? kExitOk : kExitFailed;
    for (auto& track : tracks) {
        if (track->feed) track->feed->Stop();
        status = std::max(status, track->status);
    }
    return status;
}

}  // namespace

void AddRecord(CLI::App& app, Context& context) {
    auto options = std::make_shared<RecordOptions>();
    auto* sub = app.add_subcommand(
        "record", "record to BDF+ (.bdf, 24-bit) or EDF+ (.edf, 16-bit); several amplifiers into a directory");
    sub->add_option("NAME... FILE|DIR/", options->arguments,
                    "amplifier name and output file (.bdf or .edf), or amplifier names and a directory ending in "
                    "'/' (one file per amplifier, NAME.bdf)")
        ->required();
    sub->add_option("--output-dir", options->outputDir, "record every named amplifier into this directory");
    sub->add_option("--format", options->format, "format of the files in a directory")
        ->check(CLI::IsMember({"bdf", "edf"}))
        ->each([options](const std::string&) { options->formatGiven = true; });
    sub->add_option("--seconds", options->seconds,
                    "length of the recording on the amplifier's time axis, rounded up to whole data records "
                    "(default: until Ctrl-C)")
        ->check(PositiveSeconds());
    sub->add_option("--wait", options->wait,
                    "how long to wait for each amplifier to advertise (and, recording several, for their first "
                    "samples), in seconds")
        ->check(PositiveSeconds());
    sub->add_flag("--overwrite", options->overwrite, "replace existing files");
    sub->callback([options, &context] {
        auto plan = std::make_shared<Plan>(MakePlan(*options));
        context.action = [options, plan, &context] { return RunRecord(*options, *plan, context); };
    });
}

}  // namespace Mivo::Cli
