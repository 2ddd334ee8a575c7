#pragma once
// The objects the host holds: a device per FromBluetoothAddressAsync call, its services
// and characteristics. They forward every operation to the amplifier they belong to and
// keep the host's event handlers.
#include <map>
#include <memory>
#include <mutex>

#include "platform/sim/sim_amplifier.h"
#include "platform/sim/sim_threads.h"
#include "platform/stack.h"

namespace Mivo::BLE::Sim::Detail {

class SimDevice final : public Platform::IBluetoothLEDevice, public std::enable_shared_from_this<SimDevice> {
public:
    SimDevice(std::shared_ptr<AmplifierCore> amplifier, uint64_t address);
    ~SimDevice() override;

    uint64_t BluetoothAddress() override { return address_; }
    Platform::ConnectionStatus GetConnectionStatus() override;
    Platform::EventToken AddConnectionStatusChanged(std::function<void()> handler) override;
    void RemoveConnectionStatusChanged(Platform::EventToken token) override;
    Platform::AsyncOp<ServicesResult> GetGattServicesAsync() override;
    void Close() override;

    const std::shared_ptr<AmplifierCore>& Amplifier() const { return amplifier_; }
    Platform::EventToken AddValueChanged(Attr attr, std::function<void(const Bytes&)> handler);
    void RemoveValueChanged(Attr attr, Platform::EventToken token);

    // Event thread of the amplifier.
    void FireStatusChanged();
    void FireValueChanged(Attr attr, const Bytes& value);

private:
    EventSource<const Bytes&>& ValueSource(Attr attr);

    std::shared_ptr<AmplifierCore> amplifier_;
    uint64_t address_;
    EventSource<> statusChanged_;
    std::mutex mutex_;
    std::map<Attr, std::shared_ptr<EventSource<const Bytes&>>> valueChanged_;
};

class SimService final : public Platform::IGattService {
public:
    SimService(std::shared_ptr<SimDevice> device, ServiceDef def) : device_(std::move(device)), def_(std::move(def)) {}
    Platform::Uuid GetUuid() override { return def_.uuid; }
    Platform::AsyncOp<CharacteristicsResult> GetCharacteristicsAsync() override;
    void Close() override {}

private:
    std::shared_ptr<SimDevice> device_;
    ServiceDef def_;
};

class SimCharacteristic final : public Platform::IGattCharacteristic {
public:
    SimCharacteristic(std::shared_ptr<SimDevice> device, Attr attr) : device_(std::move(device)), attr_(attr) {}
    Platform::Uuid GetUuid() override { return UuidOf(attr_); }
    Platform::AsyncOp<ReadResult> ReadValueAsync() override;
    Platform::AsyncOp<Platform::GattStatus> WriteValueWithResultAsync(Bytes value,
                                                                      Platform::WriteOption option) override;
    Platform::AsyncOp<Platform::GattStatus> WriteClientCharacteristicConfigurationDescriptorAsync(
        Platform::CccdValue value) override;
    Platform::EventToken AddValueChanged(std::function<void(const Bytes&)> handler) override;
    void RemoveValueChanged(Platform::EventToken token) override;
    uint16_t GetMtu() override;

private:
    std::shared_ptr<SimDevice> device_;
    Attr attr_;
};

}  // namespace Mivo::BLE::Sim::Detail
