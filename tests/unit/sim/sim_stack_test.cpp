// The simulated stack through the platform seam: adapter and radio, advertising, GATT
// tables of both generations, device information, configuration records, the NUS
// responder, SMP over the characteristic, threads and the handler-removal promise.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>

#include "platform/sim/sim_wire.h"
#include "sim_test_client.h"

namespace {

using namespace SimTest;
using namespace Mivo::BLE;
using namespace Mivo::BLE::Sim;
using Platform::AdvertisementEvent;
using Platform::CccdValue;
using Platform::WriteOption;

TEST(SimAdapter, AdapterRadioAndThreads) {
    auto sim = MakeSimStack("adapter=present");
    auto adapter = Await(sim->GetDefaultAdapterAsync());
    ASSERT_TRUE(adapter);
    auto radio = Await(adapter->GetRadioAsync());
    ASSERT_TRUE(radio);
    EXPECT_EQ(radio->State(), Platform::RadioState::On);
    sim->SetRadioOn(false);
    EXPECT_EQ(radio->State(), Platform::RadioState::Off);
    sim->SetAdapterPresent(false);
    EXPECT_EQ(Await(sim->GetDefaultAdapterAsync()), nullptr);
    EXPECT_THROW(sim->CreateAdvertisementWatcher()->Start(), Platform::PlatformError);

    EXPECT_EQ(MakeSimStack("radio=off")->RadioOn(), false);
    EXPECT_EQ(Await(MakeSimStack("adapter=none")->GetDefaultAdapterAsync()), nullptr);

    // Background work runs on a pool thread.
    std::promise<std::thread::id> ran;
    ASSERT_TRUE(sim->RunOnThreadPool([&] { ran.set_value(std::this_thread::get_id()); }));
    EXPECT_NE(ran.get_future().get(), std::this_thread::get_id());
}

TEST(SimAdapter, OperationsCompleteOnSimulatorThreads) {
    auto sim = MakeSimStack("A1,gen=nus,interval=2");
    auto link = Open(*sim, "A1");
    sim->Find("A1")->Delay(kOpRead, 5ms);
    auto op = link->Char("2A19")->ReadValueAsync();
    std::promise<std::thread::id> completedOn;
    std::atomic<bool> installing{true};
    op->SetCompleted([&](AsyncStatus) {
        EXPECT_FALSE(installing) << "completed before the handler was installed";
        completedOn.set_value(std::this_thread::get_id());
    });
    installing = false;
    EXPECT_NE(completedOn.get_future().get(), std::this_thread::get_id());
}

class Watch {
public:
    explicit Watch(Platform::IStack& stack, Platform::ScanningMode mode = Platform::ScanningMode::Active)
        : watcher_(stack.CreateAdvertisementWatcher()) {
        watcher_->SetScanningMode(mode);
        token_ = watcher_->AddReceived([this](const AdvertisementEvent& e) { events.Push(e); });
        watcher_->Start();
    }
    ~Watch() {
        watcher_->Stop();
        watcher_->RemoveReceived(token_);
    }
    std::vector<AdvertisementEvent> Of(uint64_t address) {
        std::vector<AdvertisementEvent> out;
        for (auto& e : events.Items())
            if (e.address == address) out.push_back(e);
        return out;
    }
    Queue<AdvertisementEvent> events;
    std::shared_ptr<Platform::IAdvertisementWatcher> watcher_;
    Platform::EventToken token_ = 0;
};

TEST(SimAdvertising, ContentAndInterval) {
    auto sim = MakeSimStack("MV-A,adv=20;MV-B,adv=20,connectable=0,addr=12:34:56:78:9A:BC");
    auto a = sim->Find("MV-A");
    Watch watch(*sim);
    EXPECT_EQ(watch.watcher_->Status(), Platform::WatcherStatus::Started);
    auto start = Clock::now();
    ASSERT_TRUE(
        WaitUntil([&] { return watch.Of(a->Address()).size() >= 11 && watch.Of(0x123456789ABCull).size() >= 2; }));
    auto elapsed = Clock::now() - start;
    auto ofA = watch.Of(a->Address());
    EXPECT_EQ(ofA[0].localName, "MV-A");
    EXPECT_TRUE(ofA[0].connectable);
    EXPECT_EQ(a->Address(), AddressFromName("MV-A"));
    auto ofB = watch.Of(0x123456789ABCull);
    EXPECT_EQ(ofB[0].localName, "MV-B");
    EXPECT_FALSE(ofB[0].connectable);
    // Eleven advertisements at 20 ms take at least 180 ms (first one may come at once).
    EXPECT_GE(elapsed, 180ms);
    EXPECT_LT(elapsed, 5000ms);
    EXPECT_GE(a->AdvertisementsSent(), 11u);

    // A passive scan gets no names (they travel in the scan response).
    Watch passive(*sim, Platform::ScanningMode::Passive);
    ASSERT_TRUE(passive.events.WaitSize(1));
    EXPECT_EQ(passive.events.At(0).localName, "");
}

TEST(SimAdvertising, SilenceRenameReaddressAndRadio) {
    auto sim = MakeSimStack("MV-C,adv=10");
    auto amp = sim->Find("MV-C");
    uint64_t oldAddress = amp->Address();
    {
        Watch watch(*sim);
        amp->SetAdvertisedName("MV-C2");
        amp->SetAddress(0xC0FFEE000001ull);
        ASSERT_TRUE(WaitUntil([&] { return !watch.Of(0xC0FFEE000001ull).empty(); }));
        EXPECT_EQ(watch.Of(0xC0FFEE000001ull)[0].localName, "MV-C2");
    }
    EXPECT_EQ(Await(sim->FromBluetoothAddressAsync(oldAddress)), nullptr);
    ASSERT_TRUE(Await(sim->FromBluetoothAddressAsync(0xC0FFEE000001ull)));
    EXPECT_EQ(Await(sim->FromBluetoothAddressAsync(0x010203040506ull)), nullptr);

    // Stop advertising: the count no longer grows (checked over 10 intervals), and a
    // silent amplifier cannot be connected.
    amp->SetAdvertising(false);
    size_t before = amp->AdvertisementsSent();
    auto ticker = MakeSimStack("Ticker,adv=10");
    Watch other(*ticker);
    ASSERT_TRUE(other.events.WaitSize(10));
    EXPECT_LE(amp->AdvertisementsSent(), before + 1);  // one may have been on its way
    auto device = Await(sim->FromBluetoothAddressAsync(amp->Address()));
    ASSERT_TRUE(device);
    EXPECT_EQ(Await(device->GetGattServicesAsync()).status, GattStatus::Unreachable);

    // Radio off aborts a running watcher.
    amp->SetAdvertising(true);
    Watch watch(*sim);
    sim->SetRadioOn(false);
    EXPECT_EQ(watch.watcher_->Status(), Platform::WatcherStatus::Aborted);
}

TEST(SimGatt, TablesOfEachGeneration) {
    auto sim = MakeSimStack("L,gen=legacy;N,gen=nus;B,gen=both;X,gen=neither");
    std::string dis = Key("180A"), bas = Key("180F"), data = Key(kDataService), nus = Key(kNusService),
                smp = Key(kSmpService);
    auto legacy = Open(*sim, "L");
    EXPECT_EQ(legacy->services, (std::vector<std::string>{dis, bas, data, smp}));
    EXPECT_EQ(legacy->characteristicsOf[dis],
              (std::vector<std::string>{Key("2A24"), Key("2A25"), Key("2A26"), Key("2A27"), Key("2A29")}));
    EXPECT_EQ(legacy->characteristicsOf[bas], (std::vector<std::string>{Key("2A19")}));
    EXPECT_EQ(legacy->characteristicsOf[data],
              (std::vector<std::string>{Key(kSample), Key(kAmpConfig), Key(kPayloadConfig), Key(kChannelConfig),
                                        Key(kFilterConfig)}));
    EXPECT_EQ(legacy->characteristicsOf[smp], (std::vector<std::string>{Key(kSmp)}));

    auto n = Open(*sim, "N");
    EXPECT_EQ(n->services, (std::vector<std::string>{dis, bas, data, nus, smp}));
    EXPECT_EQ(n->characteristicsOf[data], (std::vector<std::string>{Key(kSample)}));
    EXPECT_EQ(n->characteristicsOf[nus], (std::vector<std::string>{Key(kNusRx), Key(kNusTx)}));

    auto both = Open(*sim, "B");
    EXPECT_EQ(both->services, (std::vector<std::string>{dis, bas, data, nus, smp}));
    EXPECT_TRUE(both->Has(kAmpConfig));
    EXPECT_TRUE(both->Has(kNusTx));

    auto neither = Open(*sim, "X");
    EXPECT_EQ(neither->services, (std::vector<std::string>{dis, bas, smp}));
}

TEST(SimGatt, DeviceInformationBatteryAndAccessRules) {
    std::string longModel(300, 'M');
    auto sim = MakeSimStack("MV-2401.00.07,model=" + longModel + ",fw=3.2.1,hw=B,maker=ACME,battery=42");
    auto link = Open(*sim, "MV-2401.00.07");
    auto text = [](const Bytes& b) { return std::string(b.begin(), b.end()); };
    EXPECT_EQ(text(link->Read("2A24")), longModel);
    EXPECT_EQ(text(link->Read("2A25")), "MV-2401.00.07");
    EXPECT_EQ(text(link->Read("2A26")), "3.2.1");
    EXPECT_EQ(text(link->Read("2A27")), "B");
    EXPECT_EQ(text(link->Read("2A29")), "ACME");
    EXPECT_EQ(link->Read("2A19"), Bytes{42});
    sim->Find("MV-2401.00.07")->SetAdvertisedName("MV-renamed");
    EXPECT_EQ(text(link->Read("2A25")), "MV-renamed");

    // Battery notifications once subscribed.
    Subscription battery(link->Char("2A19"));
    sim->Find("MV-renamed")->SetBattery(41);
    ASSERT_TRUE(battery.values.WaitSize(1));
    EXPECT_EQ(battery.values.At(0), Bytes{41});

    // Not readable, not writable, no CCCD: a protocol error, not a crash or success.
    EXPECT_EQ(Await(link->Char(kSample)->ReadValueAsync()).status, GattStatus::ProtocolError);
    EXPECT_EQ(Await(link->Char("2A24")->WriteValueWithResultAsync({1}, WriteOption::WithResponse)),
              GattStatus::ProtocolError);
    EXPECT_EQ(Await(link->Char("2A24")->WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue::Notify)),
              GattStatus::ProtocolError);
}

