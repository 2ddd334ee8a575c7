#pragma once
// Control interface of the simulated radio, for tests and tools.
//
// A SimStack is a Bluetooth LE stack (Platform::IStack) with virtual amplifiers on its
// air. Each Amplifier is a GATT server with its own link timing, sample stream, NUS
// command responder and SMP (MCUmgr) server, and exposes thread-safe knobs to script
// faults. Everything a test can set here can also be set through MIVOBLE_SIM (see
// docs/simulator.md); the keys of that variable are the fields of AmplifierConfig.
//
// Typical use:
//   auto sim = Sim::MakeSimStack("MV-2401.00.01,gen=legacy,interval=1");
//   Platform::SetStackForTesting(sim);
//   sim->Find("MV-2401.00.01")->Hang("ReadValueAsync", "2A19");
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/stack.h"

namespace Mivo::BLE::Sim {

using Platform::Bytes;
using Milliseconds = std::chrono::milliseconds;
using Microseconds = std::chrono::microseconds;

enum class Generation { Legacy, Nus, Both, Neither };

// One virtual amplifier as configured (MIVOBLE_SIM key in brackets).
struct AmplifierConfig {
    std::string name = "MV-2401.00.01";    // advertised local name and Serial Number String
    Generation gen = Generation::Legacy;   // [gen] legacy | nus | both | neither
    int channels = 8;                      // [channels] signal channels (type 1), 1..61
    bool counter = true;                   // [counter] one counter channel (type 5) after them (legacy layout)
    int frames = 1;                        // [frames] frames per payload of the legacy layout, 1..64
    int rate = 250;                        // [rate] sampling rate in Hz of the legacy layout, 1..65535
    std::optional<uint64_t> addr;          // [addr] AA:BB:CC:DD:EE:FF; unset: derived from the name
    bool connectable = true;               // [connectable] 0 | 1
    Milliseconds adv{100};                 // [adv] advertising interval
    bool advertising = true;               // [advertise] 0 = silent from the start
    uint8_t battery = 87;                  // [battery] percent, 0..100
    std::string model = "mivo MV-2401";    // [model] Model Number String (2A24)
    std::string fw = "1.0.0";              // [fw] Firmware Revision String (2A26)
    std::string hw = "rev C";              // [hw] Hardware Revision String (2A27)
    std::string maker = "mivo medical";    // [maker] Manufacturer Name String (2A29)
    Milliseconds dropEvery{0};             // [drop_every] drop the link every N ms while connected; 0 = off
    int refuseConnects = 0;                // [refuse_connects] refuse the first N connects
    std::string hang;                      // [hang] operation that never completes, optionally "Op:UUID"
    int dropNotifyEvery = 0;               // [drop_notify_every] drop every Nth sample notification; 0 = off
    uint64_t seed = 1;                     // [seed] seed of the signal noise
    Microseconds interval{1000};           // [interval] connection interval that paces the link (ms, fractions allowed)
    size_t smpSplit = 1;                   // [smp_split] notifications per SMP response (1 = whole)
    size_t filters = 2;                    // [filters] filter records announced and sent (legacy)
    Milliseconds batteryEvery{10000};      // [battery_every] battery drains 1 % per period; 0 = never
    size_t mtu = 247;                      // [mtu] ATT MTU: notifications and writes without response carry MTU-3 bytes
    Milliseconds connectFail{30};          // [connect_fail_ms] how long a refused connect takes to fail
    Milliseconds resetDelay{250};          // [reset_ms] SMP reset: reply, then reboot after this
    Milliseconds bootTime{50};             // [boot_ms] reboot: silent and not connectable meanwhile
    Milliseconds eraseTime{0};             // [erase_ms] how long an SMP erase takes
    size_t slotSize = size_t{256} * 1024;  // [slot_size] bytes per image slot
    bool smpRcZero = false;                // [smp_rc0] add "rc": 0 to upload and erase replies
    bool smpParams = true;                 // [smp_params] answer the MCUmgr parameters command (0: rc 8)
    uint32_t smpBufCount = 4;              // [smp_buf_count] request buffers of the SMP server
    uint32_t smpBufSize = 384;             // [smp_buf_size] bytes per request buffer (whole frame)
    uint32_t flashKbps = 80;               // [flash_kbps] flash write speed of uploads, KB/s (1000 bytes)
    uint32_t linkKbps = 1400;              // [link_kbps] SMP data the link carries, kbit/s: the budget of
                                           //   each connection event (2625 bytes in a 15 ms event)
    std::string delay;                     // [delay] "Op:ms" or "Op:UUID:ms": that operation answers late
    Milliseconds dropOnce{0};              // [drop_once] drop the link once, this long after the first connect
    int corrupt = 0;                       // [corrupt] corrupt the first N sample payloads
    int shorten = 0;                       // [shorten] cut the last byte off the first N sample payloads
    std::string nus;                       // [nus] every NUS answer: late:ms | never | badcrc | trailing | unsolicited
};

// The names of operations that Hang() and Delay() accept.
inline constexpr const char* kOpRead = "ReadValueAsync";
inline constexpr const char* kOpServices = "GetGattServicesAsync";
inline constexpr const char* kOpCharacteristics = "GetCharacteristicsAsync";
inline constexpr const char* kOpWrite = "WriteValueAsync";
inline constexpr const char* kOpCccd = "SubscribeCccd";
inline constexpr const char* kOpFromAddress = "FromBluetoothAddress";

// Legacy configuration records, for SetConfigRecordScript.
enum class RecordKind { Channel, Payload, Filter };

// One notification of a scripted record sequence: the `index`-th record the amplifier
// would send (0-based, in its natural order), cut to `length` bytes when set, or `raw`
// bytes when given (then index and length are ignored).
struct ScriptedRecord {
    size_t index = 0;
    std::optional<size_t> length;
    std::optional<Bytes> raw;
};

// How the NUS responder treats the next `requests` request frames.
struct NusResponseScript {
    int requests = 1;                  // how many upcoming requests this applies to
    Milliseconds delay{0};             // answer late
    bool never = false;                // do not answer at all
    bool badCrc = false;               // flip the CRC of the response
    Bytes trailing;                    // bytes appended after the response frame, same notification
    std::optional<Bytes> unsolicited;  // a TX notification sent before the answer
};

// The sample layout the amplifier streams in (legacy: fixed by its configuration; NUS:
// set by command 0x20).
struct SampleLayout {
    int channels = 1;
    int frames = 1;
    int bytesPerSample = 3;
    bool littleEndian = false;
    int rate = 256;
    bool counter = false;  // legacy counter channel after the signal channels
};

// State of one SMP image slot.
struct ImageSlot {
    int slot = 0;
    bool present = false;
    Bytes data;           // the whole image
    std::string version;  // "major.minor.revision" (".build" when non-zero)
    Bytes hash;           // SHA-256 of the image
    bool bootable = false, pending = false, confirmed = false, active = false, permanent = false;
};

namespace Detail {
class AmplifierCore;
}

// One virtual amplifier. All knobs are thread-safe and take effect at once.
class Amplifier {
public:
    explicit Amplifier(std::shared_ptr<Detail::AmplifierCore> core);
    ~Amplifier();

