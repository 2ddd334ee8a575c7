#pragma once
// What the stress run found: failures counted per check, the first few of each printed as
// they happen.
#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace Stress {

class Findings {
public:
    // Never destroyed: callbacks may still report during process exit.
    static Findings& Instance() {
        static Findings* findings = new Findings;
        return *findings;
    }

    void Fail(const char* check, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        char text[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::lock_guard lock(mutex_);
        const unsigned count = ++counts_[check];
        if (count <= kPrintedPerCheck) std::fprintf(stderr, "stress: FAIL %s: %s\n", check, text);
        if (count == kPrintedPerCheck + 1)
            std::fprintf(stderr, "stress: (further '%s' failures only counted)\n", check);
    }

    // Counts one call and whether it succeeded.
    void Called(const char* call, bool succeeded) {
        std::lock_guard lock(mutex_);
        auto& [calls, failures] = calls_[call];
        ++calls;
        if (!succeeded) ++failures;
    }

    // Prints the calls made and the count of every check that failed; true when none did.
    bool Report() {
        std::lock_guard lock(mutex_);
        for (const auto& [call, counts] : calls_) {
            std::fprintf(stderr, "stress: %-45s %6u calls, %6u failed\n", call.c_str(), counts.first, counts.second);
        }
        for (const auto& [check, count] : counts_)
            std::fprintf(stderr, "stress: check '%s' failed %u times\n", check.c_str(), count);
        return counts_.empty();
    }

private:
    static constexpr unsigned kPrintedPerCheck = 10;
    std::mutex mutex_;
    std::map<std::string, unsigned> counts_;
    std::map<std::string, std::pair<unsigned, unsigned>> calls_;
};

}  // namespace Stress
