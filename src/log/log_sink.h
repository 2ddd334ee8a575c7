#pragma once
// The log's file side: which file is open, opening the default or an explicit file, and the
// closing line. One process-wide instance (Instance()); tests make their own.
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

namespace Mivo::BLE {

// Maximum length of one log line, newline included; longer lines are cut.
inline constexpr size_t kLogLineMax = 4607;
// Maximum length of the " file:line function()" part of a line.
inline constexpr size_t kLogLocationMax = 255;
// Maximum length of a formatted LogMessage text.
inline constexpr size_t kLogMessageMax = 4095;

class LogSink {
public:
    // `defaultPath` is asked once, at the first line, when no file has been configured yet.
    explicit LogSink(std::function<std::string()> defaultPath);
    ~LogSink();
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    // The process-wide sink. Never destroyed, so lines logged late in process exit are safe;
    // an exit handler writes the closing line and closes the file.
    static LogSink& Instance();

    // Writes one finished line (opening the default file first if nothing was configured yet).
    void Write(const std::string& line);
    // Closes the current file with a redirect note and opens `path`.
    bool Open(const std::string& path, bool append);
    std::string Path() const;
    // Writes the closing line and closes the file; later lines reach no file.
    void Close();

private:
    bool OpenLocked(const std::string& path, bool append);

    mutable std::mutex lock_;
    std::function<std::string()> defaultPath_;
    FILE* file_ = nullptr;
    bool configured_ = false;
    std::string path_;
};

// "[YYYY-mm-dd HH:MM:SS.mmm]" in local time.
std::string LogTimeStamp();

// $XDG_DATA_HOME (when absolute, else $HOME/.local/share) + "/mivo/mivo-ble/" +
// "mivoble_YYYYMMDD_HHMMSS.log"; empty when neither gives a folder.
std::string DefaultLogPath();

// Builds one line as WriteLine does (without writing it). Empty when formatting fails.
std::string FormatLogLine(const std::string& stamp, const char* label, const char* sourceFile, int line,
                          const char* function, const char* message);

// Creates every folder leading to `path` (errors, an existing folder included, are ignored).
void CreateParentFolders(const std::string& path);

}  // namespace Mivo::BLE
