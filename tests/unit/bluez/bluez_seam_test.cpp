// The BlueZ backend through the stack interface against the fake bluetoothd: the whole
// path from adapter to notifications, and the handler-removal promise on this backend.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/bluez/bluez_stack.h"
#include "platform/sim/sim_amplifier.h"
#include "support/fake_bluetoothd.h"

namespace Mivo::BLE::Platform::Bluez {
namespace {

using namespace std::chrono_literals;
using Testing::FakeBluetoothd;

template <typename T>
T Await(const AsyncOp<T>& op) {
    EXPECT_EQ(op->WaitFor(10s), AsyncStatus::Completed);
    return op->GetResults();
}

// Both notification paths: StartNotify with PropertiesChanged(Value), and AcquireNotify sockets.
class BluezSeamPaths : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Notify, BluezSeamPaths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "AcquireNotify" : "StartNotify"; });

TEST_P(BluezSeamPaths, FromAdapterToNotificationsAndHandlerRemovalWaitsForARunningHandler) {
    FakeBluetoothd fake(std::string("MV-2401.00.01"));
    setenv("DBUS_SYSTEM_BUS_ADDRESS", fake.Address().c_str(), 1);
    BluezTiming timing;
    timing.findDevice = 500ms;  // the absent device below
    timing.acquireNotify = GetParam();
    auto stack = MakeBluezStack(timing);

    auto adapter = Await(stack->GetDefaultAdapterAsync());
    ASSERT_TRUE(adapter);
    auto radio = Await(adapter->GetRadioAsync());
    ASSERT_TRUE(radio);
    EXPECT_EQ(radio->State(), RadioState::On);

    // The amplifier's advertisement: its name (never the address-like alias) and address.
    std::mutex m;
    std::condition_variable cv;
    uint64_t address = 0;
    auto watcher = stack->CreateAdvertisementWatcher();
    watcher->SetScanningMode(ScanningMode::Active);
    auto seen = watcher->AddReceived([&](const AdvertisementEvent& e) {
        std::lock_guard<std::mutex> lock(m);
        if (e.localName == "MV-2401.00.01") address = e.address;
        cv.notify_all();
    });
    watcher->Start();
    EXPECT_EQ(watcher->Status(), WatcherStatus::Started);
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return address != 0; }));
    }
    watcher->RemoveReceived(seen);
    watcher->Stop();
    EXPECT_EQ(watcher->Status(), WatcherStatus::Stopped);

    auto device = Await(stack->FromBluetoothAddressAsync(address));
    ASSERT_TRUE(device);
    EXPECT_TRUE(Await(stack->FromBluetoothAddressAsync(0x0102030405AAull)) == nullptr);
    auto services = Await(device->GetGattServicesAsync());
    ASSERT_EQ(services.status, GattStatus::Success);
    EXPECT_EQ(device->GetConnectionStatus(), ConnectionStatus::Connected);
    std::shared_ptr<IGattCharacteristic> sample, battery;
    for (auto& service : services.services) {
        auto characteristics = Await(service->GetCharacteristicsAsync());
        for (auto& c : characteristics.characteristics) {
            if (c->GetUuid() == Sim::Detail::UuidOf(Sim::Detail::Attr::Sample)) sample = c;
            if (c->GetUuid() == Uuid::FromShort(0x2A19)) battery = c;
        }
    }
    ASSERT_TRUE(sample && battery);
    auto level = Await(battery->ReadValueAsync());
    EXPECT_EQ(level.status, GattStatus::Success);
    EXPECT_EQ(level.value, Bytes{87});
    EXPECT_GE(sample->GetMtu(), 23);

    // A handler held inside a notification: its removal must wait for it.
    std::atomic<int> calls{0}, laterCalls{0};
    bool entered = false, release = false;
    auto held = sample->AddValueChanged([&](const Bytes&) {
        ++calls;
        std::unique_lock<std::mutex> lock(m);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    ASSERT_EQ(Await(sample->WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue::Notify)), GattStatus::Success);
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return entered; }));
    }
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        sample->RemoveValueChanged(held);
        removed = true;
        cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(m);
        EXPECT_FALSE(cv.wait_for(lock, 300ms, [&] { return removed.load(); }));
        release = true;
        cv.notify_all();
    }
    remover.join();
    const int callsAtRemoval = calls;
    auto later = sample->AddValueChanged([&](const Bytes&) {
        ++laterCalls;
        cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return laterCalls >= 10; }));
    }
    EXPECT_EQ(calls, callsAtRemoval);
    sample->RemoveValueChanged(later);

    EXPECT_EQ(Await(sample->WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue::None)), GattStatus::Success);
    device->Close();
    EXPECT_EQ(device->GetConnectionStatus(), ConnectionStatus::Disconnected);
}

TEST(BluezSeam, NoBusOrNoBluezMeansNoAdapter) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/mivoble-test/bus", 1);
    auto noBus = MakeBluezStack(BluezTiming{});
    EXPECT_TRUE(Await(noBus->GetDefaultAdapterAsync()) == nullptr);
    EXPECT_TRUE(Await(noBus->FromBluetoothAddressAsync(1)) == nullptr);
    EXPECT_THROW(noBus->CreateAdvertisementWatcher()->Start(), PlatformError);

    Testing::PrivateBus bus;  // a bus on which nobody serves org.bluez
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.BusAddress().c_str(), 1);
    auto noBluez = MakeBluezStack(BluezTiming{});
    EXPECT_TRUE(Await(noBluez->GetDefaultAdapterAsync()) == nullptr);
}

}  // namespace
}  // namespace Mivo::BLE::Platform::Bluez
