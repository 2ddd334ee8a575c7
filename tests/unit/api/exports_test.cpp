// The C exports over test doubles: argument checks, error translation, handles, close and
// shutdown, and the lifetime of devices under concurrent calls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <map>
#include <new>
#include <string>
#include <thread>

#include "api/handle_registry.h"
#include "api_fakes.h"
#include "core/api_exception.h"
#include "platform/async_operation.h"
#include "runtime/bluetooth_executor.h"
#include "unit/log/temp_dir.h"

namespace Mivo::BLE::Testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::Return;
using namespace std::chrono_literals;

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override { SetFactoryForTesting(factory_); }
    void TearDown() override {
        HandleRegistry::Instance().RemoveAll();
        SetFactoryForTesting(nullptr);
    }

    // Opens `name` and expects success.
    MIVOBLE_HANDLE Open(const char* name) {
        MIVOBLE_HANDLE handle = 0;
        EXPECT_EQ(MIVOBLE_OpenDevice(name, &handle), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        return handle;
    }
    // Makes the factory hand out exactly this device (the test keeps only a weak reference).
    std::weak_ptr<IDevice> Serve(std::shared_ptr<Device> device) {
        std::weak_ptr<IDevice> watch = device;
        factory_->create = [device = std::move(device)](const std::string&) mutable { return std::move(device); };
        return watch;
    }

    // Opens `name` on two threads: the second open starts once the first has entered the
    // factory (`entered`) and must be waiting when the factory is let go (`release`).
    struct TwoOpens {
        MIVOBLE_HANDLE first;
        int32_t firstResult;
        MIVOBLE_HANDLE second;
        int32_t secondResult;
    };
    TwoOpens OpenTwiceConcurrently(const char* name, std::promise<void>& entered, std::promise<void>& release) {
        TwoOpens r{0, -99, 0, -99};
        std::thread first([&] { r.firstResult = MIVOBLE_OpenDevice(name, &r.first); });
        entered.get_future().wait();
        std::thread second([&] { r.secondResult = MIVOBLE_OpenDevice(name, &r.second); });
        EXPECT_TRUE(HandleRegistry::Instance().WaitForOpenWaiters(1, 10s));
        release.set_value();
        first.join();
        second.join();
        return r;
    }

    std::shared_ptr<FakeFactory> factory_ = std::make_shared<FakeFactory>();
};