TEST(SimGatt, ConnectionStatusAndClose) {
    auto sim = MakeSimStack("MV-S");
    auto amp = sim->Find("MV-S");
    auto link = Open(*sim, "MV-S");
    ASSERT_TRUE(link->statusEvents.WaitSize(1));
    EXPECT_EQ(link->statusEvents.At(0), static_cast<int>(Platform::ConnectionStatus::Connected));
    EXPECT_EQ(link->device->GetConnectionStatus(), Platform::ConnectionStatus::Connected);
    EXPECT_TRUE(amp->IsConnected());
    EXPECT_EQ(amp->ConnectCount(), 1);

    // A second device object for the same amplifier shares the link; closing one keeps it.
    auto second = Open(*sim, "MV-S");
    EXPECT_EQ(amp->ConnectCount(), 1);
    second->device->Close();
    EXPECT_EQ(second->device->GetConnectionStatus(), Platform::ConnectionStatus::Disconnected);
    EXPECT_EQ(Await(second->Char("2A19")->ReadValueAsync()).status, GattStatus::Unreachable);
    link->Read("2A19");
    link->device->Close();
    ASSERT_TRUE(WaitUntil([&] { return !amp->IsConnected(); }));
    // Discovery on a closed device connects again.
    EXPECT_EQ(Await(link->device->GetGattServicesAsync()).status, GattStatus::Success);
    EXPECT_EQ(amp->ConnectCount(), 2);
}

