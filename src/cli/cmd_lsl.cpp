// lsl: each amplifier as a Lab Streaming Layer stream (with a marker stream beside it), and a
// list of the LSL streams visible from this machine.
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/lsl_bridge.h"
#include "cli/lsl_library.h"
#include "cli/lsl_outlet.h"
#include "cli/lsl_pump.h"

namespace Mivo::Cli {

namespace {

struct LslOptions {
    std::vector<std::string> names;
    bool list = false;
    std::optional<double> seconds;
    double wait = 10;
    bool allColumns = false;
};

// How long a new resolver listens before the absence of another announcer of an amplifier is
// believed: answers on a local network take milliseconds, LSL's multicast waits start at 0.5 s.
constexpr std::chrono::milliseconds kAnnouncerSearch{1000};
constexpr double kListSeconds = 1.0;
// Results kept by the continuous resolver after a stream stops answering.
constexpr double kForgetSeconds = 5.0;

enum class Reach { None, LoopbackOnly, Network };

// What the machine's interfaces let LSL reach.
Reach NetworkReach() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return Reach::Network;  // unknown: say nothing
    bool loopback = false, network = false;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || !(a->ifa_flags & IFF_UP)) continue;
        if (a->ifa_addr->sa_family != AF_INET && a->ifa_addr->sa_family != AF_INET6) continue;
        (a->ifa_flags & IFF_LOOPBACK ? loopback : network) = true;
    }
    freeifaddrs(list);
    return network ? Reach::Network : loopback ? Reach::LoopbackOnly : Reach::None;
}

std::string Text(const char* text) { return text ? text : ""; }

struct StreamSummary {
    std::string name, type, host, sourceId, uid;
    double rate = 0;
    int32_t channels = 0;
};

// Reads and releases resolved stream infos.
std::vector<StreamSummary> Summaries(const LslFunctions& api, std::vector<LslStreamInfo>& infos, int32_t count) {
    std::vector<StreamSummary> streams;
    for (int32_t i = 0; i < count; ++i) {
        LslStreamInfo info = infos[static_cast<size_t>(i)];
        streams.push_back({Text(api.get_name(info)), Text(api.get_type(info)), Text(api.get_hostname(info)),
                           Text(api.get_source_id(info)), Text(api.get_uid(info)), api.get_nominal_srate(info),
                           api.get_channel_count(info)});
        api.destroy_streaminfo(info);
    }
    return streams;
}

