#include "platform/bluez/bluez_discovery.h"

#include "log/log.h"
#include "platform/bluez/bluez_bus.h"

namespace Mivo::BLE::Platform::Bluez {
namespace {

Props DiscoveryFilter(bool on) {
    if (!on) return {};
    // DuplicateData is always given: its documented default is not what BlueZ does.
    return Props{{"Transport", sdbus::Variant(std::string("le"))}, {"DuplicateData", sdbus::Variant(true)}};
}

}  // namespace

void BluezDiscovery::Acquire(const std::string& adapter, BluezTiming timing,
                             std::function<void(const sdbus::Error*)> started) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ++holders_;
        if (running_ || pauses_ > 0) {
            lock.unlock();
            started(nullptr);
            return;
        }
        adapter_ = adapter;
        timing_ = std::move(timing);
        StartLocked(std::move(started));
    }
    Send();
}

void BluezDiscovery::Release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (holders_ == 0) return;
        if (--holders_ != 0 || !running_) return;
        StopLocked(nullptr);
    }
    Send();
}

void BluezDiscovery::Pause(std::function<void()> stopped) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ++pauses_;
        if (!running_) {
            lock.unlock();
            stopped();
            return;
        }
        StopLocked(std::move(stopped));
    }
    Send();
}

void BluezDiscovery::Resume() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pauses_ == 0) return;
        if (--pauses_ != 0 || holders_ == 0 || running_) return;
        StartLocked([adapter = adapter_](const sdbus::Error* error) {
            if (error)
                LogMessage(kLogWarn, "bluez: discovery on %s did not resume: %s: %s", adapter.c_str(),
                           error->getName().c_str(), error->getMessage().c_str());
        });
    }
    Send();
}

void BluezDiscovery::Send() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (sending_) return;  // the thread sending now sends these too, after its own
    sending_ = true;
    while (!calls_.empty()) {
        auto call = std::move(calls_.front());
        calls_.pop_front();
        lock.unlock();
        call();
        lock.lock();
    }
    sending_ = false;
}

// SetDiscoveryFilter, then StartDiscovery; InProgress (this connection discovers already)
// counts as started.
void BluezDiscovery::StartLocked(std::function<void(const sdbus::Error*)> started) {
    running_ = true;
    calls_.push_back([this, adapter = adapter_, timing = timing_, started = std::move(started)] {
        bus_.Call(
            adapter, kAdapter1, "SetDiscoveryFilter", [](sdbus::MethodCall& call) { call << DiscoveryFilter(true); },
            timing.call,
            [](sdbus::MethodReply*, const sdbus::Error* error) {
                if (error)
                    LogMessage(kLogWarn, "bluez: SetDiscoveryFilter failed: %s: %s", error->getName().c_str(),
                               error->getMessage().c_str());
            });
        bus_.Call(adapter, kAdapter1, "StartDiscovery", nullptr, timing.call,
                  [started](sdbus::MethodReply*, const sdbus::Error* error) {
                      started(error && error->getName() != "org.bluez.Error.InProgress" ? error : nullptr);
                  });
    });
}

void BluezDiscovery::StopLocked(std::function<void()> stopped) {
    running_ = false;
    calls_.push_back([this, adapter = adapter_, timing = timing_, stopped = std::move(stopped)] {
        // "No discovery started" after a power cycle is fine: stopped is stopped.
        bus_.Call(adapter, kAdapter1, "StopDiscovery", nullptr, timing.call,
                  [stopped](sdbus::MethodReply*, const sdbus::Error*) {
                      if (stopped) stopped();
                  });
        bus_.Call(
            adapter, kAdapter1, "SetDiscoveryFilter", [](sdbus::MethodCall& call) { call << DiscoveryFilter(false); },
            timing.call, [](sdbus::MethodReply*, const sdbus::Error*) {});
    });
}

}  // namespace Mivo::BLE::Platform::Bluez
