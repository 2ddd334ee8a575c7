#include "protocol/configuration_collector.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/api_exception.h"
#include "protocol_bytes.h"

namespace Mivo::BLE {
namespace {

using namespace std::chrono_literals;
using Wire::Bytes;

constexpr auto kShort = 50ms;  // a wait that is meant to run out
constexpr auto kLong = 10s;    // a wait that is meant to be satisfied long before

// A legacy amplifier that sends its records from its own thread once subscribed.
class FakeAmplifier {
public:
    explicit FakeAmplifier(ConfigurationCollector& c) : collector_(c) {}
    ~FakeAmplifier() { Join(); }

    std::function<void()> Subscriber(RecordKind kind, std::vector<Bytes> records) {
        return [this, kind, records = std::move(records)] {
            ++subscribes;
            sender_ = std::thread([this, kind, records] {
                for (const auto& r : records) {
                    try {
                        collector_.OnRecord(kind, r);
                    } catch (const ApiException&) {
                        // the notification delivery discards handler errors
                    }
                }
            });
        };
    }
    std::function<void()> Unsubscriber() {
        return [this] {
            ++unsubscribes;
            Join();
        };
    }
    int subscribes = 0;
    int unsubscribes = 0;

private:
    void Join() {
        if (sender_.joinable()) sender_.join();
    }
    ConfigurationCollector& collector_;
    std::thread sender_;
};

class CollectorTest : public ::testing::Test {
protected:
    void SetUp() override { collector.SetHandler(std::make_shared<MivoLegacyProtocolHandler>()); }
    ConfigurationCollector collector;
};

std::vector<Bytes> Channels(uint16_t count) {
    std::vector<Bytes> r;
    for (uint16_t id = 1; id <= count; ++id) r.push_back(Wire::ChannelBytes(id, 1, static_cast<uint8_t>(id), 1.0f));
    return r;
}

TEST_F(CollectorTest, CompleteTableEndsTheWaitAndUnsubscribes) {
    collector.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 8, 24, 8, 8, 0));
    FakeAmplifier amp(collector);
    collector.Collect(RecordKind::Channel, amp.Subscriber(RecordKind::Channel, Channels(8)), amp.Unsubscriber(), kLong);
    EXPECT_EQ(amp.subscribes, 1);
    EXPECT_EQ(amp.unsubscribes, 1);
    EXPECT_EQ(collector.GetChannelConfiguration().size(), 8u);
}

TEST_F(CollectorTest, MissingRecordFailsAfterTheTimeoutAndStillUnsubscribes) {
    collector.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 8, 24, 8, 8, 0));
    FakeAmplifier amp(collector);
    const auto start = std::chrono::steady_clock::now();
    try {
        collector.Collect(RecordKind::Channel, amp.Subscriber(RecordKind::Channel, Channels(7)), amp.Unsubscriber(),
                          kShort);
        ADD_FAILURE() << "collection of 7 of 8 records succeeded";
    } catch (const ApiException& e) {
        EXPECT_STREQ(e.what(), "Could not read channel configuration.");
        EXPECT_EQ(e.Code(), 3);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, kShort);
    EXPECT_EQ(amp.unsubscribes, 1);
    EXPECT_EQ(collector.ReceivedCount(RecordKind::Channel), 7);
}

TEST_F(CollectorTest, FailureTextsPerKind) {
    collector.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 2, 6, 2, 2, 1));
    FakeAmplifier amp(collector);
    try {
        collector.Collect(RecordKind::Payload, amp.Subscriber(RecordKind::Payload, {Wire::PayloadRecordBytes(1, 0)}),
                          amp.Unsubscriber(), kShort);
        ADD_FAILURE();
    } catch (const ApiException& e) {
        EXPECT_STREQ(e.what(), "Could not read payload configuration.");
    }
    try {
        collector.Collect(RecordKind::Filter, amp.Subscriber(RecordKind::Filter, {}), amp.Unsubscriber(), kShort);
        ADD_FAILURE();
    } catch (const ApiException& e) {
        EXPECT_STREQ(e.what(), "Could not read filter configuration.");
    }
}