int ListStreams(const LslFunctions& api, double seconds) {
    std::vector<LslStreamInfo> infos(1024);
    int32_t count = api.resolve_all(infos.data(), static_cast<uint32_t>(infos.size()), seconds);
    if (count < 0) throw OperationError("looking for LSL streams failed: " + Text(api.last_error()));
    auto streams = Summaries(api, infos, count);
    std::sort(streams.begin(), streams.end(), [](const auto& a, const auto& b) {
        return std::tie(a.name, a.host, a.sourceId) < std::tie(b.name, b.host, b.sourceId);
    });
    if (streams.empty()) {
        std::fprintf(stderr, "no LSL streams found within %g s\n", seconds);
        return 0;
    }
    std::vector<std::vector<std::string>> table{{"NAME", "TYPE", "HOST", "RATE", "CHANNELS", "SOURCE_ID"}};
    for (const auto& s : streams) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%g", s.rate);
        table.push_back(
            {s.name, s.type, s.host, s.rate > 0 ? rate : "irregular", std::to_string(s.channels), s.sourceId});
    }
    std::vector<size_t> widths(table[0].size(), 0);
    for (const auto& row : table)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    for (const auto& row : table) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line.append(widths[c] - row[c].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

// The sample of an amplifier's rows: its channels but the counters (with allColumns: every
// column, battery and valid flag too), described after the XDF conventions.
LslStreamDescription Describe(const Device& device, bool allColumns, BridgeLayout& layout) {
    const auto info = device.Information();
    const auto table = device.Channels();
    const RowColumns columns = DescribeColumns(table, info.numberOfAcquiredChannels);
    if (info.samplingRate == 0 || info.numberOfAcquiredChannels < 3)
        throw OperationError(device.Name() + ": the amplifier reports no channels or no sampling rate");

    LslStreamDescription d;
    d.name = device.Name();
    d.serialNumber = *info.serialNumber ? info.serialNumber : device.Name();
    d.sourceId = d.serialNumber;
    d.rate = info.samplingRate;
    d.manufacturer = info.manufacturerName;
    d.model = info.modelNumber;
    d.firmware = info.firmwareRevision;
    d.hardware = info.hardwareRevision;

    layout = {};
    layout.width = info.numberOfAcquiredChannels;
    layout.counterColumn = columns.counterColumn;
    for (size_t c = 0; c < columns.signalCount; ++c) {
        const MIVOBLE_CHANNEL_CONFIGURATION* entry = nullptr;
        for (const auto& ch : table)
            if (ch.id == c + 1) entry = &ch;
        const bool counter = entry && entry->type == kChannelTypeCounter;
        if (counter && !allColumns) continue;
        LslChannel channel{columns.names[c], "", "MISC"};
        if (!counter && entry) {
            // The amplifier's scale turns counts into microvolts; without one the values are counts.
            channel.unit = entry->scale == 1.0f ? "counts" : "microvolts";
            if (entry->type == 1) channel.type = "EEG";
        }
        d.channels.push_back(channel);
        layout.columns.push_back(static_cast<uint32_t>(c));
    }
    if (allColumns) {
        d.channels.push_back({"battery", "percent", "MISC"});
        d.channels.push_back({"valid", "", "MISC"});
        layout.columns.push_back(layout.width - 2);
        layout.columns.push_back(layout.width - 1);
    }
    if (d.channels.empty()) throw OperationError(device.Name() + ": the amplifier has no signal channels to stream");
    return d;
}

// One amplifier on LSL. Members end in reverse order: the rows stop before the outlets go,
// the outlets go before the amplifier is closed.
struct Bridged {
    std::unique_ptr<Device> device;
    LslStreamDescription description;
    std::unique_ptr<LslOutlets> outlets;
    std::unique_ptr<RowBridge> bridge;
    std::unique_ptr<LslPump> pump;
    bool reportedTwin = false;
};

// Hosts of the EEG streams with this source id that are not ours.
std::vector<std::string> OtherAnnouncers(const LslFunctions& api, LslResolver resolver, const std::string& sourceId,
                                         const std::string& ownUid) {
    std::vector<LslStreamInfo> infos(256);
    int32_t count = api.resolver_results(resolver, infos.data(), static_cast<uint32_t>(infos.size()));
    std::vector<std::string> hosts;
    for (const auto& s : Summaries(api, infos, std::max(count, 0)))
        if (s.sourceId == sourceId && s.uid != ownUid) hosts.push_back(s.host.empty() ? "an unnamed host" : s.host);
    return hosts;
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

class Resolver {
public:
    Resolver(const LslFunctions& api)
        : api_(api), resolver_(api.create_continuous_resolver_byprop("type", "EEG", kForgetSeconds)) {
        if (!resolver_) throw OperationError("cannot look for LSL streams: " + Text(api.last_error()));
    }
    ~Resolver() { api_.destroy_continuous_resolver(resolver_); }
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;
    LslResolver Get() const { return resolver_; }

private:
    const LslFunctions& api_;
    LslResolver resolver_;
};

// Wakes the command's thread on Ctrl-C.
class Wakeup {
public:
    explicit Wakeup(Interrupts& interrupts) : interrupts_(interrupts) {
        interrupts_.OnRequest([this] {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
            changed_.notify_all();
        });
    }
    ~Wakeup() { interrupts_.OnRequest(nullptr); }
    Wakeup(const Wakeup&) = delete;
    Interrupts& Source() { return interrupts_; }
    Wakeup& operator=(const Wakeup&) = delete;
    // False when woken by Ctrl-C before the deadline.
    bool SleepUntil(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return !changed_.wait_until(lock, deadline, [this] { return woken_; });
    }

private:
    Interrupts& interrupts_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
};

std::unique_ptr<Bridged> Bridge(const std::string& name, const LslOptions& options, const LslLibrary& lsl,
                                const Resolver& resolver, std::chrono::steady_clock::time_point searchEnds,
                                Wakeup& wakeup) {
    auto b = std::make_unique<Bridged>();
    b->device = std::make_unique<Device>(
        name, &wakeup.Source(),
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(options.wait)));
    BridgeLayout layout;
    b->description = Describe(*b->device, options.allColumns, layout);
    if (!wakeup.SleepUntil(searchEnds)) return nullptr;
    const auto& api = lsl.Api();
    if (auto hosts = OtherAnnouncers(api, resolver.Get(), b->description.sourceId, ""); !hosts.empty())
        throw OperationError(name + ": another program already announces this amplifier on LSL (from " + Join(hosts) +
                             "); not announcing it twice");
    b->outlets = std::make_unique<LslOutlets>(api, b->description);
    b->bridge = std::make_unique<RowBridge>(layout, b->description.rate, *b->outlets);
    b->pump = std::make_unique<LslPump>(b->device->Handle(), *b->bridge, api.local_clock);
    std::fprintf(stderr, "%s: %zu channels at %g Hz on LSL as '%s' (type EEG, source_id %s), markers as '%s'\n",
                 name.c_str(), b->description.channels.size(), b->description.rate, name.c_str(),
                 b->description.sourceId.c_str(), b->outlets->MarkersName().c_str());
    return b;
}

int RunLsl(const LslOptions& options, Context& context) {
    LslLibrary lsl;
    const auto& api = lsl.Api();
    switch (NetworkReach()) {
        case Reach::None:
            throw OperationError("no network interface is up, not even loopback: no program could find LSL streams");
        case Reach::LoopbackOnly:
            std::fprintf(stderr,
                         "no network interface but loopback is up: LSL streams are visible on this machine only\n");
            break;
        case Reach::Network: break;
    }
    if (options.list) return ListStreams(api, options.seconds.value_or(kListSeconds));

    std::fprintf(stderr, "liblsl %s (%s)\n", LslLibrary::VersionText(lsl.Version()).c_str(), lsl.Path().c_str());
    Wakeup wakeup(*context.interrupts);
    Resolver resolver(api);
    const auto searchEnds = std::chrono::steady_clock::now() + kAnnouncerSearch;

    std::vector<std::unique_ptr<Bridged>> bridged;
    size_t failed = 0;
    for (const auto& name : options.names) {
        if (context.interrupts->Requested()) break;
        try {
            if (auto b = Bridge(name, options, lsl, resolver, searchEnds, wakeup)) bridged.push_back(std::move(b));
        } catch (const OperationError& e) {
            std::fprintf(stderr, "mivoble: %s\n", e.what());
            ++failed;
        } catch (const Interrupted&) {
            break;  // Ctrl-C while looking for an amplifier
        }
    }
    if (bridged.empty()) {
        if (context.interrupts->Requested()) return 0;
        throw OperationError("no amplifier is on LSL");
    }
    if (!context.interrupts->Requested())
        std::fprintf(stderr, "streaming to LSL%s\n", options.seconds ? "" : " (Ctrl-C ends it)");

    const auto now = std::chrono::steady_clock::now();
    const auto end = options.seconds ? now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                 std::chrono::duration<double>(*options.seconds))
                                     : std::chrono::steady_clock::time_point::max();
    while (!context.interrupts->Requested() && std::chrono::steady_clock::now() < end) {
        if (!wakeup.SleepUntil(std::min(end, std::chrono::steady_clock::now() + std::chrono::seconds(1)))) break;
        for (auto& b : bridged) {
            if (b->reportedTwin) continue;
            auto hosts = OtherAnnouncers(api, resolver.Get(), b->description.sourceId, b->outlets->SamplesUid());
            if (hosts.empty()) continue;
            b->reportedTwin = true;
            std::fprintf(stderr, "mivoble: %s: another program also announces this amplifier on LSL (from %s)\n",
                         b->description.name.c_str(), Join(hosts).c_str());
        }
    }
    for (auto& b : bridged) {
        b->pump->Stop();
        std::fprintf(stderr, "%s: %llu samples (%llu filled in, %llu lost), %llu link loss(es)\n",
                     b->description.name.c_str(), static_cast<unsigned long long>(b->bridge->RowsOut()),
                     static_cast<unsigned long long>(b->bridge->FilledRows()),
                     static_cast<unsigned long long>(b->bridge->LostRows()),
                     static_cast<unsigned long long>(b->pump->LinkLosses()));
    }
    bridged.clear();
    return failed ? kExitFailed : kExitOk;
}

}  // namespace

