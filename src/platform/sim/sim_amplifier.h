#pragma once
// The inside of one virtual amplifier: its GATT table, link state and timing, sample
// stream, configuration records, NUS responder, SMP server and scripted faults.
//
// Threads: a link thread runs everything that happens on air, in connection-interval
// steps (operations, notifications, stream ticks, drops); an event thread delivers
// notifications and link-status events to the host's handlers in order; results of
// operations are completed on the stack's completion pool. Nothing completes on the
// caller's thread.
//
// Files by concern: sim_amplifier.cpp (life, scripted faults, counters), sim_amplifier_link.cpp
// (advertising and link), sim_amplifier_gatt.cpp (GATT table and its operations),
// sim_amplifier_stream.cpp (legacy stream), sim_amplifier_nus.cpp (NUS responder),
// sim_amplifier_smp.cpp (SMP transport), sim_amplifier_battery.cpp (battery and device
// information).
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/async_operation.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_smp.h"
#include "platform/sim/sim_threads.h"
#include "platform/sim/sim_wire.h"
#include "platform/stack.h"

namespace Mivo::BLE::Sim::Detail {

// Characteristics of the virtual GATT table.
enum class Attr {
    Model,
    Serial,
    Firmware,
    Hardware,
    Maker,
    Battery,
    Sample,
    AmpConfig,
    ChannelConfig,
    PayloadConfig,
    FilterConfig,
    NusRx,
    NusTx,
    Smp
};

struct ServiceDef {
    Platform::Uuid uuid;
    std::vector<Attr> attrs;
};

Platform::Uuid UuidOf(Attr attr);
// "2A19", "00002a19-0000-1000-8000-00805f9b34fb", any case. False on anything else.
bool ParseUuidText(const std::string& text, Platform::Uuid& uuid);
std::string UuidText(const Platform::Uuid& uuid);

namespace Uuids {
Platform::Uuid DeviceInformation();
Platform::Uuid BatteryService();
Platform::Uuid DataService();
Platform::Uuid NusService();
Platform::Uuid SmpService();
}  // namespace Uuids

class StackCore;
class SimDevice;

class AmplifierCore : public std::enable_shared_from_this<AmplifierCore> {
public:
    AmplifierCore(AmplifierConfig config, std::weak_ptr<StackCore> stack);
    ~AmplifierCore();
    void Start();
    void Shutdown();  // drops the link, stops both threads; later operations fail

    // ---- identity, advertising ----
    struct Advert {
        bool on = false;
        std::string name;
        uint64_t address = 0;
        bool connectable = false;
        Milliseconds interval{100};
    };
    Advert CurrentAdvert();
    void CountAdvertisement();
    std::string Name();
    uint64_t Address();
    AmplifierConfig Config();

    // ---- GATT, called by the objects the host holds ----
    std::vector<ServiceDef> Services();
    bool IsAttached(const SimDevice* device);
    void Connect(std::shared_ptr<SimDevice> device, Platform::AsyncOp<Platform::IBluetoothLEDevice::ServicesResult> op,
                 std::function<Platform::IBluetoothLEDevice::ServicesResult()> services);
    void Detach(const SimDevice* device);
    void Read(std::shared_ptr<SimDevice> device, Attr attr,
              Platform::AsyncOp<Platform::IGattCharacteristic::ReadResult> op);
    void Write(std::shared_ptr<SimDevice> device, Attr attr, Bytes value, Platform::WriteOption option,
               Platform::AsyncOp<Platform::GattStatus> op);
    void WriteCccd(std::shared_ptr<SimDevice> device, Attr attr, Platform::CccdValue value,
                   Platform::AsyncOp<Platform::GattStatus> op);

    struct OpFault {
        bool hang = false;
        Milliseconds delay{0};
    };
    OpFault FaultFor(const std::string& operation, std::optional<Attr> attr);

