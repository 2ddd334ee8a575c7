#pragma once
// Points the process-wide log at a fresh file for one test and searches what was written.
// The file name carries the process id, so runs of the same test in several build folders
// at once never share a file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"

namespace Mivo::BLE::Testing {

class LogFile {
public:
    LogFile() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string test = info ? std::string(info->test_suite_name()) + "-" + info->name() : "log";
        path_ = ::testing::TempDir() + "mivoble-" + std::to_string(::getpid()) + "-" + test + ".log";
        std::remove(path_.c_str());
        EXPECT_TRUE(SetLogFilePath(path_));
    }
    ~LogFile() { std::remove(path_.c_str()); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    const std::string& Path() const { return path_; }

    std::vector<std::string> Lines() const {
        std::ifstream in(path_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    std::string Text() const {
        std::ostringstream all;
        for (const auto& l : Lines()) all << l << "\n";
        return all.str();
    }
    // Lines containing `text`, whatever their level.
    std::vector<std::string> Matching(const std::string& text) const {
        std::vector<std::string> out;
        for (auto& l : Lines())
            if (l.find(text) != std::string::npos) out.push_back(std::move(l));
        return out;
    }
    size_t Count(const std::string& text) const { return Matching(text).size(); }
    // Lines of level `label` ("INFO ", "WARN ", ...) containing `fragment`.
    std::vector<std::string> Lines(const std::string& label, const std::string& fragment) const {
        std::vector<std::string> out;
        for (auto& l : Matching(fragment))
            if (l.find("[" + label + "]") != std::string::npos) out.push_back(std::move(l));
        return out;
    }
    int Count(const std::string& label, const std::string& fragment) const {
        return static_cast<int>(Lines(label, fragment).size());
    }
    bool Has(const std::string& label, const std::string& fragment) const { return Count(label, fragment) > 0; }
    // Waits until at least `count` such lines were written (lines written on other threads).
    bool WaitFor(const std::string& label, const std::string& fragment, int count = 1,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Count(label, fragment) < count) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    std::string path_;
};

}  // namespace Mivo::BLE::Testing
