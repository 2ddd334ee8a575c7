// The process-wide log as a fresh process sees it: each case runs in a child process so the
// log starts unconfigured and its exit handler runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "mivoble/mivoble.h"
#include "temp_dir.h"

namespace Mivo::BLE::Testing {
namespace {

using ::testing::EndsWith;
using ::testing::ExitedWithCode;
using ::testing::HasSubstr;

// Ends the child: 0 when `ok`, else 1 with the reason on stderr for the death-test matcher.
[[noreturn]] void Finish(bool ok, const std::string& reason) {
    if (!ok) {
        std::fprintf(stderr, "child failed: %s\n", reason.c_str());
        std::exit(1);
    }
    std::exit(0);
}

std::string CurrentLogFile() {
    char buffer[1024] = "unset";
    if (MIVOBLE_GetLogFile(buffer, sizeof buffer) != MIVOBLE_OK) return "<error>";
    return buffer;
}

TEST(LogProcessTest, FirstLineCreatesTheDefaultFileWhichEndsWithTheClosingLine) {
    TempDir dir;
    ::setenv("XDG_DATA_HOME", dir.Path().c_str(), 1);
    EXPECT_EXIT(
        {
            const std::string before = CurrentLogFile();
            if (!before.empty()) Finish(false, "path before the first line: " + before);
            MIVOBLE_Log(MIVOBLE_LOG_INFO, nullptr, 0, nullptr, "first line");
            const std::string after = CurrentLogFile();
            Finish(after.rfind(dir.Path() + "/mivo/mivo-ble/mivoble_", 0) == 0, "path after: " + after);
        },
        ExitedWithCode(0), "");

    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "mivo/mivo-ble")) files.push_back(entry.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(std::regex_match(files[0].filename().string(), std::regex(R"(mivoble_\d{8}_\d{6}\.log)")));
    const std::string text = ReadFile(files[0]);
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(^\[[^\]]+\] \[INFO \] - mivoble log session started \(path: )" +
                                                   files[0].string() + R"(\)\n)")))
        << text;
    EXPECT_THAT(text, HasSubstr("] [INFO ] - first line\n"));
    EXPECT_THAT(text, EndsWith("first line\n\n# Log closed.\n"));
}

TEST(LogProcessTest, ExplicitFileBeforeTheFirstLinePreventsTheDefaultFile) {
    TempDir dir;
    ::setenv("XDG_DATA_HOME", dir.Path().c_str(), 1);
    const std::string path = dir / "chosen/by/host.log";
    EXPECT_EXIT(
        {
            if (MIVOBLE_SetLogFile(path.c_str()) != MIVOBLE_OK) Finish(false, MIVOBLE_GetLastErrorText());
            MIVOBLE_Log(MIVOBLE_LOG_WARN, "src/app.c", 3, "main", "hello");
            Finish(CurrentLogFile() == path, "path: " + CurrentLogFile());
        },
        ExitedWithCode(0), "");
    EXPECT_FALSE(std::filesystem::exists(dir / "mivo"));
    EXPECT_THAT(ReadFile(path), EndsWith("[WARN ] app.c:3 main() - hello\n\n# Log closed.\n"));
}

TEST(LogProcessTest, WithoutAUserFolderLinesReachNoFile) {
    EXPECT_EXIT(
        {
            ::unsetenv("XDG_DATA_HOME");
            ::unsetenv("HOME");
            MIVOBLE_Log(MIVOBLE_LOG_ERROR, nullptr, 0, nullptr, "nowhere");
            Finish(CurrentLogFile().empty(), "path: " + CurrentLogFile());
        },
        ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Mivo::BLE::Testing
