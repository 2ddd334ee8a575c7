// The production time constants of configuration collection and frame draining.
#include <gtest/gtest.h>

#include <thread>

#include "core/api_exception.h"
#include "protocol/configuration_collector.h"
#include "protocol/frame_response_collector.h"
#include "protocol_bytes.h"

namespace Mivo::BLE {
namespace {

using namespace std::chrono_literals;

TEST(ProductionTiming, IncompleteChannelTableFailsAfterFifteenHundredMilliseconds) {
    ConfigurationCollector collector;
    collector.SetHandler(std::make_shared<MivoLegacyProtocolHandler>());
    collector.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 8, 24, 8, 8, 0));
    const auto subscribe = [&] {
        for (uint16_t id = 1; id <= 7; ++id) collector.OnChannelRecord(Wire::ChannelBytes(id, 1, 0, 1.0f));
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(collector.Collect(RecordKind::Channel, subscribe, [] {}), ApiException);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 1500ms);
    EXPECT_LT(elapsed, 10s);
}

TEST(ProductionTiming, DrainingWaitsOneQuietWindowAndStopsAfterSixHundredMilliseconds) {
    FrameResponseCollector quiet;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(quiet.DrainStale(), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);

    FrameResponseCollector busy;
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        const uint8_t b = 1;
        while (!stop) {  // a device that never stops notifying
            busy.OnNotification(&b, 1);
            std::this_thread::yield();
        }
    });
    start = std::chrono::steady_clock::now();
    busy.DrainStale();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms);
    stop = true;
    chatter.join();
}

}  // namespace
}  // namespace Mivo::BLE
