#pragma once
// org.bluez.Device1 for one virtual amplifier the adapter has seen, with its link to the
// simulated stack (a device from FromBluetoothAddressAsync, connected through
// GetGattServicesAsync) and its cached GATT objects.
//
// Ordering, as bluetoothd: a connect sets Connected, replies, adds the GATT objects, then
// sets ServicesResolved; a disconnect (host or link loss) clears ServicesResolved, replies
// (host), then clears Connected.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "context.h"
#include "gatt.h"

namespace Mivo::FakeBluez {

class Device : public std::enable_shared_from_this<Device> {
public:
    Device(Context& context, std::string adapterPath, uint64_t address, std::string name);
    ~Device();
    void Register();    // strand
    void Unregister();  // strand: drops the link, removes every object
    const std::string& Path() const { return path_; }
    uint64_t Address() const { return address_; }

    // strand
    void Advertised(const std::string& name, int16_t rssi, bool reportRssi);
    void InvalidateRssi();
    void ReleaseSender(const std::string& sender);
    bool IsConnected() const { return link_ == Link::Up; }
    // Off drops the link, as the adapter's radio going off would.
    void SetAdapterPowered(bool powered);
    // While the adapter discovers, connects fail (when the behaviour says so).
    void SetAdapterDiscovering(bool discovering) { discovering_ = discovering; }

private:
    enum class Link { Down, Connecting, Up };

    void Connect(Reply<> reply);
    void Disconnect(Reply<> reply);
    void OnSeamDevice(uint64_t attempt, std::shared_ptr<Platform::IBluetoothLEDevice> device);
    void StartServices(uint64_t attempt);
    void OnServices(uint64_t attempt, const Platform::AsyncOp<Platform::IBluetoothLEDevice::ServicesResult>& op);
    void OnCharacteristics(uint64_t attempt, std::vector<std::shared_ptr<Platform::IGattService>> services,
                           std::vector<Platform::IGattService::CharacteristicsResult> results);
    void FailConnect(const std::string& text, bool wasUp);
    // bluetoothd reads the GAP Device Name once connected and takes it as the device's name.
    void TakeGapName();
    void OnStatusChanged();
    // ServicesResolved=false, the reply to `disconnect` (if any), Connected=false; GATT sessions end.
    void LinkDown(const Reply<>& disconnect = nullptr);
    void BuildGatt(const std::vector<std::shared_ptr<Platform::IGattService>>& services,
                   const std::vector<Platform::IGattService::CharacteristicsResult>& results);
    void RemoveGatt();
    void SetProperty(const std::string& name, sdbus::Variant value);

    Context& context_;
    std::string adapterPath_, path_;
    uint64_t address_;
    std::unique_ptr<sdbus::IObject> object_;

    // Read by getters (under context_.props).
    std::string name_;
    int16_t rssi_ = -127;
    bool connected_ = false, servicesResolved_ = false, trusted_ = false;
    std::vector<std::string> uuids_;

    // Strand only.
    bool powered_ = true;
    bool discovering_ = false;
    bool rssiValid_ = false;
    Link link_ = Link::Down;
    uint64_t attempt_ = 0;
    Reply<> pendingConnect_;
    std::shared_ptr<Platform::IBluetoothLEDevice> seam_;
    Platform::EventToken statusToken_ = 0;
    std::vector<std::shared_ptr<Service>> gatt_;
    std::vector<Platform::Uuid> gattShape_;  // UUIDs of the cached table, to notice a changed one
};

}  // namespace Mivo::FakeBluez
