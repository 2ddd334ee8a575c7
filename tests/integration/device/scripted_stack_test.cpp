// The device on a scripted in-memory stack, for what the simulator cannot arrange: GATT
// tables with holes, platform errors at chosen steps, a link that goes down right after the
// open's last check, a loss event repeated before the old link is torn down, and the discovery
// deadline.
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "api/handle_registry.h"
#include "core/api_exception.h"
#include "device_test_support.h"
#include "protocol/uuid_text.h"
#include "runtime/bluetooth_executor.h"
#include "support/fake_stack.h"

namespace Mivo::BLE::Testing {
namespace {

constexpr uint64_t kAddress = 0xA1B2C3D4E5F6ull;
const std::string kName = "FK-0001.00.01";

Platform::Uuid U(const std::string& text) { return ParseUuidText(text); }

// A NUS-generation amplifier on a FakeStack, minus the characteristics named in `omit`.
struct ScriptedAmplifier {
    explicit ScriptedAmplifier(const std::set<std::string>& omit = {}) : installed(stack) {
        device = stack->AddDevice(kAddress);
        auto add = [&](const std::shared_ptr<FakeService>& service, const std::string& uuid, Bytes value = {}) {
            if (omit.count(uuid)) return;
            auto characteristic = service->AddCharacteristic(U(uuid));
            characteristic->SetValue(std::move(value));
            characteristics[uuid] = characteristic;
        };
        auto info = device->AddService(U("180A"));
        add(info, "2A24", {'M', '1'});
        add(info, "2A25", Bytes(kName.begin(), kName.end()));
        add(info, "2A26", {'1', '.', '0'});
        add(info, "2A27", {'C'});
        add(info, "2A29", {'m', 'i', 'v', 'o'});
        add(device->AddService(U("180F")), "2A19", {64});
        add(device->AddService(U("B5211405-449F-4BA0-A651-B887924B81E8")), "B5211406-449F-4BA0-A651-B887924B81E8");
        auto nus = device->AddService(U("6E400001-B5A3-F393-E0A9-E50E24DCCA9E"));
        add(nus, "6E400002-B5A3-F393-E0A9-E50E24DCCA9E");
        add(nus, "6E400003-B5A3-F393-E0A9-E50E24DCCA9E");
    }

    // Lets the scanner list the amplifier (a scan the test started, left running).
    void Advertise(BleScanner& scanner) {
        scanner.StartScanning();
        stack->watcher->Advertise(kName, kAddress);
        ASSERT_TRUE(Eventually([&] { return scanner.FindAddress(kName).found; }));
    }

    std::shared_ptr<FakeStack> stack = std::make_shared<FakeStack>();
    ScopedStack installed;
    std::shared_ptr<FakeDevice> device;
    std::map<std::string, std::shared_ptr<FakeCharacteristic>> characteristics;
};

// Reports "connected" for the first `connectedAnswers` status queries, then "disconnected";
// everything else goes to the wrapped device.
class FadingDevice final : public Platform::IBluetoothLEDevice {
public:
    FadingDevice(std::shared_ptr<FakeDevice> inner, int connectedAnswers)
        : inner_(std::move(inner)), connectedAnswers_(connectedAnswers) {}
    uint64_t BluetoothAddress() override { return inner_->BluetoothAddress(); }
    Platform::ConnectionStatus GetConnectionStatus() override {
        return connectedAnswers_.fetch_sub(1) > 0 ? Platform::ConnectionStatus::Connected
                                                  : Platform::ConnectionStatus::Disconnected;
    }
    Platform::EventToken AddConnectionStatusChanged(std::function<void()> handler) override {
        return inner_->AddConnectionStatusChanged(std::move(handler));
    }
    void RemoveConnectionStatusChanged(Platform::EventToken token) override {
        inner_->RemoveConnectionStatusChanged(token);
    }
    Platform::AsyncOp<ServicesResult> GetGattServicesAsync() override { return inner_->GetGattServicesAsync(); }
    void Close() override { inner_->Close(); }

private:
    std::shared_ptr<FakeDevice> inner_;
    std::atomic<int> connectedAnswers_;
};

// Connection states a device reports, and something to run on the reconnect thread when the
// first loss is reported (the C callback carries no context, hence the one global instance).
struct StateLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uint32_t> states;
    std::function<void()> onFirstLoss;

