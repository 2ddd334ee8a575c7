// scan: the amplifiers seen while scanning.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/text_output.h"

namespace Mivo::Cli {

namespace {

struct ScanOptions {
    double seconds = 3.0;
    bool json = false;
};

// The library reports list changes on its own threads; the command redraws on the main thread.
std::mutex g_mutex;
std::condition_variable g_changed;
bool g_listChanged = false;

void OnListChanged(uint32_t) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_listChanged = true;
    }
    g_changed.notify_one();
}

std::vector<std::string> DiscoveredNames() {
    std::vector<std::string> names;
    int32_t count = MIVOBLE_GetDiscoveredDeviceCount();
    for (int32_t i = 0; i < count; ++i) {
        char buffer[MIVOBLE_DEVICENAME_LENGTH_MAX + 1] = {};
        if (MIVOBLE_GetDiscoveredDeviceName(static_cast<uint32_t>(i), buffer, sizeof buffer) == MIVOBLE_OK)
            names.emplace_back(buffer);
    }
    return names;
}

int RunScan(const ScanOptions& options, Context& context) {
    Check(MIVOBLE_RegisterDeviceListChangedCallback(&OnListChanged), "scan");
    Check(MIVOBLE_StartScanning(), "start scanning");
    context.interrupts->OnRequest([] { OnListChanged(0); });
    const bool live = context.stdoutIsTerminal && !options.json;
    if (!live) std::fprintf(stderr, "scanning for %g s ...\n", options.seconds);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                           std::chrono::duration<double>(options.seconds));
    size_t shownLines = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            g_changed.wait_until(lock, deadline, [] { return g_listChanged; });
            g_listChanged = false;
        }
        bool over = std::chrono::steady_clock::now() >= deadline || context.interrupts->Requested();
        if (live && !over) {
            // Redraw the list in place: move up over the previous one and clear it.
            auto names = DiscoveredNames();
            for (size_t i = 0; i < shownLines; ++i) std::fputs("\x1b[1A\x1b[2K", stdout);
            std::printf("scanning ... %zu amplifier(s)\n", names.size());
            for (const auto& name : names) std::printf("  %s\n", name.c_str());
            std::fflush(stdout);
            shownLines = names.size() + 1;
        }
        if (over) break;
    }
    context.interrupts->OnRequest(nullptr);
    auto names = DiscoveredNames();
    MIVOBLE_RegisterDeviceListChangedCallback(nullptr);
    Check(MIVOBLE_StopScanning(), "stop scanning");

    if (live) {
        for (size_t i = 0; i < shownLines; ++i) std::fputs("\x1b[1A\x1b[2K", stdout);
        std::printf("%zu amplifier(s) found\n", names.size());
    }
    if (options.json) {
        std::printf("[");
        for (size_t i = 0; i < names.size(); ++i) std::printf("%s%s", i ? ", " : "", JsonString(names[i]).c_str());
        std::printf("]\n");
    } else {
        for (const auto& name : names) std::printf("%s\n", name.c_str());
    }
    return 0;
}

}  // namespace

void AddScan(CLI::App& app, Context& context) {
    auto options = std::make_shared<ScanOptions>();
    auto* sub = app.add_subcommand("scan", "list the amplifiers seen (live on a terminal)");
    sub->add_option("--seconds", options->seconds, "how long to scan")->check(PositiveSeconds());
    sub->add_flag("--json", options->json, "print the list as a JSON array");
    sub->callback([options, &context] { context.action = [options, &context] { return RunScan(*options, context); }; });
}

}  // namespace Mivo::Cli
