#include "platform/bluez/bluez_bus.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "log/log.h"

namespace Mivo::BLE::Platform::Bluez {
namespace {

// Process exit: sdbus-c++ keeps objects of its own in statics that static destruction may
// end before the stack's; a cached Variant or a proxy destroyed afterwards would crash.
// So when the process exits, every bus stops its loop and is kept, never destroyed.
struct ExitKeeper {
    std::mutex mutex;
    std::vector<std::weak_ptr<BluezBus>> live;
    std::vector<std::shared_ptr<BluezBus>> kept;
};
ExitKeeper& Keeper() {
    static auto* keeper = new ExitKeeper;  // never destroyed
    return *keeper;
}

void KeepAtExit(const std::shared_ptr<BluezBus>& bus) {
    static std::once_flag registered;
    std::call_once(registered, [] {
        // sdbus-c++'s own statics exist before the hook, so they end after it.
        sdbus::Variant warmUp(true);
        (void)warmUp;
        std::atexit([] {
            std::vector<std::shared_ptr<BluezBus>> buses;
            {
                std::lock_guard<std::mutex> lock(Keeper().mutex);
                for (auto& weak : Keeper().live)
                    if (auto bus = weak.lock()) buses.push_back(bus);
            }
            for (auto& bus : buses) bus->Shutdown();
            std::lock_guard<std::mutex> lock(Keeper().mutex);
            Keeper().kept.insert(Keeper().kept.end(), buses.begin(), buses.end());
        });
    });
    std::lock_guard<std::mutex> lock(Keeper().mutex);
    auto& live = Keeper().live;
    live.erase(std::remove_if(live.begin(), live.end(), [](auto& w) { return w.expired(); }), live.end());
    live.push_back(bus);
}

}  // namespace

std::shared_ptr<BluezBus> BluezBus::Connect(std::string& failure, std::string adapter) {
    try {
        auto bus = std::shared_ptr<BluezBus>(new BluezBus(sdbus::createSystemBusConnection(), std::move(adapter)));
        KeepAtExit(bus);
        bus->Start();
        return bus;
    } catch (const sdbus::Error& e) {
        failure = e.getName() + ": " + e.getMessage();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    return nullptr;
}

BluezBus::BluezBus(std::unique_ptr<sdbus::IConnection> connection, std::string adapter)
    : connection_(std::move(connection)), adapterName_(std::move(adapter)) {}

BluezBus::~BluezBus() {
    Shutdown();
    if (loop_.joinable()) {
        // Only reached when the last owner let go on the loop thread itself: the loop is
        // told to leave and the thread ends on its own; its connection is left behind.
        loop_.detach();
        (void)connection_.release();
        for (auto& [path, proxy] : proxies_) (void)proxy.release();
        for (auto& slot : matches_) (void)slot.release();
    }
}

void BluezBus::Start() {
    // Subscribe first, then snapshot (the first Refresh): no change falls between the two.
    const std::string sender = std::string("sender='") + kService + "',";
    auto weak = weak_from_this();
    auto on = [weak](void (BluezBus::*handler)(sdbus::Message&), const char* what) {
        return [weak, handler, what](sdbus::Message& msg) {
            if (auto self = weak.lock()) self->Guarded(what, [&] { (self.get()->*handler)(msg); });
        };
    };
    matches_.push_back(connection_->addMatch(
        "type='signal'," + sender + "interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'",
        on(&BluezBus::HandleInterfacesAdded, "InterfacesAdded")));
    matches_.push_back(connection_->addMatch(
        "type='signal'," + sender + "interface='org.freedesktop.DBus.ObjectManager',member='InterfacesRemoved'",
        on(&BluezBus::HandleInterfacesRemoved, "InterfacesRemoved")));
    matches_.push_back(connection_->addMatch(
        "type='signal'," + sender +
            "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',path_namespace='/org/bluez'",
        on(&BluezBus::HandlePropertiesChanged, "PropertiesChanged")));
    matches_.push_back(
        connection_->addMatch("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='"
                              "NameOwnerChanged',arg0='org.bluez'",
                              on(&BluezBus::HandleNameOwnerChanged, "NameOwnerChanged")));
    loop_ = std::thread([this] {
        loopId_ = std::this_thread::get_id();
        try {
            connection_->enterEventLoop();
        } catch (const std::exception& e) {
            LogMessage(kLogError, "bluez: D-Bus event loop ended: %s", e.what());
        }
    });
}

void BluezBus::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_) return;
        shutdown_ = true;
        listeners_.clear();
    }
    timer_.Stop();
    reader_.Stop();
    try {
        connection_->leaveEventLoop();
    } catch (...) {
    }
    if (loop_.joinable() && !OnLoopThread()) loop_.join();
}

