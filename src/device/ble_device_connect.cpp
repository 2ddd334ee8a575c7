// The open sequence: construction, Connect with its attempts, address resolution, service
// discovery, generation detection, device information, configuration and battery.
#include <array>
#include <chrono>
#include <optional>
#include <utility>

#include "core/api_exception.h"
#include "device/ble_device.h"
#include "device/device_task.h"
#include "discovery/ble_scanner.h"
#include "log/log.h"
#include "platform/backend.h"
#include "protocol/default_generation.h"
#include "protocol/uuid_text.h"
#include "runtime/await_bounded.h"

namespace Mivo::BLE {
namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string Text(std::string_view view) { return std::string(view); }

}  // namespace

BleDevice::BleDevice(std::string name, std::shared_ptr<IProtocolHandler> handler, DeviceTiming timing,
                     BleScanner* scanner, HandleFinder findHandle)
    : name_(std::move(name)),
      timing_(timing),
      scanner_(scanner),
      findHandle_(std::move(findHandle)),
      lane_(BluetoothExecutor::Instance().CreateLane("device '" + name_ + "'", timing_.lane)),
      gatt_(name_, timing_.gatt, lane_),
      stream_(
          configuration_, [this] { return OwnHandle(); }, [this] { return ready_.load() && !tearingDown_.load(); }),
      frameResponses_(FrameTiming{timing_.frameDrainWindow, timing_.frameDrainLimit}) {
    // No handler given: the process-wide default generation decides; "automatic" leaves it
    // unset and the open detects it from the services.
    if (!handler) handler = CreateHandlerForGeneration(GetDefaultGeneration());
    if (handler) configuration_.SetHandler(std::move(handler));
    stream_.SetDeviceName(name_);

    Connect(timing_.openAttempts);
    StartReconnectThread();
}

void BleDevice::Connect(int attempts) {
    if (attempts < 1) attempts = 1;
    std::optional<ApiException> last;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        LogMessage(kLogInfo, "device '%s': connect attempt %d/%d", name_.c_str(), attempt, attempts);
        try {
            ConnectAttempt();
            return;
        } catch (const ApiException& e) {
            last = e;
            LogMessage(kLogWarn, "device '%s': connect attempt %d/%d failed: %s", name_.c_str(), attempt, attempts,
                       e.what());
            TeardownConnection();
            configuration_.ClearTables();
            if (closing_.load()) break;
            if (attempt < attempts) PauseUnlessClosing(timing_.attemptPause);
        } catch (...) {
            // Not a device failure (for example a bad UUID text): no further attempt.
            ready_ = false;
            TeardownConnection();
            stream_.FreeTables();
            throw;
        }
    }
    throw ApiException(*last);
}

void BleDevice::ConnectAttempt() {
    ForgetSmpParameters();  // a new connection may reach another firmware: ask again
    const uint64_t address = ResolveAddress();
    ThrowIfClosing();
    ObtainPlatformDevice(address);
    RegisterConnectionStatusHandler();
    DiscoverServices();
    ThrowIfClosing();

    if (!configuration_.Handler()) DetectGeneration();
    auto handler = configuration_.Handler();
    // The handler never changes after the first open, so neither does its table; it is copied
    // once, before the object is shared, and read without a lock afterwards.
    if (uuids_[kUuidSampleCharacteristic].empty()) uuids_ = handler->GetUuidTable();

    // The samples are the one fast, long stream of notifications.
    gatt_.GetCharacteristic(uuids_[kUuidSampleCharacteristic])->PreferStreamDelivery();
    gatt_.GetCharacteristic(Text(ProtocolUuids::kBatteryLevel));

    ReadDeviceInformation();
    ThrowIfClosing();

    if (handler->IsNusGeneration()) {
        ConfigureNus();
    } else {
        ConfigureLegacy();
    }
    ReadBatteryLevel();
    VerifyLink();

    stream_.BuildTables();  // also finishes the device information
    ready_ = true;
    const MIVOBLE_DEVICE_INFORMATION info = configuration_.GetDeviceInformation();
    LogMessage(kLogInfo, "device '%s': connected and configured (%u channels, %u Hz)", name_.c_str(),
               static_cast<unsigned>(info.numberOfAcquiredChannels), static_cast<unsigned>(info.samplingRate));
}

