#include "log/log_sink.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>

namespace Mivo::BLE {

namespace {

std::tm LocalTime(std::time_t seconds) {
    std::tm calendar{};
    localtime_r(&seconds, &calendar);
    return calendar;
}

}  // namespace

std::string LogTimeStamp() {
    // Wall clock in 100-ns units since 1970, as the log format defines its milliseconds.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const long long units = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    const std::tm calendar = LocalTime(static_cast<std::time_t>(units / 10'000'000));
    char date[32];
    if (std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &calendar) == 0) return "[]";
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "[%s.%03d]", date, static_cast<int>((units / 10'000) % 1000));
    return stamp;
}

std::string DefaultLogPath() {
    std::string folder;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/') {  // a relative value is ignored, as the convention says
        folder = xdg;
    } else if (home != nullptr && *home != '\0') {
        folder = std::string(home) + "/.local/share";
    } else {
        return {};
    }
    const std::tm calendar = LocalTime(std::time(nullptr));
    char name[64];
    if (std::strftime(name, sizeof name, "mivoble_%Y%m%d_%H%M%S.log", &calendar) == 0) return {};
    return folder + "/mivo/mivo-ble/" + name;
}

std::string FormatLogLine(const std::string& stamp, const char* label, const char* sourceFile, int line,
                          const char* function, const char* message) {
    char location[kLogLocationMax + 1] = "";
    if (sourceFile != nullptr && *sourceFile != '\0') {
        const char* base = sourceFile;
        for (const char* p = sourceFile; *p != '\0'; ++p) {
            if (*p == '/' || *p == '\\') base = p + 1;
        }
        if (std::snprintf(location, sizeof location, " %s:%d %s()", base, line, function ? function : "") < 0) {
            return {};
        }
    }
    char text[kLogLineMax + 1];
    const int n = std::snprintf(text, sizeof text, "%s [%-5s]%s - %s\n", stamp.c_str(), label ? label : "?", location,
                                message ? message : "");
    if (n < 0) return {};
    return std::string(text, std::min<size_t>(static_cast<size_t>(n), kLogLineMax));
}

void CreateParentFolders(const std::string& path) {
    const size_t last = path.find_last_of('/');
    if (last == std::string::npos) return;
    const std::string folder = path.substr(0, last);
    for (size_t i = 1; i < folder.size(); ++i) {
        if (folder[i] == '/' && folder[i - 1] != '/') ::mkdir(folder.substr(0, i).c_str(), 0777);
    }
    if (!folder.empty()) ::mkdir(folder.c_str(), 0777);
}

LogSink::LogSink(std::function<std::string()> defaultPath) : defaultPath_(std::move(defaultPath)) {}

LogSink::~LogSink() { Close(); }

LogSink& LogSink::Instance() {
    static LogSink* const sink = [] {
        auto* s = new LogSink(&DefaultLogPath);
        std::atexit([] { Instance().Close(); });
        return s;
    }();
    return *sink;
}

void LogSink::Write(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!configured_) {
        // A default file that cannot be opened leaves the log without a file, silently.
        OpenLocked(defaultPath_ ? defaultPath_() : std::string(), false);
    }
    if (file_ != nullptr) {
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fflush(file_);
    }
}

bool LogSink::Open(const std::string& path, bool append) {
    std::lock_guard<std::mutex> guard(lock_);
    return OpenLocked(path, append);
}

bool LogSink::OpenLocked(const std::string& path, bool append) {
    configured_ = true;
    if (path.empty()) return false;
    if (file_ != nullptr) {
        std::fprintf(file_, "\n# Redirecting log to: %s\n", path.c_str());
        std::fclose(file_);
        file_ = nullptr;
        path_.clear();
    }
    CreateParentFolders(path);
    // "e": the descriptor is not inherited by programs the host starts.
    file_ = std::fopen(path.c_str(), append ? "ae" : "we");
    if (file_ == nullptr) {
        path_.clear();
        return false;
    }
    path_ = path;
    std::fprintf(file_, "%s [INFO ] - mivoble log session started (path: %s)\n", LogTimeStamp().c_str(), path.c_str());
    std::fflush(file_);
    return true;
}

std::string LogSink::Path() const {
    std::lock_guard<std::mutex> guard(lock_);
    return path_;
}

void LogSink::Close() {
    std::lock_guard<std::mutex> guard(lock_);
    configured_ = true;  // no default file is opened after the close
    if (file_ == nullptr) return;
    std::fputs("\n# Log closed.\n", file_);
    std::fclose(file_);
    file_ = nullptr;
    path_.clear();
}

}  // namespace Mivo::BLE