    static StateLog*& Current() {
        static StateLog* current = nullptr;
        return current;
    }
    static void Record(MIVOBLE_HANDLE, uint32_t state) {
        StateLog& log = *Current();
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> lock(log.mutex);
            if (state == MIVOBLE_CONNECTION_LOST) hook = std::exchange(log.onFirstLoss, nullptr);
        }
        if (hook) hook();
        {
            std::lock_guard<std::mutex> lock(log.mutex);
            log.states.push_back(state);
        }
        log.changed.notify_all();
    }
    bool WaitForCount(size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kWaitLimit, [&] { return states.size() >= n; });
    }
    std::vector<uint32_t> States() {
        std::lock_guard<std::mutex> lock(mutex);
        return states;
    }
};

class ScriptedStackTest : public ::testing::Test {
protected:
    DeviceTiming timing_ = FastTiming();
    LogFile log_;
};

TEST_F(ScriptedStackTest, EveryRequiredStandardCharacteristicMustExist) {
    for (const std::string missing : {"2A24", "2A27", "2A29", "2A19"}) {
        SCOPED_TRACE(missing);
        ScriptedAmplifier amp({missing});
        BleScanner scanner;
        amp.Advertise(scanner);
        try {
            std::make_shared<BleDevice>(kName, nullptr, timing_, &scanner);
            ADD_FAILURE() << "the open must fail";
        } catch (const ApiException& e) {
            EXPECT_EQ(e.Code(), MIVOBLE_ERROR_DEVICE);
            EXPECT_EQ(std::string(e.what()), "Could not find characteristic '" + missing + "'.");
        }
        EXPECT_EQ(log_.Count("WARN ", "connect attempt 3/3 failed: Could not find characteristic '" + missing + "'."),
                  1);
        // Each attempt's link was torn down and handed to the pool to close.
        EXPECT_TRUE(amp.device->close.WaitForCalls(3));
        EXPECT_EQ(amp.device->HandlerCount(), 0u);
    }
}

TEST_F(ScriptedStackTest, PlatformErrorsOfTheOpenAreDeviceErrorsAndRetried) {
    ScriptedAmplifier amp;
    amp.stack->fromAddress.Then(
        Step<std::shared_ptr<Platform::IBluetoothLEDevice>>::Fails(5, "Address lookup refused."));
    amp.device->getServices.Then(Step<FakeDevice::ServicesResult>::Fails(7, "GATT server went away."));
    BleScanner scanner;
    amp.Advertise(scanner);

    auto device = std::make_shared<BleDevice>(kName, nullptr, timing_, &scanner);
    EXPECT_TRUE(device->IsReady());
    EXPECT_EQ(log_.Count("WARN ", "connect attempt 1/3 failed: Address lookup refused."), 1);
    EXPECT_EQ(log_.Count("WARN ", "connect attempt 2/3 failed: GATT server went away."), 1);
    EXPECT_EQ(log_.Count("INFO ", "connect attempt 3/3"), 1);
    device->Close();
}