TEST_F(CollectorTest, ZeroAnnouncedFiltersOrNusHandlerSkipCollection) {
    collector.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(250, 2, 6, 2, 2, 0));
    FakeAmplifier amp(collector);
    collector.Collect(RecordKind::Filter, amp.Subscriber(RecordKind::Filter, {}), amp.Unsubscriber(), kShort);
    EXPECT_EQ(amp.subscribes, 0);
    EXPECT_EQ(amp.unsubscribes, 0);
    EXPECT_TRUE(collector.ShouldCollect(RecordKind::Channel));

    ConfigurationCollector nus;
    nus.SetHandler(std::make_shared<MivoNusProtocolHandler>());
    nus.SetAmplifierConfiguration(collector.GetAmplifierConfiguration());
    EXPECT_FALSE(nus.ShouldCollect(RecordKind::Channel));
    EXPECT_FALSE(nus.ShouldCollect(RecordKind::Payload));
}

TEST_F(CollectorTest, ShortRecordsAreNotCountedDuplicatesCountPerNotification) {
    EXPECT_THROW(collector.OnChannelRecord(Bytes(6, 0)), ApiException);
    EXPECT_EQ(collector.ReceivedCount(RecordKind::Channel), 0);
    collector.OnChannelRecord(Wire::ChannelBytes(3, 1, 3, 1.0f));
    collector.OnChannelRecord(Wire::ChannelBytes(3, 5, 3, 2.0f));
    EXPECT_EQ(collector.ReceivedCount(RecordKind::Channel), 2);
    const auto table = collector.GetChannelConfiguration();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].type, 5);  // the later record replaced the earlier

    collector.OnFilterRecord(Wire::FilterBytes(1, 0));
    collector.OnFilterRecord(Wire::FilterBytes(1, 1));
    EXPECT_EQ(collector.ReceivedCount(RecordKind::Filter), 2);
    EXPECT_EQ(collector.Snapshot().filters.size(), 1u);

    collector.OnPayloadRecord(Wire::PayloadRecordBytes(1, 0));
    collector.OnPayloadRecord(Wire::PayloadRecordBytes(1, 0));
    EXPECT_EQ(collector.Snapshot().layout.size(), 2u);  // a list keeps both

    collector.Reset(RecordKind::Channel);
    EXPECT_EQ(collector.ReceivedCount(RecordKind::Channel), 0);
    EXPECT_TRUE(collector.GetChannelConfiguration().empty());
    EXPECT_EQ(collector.ReceivedCount(RecordKind::Filter), 2);
    collector.ClearTables();
    EXPECT_EQ(collector.ReceivedCount(RecordKind::Filter), 0);
    EXPECT_TRUE(collector.Snapshot().layout.empty());
}

TEST_F(CollectorTest, ChannelTypesFollowIdsWithGapsAndTheTableStaysAsReceived) {
    collector.DecodeAmplifierConfiguration(Wire::AmplifierConfigBytes(500, 3, 9, 3, 3, 0));
    collector.OnChannelRecord(Wire::ChannelBytes(5, 7, 5, 1.0f));
    collector.OnChannelRecord(Wire::ChannelBytes(1, 2, 1, 1.0f));
    collector.OnChannelRecord(Wire::ChannelBytes(2, 5, 2, 1.0f));
    collector.FinishDeviceInformation();

    const auto info = collector.GetDeviceInformation();
    EXPECT_EQ(info.channelTypes[0], 2);
    EXPECT_EQ(info.channelTypes[1], 5);
    EXPECT_EQ(info.channelTypes[2], 0);
    EXPECT_EQ(info.channelTypes[3], 4);
    EXPECT_EQ(info.channelTypes[4], 9);
    EXPECT_EQ(info.channelTypes[5], 0);
    EXPECT_EQ(info.numberOfAcquiredChannels, 5);
    EXPECT_EQ(info.samplingRate, 500);

    const auto table = collector.GetChannelConfiguration();
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[0].id, 1);
    EXPECT_EQ(table[1].id, 2);
    EXPECT_EQ(table[2].id, 5);
}