void AddLsl(CLI::App& app, Context& context) {
    auto options = std::make_shared<LslOptions>();
    auto* sub = app.add_subcommand(
        "lsl", "amplifiers as Lab Streaming Layer streams (needs liblsl), or --list the streams seen");
    sub->add_option("NAME", options->names, "amplifier names");
    sub->add_flag("--list", options->list, "list the LSL streams visible from here (name, type, host, rate, channels)");
    sub->add_option("--seconds", options->seconds,
                    "how long to stream (default: until Ctrl-C), or to look with --list (default 1)")
        ->check(PositiveSeconds());
    sub->add_option("--wait", options->wait, "how long to look for each amplifier, in seconds")
        ->check(PositiveSeconds());
    sub->add_flag("--all-columns", options->allColumns,
                  "also stream the counter, battery and valid columns (channels of type MISC)");
    sub->callback([options, &context] {
        if (options->list && !options->names.empty())
            throw UsageError("lsl: give either --list or amplifier names, not both");
        if (!options->list && options->names.empty())
            throw UsageError("lsl: name at least one amplifier, or give --list");
        std::set<std::string> seen;
        for (const auto& name : options->names)
            if (!seen.insert(name).second) throw UsageError("lsl: " + name + " is named twice");
        context.action = [options, &context] { return RunLsl(*options, context); };
    });
}

}  // namespace Mivo::Cli