BleScanner& BleDevice::Scanner() { return scanner_ ? *scanner_ : BleScanner::Instance(); }

uint64_t BleDevice::ResolveAddress() {
    BleScanner& scanner = Scanner();  // its first use checks the radio
    const auto start = Clock::now();
    double elapsed = 0.0;
    bool startedScan = false;
    BleScanner::FindResult found;
    for (;;) {
        found = scanner.FindAddress(name_);
        if (found.found) break;
        if (scanner.EnsureScanning()) startedScan = true;
        PauseUnlessClosing(timing_.resolvePoll);
        if (closing_.load()) break;
        elapsed = MillisecondsSince(start);
        if (elapsed >= static_cast<double>(timing_.resolveLimit.count())) break;
    }
    // Only a scan this lookup started is stopped; one the host runs is left running.
    if (startedScan) scanner.StopScanning();

    if (!found.found) {
        LogMessage(kLogWarn, "device '%s': not found after %.0f ms of scanning", name_.c_str(), elapsed);
        throw ApiException("Could not find device with the specified serial number.", MIVOBLE_ERROR_DEVICE);
    }
    LogMessage(kLogDebug, "device '%s': resolved address after %.0f ms", name_.c_str(), elapsed);
    if (!found.connectable) throw ApiException("'" + name_ + "' is not connectable.", MIVOBLE_ERROR_DEVICE);
    return found.address;
}

void BleDevice::ObtainPlatformDevice(uint64_t address) {
    const uint32_t bound = timing_.fromAddressBoundMs;
    auto device = RunDeviceTask(lane_, "FromBluetoothAddress", timing_.taskBudgetMs, [address, bound] {
        return AwaitBounded(Platform::GetStack()->FromBluetoothAddressAsync(address), bound, "FromBluetoothAddress");
    });
    {
        std::lock_guard<std::mutex> lock(platformMutex_);
        platformDevice_ = device;
    }
    gatt_.SetPlatformDevice(device);
    if (!device) throw ApiException("Could not connect to device.", MIVOBLE_ERROR_DEVICE);
}

void BleDevice::RegisterConnectionStatusHandler() {
    RunDeviceTask(lane_, "RegisterConnectionStatusHandler", timing_.taskBudgetMs, [this] {
        auto device = PlatformDevice();
        if (!device) throw ApiException("Could not connect to device.", MIVOBLE_ERROR_DEVICE);
        std::weak_ptr<Platform::IBluetoothLEDevice> sender = device;
        const Platform::EventToken token =
            device->AddConnectionStatusChanged([this, sender] { OnConnectionStatusChanged(sender); });
        std::lock_guard<std::mutex> lock(platformMutex_);
        connectionStatusToken_ = token;
    });
}

void BleDevice::DiscoverServices() {
    RunDeviceTask(lane_, "DiscoverServices", timing_.discoveryBudgetMs, [this] {
        const auto start = Clock::now();
        const uint32_t deadline = timing_.discoveryDeadlineMs;
        auto device = PlatformDevice();
        if (!device) throw ApiException("Could not discover GATT services.", MIVOBLE_ERROR_DEVICE);
        auto services =
            AwaitBounded(device->GetGattServicesAsync(), BoundWithinDeadline(start, timing_.servicesBoundMs, deadline),
                         "GetGattServicesAsync");
        if (services.status != Platform::GattStatus::Success) {
            throw ApiException("Could not discover GATT services.", MIVOBLE_ERROR_DEVICE);
        }
        for (const auto& service : services.services) {
            gatt_.StoreService(service);
            auto characteristics = AwaitBounded(service->GetCharacteristicsAsync(),
                                                BoundWithinDeadline(start, timing_.characteristicsBoundMs, deadline),
                                                "GetCharacteristicsAsync");
            // A service whose characteristics cannot be listed is skipped; the lookups of the
            // characteristics the open needs report what is missing.
            if (characteristics.status != Platform::GattStatus::Success) continue;
            for (const auto& characteristic : characteristics.characteristics)
                gatt_.StoreCharacteristic(characteristic);
        }
        LogMessage(kLogInfo, "device '%s': discovered %u services, %u characteristics", name_.c_str(),
                   static_cast<unsigned>(gatt_.ServiceCount()), static_cast<unsigned>(gatt_.CharacteristicCount()));
    });
}

