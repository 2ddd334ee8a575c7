#pragma once
// One opened amplifier.
//
// Constructing the object opens the device: it resolves the advertised name to an address,
// connects, discovers the GATT services, picks (or detects) the protocol generation, reads
// the device information, the configuration and the battery level, and then starts its own
// reconnect thread. When the link drops, that thread reports the loss, reconnects with a
// growing pause until it succeeds or the device is closed, restarts the sample stream and
// reports the link as back. Every platform call runs as a named task on the device's own
// lane of the Bluetooth executor, so it never waits for another device's radio work; every
// asynchronous wait inside has a bound.
//
// Files by concern: ble_device_connect.cpp (open sequence), ble_device_link.cpp (link loss,
// reconnect, teardown, close), ble_device_stream.cpp (data callbacks, layout, GATT access
// for the API), ble_device_frames.cpp (command-frame transaction), ble_device_smp.cpp (SMP
// transport).
//
// Locks, none held across an executor task: the GATT lock (inside GattAccess), the
// configuration lock (ConfigurationCollector), the stream lock (SampleStream), the reconnect
// lock, the frame-handler lock, the frame-response lock (FrameResponseCollector), the
// frame-transaction lock, the SMP transport lock and the SMP command lock.
//
// Lifetime: a device that cannot be destroyed safely (its reconnect thread had to be
// detached) keeps a reference to itself for the rest of the process, so no thread can ever
// see it freed. Create devices with std::make_shared.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/i_device.h"
#include "device/device_timing.h"
#include "device/gatt_access.h"
#include "platform/stack.h"
#include "protocol/configuration_collector.h"
#include "protocol/frame_response_collector.h"
#include "protocol/protocol_handler.h"
#include "protocol/sample_stream.h"
#include "runtime/bluetooth_executor.h"
#include "smp/smp_response_matcher.h"

namespace Mivo::BLE {

class BleScanner;

class BleDevice final : public IDevice, public std::enable_shared_from_this<BleDevice> {
public:
    // Opens the device; throws ApiException (or a standard error) when the open fails.
    // handler: null applies the process-wide default generation (or detection).
    // scanner: null uses the process-wide scanner; otherwise it must outlive the device.
    // findHandle: the handle the rows and link states are reported with, from whoever
    //   registers the device; empty reports nothing, as for a device never registered.
    BleDevice(std::string name, std::shared_ptr<IProtocolHandler> handler, DeviceTiming timing = {},
              BleScanner* scanner = nullptr, HandleFinder findHandle = {});
    ~BleDevice() override;
    BleDevice(const BleDevice&) = delete;
    BleDevice& operator=(const BleDevice&) = delete;

    // IDevice
    bool CanDestroy() override;
    void Close() override;
    MIVOBLE_DEVICE_INFORMATION GetDeviceInformation() override;
    std::vector<MIVOBLE_CHANNEL_CONFIGURATION> GetChannelConfiguration() override;
    void SetDataAvailableCallback(DataAvailableCallback callback) override;
    void SetDataAvailableBatchedCallback(DataAvailableBatchedCallback callback) override;
    void SetFramesPerCallback(uint32_t frames) override;
    void SetConnectionStateCallback(ConnectionStateCallback callback) override;
    std::vector<uint8_t> ReadCharacteristic(const char* serviceUuid, const char* characteristicUuid) override;
    void WriteCharacteristic(const char* serviceUuid, const char* characteristicUuid, const uint8_t* data,
                             size_t length) override;
    bool HasService(const char* serviceUuid) override;
    std::vector<uint8_t> SendSmpCommand(const std::vector<uint8_t>& frame, uint32_t timeoutMs) override;
    std::vector<uint8_t> SendFrame(const uint8_t* frame, uint32_t length, uint32_t timeoutMs) override;
    void SetFrameHandler(FrameHandler handler) override;
    uint8_t GetBatteryLevel() override;
    int32_t SetChannelCount(uint8_t channelCount) override;
    int32_t SetActiveLayout(uint8_t channelCount, uint16_t framesPerPayload, uint8_t bytesPerSample, bool littleEndian,
                            uint16_t samplingRate) override;
    uint8_t NextSmpSequence() override;
    std::unique_ptr<ISmpSession> OpenSmpSession() override;

    // Inspection (tests and diagnostics).
    const std::string& Name() const { return name_; }
    std::shared_ptr<IProtocolHandler> Handler() const { return configuration_.Handler(); }
    bool IsReady() const { return ready_.load(); }
    bool IsLeaked() const { return leaked_.load(); }
    bool ReconnectThreadExited() const { return threadExited_.load(); }
    // Waits until the reconnect thread has left its loop; false after `timeout`.
    bool WaitForReconnectThreadExit(std::chrono::milliseconds timeout);

private:
    using Bytes = std::vector<uint8_t>;

