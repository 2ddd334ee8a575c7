#pragma once
// Test doubles of the factory, the scanner and devices, installed with SetFactoryForTesting.
#include <gmock/gmock.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "api/ble_factory.h"

namespace Mivo::BLE::Testing {

class MockDevice : public IDevice {
public:
    MOCK_METHOD(bool, CanDestroy, (), (override));
    MOCK_METHOD(void, Close, (), (override));
    MOCK_METHOD(MIVOBLE_DEVICE_INFORMATION, GetDeviceInformation, (), (override));
    MOCK_METHOD(std::vector<MIVOBLE_CHANNEL_CONFIGURATION>, GetChannelConfiguration, (), (override));
    MOCK_METHOD(void, SetDataAvailableCallback, (DataAvailableCallback), (override));
    MOCK_METHOD(void, SetDataAvailableBatchedCallback, (DataAvailableBatchedCallback), (override));
    MOCK_METHOD(void, SetFramesPerCallback, (uint32_t), (override));
    MOCK_METHOD(void, SetConnectionStateCallback, (ConnectionStateCallback), (override));
    MOCK_METHOD(std::vector<uint8_t>, ReadCharacteristic, (const char*, const char*), (override));
    MOCK_METHOD(void, WriteCharacteristic, (const char*, const char*, const uint8_t*, size_t), (override));
    MOCK_METHOD(bool, HasService, (const char*), (override));
    MOCK_METHOD(std::vector<uint8_t>, SendSmpCommand, (const std::vector<uint8_t>&, uint32_t), (override));
    MOCK_METHOD(std::vector<uint8_t>, SendFrame, (const uint8_t*, uint32_t, uint32_t), (override));
    MOCK_METHOD(void, SetFrameHandler, (FrameHandler), (override));
    MOCK_METHOD(uint8_t, GetBatteryLevel, (), (override));
    MOCK_METHOD(int32_t, SetChannelCount, (uint8_t), (override));
    MOCK_METHOD(int32_t, SetActiveLayout, (uint8_t, uint16_t, uint8_t, bool, uint16_t), (override));
    MOCK_METHOD(uint8_t, NextSmpSequence, (), (override));
    MOCK_METHOD(std::unique_ptr<ISmpSession>, OpenSmpSession, (), (override));
};

class MockAdapter : public IAdapter {
public:
    MOCK_METHOD(void, StartScanning, (), (override));
    MOCK_METHOD(void, StopScanning, (), (override));
    MOCK_METHOD(bool, IsScanning, (), (override));
    MOCK_METHOD(void, Shutdown, (), (override));
    MOCK_METHOD(void, SetDeviceDiscoveredCallback, (DeviceDiscoveredCallback), (override));
    MOCK_METHOD(void, SetDeviceListChangedCallback, (DeviceListChangedCallback), (override));
    MOCK_METHOD(int32_t, GetDiscoveredDeviceCount, (), (override));
    MOCK_METHOD(int32_t, GetDiscoveredDeviceName, (uint32_t, char*, uint32_t), (override));
};

using Device = ::testing::NiceMock<MockDevice>;

// A device that reports `serial` as its serial number and may be destroyed.
inline std::shared_ptr<Device> MakeDevice(const std::string& serial) {
    auto device = std::make_shared<Device>();
    MIVOBLE_DEVICE_INFORMATION info{};
    std::strncpy(info.serialNumber, serial.c_str(), sizeof info.serialNumber - 1);
    ON_CALL(*device, GetDeviceInformation()).WillByDefault(::testing::Return(info));
    ON_CALL(*device, CanDestroy()).WillByDefault(::testing::Return(true));
    return device;
}

class FakeFactory : public BLEFactory {
public:
    ::testing::NiceMock<MockAdapter> adapter;
    // Makes the device for a name; by default a fresh MakeDevice(name).
    std::function<std::shared_ptr<IDevice>(const std::string&)> create = [](const std::string& name) {
        return MakeDevice(name);
    };
    std::function<void()> adapterFailure;  // throws when set
    std::atomic<int> creates{0};

    IAdapter& GetAdapter() override {
        if (adapterFailure) adapterFailure();
        return adapter;
    }
    std::shared_ptr<IDevice> CreateDevice(const std::string& name, std::shared_ptr<IProtocolHandler> handler) override {
        EXPECT_EQ(handler, nullptr);
        ++creates;
        return create(name);
    }
};

}  // namespace Mivo::BLE::Testing