TEST_F(ExportsTest, VersionAndDefaultGeneration) {
    EXPECT_STREQ(MIVOBLE_GetApiVersion(), "1.24.2.0");
    MIVOBLE_CloseDevice(nullptr);  // leaves a known last-error text
    EXPECT_EQ(MIVOBLE_SetDefaultGeneration(MIVOBLE_GENERATION_LEGACY), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_SetDefaultGeneration(3), MIVOBLE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(MIVOBLE_SetDefaultGeneration(0xFFFFFFFFu), MIVOBLE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(MIVOBLE_GetDefaultGeneration(), 2);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Handle must not be null");
    EXPECT_EQ(MIVOBLE_SetDefaultGeneration(MIVOBLE_GENERATION_AUTO), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_GetDefaultGeneration(), 0);
}

TEST_F(ExportsTest, LastErrorTextIsPerThreadAndSurvivesSuccess) {
    EXPECT_EQ(MIVOBLE_CloseDevice(nullptr), MIVOBLE_ERROR_INVALID_HANDLE);
    std::string otherBefore, otherAfter;
    std::thread other([&] {
        otherBefore = MIVOBLE_GetLastErrorText();
        MIVOBLE_HANDLE h = 12345;
        MIVOBLE_CloseDevice(&h);
        otherAfter = MIVOBLE_GetLastErrorText();
    });
    other.join();
    EXPECT_EQ(otherBefore, "");
    EXPECT_EQ(otherAfter, "Invalid device handle.");
    EXPECT_EQ(MIVOBLE_StartScanning(), MIVOBLE_OK);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Handle must not be null");
}

TEST_F(ExportsTest, EveryKindOfThrownObjectBecomesACodeAndText) {
    auto device = MakeDevice("MV-1");
    std::string longText;
    for (int i = 0; i < 300; ++i) longText += static_cast<char>('a' + i % 26);
    struct Case {
        std::function<void()> raise;
        int32_t code;
        std::string text;
    } cases[] = {
        {[] { throw ApiException("Frames per callback must be between 1 and 64.", 4); }, 4,
         "Frames per callback must be between 1 and 64."},
        {[] { throw std::runtime_error("GATT write failed."); }, -1, "GATT write failed."},
        {[] { throw std::bad_alloc(); }, -1, std::bad_alloc().what()},
        {[] { throw 42; }, -1, "An unknown error appeared."},
        {[] {
             throw Platform::PlatformError{-2, "The operation was canceled."};
         },
         -1, "An unknown error appeared."},
        {[&] { throw ApiException(longText, 3); }, 3, longText.substr(0, 255)},
    };
    for (const Case& c : cases) EXPECT_CALL(*device, SetFramesPerCallback(0)).WillOnce(c.raise).RetiresOnSaturation();
    Serve(device);
    const MIVOBLE_HANDLE h = Open("MV-1");
    for (auto it = std::rbegin(cases); it != std::rend(cases); ++it) {
        SCOPED_TRACE(it->text);
        EXPECT_EQ(MIVOBLE_SetFramesPerCallback(h, 0), it->code);
        EXPECT_EQ(MIVOBLE_GetLastErrorText(), it->text);
    }
}

TEST_F(ExportsTest, OpenChecksArgumentsAndReusesOpenDevices) {
    EXPECT_EQ(MIVOBLE_OpenDevice(nullptr, nullptr), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Handle must not be null.");
    MIVOBLE_HANDLE h = 77;
    EXPECT_EQ(MIVOBLE_OpenDevice(nullptr, &h), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Device name must not be null.");
    EXPECT_EQ(h, 77u);

    // Every device reports serial number MV-SER, whatever name opened it.
    factory_->create = [](const std::string&) { return MakeDevice("MV-SER"); };
    const MIVOBLE_HANDLE first = Open("MV-SER");
    EXPECT_EQ(Open("MV-SER"), first);
    EXPECT_EQ(factory_->creates, 1);
    EXPECT_NE(Open("mv-ser"), first);  // names compare case-sensitively
    EXPECT_EQ(Open("MV-SER"), first);
    EXPECT_EQ(factory_->creates, 2);
    // A device is also found again by the name it was opened with.
    const MIVOBLE_HANDLE alias = Open("mv-alias");
    EXPECT_EQ(Open("mv-alias"), alias);
    EXPECT_EQ(factory_->creates, 3);
}

TEST_F(ExportsTest, HandlesCountUpAndAFailedOpenConsumesNone) {
    MIVOBLE_HANDLE a = Open("MV-A");
    const MIVOBLE_HANDLE firstA = a;
    ASSERT_EQ(MIVOBLE_CloseDevice(&a), MIVOBLE_OK);
    EXPECT_EQ(Open("MV-B"), firstA + 1);

    factory_->create = [](const std::string&) -> std::shared_ptr<IDevice> {
        throw ApiException("Could not find device with the specified serial number.", 3);
    };
    MIVOBLE_HANDLE h = 99;
    EXPECT_EQ(MIVOBLE_OpenDevice("MV-C", &h), MIVOBLE_ERROR_DEVICE);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Could not find device with the specified serial number.");
    EXPECT_EQ(h, 99u);
    factory_->create = [](const std::string& name) { return MakeDevice(name); };
    EXPECT_EQ(Open("MV-C"), firstA + 2);
}

TEST_F(ExportsTest, CloseClearsTheCallersHandleOnEveryPath) {
    EXPECT_EQ(MIVOBLE_CloseDevice(nullptr), MIVOBLE_ERROR_INVALID_HANDLE);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Handle must not be null");

    MIVOBLE_HANDLE unknown = 424242;
    EXPECT_EQ(MIVOBLE_CloseDevice(&unknown), MIVOBLE_ERROR_INVALID_HANDLE);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Invalid device handle.");
    EXPECT_EQ(unknown, 0u);

    auto device = MakeDevice("MV-1");
    EXPECT_CALL(*device, Close()).Times(1);
    auto watch = Serve(std::move(device));
    MIVOBLE_HANDLE h = Open("MV-1");
    const MIVOBLE_HANDLE closed = h;
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK);
    EXPECT_EQ(h, 0u);
    EXPECT_TRUE(watch.expired());
    MIVOBLE_DEVICE_INFORMATION info;
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(closed, &info), MIVOBLE_ERROR_INVALID_HANDLE);

    // A failing close still removes the handle.
    auto failing = MakeDevice("MV-2");
    EXPECT_CALL(*failing, Close()).WillOnce([] {
        throw ApiException("Bluetooth worker thread is unresponsive; restart required.", 3);
    });
    Serve(std::move(failing));
    h = Open("MV-2");
    const MIVOBLE_HANDLE failed = h;
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_ERROR_DEVICE);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(failed, &info), MIVOBLE_ERROR_INVALID_HANDLE);
}