    // ---- open sequence (ble_device_connect.cpp) ----
    void Connect(int attempts);
    void ConnectAttempt();
    uint64_t ResolveAddress();
    void ObtainPlatformDevice(uint64_t address);
    void RegisterConnectionStatusHandler();
    void DiscoverServices();
    void DetectGeneration();
    void ReadDeviceInformation();
    void ConfigureNus();
    void ConfigureLegacy();
    void ReadBatteryLevel();
    void VerifyLink();
    void ThrowIfClosing() const;
    // Waits `pause` unless the device starts closing meanwhile.
    void PauseUnlessClosing(std::chrono::milliseconds pause);
    BleScanner& Scanner();
    std::shared_ptr<Platform::IBluetoothLEDevice> PlatformDevice();

    // ---- link (ble_device_link.cpp) ----
    void StartReconnectThread();
    void OnConnectionStatusChanged(const std::weak_ptr<Platform::IBluetoothLEDevice>& sender);
    void ReconnectLoop();
    void Reconnect();
    void TeardownConnection();
    void TeardownBody();
    void ReportConnectionState(uint32_t state);
    // The handle this device is registered under; throws while it is not registered.
    MIVOBLE_HANDLE OwnHandle() const;
    // Close: waits for the reconnect thread within the close bound; when it does not exit in
    // time, marks the device leaked (under the reconnect lock) and returns false.
    bool WaitForReconnectThreadExitOrGiveUp();
    // Keeps this object alive for the rest of the process (its detached thread may use it).
    void KeepAliveForever();

    // ---- stream (ble_device_stream.cpp) ----
    void StartStreaming();
    void StopStreaming();
    // A data callback registered from inside a delivery of this device's stream.
    void FollowCallbackFromInsideDelivery(bool streamShouldRun);

    // ---- frames and SMP ----
    void OnTxNotification(const Bytes& value);
    void SubscribeTx();
    class SmpSession;
    void ForgetSmpParameters();

    const std::string name_;
    const DeviceTiming timing_;
    BleScanner* const scanner_;
    const HandleFinder findHandle_;
    // This device's serial lane of Bluetooth work; CanDestroy asks it whether a task may be
    // stuck with a reference to this object.
    BluetoothLane lane_;

    // Configuration, sample stream and GATT tables.
    ConfigurationCollector configuration_;
    GattAccess gatt_;
    SampleStream stream_;
    UuidTable uuids_;  // the handler's table, copied by the first open and constant afterwards
    // Serialises the callback registrations with the start or stop of the subscriptions
    // they imply. Never taken on a notification thread.
    std::mutex streamControlMutex_;
    // Set while a reconnect rebuilds the link (under streamControlMutex_): a callback
    // registered meanwhile is kept, and the reconnect starts the stream once the new link is
    // configured, so the first payloads of the new link are not dropped.
    bool reconnectPending_ = false;

    // Platform device and its link-status registration; touched by executor tasks and read by
    // event threads, hence the lock.
    std::mutex platformMutex_;
    std::shared_ptr<Platform::IBluetoothLEDevice> platformDevice_;
    Platform::EventToken connectionStatusToken_ = 0;

    // Link state.
    std::atomic<bool> ready_{false};
    std::atomic<bool> tearingDown_{false};
    std::atomic<bool> dataSubscribed_{false};
    std::atomic<bool> batterySubscribed_{false};
    std::atomic<bool> txSubscribed_{false};

    // Reconnect thread and its flags (linkLost_, notifyLinkLost_ under reconnectMutex_).
    std::mutex reconnectMutex_;
    std::condition_variable reconnectCondition_;
    std::thread reconnectThread_;
    bool linkLost_ = false;
    bool notifyLinkLost_ = false;
    std::atomic<bool> closing_{false};
    std::atomic<bool> threadExited_{false};
    std::atomic<bool> closeStarted_{false};
    std::atomic<bool> leaked_{false};
    std::atomic<ConnectionStateCallback> connectionStateCallback_{nullptr};

    // Command frames: the installed frame handler, the response collector, one transaction at a time.
    std::mutex frameHandlerMutex_;
    std::shared_ptr<const FrameHandler> frameHandler_;
    FrameResponseCollector frameResponses_;
    std::mutex frameTransactionMutex_;

    // SMP transport: responses matched to their requests; one session (a single command or an
    // upload) at a time under smpSessionMutex_; the server's parameters for this connection.
    std::mutex smpSessionMutex_;
    SmpResponseMatcher smpMatcher_{name_};
    std::atomic<uint8_t> smpSequence_{0};
    std::mutex smpParametersMutex_;
    SmpServerParameters smpParameters_;
};

}  // namespace Mivo::BLE
