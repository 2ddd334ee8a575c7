// What a real bluetoothd with a real controller does, served by the fake bluetoothd with its
// realistic defaults, met through the C interface: a link left behind by a killed process,
// advertising reports once per discovery cycle, connects failing during a scan, notify
// sessions kept over a link loss, BlueZ without the MTU property, a switched-off first
// adapter, names replaced once connected, and errors as BlueZ words them. One process per
// scenario (the library's state is per process).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "integration/smp/smp_sim_support.h"
#include "mivoble/mivoble.h"
#include "support/fake_bluetoothd.h"
#include "support/fake_control.h"
#include "unit/log/temp_dir.h"

namespace Mivo::BLE::Testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kLegacy = "MV-2401.00.01";
constexpr const char* kNus = "MV-2401.00.02";
constexpr const char* kThird = "MV-2401.00.03";
constexpr const char* kDefaultAmplifiers = "MV-2401.00.01;MV-2401.00.02,gen=nus";
constexpr const char* kNusRx = "6E400002-B5A3-F393-E0A9-E50E24DCCA9E";
constexpr const char* kChannelConfiguration = "b5211408-449f-4ba0-a651-b887924b81e8";

// What the callbacks saw, for the scenario of this process.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t rows = 0;
    std::vector<uint32_t> states;
    std::vector<std::pair<Clock::time_point, std::set<std::string>>> lists;  // every discovered callback
} g_seen;

void OnRows(MIVOBLE_HANDLE, const float*, uint32_t rowCount, uint32_t) {
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    g_seen.rows += rowCount;
    g_seen.changed.notify_all();
}

void OnState(MIVOBLE_HANDLE, uint32_t state) {
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    g_seen.states.push_back(state);
    g_seen.changed.notify_all();
}

void OnDiscovered(const char* names, uint32_t count) {
    std::set<std::string> list;
    for (uint32_t i = 0; i < count; ++i) list.insert(std::string(names + i * MIVOBLE_DEVICENAME_LENGTH_MAX));
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    g_seen.lists.emplace_back(Clock::now(), std::move(list));
    g_seen.changed.notify_all();
}

template <typename Condition>
bool WaitUntil(std::chrono::milliseconds timeout, Condition condition) {
    std::unique_lock<std::mutex> lock(g_seen.mutex);
    return g_seen.changed.wait_for(lock, timeout, condition);
}

uint64_t Rows() {
    std::lock_guard<std::mutex> lock(g_seen.mutex);
    return g_seen.rows;
}

// The last discovered list holds `name`.
bool Listed(const std::string& name) { return !g_seen.lists.empty() && g_seen.lists.back().second.count(name) != 0; }

