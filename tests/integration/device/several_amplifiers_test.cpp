// Several amplifiers at once: the radio work of one never holds up the calls of another.
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "integration/smp/smp_sim_support.h"

namespace Mivo::BLE::Testing {
namespace {

constexpr const char* kUnresponsive = "Bluetooth worker thread is unresponsive; restart required.";

// What amplifier A is busy with, and what B is asked meanwhile.
enum Busy { kReconnect, kHungOperation, kUpload };
enum Call { kFrame, kDeviceInformation, kListImages };
const char* const kBusyNames[] = {"Reconnect", "HungOperation", "Upload"};
const char* const kCallNames[] = {"Frame", "DeviceInformation", "ListImages"};

// One call through the C interface; checks the answer and returns the result code.
int32_t CallAmplifier(Call call, MIVOBLE_HANDLE handle, const std::string& name) {
    int32_t rc = -99;
    if (call == kFrame) {
        uint8_t status = 0xEE, response[16] = {};
        uint16_t length = sizeof response;
        rc = MIVOBLE_SendFrame(handle, 0x01, reinterpret_cast<const uint8_t*>("ab"), 2, &status, response, &length,
                               2000);
        if (rc == MIVOBLE_OK) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(response), length), "ab");
        }
    } else if (call == kDeviceInformation) {
        MIVOBLE_DEVICE_INFORMATION info{};
        rc = MIVOBLE_GetDeviceInformation(handle, &info);
        if (rc == MIVOBLE_OK) {
            EXPECT_EQ(std::string(info.serialNumber), name);
        }
    } else {
        MIVOBLE_IMAGE_STATE images[4];
        uint32_t count = 4;
        ::testing::internal::CaptureStderr();  // the diagnostic lines
        rc = MIVOBLE_ListImages(handle, images, &count);
        ::testing::internal::GetCapturedStderr();
        if (rc == MIVOBLE_OK) {
            EXPECT_GE(count, 1u);
        }
    }
    return rc;
}

void RecordOffset(MIVOBLE_HANDLE, uint32_t offset, uint32_t, void* latest) {
    *static_cast<std::atomic<uint32_t>*>(latest) = offset;
}

Sim::AmplifierConfig Nus(uint32_t flashKbps = 80) {
    Sim::AmplifierConfig config;
    config.gen = Sim::Generation::Nus;
    config.flashKbps = flashKbps;
    return config;
}

// A's stuck operations last seconds; B's calls take milliseconds. A call of B that had to
// wait for A's operation would return only once that operation had ended.
class OtherAmplifierTest : public DeviceTest, public ::testing::WithParamInterface<std::tuple<Busy, Call>> {
protected:
    DeviceTiming Timing() const override {
        DeviceTiming t = FastTiming();
        t.servicesBoundMs = 3000;
        t.discoveryDeadlineMs = 4000;
        t.gatt.subscribeBoundMs = 3000;
        return t;
    }
};