    std::string Name() const;        // current advertised name
    uint64_t Address() const;        // current address
    AmplifierConfig Config() const;  // configuration it was created with (knobs change a copy)

    // Link.
    void DropLink();                         // drop once, now (as a link supervision time-out would)
    void SetDropEvery(Milliseconds period);  // 0 = off
    void RefuseConnects(int n);              // refuse the next n connects
    void SetInterval(Microseconds interval);

    // Operations. `operation` is one of the kOp names; `characteristicUuid` (text, short
    // "2A19" or long form, any case) limits ReadValueAsync/WriteValueAsync/SubscribeCccd to
    // one characteristic. A hung operation completes only through Cancel(); a delayed one
    // answers `delay` late without holding up other operations.
    void Hang(const std::string& operation, const std::string& characteristicUuid = "");
    void Delay(const std::string& operation, Milliseconds delay, const std::string& characteristicUuid = "");
    void ClearFaults();  // hangs, delays, drops, refusals, payload and NUS faults

    // Sample notifications.
    void DropNotifyEvery(int n);  // drop every nth sample notification; 0 = off
    // Pauses the sample stream (the subscription stays; the payload counter stands still) and
    // returns once every sample notification sent before has been handed to the host, with
    // the payload counter of the current stream: the counter of the last payload built (sent
    // or dropped), 0 before the first.
    uint32_t HoldSamples();
    void ReleaseSamples();            // the stream goes on
    void CorruptNextPayloads(int n);  // flip bits in the next n sample payloads
    void ShortenNextPayloads(int n);  // cut the last byte off the next n sample payloads

    // Advertising and identity.
    void SetAdvertising(bool on);
    void SetConnectable(bool on);
    void SetAdvertisedName(std::string name);  // also the Serial Number String
    void SetAddress(uint64_t address);         // comes back as another device; the old link drops

    void SetBattery(uint8_t percent);  // notified to a subscribed host

