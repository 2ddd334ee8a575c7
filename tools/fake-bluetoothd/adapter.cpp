#include "adapter.h"

#include <algorithm>
#include <cstdio>

#include "bluez_errors.h"

namespace Mivo::FakeBluez {

namespace {

// Adapter addresses from the documentation range: 00:00:5E:00:53:01, :02, ...
std::string AdapterAddress(int index) {
    char text[18];
    std::snprintf(text, sizeof text, "00:00:5E:00:53:%02X", (index + 1) & 0xFF);
    return text;
}

// The simulated air has no path loss: each amplifier gets a steady level of its own with
// a little jitter per advertisement.
int16_t SimulatedRssi(uint64_t address, uint64_t count) {
    int base = -45 - static_cast<int>(address % 25);
    int jitter = static_cast<int>((count * 7 + address) % 5) - 2;
    return static_cast<int16_t>(base + jitter);
}

}  // namespace

Adapter::Adapter(Context& context, std::string name, int index, bool powered, std::function<void()> powerChanged)
    : context_(context),
      name_(std::move(name)),
      path_("/org/bluez/" + name_),
      address_(AdapterAddress(index)),
      powerChanged_(std::move(powerChanged)),
      powered_(powered) {}

Adapter::~Adapter() {
    if (watcher_ && advertToken_) watcher_->RemoveReceived(advertToken_);
}

Adapter::Filter Adapter::ParseFilter(const PropertyMap& options) {
    Filter filter;
    bool rssi = false, pathloss = false;
    for (auto& [key, value] : options) {
        if (key == "UUIDs") {
            if (!value.containsValueOfType<std::vector<std::string>>()) throw Errors::InvalidArguments();
            filter.uuids = value.get<std::vector<std::string>>();
            for (auto& u : filter.uuids) std::transform(u.begin(), u.end(), u.begin(), ::tolower);
        } else if (key == "RSSI") {
            if (!value.containsValueOfType<int16_t>()) throw Errors::InvalidArguments();
            filter.rssi = value.get<int16_t>();
            rssi = true;
        } else if (key == "Pathloss") {
            if (!value.containsValueOfType<uint16_t>()) throw Errors::InvalidArguments();
            pathloss = true;
        } else if (key == "Transport") {
            if (!value.containsValueOfType<std::string>()) throw Errors::InvalidArguments();
            auto t = value.get<std::string>();
            if (t != "auto" && t != "le" && t != "bredr") throw Errors::InvalidArguments();
        } else if (key == "DuplicateData") {
            if (!value.containsValueOfType<bool>()) throw Errors::InvalidArguments();
            filter.duplicateData = value.get<bool>();
        } else if (key == "Discoverable") {
            if (!value.containsValueOfType<bool>()) throw Errors::InvalidArguments();
        } else if (key == "Pattern") {
            if (!value.containsValueOfType<std::string>()) throw Errors::InvalidArguments();
        } else {
            throw Errors::InvalidArguments();
        }
    }
    if (rssi && pathloss) throw Errors::InvalidArguments();
    return filter;
}

void Adapter::Register() {
    object_ = sdbus::createObject(context_.bus, path_);
    auto* I = kAdapterInterface;
    auto& props = context_.props;
    object_->registerProperty("Address").onInterface(I).withGetter([address = address_] { return address; });
    object_->registerProperty("AddressType").onInterface(I).withGetter([] { return std::string("public"); });
    object_->registerProperty("Name").onInterface(I).withGetter([] { return std::string("mivoble-fake"); });
    object_->registerProperty("Alias").onInterface(I).withGetter([] { return std::string("mivoble-fake"); });
    object_->registerProperty("Class").onInterface(I).withGetter([] { return uint32_t{0x7c0104}; });
    object_->registerProperty("Powered")
        .onInterface(I)
        .withGetter([this, &props] {
            std::lock_guard<std::mutex> lock(props);
            return powered_;
        })
        .withSetter([this](const bool& on) {
            std::weak_ptr<Adapter> weak = weak_from_this();
            PostTo(context_, weak, [on](Adapter& a) { a.SetPowered(on); });
        });
    object_->registerProperty("Discoverable").onInterface(I).withGetter([] { return false; });
    object_->registerProperty("DiscoverableTimeout").onInterface(I).withGetter([] { return uint32_t{180}; });
    object_->registerProperty("Pairable").onInterface(I).withGetter([] { return true; });
    object_->registerProperty("PairableTimeout").onInterface(I).withGetter([] { return uint32_t{0}; });
    object_->registerProperty("Discovering").onInterface(I).withGetter([this, &props] {
        std::lock_guard<std::mutex> lock(props);
        return discovering_;
    });
    object_->registerProperty("UUIDs").onInterface(I).withGetter([] {
        return std::vector<std::string>{"00001800-0000-1000-8000-00805f9b34fb", "00001801-0000-1000-8000-00805f9b34fb"};
    });
    object_->registerProperty("Modalias").onInterface(I).withGetter([] { return std::string("usb:v1D6Bp0246d0542"); });
    object_->registerProperty("Roles").onInterface(I).withGetter([] { return std::vector<std::string>{"central"}; });

    Context* context = &context_;
    std::weak_ptr<Adapter> weak = weak_from_this();
    object_->registerMethod("SetDiscoveryFilter")
        .onInterface(I)
        .withInputParamNames("filter")
        .implementedAs([object = object_.get(), context, weak](sdbus::Result<>&& result, PropertyMap options) {
            std::optional<Filter> filter;
            if (!options.empty()) filter = ParseFilter(options);
            auto sender = CurrentSender(*object);
            PostTo(*context, weak, [reply = Hold(std::move(result)), sender, filter](Adapter& a) {
                a.SetDiscoveryFilter(reply, sender, filter);
            });
        });
    object_->registerMethod("StartDiscovery")
        .onInterface(I)
        .implementedAs([object = object_.get(), context, weak](sdbus::Result<>&& result) {
            auto sender = CurrentSender(*object);
            PostTo(*context, weak,
                   [reply = Hold(std::move(result)), sender](Adapter& a) { a.StartDiscovery(reply, sender); });
        });
    object_->registerMethod("StopDiscovery")
        .onInterface(I)
        .implementedAs([object = object_.get(), context, weak](sdbus::Result<>&& result) {
            auto sender = CurrentSender(*object);
            PostTo(*context, weak,
                   [reply = Hold(std::move(result)), sender](Adapter& a) { a.StopDiscovery(reply, sender); });
        });
    object_->registerMethod("GetDiscoveryFilters").onInterface(I).withOutputParamNames("filters").implementedAs([] {
        return std::vector<std::string>{"UUIDs",         "RSSI",         "Pathloss", "Transport",
                                        "DuplicateData", "Discoverable", "Pattern"};
    });
    object_->registerMethod("RemoveDevice")
        .onInterface(I)
        .withInputParamNames("device")
        .implementedAs([context, weak](sdbus::Result<>&& result, sdbus::ObjectPath path) {
            PostTo(*context, weak,
                   [reply = Hold(std::move(result)), path](Adapter& a) { a.RemoveDevice(reply, path); });
        });
    object_->finishRegistration();
    object_->emitInterfacesAddedSignal({I});

    watcher_ = context_.stack->CreateAdvertisementWatcher();
    watcher_->SetScanningMode(Platform::ScanningMode::Active);
    advertToken_ = watcher_->AddReceived([context, weak](const Platform::AdvertisementEvent& event) {
        PostTo(*context, weak, [event](Adapter& a) { a.OnAdvertisement(event); });
    });
}

void Adapter::Shutdown() {
    if (watcher_) {
        try {
            watcher_->Stop();
        } catch (const Platform::PlatformError&) {
        }
    }
    for (auto& [address, device] : devices_) device->Unregister();
    devices_.clear();
}

void Adapter::SetProperty(const std::string& name, sdbus::Variant value) {
    if (object_) EmitPropertiesChanged(*object_, kAdapterInterface, {{name, value}});
}

std::shared_ptr<Device> Adapter::FindDevice(uint64_t address) {
    auto it = devices_.find(address);
    return it == devices_.end() ? nullptr : it->second;
}

// ---- power ----

bool Adapter::Powered() {
    std::lock_guard<std::mutex> lock(context_.props);
    return powered_;
}

void Adapter::SetPowered(bool on) {
    bool was;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        was = powered_;
        powered_ = on;
    }
    // Off drops this adapter's links; the radio of the simulated stack stays on while any
    // adapter is powered.
    for (auto& [address, device] : devices_) device->SetAdapterPowered(on);
    if (!on) {
        sessions_.clear();
        UpdateDiscovering();
    }
    if (powerChanged_) powerChanged_();
    if (was != on) SetProperty("Powered", sdbus::Variant(on));
}

