// stream: sample rows as CSV/TSV text, first column each row's sampling time (from the row
// clock) in seconds since the stream began.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/row_clock.h"
#include "cli/row_feed.h"
#include "cli/text_output.h"

namespace Mivo::Cli {

namespace {

struct StreamOptions {
    std::string name;
    std::optional<double> seconds;
    std::string output;
    std::string format = "csv";
    uint32_t batch = 16;
};

// Text rows to stdout or to a file that gets its name only when complete.
class RowWriter {
public:
    RowWriter(const std::string& path, char separator) : path_(path), separator_(separator) {
        if (path_.empty()) {
            out_ = stdout;
            return;
        }
        temp_ = path_ + ".partial";
        out_ = std::fopen(temp_.c_str(), "w");
        if (!out_) throw OperationError("cannot write " + path_ + ": " + std::strerror(errno));
    }
    ~RowWriter() {
        if (out_ && out_ != stdout) {
            std::fclose(out_);
            std::remove(temp_.c_str());
        }
    }
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    void Header(const std::vector<std::string>& names) {
        line_ = "time";
        for (const auto& n : names) (line_ += separator_) += n;
        line_ += '\n';
        Put();
    }
    void Row(double seconds, const float* row, uint32_t width) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.6f", seconds);
        line_ = buffer;
        for (uint32_t c = 0; c < width; ++c) (line_ += separator_) += FloatText(row[c]);
        line_ += '\n';
        Put();
    }
    // False once the reader has gone (closed pipe).
    bool Ok() const { return ok_; }
    void Finish() {
        if (std::fflush(out_) != 0 && errno != EPIPE)
            throw OperationError("writing the rows failed: " + std::string(std::strerror(errno)));
        if (out_ == stdout) return;
        bool closed = std::fclose(out_) == 0;
        out_ = nullptr;
        if (!closed || std::rename(temp_.c_str(), path_.c_str()) != 0) {
            std::remove(temp_.c_str());
            throw OperationError("cannot write " + path_ + ": " + std::strerror(errno));
        }
    }

private:
    void Put() {
        if (!ok_) return;
        if (std::fwrite(line_.data(), 1, line_.size(), out_) != line_.size()) {
            if (errno != EPIPE) throw OperationError("writing the rows failed: " + std::string(std::strerror(errno)));
            ok_ = false;
        }
    }

    std::string path_, temp_;
    char separator_;
    std::FILE* out_ = nullptr;
    std::string line_;
    bool ok_ = true;
};

int RunStream(const StreamOptions& options, Context& context) {
    // The output file is created first, so that a path that cannot be written fails before any radio work.
    RowWriter writer(options.output, options.format == "tsv" ? '\t' : ',');
    Device device(options.name, context.interrupts);
    auto info = device.Information();
    RowColumns columns = DescribeColumns(device.Channels(), info.numberOfAcquiredChannels);
    writer.Header(columns.names);

    RowFeed feed(device.Handle(), options.batch);
    InterruptHooks hooks(context.interrupts, [&feed] { feed.Wake(); });
    std::fprintf(stderr, "streaming %u values per row at %u Hz%s\n",
                 static_cast<unsigned>(info.numberOfAcquiredChannels), static_cast<unsigned>(info.samplingRate),
                 options.seconds ? "" : " (Ctrl-C ends it)");

    const auto start = feed.Started();
    const auto end = options.seconds ? start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                   std::chrono::duration<double>(*options.seconds))
                                     : std::chrono::steady_clock::time_point::max();
    auto seconds = [](std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(t.time_since_epoch()).count();
    };
    // Rows are stamped by the clock: batches arrive with the jitter of the radio, rows do not.
    std::optional<RowClock> clock;
    if (info.samplingRate > 0) clock.emplace(static_cast<double>(info.samplingRate));
    std::vector<double> times, counters;
    uint64_t rows = 0;
    while (writer.Ok() && !context.interrupts->Requested() && std::chrono::steady_clock::now() < end) {
        auto wakeAt = std::min(end, std::chrono::steady_clock::now() + std::chrono::seconds(1));
        for (auto& item : feed.Take(wakeAt)) {
            if (item.kind == FeedItem::Kind::Rows) {
                times.assign(item.rowCount, seconds(item.arrived));
                if (clock) {
                    const bool counted = columns.counterColumn >= 0 && item.width == columns.names.size();
                    counters.resize(item.rowCount);
                    for (uint32_t r = 0; counted && r < item.rowCount; ++r)
                        counters[r] = item.values[static_cast<size_t>(r) * item.width +
                                                  static_cast<size_t>(columns.counterColumn)];
                    clock->Stamp(item.rowCount, seconds(item.arrived), counted ? counters.data() : nullptr,
                                 times.data());
                }
                for (uint32_t r = 0; r < item.rowCount; ++r)
                    writer.Row(times[r] - seconds(start), &item.values[static_cast<size_t>(r) * item.width],
                               item.width);
                rows += item.rowCount;
            } else {
                if (item.kind == FeedItem::Kind::LinkLost && clock) clock->Restart();
                std::fprintf(stderr, "%s\n",
                             item.kind == FeedItem::Kind::LinkLost ? "link lost; reconnecting" : "link back");
            }
        }
    }
    feed.Stop();
    writer.Finish();
    std::fprintf(stderr, "%llu rows\n", static_cast<unsigned long long>(rows));
    return 0;
}

}  // namespace

void AddStream(CLI::App& app, Context& context) {
    auto options = std::make_shared<StreamOptions>();
    auto* sub = app.add_subcommand(
        "stream", "sample rows as text (CSV by default) on stdout or into a file, after each row's sampling time in s");
    sub->add_option("NAME", options->name, "amplifier name")->required();
    sub->add_option("--seconds", options->seconds, "how long to stream (default: until Ctrl-C)")
        ->check(PositiveSeconds());
    sub->add_option("--output", options->output, "write to this file instead of stdout");
    sub->add_option("--format", options->format, "csv or tsv")->check(CLI::IsMember({"csv", "tsv"}));
    sub->add_option("--batch", options->batch, "rows per library callback (1 to 64)")->check(CLI::Range(1u, 64u));
    sub->callback(
        [options, &context] { context.action = [options, &context] { return RunStream(*options, context); }; });
}

}  // namespace Mivo::Cli