TEST_P(OtherAmplifierTest, CallsOnBDoNotWaitForA) {
    const auto [busy, call] = GetParam();
    auto a = AddAmplifier(Nus(busy == kUpload ? 16 : 80));  // 16 KB/s: the upload takes three seconds
    auto b = AddAmplifier(Nus());
    const MIVOBLE_HANDLE ha = OpenOrFail(a->Name());
    const MIVOBLE_HANDLE hb = OpenOrFail(b->Name());
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(ha, RecordState), MIVOBLE_OK);

    // A gets busy: its reconnect's service discovery, or a caller's notification switch-on,
    // never answers; or a caller uploads an image.
    std::thread aCaller;
    std::atomic<bool> aDone{false};
    std::atomic<uint32_t> uploaded{0};
    const Image image = BuildImage(1, 2, 3, 48 * 1024);
    std::function<bool()> aBusy = [&] { return a->PendingOperations() > 0; };
    if (busy == kReconnect) {
        a->Hang(Sim::kOpServices);
        a->DropLink();
    } else if (busy == kHungOperation) {
        a->Hang(Sim::kOpCccd);
        aCaller = std::thread([&] { EXPECT_NE(CallAmplifier(kFrame, ha, a->Name()), MIVOBLE_OK); });
    } else {
        aCaller = std::thread([&] {
            EXPECT_EQ(MIVOBLE_UploadImage(ha, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()), 0,
                                          RecordOffset, &uploaded),
                      MIVOBLE_OK)
                << MIVOBLE_GetLastErrorText();
            aDone = true;
        });
        aBusy = [&] { return uploaded.load() > 0 && !aDone.load(); };
    }
    ASSERT_TRUE(Eventually(aBusy)) << "A never got busy";

    for (int round = 0; round < 3; ++round)
        EXPECT_EQ(CallAmplifier(call, hb, b->Name()), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_TRUE(aBusy()) << "B's calls returned only after A's work had ended";

    // A recovers on its own once its work ends.
    a->ClearFaults();
    if (aCaller.joinable()) aCaller.join();
    if (busy == kReconnect) {
        EXPECT_TRUE(Recorder::Instance().WaitFor(ha, [](const HandleRecord& r) {
            return !r.states.empty() && r.states.back() == MIVOBLE_CONNECTION_CONNECTED;
        }));
    }
    EXPECT_EQ(CallAmplifier(call, ha, a->Name()), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
}

INSTANTIATE_TEST_SUITE_P(WhileABusy, OtherAmplifierTest,
                         ::testing::Combine(::testing::Values(kReconnect, kHungOperation, kUpload),
                                            ::testing::Values(kFrame, kDeviceInformation, kListImages)),
                         [](const auto& info) {
                             return std::string(kBusyNames[std::get<0>(info.param)]) + "_" +
                                    kCallNames[std::get<1>(info.param)];
                         });

using ParallelOpenTest = DeviceTest;

TEST_F(ParallelOpenTest, FourThreadsOpenAtOnceAndOneNameIsOpenedOnce) {
    struct Row {
        const char* label;
        std::vector<int> amplifierOfThread;  // which amplifier each of the four threads opens
        size_t handles;                      // distinct handles expected
    } rows[] = {
        {"four amplifiers", {0, 1, 2, 3}, 4},
        {"two amplifiers, each named twice", {0, 0, 1, 1}, 2},
    };
    constexpr auto kDiscovery = 1500ms;  // every open's service discovery takes this long
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        std::vector<std::shared_ptr<Sim::Amplifier>> amps;
        for (int i = 0; i < 4; ++i) {
            amps.push_back(AddAmplifier());
            amps.back()->Delay(Sim::kOpServices, kDiscovery);
        }
        std::vector<MIVOBLE_HANDLE> handles(4, 0);
        std::vector<int32_t> results(4, -99);
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                results[t] = MIVOBLE_OpenDevice(amps[row.amplifierOfThread[t]]->Name().c_str(), &handles[t]);
            });
        }
        const std::set<int> opened(row.amplifierOfThread.begin(), row.amplifierOfThread.end());
        EXPECT_TRUE(Eventually([&] {
            for (int i : opened)
                if (amps[i]->PendingOperations() == 0) return false;
            return true;
        })) << "the service discoveries did not run at the same time";
        for (auto& t : threads) t.join();
        EXPECT_LT(Clock::now() - start, 2 * kDiscovery);

        const std::set<MIVOBLE_HANDLE> distinct(handles.begin(), handles.end());
        EXPECT_EQ(results, std::vector<int32_t>(4, MIVOBLE_OK));
        EXPECT_EQ(distinct.size(), row.handles);
        for (int i : opened) EXPECT_EQ(amps[i]->ConnectCount(), 1) << amps[i]->Name();
        for (MIVOBLE_HANDLE h : distinct) MIVOBLE_CloseDevice(&h);
    }
}

