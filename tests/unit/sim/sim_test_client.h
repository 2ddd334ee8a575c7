#pragma once
// A small scripted client that drives the simulated stack through the platform seam, the
// way the library does: awaits with bounds, collects events on the threads they arrive.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/sim_amplifier.h"
#include "platform/sim/sim_control.h"
#include "platform/stack.h"
#include "unit/sim/sim_upload.h"

namespace SimTest {

using namespace std::chrono_literals;
using Mivo::BLE::Platform::AsyncOp;
using Mivo::BLE::Platform::AsyncStatus;
using Mivo::BLE::Platform::Bytes;
using Mivo::BLE::Platform::GattStatus;
using Clock = std::chrono::steady_clock;

// Waits for `op` and returns its result; fails the test when it does not complete in time.
template <typename T>
T Await(const AsyncOp<T>& op, std::chrono::milliseconds timeout = 3000ms) {
    auto status = op->WaitFor(timeout);
    if (status != AsyncStatus::Completed) {
        ADD_FAILURE() << "operation ended with status " << static_cast<int>(status);
        return T{};
    }
    return op->GetResults();
}

// Values pushed from event threads, waited for on the test thread.
template <typename T>
class Queue {
public:
    void Push(T value) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(std::move(value));
            stamps_.push_back(Clock::now());
        }
        cv_.notify_all();
    }
    bool WaitSize(size_t n, std::chrono::milliseconds timeout = 3000ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return items_.size() >= n; });
    }
    std::vector<T> Items() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    std::vector<Clock::time_point> Stamps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stamps_;
    }
    size_t Size() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }
    T At(size_t i) {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.at(i);
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<T> items_;
    std::vector<Clock::time_point> stamps_;
};

inline std::string Key(const Mivo::BLE::Platform::Uuid& u) { return Mivo::BLE::Sim::Detail::UuidText(u); }
inline std::string Key(const std::string& text) {
    Mivo::BLE::Platform::Uuid u;
    EXPECT_TRUE(Mivo::BLE::Sim::Detail::ParseUuidText(text, u)) << text;
    return Key(u);
}

inline constexpr const char* kSample = "B5211406-449F-4BA0-A651-B887924B81E8";
inline constexpr const char* kAmpConfig = "B5211407-449F-4BA0-A651-B887924B81E8";
inline constexpr const char* kPayloadConfig = "B5211408-449F-4BA0-A651-B887924B81E8";
inline constexpr const char* kChannelConfig = "B5211409-449F-4BA0-A651-B887924B81E8";
inline constexpr const char* kFilterConfig = "B521140A-449F-4BA0-A651-B887924B81E8";
inline constexpr const char* kDataService = "B5211405-449F-4BA0-A651-B887924B81E8";
inline constexpr const char* kNusService = "6E400001-B5A3-F393-E0A9-E50E24DCCA9E";
inline constexpr const char* kNusRx = "6E400002-B5A3-F393-E0A9-E50E24DCCA9E";
inline constexpr const char* kNusTx = "6E400003-B5A3-F393-E0A9-E50E24DCCA9E";
inline constexpr const char* kSmpService = "8D53DC1D-1DB7-4CD3-868B-8A527460AA84";
inline constexpr const char* kSmp = "DA2E7828-FBCE-4E01-AE9E-261174997C48";

// An open link: the device, its services and all characteristics by UUID text.
struct Link {
    std::shared_ptr<Mivo::BLE::Platform::IBluetoothLEDevice> device;
    std::vector<std::string> services;
    std::map<std::string, std::vector<std::string>> characteristicsOf;  // service -> characteristics
    std::map<std::string, std::shared_ptr<Mivo::BLE::Platform::IGattCharacteristic>> chars;
    Queue<int> statusEvents;
    Mivo::BLE::Platform::EventToken statusToken = 0;

    std::shared_ptr<Mivo::BLE::Platform::IGattCharacteristic> Char(const std::string& uuid) {
        auto it = chars.find(Key(uuid));
        if (it == chars.end()) {
            ADD_FAILURE() << "no characteristic " << uuid;
            return nullptr;
        }
        return it->second;
    }
    bool Has(const std::string& uuid) { return chars.count(Key(uuid)) > 0; }
    Bytes Read(const std::string& uuid) {
        auto r = Await(Char(uuid)->ReadValueAsync());
        EXPECT_EQ(r.status, GattStatus::Success) << uuid;
        return r.value;
    }
    ~Link() {
        if (device && statusToken) device->RemoveConnectionStatusChanged(statusToken);
    }
};

// Device from the address, then service and characteristic discovery (which connects).
inline std::unique_ptr<Link> Open(Mivo::BLE::Platform::IStack& stack, uint64_t address) {
    auto link = std::make_unique<Link>();
    link->device = Await(stack.FromBluetoothAddressAsync(address));
    if (!link->device) {
        ADD_FAILURE() << "no device at that address";
        return link;
    }
    auto* raw = link.get();
    link->statusToken = link->device->AddConnectionStatusChanged(
        [raw] { raw->statusEvents.Push(static_cast<int>(raw->device->GetConnectionStatus())); });
    auto services = Await(link->device->GetGattServicesAsync());
    EXPECT_EQ(services.status, GattStatus::Success);
    for (auto& s : services.services) {
        auto chars = Await(s->GetCharacteristicsAsync());
        EXPECT_EQ(chars.status, GattStatus::Success);
        std::string sk = Key(s->GetUuid());
        link->services.push_back(sk);
        auto& list = link->characteristicsOf[sk];
        for (auto& c : chars.characteristics) {
            list.push_back(Key(c->GetUuid()));
            link->chars[Key(c->GetUuid())] = c;
        }
    }
    return link;
}

inline std::unique_ptr<Link> Open(Mivo::BLE::Sim::SimStack& stack, const std::string& name) {
    auto amp = stack.Find(name);
    if (!amp) {
        ADD_FAILURE() << "no amplifier " << name;
        return std::make_unique<Link>();
    }
    return Open(static_cast<Mivo::BLE::Platform::IStack&>(stack), amp->Address());
}

// Notifications of one characteristic, subscribed through the CCCD.
class Subscription {
public:
    explicit Subscription(std::shared_ptr<Mivo::BLE::Platform::IGattCharacteristic> c, bool writeCccd = true)
        : c_(std::move(c)) {
        token_ = c_->AddValueChanged([this](const Bytes& v) { values.Push(v); });
        if (writeCccd) {
            EXPECT_EQ(Await(c_->WriteClientCharacteristicConfigurationDescriptorAsync(
                          Mivo::BLE::Platform::CccdValue::Notify)),
                      GattStatus::Success);
        }
    }
    ~Subscription() { c_->RemoveValueChanged(token_); }
    void Stop() {
        Await(c_->WriteClientCharacteristicConfigurationDescriptorAsync(Mivo::BLE::Platform::CccdValue::None));
    }
    Queue<Bytes> values;

private:
    std::shared_ptr<Mivo::BLE::Platform::IGattCharacteristic> c_;
    Mivo::BLE::Platform::EventToken token_ = 0;
};

// Waits for a condition that has no event of its own (bounded, short polls).
template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = 3000ms) {
    auto end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

inline int32_t Be24(const Bytes& b, size_t at) {
    int32_t v = (b[at] << 16) | (b[at + 1] << 8) | b[at + 2];
    return (v & 0x800000) ? v - 0x1000000 : v;
}

}  // namespace SimTest