TEST_F(ExportsTest, CloseLeaksADeviceThatCannotBeDestroyed) {
    TempDir dir;
    ASSERT_EQ(MIVOBLE_SetLogFile((dir / "leak.log").c_str()), MIVOBLE_OK);
    auto device = MakeDevice("MV-1");
    MockDevice* raw = device.get();
    ::testing::Mock::AllowLeak(raw);
    EXPECT_CALL(*device, Close()).Times(1);
    EXPECT_CALL(*device, CanDestroy()).WillOnce(Return(false));
    auto watch = Serve(std::move(device));
    MIVOBLE_HANDLE h = Open("MV-1");
    const MIVOBLE_HANDLE leakedHandle = h;
    const size_t leakedBefore = HandleRegistry::Instance().LeakedCount();

    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK);
    EXPECT_EQ(h, 0u);
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(HandleRegistry::Instance().LeakedCount(), leakedBefore + 1);
    ::testing::Mock::VerifyAndClearExpectations(raw);
    EXPECT_THAT(ReadFile(dir / "leak.log"),
                HasSubstr("[ERROR] - handle " + std::to_string(leakedHandle) +
                          ": Bluetooth transport unresponsive; leaking the device object instead of destroying it. "
                          "Restart the host process to reclaim it.\n"));
}

