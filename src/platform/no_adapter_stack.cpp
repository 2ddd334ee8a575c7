// A stack without a Bluetooth adapter: what the library sees on a machine with no radio.
#include <atomic>
#include <memory>

#include "platform/backend.h"
#include "platform/thread_pool.h"

namespace Mivo::BLE::Platform {
namespace {

class NullWatcher final : public IAdvertisementWatcher {
public:
    void SetScanningMode(ScanningMode) override {}
    EventToken AddReceived(std::function<void(const AdvertisementEvent&)>) override { return ++next_; }
    void RemoveReceived(EventToken) override {}
    void Start() override { throw PlatformError{-1, "No Bluetooth adapter found."}; }
    void Stop() override {}
    WatcherStatus Status() override { return WatcherStatus::Aborted; }

private:
    std::atomic<EventToken> next_{0};  // handlers may be added from several threads
};

class NoAdapterStack final : public IStack {
public:
    AsyncOp<std::shared_ptr<IBluetoothAdapter>> GetDefaultAdapterAsync() override {
        return CompletedOperation<std::shared_ptr<IBluetoothAdapter>>(nullptr);
    }
    std::shared_ptr<IAdvertisementWatcher> CreateAdvertisementWatcher() override {
        return std::make_shared<NullWatcher>();
    }
    AsyncOp<std::shared_ptr<IBluetoothLEDevice>> FromBluetoothAddressAsync(uint64_t) override {
        return CompletedOperation<std::shared_ptr<IBluetoothLEDevice>>(nullptr);
    }
    bool RunOnThreadPool(std::function<void()> work) override { return pool_.Submit(std::move(work)); }

private:
    ThreadPool pool_{1};
};

}  // namespace

std::shared_ptr<IStack> CreateNoAdapterStack() { return std::make_shared<NoAdapterStack>(); }

}  // namespace Mivo::BLE::Platform
