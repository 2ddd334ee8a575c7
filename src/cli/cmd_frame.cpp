// frame: one command frame to a command-frame amplifier; prints the status and payload.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/hex.h"

namespace Mivo::Cli {

namespace {

struct FrameOptions {
    std::string name;
    std::string command;
    std::string payload;
    uint32_t timeoutMs = 2000;
};

constexpr size_t kMaxFramePayload = 512;

int RunFrame(const FrameOptions& options, Context& context) {
    // Arguments are checked before any radio work.
    uint8_t command = ParseByte(options.command, "COMMAND");
    std::vector<uint8_t> payload = ParseHex(options.payload, "HEXBYTES");
    if (payload.size() > kMaxFramePayload)
        throw UsageError("HEXBYTES: " + std::to_string(payload.size()) + " bytes; a frame carries at most 512");

    Device device(options.name, context.interrupts);
    uint8_t status = 0;
    std::vector<uint8_t> response(kMaxFramePayload);
    uint16_t responseLength = static_cast<uint16_t>(response.size());
    Check(MIVOBLE_SendFrame(device.Handle(), command, payload.empty() ? nullptr : payload.data(),
                            static_cast<uint16_t>(payload.size()), &status, response.data(), &responseLength,
                            options.timeoutMs),
          "frame");
    std::printf("status %u\npayload %s\n", static_cast<unsigned>(status),
                FormatHex(response.data(), responseLength).c_str());
    return 0;
}

}  // namespace

void AddFrame(CLI::App& app, Context& context) {
    auto options = std::make_shared<FrameOptions>();
    auto* sub = app.add_subcommand("frame", "send one command frame and print the status and payload (hex)");
    sub->add_option("NAME", options->name, "amplifier name")->required();
    sub->add_option("COMMAND", options->command, "command byte: 16 or 0x10")->required();
    sub->add_option("HEXBYTES", options->payload, "payload as hex, e.g. 0102 or '01 02'");
    sub->add_option("--timeout", options->timeoutMs, "response time-out in ms")->check(CLI::Range(1u, 600000u));
    sub->callback(
        [options, &context] { context.action = [options, &context] { return RunFrame(*options, context); }; });
}

}  // namespace Mivo::Cli