template <typename F>
void BluezBus::Guarded(const char* what, F&& work) {
    try {
        work();
    } catch (const sdbus::Error& e) {
        LogMessage(kLogWarn, "bluez: ignoring malformed %s: %s: %s", what, e.getName().c_str(), e.getMessage().c_str());
    } catch (const std::exception& e) {
        LogMessage(kLogWarn, "bluez: ignoring malformed %s: %s", what, e.what());
    } catch (...) {
        LogMessage(kLogWarn, "bluez: ignoring malformed %s", what);
    }
}

sdbus::IProxy& BluezBus::ProxyFor(const std::string& path) {
    // Proxies live as long as the connection: destroying one would drop its pending replies,
    // and one must never be destroyed from its own callback.
    std::lock_guard<std::mutex> lock(proxiesMutex_);
    auto& proxy = proxies_[path];
    if (!proxy) proxy = sdbus::createProxy(*connection_, kService, path);
    return *proxy;
}

sdbus::PendingAsyncCall BluezBus::Call(const std::string& path, const std::string& iface, const std::string& method,
                                       const ArgsWriter& args, std::chrono::milliseconds timeout,
                                       ReplyHandler handler) {
    auto shared = std::make_shared<ReplyHandler>(std::move(handler));
    try {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (shutdown_)
                throw sdbus::Error("org.freedesktop.DBus.Error.Disconnected", "The Bluetooth stack is shut down.");
        }
        auto& proxy = ProxyFor(path);
        auto call = proxy.createMethodCall(iface, method);
        if (args) args(call);
        return proxy.callMethod(
            call,
            [shared, what = method](sdbus::MethodReply& reply, const sdbus::Error* error) {
                try {
                    (*shared)(error ? nullptr : &reply, error);
                } catch (...) {
                    LogMessage(kLogWarn, "bluez: reply handler of %s failed; reply ignored", what.c_str());
                }
            },
            std::chrono::duration_cast<std::chrono::microseconds>(timeout));
    } catch (const sdbus::Error& e) {
        (*shared)(nullptr, &e);
    } catch (const std::exception& e) {
        sdbus::Error error("org.freedesktop.DBus.Error.Failed", e.what());
        (*shared)(nullptr, &error);
    }
    return {};
}

sdbus::PendingAsyncCall BluezBus::Refresh(std::function<void(const sdbus::Error*)> done) {
    std::weak_ptr<BluezBus> weak = weak_from_this();
    return Call("/", kObjectManager, "GetManagedObjects", nullptr, std::chrono::seconds(10),
                [weak, done = std::move(done)](sdbus::MethodReply* reply, const sdbus::Error* error) {
                    auto self = weak.lock();
                    if (!self || error) {
                        if (done) done(error);
                        return;
                    }
                    std::map<sdbus::ObjectPath, Interfaces> snapshot;
                    try {
                        *reply >> snapshot;
                    } catch (const sdbus::Error& e) {
                        if (done) done(&e);
                        return;
                    }
                    std::vector<std::pair<std::string, std::vector<std::string>>> gone;
                    {
                        std::lock_guard<std::mutex> lock(self->mutex_);
                        std::map<std::string, Interfaces> fresh;
                        for (auto& [path, ifaces] : snapshot) fresh[path] = std::move(ifaces);
                        for (auto& [path, ifaces] : self->objects_) {
                            std::vector<std::string> names;
                            auto it = fresh.find(path);
                            for (auto& [name, props] : ifaces)
                                if (it == fresh.end() || !it->second.count(name)) names.push_back(name);
                            if (!names.empty()) gone.emplace_back(path, std::move(names));
                        }
                        self->objects_ = std::move(fresh);
                    }
                    for (auto& [path, names] : gone)
                        for (auto& l : self->Listeners()) l->OnInterfacesRemoved(path, names);
                    if (done) done(nullptr);
                });
}