// One scenario's world: its fake bluetoothd (options and amplifiers of the scenario), the
// library pointed at it, a log file, and the fake's control interface.
class World {
public:
    World(const std::string& amplifiers, const std::vector<std::string>& options)
        : fake_(amplifiers, options), control_(fake_.Address()) {
        log_ = dir_ / "library.log";
        setenv("DBUS_SYSTEM_BUS_ADDRESS", fake_.Address().c_str(), 1);
        setenv("MIVOBLE_BACKEND", "bluez", 1);
        EXPECT_EQ(MIVOBLE_SetLogFile(log_.c_str()), MIVOBLE_OK);
    }
    FakeControl& Control() { return control_; }
    const std::string& BusAddress() const { return fake_.Address(); }
    std::string LogPath(const std::string& name) const { return dir_ / name; }
    std::string Log() const {
        std::ifstream in(log_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Opens `name`, registers both callbacks and waits for `rows` rows.
    MIVOBLE_HANDLE OpenAndStream(const char* name, uint64_t rows = 100) {
        MIVOBLE_HANDLE h = 0;
        EXPECT_EQ(MIVOBLE_OpenDevice(name, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        if (h == 0) return 0;
        EXPECT_EQ(MIVOBLE_RegisterConnectionStateCallback(h, OnState), MIVOBLE_OK);
        EXPECT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(h, OnRows), MIVOBLE_OK);
        const uint64_t start = Rows();
        EXPECT_TRUE(WaitUntil(10s, [&] { return g_seen.rows >= start + rows; })) << "no rows from " << name;
        return h;
    }

private:
    TempDir dir_;
    std::string log_;
    FakeBluetoothd fake_;
    FakeControl control_;
};

// A process that streams from `name` through the fake until it is killed.
class StreamingProcess : public ChildWithAddress {
public:
    StreamingProcess(const World& world, const char* name)
        : ChildWithAddress(MIVOBLE_STREAM_CLIENT_PATH, {name, world.LogPath("killed.log")}, "STREAMING=", std::nullopt,
                           {"DBUS_SYSTEM_BUS_ADDRESS=" + world.BusAddress(), "MIVOBLE_BACKEND=bluez"}) {}
};

struct Scenario {
    const char* name;
    const char* amplifiers;
    std::vector<std::string> options;                              // of the fake bluetoothd
    std::vector<std::pair<const char*, const char*>> environment;  // of this process
    std::function<void(World&)> body;
};

// bluetoothd owns the link: a killed host leaves the amplifier connected (and silent), and the
// next host finds it among BlueZ's connected devices and takes it over.
void TakeOverAfterKill(World& world) {
    {
        StreamingProcess killed(world, kLegacy);
        killed.Kill();
    }
    const std::string device = world.Control().DevicePath(kLegacy);
    ASSERT_TRUE(world.Control().WaitForBool(device, "org.bluez.Device1", "Connected", true, 0ms))
        << "the link was not left behind";
    MIVOBLE_HANDLE h = world.OpenAndStream(kLegacy);
    ASSERT_NE(h, 0u);
    MIVOBLE_DEVICE_INFORMATION info;
    ASSERT_EQ(MIVOBLE_GetDeviceInformation(h, &info), MIVOBLE_OK);
    EXPECT_STREQ(info.serialNumber, kLegacy);
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
}

// Reports come once per discovery cycle: listed amplifiers stay listed, a silent one leaves
// within the stale threshold and one cycle of its last report (pruned at another's report).
void ScanThroughDiscoveryCycles(World& world) {
    ASSERT_EQ(MIVOBLE_RegisterDeviceDiscoveredCallback(OnDiscovered), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_StartScanning(), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_TRUE(WaitUntil(15s, [] { return Listed(kLegacy) && Listed(kNus) && Listed(kThird); }));
    world.Control().SetAdvertising(kThird, false);
    const auto stopped = Clock::now();
    size_t from = 0;
    {
        std::lock_guard<std::mutex> lock(g_seen.mutex);
        from = g_seen.lists.size();
    }
    EXPECT_TRUE(WaitUntil(33s, [] { return !Listed(kThird); })) << "the silent amplifier was never removed";
    // The scan goes on for 33 s in all: no list may lack a steadily advertising amplifier.
    auto steadyMissing = [&] {
        for (size_t i = from; i < g_seen.lists.size(); ++i)
            if (!g_seen.lists[i].second.count(kLegacy) || !g_seen.lists[i].second.count(kNus)) return true;
        return false;
    };
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(stopped + 33s - Clock::now());
    EXPECT_FALSE(WaitUntil(std::max(left, 0ms), steadyMissing))
        << "a steadily advertising amplifier was reported removed";
    EXPECT_EQ(MIVOBLE_StopScanning(), MIVOBLE_OK);
}

// A connect during the application's scan: discovery pauses for it and resumes afterwards.
void OpenWhileScanning(World& world) {
    ASSERT_EQ(MIVOBLE_RegisterDeviceDiscoveredCallback(OnDiscovered), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_StartScanning(), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_TRUE(WaitUntil(15s, [] { return Listed(kLegacy) && Listed(kNus); }));
    MIVOBLE_HANDLE h = world.OpenAndStream(kLegacy);
    ASSERT_NE(h, 0u);
    // The scan goes on.
    EXPECT_TRUE(world.Control().WaitForBool("/org/bluez/hci0", "org.bluez.Adapter1", "Discovering", true, 5s))
        << "discovery did not resume";
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK);
    EXPECT_EQ(MIVOBLE_StopScanning(), MIVOBLE_OK);
}

// BlueZ before 5.62 has no MTU property: the link's MTU still carries a 300-byte frame in one
// packet, and each upload request in one packet, not in pieces of 20 bytes.
void WithoutMtuProperty(World& world) {
    ASSERT_EQ(MIVOBLE_SetDefaultGeneration(MIVOBLE_GENERATION_NUS), MIVOBLE_OK);
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kNus, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    std::vector<uint8_t> payload(300);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> response(512);
    uint16_t length = static_cast<uint16_t>(response.size());
    uint8_t status = 0xEE;
    ASSERT_EQ(MIVOBLE_SendFrame(h, 0x01, payload.data(), static_cast<uint16_t>(payload.size()), &status,
                                response.data(), &length, 3000),
              MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::vector<uint8_t>(response.begin(), response.begin() + length), payload);
    const Image image = BuildImage(2, 0, 1, 24 * 1024);
    ASSERT_EQ(
        MIVOBLE_UploadImage(h, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()), 0, nullptr, nullptr),
        MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    MIVOBLE_IMAGE_STATE images[4];
    uint32_t count = 4;
    ASSERT_EQ(MIVOBLE_ListImages(h, images, &count), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(count, 2u);
    EXPECT_STREQ(images[1].version, "2.0.1");
    auto counters = world.Control().Counters(kNus);
    EXPECT_EQ(counters["WriteRequests"], 0u);
    EXPECT_EQ(counters["WriteCommands"], counters["SmpRequests"] + counters["NusRequests"]);
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK);
}

// The adapter: the first powered one, or the one MIVOBLE_ADAPTER names.
void OnThePoweredAdapter(World& world) {
    ASSERT_EQ(MIVOBLE_RegisterDeviceDiscoveredCallback(OnDiscovered), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_StartScanning(), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_TRUE(WaitUntil(15s, [] { return Listed(kLegacy); }));
    EXPECT_EQ(MIVOBLE_StopScanning(), MIVOBLE_OK);
    MIVOBLE_HANDLE h = world.OpenAndStream(kLegacy);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(world.Control().WaitForBool(world.Control().DevicePath(kLegacy, "hci1"), "org.bluez.Device1",
                                            "Connected", true, 0ms));
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK);
}

void ExpectScanFails(int32_t code, const char* text) {
    EXPECT_EQ(MIVOBLE_StartScanning(), code);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), text);
    MIVOBLE_HANDLE h = 0;
    EXPECT_EQ(MIVOBLE_OpenDevice(kLegacy, &h), code);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), text);
}