void BleDevice::DetectGeneration() {
    std::vector<Platform::Uuid> present;
    for (std::string_view service : {ProtocolUuids::kNusService, ProtocolUuids::kDataService}) {
        if (gatt_.HasService(Text(service))) present.push_back(ParseUuidText(service));
    }
    // The detected handler stays for the life of the device: a reconnect never detects again.
    configuration_.SetHandler(DetectProtocolHandler(present));
}

void BleDevice::ReadDeviceInformation() {
    static constexpr std::array<std::pair<std::string_view, DeviceInformationText>, 5> kTexts{{
        {ProtocolUuids::kModelNumber, DeviceInformationText::ModelNumber},
        {ProtocolUuids::kSerialNumber, DeviceInformationText::SerialNumber},
        {ProtocolUuids::kFirmwareRevision, DeviceInformationText::FirmwareRevision},
        {ProtocolUuids::kHardwareRevision, DeviceInformationText::HardwareRevision},
        {ProtocolUuids::kManufacturerName, DeviceInformationText::ManufacturerName},
    }};
    for (const auto& [uuid, field] : kTexts) {
        const Bytes value = gatt_.Read(Text(uuid));
        configuration_.SetDeviceInformationText(field, value);
    }
}

void BleDevice::ConfigureNus() {
    gatt_.GetCharacteristic(uuids_[kUuidNusRx]);
    gatt_.GetCharacteristic(uuids_[kUuidNusTx]);
    // One channel, one frame at the rate of the last open (256 Hz on the first), until the
    // host sets a layout; after that, the host's layout, which the amplifier keeps over a
    // lost link.
    stream_.ApplyConnectLayout();
}

void BleDevice::ConfigureLegacy() {
    configuration_.DecodeAmplifierConfiguration(gatt_.Read(uuids_[kUuidAmplifierConfiguration]));
    static constexpr std::array<std::pair<RecordKind, UuidTableEntry>, 3> kTables{{
        {RecordKind::Channel, kUuidChannelConfiguration},
        {RecordKind::Payload, kUuidPayloadConfiguration},
        {RecordKind::Filter, kUuidFilterConfiguration},
    }};
    for (const auto& [kind, entry] : kTables) {
        const std::string uuid = uuids_[entry];
        const RecordKind recordKind = kind;
        configuration_.Collect(
            recordKind,
            [&] {
                gatt_.Subscribe(uuid,
                                [this, recordKind](const Bytes& value) { configuration_.OnRecord(recordKind, value); });
            },
            [&] { gatt_.Unsubscribe(uuid); }, timing_.configurationWait);
    }
}

void BleDevice::ReadBatteryLevel() {
    const Bytes value = gatt_.Read(Text(ProtocolUuids::kBatteryLevel));
    configuration_.DecodeBatteryLevel(value);
}

void BleDevice::VerifyLink() {
    const bool connected = RunDeviceTask(lane_, "VerifyLink", timing_.taskBudgetMs, [this] {
        auto device = PlatformDevice();
        return device && device->GetConnectionStatus() == Platform::ConnectionStatus::Connected;
    });
    if (!connected) throw ApiException("Device is not connected after configuration.", MIVOBLE_ERROR_DEVICE);
}

void BleDevice::ThrowIfClosing() const {
    if (closing_.load()) throw ApiException("Device is closing.", MIVOBLE_ERROR_GENERAL);
}

void BleDevice::PauseUnlessClosing(std::chrono::milliseconds pause) {
    std::unique_lock<std::mutex> lock(reconnectMutex_);
    reconnectCondition_.wait_for(lock, pause, [this] { return closing_.load(); });
}

std::shared_ptr<Platform::IBluetoothLEDevice> BleDevice::PlatformDevice() {
    std::lock_guard<std::mutex> lock(platformMutex_);
    return platformDevice_;
}

}  // namespace Mivo::BLE
