// Processing a payload must not allocate: this binary counts every operator new while
// payloads run through a built stream.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "protocol/sample_stream.h"
#include "protocol_bytes.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<size_t> g_allocations{0};
}  // namespace

void* operator new(size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// The replaced operator new above allocates with malloc, so free is the matching release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace Mivo::BLE {
namespace {

using Wire::Bytes;

uint32_t g_rows = 0;
void OnRow(MIVOBLE_HANDLE, const float*, uint32_t) { ++g_rows; }
void OnBatch(MIVOBLE_HANDLE, const float*, uint32_t count, uint32_t) { g_rows += count; }

// Runs `payloads` through the stream and returns the allocations made meanwhile.
size_t AllocationsWhile(SampleStream& stream, const std::vector<Bytes>& payloads) {
    g_allocations = 0;
    g_counting = true;
    for (const auto& p : payloads) stream.OnSamplePayload(p.data(), p.size());
    g_counting = false;
    return g_allocations.load();
}

class StreamAllocation : public ::testing::Test {
protected:
    void SetUp() override { g_rows = 0; }
    ConfigurationCollector collector;
    StreamDiagnostics diagnostics{false, stderr};
    SampleStream stream{collector, [] { return MIVOBLE_HANDLE{1}; }, [] { return true; }, diagnostics};
};

TEST_F(StreamAllocation, NusPayloadsPerRowAndBatched) {
    collector.SetHandler(std::make_shared<MivoNusProtocolHandler>());
    stream.ApplyDefaultHostLayout();
    stream.BuildTables();
    ASSERT_EQ(stream.SetActiveLayout(8, 10, 3, false, 250), 0);
    const std::vector<Bytes> payloads(100, Bytes(240, 0x11));

    stream.SetDataAvailableCallback(OnRow);
    EXPECT_EQ(AllocationsWhile(stream, payloads), 0u);
    EXPECT_EQ(g_rows, 1000u);

    stream.SetDataAvailableBatchedCallback(OnBatch);
    EXPECT_EQ(AllocationsWhile(stream, payloads), 0u);
    EXPECT_EQ(g_rows, 2000u);
}

TEST_F(StreamAllocation, LegacyPayloadsWithCounterGapsAndRaisedBatchSize) {
    collector.SetHandler(std::make_shared<MivoLegacyProtocolHandler>());
    collector.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 9, 27, 9, 9, 0));
    for (uint16_t id = 1; id <= 9; ++id) {
        collector.OnChannelRecord(
            Wire::ChannelBytes(id, id == 9 ? 5 : 1, static_cast<uint8_t>(id), id == 9 ? 1.0f : 0.5f));
        collector.OnPayloadRecord(Wire::PayloadRecordBytes(id, 0));
    }
    stream.BuildTables();
    std::vector<Bytes> payloads;
    for (int32_t counter = 1; counter <= 300; counter += 3) {  // two samples lost before every payload
        Bytes b;
        for (int c = 1; c <= 8; ++c) Wire::PutBe24(b, c * 1000);
        Wire::PutBe24(b, counter);
        payloads.push_back(b);
    }

    stream.SetDataAvailableCallback(OnRow);
    EXPECT_EQ(AllocationsWhile(stream, payloads), 0u);
    EXPECT_EQ(g_rows, 300u - 2u);  // 298 counters from 1 to 298: first payload has no gap

    // Raising frames per callback after registration grows the batch buffer once, then never again.
    stream.SetDataAvailableBatchedCallback(OnBatch);
    stream.SetFramesPerCallback(64);
    std::vector<Bytes> again;
    for (int32_t counter = 301; counter <= 600; counter += 3) {
        Bytes b;
        for (int c = 1; c <= 8; ++c) Wire::PutBe24(b, c);
        Wire::PutBe24(b, counter);
        again.push_back(b);
    }
    const std::vector<Bytes> warmUp(again.begin(), again.begin() + 30);
    const std::vector<Bytes> steady(again.begin() + 30, again.end());
    EXPECT_GT(AllocationsWhile(stream, warmUp), 0u);
    EXPECT_EQ(AllocationsWhile(stream, steady), 0u);
}

}  // namespace
}  // namespace Mivo::BLE
