// The BlueZ backend through the stack interface against the fake bluetoothd: the whole
// path from adapter to notifications, and the handler-removal promise on this backend.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <map>
#include <vector>

#include "platform/bluez/bluez_stack.h"
#include "platform/sim/sim_amplifier.h"
#include "support/fake_bluetoothd.h"
#include "support/log_file.h"

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
    ASSERT_EQ(Await(sample->WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue::Notify)),
              GattStatus::Success);
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

    EXPECT_EQ(Await(sample->WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue::None)),
              GattStatus::Success);
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

// Objects no bluetoothd sends, from a stand-in owning org.bluez on a private bus: they are
// ignored (and said so in the log) while the good ones around them work.
TEST(BluezSeam, MalformedObjectsAreIgnoredAndTheGoodOnesUsed) {
    Testing::LogFile log;
    Testing::PrivateBus bus;
    auto server = sdbus::createSessionBusConnectionWithAddress(bus.BusAddress());
    auto root = sdbus::createObject(*server, "/");
    root->addObjectManager();
    root->finishRegistration();
    std::vector<std::unique_ptr<sdbus::IObject>> objects;
    auto object = [&](const std::string& path, const char* iface,
                      const std::function<void(sdbus::IObject&)>& properties) {
        auto o = sdbus::createObject(*server, path);
        properties(*o);
        if (std::string(iface) == "org.bluez.Adapter1") {
            for (const char* method : {"StartDiscovery", "StopDiscovery"})
                o->registerMethod(method).onInterface(iface).implementedAs([] {});
            o->registerMethod("SetDiscoveryFilter")
                .onInterface(iface)
                .implementedAs([](std::map<std::string, sdbus::Variant>) {});
        }
        o->finishRegistration();
        o->emitInterfacesAddedSignal({iface});
        objects.push_back(std::move(o));
    };
    const char* A = "org.bluez.Adapter1";
    const char* D = "org.bluez.Device1";
    // hci0's Powered is text: not a powered adapter. hci1 is the one to use.
    object("/org/bluez/hci0", A, [&](sdbus::IObject& o) {
        o.registerProperty("Powered").onInterface(A).withGetter([] { return std::string("yes"); });
    });
    object("/org/bluez/hci1", A,
           [&](sdbus::IObject& o) { o.registerProperty("Powered").onInterface(A).withGetter([] { return true; }); });
    server->requestName("org.bluez");
    server->enterEventLoopAsync();

    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.BusAddress().c_str(), 1);
    auto stack = MakeBluezStack(BluezTiming{});
    auto adapter = Await(stack->GetDefaultAdapterAsync());
    ASSERT_TRUE(adapter);
    EXPECT_EQ(Await(adapter->GetRadioAsync())->State(), RadioState::On);
    std::mutex m;
    std::condition_variable cv;
    std::map<uint64_t, std::string> reported;
    auto watcher = stack->CreateAdvertisementWatcher();
    watcher->AddReceived([&](const AdvertisementEvent& e) {
        std::lock_guard<std::mutex> lock(m);
        reported[e.address] = e.localName;
        cv.notify_all();
    });
    watcher->Start();
    ASSERT_EQ(watcher->Status(), WatcherStatus::Started);

    struct Case {
        const char* node;
        std::function<void(sdbus::IObject&)> properties;
        std::optional<std::string> reportedAs;  // the name reported, or not reported at all
    };
    auto text = [D](const char* name, std::string value) {
        return [D, name, value](sdbus::IObject& o) {
            o.registerProperty(name).onInterface(D).withGetter([value] { return value; });
        };
    };
    auto both = [](std::function<void(sdbus::IObject&)> a, std::function<void(sdbus::IObject&)> b) {
        return [a, b](sdbus::IObject& o) {
            a(o);
            b(o);
        };
    };
    const std::vector<Case> cases = {
        {"dev_00_00_00_00_00_01", text("Name", "MV-2401.00.11"), std::nullopt},  // no Address
        {"dev_00_00_00_00_00_02", both(text("Address", "not an address"), text("Name", "MV-2401.00.12")), std::nullopt},
        {"dev_00_00_00_00_00_03",
         both(text("Address", "00:00:00:00:00:03"),
              [D](sdbus::IObject& o) {
                  o.registerProperty("Name").onInterface(D).withGetter([] { return int32_t{7}; });
              }),
         ""},  // a Name of the wrong type is no name
        {"dev_00_00_00_00_00_04",
         both(both(text("Address", "00:00:00:00:00:04"), text("Name", "MV-2401.00.14")), text("Connected", "yes")),
         "MV-2401.00.14"},  // Connected of the wrong type is not connected
        {"dev_00_00_00_00_00_05", both(text("Address", "00:00:00:00:00:05"), text("Name", "MV-2401.00.15")),
         "MV-2401.00.15"},
    };
    for (const auto& c : cases) object(std::string("/org/bluez/hci1/") + c.node, D, c.properties);
    {
        // Signals arrive in order: once the last device is reported, every other one was handled.
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return reported.count(0x05); }));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].node);
        auto it = reported.find(i + 1);
        ASSERT_EQ(it != reported.end(), cases[i].reportedAs.has_value());
        if (it != reported.end()) {
            EXPECT_EQ(it->second, *cases[i].reportedAs);
        }
    }
    EXPECT_EQ(
        log.Count("WARN ", "bluez: ignoring device /org/bluez/hci1/dev_00_00_00_00_00_01 without a valid Address"), 1);
    EXPECT_EQ(
        log.Count("WARN ", "bluez: ignoring device /org/bluez/hci1/dev_00_00_00_00_00_02 without a valid Address"), 1);
    watcher->Stop();
    server->leaveEventLoop();
}

}  // namespace
}  // namespace Mivo::BLE::Platform::Bluez
