// Streaming from virtual amplifiers: real-rate delivery, counters, gap filling, batching,
// stopping, and the NUS host layout.
#include "device_test_support.h"

namespace Mivo::BLE::Testing {
namespace {

using StreamTest = DeviceTest;

// Column of the counter channel of a default legacy amplifier (8 signal channels, then it).
constexpr int kCounterColumn = 8;

TEST_F(StreamTest, LegacyStreamArrivesAtTheAmplifierRateWithContinuousCounters) {
    auto amp = AddAmplifier();  // 250 Hz, one frame per payload
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    Recorder::Instance().TrackCounter(handle, kCounterColumn);
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(handle, RecordRow), MIVOBLE_OK);

    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.rows >= 25; }));
    const uint64_t startRows = Recorder::Instance().Get(handle).rows;
    const auto start = Clock::now();
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [&](const HandleRecord& r) { return r.rows >= startRows + 500; }));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // 500 rows at 250 Hz take 2 s; the simulator paces by absolute time, so a late tick catches up.
    EXPECT_GT(seconds, 1.5);
    EXPECT_LT(seconds, 3.0);

    const HandleRecord record = Recorder::Instance().Get(handle);
    EXPECT_EQ(record.width, 11u);
    EXPECT_EQ(record.counterBreaks, 0u);
    EXPECT_EQ(record.synthesised, 0u);
    ASSERT_EQ(record.firstRow.size(), 11u);
    EXPECT_EQ(record.firstRow[kCounterColumn], 1.0f);  // the stream counts samples from 1
    EXPECT_EQ(record.firstRow[9], static_cast<float>(amp->Config().battery));
    EXPECT_EQ(record.firstRow[10], 1.0f);
}

TEST_F(StreamTest, DroppedNotificationsAreFilledWithSynthesisedRowsInFullBatches) {
    Sim::AmplifierConfig config;
    config.dropNotifyEvery = 10;
    auto amp = AddAmplifier(config);
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    Recorder::Instance().TrackCounter(handle, kCounterColumn);
    ASSERT_EQ(MIVOBLE_SetFramesPerCallback(handle, 8), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(handle, RecordBatch), MIVOBLE_OK);

    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.rows >= 200; }));
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(handle, nullptr), MIVOBLE_OK);
    const HandleRecord record = Recorder::Instance().Get(handle);

    // Every tenth payload is lost; the next one brings a synthesised row for it, so the
    // sample numbers run on without a break.
    EXPECT_EQ(record.counterBreaks, 0u);
    EXPECT_GE(record.synthesised, record.rows / 10 - 1);
    EXPECT_LE(record.synthesised, record.rows / 10 + 1);
    EXPECT_GE(amp->NotificationsDropped(), record.synthesised);
    // Full batches, and last the rows that were waiting when the callback was cleared.
    ASSERT_FALSE(record.batchSizes.empty());
    for (size_t i = 0; i + 1 < record.batchSizes.size(); ++i) EXPECT_EQ(record.batchSizes[i], 8u) << i;
    EXPECT_GE(record.batchSizes.back(), 1u);
    EXPECT_LE(record.batchSizes.back(), 8u);
}

TEST_F(StreamTest, NullCallbackStopsTheStreamAndANewOneStartsItAgain) {
    auto amp = AddAmplifier();
    const MIVOBLE_HANDLE handle = OpenOrFail(amp->Name());
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(handle, RecordRow), MIVOBLE_OK);
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.rows >= 10; }));
    EXPECT_TRUE(amp->IsStreaming());

    ASSERT_EQ(MIVOBLE_RegisterDataAvailableCallback(handle, nullptr), MIVOBLE_OK);
    EXPECT_TRUE(Eventually([&] { return !amp->IsStreaming(); }));

    // A batched callback replaces the per-row one and restarts the stream.
    const uint64_t rowsBefore = Recorder::Instance().Get(handle).rows;
    ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(handle, RecordBatch), MIVOBLE_OK);
    ASSERT_TRUE(Recorder::Instance().WaitFor(handle, [](const HandleRecord& r) { return r.batches >= 3; }));
    EXPECT_GT(Recorder::Instance().Get(handle).rows, rowsBefore);
    EXPECT_TRUE(amp->IsStreaming());
}

}  // namespace
}  // namespace Mivo::BLE::Testing