struct Record {
    uint16_t id;
    uint8_t type, index;
    float scale;
};
Record DecodeChannel(const Bytes& b) {
    Record r{};
    r.id = static_cast<uint16_t>(b[0] | b[1] << 8);
    r.type = b[2];
    r.index = b[3];
    std::memcpy(&r.scale, b.data() + 4, 4);
    return r;
}

TEST(SimRecords, LegacyConfiguration) {
    auto sim = MakeSimStack("MV-R,channels=3,counter=1,frames=2,rate=500,filters=2");
    auto link = Open(*sim, "MV-R");
    // 500 Hz, 4 channels (3 + counter), payload 4*2*3 = 24 bytes, 8 values, 2 filters.
    EXPECT_EQ(link->Read(kAmpConfig),
              (Bytes{0xF4, 0x01, 0x04, 0x00, 0, 0, 0, 0, 0x18, 0x00, 0x04, 0x00, 0x08, 0x00, 0x02, 0x00}));

    Subscription channels(link->Char(kChannelConfig));
    ASSERT_TRUE(channels.values.WaitSize(4));
    for (size_t i = 0; i < 4; ++i) {
        auto r = DecodeChannel(channels.values.At(i));
        EXPECT_EQ(channels.values.At(i).size(), 8u);
        EXPECT_EQ(r.id, i + 1);
        EXPECT_EQ(r.type, i < 3 ? 1 : 5);
        if (i == 3) EXPECT_EQ(r.scale, 1.0f);
        else EXPECT_GT(r.scale, 0.0f);
    }
    Subscription payload(link->Char(kPayloadConfig));
    ASSERT_TRUE(payload.values.WaitSize(8));
    // Frame-major: (1,0) (2,0) (3,0) (4,0) (1,1) ...
    EXPECT_EQ(payload.values.At(0), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(payload.values.At(3), (Bytes{4, 0, 0, 0}));
    EXPECT_EQ(payload.values.At(4), (Bytes{1, 0, 1, 0}));
    EXPECT_EQ(payload.values.At(7), (Bytes{4, 0, 1, 0}));
    Subscription filters(link->Char(kFilterConfig));
    ASSERT_TRUE(filters.values.WaitSize(2));
    EXPECT_EQ(filters.values.At(0).size(), 16u);
    EXPECT_EQ(filters.values.At(1)[0], 2);
    // Exactly the announced counts, no more.
    Subscription again(link->Char("2A19"));  // one more round trip after the records
    EXPECT_EQ(channels.values.Size(), 4u);
    EXPECT_EQ(payload.values.Size(), 8u);
}

TEST(SimRecords, ScriptedOrderCountShortAndRaw) {
    auto sim = MakeSimStack("MV-Q,channels=8");
    auto amp = sim->Find("MV-Q");
    amp->SetConfigRecordScript(RecordKind::Channel,
                               {{8, {}, {}}, {0, 6, {}}, {1, {}, {}}, {0, {}, Bytes{5, 0, 1, 9, 0, 0, 0x80, 0x3F}}});
    auto link = Open(*sim, "MV-Q");
    Subscription channels(link->Char(kChannelConfig));
    ASSERT_TRUE(channels.values.WaitSize(4));
    EXPECT_EQ(DecodeChannel(channels.values.At(0)).id, 9);  // the counter first
    EXPECT_EQ(channels.values.At(1).size(), 6u);            // cut short
    EXPECT_EQ(DecodeChannel(channels.values.At(2)).id, 2);
    EXPECT_EQ(channels.values.At(3), (Bytes{5, 0, 1, 9, 0, 0, 0x80, 0x3F}));
    EXPECT_EQ(amp->NaturalRecord(RecordKind::Channel, 1), channels.values.At(2));
    // The amplifier configuration still announces the natural count.
    EXPECT_EQ(link->Read(kAmpConfig)[10], 9);
}

// ---- NUS ----

Bytes Frame(uint8_t command, const Bytes& payload) {
    Bytes f;
    f.reserve(payload.size() + 6);
    f = {0xF0, static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size()), command};
    f.insert(f.end(), payload.begin(), payload.end());
    uint16_t crc = Sim::Wire::Crc16CcittFalse(f.data() + 1, f.size() - 1);
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc));
    return f;
}

class NusTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = MakeSimStack("MV-N,gen=nus,interval=2");
        amp_ = sim_->Find("MV-N");
        link_ = Open(*sim_, "MV-N");
        tx_ = std::make_unique<Subscription>(link_->Char(kNusTx));
    }
    void Send(const Bytes& frame) {
        EXPECT_EQ(Await(link_->Char(kNusRx)->WriteValueWithResultAsync(frame, WriteOption::WithoutResponse)),
                  GattStatus::Success);
    }
    Bytes Next(size_t index) {
        EXPECT_TRUE(tx_->values.WaitSize(index + 1));
        return tx_->values.Size() > index ? tx_->values.At(index) : Bytes{};
    }
    std::shared_ptr<SimStack> sim_;
    std::shared_ptr<Amplifier> amp_;
    std::unique_ptr<Link> link_;
    std::unique_ptr<Subscription> tx_;
};

TEST_F(NusTest, CommandsAnswerWithOneFrameEach) {
    Send({0xF0, 0x00, 0x02, 0x10, 0x01, 0x02, 0xAC, 0x74});
    EXPECT_EQ(Next(0), (Bytes{0xF0, 0x00, 0x01, 0x10, 0x00, 0x2A, 0xA1, 0xF3}));
    Send(Frame(0x01, {9, 8, 7}));
    EXPECT_EQ(Next(1), Sim::Wire::BuildResponseFrame(0x01, 0, {9, 8, 7}));
    Send(Frame(0x33, {1}));
    EXPECT_EQ(Next(2), Sim::Wire::BuildResponseFrame(0x33, 0xFF, {}));
    Send(Frame(0x20, {2, 0, 4, 2, 0, 0, 250}));  // 2 bytes per sample: refused
    EXPECT_EQ(Next(3), Sim::Wire::BuildResponseFrame(0x20, 1, {}));
    Send(Frame(0x20, {2, 0, 4, 4, 1, 0x01, 0xF4}));
    EXPECT_EQ(Next(4), Sim::Wire::BuildResponseFrame(0x20, 0, {}));
    auto layout = amp_->Layout();
    EXPECT_EQ(layout.channels, 2);
    EXPECT_EQ(layout.frames, 4);
    EXPECT_EQ(layout.bytesPerSample, 4);
    EXPECT_TRUE(layout.littleEndian);
    EXPECT_EQ(layout.rate, 500);
    // A malformed request (bad CRC) gets no answer: the next notification answers the next request.
    Send({0xF0, 0x00, 0x02, 0x10, 0x01, 0x02, 0xAC, 0x75});
    Send(Frame(0x01, {0x55}));
    EXPECT_EQ(Next(5), Sim::Wire::BuildResponseFrame(0x01, 0, {0x55}));
    EXPECT_EQ(amp_->NusRequestsReceived(), 7u);
}