TEST_F(ExportsTest, CloseDuringARunningCallKeepsTheDeviceUntilTheCallReturns) {
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    auto device = MakeDevice("MV-1");
    EXPECT_CALL(*device, GetChannelConfiguration()).WillOnce([&] {
        entered.set_value();
        released.wait();
        return std::vector<MIVOBLE_CHANNEL_CONFIGURATION>(3);
    });
    auto watch = Serve(std::move(device));
    MIVOBLE_HANDLE h = Open("MV-1");

    uint32_t count = 0;
    int32_t result = -99;
    std::thread call([&] { result = MIVOBLE_GetChannelConfiguration(h, nullptr, &count); });
    entered.get_future().wait();
    MIVOBLE_HANDLE closing = h;
    EXPECT_EQ(MIVOBLE_CloseDevice(&closing), MIVOBLE_OK);
    EXPECT_FALSE(watch.expired());
    release.set_value();
    call.join();
    EXPECT_EQ(result, MIVOBLE_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_TRUE(watch.expired());
}

TEST_F(ExportsTest, ConcurrentOpensOfOneNameCreateOneDevice) {
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    factory_->create = [&](const std::string& name) {
        entered.set_value();  // a second concurrent creation would throw here
        released.wait();
        return MakeDevice(name);
    };
    const auto [a, ra, b, rb] = OpenTwiceConcurrently("MV-1", entered, release);
    EXPECT_EQ(ra, MIVOBLE_OK);
    EXPECT_EQ(rb, MIVOBLE_OK);
    EXPECT_NE(a, 0u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(factory_->creates, 1);
}

TEST_F(ExportsTest, AWaitingOpenTriesItselfWhenTheFirstOpenFails) {
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    factory_->create = [&](const std::string& name) -> std::shared_ptr<IDevice> {
        if (factory_->creates == 1) {
            entered.set_value();
            released.wait();
            throw ApiException("Could not connect to the device.", 3);
        }
        return MakeDevice(name);
    };
    const auto [a, ra, b, rb] = OpenTwiceConcurrently("MV-1", entered, release);
    EXPECT_EQ(ra, MIVOBLE_ERROR_DEVICE);
    EXPECT_EQ(rb, MIVOBLE_OK);
    EXPECT_NE(b, 0u);
    EXPECT_EQ(factory_->creates, 2);
}

TEST_F(ExportsTest, ChannelConfigurationTwoCallProtocol) {
    const std::vector<MIVOBLE_CHANNEL_CONFIGURATION> entries = {{1, 1, 0, 0.5f}, {2, 1, 1, 0.25f}, {5, 5, 2, 1.0f}};
    auto device = MakeDevice("MV-1");
    ON_CALL(*device, GetChannelConfiguration()).WillByDefault(Return(entries));
    Serve(std::move(device));
    const MIVOBLE_HANDLE h = Open("MV-1");

    EXPECT_EQ(MIVOBLE_GetChannelConfiguration(h, nullptr, nullptr), MIVOBLE_ERROR_INVALID_ARGUMENT);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "channelCount must not be null");
    uint32_t n = 0;
    EXPECT_EQ(MIVOBLE_GetChannelConfiguration(h, nullptr, &n), MIVOBLE_OK);
    EXPECT_EQ(n, 3u);

    MIVOBLE_CHANNEL_CONFIGURATION buffer[4];
    std::memset(buffer, 0xEE, sizeof buffer);
    n = 2;
    EXPECT_EQ(MIVOBLE_GetChannelConfiguration(h, buffer, &n), MIVOBLE_ERROR_INVALID_ARGUMENT);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "channels buffer too small for the reported channel count");
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(buffer[0].id, 0xEEEE);  // nothing copied

    n = 4;
    EXPECT_EQ(MIVOBLE_GetChannelConfiguration(h, buffer, &n), MIVOBLE_OK);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::memcmp(buffer, entries.data(), 3 * sizeof buffer[0]), 0);
    EXPECT_EQ(buffer[3].id, 0xEEEE);  // beyond the entries untouched

    EXPECT_EQ(MIVOBLE_GetChannelConfiguration(h + 1000, buffer, &n), MIVOBLE_ERROR_INVALID_HANDLE);
}

