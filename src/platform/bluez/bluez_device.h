#pragma once
// A BlueZ device object (org.bluez.Device1) and its GATT services and characteristics as
// the stack interface's objects. Link status, services resolved and notifications come
// from the bus's signals; every operation is one asynchronous call.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/bluez/bluez_bus.h"
#include "platform/bluez/bluez_stack.h"
#include "platform/event_source.h"
#include "platform/stack.h"

namespace Mivo::BLE::Platform::Bluez {

// What one device object knows of one characteristic path: the host's handlers and whether
// this object asked for notifications. Characteristic objects of the same path share it,
// so a path never has two handler lists of one device object.
struct CharacteristicCore {
    explicit CharacteristicCore(std::string p) : path(std::move(p)) {}
    const std::string path;
    EventSource<const Bytes&> valueChanged;
    std::atomic<bool> notifying{false};  // a StartNotify session: Value changes are notifications
    std::atomic<uint64_t> acquired{0};   // an AcquireNotify socket in the bus's reader
    std::atomic<bool> stream{false};     // the sample stream: AcquireNotify where BlueZ grants it
    std::atomic<bool> oversizeLogged{false};
};

class BluezDevice final : public IBluetoothLEDevice,
                          public BluezBus::Listener,
                          public std::enable_shared_from_this<BluezDevice> {
public:
    static std::shared_ptr<BluezDevice> Create(std::shared_ptr<BluezBus> bus, std::string path, uint64_t address,
                                               const BluezTiming& timing);
    BluezDevice(std::shared_ptr<BluezBus> bus, std::string path, uint64_t address, BluezTiming timing);
    ~BluezDevice() override;

    uint64_t BluetoothAddress() override { return address_; }
    ConnectionStatus GetConnectionStatus() override;
    EventToken AddConnectionStatusChanged(std::function<void()> handler) override;
    void RemoveConnectionStatusChanged(EventToken token) override;
    AsyncOp<ServicesResult> GetGattServicesAsync() override;
    void Close() override;

    void OnInterfacesAdded(const std::string& path, const Interfaces& added) override;
    void OnPropertiesChanged(const std::string& path, const std::string& iface, const Props& changed) override;
    void OnInterfacesRemoved(const std::string& path, const std::vector<std::string>& removed) override;

    const std::shared_ptr<BluezBus>& Bus() const { return bus_; }
    const BluezTiming& Timing() const { return timing_; }
    const std::string& Path() const { return path_; }
    bool LinkUp();
    // Ends this object's notify session on `core`: the socket closes, and BlueZ is told with
    // StopNotify, link or no link (a session it kept would be armed again at the next connect,
    // and a table sent then would go unheard).
    void EndNotify(const std::shared_ptr<CharacteristicCore>& core);
    std::shared_ptr<CharacteristicCore> CoreFor(const std::string& characteristicPath);
    // The ATT MTU of the link learnt from AcquireNotify or AcquireWrite (0: not known); BlueZ
    // before 5.62 has no MTU property.
    uint16_t LinkMtu() const { return linkMtu_.load(); }
    void SetLinkMtu(uint16_t mtu);

private:
    struct ServicesWait {
        AsyncOp<ServicesResult> op;
        DeadlineTimer::Id timer = 0;
        sdbus::PendingAsyncCall connect;
        bool connecting = false;  // from the pause of discovery to the final answer to Connect
        bool paused = false;      // holds a pause of discovery
        bool settling = false;    // a failed Connect waits for the link state to settle
        int retries = 0;
    };
    void StartConnect(const std::shared_ptr<ServicesWait>& wait);
    void SendConnect(const std::shared_ptr<ServicesWait>& wait);
    void OnConnectReply(const std::shared_ptr<ServicesWait>& wait, const sdbus::Error* error);
    // The connect phase ends: discovery resumes, link-status changes are reported again.
    void EndConnecting(const std::shared_ptr<ServicesWait>& wait);
    void RetryAfterSettling(const std::shared_ptr<ServicesWait>& wait);
    void WaitForResolved(const std::shared_ptr<ServicesWait>& wait);
    // Services resolved: learns the MTU when BlueZ has no property for it, then answers.
    void CompleteResolved(const std::shared_ptr<ServicesWait>& wait);
    void CheckServicesWait(bool linkDown, bool removed = false);
    // Takes the wait out if it is still `wait` (or any, when null); the caller finishes its op.
    std::shared_ptr<ServicesWait> TakeWait(const std::shared_ptr<ServicesWait>& wait);
    ServicesResult Enumerate();
    void ReportLinkStatus();

    std::shared_ptr<BluezBus> bus_;
    const std::string path_;
    const uint64_t address_;
    const BluezTiming timing_;
    uint64_t listenerId_ = 0;
    EventSource<> statusChanged_;

    std::mutex mutex_;
    std::shared_ptr<ServicesWait> wait_;
    std::map<std::string, std::shared_ptr<CharacteristicCore>> characteristics_;
    ConnectionStatus reported_ = ConnectionStatus::Disconnected;
    AsyncOp<bool> linkDown_;  // completed when the link is seen down (Close waits on it)
    std::atomic<uint16_t> linkMtu_{0};
};

class BluezService final : public IGattService {
public:
    BluezService(std::shared_ptr<BluezDevice> device, std::string path, Uuid uuid)
        : device_(std::move(device)), path_(std::move(path)), uuid_(uuid) {}
    Uuid GetUuid() override { return uuid_; }
    AsyncOp<CharacteristicsResult> GetCharacteristicsAsync() override;
    void Close() override {}

private:
    std::shared_ptr<BluezDevice> device_;
    std::string path_;
    Uuid uuid_;
};

class BluezCharacteristic final : public IGattCharacteristic {
public:
    BluezCharacteristic(std::shared_ptr<BluezDevice> device, std::shared_ptr<CharacteristicCore> core, Uuid uuid)
        : device_(std::move(device)), core_(std::move(core)), uuid_(uuid) {}
    Uuid GetUuid() override { return uuid_; }
    AsyncOp<ReadResult> ReadValueAsync() override;
    AsyncOp<GattStatus> WriteValueWithResultAsync(Bytes value, WriteOption option) override;
    AsyncOp<GattStatus> WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue value) override;
    EventToken AddValueChanged(std::function<void(const Bytes&)> handler) override;
    void RemoveValueChanged(EventToken token) override;
    uint16_t GetMtu() override;
    void PreferStreamDelivery() override { core_->stream = true; }

    // A call answered with a status; calls BlueZ answers "busy" are made again (see BluezTiming).
    static AsyncOp<GattStatus> CallForStatus(const std::shared_ptr<BluezDevice>& device, const std::string& path,
                                             const std::string& method, BluezBus::ArgsWriter args,
                                             std::function<void(bool)> after = nullptr);

private:
    AsyncOp<GattStatus> StartNotify();
    AsyncOp<GattStatus> AcquireNotify();

    std::shared_ptr<BluezDevice> device_;
    std::shared_ptr<CharacteristicCore> core_;
    Uuid uuid_;
};

// The MTU property of a characteristic, or 23 when it is missing or out of range.
uint16_t MtuOf(const std::optional<Props>& characteristic);

}  // namespace Mivo::BLE::Platform::Bluez
