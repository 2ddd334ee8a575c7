// Several amplifiers at once: the radio work of one never holds up the calls of another.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "integration/smp/smp_sim_support.h"

namespace Mivo::BLE::Testing {
namespace {

using ::testing::Values;

constexpr const char* kUnresponsive = "Bluetooth worker thread is unresponsive; restart required.";

// What amplifier A is busy with while B is called.
enum class Busy { Reconnect, HungOperation, Upload };
// What B is asked.
enum class Call { Frame, DeviceInformation, ListImages };

const char* Name(Busy busy) {
    switch (busy) {
        case Busy::Reconnect: return "Reconnect";
        case Busy::HungOperation: return "HungOperation";
        case Busy::Upload: return "Upload";
    }
    return "?";
}
const char* Name(Call call) {
    switch (call) {
        case Call::Frame: return "Frame";
        case Call::DeviceInformation: return "DeviceInformation";
        case Call::ListImages: return "ListImages";
    }
    return "?";
}

// One call of B through the C interface; checks the answer and returns the result code.
int32_t CallAmplifier(Call call, MIVOBLE_HANDLE handle, const std::string& name) {
    switch (call) {
        case Call::Frame: {
            uint8_t status = 0xEE, response[16] = {};
            uint16_t length = sizeof response;
            const int32_t rc = MIVOBLE_SendFrame(handle, 0x01, reinterpret_cast<const uint8_t*>("ab"), 2, &status,
                                                 response, &length, 2000);
            if (rc == MIVOBLE_OK) {
                EXPECT_EQ(status, 0);
                EXPECT_EQ(std::string(reinterpret_cast<char*>(response), length), "ab");
            }
            return rc;
        }
        case Call::DeviceInformation: {
            MIVOBLE_DEVICE_INFORMATION info{};
            const int32_t rc = MIVOBLE_GetDeviceInformation(handle, &info);
            if (rc == MIVOBLE_OK) {
                EXPECT_STREQ(info.serialNumber, name.c_str());
            }
            return rc;
        }
        case Call::ListImages: {
            MIVOBLE_IMAGE_STATE images[4];
            uint32_t count = 4;
            ::testing::internal::CaptureStderr();  // the diagnostic lines
            const int32_t rc = MIVOBLE_ListImages(handle, images, &count);
            ::testing::internal::GetCapturedStderr();
            if (rc == MIVOBLE_OK) {
                EXPECT_GE(count, 1u);
            }
            return rc;
        }
    }
    return -99;
}

// Upload progress seen by the test: the latest offset.
struct UploadProgress {
    std::atomic<uint32_t> offset{0};
    static void Record(MIVOBLE_HANDLE, uint32_t offset, uint32_t, void* self) {
        static_cast<UploadProgress*>(self)->offset = offset;
    }
};

struct Case {
    Busy busy;
    Call call;
};

// A's stuck operations last seconds; B's calls take milliseconds. A call of B that had to
// wait for A's operation would return only once that operation had ended.
class OtherAmplifierTest : public DeviceTest, public ::testing::WithParamInterface<Case> {
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
    const Case c = GetParam();
    Sim::AmplifierConfig nus;
    nus.gen = Sim::Generation::Nus;
    Sim::AmplifierConfig slowFlash = nus;
    slowFlash.flashKbps = 16;  // a 32 KB image takes two seconds
    auto a = AddAmplifier(c.busy == Busy::Upload ? slowFlash : nus);
    auto b = AddAmplifier(nus);
    const MIVOBLE_HANDLE ha = OpenOrFail(a->Name());
    const MIVOBLE_HANDLE hb = OpenOrFail(b->Name());
    ASSERT_NE(ha, 0u);
    ASSERT_NE(hb, 0u);
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(ha, RecordState), MIVOBLE_OK);