// A platform call of A hangs past its task's budget: A's lane is declared wedged, A fails its
// calls, and B carries on as if nothing had happened.
class WedgeTest : public DeviceTest {
protected:
    DeviceTiming Timing() const override {
        DeviceTiming t = FastTiming();
        t.taskBudgetMs = t.gatt.taskBudgetMs = 300;
        // Bounds beyond budget and tolerance: a task that waits one out overruns.
        t.fromAddressBoundMs = t.gatt.subscribeBoundMs = 3000;
        t.lane.poll = 20ms;
        t.lane.overrunTolerance = 1000ms;
        t.lane.stallLimit = 2000ms;
        return t;
    }
};

TEST_F(WedgeTest, WedgedAmplifierFailsItsOwnCallsOnly) {
    struct Row {
        const char* hang;  // A's operation that never answers
        const char* task;  // the task that overruns
        bool byReconnect;  // triggered by a reconnect, else by A's own calls
    } rows[] = {{Sim::kOpFromAddress, "FromBluetoothAddress", true}, {Sim::kOpCccd, "Subscribe", false}};
    const std::string leaking = ": Bluetooth transport unresponsive; leaking the device object";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.task);
        auto a = AddAmplifier(Nus());
        auto b = AddAmplifier(Nus());
        MIVOBLE_HANDLE ha = OpenOrFail(a->Name()), hb = OpenOrFail(b->Name());
        const std::weak_ptr<BleDevice> deviceB = factory_->Last();
        const MIVOBLE_HANDLE registeredA = ha;
        const int wedgedBefore = log_.Count("ERROR", "executor WEDGED"), leakedBefore = log_.Count("ERROR", leaking);

        a->Hang(row.hang);
        if (row.byReconnect) {
            // The reconnect attempts fail fast; with the link gone A's calls fail at their lookup.
            a->DropLink();
            EXPECT_TRUE(log_.WaitFor("WARN ",
                                     "device '" + a->Name() + "': reconnect attempt 2 failed (" + kUnresponsive + ")"));
            EXPECT_EQ(CallAmplifier(kFrame, ha, a->Name()), 3);
        } else {
            // The caller waiting on the stuck task gives up, and later calls fail at once.
            for (Call call : {kFrame, kListImages}) {
                EXPECT_EQ(CallAmplifier(call, ha, a->Name()), 3) << kCallNames[call];
                EXPECT_STREQ(MIVOBLE_GetLastErrorText(), kUnresponsive);
            }
        }
        EXPECT_EQ(
            log_.Count("ERROR", std::string("executor WEDGED: task '") + row.task + "' overran its 300 ms budget."), 1);

        for (Call call : {kFrame, kDeviceInformation, kListImages})
            EXPECT_EQ(CallAmplifier(call, hb, b->Name()), MIVOBLE_OK) << kCallNames[call] << MIVOBLE_GetLastErrorText();
        auto c = AddAmplifier(Nus());
        MIVOBLE_HANDLE hc = OpenOrFail(c->Name());
        EXPECT_EQ(CallAmplifier(kFrame, hc, c->Name()), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();

        // The wedged device is leaked on close; the others are destroyed.
        EXPECT_EQ(Close(ha), MIVOBLE_OK);
        EXPECT_EQ(Close(hb), MIVOBLE_OK);
        EXPECT_EQ(Close(hc), MIVOBLE_OK);
        EXPECT_TRUE(deviceB.expired());
        EXPECT_EQ(log_.Count("ERROR", "handle " + std::to_string(registeredA) + leaking), 1);
        EXPECT_EQ(log_.Count("ERROR", leaking), leakedBefore + 1);
        EXPECT_EQ(log_.Count("ERROR", "executor WEDGED"), wedgedBefore + 1);
    }
}

}  // namespace
}  // namespace Mivo::BLE::Testing
