#include "device/gatt_access.h"

#include <algorithm>
#include <utility>

#include "core/api_exception.h"
#include "log/log.h"
#include "protocol/uuid_text.h"
#include "runtime/await_bounded.h"
#include "runtime/bluetooth_executor.h"
#include "runtime/platform_errors.h"

namespace Mivo::BLE {

GattAccess::GattAccess(std::string deviceName, GattTiming timing, BluetoothLane lane)
    : deviceName_(std::move(deviceName)), timing_(timing), lane_(std::move(lane)) {}

GattAccess::GattAccess(std::string deviceName, GattTiming timing, BluetoothExecutor& executor)
    : GattAccess(std::move(deviceName), timing, executor.OwnLane()) {}

GattAccess::~GattAccess() = default;

void GattAccess::SetPlatformDevice(std::shared_ptr<Platform::IBluetoothLEDevice> device) {
    std::lock_guard<std::mutex> lock(mutex_);
    device_ = std::move(device);
}

void GattAccess::StoreService(std::shared_ptr<Platform::IGattService> service) {
    if (!service) return;
    const Platform::Uuid uuid = TranslatingPlatformErrors([&] { return service->GetUuid(); });
    std::lock_guard<std::mutex> lock(mutex_);
    services_[uuid] = std::move(service);
}

void GattAccess::StoreCharacteristic(std::shared_ptr<Platform::IGattCharacteristic> characteristic) {
    if (!characteristic) return;
    const Platform::Uuid uuid = TranslatingPlatformErrors([&] { return characteristic->GetUuid(); });
    std::lock_guard<std::mutex> lock(mutex_);
    characteristics_[uuid] = std::move(characteristic);
}

size_t GattAccess::ServiceCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return services_.size();
}

size_t GattAccess::CharacteristicCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return characteristics_.size();
}

bool GattAccess::HasService(const std::string& uuidText) {
    try {
        const Platform::Uuid uuid = ParseUuidText(uuidText);
        std::lock_guard<std::mutex> lock(mutex_);
        return services_.count(uuid) != 0;
    } catch (...) {
        return false;
    }
}

std::shared_ptr<Platform::IGattCharacteristic> GattAccess::GetCharacteristic(const std::string& uuidText) {
    const Platform::Uuid uuid = ParseUuidText(uuidText);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = characteristics_.find(uuid);
    if (it == characteristics_.end()) throw ApiException("Could not find characteristic '" + uuidText + "'.", 3);
    return it->second;
}

std::vector<uint8_t> GattAccess::Read(const std::string& uuidText) {
    auto characteristic = GetCharacteristic(uuidText);
    const uint32_t bound = timing_.readBoundMs;
    return lane_.Run("Read", timing_.taskBudgetMs, [characteristic, bound] {
        return TranslatingPlatformErrors([&] {
            auto result = AwaitBounded(characteristic->ReadValueAsync(), bound, "ReadValueAsync");
            if (result.status != Platform::GattStatus::Success)
                throw ApiException("Failed to read characteristic value.", 3);
            return std::move(result.value);
        });
    });
}

void GattAccess::Write(const std::string& uuidText, std::vector<uint8_t> data, Platform::WriteOption option) {
    auto characteristic = GetCharacteristic(uuidText);
    const uint32_t bound = timing_.writeBoundMs;
    lane_.Run("Write", timing_.taskBudgetMs, [characteristic, bound, option, data = std::move(data)]() mutable {
        TranslatingPlatformErrors([&] {
            auto status = AwaitBounded(characteristic->WriteValueWithResultAsync(std::move(data), option), bound,
                                       "WriteValueAsync");
            if (status != Platform::GattStatus::Success) throw ApiException("Failed to write characteristic value.", 3);
        });
    });
}