    // Accepts an operation: applies hang/delay, paces it on the link, runs `work` on the
    // link thread and completes the operation with its result on the completion pool.
    template <typename T>
    void RunOperation(const std::string& name, std::optional<Attr> attr, Platform::AsyncOp<T> op,
                      std::function<T()> work) {
        if (IsShutDown()) {
            op->Fail(Platform::PlatformError{-1, "The device is no longer available."});
            return;
        }
        auto fault = FaultFor(name, attr);
        auto token = BeginPending(op);
        if (fault.hang) return;
        std::weak_ptr<AmplifierCore> weak = weak_from_this();
        auto due = ReserveLinkSlot(Clock::now()) + fault.delay;  // a late answer does not hold up the others
        bool posted = link_.PostAt(due, [weak, op, token, work = std::move(work)] {
            auto self = weak.lock();
            if (!self) return;
            if (op->Status() != Platform::AsyncStatus::Started) return self->EndPending(token);
            T value = work();
            self->EndPending(token);
            self->CompleteLater([op, value = std::move(value)]() mutable { op->Complete(std::move(value)); });
        });
        if (!posted) {
            EndPending(token);
            op->Fail(Platform::PlatformError{-1, "The device is no longer available."});
        }
    }

    // ---- knobs (Amplifier forwards here) ----
    void DropLink();
    void SetDropEvery(Milliseconds period);
    void RefuseConnects(int n);
    void SetInterval(Microseconds interval);
    void Hang(const std::string& operation, const std::string& characteristic);
    void Delay(const std::string& operation, Milliseconds delay, const std::string& characteristic);
    void ClearFaults();
    void DropNotifyEvery(int n);
    uint32_t HoldSamples();
    void ReleaseSamples();
    void CorruptNextPayloads(int n);
    void ShortenNextPayloads(int n);
    void SetAdvertising(bool on);
    void SetConnectable(bool on);
    void SetAdvertisedName(std::string name);
    void SetAddress(uint64_t address);
    void SetBattery(uint8_t percent);
    void SetConfigRecordScript(RecordKind kind, std::vector<ScriptedRecord> records);
    void ClearConfigRecordScripts();
    Bytes NaturalRecord(RecordKind kind, size_t index);
    Bytes AmplifierConfigurationRecord();
    void ScriptNusResponse(NusResponseScript script);
    void SendNusUnsolicited(Bytes value);
    void SetSmpSplit(size_t parts);
    int32_t SignalValue(int channel, uint64_t frame, int bytesPerSample);
    SampleLayout Layout();

    struct Counters {
        int connects = 0, refused = 0, resets = 0;
        bool connected = false, streaming = false;
        size_t notificationsSent = 0, notificationsDropped = 0, notificationsCut = 0, advertisements = 0,
               nusRequests = 0, smpRequests = 0, pending = 0;
    };
    Counters GetCounters();
    bool IsShutDown();
    std::vector<ImageSlot> Images();

private:
    struct Fault {
        std::string operation;
        std::optional<Platform::Uuid> uuid;
        bool hang = false;
        Milliseconds delay{0};
    };
    using PendingToken = std::shared_ptr<std::atomic<bool>>;

    template <typename T>
    PendingToken BeginPending(const Platform::AsyncOp<T>& op) {
        auto token = std::make_shared<std::atomic<bool>>(false);
        pending_.fetch_add(1);
        std::weak_ptr<AmplifierCore> weak = weak_from_this();
        op->OnCancel([weak, token] {
            if (auto self = weak.lock()) self->EndPending(token);
        });
        return token;
    }
    void EndPending(const PendingToken& token) {
        if (!token->exchange(true)) pending_.fetch_sub(1);
    }
    void CompleteLater(const std::function<void()>& completion);
    Clock::time_point ReserveLinkSlot(Clock::time_point earliest);
    Clock::time_point NextEventLocked(Clock::time_point t) const;
    bool StackAvailable();

