// GATT access against scripted fakes: lookup by either UUID form, status and platform-error
// translation, the subscription rules (handler before CCCD, one handler per characteristic,
// nothing left after a failure) and the forgiving unsubscribe.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/api_exception.h"
#include "device/gatt_access.h"
#include "runtime/bluetooth_executor.h"
#include "support/api_error.h"
#include "support/fake_stack.h"
#include "support/log_file.h"

namespace Mivo::BLE {
namespace {

using Testing::ExpectApiError;

using Platform::Bytes;
using Platform::CccdValue;
using Platform::GattStatus;
using Platform::Uuid;
using Platform::WriteOption;

const Uuid kBatteryService = Uuid::FromShort(0x180F);
const Uuid kBatteryLevel = Uuid::FromShort(0x2A19);
const Uuid kData = Uuid::FromGroups(0x6E400001, 0xB5A3, 0xF393, 0xE0A9, 0xE50E24DCCA9Eull);
constexpr uint32_t kShortBound = 40;

// Collects notification payloads and lets a test wait for a number of them.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> values;

    GattAccess::NotificationHandler Handler() {
        return [this](const Bytes& v) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                values.push_back(v);
            }
            arrived.notify_all();
        };
    }
    std::vector<Bytes> Values() {
        std::lock_guard<std::mutex> lock(mutex);
        return values;
    }
};

// Sees the order of handler registration and CCCD writes on a characteristic.
class OrderSpy final : public Platform::IGattCharacteristic {
public:
    explicit OrderSpy(std::shared_ptr<Testing::FakeCharacteristic> inner) : inner_(std::move(inner)) {}
    Uuid GetUuid() override { return inner_->GetUuid(); }
    Platform::AsyncOp<ReadResult> ReadValueAsync() override { return inner_->ReadValueAsync(); }
    Platform::AsyncOp<GattStatus> WriteValueWithResultAsync(Bytes v, WriteOption o) override {
        return inner_->WriteValueWithResultAsync(std::move(v), o);
    }
    Platform::AsyncOp<GattStatus> WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue v) override {
        Record(v == CccdValue::Notify ? "cccd-notify" : "cccd-none");
        return inner_->WriteClientCharacteristicConfigurationDescriptorAsync(v);
    }
    Platform::EventToken AddValueChanged(std::function<void(const Bytes&)> h) override {
        Record("add");
        return inner_->AddValueChanged(std::move(h));
    }
    void RemoveValueChanged(Platform::EventToken t) override {
        Record("remove");
        inner_->RemoveValueChanged(t);
    }
    uint16_t GetMtu() override { return inner_->GetMtu(); }
    std::vector<std::string> Steps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return steps_;
    }

private:
    void Record(const char* s) {
        std::lock_guard<std::mutex> lock(mutex_);
        steps_.push_back(s);
    }
    std::shared_ptr<Testing::FakeCharacteristic> inner_;
    std::mutex mutex_;
    std::vector<std::string> steps_;
};

class GattAccessTest : public ::testing::Test {
protected:
    GattAccessTest() : installed_(stack_), gatt_("MV-2401.00.01", Timing(), executor_) {
        device_ = stack_->AddDevice(0xA1);
        auto service = device_->AddService(kBatteryService);
        battery_ = service->AddCharacteristic(kBatteryLevel);
        data_ = device_->AddService(kData)->AddCharacteristic(kData);
        gatt_.SetPlatformDevice(device_);
        gatt_.StoreService(service);
        gatt_.StoreCharacteristic(battery_);
        gatt_.StoreCharacteristic(data_);
    }
    static GattTiming Timing() { return {kShortBound, kShortBound, kShortBound, kShortBound}; }

    std::shared_ptr<Testing::FakeStack> stack_ = std::make_shared<Testing::FakeStack>();
    Testing::ScopedStack installed_;
    BluetoothExecutor executor_;
    std::shared_ptr<Testing::FakeDevice> device_;
    std::shared_ptr<Testing::FakeCharacteristic> battery_;
    std::shared_ptr<Testing::FakeCharacteristic> data_;
    GattAccess gatt_;
};