TEST_F(ExportsTest, DeviceCallsForwardTheirArgumentsAndResults) {
    auto device = MakeDevice("MV-1");
    MIVOBLE_DEVICE_INFORMATION info{};
    std::strcpy(info.serialNumber, "MV-1");
    std::strcpy(info.manufacturerName, "Maker");
    info.channelTypes[0] = 1;
    info.channelTypes[1] = 4;
    info.channelTypes[2] = 9;
    info.numberOfAcquiredChannels = 3;
    info.samplingRate = 250;
    ON_CALL(*device, GetDeviceInformation()).WillByDefault(Return(info));
    const DataAvailableCallback perRow = [](MIVOBLE_HANDLE, const float*, uint32_t) {};
    const DataAvailableBatchedCallback batched = [](MIVOBLE_HANDLE, const float*, uint32_t, uint32_t) {};
    const ConnectionStateCallback state = [](MIVOBLE_HANDLE, uint32_t) {};
    EXPECT_CALL(*device, SetDataAvailableCallback(perRow));
    EXPECT_CALL(*device, SetDataAvailableCallback(nullptr));
    EXPECT_CALL(*device, SetDataAvailableBatchedCallback(batched));
    EXPECT_CALL(*device, SetConnectionStateCallback(state));
    EXPECT_CALL(*device, SetFramesPerCallback(16));
    EXPECT_CALL(*device, SetActiveLayout(8, 4, 3, true, 500)).WillOnce(Return(-1));
    EXPECT_CALL(*device, SetActiveLayout(1, 1, 3, false, 256)).WillOnce(Return(0));
    Serve(std::move(device));
    const MIVOBLE_HANDLE h = Open("MV-1");

    MIVOBLE_DEVICE_INFORMATION copy;
    std::memset(&copy, 0xEE, sizeof copy);
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(h, &copy), MIVOBLE_OK);
    EXPECT_EQ(std::memcmp(&copy, &info, sizeof info), 0);
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(h, nullptr), MIVOBLE_ERROR_INVALID_ARGUMENT);

    EXPECT_EQ(MIVOBLE_RegisterDataAvailableCallback(h, perRow), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_RegisterDataAvailableCallback(h, nullptr), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(h, batched), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_RegisterConnectionStateCallback(h, state), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_SetFramesPerCallback(h, 16), MIVOBLE_OK);

    MIVOBLE_CloseDevice(nullptr);
    EXPECT_EQ(MIVOBLE_SetActiveLayout(h, 8, 4, 3, 2, 500), -1);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Handle must not be null");  // a rejected layout sets no text
    EXPECT_EQ(MIVOBLE_SetActiveLayout(h, 1, 1, 3, 0, 256), 0);
}

TEST_F(ExportsTest, ScannerCallsStartAndStopOnlyWhenNeeded) {
    auto& adapter = factory_->adapter;
    EXPECT_CALL(adapter, IsScanning())
        .WillOnce(Return(false))
        .WillOnce(Return(true))
        .WillOnce(Return(true))
        .WillOnce(Return(false));
    EXPECT_CALL(adapter, StartScanning()).Times(1);
    EXPECT_CALL(adapter, StopScanning()).Times(1);
    EXPECT_CALL(adapter, GetDiscoveredDeviceCount()).WillOnce(Return(7));
    EXPECT_CALL(adapter, GetDiscoveredDeviceName(9, ::testing::_, 5)).WillOnce(Return(4));
    const DeviceListChangedCallback changed = [](uint32_t) {};
    EXPECT_CALL(adapter, SetDeviceListChangedCallback(changed));
    EXPECT_CALL(adapter, SetDeviceDiscoveredCallback(nullptr));

    EXPECT_EQ(MIVOBLE_StartScanning(), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_StartScanning(), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_StopScanning(), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_StopScanning(), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_GetDiscoveredDeviceCount(), 7);
    char name[5];
    EXPECT_EQ(MIVOBLE_GetDiscoveredDeviceName(9, name, sizeof name), MIVOBLE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(MIVOBLE_RegisterDeviceListChangedCallback(changed), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_RegisterDeviceDiscoveredCallback(nullptr), MIVOBLE_OK);
}

TEST_F(ExportsTest, MissingAdapterFailsScannerCallsAndTheCountReadsZero) {
    factory_->adapterFailure = [] { throw ApiException("No Bluetooth adapter found.", 2); };
    EXPECT_EQ(MIVOBLE_StartScanning(), MIVOBLE_ERROR_ADAPTER);
    MIVOBLE_CloseDevice(nullptr);
    EXPECT_EQ(MIVOBLE_GetDiscoveredDeviceCount(), 0);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "No Bluetooth adapter found.");
    char name[15];
    EXPECT_EQ(MIVOBLE_GetDiscoveredDeviceName(0, name, sizeof name), MIVOBLE_ERROR_ADAPTER);
    EXPECT_EQ(MIVOBLE_RegisterDeviceDiscoveredCallback(nullptr), MIVOBLE_ERROR_ADAPTER);
    factory_->adapterFailure = [] { throw std::runtime_error("scanner creation failed"); };
    EXPECT_EQ(MIVOBLE_GetDiscoveredDeviceCount(), 0);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "scanner creation failed");
}

