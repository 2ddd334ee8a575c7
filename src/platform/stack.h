#pragma once
// The Bluetooth LE stack as the library logic sees it: the operations of the original
// platform classes, as objects with virtual operations. Every asynchronous call returns an
// AsyncOp; events (advertisements, notifications, link status) are delivered on backend
// threads, never on the thread that made the call.
//
// Event handler removal: RemoveXxx(token) returns only when that handler is not running and
// will not be called again, unless it is called from inside that same handler. Every
// backend keeps this promise.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/async_operation.h"
#include "platform/uuid.h"

namespace Mivo::BLE::Platform {

using Bytes = std::vector<uint8_t>;
using EventToken = uint64_t;  // 0 = none

enum class GattStatus { Success, Unreachable, ProtocolError, AccessDenied };
enum class RadioState { Unknown, On, Off, Disabled };
enum class ScanningMode { Passive, Active };
enum class WatcherStatus { Created, Started, Stopping, Stopped, Aborted };
enum class ConnectionStatus { Disconnected, Connected };
enum class CccdValue { None, Notify };
enum class WriteOption { WithResponse, WithoutResponse };

class IRadio {
public:
    virtual ~IRadio() = default;
    virtual RadioState State() = 0;
};

class IBluetoothAdapter {
public:
    virtual ~IBluetoothAdapter() = default;
    // Result: the radio, or nullptr when the adapter has none.
    virtual AsyncOp<std::shared_ptr<IRadio>> GetRadioAsync() = 0;
};

struct AdvertisementEvent {
    std::string localName;  // UTF-8, may be empty
    uint64_t address = 0;   // 48-bit Bluetooth address in the low bits
    bool connectable = false;
};

class IAdvertisementWatcher {
public:
    virtual ~IAdvertisementWatcher() = default;
    virtual void SetScanningMode(ScanningMode mode) = 0;
    virtual EventToken AddReceived(std::function<void(const AdvertisementEvent&)> handler) = 0;
    virtual void RemoveReceived(EventToken token) = 0;
    virtual void Start() = 0;  // may throw PlatformError
    virtual void Stop() = 0;   // may throw PlatformError
    virtual WatcherStatus Status() = 0;
    // The longest time between two reports of a device that keeps advertising, beyond the
    // advertising interval itself: a stack that passes a device on once per discovery cycle
    // says so here. 0: every advertisement is reported.
    virtual std::chrono::milliseconds ReportInterval() { return std::chrono::milliseconds(0); }
};

class IGattCharacteristic {
public:
    virtual ~IGattCharacteristic() = default;
    virtual Uuid GetUuid() = 0;
    struct ReadResult {
        GattStatus status = GattStatus::Success;
        Bytes value;
    };
    // Reads from the device, never from a cache.
    virtual AsyncOp<ReadResult> ReadValueAsync() = 0;
    virtual AsyncOp<GattStatus> WriteValueWithResultAsync(Bytes value, WriteOption option) = 0;
    virtual AsyncOp<GattStatus> WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue value) = 0;
    // Value-changed event: one call per notification with the new value.
    virtual EventToken AddValueChanged(std::function<void(const Bytes&)> handler) = 0;
    virtual void RemoveValueChanged(EventToken token) = 0;  // may throw PlatformError
    // The ATT MTU negotiated on the link this characteristic lives on (23 before any
    // exchange). A write without response or a notification carries at most MTU - 3 bytes.
    virtual uint16_t GetMtu() = 0;
    // Notifications of this characteristic will be a long, fast stream (the samples): a
    // backend may deliver them on a cheaper path. Called before subscribing.
    virtual void PreferStreamDelivery() {}
};

class IGattService {
public:
    virtual ~IGattService() = default;
    virtual Uuid GetUuid() = 0;
    struct CharacteristicsResult {
        GattStatus status = GattStatus::Success;
        std::vector<std::shared_ptr<IGattCharacteristic>> characteristics;
    };
    virtual AsyncOp<CharacteristicsResult> GetCharacteristicsAsync() = 0;  // uncached
    virtual void Close() = 0;
};

class IBluetoothLEDevice {
public:
    virtual ~IBluetoothLEDevice() = default;
    virtual uint64_t BluetoothAddress() = 0;
    virtual ConnectionStatus GetConnectionStatus() = 0;
    // Link-status event; the handler reads GetConnectionStatus() itself.
    virtual EventToken AddConnectionStatusChanged(std::function<void()> handler) = 0;
    virtual void RemoveConnectionStatusChanged(EventToken token) = 0;  // may throw PlatformError
    struct ServicesResult {
        GattStatus status = GattStatus::Success;
        std::vector<std::shared_ptr<IGattService>> services;
    };
    // Connects if needed and discovers the services from the device, uncached.
    virtual AsyncOp<ServicesResult> GetGattServicesAsync() = 0;
    // Releases the link. May block (the caller runs it off the executor).
    virtual void Close() = 0;
};

class IStack {
public:
    virtual ~IStack() = default;
    // Result: the default adapter, or nullptr when there is none.
    virtual AsyncOp<std::shared_ptr<IBluetoothAdapter>> GetDefaultAdapterAsync() = 0;
    virtual std::shared_ptr<IAdvertisementWatcher> CreateAdvertisementWatcher() = 0;
    // Result: the device object, or nullptr when the stack has none for that address.
    virtual AsyncOp<std::shared_ptr<IBluetoothLEDevice>> FromBluetoothAddressAsync(uint64_t address) = 0;
    // Runs `work` on a thread-pool thread; false when it could not be dispatched.
    virtual bool RunOnThreadPool(std::function<void()> work) = 0;
    // Process exit: stops and joins the stack's own threads, so no event or completion runs
    // during static destruction; later operations fail. The object itself stays usable.
    // Called once or more, from any thread, including one of the stack's own.
    virtual void StopAtExit() {}
};

}  // namespace Mivo::BLE::Platform