// One packet carries MTU - 3 bytes (20 at MTU 23): longer writes without response are
// refused, long writes with response go up to 512 bytes, long answers and sample payloads
// are split or cut as a real link does, and a layout whose payload needs more is refused.
TEST(SimPacketTest, NotificationsAndWritesFollowTheMtu) {
    auto sim = MakeSimStack("MV-M,gen=nus,interval=1,mtu=23;MV-L,interval=1,mtu=23");
    auto link = Open(*sim, "MV-M");
    Subscription tx(link->Char(kNusTx));
    auto rx = link->Char(kNusRx);
    auto write = [&](const Bytes& value, WriteOption option) {
        return Await(rx->WriteValueWithResultAsync(value, option));
    };

    EXPECT_EQ(write(Frame(0x01, Bytes(15, 1)), WriteOption::WithoutResponse), GattStatus::ProtocolError);  // 21 bytes
    EXPECT_EQ(write(Frame(0x01, Bytes(14, 1)), WriteOption::WithoutResponse), GattStatus::Success);        // 20 bytes
    ASSERT_TRUE(tx.values.WaitSize(2));  // its 21-byte answer: 20 + 1
    Bytes payload(500);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(write(Frame(0x01, payload), WriteOption::WithResponse), GattStatus::Success);           // 506 bytes
    EXPECT_EQ(write(Frame(0x01, Bytes(507)), WriteOption::WithResponse), GattStatus::ProtocolError);  // 513
    EXPECT_EQ(write(Frame(0x20, {8, 0, 1, 3, 0, 0, 250}), WriteOption::WithoutResponse), GattStatus::Success);

    // Answers: 21 bytes in 2 notifications, 507 bytes in 26, the refused layout's 7 bytes in 1.
    ASSERT_TRUE(tx.values.WaitSize(2 + 26 + 1)) << tx.values.Size();
    Bytes joined;
    for (auto& v : tx.values.Items()) {
        EXPECT_LE(v.size(), 20u);
        joined.insert(joined.end(), v.begin(), v.end());
    }
    Bytes want = Sim::Wire::BuildResponseFrame(0x01, 0, Bytes(14, 1));
    Bytes echo = Sim::Wire::BuildResponseFrame(0x01, 0, payload);
    want.insert(want.end(), echo.begin(), echo.end());
    Bytes refused = Sim::Wire::BuildResponseFrame(0x20, 1, {});  // 8 x 3 bytes do not fit 20
    want.insert(want.end(), refused.begin(), refused.end());
    EXPECT_EQ(joined, want);
    EXPECT_EQ(sim->Find("MV-M")->NusRequestsReceived(), 3u);

    // Legacy: 8 channels and the counter are 27 bytes; the notification carries the first 20.
    auto legacy = Open(*sim, "MV-L");
    Subscription samples(legacy->Char(kSample));
    ASSERT_TRUE(samples.values.WaitSize(2));
    EXPECT_EQ(samples.values.At(0).size(), 20u);
    EXPECT_GE(sim->Find("MV-L")->NotificationsCut(), 2u);
}