std::optional<Props> BluezBus::Properties(const std::string& path, const std::string& iface) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto o = objects_.find(path);
    if (o == objects_.end()) return std::nullopt;
    auto i = o->second.find(iface);
    if (i == o->second.end()) return std::nullopt;
    return i->second;
}

std::vector<std::pair<std::string, Props>> BluezBus::ObjectsWith(const std::string& under, const std::string& iface) {
    std::vector<std::pair<std::string, Props>> found;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [path, ifaces] : objects_) {
        if (!PathIsWithin(path, under)) continue;
        auto i = ifaces.find(iface);
        if (i != ifaces.end()) found.emplace_back(path, i->second);
    }
    return found;
}

std::string BluezBus::AdapterPath() {
    auto adapters = ObjectsWith("/org/bluez", kAdapter1);
    if (!adapterName_.empty()) {
        for (auto& [path, props] : adapters)
            if (path == "/org/bluez/" + adapterName_) return path;
        return {};
    }
    for (auto& [path, props] : adapters)
        if (Get<bool>(props, "Powered").value_or(false)) return path;
    return adapters.empty() ? std::string() : adapters.front().first;
}

void BluezBus::MergeProperties(const std::string& path, const std::string& iface, const Props& props) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& target = objects_[path][iface];
    for (auto& [name, value] : props) target[name] = value;
}

uint64_t BluezBus::AddListener(std::weak_ptr<Listener> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t id = ++nextListener_;
    listeners_[id] = std::move(listener);
    return id;
}

void BluezBus::RemoveListener(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.erase(id);
}

std::vector<std::shared_ptr<BluezBus::Listener>> BluezBus::Listeners() {
    std::vector<std::shared_ptr<Listener>> live;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        if (auto l = it->second.lock()) {
            live.push_back(std::move(l));
            ++it;
        } else {
            it = listeners_.erase(it);
        }
    }
    return live;
}

void BluezBus::HandleInterfacesAdded(sdbus::Message& msg) {
    sdbus::ObjectPath path;
    Interfaces added;
    msg >> path >> added;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& object = objects_[path];
        for (auto& [name, props] : added) object[name] = props;
    }
    for (auto& l : Listeners()) l->OnInterfacesAdded(path, added);
}

void BluezBus::HandleInterfacesRemoved(sdbus::Message& msg) {
    sdbus::ObjectPath path;
    std::vector<std::string> removed;
    msg >> path >> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto o = objects_.find(path);
        if (o != objects_.end()) {
            for (auto& name : removed) o->second.erase(name);
            if (o->second.empty()) objects_.erase(o);
        }
    }
    for (auto& l : Listeners()) l->OnInterfacesRemoved(path, removed);
}

void BluezBus::HandlePropertiesChanged(sdbus::Message& msg) {
    std::string path = msg.getPath();
    std::string iface;
    msg >> iface;
    if (iface == kGattCharacteristic1) return HandleCharacteristicChanged(path, msg);
    Props changed;
    std::vector<std::string> invalidated;
    msg >> changed >> invalidated;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto o = objects_.find(path);
        // A late change of an object already removed must not bring it back.
        if (o == objects_.end()) return;
        auto& props = o->second[iface];
        for (auto& [name, value] : changed) props[name] = value;
        for (auto& name : invalidated) props.erase(name);
    }
    for (auto& l : Listeners()) l->OnPropertiesChanged(path, iface, changed);
}