TEST_F(GattAccessTest, LookupFailuresNameTheTextAsWritten) {
    ExpectApiError([&] { gatt_.GetCharacteristic("2a00"); }, "Could not find characteristic '2a00'.");
    ExpectApiError([&] { gatt_.Read("00002A24-0000-1000-8000-00805f9b34fb"); },
                   "Could not find characteristic '00002A24-0000-1000-8000-00805f9b34fb'.");
    EXPECT_THROW(gatt_.GetCharacteristic("2A1"), std::out_of_range);
    EXPECT_THROW(gatt_.Read(""), std::out_of_range);
}

TEST_F(GattAccessTest, StoringTheSameUuidAgainReplacesTheEntry) {
    auto again = std::make_shared<Testing::FakeCharacteristic>(stack_->Loop(), kBatteryLevel);
    gatt_.StoreCharacteristic(again);
    EXPECT_EQ(gatt_.CharacteristicCount(), 2u);
    EXPECT_EQ(gatt_.GetCharacteristic("2A19"), again);
}

TEST_F(GattAccessTest, ReadAndWriteFailuresBecomeDeviceErrors) {
    battery_->read.Complete(Testing::FakeCharacteristic::ReadResult{GattStatus::Unreachable, {1}});
    ExpectApiError([&] { gatt_.Read("2A19"); }, "Failed to read characteristic value.");

    battery_->read.Fail(-7, "The attribute cannot be read.");
    ExpectApiError([&] { gatt_.Read("2A19"); }, "The attribute cannot be read.");

    data_->write.Complete(GattStatus::ProtocolError);
    ExpectApiError([&] { gatt_.Write("6E400001-B5A3-F393-E0A9-E50E24DCCA9E", {1}, WriteOption::WithResponse); },
                   "Failed to write characteristic value.");

    data_->write.Fail(-8, "The link is gone.");
    ExpectApiError([&] { gatt_.Write("6E400001-B5A3-F393-E0A9-E50E24DCCA9E", {1}, WriteOption::WithResponse); },
                   "The link is gone.");
}

TEST_F(GattAccessTest, WritePassesBytesAndOptionThrough) {
    gatt_.Write("6e400001-b5a3-f393-e0a9-e50e24dcca9e", {1, 2, 3}, WriteOption::WithoutResponse);
    gatt_.Write("6e400001-b5a3-f393-e0a9-e50e24dcca9e", {}, WriteOption::WithResponse);
    const auto writes = data_->Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].first, (Bytes{1, 2, 3}));
    EXPECT_EQ(writes[0].second, WriteOption::WithoutResponse);
    EXPECT_TRUE(writes[1].first.empty());
    EXPECT_EQ(writes[1].second, WriteOption::WithResponse);
}

// Sized to the link: one packet carries MTU - 3 bytes (an MTU below 23 counts as 23).
TEST_F(GattAccessTest, WritesSizedToTheLinkFollowItsMtu) {
    const std::string rx = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";
    data_->mtu = 23;
    gatt_.WriteValue(rx, Bytes(20, 1));
    gatt_.WriteValue(rx, Bytes(21, 2));
    gatt_.WriteInPackets(rx, Bytes(45, 3));
    gatt_.WriteInPackets(rx, {});
    data_->mtu = 0;
    gatt_.WriteInPackets(rx, Bytes(21, 4));
    const auto writes = data_->Writes();
    const std::vector<std::pair<size_t, WriteOption>> expected = {
        {20, WriteOption::WithoutResponse}, {21, WriteOption::WithResponse},   {20, WriteOption::WithoutResponse},
        {20, WriteOption::WithoutResponse}, {5, WriteOption::WithoutResponse}, {0, WriteOption::WithoutResponse},
        {20, WriteOption::WithoutResponse}, {1, WriteOption::WithoutResponse}};
    ASSERT_EQ(writes.size(), expected.size());
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].first.size(), expected[i].first) << i;
        EXPECT_EQ(writes[i].second, expected[i].second) << i;
    }
    EXPECT_EQ(writes[4].first, Bytes(5, 3));

    data_->write.Complete(GattStatus::ProtocolError);  // the first piece fails: no further ones
    ExpectApiError([&] { gatt_.WriteInPackets(rx, Bytes(45, 5)); }, "Failed to write characteristic value.");
    EXPECT_EQ(data_->Writes().size(), expected.size() + 1);
}