TEST_F(NusTest, ScriptedResponses) {
    Bytes answer = Sim::Wire::BuildResponseFrame(0x10, 0, {0x2A});
    Bytes request = Frame(0x10, {1, 2});

    NusResponseScript late;
    late.delay = 120ms;
    amp_->ScriptNusResponse(late);
    auto sent = Clock::now();
    Send(request);
    EXPECT_EQ(Next(0), answer);
    EXPECT_GE(tx_->values.Stamps()[0] - sent, 120ms);

    NusResponseScript never;
    never.never = true;
    amp_->ScriptNusResponse(never);
    NusResponseScript bad;
    bad.badCrc = true;
    amp_->ScriptNusResponse(bad);
    NusResponseScript trailing;
    trailing.trailing = {0x00, 0x01};
    amp_->ScriptNusResponse(trailing);
    NusResponseScript unsolicited;
    unsolicited.unsolicited = Bytes{0xAA, 0xBB};
    amp_->ScriptNusResponse(unsolicited);

    Send(request);  // never answered
    Send(request);  // bad CRC
    Bytes badCrc = answer;
    badCrc.back() ^= 0xFF;
    EXPECT_EQ(Next(1), badCrc);
    Send(request);
    Bytes withTrailing = answer;
    withTrailing.insert(withTrailing.end(), {0x00, 0x01});
    EXPECT_EQ(Next(2), withTrailing);
    Send(request);
    EXPECT_EQ(Next(3), (Bytes{0xAA, 0xBB}));
    EXPECT_EQ(Next(4), answer);
    Send(request);  // scripts used up: normal again
    EXPECT_EQ(Next(5), answer);

    amp_->SendNusUnsolicited({0x01});
    EXPECT_EQ(Next(6), Bytes{0x01});
}

// ---- SMP over the characteristic ----

