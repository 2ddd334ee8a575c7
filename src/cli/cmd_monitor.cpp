// monitor: per-second signal statistics and link health, live or as one snapshot.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/row_feed.h"

namespace Mivo::Cli {

namespace {

struct MonitorOptions {
    std::string name;
    bool once = false;
};

// Statistics of one window of rows. The rate counts only rows of batches that arrived after the
// window opened, over the time to the last of them: the rows of a batch were sampled before it
// arrived, so counting the batch that opens the window, or the time since the last batch, would
// skew the rate by up to a batch.
struct Window {
    std::vector<double> sumSquares;
    std::vector<float> min, max;
    uint64_t rows = 0, filled = 0;
    float battery = -1;
    std::chrono::steady_clock::time_point opened;
    std::optional<std::chrono::steady_clock::time_point> lastArrival;
    uint64_t rowsArrivedAfterOpening = 0;

    explicit Window(size_t channels)
        : sumSquares(channels, 0.0), min(channels, std::numeric_limits<float>::infinity()),
          max(channels, -std::numeric_limits<float>::infinity()) {}

    void Add(const float* row, uint32_t width) {
        size_t n = std::min<size_t>(sumSquares.size(), width >= 2 ? width - 2 : 0);
        for (size_t c = 0; c < n; ++c) {
            sumSquares[c] += static_cast<double>(row[c]) * row[c];
            min[c] = std::min(min[c], row[c]);
            max[c] = std::max(max[c], row[c]);
        }
        battery = row[width - 2];
        if (row[width - 1] == 0.0f) ++filled;
        ++rows;
    }

    void Arrived(uint32_t rowCount, std::chrono::steady_clock::time_point at) {
        if (at <= opened) return;
        rowsArrivedAfterOpening += rowCount;
        lastArrival = at;
    }

    double Rate() const {
        if (!lastArrival) return 0.0;
        return rowsArrivedAfterOpening / std::chrono::duration<double>(*lastArrival - opened).count();
    }
};

void Print(const std::string& name, const RowColumns& columns, const Window& w, bool linkUp, unsigned reconnects) {
    std::printf("%s  %.1f rows/s  filled %.1f %%  battery %s  link %s  reconnects %u\n", name.c_str(), w.Rate(),
                w.rows ? 100.0 * w.filled / w.rows : 0.0,
                w.battery >= 0 ? (std::to_string(static_cast<int>(w.battery)) + " %").c_str() : "unknown",
                linkUp ? "up" : "down", reconnects);
    std::printf("%-10s %14s %14s %14s\n", "channel", "rms", "min", "max");
    for (size_t c = 0; c < w.sumSquares.size(); ++c) {
        if (w.rows == 0) {
            std::printf("%-10s %14s %14s %14s\n", columns.names[c].c_str(), "-", "-", "-");
            continue;
        }
        std::printf("%-10s %14.3f %14.3f %14.3f\n", columns.names[c].c_str(), std::sqrt(w.sumSquares[c] / w.rows),
                    static_cast<double>(w.min[c]), static_cast<double>(w.max[c]));
    }
    std::fflush(stdout);
}

int RunMonitor(const MonitorOptions& options, Context& context) {
    Device device(options.name, context.interrupts);
    auto info = device.Information();
    RowColumns columns = DescribeColumns(device.Channels(), info.numberOfAcquiredChannels);
    const bool live = !options.once && context.stdoutIsTerminal;

    RowFeed feed(device.Handle(), 16);
    InterruptHooks hooks(context.interrupts, [&feed] { feed.Wake(); });

    bool linkUp = true;
    unsigned reconnects = 0;
    // A snapshot covers one whole second after the first row, so its rate is not cut short.
    std::optional<std::chrono::steady_clock::time_point> windowStart;
    Window window(columns.signalCount);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!context.interrupts->Requested()) {
        auto now = std::chrono::steady_clock::now();
        if (!windowStart && now >= giveUp && !live) break;
        auto until = windowStart ? *windowStart + std::chrono::seconds(1) : now + std::chrono::seconds(1);
        for (auto& item : feed.Take(until)) {
            if (item.kind == FeedItem::Kind::LinkLost) linkUp = false;
            if (item.kind == FeedItem::Kind::LinkBack) {
                linkUp = true;
                ++reconnects;
            }
            if (item.kind != FeedItem::Kind::Rows) continue;
            if (!windowStart) {
                windowStart = item.arrived;
                window.opened = item.arrived;
            }
            window.Arrived(item.rowCount, item.arrived);
            for (uint32_t r = 0; r < item.rowCount; ++r) window.Add(&item.values[static_cast<size_t>(r) * item.width], item.width);
        }
        now = std::chrono::steady_clock::now();
        if (windowStart && now >= *windowStart + std::chrono::seconds(1)) {
            if (live) std::printf("\x1b[H\x1b[2J");
            Print(options.name, columns, window, linkUp, reconnects);
            if (!live) return 0;
            // The next window opens where this one's last batch arrived: rows after it are new.
            auto opened = window.lastArrival.value_or(now);
            window = Window(columns.signalCount);
            window.opened = opened;
            windowStart = now;
        } else if (live && !windowStart) {
            std::printf("\x1b[H\x1b[2J%s: waiting for rows (link %s)\n", options.name.c_str(), linkUp ? "up" : "down");
            std::fflush(stdout);
        }
    }
    if (!live && !windowStart) {
        // No row arrived: still one snapshot, showing the silence.
        Print(options.name, columns, window, linkUp, reconnects);
    }
    return 0;
}

}  // namespace

void AddMonitor(CLI::App& app, Context& context) {
    auto options = std::make_shared<MonitorOptions>();
    auto* sub = app.add_subcommand("monitor", "live per-channel RMS, min/max, rows/s, filled-in share, battery, link");
    sub->add_option("NAME", options->name, "amplifier name")->required();
    sub->add_flag("--once", options->once, "print one plain snapshot and exit (also when stdout is not a terminal)");
    sub->callback([options, &context] { context.action = [options, &context] { return RunMonitor(*options, context); }; });
}

}  // namespace Mivo::Cli
