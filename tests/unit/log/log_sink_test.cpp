// The log's files: default file, redirect, append, failures, closing line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "log/log.h"
#include "log/log_sink.h"
#include "mivoble/mivoble.h"
#include "temp_dir.h"

namespace Mivo::BLE::Testing {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_.empty() ? ::unsetenv(name_) : ::setenv(name_, old_.c_str(), 1); }

private:
    const char* name_;
    std::string old_;
};

TEST(LogSinkTest, DefaultPathFollowsTheDataHomeConvention) {
    const std::string name = R"(mivoble_\d{8}_\d{6}\.log)";
    {
        ScopedEnv xdg("XDG_DATA_HOME", "/data/x");
        ScopedEnv home("HOME", "/home/u");
        EXPECT_TRUE(std::regex_match(DefaultLogPath(), std::regex("/data/x/mivo/mivo-ble/" + name)));
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "");
        ScopedEnv home("HOME", "/home/u");
        EXPECT_TRUE(std::regex_match(DefaultLogPath(), std::regex("/home/u/.local/share/mivo/mivo-ble/" + name)));
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "relative/data");
        ScopedEnv home("HOME", "/home/v");
        EXPECT_TRUE(std::regex_match(DefaultLogPath(), std::regex("/home/v/.local/share/mivo/mivo-ble/" + name)));
    }
    ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(DefaultLogPath(), "");
}

TEST(LogSinkTest, FirstLineOpensTheDefaultFileWithABanner) {
    TempDir dir;
    const std::string path = dir / "deep/er/mivoble_20250314_092653.log";
    int asked = 0;
    {
        LogSink sink([&] {
            ++asked;
            return path;
        });
        EXPECT_EQ(sink.Path(), "");
        sink.Write("line one\n");
        sink.Write("line two\n");
        EXPECT_EQ(sink.Path(), path);
    }
    EXPECT_EQ(asked, 1);
    const std::string text = ReadFile(path);
    EXPECT_THAT(text, MatchesRegex(R"(\[[-0-9: .]+\] \[INFO \] - mivoble log session started \(path: )" + path +
                                   R"(\)
line one
line two

# Log closed.
)"));
}

TEST(LogSinkTest, UnusableDefaultIsNotRetriedButAnExplicitFileWorks) {
    TempDir dir;
    int asked = 0;
    LogSink sink([&] {
        ++asked;
        return dir / "missing-file-as-folder/x.log";
    });
    ASSERT_TRUE(std::ofstream(dir / "missing-file-as-folder").good());  // a file where a folder is needed
    sink.Write("lost\n");
    sink.Write("lost too\n");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(sink.Path(), "");
    ASSERT_TRUE(sink.Open(dir / "ok.log", true));
    sink.Write("kept\n");
    EXPECT_THAT(ReadFile(dir / "ok.log"), HasSubstr("\nkept\n"));
}

TEST(LogSinkTest, OpeningBeforeTheFirstLineSkipsTheDefaultFile) {
    TempDir dir;
    LogSink sink([&]() -> std::string {
        ADD_FAILURE() << "default path asked for";
        return dir / "default.log";
    });
    ASSERT_TRUE(sink.Open(dir / "explicit.log", true));
    sink.Write("x\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "default.log"));
}

TEST(LogSinkTest, RedirectNotesTheNewPathAndAppendsToTheNewFile) {
    TempDir dir;
    const std::string first = dir / "first.log";
    const std::string second = dir / "a/b/c/second.log";
    ASSERT_TRUE(std::filesystem::create_directories(dir / "a/b/c"));
    std::ofstream(second) << "earlier content\n";

    LogSink sink(nullptr);
    ASSERT_TRUE(sink.Open(first, true));
    sink.Write("before\n");
    ASSERT_TRUE(sink.Open(second, true));
    sink.Write("after\n");
    EXPECT_EQ(sink.Path(), second);
    EXPECT_THAT(ReadFile(first), EndsWith("before\n\n# Redirecting log to: " + second + "\n"));
    const std::string text = ReadFile(second);
    EXPECT_THAT(text, StartsWith("earlier content\n"));
    EXPECT_THAT(text, HasSubstr("mivoble log session started (path: " + second + ")\nafter\n"));
}

TEST(LogSinkTest, FailedOpenClosesThePreviousFileAndClearsThePath) {
    TempDir dir;
    LogSink sink(nullptr);
    ASSERT_TRUE(sink.Open(dir / "first.log", true));
    EXPECT_FALSE(sink.Open(dir.Path(), true));  // a folder cannot be opened as a file
    EXPECT_EQ(sink.Path(), "");
    sink.Write("nowhere\n");
    EXPECT_THAT(ReadFile(dir / "first.log"), EndsWith("# Redirecting log to: " + dir.Path() + "\n"));
    EXPECT_FALSE(sink.Open("", true));
}

TEST(LogSinkTest, ExportsCheckArgumentsAndCopyThePath) {
    TempDir dir;
    const std::string path = dir / "new/folders/exports.log";
    ASSERT_EQ(MIVOBLE_SetLogFile(path.c_str()), MIVOBLE_OK);
    EXPECT_TRUE(std::filesystem::exists(path));

    EXPECT_EQ(MIVOBLE_SetLogFile(""), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "MIVOBLE_SetLogFile: path is null/empty");
    EXPECT_EQ(MIVOBLE_SetLogFile(nullptr), MIVOBLE_ERROR_GENERAL);

    char buffer[512];
    ASSERT_EQ(MIVOBLE_GetLogFile(buffer, sizeof buffer), MIVOBLE_OK);
    EXPECT_EQ(buffer, path);  // unchanged by the rejected calls
    char small[5] = {'#', '#', '#', '#', '#'};
    ASSERT_EQ(MIVOBLE_GetLogFile(small, sizeof small), MIVOBLE_OK);
    EXPECT_EQ(std::string(small, 5), path.substr(0, 4) + '\0');
    EXPECT_EQ(MIVOBLE_GetLogFile(nullptr, 10), MIVOBLE_ERROR_GENERAL);
    EXPECT_EQ(MIVOBLE_GetLogFile(buffer, 0), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "MIVOBLE_GetLogFile: invalid buffer");

    EXPECT_EQ(MIVOBLE_SetLogFile(dir.Path().c_str()), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "MIVOBLE_SetLogFile: could not open log file");
    ASSERT_EQ(MIVOBLE_GetLogFile(buffer, sizeof buffer), MIVOBLE_OK);
    EXPECT_STREQ(buffer, "");
}

}  // namespace
}  // namespace Mivo::BLE::Testing
