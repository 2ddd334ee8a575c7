// Soak: two amplifiers stream for a long time while their links drop every 20 s. Labelled
// soak and excluded from the default run. MIVOBLE_SOAK_SECONDS shortens or lengthens it
// (default 600).
#include <cstdlib>
#include <fstream>

#include "device_test_support.h"

namespace Mivo::BLE::Testing {
namespace {

constexpr int kCounterColumn = 8;

// Resident set size in kB.
long ResidentKb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;  // 4 kB pages
}

int SoakSeconds() {
    const char* text = std::getenv("MIVOBLE_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 600;
}

using SoakTest = DeviceTest;

TEST_F(SoakTest, TwoAmplifiersKeepStreamingThroughRepeatedLinkDrops) {
    const int seconds = SoakSeconds();
    const auto dropPeriod = 20s;
    std::vector<std::shared_ptr<Sim::Amplifier>> amps;
    std::vector<MIVOBLE_HANDLE> handles;
    for (int i = 0; i < 2; ++i) {
        Sim::AmplifierConfig config;
        config.dropEvery = dropPeriod;
        amps.push_back(AddAmplifier(config));
        handles.push_back(OpenOrFail(amps.back()->Name()));
        Recorder::Instance().TrackCounter(handles.back(), kCounterColumn);
        ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handles.back(), RecordState), MIVOBLE_OK);
    }
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(handles[0], RecordRow), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_SetFramesPerCallback(handles[1], 10), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(handles[1], RecordBatch), MIVOBLE_OK);

    // Memory is measured once the first reconnect cycle has warmed every buffer up.
    const auto start = Clock::now();
    const auto warm = std::min<std::chrono::seconds>(std::chrono::seconds(seconds / 4), 30s);
    std::this_thread::sleep_until(start + warm);  // the soak's duration is what is under test
    const long rssWarm = ResidentKb();
    std::this_thread::sleep_until(start + std::chrono::seconds(seconds));
    const long rssEnd = ResidentKb();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

    for (size_t i = 0; i < handles.size(); ++i) {
        const HandleRecord r = Recorder::Instance().Get(handles[i]);
        size_t lost = 0, connected = 0;
        for (uint32_t s : r.states) (s == MIVOBLE_CONNECTION_LOST ? lost : connected)++;
        const size_t drops = static_cast<size_t>(elapsed / 20.0);
        std::printf(
            "amplifier %zu: %llu rows (%.1f/s), %llu synthesised, %zu losses, %zu reconnects, %llu counter restarts\n",
            i, static_cast<unsigned long long>(r.rows), r.rows / elapsed,
            static_cast<unsigned long long>(r.synthesised), lost, connected,
            static_cast<unsigned long long>(r.counterBreaks));
        // Every drop is reported and followed by a reconnect (the last one may still be running).
        EXPECT_GE(lost + 1, drops);
        EXPECT_GE(connected + 1, lost);
        EXPECT_LE(connected, lost);
        // The counter restarts only with a new link; within one link no sample is missing.
        EXPECT_LE(r.counterBreaks, connected);
        // Rows keep coming at the amplifier's rate, less the short gaps of the reconnects.
        EXPECT_GT(r.rows / elapsed, 250.0 * 0.9);
    }
    std::printf("resident set: %ld kB after warm-up, %ld kB at the end (%+ld kB)\n", rssWarm, rssEnd, rssEnd - rssWarm);
    EXPECT_LT(rssEnd - rssWarm, 4096);
}

}  // namespace
}  // namespace Mivo::BLE::Testing