TEST_F(CollectorTest, HostLayoutOfOneChannelDescribesTheNusDevice) {
    ConfigurationCollector nus;
    nus.SetHandler(std::make_shared<MivoNusProtocolHandler>());
    nus.ApplyHostLayout(1, 1, 256, 3);
    nus.FinishDeviceInformation();
    const auto table = nus.GetChannelConfiguration();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].id, 1);
    EXPECT_EQ(table[0].type, 1);
    EXPECT_EQ(table[0].index, 1);
    EXPECT_EQ(table[0].scale, 1.0f);
    const auto info = nus.GetDeviceInformation();
    EXPECT_EQ(info.channelTypes[0], 1);
    EXPECT_EQ(info.channelTypes[1], 4);
    EXPECT_EQ(info.channelTypes[2], 9);
    EXPECT_EQ(info.numberOfAcquiredChannels, 3);
    EXPECT_EQ(info.samplingRate, 256);
    const auto a = nus.GetAmplifierConfiguration();
    EXPECT_EQ(a.payloadSize, 3);
    EXPECT_EQ(a.valuesPerPayload, 1);
}

TEST_F(CollectorTest, HostLayoutIsFrameMajor) {
    collector.OnFilterRecord(Wire::FilterBytes(1, 0));
    collector.ApplyHostLayout(3, 2, 250, 4);
    const auto s = collector.Snapshot();
    EXPECT_EQ(s.amplifier.payloadSize, 24);
    EXPECT_EQ(s.amplifier.declaredChannelCount, 3);
    EXPECT_EQ(s.amplifier.filterCount, 0);
    EXPECT_TRUE(s.filters.empty());
    const PayloadLayout expected{{1, 0}, {2, 0}, {3, 0}, {1, 1}, {2, 1}, {3, 1}};
    EXPECT_EQ(s.layout, expected);
}

TEST_F(CollectorTest, DeviceInformationTextsAreCutAtZeroAndAt254) {
    collector.SetDeviceInformationText(DeviceInformationText::ModelNumber, Wire::Text(std::string(300, 'M')));
    Bytes serial = Wire::Text("MV-2401.00.01");
    serial.push_back(0);
    serial.push_back('X');
    collector.SetDeviceInformationText(DeviceInformationText::SerialNumber, serial);
    collector.SetDeviceInformationText(DeviceInformationText::ManufacturerName, Wire::Text("long name"));
    collector.SetDeviceInformationText(DeviceInformationText::ManufacturerName, Wire::Text("mivo"));
    const auto info = collector.GetDeviceInformation();
    EXPECT_EQ(std::string(info.modelNumber), std::string(254, 'M'));
    EXPECT_EQ(std::string(info.serialNumber), "MV-2401.00.01");
    EXPECT_EQ(std::string(info.manufacturerName), "mivo");  // a shorter text leaves no tail behind
}

TEST_F(CollectorTest, BatteryDecodingPerGeneration) {
    EXPECT_EQ(collector.BatteryLevel(), 100);
    EXPECT_EQ(collector.DecodeBatteryLevel(Bytes{42}), 42);
    EXPECT_EQ(collector.BatteryLevel(), 42);
    EXPECT_THROW(collector.DecodeBatteryLevel(Bytes{}), ApiException);
    EXPECT_EQ(collector.BatteryLevel(), 42);

    ConfigurationCollector nus;
    nus.SetHandler(std::make_shared<MivoNusProtocolHandler>());
    EXPECT_EQ(nus.DecodeBatteryLevel(Bytes{}), 0);
    EXPECT_EQ(nus.BatteryLevel(), 0);
}

}  // namespace
}  // namespace Mivo::BLE