// A link lost while the reconnect collects the configuration tables: bluetoothd would keep
// the notify sessions and arm them itself at the next connect, when the tables go unheard.
// The next round must get them.
void ReconnectAfterADropDuringConfiguration(World& world) {
    MIVOBLE_HANDLE h = world.OpenAndStream(kLegacy);
    ASSERT_NE(h, 0u);
    auto& control = world.Control();
    const std::string channels = control.CharacteristicPath(control.DevicePath(kLegacy), kChannelConfiguration);
    ASSERT_FALSE(channels.empty());
    control.SetKnob(kLegacy, "interval", "80");  // the tables take most of a second to arrive
    control.DropLink(kLegacy);
    ASSERT_TRUE(control.WaitForBool(channels, "org.bluez.GattCharacteristic1", "Notifying", true, 20s))
        << "no reconnect began";
    control.DropLink(kLegacy);
    control.SetKnob(kLegacy, "interval", "1");
    auto failedRounds = [&world] {
        const std::string log = world.Log();
        size_t count = 0;
        for (size_t at = log.find("connect attempt 1/1 failed"); at != std::string::npos;
             at = log.find("connect attempt 1/1 failed", at + 1))
            ++count;
        return count;
    };
    const size_t failedBefore = failedRounds();
    ASSERT_TRUE(WaitUntil(
        40s, [] { return std::count(g_seen.states.begin(), g_seen.states.end(), MIVOBLE_CONNECTION_CONNECTED) >= 1; }));
    const uint64_t rows = Rows();
    EXPECT_TRUE(WaitUntil(10s, [&] { return g_seen.rows >= rows + 100; }));
    // The round the drop cut short failed; the next one got its tables.
    EXPECT_EQ(failedRounds() - failedBefore, 1u) << world.Log();
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK);
}

// The amplifier's name is its GAP name while connected; a drop and reconnect still finds it.
void ReconnectWithAnotherGapName(World& world) {
    MIVOBLE_HANDLE h = world.OpenAndStream(kLegacy);
    ASSERT_NE(h, 0u);
    world.Control().DropLink(kLegacy);
    ASSERT_TRUE(
        WaitUntil(30s, [] { return !g_seen.states.empty() && g_seen.states.back() == MIVOBLE_CONNECTION_CONNECTED; }));
    const uint64_t rows = Rows();
    EXPECT_TRUE(WaitUntil(10s, [&] { return g_seen.rows >= rows + 100; }));
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK);
}

// An ATT error as BlueZ words it becomes a device error that says so.
void AttErrorOfARead(World& world) {
    for (int attempt = 0; attempt < 3; ++attempt)
        world.Control().AnswerAttError(kLegacy, "ReadValueAsync", "2A24", 0x80);
    MIVOBLE_HANDLE h = 0;
    EXPECT_EQ(MIVOBLE_OpenDevice(kLegacy, &h), MIVOBLE_ERROR_DEVICE);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "The device refused the request with ATT error 0x80.");
}