// ---- discovery ----

std::string Adapter::MergedFilter() const {
    std::vector<std::string> uuids;
    std::optional<int16_t> rssi;
    bool any = false;
    for (auto& [sender, session] : sessions_) {
        if (!session.discovering) continue;
        any = true;
        if (!session.filter) return "regular";
        uuids.insert(uuids.end(), session.filter->uuids.begin(), session.filter->uuids.end());
        if (session.filter->rssi && (!rssi || *session.filter->rssi < *rssi)) rssi = session.filter->rssi;
    }
    if (!any) return "";
    std::sort(uuids.begin(), uuids.end());
    std::string text = "filtered";
    for (auto& u : uuids) text += " " + u;
    if (rssi) text += " rssi " + std::to_string(*rssi);
    return text;
}

void Adapter::RestartCycleIfChanged(const std::string& mergedBefore) {
    std::string now = MergedFilter();
    if (now.empty() || now == mergedBefore) return;
    // bluetoothd restarts the scan for another filter: the controller reports afresh.
    cycleStart_ = std::chrono::steady_clock::now();
    cycle_ = 0;
    reportedInCycle_.clear();
}

void Adapter::SetDiscoveryFilter(Reply<> reply, const std::string& sender, std::optional<Filter> filter) {
    auto before = MergedFilter();
    if (filter) {
        sessions_[sender].filter = filter;
    } else {
        auto it = sessions_.find(sender);
        if (it != sessions_.end()) {
            it->second.filter.reset();
            if (!it->second.discovering) sessions_.erase(it);
        }
    }
    reply->returnResults();
    RestartCycleIfChanged(before);
}