TEST_F(GattAccessTest, AFailedSubscriptionLeavesNoHandler) {
    battery_->cccd.Complete(GattStatus::AccessDenied);
    Inbox inbox;
    ExpectApiError([&] { gatt_.Subscribe("2A19", inbox.Handler()); },
                   "Failed to subscribe to characteristic notifications.");
    EXPECT_EQ(battery_->HandlerCount(), 0u);

    battery_->cccd.Hang();
    ExpectApiError([&] { gatt_.Subscribe("2A19", inbox.Handler()); }, "Bluetooth operation 'SubscribeCccd' timed out.");
    EXPECT_EQ(battery_->HandlerCount(), 0u);

    battery_->cccd.Fail(-9, "Descriptor write refused.");
    ExpectApiError([&] { gatt_.Subscribe("2A19", inbox.Handler()); }, "Descriptor write refused.");
    EXPECT_EQ(battery_->HandlerCount(), 0u);

    // Nothing was stored either: unsubscribing removes no handler.
    gatt_.Unsubscribe("2A19");
    EXPECT_EQ(battery_->removeValueChanged.Calls(), 3);  // only the three failure clean-ups
}

TEST_F(GattAccessTest, AFailedResubscriptionKeepsTheWorkingHandler) {
    Inbox first, second;
    gatt_.Subscribe("2A19", first.Handler());
    battery_->cccd.Complete(GattStatus::Unreachable);
    EXPECT_THROW(gatt_.Subscribe("2A19", second.Handler()), ApiException);
    EXPECT_EQ(battery_->HandlerCount(), 1u);
    battery_->Notify({1});
    ASSERT_TRUE(stack_->FlushEvents());
    EXPECT_EQ(first.Values().size(), 1u);
    EXPECT_TRUE(second.Values().empty());
}

TEST_F(GattAccessTest, AThrowingHandlerDoesNotStopLaterNotifications) {
    std::atomic<int> calls{0};
    gatt_.Subscribe("2A19", [&calls](const Bytes&) {
        ++calls;
        throw std::runtime_error("host callback failed");
    });
    battery_->Notify({1});
    battery_->Notify({2});
    ASSERT_TRUE(stack_->FlushEvents());
    EXPECT_EQ(calls.load(), 2);
}

TEST_F(GattAccessTest, HandlerGoesInBeforeNotificationsAreOnAndOutBeforeTheyAreOff) {
    auto spy = std::make_shared<OrderSpy>(battery_);
    gatt_.StoreCharacteristic(spy);
    Inbox inbox;
    gatt_.Subscribe("2A19", inbox.Handler());
    gatt_.Unsubscribe("2a19");
    EXPECT_EQ(spy->Steps(), (std::vector<std::string>{"add", "cccd-notify", "remove", "cccd-none"}));
    EXPECT_EQ(battery_->HandlerCount(), 0u);
    battery_->Notify({9});
    ASSERT_TRUE(stack_->FlushEvents());
    EXPECT_TRUE(inbox.Values().empty());
}

TEST_F(GattAccessTest, UnsubscribeWithoutSubscriptionStillSwitchesNotificationsOff) {
    gatt_.Unsubscribe("2A19");
    EXPECT_EQ(battery_->CccdWrites(), (std::vector<CccdValue>{CccdValue::None}));
    EXPECT_EQ(battery_->removeValueChanged.Calls(), 0);
}