TEST_F(ExportsTest, ShutdownClosesEveryDeviceInOrderThenTheScanner) {
    TempDir dir;
    ASSERT_EQ(MIVOBLE_SetLogFile((dir / "shutdown.log").c_str()), MIVOBLE_OK);
    auto a = MakeDevice("MV-A");
    auto b = MakeDevice("MV-B");
    auto c = MakeDevice("MV-C");
    MockDevice* rawB = b.get();
    ::testing::Mock::AllowLeak(rawB);
    ON_CALL(*b, CanDestroy()).WillByDefault(Return(false));
    {
        ::testing::InSequence order;
        EXPECT_CALL(*a, Close());
        EXPECT_CALL(*b, Close()).WillOnce([] { throw std::runtime_error("link teardown failed"); });
        EXPECT_CALL(*c, Close());
        EXPECT_CALL(factory_->adapter, Shutdown());
    }
    std::map<std::string, std::shared_ptr<Device>> devices = {{"MV-A", a}, {"MV-B", b}, {"MV-C", c}};
    a.reset(), b.reset(), c.reset();
    factory_->create = [&](const std::string& name) { return std::move(devices.at(name)); };
    const MIVOBLE_HANDLE ha = Open("MV-A");
    const MIVOBLE_HANDLE hb = Open("MV-B");
    Open("MV-C");

    // Every device is closed and the scanner shut down; the failed close is reported.
    EXPECT_EQ(MIVOBLE_Shutdown(), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "link teardown failed");
    EXPECT_TRUE(HandleRegistry::Instance().Handles().empty());
    MIVOBLE_DEVICE_INFORMATION info;
    EXPECT_EQ(MIVOBLE_GetDeviceInformation(ha, &info), MIVOBLE_ERROR_INVALID_HANDLE);
    ::testing::Mock::VerifyAndClearExpectations(rawB);
    const std::string log = ReadFile(dir / "shutdown.log");
    EXPECT_THAT(log, HasSubstr("[ERROR] - handle " + std::to_string(hb) +
                               ": Bluetooth transport unresponsive; leaking the device object instead of "
                               "destroying it.\n"));
    EXPECT_THAT(log, Not(HasSubstr("Restart the host process")));

    EXPECT_CALL(factory_->adapter, Shutdown());
    EXPECT_EQ(MIVOBLE_Shutdown(), MIVOBLE_OK);
}

// Without an adapter or radio there is no scanner to shut down: the shut-down still closes
// the devices, succeeds, and stops the runtime for good. Runs in a child process, since the
// runtime of a process stops only once.
TEST_F(ExportsTest, ShutdownWithoutAdapterStillClosesDevicesAndStopsTheRuntime) {
    EXPECT_EXIT(
        {
            auto device = MakeDevice("MV-1");
            EXPECT_CALL(*device, Close()).Times(1);
            auto watch = Serve(std::move(device));
            Open("MV-1");
            factory_->adapterFailure = [] { throw ApiException("Bluetooth adapter not enabled.", 2); };
            bool ok = MIVOBLE_Shutdown() == MIVOBLE_OK && watch.expired();
            ok = ok && BluetoothExecutor::Instance().IsStopped();
            ok = ok && MIVOBLE_Shutdown() == MIVOBLE_OK;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    // Any other failure of the scanner is still reported.
    factory_->adapterFailure = [] { throw std::runtime_error("scanner creation failed"); };
    EXPECT_EQ(MIVOBLE_Shutdown(), MIVOBLE_ERROR_GENERAL);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "scanner creation failed");
}

}  // namespace
}  // namespace Mivo::BLE::Testing
