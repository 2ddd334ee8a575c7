// record: a BDF+/EDF+ file of the stream, with annotations for link events and filled-in rows.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/edf_recording.h"
#include "cli/row_feed.h"

namespace Mivo::Cli {

namespace {

struct RecordOptions {
    std::string name;
    std::string file;
    std::optional<double> seconds;
};

constexpr uint32_t kFramesPerCallback = 16;

// Fails early, before any radio work, when the file cannot be created where it should go.
void CheckWritable(const std::string& tempPath, const std::string& finalPath) {
    int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw OperationError("cannot write " + finalPath + ": " + std::strerror(errno));
    close(fd);
    unlink(tempPath.c_str());
}

std::string Seconds(double s) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f s", s);
    return buffer;
}

// Walks the rows in arrival order, tracking runs of filled-in rows and counter jumps.
class RecordingSession {
public:
    RecordingSession(EdfRecording& file, const RowColumns& columns, uint32_t rate, uint64_t target)
        : file_(file), columns_(columns), rate_(rate), target_(target) {}

    bool Done() const { return target_ && file_.SamplesAdded() >= target_; }

    void Rows(const FeedItem& item) {
        for (uint32_t r = 0; r < item.rowCount && !Done(); ++r) Row(&item.values[static_cast<size_t>(r) * item.width], item.width);
    }

    void LinkLost(std::chrono::steady_clock::time_point at) {
        EndFilledRun();
        lostAt_ = at;
        ++losses_;
        file_.Annotate(file_.SamplesAdded(), -1, "link lost");
        std::fprintf(stderr, "link lost at %s; waiting for the amplifier to reconnect\n",
                     Seconds(Position()).c_str());
    }

    void LinkBack(std::chrono::steady_clock::time_point at) {
        double away = lostAt_ ? std::chrono::duration<double>(at - *lostAt_).count() : 0.0;
        lostAt_.reset();
        file_.Annotate(file_.SamplesAdded(), -1, "link back after " + Seconds(away));
        std::fprintf(stderr, "link back after %s\n", Seconds(away).c_str());
    }

    void Finish() { EndFilledRun(); }

    uint64_t Losses() const { return losses_; }
    uint64_t Filled() const { return filledTotal_; }

private:
    double Position() const { return static_cast<double>(file_.SamplesAdded()) / rate_; }

    void Row(const float* row, uint32_t width) {
        if (width != columns_.names.size()) throw OperationError("the row width changed while recording");
        const bool valid = row[width - 1] != 0.0f;
        if (!valid && !filledStart_) filledStart_ = file_.SamplesAdded();
        if (valid) EndFilledRun();
        if (columns_.counterColumn >= 0) {
            float counter = row[columns_.counterColumn];
            // Frame numbers count on by one and start again at 0 after the modulus.
            if (lastCounter_ && counter != std::fmod(*lastCounter_ + 1.0f, static_cast<float>(MIVOBLE_FRAME_COUNTER_MODULUS)))
                file_.Annotate(file_.SamplesAdded(), -1,
                               "counter jump " + std::to_string(static_cast<long long>(*lastCounter_)) + " to " +
                                   std::to_string(static_cast<long long>(counter)));
            lastCounter_ = counter;
        }
        if (!valid) ++filledTotal_;
        file_.AddSample(row);
    }

    void EndFilledRun() {
        if (!filledStart_) return;
        uint64_t count = file_.SamplesAdded() - *filledStart_;
        file_.Annotate(*filledStart_, static_cast<int64_t>(count), std::to_string(count) + " samples filled in");
        filledStart_.reset();
    }

