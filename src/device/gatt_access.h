#pragma once
// Characteristic lookup, read, write and notification subscriptions of one opened device.
//
// Characteristics are addressed by UUID text alone (36-character form or 4-digit short
// form), among those that service discovery stored here. Every platform call runs as a
// named task on the device's lane of the Bluetooth executor, each asynchronous step awaited
// with a bound. The
// maps are guarded by one mutex that is never held across a platform call, so notification
// threads, the executor thread and API threads never wait on each other through it.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/stack.h"
#include "platform/uuid.h"
#include "runtime/bluetooth_executor.h"

namespace Mivo::BLE {

inline constexpr size_t kMinimumAttMtu = 23;
inline constexpr size_t kAttHeaderSize = 3;  // of a notification or a write command

// Bounds (ms) of the asynchronous platform waits inside the GATT tasks, and the budget of
// those tasks.
struct GattTiming {
    uint32_t readBoundMs = 10000, writeBoundMs = 10000, subscribeBoundMs = 10000, unsubscribeBoundMs = 10000;
    uint32_t taskBudgetMs = 15000;
};

class GattAccess {
public:
    using NotificationHandler = std::function<void(const std::vector<uint8_t>&)>;

    // Runs its tasks on `lane`.
    GattAccess(std::string deviceName, GattTiming timing, BluetoothLane lane);
    // Runs its tasks on the executor's own lane; `executor` must outlive this object.
    GattAccess(std::string deviceName, GattTiming timing, BluetoothExecutor& executor);
    ~GattAccess();
    GattAccess(const GattAccess&) = delete;
    GattAccess& operator=(const GattAccess&) = delete;

    // The platform device whose connection status Unsubscribe checks; nullptr = none.
    void SetPlatformDevice(std::shared_ptr<Platform::IBluetoothLEDevice> device);

    // Filled by service discovery; an entry with the same UUID is replaced.
    void StoreService(std::shared_ptr<Platform::IGattService> service);
    void StoreCharacteristic(std::shared_ptr<Platform::IGattCharacteristic> characteristic);
    size_t ServiceCount();
    size_t CharacteristicCount();

    // Whether discovery found a service with this UUID; any error (bad text) gives false.
    bool HasService(const std::string& uuidText);

    // Throws ApiException "Could not find characteristic '<text>'." (3) when not discovered,
    // std::out_of_range for a text too short to be a UUID.
    std::shared_ptr<Platform::IGattCharacteristic> GetCharacteristic(const std::string& uuidText);

    // Uncached read; task "Read".
    std::vector<uint8_t> Read(const std::string& uuidText);
    // Task "Write".
    void Write(const std::string& uuidText, std::vector<uint8_t> data, Platform::WriteOption option);
    // Task "Write": one value, without response when one packet of the link carries it
    // (ATT MTU - 3 bytes), otherwise with response (a long write).
    void WriteValue(const std::string& uuidText, std::vector<uint8_t> data);
    // Task "Write": the value in pieces of at most ATT MTU - 3 bytes, each without response,
    // in order; for receivers that rejoin a message by its own length header.
    void WriteInPackets(const std::string& uuidText, std::vector<uint8_t> data);
    // Registers `handler` for notifications of the characteristic and switches them on. At most
    // one handler of this object per characteristic: a second Subscribe replaces the first
    // inside the same platform registration, so every notification reaches exactly one of
    // them (a call of the previous handler already under way may still finish). On failure
    // no new handler is left in place. Exceptions thrown by the handler are swallowed.
    void Subscribe(const std::string& uuidText, NotificationHandler handler);
    // Removes the handler (if any) and, while connected, switches notifications off. Does not
    // fail for a lost link; does nothing for a characteristic that was not discovered.
    void Unsubscribe(const std::string& uuidText);

    // Teardown: empties all three maps at once, unregisters every stored handler (errors
    // ignored) and hands back the services so that the caller can close them.
    std::vector<std::shared_ptr<Platform::IGattService>> DetachAll();

private:
    // The handler a platform registration delivers to; replaced in place by a second Subscribe.
    class HandlerSlot {
    public:
        explicit HandlerSlot(NotificationHandler handler);
        std::shared_ptr<const NotificationHandler> Exchange(std::shared_ptr<const NotificationHandler> handler);
        void Deliver(const std::vector<uint8_t>& value) const;

    private:
        mutable std::mutex mutex_;
        std::shared_ptr<const NotificationHandler> handler_;
    };

    struct Subscription {
        std::shared_ptr<Platform::IGattCharacteristic> characteristic;
        Platform::EventToken token = 0;
        std::shared_ptr<HandlerSlot> slot;
    };

    static Platform::EventToken Register(Platform::IGattCharacteristic& characteristic,
                                         std::shared_ptr<HandlerSlot> slot);
    // Switches notifications on; throws when the descriptor write fails.
    static void EnableNotifications(Platform::IGattCharacteristic& characteristic, uint32_t boundMs);
    // Unregisters quietly; false when the platform refused.
    static bool Unregister(const Subscription& subscription);

    const std::string deviceName_;
    const GattTiming timing_;
    BluetoothLane lane_;

    std::mutex mutex_;  // guards the three maps and device_
    std::shared_ptr<Platform::IBluetoothLEDevice> device_;
    std::map<Platform::Uuid, std::shared_ptr<Platform::IGattService>> services_;
    std::map<Platform::Uuid, std::shared_ptr<Platform::IGattCharacteristic>> characteristics_;
    std::map<Platform::Uuid, Subscription> subscriptions_;
};

}  // namespace Mivo::BLE