void BluezBus::HandleCharacteristicChanged(const std::string& path, sdbus::Message& msg) {
    // The hot path of every notification: the byte array is read straight from the message,
    // without a Variant (a copy of the message) for it.
    value_.clear();
    bool hasValue = false;
    Props changed;
    if (msg.enterContainer("{sv}")) {
        while (msg.enterDictEntry("sv")) {
            std::string key, type, contents;
            msg >> key;
            msg.peekType(type, contents);
            if (key == "Value" && contents == "ay" && msg.enterVariant("ay")) {
                if (msg.enterContainer("y")) {
                    uint8_t byte = 0;
                    while (msg >> byte) value_.push_back(byte);
                    msg.clearFlags();
                    msg.exitContainer();
                }
                msg.exitVariant();
                hasValue = true;
            } else {
                sdbus::Variant other;
                msg >> other;
                changed[key] = std::move(other);
            }
            msg.exitDictEntry();
        }
        msg.clearFlags();
        msg.exitContainer();
    }
    std::vector<std::string> invalidated;
    msg >> invalidated;
    if (!changed.empty() || !invalidated.empty()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto o = objects_.find(path);
            if (o == objects_.end()) return;
            auto& props = o->second[kGattCharacteristic1];
            for (auto& [name, value] : changed) props[name] = value;
            for (auto& name : invalidated) props.erase(name);
        }
        for (auto& l : Listeners()) l->OnPropertiesChanged(path, kGattCharacteristic1, changed);
    }
    if (!hasValue) return;
    std::shared_ptr<const ValueRoute> deliver;
    {
        std::lock_guard<std::mutex> lock(routesMutex_);
        auto r = routes_.find(path);
        if (r != routes_.end()) deliver = r->second.deliver;
    }
    if (deliver) (*deliver)(value_);
}

void BluezBus::SetValueRoute(const std::string& characteristicPath, const void* owner, ValueRoute route) {
    std::lock_guard<std::mutex> lock(routesMutex_);
    routes_[characteristicPath] = Route{owner, std::make_shared<const ValueRoute>(std::move(route))};
}

void BluezBus::ClearValueRoutes(const void* owner) {
    std::lock_guard<std::mutex> lock(routesMutex_);
    for (auto it = routes_.begin(); it != routes_.end();) {
        if (it->second.owner == owner) it = routes_.erase(it);
        else ++it;
    }
}

void BluezBus::HandleNameOwnerChanged(sdbus::Message& msg) {
    std::string name, oldOwner, newOwner;
    msg >> name >> oldOwner >> newOwner;
    if (name != kService) return;
    if (!oldOwner.empty()) {
        LogMessage(kLogWarn, "bluez: org.bluez left the bus; every BlueZ object is gone");
        DropAllObjects();
    }
    if (!newOwner.empty()) {
        LogMessage(kLogInfo, "bluez: org.bluez appeared on the bus");
        Refresh(nullptr);
    }
}

void BluezBus::DropAllObjects() {
    std::map<std::string, Interfaces> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone.swap(objects_);
    }
    auto listeners = Listeners();
    for (auto& [path, ifaces] : gone) {
        std::vector<std::string> names;
        for (auto& [name, props] : ifaces) names.push_back(name);
        for (auto& l : listeners) l->OnInterfacesRemoved(path, names);
    }
}

void BluezBus::ClaimLink(const std::string& path, const void* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    linkOwners_[path] = owner;
}

bool BluezBus::OwnsLink(const std::string& path, const void* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = linkOwners_.find(path);
    return it != linkOwners_.end() && it->second == owner;
}

bool BluezBus::ReleaseLink(const std::string& path, const void* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = linkOwners_.find(path);
    if (it == linkOwners_.end() || it->second != owner) return false;
    linkOwners_.erase(it);
    return true;
}

}  // namespace Mivo::BLE::Platform::Bluez