TEST(SimSmpOverGatt, UploadTestResetAndSplitResponses) {
    auto sim = MakeSimStack("MV-U,gen=nus,interval=1,reset_ms=20,boot_ms=20");
    auto amp = sim->Find("MV-U");
    auto link = Open(*sim, "MV-U");
    auto smp = std::make_unique<Subscription>(link->Char(kSmp));
    size_t seen = 0;
    uint8_t sequence = 0;
    // One request, one reply gathered from notifications by the header's length.
    auto exchange = [&](uint8_t op, uint16_t group, uint8_t command, const Bytes& body, size_t* parts = nullptr) {
        Sim::Wire::SmpHeader h;
        h.op = op;
        h.group = group;
        h.command = command;
        h.sequence = sequence++;
        EXPECT_EQ(Await(link->Char(kSmp)->WriteValueWithResultAsync(Sim::Wire::BuildSmpFrame(h, body),
                                                                    WriteOption::WithoutResponse)),
                  GattStatus::Success);
        Bytes reply;
        size_t n = 0;
        while (reply.size() < 8 || reply.size() < 8u + ((reply[2] << 8) | reply[3])) {
            if (!smp->values.WaitSize(seen + 1)) return Sim::Wire::CborValue{};
            auto piece = smp->values.At(seen++);
            reply.insert(reply.end(), piece.begin(), piece.end());
            ++n;
        }
        if (parts) *parts = n;
        EXPECT_EQ(reply[6], h.sequence);
        auto v = Sim::Wire::DecodeCbor(reply.data() + 8, reply.size() - 8);
        EXPECT_TRUE(v);
        return v ? *v : Sim::Wire::CborValue{};
    };

    size_t parts = 0;
    auto list = exchange(0, 1, 0, {0xA0}, &parts);
    ASSERT_TRUE(list.Find("images"));
    EXPECT_EQ(list.Find("images")->items.at(0).Find("version")->bytes, "1.0.0");
    EXPECT_EQ(parts, 1u);
    amp->SetSmpSplit(3);
    exchange(0, 1, 0, {0xA0}, &parts);
    EXPECT_EQ(parts, 3u);
    amp->SetSmpSplit(1);

    // Upload 4 KB in the client's chunk sizes.
    Bytes body(4000);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i ^ (i >> 8));
    Bytes image = Sim::Wire::BuildImage({1, 1, 0, 0}, body);
    Bytes sha = Sim::Wire::Sha256(image);
    size_t off = 0;
    while (off < image.size()) {
        auto reply = exchange(2, 1, 1, UploadRequestBody(image, off, sha, nullptr));
        ASSERT_FALSE(reply.Find("rc")) << "at offset " << off;
        ASSERT_TRUE(reply.Find("off"));
        off = reply.Find("off")->number;
    }
    auto images = amp->Images();
    ASSERT_TRUE(images[1].present);
    EXPECT_EQ(images[1].version, "1.1.0");
    EXPECT_EQ(images[1].data, image);

    // Echo, test, reset: the link drops and the tested image runs after the reboot.
    Sim::Wire::CborWriter echo;
    echo.Map(1);
    echo.Text("d");
    echo.Text("ping");
    EXPECT_EQ(exchange(2, 0, 0, echo.Data()).Find("r")->bytes, "ping");
    Sim::Wire::CborWriter test;
    test.Map(2);
    test.Text("hash");
    test.ByteString(images[1].hash);
    test.Text("confirm");
    test.Bool(false);
    exchange(2, 1, 0, test.Data());
    size_t statusBefore = link->statusEvents.Size();
    exchange(2, 0, 5, {0xA0});
    ASSERT_TRUE(link->statusEvents.WaitSize(statusBefore + 1));
    EXPECT_EQ(link->device->GetConnectionStatus(), Platform::ConnectionStatus::Disconnected);
    EXPECT_EQ(amp->ResetCount(), 1);
    smp.reset();
    ASSERT_TRUE(WaitUntil([&] {  // reconnects once it has booted
        return Await(link->device->GetGattServicesAsync()).status == GattStatus::Success;
    }));
    EXPECT_EQ(amp->Images()[0].version, "1.1.0");
    EXPECT_FALSE(amp->Images()[0].confirmed);
    Bytes fw = link->Read("2A26");
    EXPECT_EQ(std::string(fw.begin(), fw.end()), "1.1.0");
}

// ---- handler removal ----

TEST(SimHandlers, RemovalWaitsForARunningHandler) {
    auto sim = MakeSimStack("MV-H,rate=500");
    auto link = Open(*sim, "MV-H");
    auto sample = link->Char(kSample);
    std::mutex m;
    std::condition_variable cv;
    bool inHandler = false, release = false;
    std::atomic<int> calls{0};
    auto token = sample->AddValueChanged([&](const Bytes&) {
        ++calls;
        std::unique_lock<std::mutex> lock(m);
        inHandler = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    Subscription witness(sample);  // a second handler that keeps counting
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 3s, [&] { return inHandler; }));
    }
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        sample->RemoveValueChanged(token);
        removed = true;
    });
    // Remove must not return while the handler runs.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(removed.load());
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    remover.join();
    EXPECT_TRUE(removed.load());
    int after = calls.load();
    size_t witnessed = witness.values.Size();
    ASSERT_TRUE(witness.values.WaitSize(witnessed + 20));
    EXPECT_EQ(calls.load(), after);
}

