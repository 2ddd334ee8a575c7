// Errors that end a command: what the user did wrong, or what failed.
#pragma once

#include <stdexcept>
#include <string>

namespace Mivo::Cli {

// Exit status of the tool.
enum ExitStatus : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitInterrupted = 130 };

// A bad argument that parsing could not catch (odd hex, wrong file extension): exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An operation that failed (the library's error text, a file that cannot be written): exit 1.
struct OperationError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The user stopped the command before it got to its work (Ctrl-C while looking for an amplifier): exit 130.
struct Interrupted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace Mivo::Cli
