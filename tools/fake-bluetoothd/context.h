#pragma once
// What every served object shares: the bus connection, the strand that serialises every
// change of the model, the simulated stack, and the lock over property values that the
// bus thread reads in its getters.
//
// Lock rule: `props` is never held while calling into sdbus (a getter runs with the
// library's own lock held, so the reverse order would deadlock).
#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "behaviour.h"
#include "platform/sim/sim_control.h"
#include "socket_watch.h"
#include "strand.h"

namespace Mivo::FakeBluez {

namespace Sim = Mivo::BLE::Sim;
namespace Platform = Mivo::BLE::Platform;

inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kDeviceInterface = "org.bluez.Device1";
inline constexpr const char* kServiceInterface = "org.bluez.GattService1";
inline constexpr const char* kCharacteristicInterface = "org.bluez.GattCharacteristic1";
inline constexpr const char* kDescriptorInterface = "org.bluez.GattDescriptor1";
inline constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
inline constexpr const char* kControlInterface = "io.mivoble.Sim1";

using Bytes = std::vector<uint8_t>;
using PropertyMap = std::map<std::string, sdbus::Variant>;

struct Context {
    Context(sdbus::IConnection& connection, std::shared_ptr<Sim::SimStack> simStack, Behaviour served)
        : bus(connection), stack(std::move(simStack)), behaviour(std::move(served)) {}
    sdbus::IConnection& bus;
    std::shared_ptr<Sim::SimStack> stack;
    const Behaviour behaviour;
    Strand strand;
    SocketWatch sockets;
    std::mutex props;

    // ATT errors the next request of an operation ("ReadValueAsync", "WriteValueAsync") on a
    // characteristic of an amplifier answers with, one each (control interface).
    struct AttError {
        uint64_t address;
        std::string operation;
        Platform::Uuid uuid;
        uint8_t code;
    };
    std::mutex faults;
    std::vector<AttError> attErrors;
    // Writes that reached each amplifier: commands (one packet each) and requests.
    struct WriteCounts {
        uint64_t commands = 0, requests = 0;
    };
    std::map<uint64_t, WriteCounts> writes;
    void CountWrite(uint64_t address, bool command) {
        std::lock_guard<std::mutex> lock(faults);
        auto& counts = writes[address];
        ++(command ? counts.commands : counts.requests);
    }
    std::optional<uint8_t> TakeAttError(uint64_t address, const std::string& operation, const Platform::Uuid& uuid) {
        std::lock_guard<std::mutex> lock(faults);
        for (auto it = attErrors.begin(); it != attErrors.end(); ++it) {
            if (it->address != address || it->operation != operation || !(it->uuid == uuid)) continue;
            uint8_t code = it->code;
            attErrors.erase(it);
            return code;
        }
        return std::nullopt;
    }
};

// A method call waiting for its reply. Shared, so it can travel through std::function
// (sdbus::Result is move-only); exactly one reply is sent.
template <typename... T>
using Reply = std::shared_ptr<sdbus::Result<T...>>;

template <typename... T>
Reply<T...> Hold(sdbus::Result<T...>&& result) {
    return std::make_shared<sdbus::Result<T...>>(std::move(result));
}

// Runs `work(object)` on the strand if `object` is still alive then.
template <typename T, typename F>
void PostTo(Context& context, std::weak_ptr<T> weak, F work) {
    context.strand.Post([weak = std::move(weak), work = std::move(work)]() mutable {
        if (auto self = weak.lock()) work(*self);
    });
}

// Runs `then(owner, op)` on the strand once `op` has finished, if `owner` is still alive.
// The operation's own completion handler holds it only weakly: one that never finishes
// (a hung operation) would otherwise keep itself alive through its handler forever.
template <typename T, typename Owner, typename F>
void WhenDone(Context& context, const Platform::AsyncOp<T>& op, std::weak_ptr<Owner> owner, F then) {
    std::weak_ptr<Platform::AsyncOperation<T>> weakOp = op;
    Context* ctx = &context;
    op->SetCompleted([ctx, weakOp, owner = std::move(owner), then = std::move(then)](Platform::AsyncStatus) {
        auto strong = weakOp.lock();
        if (!strong) return;
        PostTo(*ctx, owner, [strong, then](Owner& o) { then(o, strong); });
    });
}

// One PropertiesChanged signal from `object`, broadcast, as BlueZ sends it.
inline void EmitPropertiesChanged(sdbus::IObject& object, const std::string& interface, const PropertyMap& changed,
                                  const std::vector<std::string>& invalidated = {}) {
    auto signal = object.createSignal(kPropertiesInterface, "PropertiesChanged");
    signal << interface << changed << invalidated;
    object.emitSignal(signal);
}

// "AA:BB:CC:DD:EE:FF" -> "dev_AA_BB_CC_DD_EE_FF"
inline std::string DeviceNodeName(uint64_t address) {
    std::string text = Sim::FormatAddress(address);
    for (auto& c : text)
        if (c == ':') c = '_';
    return "dev_" + text;
}

// Lower-case 8-4-4-4-12 text of a UUID, as BlueZ writes them.
inline std::string UuidString(const Platform::Uuid& uuid) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += digits[uuid.bytes[i] >> 4];
        s += digits[uuid.bytes[i] & 0xF];
    }
    return s;
}

// The sender of the method call being handled (bus thread only).
inline std::string CurrentSender(sdbus::IObject& object) {
    auto* message = object.getCurrentlyProcessedMessage();
    return message ? message->getSender() : std::string();
}

}  // namespace Mivo::FakeBluez
