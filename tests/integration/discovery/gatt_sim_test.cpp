// GATT access against a simulated amplifier whose services the test discovers by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/api_exception.h"
#include "device/gatt_access.h"
#include "platform/backend.h"
#include "platform/sim/sim_control.h"
#include "runtime/await_bounded.h"
#include "runtime/bluetooth_executor.h"

namespace Mivo::BLE {
namespace {

using namespace std::chrono_literals;
using Platform::Bytes;
constexpr auto kWaitLimit = 10s;  // a passing test never waits this long
constexpr uint32_t kBound = 300;  // GATT bounds of these tests, ms
const char* const kName = "MV-2401.00.01";

// Notification payloads, waitable.
struct Inbox {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Bytes> values;

    GattAccess::NotificationHandler Handler() {
        return [this](const Bytes& v) { Push(v); };
    }
    void Push(const Bytes& v) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            values.push_back(v);
        }
        arrived.notify_all();
    }
    bool WaitFor(const Bytes& v) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, kWaitLimit,
                                [&] { return std::find(values.begin(), values.end(), v) != values.end(); });
    }
    std::vector<Bytes> Values() {
        std::lock_guard<std::mutex> lock(mutex);
        return values;
    }
};

class GattOnSim : public ::testing::Test {
protected:
    GattOnSim()
        : sim_(Sim::MakeSimStack(std::string(kName) + ",battery_every=0,battery=87")),
          gatt_(kName, GattTiming{kBound, kBound, kBound, kBound}, executor_) {
        Platform::SetStackForTesting(sim_);
        amp_ = sim_->Find(kName);
        Connect();
    }
    ~GattOnSim() override {
        if (sentinelToken_ != 0) sentinelCharacteristic_->RemoveValueChanged(sentinelToken_);
        for (auto& service : gatt_.DetachAll()) service->Close();
        if (device_) {
            if (statusToken_ != 0) device_->RemoveConnectionStatusChanged(statusToken_);
            device_->Close();
        }
        Platform::SetStackForTesting(nullptr);
    }

    // Connects and stores every service and characteristic, as the device open does.
    void Connect() {
        auto stack = sim_;
        const uint64_t address = amp_->Address();
        device_ = executor_.Run("FromBluetoothAddress", 15000, [stack, address] {
            return AwaitBounded(stack->FromBluetoothAddressAsync(address), 5000, "FromBluetoothAddress");
        });
        ASSERT_NE(device_, nullptr);
        statusToken_ = device_->AddConnectionStatusChanged([this] {
            std::lock_guard<std::mutex> lock(statusMutex_);
            statusChanged_.notify_all();
        });
        auto device = device_;
        auto services = executor_.Run("DiscoverServices", 30000, [device] {
            auto result = AwaitBounded(device->GetGattServicesAsync(), 5000, "GetGattServicesAsync");
            std::vector<
                std::pair<std::shared_ptr<Platform::IGattService>, Platform::IGattService::CharacteristicsResult>>
                found;
            for (auto& service : result.services) {
                found.emplace_back(service,
                                   AwaitBounded(service->GetCharacteristicsAsync(), 5000, "GetCharacteristicsAsync"));
            }
            return found;
        });
        for (auto& [service, characteristics] : services) {
            gatt_.StoreService(service);
            for (auto& c : characteristics.characteristics) gatt_.StoreCharacteristic(c);
        }
        gatt_.SetPlatformDevice(device_);
    }

    // A platform handler of the test's own on the battery characteristic. The simulator
    // calls all handlers of one notification together, so once the sentinel has a value,
    // every handler of the library that was registered has had it too.
    void AddSentinel() {
        sentinelCharacteristic_ = gatt_.GetCharacteristic("2A19");
        sentinelToken_ = sentinelCharacteristic_->AddValueChanged([this](const Bytes& v) { sentinel_.Push(v); });
    }

    bool WaitForDisconnect() {
        std::unique_lock<std::mutex> lock(statusMutex_);
        return statusChanged_.wait_for(lock, kWaitLimit, [&] {
            return device_->GetConnectionStatus() == Platform::ConnectionStatus::Disconnected;
        });
    }

    template <typename F>
    static void ExpectApiError(F&& f, const std::string& text) {
        try {
            f();
            ADD_FAILURE() << "no exception, expected: " << text;
        } catch (const ApiException& e) {
            EXPECT_EQ(std::string(e.what()), text);
            EXPECT_EQ(e.Code(), 3);
        }
    }

    std::shared_ptr<Sim::SimStack> sim_;
    BluetoothExecutor executor_;
    GattAccess gatt_;
    std::shared_ptr<Sim::Amplifier> amp_;
    std::shared_ptr<Platform::IBluetoothLEDevice> device_;
    Platform::EventToken statusToken_ = 0;
    std::mutex statusMutex_;
    std::condition_variable statusChanged_;
    std::shared_ptr<Platform::IGattCharacteristic> sentinelCharacteristic_;
    Platform::EventToken sentinelToken_ = 0;
    Inbox sentinel_;
};