    // A gets busy, on another thread where it blocks a caller.
    std::thread aCaller;
    std::atomic<bool> aDone{false};
    UploadProgress progress;
    const Image image = BuildImage(1, 2, 3, 32 * 1024);
    std::function<bool()> aBusy;
    switch (c.busy) {
        case Busy::Reconnect:  // service discovery of the reconnect never answers
            a->Hang(Sim::kOpServices);
            a->DropLink();
            aBusy = [&] { return a->PendingOperations() > 0; };
            break;
        case Busy::HungOperation:  // a command frame whose notification switch-on never answers
            a->Hang(Sim::kOpCccd);
            aCaller = std::thread([&] {
                uint8_t status = 0, response[8];
                uint16_t length = sizeof response;
                EXPECT_NE(MIVOBLE_SendFrame(ha, 0x01, reinterpret_cast<const uint8_t*>("x"), 1, &status, response,
                                            &length, 1000),
                          MIVOBLE_OK);
                aDone = true;
            });
            aBusy = [&] { return a->PendingOperations() > 0; };
            break;
        case Busy::Upload:
            aCaller = std::thread([&] {
                EXPECT_EQ(MIVOBLE_UploadImage(ha, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()), 0,
                                              UploadProgress::Record, &progress),
                          MIVOBLE_OK)
                    << MIVOBLE_GetLastErrorText();
                aDone = true;
            });
            aBusy = [&] { return progress.offset.load() > 0 && !aDone.load(); };
            break;
    }
    ASSERT_TRUE(Eventually(aBusy)) << "A never got busy";

    // B's calls all return while A is still busy.
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(CallAmplifier(c.call, hb, b->Name()), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    }
    EXPECT_TRUE(aBusy()) << "B's calls returned only after A's work had ended";

    // A recovers on its own once its work ends.
    a->ClearFaults();
    if (aCaller.joinable()) aCaller.join();
    if (c.busy == Busy::Reconnect) {
        EXPECT_TRUE(Recorder::Instance().WaitFor(
            ha, [](const HandleRecord& r) { return !r.states.empty() && r.states.back() == MIVOBLE_CONNECTION_CONNECTED; }));
    }
    EXPECT_EQ(CallAmplifier(c.call, ha, a->Name()), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
}

INSTANTIATE_TEST_SUITE_P(
    WhileABusy, OtherAmplifierTest,
    Values(Case{Busy::Reconnect, Call::Frame}, Case{Busy::Reconnect, Call::DeviceInformation},
           Case{Busy::Reconnect, Call::ListImages}, Case{Busy::HungOperation, Call::Frame},
           Case{Busy::HungOperation, Call::DeviceInformation}, Case{Busy::HungOperation, Call::ListImages},
           Case{Busy::Upload, Call::Frame}, Case{Busy::Upload, Call::DeviceInformation},
           Case{Busy::Upload, Call::ListImages}),
    [](const ::testing::TestParamInfo<Case>& info) {
        return std::string(Name(info.param.busy)) + "_" + Name(info.param.call);
    });

// Opens from four threads at once, each amplifier with a slow service discovery.
class ParallelOpenTest : public DeviceTest {};

TEST_F(ParallelOpenTest, FourThreadsOpenAtOnceAndOneNameIsOpenedOnce) {
    struct Row {
        const char* label;
        std::vector<int> amplifierOfThread;  // which amplifier each of the four threads opens
        size_t handles;                      // distinct handles expected
    } rows[] = {
        {"four amplifiers", {0, 1, 2, 3}, 4},
        {"two amplifiers, each named twice", {0, 0, 1, 1}, 2},
    };
    constexpr auto kDiscovery = 1500ms;
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
        // Every amplifier being opened is in service discovery at the same time.
        std::set<int> opened(row.amplifierOfThread.begin(), row.amplifierOfThread.end());
        EXPECT_TRUE(Eventually([&] {
            for (int i : opened)
                if (amps[i]->PendingOperations() == 0) return false;
            return true;
        })) << "the discoveries ran one after the other";
        for (auto& t : threads) t.join();
        const auto took = Clock::now() - start;
        EXPECT_LT(took, 2 * kDiscovery);

        std::set<MIVOBLE_HANDLE> distinct;
        for (int t = 0; t < 4; ++t) {
            EXPECT_EQ(results[t], MIVOBLE_OK) << "thread " << t;
            distinct.insert(handles[t]);
        }
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
        t.taskBudgetMs = 300;
        t.gatt.taskBudgetMs = 300;
        // The bounds lie beyond budget and tolerance: a task that waits them out overruns.
        t.fromAddressBoundMs = 3000;
        t.gatt.subscribeBoundMs = 3000;
        t.lane.poll = 20ms;
        t.lane.overrunTolerance = 1000ms;
        t.lane.stallLimit = 2000ms;
        return t;
    }
};