TEST_F(GattAccessTest, UnsubscribeAfterLinkLossWritesNoDescriptor) {
    Inbox inbox;
    gatt_.Subscribe("2A19", inbox.Handler());
    device_->SetConnectionStatus(Platform::ConnectionStatus::Disconnected);
    EXPECT_NO_THROW(gatt_.Unsubscribe("2A19"));
    EXPECT_EQ(battery_->HandlerCount(), 0u);
    EXPECT_EQ(battery_->CccdWrites(), (std::vector<CccdValue>{CccdValue::Notify}));

    gatt_.SetPlatformDevice(nullptr);  // no platform device at all: same
    EXPECT_NO_THROW(gatt_.Unsubscribe("2A19"));
    EXPECT_EQ(battery_->CccdWrites().size(), 1u);
}

TEST_F(GattAccessTest, UnsubscribeSwallowsDescriptorAndRevocationFailures) {
    Testing::LogFile log;
    Inbox inbox;
    gatt_.Subscribe("2A19", inbox.Handler());
    battery_->removeValueChanged.FailNext(-1, "revocation refused");
    battery_->cccd.Hang();
    EXPECT_NO_THROW(gatt_.Unsubscribe("2A19"));
    EXPECT_EQ(log.Count("WARN ", "device 'MV-2401.00.01': revoking a notification handler failed"), 1);
    // The descriptor write was still attempted after the failed revocation.
    EXPECT_EQ(battery_->CccdWrites(), (std::vector<CccdValue>{CccdValue::Notify, CccdValue::None}));

    battery_->cccd.Complete(GattStatus::Unreachable);
    EXPECT_NO_THROW(gatt_.Unsubscribe("2A19"));
    battery_->cccd.Fail(-1, "gone");
    EXPECT_NO_THROW(gatt_.Unsubscribe("2A19"));
}

TEST_F(GattAccessTest, DetachAllEmptiesEverythingAndRevokesEveryHandler) {
    Inbox a, b;
    gatt_.Subscribe("2A19", a.Handler());
    gatt_.Subscribe("6E400001-B5A3-F393-E0A9-E50E24DCCA9E", b.Handler());
    data_->removeValueChanged.FailNext(-1, "refused");  // ignored; the rest goes on
    const auto services = gatt_.DetachAll();
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0]->GetUuid(), kBatteryService);
    EXPECT_EQ(battery_->HandlerCount(), 0u);
    EXPECT_EQ(battery_->removeValueChanged.Calls(), 1);
    EXPECT_EQ(data_->removeValueChanged.Calls(), 1);
    EXPECT_EQ(gatt_.ServiceCount(), 0u);
    EXPECT_EQ(gatt_.CharacteristicCount(), 0u);
    EXPECT_FALSE(gatt_.HasService("180F"));
    ExpectApiError([&] { gatt_.Read("2A19"); }, "Could not find characteristic '2A19'.");
    EXPECT_TRUE(gatt_.DetachAll().empty());
}

TEST_F(GattAccessTest, GattWorkRunsOnTheExecutorWithItsTaskNames) {
    Testing::LogFile log;
    Inbox inbox;
    gatt_.Read("2A19");
    gatt_.Write("2A19", {1}, WriteOption::WithResponse);
    gatt_.Subscribe("2A19", inbox.Handler());
    gatt_.Unsubscribe("2A19");
    // The worker logs a task after handing back its result; the next task starts after that.
    executor_.Run("Probe", 1000, [] {});
    for (const char* name : {"'Read' done", "'Write' done", "'Subscribe' done", "'Unsubscribe' done"}) {
        EXPECT_EQ(log.Count("DEBUG", std::string("executor: ") + name), 1) << name;
    }
}

}  // namespace
}  // namespace Mivo::BLE