namespace {

// Bytes of a value that one packet of the link carries: ATT MTU - 3 (the MTU is at least 23).
size_t PacketPayload(Platform::IGattCharacteristic& characteristic) {
    const size_t mtu = std::max<size_t>(characteristic.GetMtu(), kMinimumAttMtu);
    return mtu - kAttHeaderSize;
}

}  // namespace

void GattAccess::WriteValue(const std::string& uuidText, std::vector<uint8_t> data) {
    auto characteristic = GetCharacteristic(uuidText);
    const uint32_t bound = timing_.writeBoundMs;
    lane_.Run("Write", timing_.taskBudgetMs, [characteristic, bound, data = std::move(data)]() mutable {
        TranslatingPlatformErrors([&] {
            const auto option = data.size() <= PacketPayload(*characteristic) ? Platform::WriteOption::WithoutResponse
                                                                              : Platform::WriteOption::WithResponse;
            auto status = AwaitBounded(characteristic->WriteValueWithResultAsync(std::move(data), option), bound,
                                       "WriteValueAsync");
            if (status != Platform::GattStatus::Success) throw ApiException("Failed to write characteristic value.", 3);
        });
    });
}

void GattAccess::WriteInPackets(const std::string& uuidText, std::vector<uint8_t> data) {
    auto characteristic = GetCharacteristic(uuidText);
    const uint32_t bound = timing_.writeBoundMs;
    lane_.Run("Write", timing_.taskBudgetMs, [characteristic, bound, data = std::move(data)] {
        TranslatingPlatformErrors([&] {
            const size_t piece = PacketPayload(*characteristic);
            size_t offset = 0;
            do {  // an empty value is still one write
                const size_t n = std::min(piece, data.size() - offset);
                Platform::Bytes part(data.begin() + static_cast<std::ptrdiff_t>(offset),
                                     data.begin() + static_cast<std::ptrdiff_t>(offset + n));
                auto status = AwaitBounded(
                    characteristic->WriteValueWithResultAsync(std::move(part), Platform::WriteOption::WithoutResponse),
                    bound, "WriteValueAsync");
                if (status != Platform::GattStatus::Success)
                    throw ApiException("Failed to write characteristic value.", 3);
                offset += n;
            } while (offset < data.size());
        });
    });
}

GattAccess::HandlerSlot::HandlerSlot(NotificationHandler handler)
    : handler_(std::make_shared<const NotificationHandler>(std::move(handler))) {}

std::shared_ptr<const GattAccess::NotificationHandler> GattAccess::HandlerSlot::Exchange(
    std::shared_ptr<const NotificationHandler> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(handler_, std::move(handler));
}

void GattAccess::HandlerSlot::Deliver(const std::vector<uint8_t>& value) const {
    std::shared_ptr<const NotificationHandler> handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handler = handler_;
    }
    try {
        if (handler && *handler) (*handler)(value);
    } catch (...) {
        // A throwing handler must not reach the backend's notification thread.
    }
}

Platform::EventToken GattAccess::Register(Platform::IGattCharacteristic& characteristic,
                                          std::shared_ptr<HandlerSlot> slot) {
    return characteristic.AddValueChanged(
        [slot = std::move(slot)](const Platform::Bytes& value) { slot->Deliver(value); });
}

bool GattAccess::Unregister(const Subscription& subscription) {
    if (!subscription.characteristic || subscription.token == 0) return true;
    try {
        subscription.characteristic->RemoveValueChanged(subscription.token);
        return true;
    } catch (...) {
        return false;
    }
}

void GattAccess::EnableNotifications(Platform::IGattCharacteristic& characteristic, uint32_t boundMs) {
    auto status =
        AwaitBounded(characteristic.WriteClientCharacteristicConfigurationDescriptorAsync(Platform::CccdValue::Notify),
                     boundMs, "SubscribeCccd");
    if (status != Platform::GattStatus::Success)
        throw ApiException("Failed to subscribe to characteristic notifications.", 3);
}

