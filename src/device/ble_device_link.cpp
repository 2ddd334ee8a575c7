// Link loss, the reconnect thread, teardown, Close, CanDestroy and the destructor.
#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "core/api_exception.h"
#include "device/ble_device.h"
#include "device/device_task.h"
#include "log/log.h"
#include "runtime/await_bounded.h"
#include "runtime/bluetooth_executor.h"

namespace Mivo::BLE {
namespace {

// Devices whose reconnect thread had to be detached. Reachable for the whole process and
// never destroyed, so a detached thread never sees its device freed.
std::mutex& LeakedMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}
std::vector<std::shared_ptr<BleDevice>>& LeakedDevices() {
    static auto* devices = new std::vector<std::shared_ptr<BleDevice>>();
    return *devices;
}

std::string ErrorText(std::exception_ptr error) {
    try {
        std::rethrow_exception(std::move(error));
    } catch (const std::exception& e) {
        return e.what()[0] != '\0' ? e.what() : "unknown error";
    } catch (const Platform::PlatformError& e) {
        return e.message.empty() ? "unknown error" : e.message;
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

void BleDevice::StartReconnectThread() {
    {
        std::lock_guard<std::mutex> lock(reconnectMutex_);
        // A loss reported during the open concerned a link the open already replaced or
        // verified. A link that went down after the final check is still a loss: the status
        // is read here, under the lock, so that a loss either shows up now or sets the flags.
        linkLost_ = false;
        notifyLinkLost_ = false;
        auto device = PlatformDevice();
        bool connected = false;
        try {
            connected = device && device->GetConnectionStatus() == Platform::ConnectionStatus::Connected;
        } catch (...) {
        }
        if (!connected) {
            ready_ = false;
            linkLost_ = true;
            notifyLinkLost_ = true;
        }
    }
    reconnectThread_ = std::thread([this] { ReconnectLoop(); });
}

void BleDevice::OnConnectionStatusChanged(const std::weak_ptr<Platform::IBluetoothLEDevice>& sender) {
    if (tearingDown_.load()) return;
    try {
        auto device = sender.lock();
        if (!device || device->GetConnectionStatus() == Platform::ConnectionStatus::Connected) return;
    } catch (...) {
        return;
    }
    // Samples are no longer accepted, before the reconnect thread wakes: it hands the rows
    // still waiting in a batch to the application, and none may follow them.
    ready_ = false;
    bool unsolicited = false;
    {
        std::lock_guard<std::mutex> lock(reconnectMutex_);
        if (!closing_.load()) {
            linkLost_ = true;
            notifyLinkLost_ = true;
            unsolicited = true;
        }
        // Written before the reconnect thread can see the flags: the line carries the time of
        // the loss, and it is in the log before the application hears of the loss (and maybe
        // ends the process), never after.
        LogMessage(kLogWarn, "device '%s': link lost (unsolicited=%d)", name_.c_str(), unsolicited ? 1 : 0);
    }
    if (unsolicited) reconnectCondition_.notify_all();
}

void BleDevice::ReconnectLoop() {
    auto exitThread = [this] {
        // A Close that gave up waiting for this thread left the transport to it. Close decides
        // under the same lock, so either it sees this thread gone or this thread sees it gave up.
        bool tearDown = false;
        {
            std::lock_guard<std::mutex> lock(reconnectMutex_);
            tearDown = leaked_.load();
            if (!tearDown) threadExited_ = true;
        }
        if (tearDown) {
            TeardownConnection();
            std::lock_guard<std::mutex> lock(reconnectMutex_);
            threadExited_ = true;
        }
        reconnectCondition_.notify_all();
    };
    for (;;) {
        bool notify = false;
        {
            std::unique_lock<std::mutex> lock(reconnectMutex_);
            reconnectCondition_.wait(lock, [this] { return linkLost_ || closing_.load(); });
            if (closing_.load()) {
                lock.unlock();
                return exitThread();
            }
            linkLost_ = false;
            notify = std::exchange(notifyLinkLost_, false);
        }
        // The rows of the lost link, then the loss.
        stream_.DeliverWaitingRows();
        if (notify) ReportConnectionState(MIVOBLE_CONNECTION_LOST);

        auto delay = timing_.reconnectFirstDelay;
        for (int attempt = 1;; ++attempt) {
            if (closing_.load()) return exitThread();
            LogMessage(kLogInfo, "device '%s': reconnect attempt %d", name_.c_str(), attempt);
            std::exception_ptr failure;
            try {
                Reconnect();
            } catch (...) {
                failure = std::current_exception();
            }
            if (!failure) {
                LogMessage(kLogInfo, "device '%s': reconnected after %d attempt(s)", name_.c_str(), attempt);
                break;
            }
            LogMessage(kLogWarn, "device '%s': reconnect attempt %d failed (%s); retrying in %d ms", name_.c_str(),
                       attempt, ErrorText(failure).c_str(), static_cast<int>(delay.count()));
            {
                std::unique_lock<std::mutex> lock(reconnectMutex_);
                if (reconnectCondition_.wait_for(lock, delay, [this] { return closing_.load(); })) {
                    lock.unlock();
                    return exitThread();
                }
            }
            delay = std::min(delay * 2, timing_.reconnectMaxDelay);
        }
    }
}

void BleDevice::Reconnect() {
    {
        std::lock_guard<std::mutex> control(streamControlMutex_);
        reconnectPending_ = true;
    }
    TeardownConnection();
    // Rows of a link an earlier attempt made and lost go out before any of the next one.
    stream_.DeliverWaitingRows();
    stream_.FreeTables();
    {
        // The loss being handled is the old link's; only a loss of the link this attempt
        // makes should start another cycle.
        std::lock_guard<std::mutex> lock(reconnectMutex_);
        linkLost_ = false;
        notifyLinkLost_ = false;
    }
    Connect(1);

    {
        // The stream starts again from here, for the callback of now, whether it was
        // registered before the loss or since.
        std::lock_guard<std::mutex> control(streamControlMutex_);
        reconnectPending_ = false;
        if (stream_.HasCallback()) StartStreaming();
    }
    bool frameHandlerInstalled = false;
    {
        std::lock_guard<std::mutex> lock(frameHandlerMutex_);
        frameHandlerInstalled = frameHandler_ != nullptr;
    }
    if (frameHandlerInstalled && !txSubscribed_.load()) SubscribeTx();
    ReportConnectionState(MIVOBLE_CONNECTION_CONNECTED);
}

void BleDevice::ReportConnectionState(uint32_t state) {
    ConnectionStateCallback callback = connectionStateCallback_.load();
    if (!callback) return;
    try {
        const MIVOBLE_HANDLE handle = OwnHandle();
        callback(handle, state);
    } catch (...) {
        // Not registered (any more), or the callback threw: nothing is reported.
    }
}

MIVOBLE_HANDLE BleDevice::OwnHandle() const {
    if (!findHandle_) throw ApiException("Device not found.", 1);
    return findHandle_(this);
}

void BleDevice::TeardownConnection() {
    try {
        RunDeviceTask(lane_, "TeardownConnection", timing_.teardownBudgetMs, [this] { TeardownBody(); });
        return;
    } catch (...) {
    }
    // A stopped runtime runs no more tasks, yet the platform still holds handlers that call
    // this object: they are removed here, on the calling thread, before it can be freed.
    if (lane_.IsStopped()) {
        try {
            TeardownBody();
        } catch (...) {
        }
    }
    tearingDown_ = false;
}

void BleDevice::TeardownBody() {
    std::shared_ptr<Platform::IBluetoothLEDevice> device;
    Platform::EventToken token = 0;
    {
        std::lock_guard<std::mutex> lock(platformMutex_);
        device = platformDevice_;
        token = connectionStatusToken_;
    }
    if (!device) return;
    LogMessage(kLogDebug, "device '%s': tearing down transport", name_.c_str());
    tearingDown_ = true;
    ready_ = false;

    // Handlers go without descriptor writes: the link is going away.
    std::vector<std::shared_ptr<Platform::IGattService>> services = gatt_.DetachAll();
    if (token != 0) {
        try {
            device->RemoveConnectionStatusChanged(token);
        } catch (...) {
        }
    }
    for (const auto& service : services) {
        try {
            service->Close();
        } catch (...) {
        }
    }
    services.clear();
    {
        std::lock_guard<std::mutex> lock(platformMutex_);
        platformDevice_.reset();
        connectionStatusToken_ = 0;
    }
    gatt_.SetPlatformDevice(nullptr);
    // A slow close must not hold the executor.
    CloseInBackground(std::move(device));

    dataSubscribed_ = false;
    batterySubscribed_ = false;
    txSubscribed_ = false;
    tearingDown_ = false;
}

void BleDevice::KeepAliveForever() {
    leaked_ = true;
    std::shared_ptr<BleDevice> self = weak_from_this().lock();
    if (!self) return;
    std::lock_guard<std::mutex> lock(LeakedMutex());
    LeakedDevices().push_back(std::move(self));
}

void BleDevice::Close() {
    if (closeStarted_.exchange(true)) return;
    {
        std::lock_guard<std::mutex> lock(reconnectMutex_);
        closing_ = true;
    }
    reconnectCondition_.notify_all();

    bool handedOver = false;  // the detached thread tears the transport down when it exits
    if (reconnectThread_.joinable()) {
        if (std::this_thread::get_id() == reconnectThread_.get_id()) {
            // Called from the connection-state callback: the thread cannot join itself.
            LogMessage(kLogWarn, "device '%s': closed from its own reconnect thread; detaching it", name_.c_str());
            reconnectThread_.detach();
            KeepAliveForever();
        } else if (WaitForReconnectThreadExitOrGiveUp()) {
            reconnectThread_.join();
        } else {
            LogMessage(kLogError,
                       "device '%s': reconnect thread did not exit within %u ms; detaching it. The device object will "
                       "be leaked rather than destroyed.",
                       name_.c_str(), static_cast<unsigned>(timing_.closeBound.count()));
            reconnectThread_.detach();
            KeepAliveForever();
            handedOver = true;
        }
    }

    connectionStateCallback_ = nullptr;
    if (handedOver) {
        // The thread is stuck in a Bluetooth step, so every task queued now would wait behind
        // it: only the callbacks go here, which keeps Close within its bound.
        stream_.SetDataAvailableCallback(nullptr);
        return;
    }
    try {
        SetDataAvailableCallback(nullptr);  // clears both callbacks and stops the stream
    } catch (...) {
    }
    TeardownConnection();
}

bool BleDevice::WaitForReconnectThreadExitOrGiveUp() {
    std::unique_lock<std::mutex> lock(reconnectMutex_);
    if (reconnectCondition_.wait_for(lock, timing_.closeBound, [this] { return threadExited_.load(); })) return true;
    leaked_ = true;  // from here on the thread owns the teardown
    return false;
}

bool BleDevice::WaitForReconnectThreadExit(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(reconnectMutex_);
    return reconnectCondition_.wait_for(lock, timeout, [this] { return threadExited_.load(); });
}

bool BleDevice::CanDestroy() { return !leaked_.load() && !lane_.IsWedged(); }

BleDevice::~BleDevice() {
    LogMessage(kLogInfo, "device '%s': closing", name_.c_str());
    Close();
    if (leaked_.load()) {
        LogMessage(kLogError,
                   "device '%s': leaking streaming buffers; the detached reconnect thread may still use them",
                   name_.c_str());
        // Nothing keeps this object alive (it was never shared, or this is its last owner),
        // so its members go away with it: wait for the detached thread to finish its attempt,
        // which every bounded platform wait and executor budget ends eventually.
        std::unique_lock<std::mutex> lock(reconnectMutex_);
        reconnectCondition_.wait(lock, [this] { return threadExited_.load(); });
    } else {
        stream_.FreeTables();
    }
    LogMessage(kLogInfo, "device '%s': closed", name_.c_str());
}

}  // namespace Mivo::BLE
