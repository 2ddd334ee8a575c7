// Line format of the log: stamp, label, location part, cuts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "log/log.h"
#include "log/log_sink.h"
#include "mivoble/mivoble.h"
#include "temp_dir.h"

namespace Mivo::BLE::Testing {
namespace {

const std::string kStamp = "[2025-03-14 09:26:53.058]";

TEST(LogFormatTest, LabelsArePaddedAndLocationIsOptional) {
    EXPECT_EQ(FormatLogLine(kStamp, kLogInfo, nullptr, 0, nullptr, "hello"), kStamp + " [INFO ] - hello\n");
    EXPECT_EQ(FormatLogLine(kStamp, "?", "", 3, "f", "x"), kStamp + " [?    ] - x\n");
    EXPECT_EQ(FormatLogLine(kStamp, nullptr, nullptr, 0, nullptr, nullptr), kStamp + " [?    ] - \n");
    EXPECT_EQ(FormatLogLine(kStamp, "TRACE-LONG", nullptr, 0, nullptr, "m"), kStamp + " [TRACE-LONG] - m\n");
}

TEST(LogFormatTest, LocationKeepsTheFileNameAfterTheLastSeparator) {
    EXPECT_EQ(FormatLogLine(kStamp, kLogDebug, "C:\\src\\mivo\\lib/device.cpp", 12, "f", "m"),
              kStamp + " [DEBUG] device.cpp:12 f() - m\n");
    EXPECT_EQ(FormatLogLine(kStamp, kLogWarn, "/a/b\\scanner.cpp", 7, nullptr, "m"),
              kStamp + " [WARN ] scanner.cpp:7 () - m\n");
    EXPECT_EQ(FormatLogLine(kStamp, kLogWarn, "plain.cpp", -1, "g", "m"), kStamp + " [WARN ] plain.cpp:-1 g() - m\n");
    // The location part is cut to 255 bytes.
    const std::string line = FormatLogLine(kStamp, kLogError, std::string(400, 'f').c_str(), 1, "g", "m");
    EXPECT_EQ(line, kStamp + " [ERROR] " + std::string(254, 'f') + " - m\n");
}

TEST(LogFormatTest, LongLinesAndMessagesAreCut) {
    const std::string huge(6000, 'x');
    const std::string line = FormatLogLine(kStamp, kLogInfo, nullptr, 0, nullptr, huge.c_str());
    EXPECT_EQ(line.size(), 4607u);
    EXPECT_NE(line.back(), '\n');

    TempDir dir;
    ASSERT_EQ(MIVOBLE_SetLogFile((dir / "cut.log").c_str()), MIVOBLE_OK);
    LogMessage(kLogInfo, "%s|", huge.c_str());
    const std::string text = ReadFile(dir / "cut.log");
    // The formatted message keeps 4095 bytes, so the closing bar is lost.
    EXPECT_NE(text.find(" [INFO ] - " + std::string(4095, 'x') + "\n"), std::string::npos);
    EXPECT_EQ(text.find('|'), std::string::npos);
}

TEST(LogFormatTest, StampIsLocalTimeWithMilliseconds) {
    EXPECT_TRUE(std::regex_match(LogTimeStamp(), std::regex(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\])")))
        << LogTimeStamp();
}

TEST(LogFormatTest, LogExportMapsLevelsToLabels) {
    TempDir dir;
    ASSERT_EQ(MIVOBLE_SetLogFile((dir / "levels.log").c_str()), MIVOBLE_OK);
    MIVOBLE_Log(MIVOBLE_LOG_DEBUG, nullptr, 0, nullptr, "d");
    MIVOBLE_Log(MIVOBLE_LOG_WARN, nullptr, 0, nullptr, "w");
    MIVOBLE_Log(MIVOBLE_LOG_ERROR, nullptr, 0, nullptr, "e");
    MIVOBLE_Log(7, nullptr, 0, nullptr, "seven");
    MIVOBLE_Log(-1, nullptr, 0, nullptr, nullptr);
    MIVOBLE_Log(MIVOBLE_LOG_INFO, "x\\y/z.c", 12, "f", "located");
    const std::string text = ReadFile(dir / "levels.log");
    for (const char* expected : {"] [DEBUG] - d\n", "] [WARN ] - w\n", "] [ERROR] - e\n", "] [?    ] - seven\n",
                                 "] [?    ] - \n", "] [INFO ] z.c:12 f() - located\n"}) {
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
    }
}

}  // namespace
}  // namespace Mivo::BLE::Testing
