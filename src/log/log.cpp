#include "log/log.h"

#include <cstdarg>
#include <cstdio>

#include "log/log_sink.h"

namespace Mivo::BLE {

namespace {

// Lines also go to the debugger output on platforms that have one; Linux has none.
void DebuggerOutput(const std::string&) {}

}  // namespace

void WriteLine(const char* label, const char* sourceFile, int line, const char* function, const char* message) {
    const std::string text = FormatLogLine(LogTimeStamp(), label, sourceFile, line, function, message);
    if (text.empty()) return;
    DebuggerOutput(text);
    LogSink::Instance().Write(text);
}

void LogMessage(const char* label, const char* format, ...) {
    char message[kLogMessageMax + 1];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0) return;
    WriteLine(label, nullptr, 0, nullptr, message);
}

bool SetLogFilePath(const std::string& path) { return LogSink::Instance().Open(path, true); }

std::string GetLogFilePath() { return LogSink::Instance().Path(); }

}  // namespace Mivo::BLE