    // link thread
    void Disconnect();
    void Reboot();
    // Cuts the value to one packet (MTU - 3 bytes), as ATT does.
    bool SendNotification(Attr attr, const Bytes& value, uint64_t epoch);
    // Bytes of a value one packet carries: MTU - 3.
    size_t PacketPayloadLocked() const;
    void ScheduleNotification(Clock::time_point at, Attr attr, Bytes value);
    void OnCccd(Attr attr, bool on, Clock::time_point at);
    void StreamTick(uint64_t streamEpoch);
    void ScheduleNextTickLocked();
    void BatteryTick();
    void ScheduleDropLocked();
    void HandleNus(const Bytes& value, Clock::time_point at);
    void HandleSmp(const Bytes& value, Clock::time_point at);
    void WriteSmpCommand(std::shared_ptr<SimDevice> device, Bytes value, Platform::AsyncOp<Platform::GattStatus> op);
    // The connection event that carries `bytes` of SMP data, at or after `earliest`, within each
    // event's budget; the bytes are booked on it.
    Clock::time_point ReserveAirLocked(Clock::time_point earliest, size_t bytes);
    std::optional<Bytes> ReadValueLocked(Attr attr);

    SampleLayout LayoutLocked() const;
    Wire::AmplifierRecord AmpRecordLocked() const;
    size_t RecordCountLocked(RecordKind kind) const;
    Bytes NaturalRecordLocked(RecordKind kind, size_t index) const;
    std::vector<Bytes> RecordSequenceLocked(RecordKind kind) const;
    Bytes BuildPayloadLocked(const SampleLayout& layout, uint64_t firstFrame, uint32_t counter) const;

    std::weak_ptr<StackCore> stack_;
    mutable std::mutex mutex_;
    AmplifierConfig config_;  // as created
    // current state, changed by knobs
    std::string name_;
    uint64_t address_ = 0;
    bool advertising_ = true, connectable_ = true;
    Microseconds interval_{1000};
    Milliseconds dropEvery_{0};
    uint8_t battery_ = 87;
    bool shutdown_ = false;
    Clock::time_point rebootingUntil_{};
    std::string firmware_;

    // link
    bool connected_ = false;
    uint64_t linkEpoch_ = 0;
    Clock::time_point connStart_{}, busyUntil_{};
    // Device objects on the link. Compared by address and never locked under mutex_: the
    // last reference dropped there would re-enter Detach() from the device's destructor.
    struct Attached {
        const SimDevice* raw;
        std::weak_ptr<SimDevice> weak;
    };
    std::vector<Attached> attached_;
    std::vector<std::weak_ptr<SimDevice>> AttachedWeakLocked() const;
    std::set<Attr> cccd_;
    std::set<Attr> cutWarned_;  // characteristics whose cut notification was logged on this link
    TimerThread::TaskId dropTask_ = 0;
    bool dropOnceDone_ = false;

    // faults
    std::vector<Fault> faults_;
    int refuseRemaining_ = 0;
    int dropNotifyEvery_ = 0, corruptNext_ = 0, shortenNext_ = 0;
    std::map<RecordKind, std::vector<ScriptedRecord>> recordScripts_;
    std::deque<NusResponseScript> nusScripts_;
    Clock::time_point nusTxFree_{};  // connection event after the last NUS answer scheduled

    // stream
    SampleLayout nusLayout_;
    bool streaming_ = false;
    bool samplesHeld_ = false;
    uint64_t streamEpoch_ = 0, streamFrame_ = 0, sampleNotifications_ = 0;
    uint32_t payloadCounter_ = 0;
    Clock::time_point tickBase_{};
    uint64_t ticksSinceBase_ = 0;

    // SMP
    SmpServer smp_;
    Bytes smpBuffer_;
    size_t smpSplit_ = 1;
    std::map<int64_t, size_t> airUsed_;                 // SMP bytes booked per connection event (by index)
    Clock::time_point serverFree_{}, lastSmpNotify_{};  // SMP server busy until; last response piece
    Clock::time_point lastSmpWrite_{};           // event of the last SMP write command: later ones never overtake it
    std::deque<Clock::time_point> serverQueue_;  // when each request in the server's buffers is done

    // counters
    int connects_ = 0, refused_ = 0, resets_ = 0;
    size_t sent_ = 0, dropped_ = 0, cutNotifications_ = 0, advertisements_ = 0, nusRequests_ = 0, smpRequests_ = 0;
    std::atomic<size_t> pending_{0};

    TimerThread link_;
    TimerThread events_;
};

}  // namespace Mivo::BLE::Sim::Detail
