#pragma once
// One system-bus connection to org.bluez with its own event-loop thread, and a cache of
// BlueZ's objects kept from a GetManagedObjects snapshot and the InterfacesAdded/Removed
// and PropertiesChanged signals. Calls are asynchronous; replies and signals arrive on the
// loop thread, where listeners see every change after the cache has taken it.
#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/bluez/bluez_discovery.h"
#include "platform/bluez/bluez_notify_reader.h"
#include "platform/bluez/bluez_timer.h"
#include "platform/bluez/bluez_types.h"

namespace Mivo::BLE::Platform::Bluez {

class BluezBus : public std::enable_shared_from_this<BluezBus> {
public:
    // Receives changes on the loop thread. Must not block.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void OnInterfacesAdded(const std::string& path, const Interfaces& added) = 0;
        virtual void OnPropertiesChanged(const std::string& path, const std::string& iface, const Props& changed) = 0;
        // Interfaces gone from an object (every interface of every object when org.bluez leaves the bus).
        virtual void OnInterfacesRemoved(const std::string& path, const std::vector<std::string>& removed) = 0;
    };

    using ReplyHandler = std::function<void(sdbus::MethodReply* reply, const sdbus::Error* error)>;
    using ArgsWriter = std::function<void(sdbus::MethodCall&)>;

    // The system bus (DBUS_SYSTEM_BUS_ADDRESS honoured); nullptr and a reason when there is none.
    // `adapter` names the adapter to use (as "hci1"); empty: the first powered one.
    static std::shared_ptr<BluezBus> Connect(std::string& failure, std::string adapter = {});
    ~BluezBus();
    BluezBus(const BluezBus&) = delete;
    BluezBus& operator=(const BluezBus&) = delete;

    // Stops the loop and the timer and joins them; pending replies are dropped.
    void Shutdown();

    // Calls a method of an org.bluez object. The handler runs once: on the loop thread with
    // the reply or error, or on this thread when the call could not be sent. Cancelling the
    // returned handle drops the reply.
    sdbus::PendingAsyncCall Call(const std::string& path, const std::string& iface, const std::string& method,
                                 const ArgsWriter& args, std::chrono::milliseconds timeout, ReplyHandler handler);
    // Replaces the cache by a GetManagedObjects snapshot; `done` gets the error or nullptr.
    sdbus::PendingAsyncCall Refresh(std::function<void(const sdbus::Error*)> done);

    std::optional<Props> Properties(const std::string& path, const std::string& iface);
    // One typed property read in the cache, so that no Variant leaves it (threads that may
    // still run while the process exits never destroy one).
    template <typename T>
    std::optional<T> Property(const std::string& path, const std::string& iface, const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto o = objects_.find(path);
        if (o == objects_.end()) return std::nullopt;
        auto i = o->second.find(iface);
        if (i == o->second.end()) return std::nullopt;
        return Get<T>(i->second, name);
    }
    bool HasInterface(const std::string& path, const std::string& iface) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto o = objects_.find(path);
        return o != objects_.end() && o->second.count(iface);
    }
    // Objects below `under` offering `iface`, in path order.
    std::vector<std::pair<std::string, Props>> ObjectsWith(const std::string& under, const std::string& iface);
    // The adapter in use: the one named at Connect when it exists (else none), otherwise the
    // first powered adapter in path order, else the first one; empty when none.
    std::string AdapterPath();
    void MergeProperties(const std::string& path, const std::string& iface, const Props& props);

    uint64_t AddListener(std::weak_ptr<Listener> listener);
    void RemoveListener(uint64_t id);

    // Notifications: a Value signal of a characteristic goes straight to its route, on the
    // loop thread, not through the listeners and not into the cache. One route per
    // characteristic path; `owner` identifies who may clear it.
    using ValueRoute = std::function<void(const std::vector<uint8_t>&)>;
    void SetValueRoute(const std::string& characteristicPath, const void* owner, ValueRoute route);
    void ClearValueRoutes(const void* owner);

    bool OnLoopThread() const { return std::this_thread::get_id() == loopId_.load(); }
    DeadlineTimer& Timer() { return timer_; }
    NotifyReader& Reader() { return reader_; }

    // Which device object drives the link of a device path: the last one that connected.
    void ClaimLink(const std::string& path, const void* owner);
    bool OwnsLink(const std::string& path, const void* owner);
    bool ReleaseLink(const std::string& path, const void* owner);  // true when it was the owner

    // Discovery is one session per connection: watchers and look-ups share it, connects pause it.
    BluezDiscovery& Discovery() { return discovery_; }

private:
    BluezBus(std::unique_ptr<sdbus::IConnection> connection, std::string adapter);
    void Start();
    sdbus::IProxy& ProxyFor(const std::string& path);
    std::vector<std::shared_ptr<Listener>> Listeners();
    void HandleInterfacesAdded(sdbus::Message& msg);
    void HandleInterfacesRemoved(sdbus::Message& msg);
    void HandlePropertiesChanged(sdbus::Message& msg);
    void HandleNameOwnerChanged(sdbus::Message& msg);
    void DropAllObjects();
    template <typename F>
    void Guarded(const char* what, F&& work);
    // A characteristic's PropertiesChanged: Value to its route, anything else as usual.
    void HandleCharacteristicChanged(const std::string& path, sdbus::Message& msg);

    std::unique_ptr<sdbus::IConnection> connection_;
    const std::string adapterName_;
    BluezDiscovery discovery_{*this};
    std::vector<sdbus::Slot> matches_;
    std::thread loop_;
    std::atomic<std::thread::id> loopId_{};
    DeadlineTimer timer_;
    NotifyReader reader_;

    std::mutex proxiesMutex_;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;

    std::mutex mutex_;
    std::map<std::string, Interfaces> objects_;
    std::map<uint64_t, std::weak_ptr<Listener>> listeners_;
    uint64_t nextListener_ = 0;
    std::map<std::string, const void*> linkOwners_;
    bool shutdown_ = false;

    struct Route {
        const void* owner;
        std::shared_ptr<const ValueRoute> deliver;
    };
    std::mutex routesMutex_;
    std::map<std::string, Route, std::less<>> routes_;
    std::vector<uint8_t> value_;  // loop thread only: the notification being delivered
};

}  // namespace Mivo::BLE::Platform::Bluez