    // Legacy records: replace the natural sequence of one kind (order, count, short,
    // missing). The amplifier configuration record keeps announcing the natural counts.
    void SetConfigRecordScript(RecordKind kind, std::vector<ScriptedRecord> records);
    void ClearConfigRecordScripts();
    // The natural record bytes (channel/payload/filter record `index`) as sent unscripted.
    Bytes NaturalRecord(RecordKind kind, size_t index) const;
    Bytes AmplifierConfigurationRecord() const;

    void ScriptNusResponse(NusResponseScript script);  // queued after earlier scripts
    void SendNusUnsolicited(Bytes value);              // one TX notification now (if subscribed)

    void SetSmpSplit(size_t parts);  // split each SMP response over `parts` notifications

    // Signal model: the raw value the amplifier sends for signal channel `channel`
    // (0-based) at sample `frame` (0-based since the stream started). Deterministic in the
    // configuration's seed.
    int32_t SignalValue(int channel, uint64_t frame, int bytesPerSample = 3) const;
    SampleLayout Layout() const;

    // Counters and state for tests.
    int ConnectCount() const;  // successful connects
    int RefusedConnectCount() const;
    bool IsConnected() const;
    bool IsStreaming() const;
    size_t NotificationsSent() const;  // sample notifications delivered to the host
    size_t NotificationsDropped() const;
    size_t NotificationsCut() const;  // notifications longer than MTU - 3, sent cut to that
    size_t AdvertisementsSent() const;
    size_t NusRequestsReceived() const;
    size_t SmpRequestsReceived() const;
    size_t PendingOperations() const;  // accepted and not yet completed (hung ones included)
    std::vector<ImageSlot> Images() const;
    int ResetCount() const;

    std::shared_ptr<Detail::AmplifierCore> Core() const { return core_; }

private:
    std::shared_ptr<Detail::AmplifierCore> core_;
};

namespace Detail {
class StackCore;
}

// The simulated stack.
class SimStack final : public Platform::IStack {
public:
    SimStack();
    ~SimStack() override;  // stops and joins every simulator thread

    // Platform::IStack
    Platform::AsyncOp<std::shared_ptr<Platform::IBluetoothAdapter>> GetDefaultAdapterAsync() override;
    std::shared_ptr<Platform::IAdvertisementWatcher> CreateAdvertisementWatcher() override;
    Platform::AsyncOp<std::shared_ptr<Platform::IBluetoothLEDevice>> FromBluetoothAddressAsync(
        uint64_t address) override;
    bool RunOnThreadPool(std::function<void()> work) override;
    void StopAtExit() override;

    // Amplifiers.
    std::shared_ptr<Amplifier> Find(const std::string& name) const;
    std::shared_ptr<Amplifier> FindByAddress(uint64_t address) const;
    std::vector<std::shared_ptr<Amplifier>> Amplifiers() const;
    // Adds an amplifier; nullptr (and an ERROR log line) when the configuration is invalid
    // or the name or address is taken.
    std::shared_ptr<Amplifier> Add(AmplifierConfig config);
    void Remove(const std::string& name);  // drops its link; it disappears from the air
    // Replaces adapter, radio and amplifiers from MIVOBLE_SIM syntax.
    void Reconfigure(const std::string& config);

    void SetAdapterPresent(bool present);
    void SetRadioOn(bool on);
    bool AdapterPresent() const;
    bool RadioOn() const;

    std::shared_ptr<Detail::StackCore> Core() const { return core_; }

private:
    std::shared_ptr<Detail::StackCore> core_;
};

// A stack configured from MIVOBLE_SIM syntax (bad items are logged and ignored).
std::shared_ptr<SimStack> MakeSimStack(const std::string& config);
// The configuration in force when MIVOBLE_SIM is unset.
std::string DefaultSimConfig();
// The SimStack behind the library (the stack GetStack() returns, when it is a SimStack),
// or nullptr.
std::shared_ptr<SimStack> ActiveSimStack();

// GATT properties of a characteristic of the virtual amplifiers, as a client reads them
// from its declaration. All false for a UUID none of them has.
struct CharacteristicProperties {
    bool read = false;
    bool write = false;
    bool writeWithoutResponse = false;
    bool notify = false;
};
CharacteristicProperties PropertiesOf(const Platform::Uuid& characteristic);

// Address helpers. ParseAddress accepts AA:BB:CC:DD:EE:FF (any case) and returns false
// on anything else.
bool ParseAddress(const std::string& text, uint64_t& address);
std::string FormatAddress(uint64_t address);
// The address an amplifier gets when none is configured (stable per name).
uint64_t AddressFromName(const std::string& name);

}  // namespace Mivo::BLE::Sim
