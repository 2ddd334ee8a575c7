// mivoble: scan, inspect, stream, record and flash amplifiers from the command line,
// over the library's public C interface.
#include <signal.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/lsl_outlet.h"

namespace Mivo::Cli {
CLI::Validator PositiveSeconds() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            double value = 0;
            if (!CLI::detail::lexical_cast(text, value) || !(value > 0) || value > 1e9)
                return "must be a number of seconds above 0, not '" + text + "'";
            return {};
        },
        "SECONDS>0");
}
}  // namespace Mivo::Cli

namespace {

const char* kExamples = R"(Examples (on the simulated radio):
  mivoble --backend sim scan --seconds 2
  mivoble --backend sim info MV-2401.00.01 --json
  mivoble --backend sim stream MV-2401.00.01 --seconds 2 > rows.csv
  mivoble --backend sim record MV-2401.00.01 session.bdf --seconds 10
  mivoble --backend sim record MV-2401.00.01 MV-2401.00.02 session/ --seconds 10
  mivoble --backend sim monitor MV-2401.00.01 MV-2401.00.02 --once
  mivoble --backend sim view MV-2401.00.01 MV-2401.00.02
  mivoble --backend sim fw upload MV-2401.00.01 app.signed.bin --test --reset
  mivoble --backend sim frame MV-2401.00.02 0x10 0102
  mivoble --backend sim lsl MV-2401.00.01 MV-2401.00.02      (needs liblsl; see docs/lsl.md)
  mivoble --backend sim --sim 'MV-2401.00.07,channels=4,drop_every=2000' record MV-2401.00.07 x.edf --seconds 5

Exit status: 0 success, 1 a failed operation (the library's error text on stderr),
2 a usage error. Ctrl-C (or SIGTERM, SIGHUP) ends stream, record, monitor, lsl and view cleanly; a
second one stops waiting for the amplifier and quits, keeping what was recorded.)";

// The first word that is not a global option must name a command; CLI11 alone would only say
// that a subcommand is required.
std::string UnknownCommand(const CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--backend" || word == "--sim" || word == "--log") {
            ++i;
            continue;
        }
        if (word.rfind("-", 0) == 0) continue;
        for (const auto* sub : app.get_subcommands({}))
            if (sub->get_name() == word) return {};
        return word;
    }
    return {};
}

int RunTool(int argc, char** argv) {
    using namespace Mivo::Cli;
    Context context;
    context.stdoutIsTerminal = isatty(STDOUT_FILENO) == 1;
    context.stderrIsTerminal = isatty(STDERR_FILENO) == 1;

    CLI::App app{"mivoble: scan, inspect, stream, record and flash mivo EEG amplifiers", "mivoble"};
    app.footer(kExamples);
    app.set_version_flag("--version", std::string("mivoble ") + MIVOBLE_GetApiVersion());
    app.require_subcommand(1, 1);
    app.option_defaults()->always_capture_default();
    app.add_option("--backend", context.settings.backend, "Bluetooth backend for this run (sets MIVOBLE_BACKEND)")
        ->check(CLI::IsMember({"sim", "bluez"}));
    app.add_option_function<std::string>(
        "--sim",
        [&context](const std::string& text) {
            context.settings.sim = text;
            context.settings.simSet = true;
        },
        "virtual amplifiers of the simulated radio (sets MIVOBLE_SIM; see docs/simulator.md)");
    app.add_option("--log", context.settings.logFile, "write the library's log to this file");

    AddScan(app, context);
    AddInfo(app, context);
    AddStream(app, context);
    AddRecord(app, context);
    AddMonitor(app, context);
    AddFirmware(app, context);
    AddFrame(app, context);
    AddLsl(app, context);
    AddView(app, context);

    if (auto unknown = UnknownCommand(app, argc, argv); !unknown.empty()) {
        std::cerr << "mivoble: unknown command '" << unknown
                  << "' (commands: scan, info, stream, record, monitor, fw, frame, lsl, view; see mivoble --help)\n";
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        std::cerr << "mivoble: " << e.what() << " (see mivoble --help)\n";
        return kExitUsage;
    } catch (const UsageError& e) {
        std::cerr << "mivoble: " << e.what() << '\n';
        return kExitUsage;
    }
    if (!context.action) {
        std::cerr << "mivoble: no command given (see mivoble --help)\n";
        return kExitUsage;
    }

    // Output into a closed pipe ends the command through a failed write, not a signal; so does a
    // file that reaches the size limit (ulimit -f), so that a recording can keep what it has.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    Interrupts interrupts;
    context.interrupts = &interrupts;
    LibraryShutdown shutdown;  // after every device of the command is closed
    try {
        ApplySettings(context.settings);
        return context.action();
    } catch (const UsageError& e) {
        std::cerr << "mivoble: " << e.what() << '\n';
        return kExitUsage;
    } catch (const OperationError& e) {
        std::cerr << "mivoble: " << e.what() << '\n';
        return kExitFailed;
    } catch (const Interrupted& e) {
        std::cerr << "mivoble: " << e.what() << '\n';
        return kExitInterrupted;
    } catch (const std::exception& e) {
        std::cerr << "mivoble: " << e.what() << '\n';
        return kExitFailed;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int status = RunTool(argc, argv);
    // The amplifiers are closed and the library is shut down; LSL outlets that consumers were
    // still connected to are left to the kernel.
    if (Mivo::Cli::LslOutletsKept()) Mivo::Cli::EndProcessWithKeptOutlets(status);
    std::fflush(stdout);
    return status;
}