TEST_F(GattOnSim, ShortAndLongUuidTextsReachTheSameCharacteristic) {
    EXPECT_EQ(gatt_.Read("2a19"), Bytes{87});
    amp_->SetBattery(64);
    EXPECT_EQ(gatt_.Read("00002A19-0000-1000-8000-00805F9B34FB"), Bytes{64});
    const Bytes serial = gatt_.Read("2A25");
    EXPECT_EQ(std::string(serial.begin(), serial.end()), kName);
    EXPECT_TRUE(gatt_.HasService("180a"));
    EXPECT_TRUE(gatt_.HasService("0000180F-0000-1000-8000-00805f9b34fb"));
    EXPECT_FALSE(gatt_.HasService("1812"));
}

TEST_F(GattOnSim, ReadAndWriteFailuresOfTheDeviceAreReported) {
    ExpectApiError([&] { gatt_.Write("2A19", {1}, Platform::WriteOption::WithResponse); },
                   "Failed to write characteristic value.");
    amp_->Hang(Sim::kOpRead, "2A19");
    ExpectApiError([&] { gatt_.Read("2A19"); }, "Bluetooth operation 'ReadValueAsync' timed out.");
    // Other characteristics are still served.
    EXPECT_FALSE(gatt_.Read("2A24").empty());
}

TEST_F(GattOnSim, SubscribingTwiceDeliversEachNotificationOnce) {
    Inbox first, second;
    gatt_.Subscribe("2A19", first.Handler());
    gatt_.Subscribe("2a19", second.Handler());
    AddSentinel();
    amp_->SetBattery(50);
    ASSERT_TRUE(sentinel_.WaitFor({50}));
    amp_->SetBattery(49);
    ASSERT_TRUE(sentinel_.WaitFor({49}));
    EXPECT_TRUE(first.Values().empty());
    EXPECT_EQ(second.Values(), (std::vector<Bytes>{{50}, {49}}));
}

TEST_F(GattOnSim, AFailedDescriptorWriteLeavesNoHandlerBehind) {
    Inbox refused;
    // The model number string does not notify: the device refuses the descriptor write.
    ExpectApiError([&] { gatt_.Subscribe("2A24", refused.Handler()); },
                   "Failed to subscribe to characteristic notifications.");

    Inbox hung, working;
    amp_->Hang(Sim::kOpCccd, "2A19");
    ExpectApiError([&] { gatt_.Subscribe("2A19", hung.Handler()); }, "Bluetooth operation 'SubscribeCccd' timed out.");
    amp_->ClearFaults();
    gatt_.Subscribe("2A19", working.Handler());
    AddSentinel();
    amp_->SetBattery(33);
    ASSERT_TRUE(sentinel_.WaitFor({33}));
    EXPECT_EQ(working.Values(), (std::vector<Bytes>{{33}}));
    EXPECT_TRUE(hung.Values().empty());
}

TEST_F(GattOnSim, UnsubscribeRemovesTheHandler) {
    Inbox inbox;
    gatt_.Subscribe("2A19", inbox.Handler());
    amp_->SetBattery(70);
    ASSERT_TRUE(inbox.WaitFor({70}));
    gatt_.Unsubscribe("2A19");
    // Switch notifications back on behind the library's back: only the sentinel hears them.
    AddSentinel();
    auto c = sentinelCharacteristic_;
    auto status = executor_.Run("Subscribe", 15000, [c] {
        return AwaitBounded(c->WriteClientCharacteristicConfigurationDescriptorAsync(Platform::CccdValue::Notify), 5000,
                            "SubscribeCccd");
    });
    ASSERT_EQ(status, Platform::GattStatus::Success);
    amp_->SetBattery(71);
    ASSERT_TRUE(sentinel_.WaitFor({71}));
    EXPECT_EQ(inbox.Values(), (std::vector<Bytes>{{70}}));
}

TEST_F(GattOnSim, UnsubscribeAfterTheLinkDroppedSucceeds) {
    Inbox inbox;
    gatt_.Subscribe("2A19", inbox.Handler());
    amp_->DropLink();
    ASSERT_TRUE(WaitForDisconnect());
    EXPECT_NO_THROW(gatt_.Unsubscribe("2A19"));
    EXPECT_NO_THROW(gatt_.Unsubscribe("2A19"));  // nothing left to remove: still fine
    EXPECT_NO_THROW(gatt_.Unsubscribe("2A00"));  // never discovered: nothing happens
    ExpectApiError([&] { gatt_.Read("2A19"); }, "Failed to read characteristic value.");
}

}  // namespace
}  // namespace Mivo::BLE