void Adapter::StartDiscovery(Reply<> reply, const std::string& sender) {
    bool powered;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        powered = powered_;
    }
    if (!powered) return reply->returnError(Errors::NotReady());
    auto before = MergedFilter();
    auto& session = sessions_[sender];
    if (session.discovering) return reply->returnError(Errors::Busy());
    session.discovering = true;
    reply->returnResults();  // the reply comes before Discovering=true
    UpdateDiscovering();
    RestartCycleIfChanged(before);
}

void Adapter::StopDiscovery(Reply<> reply, const std::string& sender) {
    auto it = sessions_.find(sender);
    if (it == sessions_.end() || !it->second.discovering)
        return reply->returnError(Errors::Failed("No discovery started"));
    auto before = MergedFilter();
    it->second.discovering = false;
    if (!it->second.filter) sessions_.erase(it);
    reply->returnResults();
    UpdateDiscovering();
    RestartCycleIfChanged(before);
}

void Adapter::SenderLeft(const std::string& sender) {
    auto before = MergedFilter();
    if (sessions_.erase(sender)) {
        UpdateDiscovering();
        RestartCycleIfChanged(before);
    }
    for (auto& [address, device] : devices_) device->ReleaseSender(sender);
}

void Adapter::UpdateDiscovering() {
    bool any = std::any_of(sessions_.begin(), sessions_.end(), [](auto& s) { return s.second.discovering; });
    bool was;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        was = discovering_;
        discovering_ = any;
    }
    if (was == any) return;
    for (auto& [address, device] : devices_) device->SetAdapterDiscovering(any);
    if (any) {
        cycleStart_ = std::chrono::steady_clock::now();
        cycle_ = 0;
        reportedInCycle_.clear();
    }
    try {
        if (any) watcher_->Start();
        else watcher_->Stop();
    } catch (const Platform::PlatformError&) {
    }
    SetProperty("Discovering", sdbus::Variant(any));
    if (!any)
        for (auto& [address, device] : devices_) device->InvalidateRssi();
}

void Adapter::OnAdvertisement(const Platform::AdvertisementEvent& event) {
    bool report = false, everyAdvert = false;
    int16_t rssi = SimulatedRssi(event.address, ++advertisements_);
    // Filters of all sessions are merged: a device is reported when any discovering
    // session would accept it.
    for (auto& [sender, session] : sessions_) {
        if (!session.discovering) continue;
        if (!session.filter) {
            report = true;
            continue;
        }
        if (!session.filter->uuids.empty()) continue;  // the amplifiers advertise no service UUIDs
        if (session.filter->rssi && rssi < *session.filter->rssi) continue;
        report = true;
        everyAdvert = true;  // with a filter set, every advertising report updates RSSI
    }
    if (!report) return;
    auto device = FindDevice(event.address);
    // A connected peripheral stops advertising.
    if (device && device->IsConnected()) return;
    // The controller's duplicate filter: one report per device and discovery cycle.
    if (auto cycle = context_.behaviour.reportCycle; cycle.count() > 0) {
        auto now = std::chrono::steady_clock::now();
        cycle_ = static_cast<uint64_t>((now - cycleStart_) / cycle);
        auto& reported = reportedInCycle_[event.address];
        if (reported == cycle_ + 1) return;
        reported = cycle_ + 1;
    }
    if (!device) {
        device = std::make_shared<Device>(context_, path_, event.address, event.localName);
        bool powered;
        {
            std::lock_guard<std::mutex> lock(context_.props);
            powered = powered_;
        }
        device->SetAdapterPowered(powered);
        device->SetAdapterDiscovering(true);
        devices_[event.address] = device;
        device->Advertised(event.localName, rssi, false);  // values before the object appears
        device->Register();
        return;
    }
    device->Advertised(event.localName, rssi, everyAdvert);
}

void Adapter::RemoveDevice(Reply<> reply, const std::string& path) {
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->second->Path() != path) continue;
        auto device = it->second;
        devices_.erase(it);
        device->Unregister();
        return reply->returnResults();
    }
    reply->returnError(Errors::DoesNotExist());
}

}  // namespace Mivo::FakeBluez
