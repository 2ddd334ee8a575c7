// view: live traces of one or more amplifiers in the browser, served on the loopback address.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/view/amplifier_tap.h"
#include "cli/view/browser_launch.h"
#include "cli/view/trace_decimator.h"
#include "cli/view/view_amplifier.h"
#include "cli/view/view_server.h"
#include "cli/view/view_settings.h"

namespace Mivo::Cli {

namespace {

struct ViewOptions {
    std::vector<std::string> names;
    uint16_t port = 0;
    double seconds = 10;
    bool noBrowser = false;
};

// Rows wait in a tap for the server thread for at most this long before the oldest give way.
constexpr double kTapSeconds = 5;

// One amplifier on its way to the pages.
struct Source {
    std::unique_ptr<Device> device;
    std::unique_ptr<View::AmplifierTap> tap;
    std::unique_ptr<View::ViewAmplifier> amplifier;
    std::unique_ptr<View::TapConnection> connection;
};

Source Prepare(const std::string& name) {
    Source source;
    source.device = std::make_unique<Device>(name);
    auto info = source.device->Information();
    RowColumns columns = DescribeColumns(source.device->Channels(), info.numberOfAcquiredChannels);
    View::AmplifierDescription description;
    description.name = name;
    description.rate = info.samplingRate;
    if (description.rate <= 0) throw OperationError("view " + name + ": the amplifier reports no sampling rate");
    std::vector<uint32_t> drawn;
    for (size_t c = 0; c < columns.signalCount; ++c) {
        if (static_cast<int>(c) == columns.counterColumn || columns.names[c] == "counter") continue;
        drawn.push_back(static_cast<uint32_t>(c));
        description.channelNames.push_back(columns.names[c]);
    }
    if (drawn.empty()) throw OperationError("view " + name + ": the amplifier has no signal channel to draw");
    source.tap = std::make_unique<View::AmplifierTap>(drawn, info.numberOfAcquiredChannels,
                                                      static_cast<size_t>(description.rate * kTapSeconds));
    source.amplifier = std::make_unique<View::ViewAmplifier>(std::move(description), *source.tap,
                                                             View::kMaxSeconds + View::kFilterWarmUpSeconds + 1);
    return source;
}

int RunView(const ViewOptions& options, Context& context) {
    std::set<std::string> unique(options.names.begin(), options.names.end());
    if (unique.size() != options.names.size()) throw UsageError("view: an amplifier is named twice");

    std::vector<Source> sources;  // outlives the server, which reads them
    // The port first, so that a busy one fails before any radio work.
    View::ViewServer server(options.port);
    for (const auto& name : options.names) sources.push_back(Prepare(name));

    std::vector<View::ViewAmplifier*> amplifiers;
    for (auto& s : sources) amplifiers.push_back(s.amplifier.get());
    server.Start(amplifiers, options.seconds);
    for (auto& s : sources) {
        double rate = s.amplifier->Description().rate;
        // About 10 ms of rows per callback: the pages lag little, the callbacks stay few.
        uint32_t frames = static_cast<uint32_t>(std::clamp(rate / 100, 1.0, 64.0));
        s.connection = std::make_unique<View::TapConnection>(s.device->Handle(), *s.tap, frames);
    }

    std::printf("%s\n", server.Url().c_str());
    std::fflush(stdout);
    std::string names;
    for (const auto& name : options.names) names += (names.empty() ? "" : ", ") + name;
    std::fprintf(stderr, "serving the view of %s at the URL above (Ctrl-C ends it)\n", names.c_str());
    if (!options.noBrowser) {
        std::string why = View::OpenInBrowser(server.Url());
        if (why.empty()) std::fprintf(stderr, "opening it in your browser\n");
        else std::fprintf(stderr, "no browser opened: %s; open the URL above in a browser\n", why.c_str());
    }
    std::fflush(stderr);

    std::mutex mutex;
    std::condition_variable stop;
    context.interrupts->OnRequest([&] {
        std::lock_guard<std::mutex> lock(mutex);
        stop.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        stop.wait(lock, [&] { return context.interrupts->Requested(); });
    }
    context.interrupts->OnRequest(nullptr);

    for (auto& s : sources) s.connection.reset();
    server.Stop();
    sources.clear();  // closes the amplifiers
    std::fprintf(stderr, "view closed\n");
    return 0;
}

}  // namespace

void AddView(CLI::App& app, Context& context) {
    auto options = std::make_shared<ViewOptions>();
    auto* sub = app.add_subcommand("view", "live traces of amplifiers in the browser (a page on 127.0.0.1)");
    sub->add_option("NAME", options->names, "amplifier names")->required();
    sub->add_option("--port", options->port, "port on 127.0.0.1 (default: a free one)")->check(CLI::Range(0, 65535));
    sub->add_option("--seconds", options->seconds,
                    "time window the page starts with, 1 to 60 s (changeable on the page)")
        ->check(CLI::Range(View::kMinSeconds, View::kMaxSeconds));
    sub->add_flag("--no-browser", options->noBrowser, "only print the URL; do not open a browser");
    sub->callback([options, &context] { context.action = [options, &context] { return RunView(*options, context); }; });
}

}  // namespace Mivo::Cli
