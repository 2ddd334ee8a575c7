#pragma once
// Test support: the control interface (io.mivoble.Sim1) of a mivoble-fake-bluetoothd and
// the objects it serves, from a test process over a bus connection of its own.
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Mivo::BLE::Testing {

class FakeControl {
public:
    explicit FakeControl(const std::string& busAddress)
        : bus_(sdbus::createSessionBusConnectionWithAddress(busAddress)) {
        root_ = sdbus::createProxy(*bus_, "org.bluez", "/");
        bus_->enterEventLoopAsync();
    }
    ~FakeControl() {
        watched_.clear();
        root_.reset();
        bus_->leaveEventLoop();
    }

    template <typename... Args>
    void Call(const std::string& method, const Args&... args) {
        root_->callMethod(method).onInterface("io.mivoble.Sim1").withArguments(args...);
    }
    void DropLink(const std::string& amplifier) { Call("DropLink", amplifier); }
    void SetAdvertising(const std::string& amplifier, bool on) { Call("SetAdvertising", amplifier, on); }
    void SetKnob(const std::string& amplifier, const std::string& key, const std::string& value) {
        Call("SetKnob", amplifier, key, value);
    }
    void Delay(const std::string& amplifier, const std::string& operation, uint32_t ms, const std::string& uuid) {
        Call("Delay", amplifier, operation, ms, uuid);
    }
    void ClearFaults(const std::string& amplifier) { Call("ClearFaults", amplifier); }
    void AnswerAttError(const std::string& amplifier, const std::string& operation, const std::string& uuid,
                        uint8_t code) {
        Call("AnswerAttError", amplifier, operation, uuid, code);
    }

    // The amplifier's counters (Connects, SmpRequests, WriteCommands, ...) as unsigned numbers.
    std::map<std::string, uint64_t> Counters(const std::string& amplifier) {
        std::map<std::string, sdbus::Variant> raw;
        root_->callMethod("Counters").onInterface("io.mivoble.Sim1").withArguments(amplifier).storeResultsTo(raw);
        std::map<std::string, uint64_t> counters;
        for (auto& [name, value] : raw) {
            if (value.containsValueOfType<uint64_t>()) counters[name] = value.get<uint64_t>();
            else if (value.containsValueOfType<int32_t>()) counters[name] = static_cast<uint64_t>(value.get<int32_t>());
            else if (value.containsValueOfType<bool>()) counters[name] = value.get<bool>() ? 1 : 0;
        }
        return counters;
    }

    // The device path of an amplifier below an adapter ("/org/bluez/hci0/dev_AA_BB_...").
    std::string DevicePath(const std::string& amplifier, const std::string& adapter = "hci0") {
        std::vector<sdbus::Struct<std::string, std::string>> amplifiers;
        root_->callMethod("Amplifiers").onInterface("io.mivoble.Sim1").storeResultsTo(amplifiers);
        for (auto& a : amplifiers) {
            if (a.get<0>() != amplifier && a.get<1>() != amplifier) continue;
            std::string address = a.get<1>();
            for (auto& c : address)
                if (c == ':') c = '_';
            return "/org/bluez/" + adapter + "/dev_" + address;
        }
        return {};
    }

    // The path of the characteristic with `uuid` (lower-case, 128-bit) below `device`; empty when none.
    std::string CharacteristicPath(const std::string& device, const std::string& uuid) {
        std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>> objects;
        root_->callMethod("GetManagedObjects")
            .onInterface("org.freedesktop.DBus.ObjectManager")
            .storeResultsTo(objects);
        for (auto& [path, interfaces] : objects) {
            if (path.rfind(device + "/", 0) != 0) continue;
            auto c = interfaces.find("org.bluez.GattCharacteristic1");
            if (c == interfaces.end()) continue;
            auto u = c->second.find("UUID");
            if (u != c->second.end() && u->second.get<std::string>() == uuid) return path;
        }
        return {};
    }

    // Waits until a boolean property of an object has `value`; false after `timeout`.
    bool WaitForBool(const std::string& path, const std::string& iface, const std::string& name, bool value,
                     std::chrono::milliseconds timeout) {
        auto state = std::make_shared<Watched>();
        auto proxy = sdbus::createProxy(*bus_, "org.bluez", path);
        proxy->uponSignal("PropertiesChanged")
            .onInterface("org.freedesktop.DBus.Properties")
            .call([state, iface, name, value](const std::string& changedIface,
                                              const std::map<std::string, sdbus::Variant>& changed,
                                              const std::vector<std::string>&) {
                auto it = changed.find(name);
                if (changedIface != iface || it == changed.end() || it->second.get<bool>() != value) return;
                std::lock_guard<std::mutex> lock(state->mutex);
                state->seen = true;
                state->changed.notify_all();
            });
        proxy->finishRegistration();
        sdbus::Variant now;
        try {
            proxy->callMethod("Get")
                .onInterface("org.freedesktop.DBus.Properties")
                .withArguments(iface, name)
                .storeResultsTo(now);
            if (now.get<bool>() == value) return true;
        } catch (const sdbus::Error&) {
        }
        std::unique_lock<std::mutex> lock(state->mutex);
        bool seen = state->changed.wait_for(lock, timeout, [&] { return state->seen; });
        lock.unlock();
        watched_.push_back(std::move(proxy));  // destroyed with this object, never from its own handler
        return seen;
    }

private:
    struct Watched {
        std::mutex mutex;
        std::condition_variable changed;
        bool seen = false;
    };
    std::unique_ptr<sdbus::IConnection> bus_;
    std::unique_ptr<sdbus::IProxy> root_;
    std::vector<std::unique_ptr<sdbus::IProxy>> watched_;
};

}  // namespace Mivo::BLE::Testing
