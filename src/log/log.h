#pragma once
// Process-wide text log. Every layer writes through LogMessage; the C exports
// MIVOBLE_Log / MIVOBLE_SetLogFile / MIVOBLE_GetLogFile sit on the same sink.
#include <string>

namespace Mivo::BLE {

// Level labels, five characters wide.
inline constexpr const char* kLogDebug = "DEBUG";
inline constexpr const char* kLogInfo = "INFO ";
inline constexpr const char* kLogWarn = "WARN ";
inline constexpr const char* kLogError = "ERROR";

// printf-style entry without a source location (formatted into 4096 bytes).
void LogMessage(const char* label, const char* format, ...) __attribute__((format(printf, 2, 3)));

// One line: "<stamp> [<label>]<location> - <message>\n", cut to 4607 bytes.
void WriteLine(const char* label, const char* sourceFile, int line, const char* function, const char* message);

// Redirects the process-wide log to `path` (appending, folders created). False when the file
// cannot be opened; the previous file is closed either way.
bool SetLogFilePath(const std::string& path);

// The file the process-wide log writes to; empty when none is open. Never opens the default file.
std::string GetLogFilePath();

}  // namespace Mivo::BLE