void GattAccess::Subscribe(const std::string& uuidText, NotificationHandler handler) {
    auto characteristic = GetCharacteristic(uuidText);
    const Platform::Uuid uuid = ParseUuidText(uuidText);
    const uint32_t bound = timing_.subscribeBoundMs;
    lane_.Run(
        "Subscribe", timing_.taskBudgetMs, [this, characteristic, uuid, bound, handler = std::move(handler)]() mutable {
            TranslatingPlatformErrors([&] {
                // Subscribe tasks run one at a time on the executor, so the entry found here is
                // still the stored one when this task ends.
                std::shared_ptr<HandlerSlot> existing;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    auto it = subscriptions_.find(uuid);
                    if (it != subscriptions_.end() && it->second.characteristic == characteristic)
                        existing = it->second.slot;
                }
                if (existing) {
                    // Replacing in place: a second registration next to the first would hand the
                    // notifications in between to both handlers.
                    auto previous = existing->Exchange(std::make_shared<const NotificationHandler>(std::move(handler)));
                    try {
                        EnableNotifications(*characteristic, bound);
                    } catch (...) {
                        existing->Exchange(std::move(previous));
                        throw;
                    }
                    return;
                }
                // Registered before notifications are switched on, so none is missed.
                auto slot = std::make_shared<HandlerSlot>(std::move(handler));
                Subscription added{characteristic, Register(*characteristic, slot), slot};
                try {
                    EnableNotifications(*characteristic, bound);
                } catch (...) {
                    Unregister(added);
                    throw;
                }
                Subscription replaced;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    auto& entry = subscriptions_[uuid];
                    replaced = std::exchange(entry, added);
                }
                // A stored registration of another characteristic object with this UUID goes.
                Unregister(replaced);
            });
        });
}

void GattAccess::Unsubscribe(const std::string& uuidText) {
    const Platform::Uuid uuid = ParseUuidText(uuidText);
    std::shared_ptr<Platform::IGattCharacteristic> characteristic;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = characteristics_.find(uuid);
        if (it == characteristics_.end()) return;
        characteristic = it->second;
    }
    const uint32_t bound = timing_.unsubscribeBoundMs;
    lane_.Run("Unsubscribe", timing_.taskBudgetMs, [this, characteristic, uuid, bound] {
        Subscription removed;
        std::shared_ptr<Platform::IBluetoothLEDevice> device;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = subscriptions_.find(uuid);
            if (it != subscriptions_.end()) {
                removed = it->second;
                subscriptions_.erase(it);
            }
            device = device_;
        }
        if (!Unregister(removed)) {
            LogMessage(kLogWarn, "device '%s': revoking a notification handler failed", deviceName_.c_str());
        }
        // Switching notifications off is a courtesy to the device; a lost link is not an error here.
        try {
            if (device && device->GetConnectionStatus() == Platform::ConnectionStatus::Connected) {
                AwaitBounded(
                    characteristic->WriteClientCharacteristicConfigurationDescriptorAsync(Platform::CccdValue::None),
                    bound, "UnsubscribeCccd");
            }
        } catch (...) {
        }
    });
}

std::vector<std::shared_ptr<Platform::IGattService>> GattAccess::DetachAll() {
    std::map<Platform::Uuid, std::shared_ptr<Platform::IGattService>> services;
    std::map<Platform::Uuid, std::shared_ptr<Platform::IGattCharacteristic>> characteristics;
    std::map<Platform::Uuid, Subscription> subscriptions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        services.swap(services_);
        characteristics.swap(characteristics_);
        subscriptions.swap(subscriptions_);
    }
    for (const auto& [uuid, subscription] : subscriptions) Unregister(subscription);
    std::vector<std::shared_ptr<Platform::IGattService>> detached;
    detached.reserve(services.size());
    for (auto& [uuid, service] : services) detached.push_back(std::move(service));
    return detached;
}

}  // namespace Mivo::BLE