    EdfRecording& file_;
    const RowColumns& columns_;
    uint32_t rate_;
    uint64_t target_;
    std::optional<uint64_t> filledStart_;
    std::optional<float> lastCounter_;
    std::optional<std::chrono::steady_clock::time_point> lostAt_;
    uint64_t losses_ = 0;
    uint64_t filledTotal_ = 0;
};

int RunRecord(const RecordOptions& options, Context& context) {
    const RecordingFormat format = FormatFromPath(options.file);
    const std::string tempPath = options.file + ".partial";
    CheckWritable(tempPath, options.file);

    Device device(options.name);
    auto info = device.Information();
    auto channels = device.Channels();
    const uint32_t rate = info.samplingRate;
    const size_t width = info.numberOfAcquiredChannels;
    if (rate == 0 || width < 3) throw OperationError("cannot record: the amplifier reports no channels or no sampling rate");
    RowColumns columns = DescribeColumns(channels, width);

    std::vector<EdfSignal> signals;
    for (size_t c = 0; c < columns.signalCount; ++c) {
        float scale = 1.0f;
        for (const auto& ch : channels)
            if (ch.id == c + 1) scale = ch.scale;
        signals.push_back(static_cast<int>(c) == columns.counterColumn ? CounterChannel(columns.names[c], format)
                                                                        : ScaledChannel(columns.names[c], scale));
    }
    const uint64_t target = options.seconds ? static_cast<uint64_t>(std::llround(*options.seconds * rate)) : 0;
    const uint32_t perRecord = SamplesPerRecord(rate, target);
    // Whole data records only: a length that no record size divides is rounded up.
    const uint64_t recordTarget = target ? (target + perRecord - 1) / perRecord * perRecord : 0;

    context.interrupts->SetUnfinishedFile(tempPath);
    EdfRecording file(tempPath, options.file, format, std::move(signals), rate, perRecord,
                      std::string(info.modelNumber) + " " + info.serialNumber);
    RecordingSession session(file, columns, rate, recordTarget);

    std::fprintf(stderr, "recording %zu channels at %u Hz to %s%s (Ctrl-C ends it)\n", columns.signalCount, rate,
                 options.file.c_str(), target ? (" for " + Seconds(static_cast<double>(recordTarget) / rate)).c_str() : "");
    RowFeed feed(device.Handle(), kFramesPerCallback);
    context.interrupts->OnRequest([&feed] { feed.Wake(); });
    struct ClearWake {
        Interrupts* interrupts;
        ~ClearWake() { interrupts->OnRequest(nullptr); }
    } clearWake{context.interrupts};

    auto lastStatus = std::chrono::steady_clock::now();
    while (!session.Done() && !context.interrupts->Requested()) {
        auto now = std::chrono::steady_clock::now();
        for (auto& item : feed.Take(now + std::chrono::seconds(1))) {
            switch (item.kind) {
                case FeedItem::Kind::Rows: session.Rows(item); break;
                case FeedItem::Kind::LinkLost: session.LinkLost(item.arrived); break;
                case FeedItem::Kind::LinkBack: session.LinkBack(item.arrived); break;
            }
            if (session.Done()) break;
        }
        now = std::chrono::steady_clock::now();
        if (context.stderrIsTerminal && now - lastStatus >= std::chrono::seconds(1)) {
            lastStatus = now;
            std::fprintf(stderr, "\r%s recorded  ", Seconds(static_cast<double>(file.SamplesAdded()) / rate).c_str());
        }
    }
    feed.Stop();
    session.Finish();
    if (context.stderrIsTerminal) std::fputc('\n', stderr);
    file.Finish();
    context.interrupts->SetUnfinishedFile("");

    std::printf("recorded %s (%llu samples of %zu channels at %u Hz) to %s; %llu link loss(es), %llu filled-in sample(s)\n",
                Seconds(static_cast<double>(file.SamplesWritten()) / rate).c_str(),
                static_cast<unsigned long long>(file.SamplesWritten()), columns.signalCount, rate,
                options.file.c_str(), static_cast<unsigned long long>(session.Losses()),
                static_cast<unsigned long long>(session.Filled()));
    return 0;
}

}  // namespace

void AddRecord(CLI::App& app, Context& context) {
    auto options = std::make_shared<RecordOptions>();
    auto* sub = app.add_subcommand("record", "record to BDF+ (.bdf, 24-bit) or EDF+ (.edf, 16-bit)");
    sub->add_option("NAME", options->name, "amplifier name")->required();
    sub->add_option("FILE", options->file, "output file, .bdf or .edf")->required();
    sub->add_option("--seconds", options->seconds, "length of the recording (default: until Ctrl-C)")
        ->check(PositiveSeconds());
    sub->callback([options, &context] {
        FormatFromPath(options->file);  // a wrong extension is a usage error, found before any radio work
        context.action = [options, &context] { return RunRecord(*options, context); };
    });
}

}  // namespace Mivo::Cli
