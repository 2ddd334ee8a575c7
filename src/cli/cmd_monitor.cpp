// monitor: per-second signal statistics and link health, live or as one snapshot.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/row_feed.h"

namespace Mivo::Cli {

namespace {

struct MonitorOptions {
    std::vector<std::string> names;
    bool once = false;
    double wait = 10;
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
        : sumSquares(channels, 0.0),
          min(channels, std::numeric_limits<float>::infinity()),
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

// One amplifier on the screen.
struct Watched {
    std::string name;
    RowColumns columns;
    std::unique_ptr<RowFeed> feed;
    Window window;
    // A window covers one whole second after the amplifier's first row, so its rate is not cut short.
    std::optional<std::chrono::steady_clock::time_point> firstRow;
    bool linkUp = true;
    unsigned reconnects = 0;

    Watched(const Device& device, FeedGroup& group)
        : name(device.Name()),
          columns(DescribeColumns(device.Channels(), device.Information().numberOfAcquiredChannels)),
          feed(std::make_unique<RowFeed>(device.Handle(), 16, &group)),
          window(columns.signalCount) {}

    void Take(std::chrono::steady_clock::time_point now) {
        for (auto& item : feed->Take(now)) {
            if (item.kind == FeedItem::Kind::LinkLost) linkUp = false;
            if (item.kind == FeedItem::Kind::LinkBack) {
                linkUp = true;
                ++reconnects;
            }
            if (item.kind != FeedItem::Kind::Rows) continue;
            if (!firstRow) {
                firstRow = item.arrived;
                window.opened = item.arrived;
            }
            window.Arrived(item.rowCount, item.arrived);
            for (uint32_t r = 0; r < item.rowCount; ++r)
                window.Add(&item.values[static_cast<size_t>(r) * item.width], item.width);
        }
    }
    // The next window opens where this one's last batch arrived: rows after it are new.
    void NextWindow(std::chrono::steady_clock::time_point now) {
        if (!firstRow) return;
        auto opened = window.lastArrival.value_or(now);
        window = Window(columns.signalCount);
        window.opened = opened;
    }
};

void PrintAll(const std::vector<std::unique_ptr<Watched>>& watched) {
    for (size_t i = 0; i < watched.size(); ++i) {
        if (i > 0) std::printf("\n");
        const auto& w = *watched[i];
        Print(w.name, w.columns, w.window, w.linkUp, w.reconnects);
    }
}

int RunMonitor(const MonitorOptions& options, Context& context) {
    const auto wait = Milliseconds(options.wait);
    std::vector<std::unique_ptr<Device>> devices;
    if (options.names.size() == 1)
        devices.push_back(std::make_unique<Device>(options.names[0], context.interrupts, wait));
    else devices = OpenAll(options.names, *context.interrupts, wait);
    const bool live = !options.once && context.stdoutIsTerminal;

    FeedGroup group(devices.size());
    std::vector<std::unique_ptr<Watched>> watched;
    for (const auto& device : devices) watched.push_back(std::make_unique<Watched>(*device, group));
    InterruptHooks hooks(context.interrupts, [&group] { group.Wake(); });

    using Clock = std::chrono::steady_clock;
    // Live: every amplifier's block once a second, from the first row of any of them.
    std::optional<Clock::time_point> tick;
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (!context.interrupts->Requested()) {
        auto now = Clock::now();
        // A snapshot waits for a whole window of every amplifier, or gives up on the silent ones.
        bool complete = true;
        auto until = now + std::chrono::seconds(1);
        for (const auto& w : watched) {
            if (!w->firstRow) {
                complete = false;
                continue;
            }
            const auto full = *w->firstRow + std::chrono::seconds(1);
            if (now < full) {
                complete = false;
                until = std::min(until, full);
            }
        }
        if (!live && (complete || now >= giveUp)) break;
        if (tick) until = std::min(until, *tick + std::chrono::seconds(1));
        if (!live) until = std::min(until, giveUp);
        group.Wait(until);
        now = Clock::now();
        for (auto& w : watched) {
            w->Take(now);
            if (!tick && w->firstRow) tick = w->firstRow;
        }
        if (!live) continue;
        if (tick && now >= *tick + std::chrono::seconds(1)) {
            std::printf("\x1b[H\x1b[2J");
            PrintAll(watched);
            for (auto& w : watched) w->NextWindow(now);
            tick = now;
        } else if (!tick) {
            std::string names;
            for (const auto& w : watched) names += (names.empty() ? "" : ", ") + w->name;
            std::printf("\x1b[H\x1b[2J%s: waiting for rows (link %s)\n", names.c_str(),
                        watched.size() == 1 ? (watched[0]->linkUp ? "up" : "down") : "see each");
            std::fflush(stdout);
        }
    }
    if (!live) PrintAll(watched);  // a silent amplifier's block shows the silence
    return 0;
}

}  // namespace

void AddMonitor(CLI::App& app, Context& context) {
    auto options = std::make_shared<MonitorOptions>();
    auto* sub = app.add_subcommand(
        "monitor", "live per-channel RMS, min/max, rows/s, filled-in share, battery, link; one block per amplifier");
    sub->add_option("NAME", options->names, "amplifier names (opened side by side)")->required();
    sub->add_flag("--once", options->once, "print one plain snapshot and exit (also when stdout is not a terminal)");
    sub->add_option("--wait", options->wait, "how long to wait for each amplifier to advertise, in seconds")
        ->check(PositiveSeconds());
    sub->callback([options, &context] {
        std::set<std::string> seen;
        for (const auto& name : options->names)
            if (!seen.insert(name).second) throw UsageError("monitor: " + name + " is named twice");
        context.action = [options, &context] { return RunMonitor(*options, context); };
    });
}

}  // namespace Mivo::Cli