TEST_F(WedgeTest, WedgedAmplifierFailsItsOwnCallsOnly) {
    struct Row {
        const char* label;
        const char* hang;       // A's operation that never answers
        const char* task;       // the task that overruns
        bool byReconnect;       // triggered by a reconnect, else by a command frame
    } rows[] = {
        {"reconnect", Sim::kOpFromAddress, "FromBluetoothAddress", true},
        {"command frame", Sim::kOpCccd, "Subscribe", false},
    };
    Sim::AmplifierConfig nus;
    nus.gen = Sim::Generation::Nus;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        auto a = AddAmplifier(nus);
        auto b = AddAmplifier(nus);
        MIVOBLE_HANDLE ha = OpenOrFail(a->Name());
        MIVOBLE_HANDLE hb = OpenOrFail(b->Name());
        const std::weak_ptr<BleDevice> deviceB = factory_->Last();
        const MIVOBLE_HANDLE registeredA = ha;
        const int wedgedBefore = log_.Count("ERROR", "executor WEDGED");
        const int leakedBefore = log_.Count("ERROR", ": Bluetooth transport unresponsive; leaking the device object");

        a->Hang(row.hang);
        if (row.byReconnect) {
            a->DropLink();
            // The reconnect attempts fail fast from then on; the link is gone, so A's calls fail
            // at their characteristic lookup.
            EXPECT_TRUE(log_.WaitFor("WARN ", "device '" + a->Name() +
                                                  "': reconnect attempt 2 failed (Bluetooth worker thread is "
                                                  "unresponsive; restart required.)"));
            EXPECT_EQ(CallAmplifier(Call::Frame, ha, a->Name()), 3);
        } else {
            // The caller waiting on the stuck task gives up, and later calls fail at once.
            for (Call call : {Call::Frame, Call::ListImages}) {
                SCOPED_TRACE(Name(call));
                EXPECT_EQ(CallAmplifier(call, ha, a->Name()), 3);
                EXPECT_STREQ(MIVOBLE_GetLastErrorText(), kUnresponsive);
            }
        }
        EXPECT_EQ(log_.Count("ERROR", std::string("executor WEDGED: task '") + row.task + "' overran its 300 ms budget."),
                  1);

        for (Call call : {Call::Frame, Call::DeviceInformation, Call::ListImages}) {
            SCOPED_TRACE(Name(call));
            EXPECT_EQ(CallAmplifier(call, hb, b->Name()), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        }
        auto c = AddAmplifier(nus);
        MIVOBLE_HANDLE hc = OpenOrFail(c->Name());
        EXPECT_EQ(CallAmplifier(Call::Frame, hc, c->Name()), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();

        // The wedged device is leaked on close; the others are destroyed.
        EXPECT_EQ(Close(ha), MIVOBLE_OK);
        EXPECT_EQ(Close(hb), MIVOBLE_OK);
        EXPECT_EQ(Close(hc), MIVOBLE_OK);
        EXPECT_TRUE(deviceB.expired());
        EXPECT_EQ(log_.Count("ERROR", "handle " + std::to_string(registeredA) +
                                          ": Bluetooth transport unresponsive; leaking the device object"),
                  1);
        EXPECT_EQ(log_.Count("ERROR", ": Bluetooth transport unresponsive; leaking the device object"), leakedBefore + 1);
        EXPECT_EQ(log_.Count("ERROR", "executor WEDGED"), wedgedBefore + 1);
    }
}

}  // namespace
}  // namespace Mivo::BLE::Testing