TEST_F(ScriptedStackTest, CharacteristicQueriesShareTheDiscoveryDeadline) {
    ScriptedAmplifier amp;
    timing_.openAttempts = 1;
    timing_.discoveryDeadlineMs = 300;
    timing_.characteristicsBoundMs = 5000;
    // The first service answers late; the next query gets only what is left of the 300 ms.
    auto services = amp.device->List();
    auto first = std::static_pointer_cast<FakeService>(services[0]);
    auto second = std::static_pointer_cast<FakeService>(services[1]);
    first->getCharacteristics.Then(Step<FakeService::CharacteristicsResult>::CompletesAfter(
        200ms, FakeService::CharacteristicsResult{Platform::GattStatus::Success, first->List()}));
    second->getCharacteristics.Then(Step<FakeService::CharacteristicsResult>::Hangs());
    BleScanner scanner;
    amp.Advertise(scanner);

    const auto start = Clock::now();
    try {
        std::make_shared<BleDevice>(kName, nullptr, timing_, &scanner);
        ADD_FAILURE() << "the open must fail";
    } catch (const ApiException& e) {
        EXPECT_STREQ(e.what(), "Bluetooth operation 'GetCharacteristicsAsync' timed out.");
    }
    EXPECT_LT(Clock::now() - start, 1500ms);  // far below the 5000 ms bound of one query
    const auto lines = log_.Lines("ERROR", "winrt: 'GetCharacteristicsAsync' timed out after ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find("after 5000 ms"), std::string::npos) << lines[0];
}

TEST_F(ScriptedStackTest, LinkDownRightAfterTheOpenStillStartsAReconnect) {
    ScriptedAmplifier amp;
    // Connected for the open's final check only; the link is gone when the open returns.
    auto fading = std::make_shared<FadingDevice>(amp.device, 1);
    amp.stack->fromAddress.Always(Step<std::shared_ptr<Platform::IBluetoothLEDevice>>::Completes(
        std::shared_ptr<Platform::IBluetoothLEDevice>(fading)));
    BleScanner scanner;
    amp.Advertise(scanner);

    auto device = std::make_shared<BleDevice>(kName, nullptr, timing_, &scanner);
    EXPECT_TRUE(log_.WaitFor("INFO ", "device '" + kName + "': reconnect attempt 1"));
    EXPECT_FALSE(device->IsReady());
    device->Close();
    EXPECT_TRUE(device->CanDestroy());
}

TEST_F(ScriptedStackTest, ARepeatedLossEventOfTheReplacedLinkStartsNoSecondReconnect) {
    ScriptedAmplifier amp;
    StateLog states;  // outlives the device, whose thread may report to it until it closes
    BleScanner scanner;
    amp.Advertise(scanner);
    auto device = std::make_shared<BleDevice>(kName, nullptr, timing_, &scanner, HandleRegistry::Instance().Finder());
    ASSERT_TRUE(device->IsReady());

    StateLog::Current() = &states;
    // Once the loss is being handled, the old link reports "disconnected" a second time before
    // it is torn down; the link then comes back, so the one reconnect attempt succeeds.
    states.onFirstLoss = [&] {
        amp.device->SetConnectionStatus(Platform::ConnectionStatus::Disconnected);
        EXPECT_TRUE(amp.stack->FlushEvents());
        amp.device->SetConnectionStatus(Platform::ConnectionStatus::Connected);
        EXPECT_TRUE(amp.stack->FlushEvents());
    };
    const MIVOBLE_HANDLE handle = HandleRegistry::Instance().Register(device, "stale-loss");
    device->SetConnectionStateCallback(&StateLog::Record);

    amp.device->SetConnectionStatus(Platform::ConnectionStatus::Disconnected);
    ASSERT_TRUE(states.WaitForCount(2));
    ASSERT_TRUE(log_.WaitFor("INFO ", "device '" + kName + "': reconnected after 1 attempt(s)"));
    // Both loss events reached the device while it was still listening to the old link.
    EXPECT_EQ(log_.Count("WARN ", "device '" + kName + "': link lost (unsolicited=1)"), 2);
    EXPECT_TRUE(device->IsReady());

    device->Close();
    HandleRegistry::Instance().Remove(handle);
    StateLog::Current() = nullptr;
    EXPECT_EQ(states.States(), (std::vector<uint32_t>{MIVOBLE_CONNECTION_LOST, MIVOBLE_CONNECTION_CONNECTED}));
    EXPECT_EQ(log_.Count("INFO ", "device '" + kName + "': reconnect attempt 1"), 1);
    EXPECT_EQ(amp.device->removeConnectionStatusChanged.Calls(), 2);  // the old link's and Close's
    EXPECT_TRUE(device->CanDestroy());
}

// The runtime stops (as MIVOBLE_Shutdown stops it) while an open waits in a platform step:
// the open fails, and the link-status handler it registered is removed although no further
// task can run, so the failed object is not freed with a handler that calls it. In a child
// process, since the runtime of a process stops only once.
TEST_F(ScriptedStackTest, StoppingTheRuntimeDuringAnOpenStillRemovesItsHandlers) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ScriptedAmplifier amp;
            timing_.openAttempts = 1;
            amp.characteristics["2A19"]->read.Hang();  // the open waits in its battery read
            BleScanner scanner;
            amp.Advertise(scanner);
            auto open = std::async(std::launch::async, [&] {
                try {
                    std::make_shared<BleDevice>(kName, nullptr, timing_, &scanner);
                    return 10;
                } catch (const ApiException&) {
                    return 0;
                }
            });
            if (!amp.characteristics["2A19"]->read.WaitForCalls(1)) std::exit(11);
            if (amp.device->HandlerCount() != 1) std::exit(12);
            BluetoothExecutor::Instance().Stop();
            const int opened = open.get();
            if (opened != 0) std::exit(opened);
            std::exit(amp.device->HandlerCount() == 0 ? 0 : 13);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace Mivo::BLE::Testing
