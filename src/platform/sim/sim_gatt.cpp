#include "platform/sim/sim_gatt.h"

namespace Mivo::BLE::Sim::Detail {

using namespace Platform;

SimDevice::SimDevice(std::shared_ptr<AmplifierCore> amplifier, uint64_t address)
    : amplifier_(std::move(amplifier)), address_(address) {}

SimDevice::~SimDevice() { amplifier_->Detach(this); }

ConnectionStatus SimDevice::GetConnectionStatus() {
    return amplifier_->IsAttached(this) ? ConnectionStatus::Connected : ConnectionStatus::Disconnected;
}

EventToken SimDevice::AddConnectionStatusChanged(std::function<void()> handler) {
    return statusChanged_.Add(std::move(handler));
}

void SimDevice::RemoveConnectionStatusChanged(EventToken token) { statusChanged_.Remove(token); }

AsyncOp<IBluetoothLEDevice::ServicesResult> SimDevice::GetGattServicesAsync() {
    auto op = MakeAsyncOperation<ServicesResult>();
    std::weak_ptr<SimDevice> weak = weak_from_this();
    amplifier_->Connect(shared_from_this(), op, [weak] {
        ServicesResult result;
        auto self = weak.lock();
        if (!self) {
            result.status = GattStatus::Unreachable;
            return result;
        }
        for (auto& def : self->amplifier_->Services())
            result.services.push_back(std::make_shared<SimService>(self, def));
        return result;
    });
    return op;
}

void SimDevice::Close() { amplifier_->Detach(this); }

EventSource<const Bytes&>& SimDevice::ValueSource(Attr attr) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& source = valueChanged_[attr];
    if (!source) source = std::make_shared<EventSource<const Bytes&>>();
    return *source;
}

EventToken SimDevice::AddValueChanged(Attr attr, std::function<void(const Bytes&)> handler) {
    return ValueSource(attr).Add(std::move(handler));
}

void SimDevice::RemoveValueChanged(Attr attr, EventToken token) { ValueSource(attr).Remove(token); }

void SimDevice::FireStatusChanged() { statusChanged_.Fire(); }

void SimDevice::FireValueChanged(Attr attr, const Bytes& value) { ValueSource(attr).Fire(value); }

AsyncOp<IGattService::CharacteristicsResult> SimService::GetCharacteristicsAsync() {
    auto op = MakeAsyncOperation<CharacteristicsResult>();
    auto device = device_;
    auto attrs = def_.attrs;
    device->Amplifier()->RunOperation<CharacteristicsResult>(kOpCharacteristics, std::nullopt, op, [device, attrs] {
        CharacteristicsResult result;
        if (!device->Amplifier()->IsAttached(device.get())) {
            result.status = GattStatus::Unreachable;
            return result;
        }
        for (Attr a : attrs) result.characteristics.push_back(std::make_shared<SimCharacteristic>(device, a));
        return result;
    });
    return op;
}

AsyncOp<IGattCharacteristic::ReadResult> SimCharacteristic::ReadValueAsync() {
    auto op = MakeAsyncOperation<ReadResult>();
    device_->Amplifier()->Read(device_, attr_, op);
    return op;
}

AsyncOp<GattStatus> SimCharacteristic::WriteValueWithResultAsync(Bytes value, WriteOption option) {
    auto op = MakeAsyncOperation<GattStatus>();
    device_->Amplifier()->Write(device_, attr_, std::move(value), option, op);
    return op;
}

AsyncOp<GattStatus> SimCharacteristic::WriteClientCharacteristicConfigurationDescriptorAsync(CccdValue value) {
    auto op = MakeAsyncOperation<GattStatus>();
    device_->Amplifier()->WriteCccd(device_, attr_, value, op);
    return op;
}

EventToken SimCharacteristic::AddValueChanged(std::function<void(const Bytes&)> handler) {
    return device_->AddValueChanged(attr_, std::move(handler));
}

void SimCharacteristic::RemoveValueChanged(EventToken token) { device_->RemoveValueChanged(attr_, token); }

uint16_t SimCharacteristic::GetMtu() { return static_cast<uint16_t>(device_->Amplifier()->Config().mtu); }

}  // namespace Mivo::BLE::Sim::Detail
