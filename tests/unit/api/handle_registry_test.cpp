// A fresh registry: handle numbering, lookups and the reverse lookup used by device callbacks.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "api/handle_registry.h"
#include "api_fakes.h"
#include "core/api_exception.h"

namespace Mivo::BLE::Testing {
namespace {

// Runs `call` and returns the code and text of the ApiException it must throw.
template <typename Call>
std::pair<int32_t, std::string> Failure(Call&& call) {
    try {
        call();
    } catch (const ApiException& e) {
        return {e.Code(), e.what()};
    }
    ADD_FAILURE() << "no ApiException";
    return {};
}

TEST(HandleRegistryTest, HandlesStartAtOneAndAreNeverReused) {
    HandleRegistry registry;
    auto a = MakeDevice("MV-A");
    EXPECT_EQ(registry.Open("MV-A", [&] { return a; }), 1u);
    EXPECT_EQ(registry.Remove(1), a);
    EXPECT_THROW(registry.Open("MV-B", []() -> std::shared_ptr<IDevice> { throw std::runtime_error("no"); }),
                 std::runtime_error);
    EXPECT_EQ(registry.Open("MV-B", [] { return MakeDevice("MV-B"); }), 2u);
    EXPECT_EQ(registry.Register(MakeDevice("MV-C")), 3u);
    EXPECT_EQ(registry.Handles(), (std::vector<MIVOBLE_HANDLE>{2, 3}));
}

TEST(HandleRegistryTest, UnknownHandlesAndDevicesAreReportedWithCodeOne) {
    HandleRegistry registry;
    auto device = MakeDevice("MV-A");
    const MIVOBLE_HANDLE h = registry.Register(device);
    EXPECT_EQ(registry.Lookup(h), device);
    EXPECT_EQ(registry.FindHandle(device.get()), h);

    const std::pair<int32_t, std::string> invalid{1, "Invalid device handle."};
    EXPECT_EQ(Failure([&] { registry.Lookup(h + 1); }), invalid);
    EXPECT_EQ(Failure([&] { registry.Remove(0); }), invalid);
    registry.Remove(h);
    EXPECT_EQ(Failure([&] { registry.Lookup(h); }), invalid);
    EXPECT_EQ(Failure([&] { registry.FindHandle(device.get()); }),
              (std::pair<int32_t, std::string>{1, "Device not found."}));
}

TEST(HandleRegistryTest, RemoveAllReturnsEntriesInHandleOrder) {
    HandleRegistry registry;
    auto a = MakeDevice("MV-A"), b = MakeDevice("MV-B"), c = MakeDevice("MV-C");
    registry.Register(a);
    registry.Register(b);
    registry.Register(c);
    registry.Remove(2);
    const auto removed = registry.RemoveAll();
    ASSERT_EQ(removed.size(), 2u);
    EXPECT_EQ(removed[0], (HandleRegistry::Entry{1, a}));
    EXPECT_EQ(removed[1], (HandleRegistry::Entry{3, c}));
    EXPECT_TRUE(registry.Handles().empty());
    EXPECT_EQ(registry.Register(MakeDevice("MV-D")), 4u);  // the counter is not reset
}

TEST(HandleRegistryTest, SerialNumbersAreAskedWithoutTheRegistryLock) {
    // The device takes the registry lock inside GetDeviceInformation, as a device thread
    // reporting its handle may; asking it under the lock would deadlock.
    auto* registry = new HandleRegistry();
    auto device = MakeDevice("MV-A");
    ON_CALL(*device, GetDeviceInformation()).WillByDefault([registry, raw = device.get()] {
        EXPECT_EQ(registry->FindHandle(raw), 1u);
        MIVOBLE_DEVICE_INFORMATION info{};
        std::strcpy(info.serialNumber, "MV-A");
        return info;
    });
    registry->Register(device, "opened-under-another-name");
    device.reset();
    auto opened = std::make_shared<std::promise<MIVOBLE_HANDLE>>();
    auto result = opened->get_future();
    std::thread([registry, opened] {
        opened->set_value(registry->Open("MV-A", [] { return MakeDevice("MV-A"); }));
    }).detach();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "deadlocked";
    EXPECT_EQ(result.get(), 1u);
    delete registry;  // kept alive above only when the open never returned
}

}  // namespace
}  // namespace Mivo::BLE::Testing
