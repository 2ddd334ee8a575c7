// info: device information, generation, rate, row width, channel table and battery.
#include <cstdio>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "cli/row_feed.h"
#include "cli/text_output.h"

namespace Mivo::Cli {

namespace {

struct InfoOptions {
    std::string name;
    bool json = false;
};

// The battery level travels in every sample row only: stream until the first row arrives.
std::optional<float> ReadBattery(const Device& device) {
    WaitNotice notice("reading the battery level from the first sample row");
    RowFeed feed(device.Handle(), 1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        for (auto& item : feed.Take(deadline)) {
            if (item.kind == FeedItem::Kind::Rows && item.rowCount > 0 && item.width >= 2) {
                notice.Done("done");
                return item.values[item.width - 2];
            }
        }
    }
    notice.Done("no rows within 3 s");
    return std::nullopt;
}

int RunInfo(const InfoOptions& options, Context& context) {
    Device device(options.name, context.interrupts);
    auto info = device.Information();
    auto channels = device.Channels();
    auto battery = ReadBattery(device);
    const char* generation = GuessGeneration(channels);
    const unsigned width = info.numberOfAcquiredChannels;

    if (options.json) {
        std::printf(
            "{\"name\": %s, \"model\": %s, \"serial\": %s, \"firmware\": %s, \"hardware\": %s, "
            "\"manufacturer\": %s, \"generation\": \"%s\", \"samplingRate\": %u, \"rowWidth\": %u, ",
            JsonString(options.name).c_str(), JsonString(info.modelNumber).c_str(),
            JsonString(info.serialNumber).c_str(), JsonString(info.firmwareRevision).c_str(),
            JsonString(info.hardwareRevision).c_str(), JsonString(info.manufacturerName).c_str(), generation,
            static_cast<unsigned>(info.samplingRate), width);
        std::printf("\"battery\": %s, \"channels\": [", battery ? FloatText(*battery).c_str() : "null");
        for (size_t i = 0; i < channels.size(); ++i) {
            const auto& c = channels[i];
            std::printf("%s{\"id\": %u, \"type\": %u, \"index\": %u, \"scale\": %s}", i ? ", " : "",
                        static_cast<unsigned>(c.id), static_cast<unsigned>(c.type), static_cast<unsigned>(c.index),
                        FloatText(c.scale).c_str());
        }
        std::printf("]}\n");
        return 0;
    }

    std::printf("name           %s\n", options.name.c_str());
    std::printf("model          %s\n", info.modelNumber);
    std::printf("serial         %s\n", info.serialNumber);
    std::printf("firmware       %s\n", info.firmwareRevision);
    std::printf("hardware       %s\n", info.hardwareRevision);
    std::printf("manufacturer   %s\n", info.manufacturerName);
    std::printf("generation     %s\n", generation);
    std::printf("sampling rate  %u Hz\n", static_cast<unsigned>(info.samplingRate));
    std::printf("row width      %u values (%u channels, battery, valid)\n", width, width >= 2 ? width - 2 : 0);
    if (battery) std::printf("battery        %s %%\n", FloatText(*battery).c_str());
    else std::printf("battery        unknown\n");
    std::printf("channels\n   id  type  index  scale\n");
    for (const auto& c : channels)
        std::printf("  %3u  %4u  %5u  %s\n", static_cast<unsigned>(c.id), static_cast<unsigned>(c.type),
                    static_cast<unsigned>(c.index), FloatText(c.scale).c_str());
    return 0;
}

}  // namespace

void AddInfo(CLI::App& app, Context& context) {
    auto options = std::make_shared<InfoOptions>();
    auto* sub = app.add_subcommand("info", "device information, sampling rate and channel table");
    sub->add_option("NAME", options->name, "amplifier name (its serial number)")->required();
    sub->add_flag("--json", options->json, "print as one JSON object");
    sub->callback([options, &context] { context.action = [options, &context] { return RunInfo(*options, context); }; });
}

}  // namespace Mivo::Cli