TEST(SimHandlers, RemovalFromInsideTheHandlerReturns) {
    auto sim = MakeSimStack("MV-I,rate=500,adv=5");
    auto link = Open(*sim, "MV-I");
    auto sample = link->Char(kSample);
    std::promise<void> done;
    std::atomic<int> calls{0};
    Platform::EventToken token = 0;
    std::mutex tokenMutex;
    {
        std::lock_guard<std::mutex> lock(tokenMutex);
        token = sample->AddValueChanged([&](const Bytes&) {
            if (++calls != 1) return;
            std::lock_guard<std::mutex> l(tokenMutex);
            sample->RemoveValueChanged(token);
            done.set_value();
        });
    }
    Subscription witness(sample);
    ASSERT_EQ(done.get_future().wait_for(3s), std::future_status::ready);
    ASSERT_TRUE(witness.values.WaitSize(witness.values.Size() + 10));
    EXPECT_EQ(calls.load(), 1);

    // The same promise for link status and advertisement handlers.
    std::promise<void> statusDone;
    Platform::EventToken statusToken = 0;
    {
        std::lock_guard<std::mutex> lock(tokenMutex);
        statusToken = link->device->AddConnectionStatusChanged([&] {
            std::lock_guard<std::mutex> l(tokenMutex);
            link->device->RemoveConnectionStatusChanged(statusToken);
            statusDone.set_value();
        });
    }
    sim->Find("MV-I")->DropLink();
    ASSERT_EQ(statusDone.get_future().wait_for(3s), std::future_status::ready);

    auto watcher = sim->CreateAdvertisementWatcher();
    std::promise<void> advDone;
    std::atomic<int> advCalls{0};
    Platform::EventToken advToken = 0;
    {
        std::lock_guard<std::mutex> lock(tokenMutex);
        advToken = watcher->AddReceived([&](const AdvertisementEvent&) {
            if (++advCalls != 1) return;
            std::lock_guard<std::mutex> l(tokenMutex);
            watcher->RemoveReceived(advToken);
            advDone.set_value();
        });
    }
    watcher->Start();
    ASSERT_EQ(advDone.get_future().wait_for(3s), std::future_status::ready);
    watcher->Stop();
    EXPECT_EQ(advCalls.load(), 1);
}

TEST(SimHandlers, StatusRemovalWaitsForARunningHandler) {
    auto sim = MakeSimStack("MV-J");
    auto link = Open(*sim, "MV-J");
    std::promise<void> entered;
    std::promise<void> leave;
    auto leaveFuture = leave.get_future().share();
    auto token = link->device->AddConnectionStatusChanged([&, leaveFuture] {
        entered.set_value();
        leaveFuture.wait();
    });
    sim->Find("MV-J")->DropLink();
    ASSERT_EQ(entered.get_future().wait_for(3s), std::future_status::ready);
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        link->device->RemoveConnectionStatusChanged(token);
        removed = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(removed.load());
    leave.set_value();
    remover.join();
    EXPECT_TRUE(removed.load());
}

// ---- lifetime ----

TEST(SimLifetime, DestroyWhileStreamingWithHungOperations) {
    std::shared_ptr<Platform::IGattCharacteristic> battery;
    AsyncOp<Platform::IGattCharacteristic::ReadResult> hung;
    std::unique_ptr<Link> link;
    std::unique_ptr<Subscription> samples;
    {
        auto sim = MakeSimStack("MV-D,rate=1000,hang=ReadValueAsync:2A19");
        link = Open(*sim, "MV-D");
        samples = std::make_unique<Subscription>(link->Char(kSample));
        ASSERT_TRUE(samples->values.WaitSize(5));
        battery = link->Char("2A19");
        hung = battery->ReadValueAsync();
        EXPECT_EQ(hung->WaitFor(20ms), AsyncStatus::Started);
    }  // the stack goes: its threads stop and join
    hung->Cancel();
    EXPECT_EQ(hung->Status(), AsyncStatus::Canceled);
    // Operations on objects that outlived the stack fail instead of hanging.
    auto late = battery->ReadValueAsync();
    EXPECT_NE(late->WaitFor(1s), AsyncStatus::Started);
}

}  // namespace

namespace {

// The library's stack is a process-wide static: leaving the process with an amplifier
// streaming and an operation hung must stop and join the simulator threads, not hang.
TEST(SimLifetimeDeathTest, ProcessExitStopsTheLibrarysSimulator) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::setenv("MIVOBLE_BACKEND", "sim", 1);
            ::setenv("MIVOBLE_SIM", "MV-EXIT,rate=1000,hang=ReadValueAsync:2A19", 1);
            auto stack = Mivo::BLE::Sim::ActiveSimStack();
            if (!stack) std::exit(3);
            auto link = SimTest::Open(*stack, "MV-EXIT");
            SimTest::Subscription samples(link->Char(SimTest::kSample));
            if (!samples.values.WaitSize(5)) std::exit(4);
            auto hung = link->Char("2A19")->ReadValueAsync();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
