// record: a BDF+/EDF+ file of the stream on the amplifier's time axis, with annotations for
// link outages, filled-in and missing rows, and clipped values.
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/edf_recording.h"
#include "cli/recorder.h"
#include "cli/row_feed.h"

namespace Mivo::Cli {

namespace {

struct RecordOptions {
    std::string name;
    std::string file;
    std::optional<double> seconds;
    bool overwrite = false;
};

constexpr uint32_t kFramesPerCallback = 16;
// How often the loop looks at the time axis while no rows come (an outage may reach the end).
constexpr std::chrono::milliseconds kTick{100};

std::string Seconds(double s) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f s", s);
    return buffer;
}

// The empty file reserved for the recording, removed again if the recording never starts.
class Reservation {
public:
    explicit Reservation(std::string path) : path_(std::move(path)) {}
    ~Reservation() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    const std::string& Path() const { return path_; }
    void Release() { path_.clear(); }

private:
    std::string path_;
};

// Prints what the recording kept; returns the exit status.
int Report(const Recorder::Summary& s, size_t channels, uint32_t rate) {
    const auto& f = s.file;
    if (f.path.empty()) {
        std::fprintf(stderr, "mivoble: nothing recorded: %s\n", f.problem.c_str());
        return kExitFailed;
    }
    std::printf("recorded %s (%llu samples of %zu channels at %u Hz) to %s; %llu link loss(es) (%s marked), "
                "%llu filled-in sample(s), %llu missing sample(s) marked, %llu clipped sample(s); %zu annotation(s)",
                Seconds(static_cast<double>(f.samples) / rate).c_str(), static_cast<unsigned long long>(f.samples),
                channels, rate, f.path.c_str(), static_cast<unsigned long long>(s.linkLosses),
                Seconds(static_cast<double>(s.outageSamples) / rate).c_str(),
                static_cast<unsigned long long>(s.filledIn), static_cast<unsigned long long>(s.missing),
                static_cast<unsigned long long>(s.clippedSamples), f.annotations);
    if (f.merged) std::printf(" (%zu merged into their neighbours for lack of room)", f.merged);
    if (f.lost) std::printf(" (%zu could not be stored)", f.lost);
    std::printf("\n");
    std::fflush(stdout);
    if (f.problem.empty()) return kExitOk;
    std::fprintf(stderr, "mivoble: %s; the recording is kept as %s\n", f.problem.c_str(), f.path.c_str());
    return kExitFailed;
}

int RunRecord(const RecordOptions& options, Context& context) {
    const RecordingFormat format = FormatFromPath(options.file);
    // Before any radio work: the names are free and the folder takes a file.
    Reservation reservation(ReserveRecordingPath(options.file, options.overwrite));
    // Quitting before the recording starts leaves no empty file behind to block the next run.
    std::optional<InterruptHooks> quitting(std::in_place, context.interrupts, std::function<void()>{},
                                           [&reservation] { unlink(reservation.Path().c_str()); });

    Device device(options.name, context.interrupts);
    auto info = device.Information();
    auto channels = device.Channels();
    const uint32_t rate = info.samplingRate;
    const size_t width = info.numberOfAcquiredChannels;
    if (rate == 0 || width < 3) throw OperationError("cannot record: the amplifier reports no channels or no sampling rate");
    if (context.interrupts->Requested()) throw Interrupted("stopped before the recording began");
    RowColumns columns = DescribeColumns(channels, width);
    const size_t channelCount = columns.signalCount;

    const uint32_t perRecord = SamplesPerRecord(rate);
    const uint64_t target = options.seconds ? RecordingTarget(*options.seconds, rate, perRecord) : 0;
    RecordingHeader header;
    header.equipment = std::string(info.modelNumber) + " " + info.serialNumber;
    header.additional = std::string("firmware ") + info.firmwareRevision + ", hardware " + info.hardwareRevision +
                        ", mivoble " + MIVOBLE_GetApiVersion();
    auto file = std::make_unique<EdfRecording>(reservation.Path(), options.file, options.overwrite, format,
                                               RecordingSignals(channels, columns, format, info), rate, perRecord, header);
    quitting.reset();
    reservation.Release();
    Recorder recorder(std::move(file), columns, rate, target);

    std::fprintf(stderr, "recording %zu channels at %u Hz to %s%s (Ctrl-C ends it)\n", channelCount, rate,
                 options.file.c_str(), target ? (" for " + Seconds(static_cast<double>(target) / rate)).c_str() : "");
    // The summary is printed once, by whoever finishes the recording first.
    std::once_flag reported;
    int status = kExitOk;
    auto finish = [&] {
        auto summary = recorder.Finish(std::chrono::steady_clock::now());
        std::call_once(reported, [&] { status = Report(summary, channelCount, rate); });
    };
    RowFeed feed(device.Handle(), kFramesPerCallback);
    // A second stop request quits without waiting for the amplifier: the file is finished first.
    InterruptHooks hooks(context.interrupts, [&feed] { feed.Wake(); }, finish);

    std::string failure;
    try {
        auto lastStatus = std::chrono::steady_clock::now();
        while (!context.interrupts->Requested() && !recorder.Done(std::chrono::steady_clock::now())) {
            for (auto& item : feed.Take(std::chrono::steady_clock::now() + kTick)) {
                recorder.Add(item);
                if (recorder.Done(std::chrono::steady_clock::now())) break;
            }
            auto now = std::chrono::steady_clock::now();
            if (context.stderrIsTerminal && now - lastStatus >= std::chrono::seconds(1)) {
                lastStatus = now;
                std::fprintf(stderr, "\r%s recorded  ", Seconds(recorder.Seconds()).c_str());
            }
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (context.stderrIsTerminal) std::fputc('\n', stderr);
    if (!failure.empty()) std::fprintf(stderr, "mivoble: the recording stopped: %s\n", failure.c_str());
    // The file first: stopping the stream and closing the amplifier may wait on the radio.
    finish();
    feed.Stop();
    return failure.empty() ? status : kExitFailed;
}

}  // namespace

void AddRecord(CLI::App& app, Context& context) {
    auto options = std::make_shared<RecordOptions>();
    auto* sub = app.add_subcommand("record", "record to BDF+ (.bdf, 24-bit) or EDF+ (.edf, 16-bit)");
    sub->add_option("NAME", options->name, "amplifier name")->required();
    sub->add_option("FILE", options->file, "output file, .bdf or .edf")->required();
    sub->add_option("--seconds", options->seconds,
                    "length of the recording on the amplifier's time axis, rounded up to whole data records "
                    "(default: until Ctrl-C)")
        ->check(PositiveSeconds());
    sub->add_flag("--overwrite", options->overwrite, "replace FILE if it exists");
    sub->callback([options, &context] {
        FormatFromPath(options->file);  // a wrong extension is a usage error, found before any radio work
        context.action = [options, &context] { return RunRecord(*options, context); };
    });
}

}  // namespace Mivo::Cli
