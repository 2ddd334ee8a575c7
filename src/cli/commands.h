// Subcommands of the tool. Each Add* registers one subcommand (with its options) on the
// application; when it is chosen, its action is stored in the context and run after parsing.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

#include "cli/interrupts.h"
#include "cli/library.h"

namespace Mivo::Cli {

struct Context {
    LibrarySettings settings;
    Interrupts* interrupts = nullptr;
    bool stdoutIsTerminal = false;
    bool stderrIsTerminal = false;
    std::function<int()> action;  // set by the chosen subcommand; returns the exit status
};

// Accepts a number of seconds above zero.
CLI::Validator PositiveSeconds();

void AddScan(CLI::App& app, Context& context);
void AddInfo(CLI::App& app, Context& context);
void AddStream(CLI::App& app, Context& context);
void AddRecord(CLI::App& app, Context& context);
void AddMonitor(CLI::App& app, Context& context);
void AddFirmware(CLI::App& app, Context& context);
void AddFrame(CLI::App& app, Context& context);
void AddLsl(CLI::App& app, Context& context);
void AddView(CLI::App& app, Context& context);

}  // namespace Mivo::Cli