// A write that timed out is still pending in BlueZ: the next one waits for it, as a mature
// client retries on InProgress, instead of failing.
void WriteAfterATimedOutWrite(World& world) {
    ASSERT_EQ(MIVOBLE_SetDefaultGeneration(MIVOBLE_GENERATION_NUS), MIVOBLE_OK);
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kNus, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    std::vector<uint8_t> payload(300, 0x5A);  // longer than one packet: a write with response
    uint8_t status = 0;
    std::vector<uint8_t> response(512);
    uint16_t length = static_cast<uint16_t>(response.size());
    world.Control().Delay(kNus, "WriteValueAsync", 11000, kNusRx);
    EXPECT_NE(MIVOBLE_SendFrame(h, 0x01, payload.data(), 300, &status, response.data(), &length, 1000), MIVOBLE_OK);
    world.Control().ClearFaults(kNus);
    length = static_cast<uint16_t>(response.size());
    ASSERT_EQ(MIVOBLE_SendFrame(h, 0x01, payload.data(), 300, &status, response.data(), &length, 3000), MIVOBLE_OK)
        << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(std::vector<uint8_t>(response.begin(), response.begin() + length), payload);
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK);
}

// A second bluetoothd on the bus cannot own org.bluez; what it sends before giving up is
// not taken for BlueZ's, and the stream goes on.
void SecondBluetoothdIsIgnored(World& world) {
    MIVOBLE_HANDLE h = world.OpenAndStream(kLegacy);
    ASSERT_NE(h, 0u);
    EXPECT_THROW(FakeBluetoothd(world.BusAddress(), std::string(kDefaultAmplifiers)), std::runtime_error);
    const uint64_t rows = Rows();
    EXPECT_TRUE(WaitUntil(10s, [&] { return g_seen.rows >= rows + 200; }));
    EXPECT_TRUE(g_seen.states.empty()) << "the link was reported lost";
    EXPECT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK);
}

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> scenarios = {
        {"TakesOverALinkAKilledProcessLeft", kDefaultAmplifiers, {}, {}, TakeOverAfterKill},
        {"TakesOverALinkAKilledProcessLeftUnderItsGapName",
         kDefaultAmplifiers,
         {"--gap-name", "mivo amplifier"},
         {},
         TakeOverAfterKill},
        {"ScanKeepsSteadyAmplifiersAndDropsASilentOne",
         "MV-2401.00.01;MV-2401.00.02;MV-2401.00.03",
         {},
         {},
         ScanThroughDiscoveryCycles},
        {"OpensWhileTheApplicationScans", kDefaultAmplifiers, {}, {}, OpenWhileScanning},
        {"UploadsAndSendsLongFramesWithoutTheMtuProperty",
         "MV-2401.00.02,gen=nus,mtu=498",
         {"--bluez-version", "5.55"},
         {},
         WithoutMtuProperty},
        {"UsesTheFirstPoweredAdapter",
         kDefaultAmplifiers,
         {"--adapters", "hci0,hci1", "--unpowered", "hci0"},
         {},
         OnThePoweredAdapter},
        {"NamedAdapterSwitchedOff",
         kDefaultAmplifiers,
         {"--adapters", "hci0,hci1", "--unpowered", "hci0"},
         {{"MIVOBLE_ADAPTER", "hci0"}},
         [](World&) { ExpectScanFails(MIVOBLE_ERROR_ADAPTER, "Bluetooth adapter not enabled."); }},
        {"NamedAdapterAbsent",
         kDefaultAmplifiers,
         {"--adapters", "hci0,hci1"},
         {{"MIVOBLE_ADAPTER", "hci5"}},
         [](World&) { ExpectScanFails(MIVOBLE_ERROR_ADAPTER, "No Bluetooth adapter found."); }},
        {"ReconnectsAfterADropWhileTheTablesCome", kDefaultAmplifiers, {}, {}, ReconnectAfterADropDuringConfiguration},
        {"ReconnectsUnderAnotherGapName",
         kDefaultAmplifiers,
         {"--gap-name", "mivo amplifier"},
         {},
         ReconnectWithAnotherGapName},
        {"AttErrorSaysSo", kDefaultAmplifiers, {}, {}, AttErrorOfARead},
        {"WriteWaitsForATimedOutOne", kDefaultAmplifiers, {}, {}, WriteAfterATimedOutWrite},
        {"ASecondBluetoothdIsIgnored", kDefaultAmplifiers, {}, {}, SecondBluetoothdIsIgnored},
    };
    return scenarios;
}

void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

class BluezBehaviour : public ::testing::TestWithParam<Scenario> {};

TEST_P(BluezBehaviour, ThroughTheCInterface) {
    const Scenario& scenario = GetParam();
    for (auto& [name, value] : scenario.environment) setenv(name, value, 1);
    World world(scenario.amplifiers, scenario.options);
    scenario.body(world);
}

INSTANTIATE_TEST_SUITE_P(Realistic, BluezBehaviour, ::testing::ValuesIn(Scenarios()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Mivo::BLE::Testing
