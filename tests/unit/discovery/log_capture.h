#pragma once
// Points the process-wide log at a fresh file for one test and searches what was written.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "log/log.h"

namespace Mivo::BLE::Testing {

class LogCapture {
public:
    LogCapture() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "mivoble-" + info->test_suite_name() + "-" + info->name() + ".log";
        std::remove(path_.c_str());
        EXPECT_TRUE(SetLogFilePath(path_));
    }

    std::string Text() const {
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Number of lines that contain both `label` (e.g. "[WARN ]") and `fragment`.
    int Count(const std::string& label, const std::string& fragment) const {
        std::istringstream in(Text());
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.find(label) != std::string::npos && line.find(fragment) != std::string::npos) ++n;
        }
        return n;
    }

private:
    std::string path_;
};

}  // namespace Mivo::BLE::Testing
