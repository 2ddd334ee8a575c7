// Cost of one sample notification, from its bytes to the rows delivered to the application:
// decode, scatter, hold, counter, gap check and delivery, per row and batched.
//   NUS host layout: 8 channels x 10 frames, 3-byte big-endian values (240-byte payload).
//   Legacy: 8 signal channels and a counter channel, one frame per payload (27 bytes).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "protocol/sample_stream.h"

namespace Mivo::BLE {
namespace {

float g_sink = 0;
void OnRow(MIVOBLE_HANDLE, const float* row, uint32_t) { g_sink += row[0]; }
void OnBatch(MIVOBLE_HANDLE, const float* rows, uint32_t, uint32_t) { g_sink += rows[0]; }

void PutBe24(std::vector<uint8_t>& b, int32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 16));
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void PutLe16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

struct Fixture {
    ConfigurationCollector collector;
    StreamDiagnostics diagnostics{false, stderr};
    SampleStream stream{collector, [] { return MIVOBLE_HANDLE{1}; }, [] { return true; }, diagnostics};
};

void SetUpNus(Fixture& f) {
    f.collector.SetHandler(std::make_shared<MivoNusProtocolHandler>());
    f.stream.ApplyDefaultHostLayout();
    f.stream.BuildTables();
    f.stream.SetActiveLayout(8, 10, 3, false, 250);
}

void SetUpLegacy(Fixture& f) {
    f.collector.SetHandler(std::make_shared<MivoLegacyProtocolHandler>());
    std::vector<uint8_t> config;
    for (uint16_t v :
         {uint16_t{250}, uint16_t{9}, uint16_t{0}, uint16_t{0}, uint16_t{27}, uint16_t{9}, uint16_t{9}, uint16_t{0}})
        PutLe16(config, v);
    f.collector.DecodeAmplifierConfiguration(config);
    for (uint16_t id = 1; id <= 9; ++id) {
        std::vector<uint8_t> channel;
        PutLe16(channel, id);
        channel.push_back(id == 9 ? 5 : 1);
        channel.push_back(static_cast<uint8_t>(id));
        const float scale = id == 9 ? 1.0f : 0.0223f;
        uint8_t s[4];
        std::memcpy(s, &scale, 4);
        channel.insert(channel.end(), s, s + 4);
        f.collector.OnChannelRecord(channel);
        std::vector<uint8_t> record;
        PutLe16(record, id);
        PutLe16(record, 0);
        f.collector.OnPayloadRecord(record);
    }
    f.stream.BuildTables();
}

// Consecutive payloads, so that the counter advances by one frame per payload.
std::vector<std::vector<uint8_t>> NusPayloads() {
    std::vector<std::vector<uint8_t>> payloads(256);
    for (size_t p = 0; p < payloads.size(); ++p)
        for (int i = 0; i < 80; ++i) PutBe24(payloads[p], static_cast<int32_t>((p * 80 + i) % 100000) - 50000);
    return payloads;
}

std::vector<std::vector<uint8_t>> LegacyPayloads() {
    std::vector<std::vector<uint8_t>> payloads(4096);
    for (size_t p = 0; p < payloads.size(); ++p) {
        for (int c = 0; c < 8; ++c) PutBe24(payloads[p], static_cast<int32_t>(p * 8 + c) - 20000);
        PutBe24(payloads[p], static_cast<int32_t>(p + 1));
    }
    return payloads;
}

void Run(benchmark::State& state, Fixture& f, const std::vector<std::vector<uint8_t>>& payloads, int rowsPerPayload) {
    size_t i = 0;
    for (auto _ : state) {
        const auto& p = payloads[i];
        f.stream.OnSamplePayload(p.data(), p.size());
        if (++i == payloads.size()) i = 0;
    }
    benchmark::DoNotOptimize(g_sink);
    state.counters["rows"] = benchmark::Counter(static_cast<double>(state.iterations()) * rowsPerPayload);
    // Time per delivered row (shown with an SI prefix, e.g. 20n = 20 ns).
    state.counters["time_per_row"] = benchmark::Counter(static_cast<double>(state.iterations()) * rowsPerPayload,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_NusPayload240PerRow(benchmark::State& state) {
    Fixture f;
    SetUpNus(f);
    f.stream.SetDataAvailableCallback(OnRow);
    Run(state, f, NusPayloads(), 10);
}

void BM_NusPayload240Batched(benchmark::State& state) {
    Fixture f;
    SetUpNus(f);
    f.stream.SetFramesPerCallback(static_cast<uint32_t>(state.range(0)));
    f.stream.SetDataAvailableBatchedCallback(OnBatch);
    Run(state, f, NusPayloads(), 10);
}

void BM_LegacyCounterPayloadPerRow(benchmark::State& state) {
    Fixture f;
    SetUpLegacy(f);
    f.stream.SetDataAvailableCallback(OnRow);
    Run(state, f, LegacyPayloads(), 1);
}

void BM_LegacyCounterPayloadBatched(benchmark::State& state) {
    Fixture f;
    SetUpLegacy(f);
    f.stream.SetFramesPerCallback(static_cast<uint32_t>(state.range(0)));
    f.stream.SetDataAvailableBatchedCallback(OnBatch);
    Run(state, f, LegacyPayloads(), 1);
}

BENCHMARK(BM_NusPayload240PerRow);
BENCHMARK(BM_NusPayload240Batched)->Arg(4)->Arg(64);
BENCHMARK(BM_LegacyCounterPayloadPerRow);
BENCHMARK(BM_LegacyCounterPayloadBatched)->Arg(4)->Arg(64);

}  // namespace
}  // namespace Mivo::BLE
