#include "device.h"

#include <cstdio>

#include "bluez_errors.h"

namespace Mivo::FakeBluez {

using Platform::AsyncStatus;
using Platform::GattStatus;

namespace {

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

std::string DashedAddress(uint64_t address) {
    std::string text = Sim::FormatAddress(address);
    for (auto& c : text)
        if (c == ':') c = '-';
    return text;
}

}  // namespace

Device::Device(Context& context, std::string adapterPath, uint64_t address, std::string name)
    : context_(context),
      adapterPath_(std::move(adapterPath)),
      path_(adapterPath_ + "/" + DeviceNodeName(address)),
      address_(address),
      name_(std::move(name)) {}

Device::~Device() {
    if (seam_ && statusToken_) {
        try {
            seam_->RemoveConnectionStatusChanged(statusToken_);
        } catch (const Platform::PlatformError&) {
        }
    }
}

void Device::Register() {
    object_ = sdbus::createObject(context_.bus, path_);
    auto* I = kDeviceInterface;
    auto address = Sim::FormatAddress(address_);
    auto adapter = adapterPath_;
    auto dashed = DashedAddress(address_);
    auto& props = context_.props;
    object_->registerProperty("Address").onInterface(I).withGetter([address] { return address; });
    object_->registerProperty("AddressType").onInterface(I).withGetter([] { return std::string("public"); });
    object_->registerProperty("Name").onInterface(I).withGetter([this, &props] {
        std::lock_guard<std::mutex> lock(props);
        return name_;
    });
    object_->registerProperty("Alias").onInterface(I).withGetter([this, &props, dashed] {
        std::lock_guard<std::mutex> lock(props);
        return name_.empty() ? dashed : name_;
    });
    object_->registerProperty("Adapter").onInterface(I).withGetter([adapter] { return sdbus::ObjectPath(adapter); });
    object_->registerProperty("Paired").onInterface(I).withGetter([] { return false; });
    object_->registerProperty("Bonded").onInterface(I).withGetter([] { return false; });
    object_->registerProperty("Trusted")
        .onInterface(I)
        .withGetter([this, &props] {
            std::lock_guard<std::mutex> lock(props);
            return trusted_;
        })
        .withSetter([this](const bool& value) {
            std::weak_ptr<Device> weak = weak_from_this();
            PostTo(context_, weak, [value](Device& d) { d.SetProperty("Trusted", sdbus::Variant(value)); });
            std::lock_guard<std::mutex> lock(context_.props);
            trusted_ = value;
        });
    object_->registerProperty("Blocked").onInterface(I).withGetter([] { return false; });
    object_->registerProperty("LegacyPairing").onInterface(I).withGetter([] { return false; });
    object_->registerProperty("Connected").onInterface(I).withGetter([this, &props] {
        std::lock_guard<std::mutex> lock(props);
        return connected_;
    });
    object_->registerProperty("ServicesResolved").onInterface(I).withGetter([this, &props] {
        std::lock_guard<std::mutex> lock(props);
        return servicesResolved_;
    });
    object_->registerProperty("UUIDs").onInterface(I).withGetter([this, &props] {
        std::lock_guard<std::mutex> lock(props);
        return uuids_;
    });
    object_->registerProperty("RSSI").onInterface(I).withGetter([this, &props] {
        std::lock_guard<std::mutex> lock(props);
        return rssi_;
    });
    Context* context = &context_;
    std::weak_ptr<Device> weak = weak_from_this();
    object_->registerMethod("Connect").onInterface(I).implementedAs([context, weak](sdbus::Result<>&& result) {
        PostTo(*context, weak, [reply = Hold(std::move(result))](Device& d) { d.Connect(reply); });
    });
    object_->registerMethod("Disconnect").onInterface(I).implementedAs([context, weak](sdbus::Result<>&& result) {
        PostTo(*context, weak, [reply = Hold(std::move(result))](Device& d) { d.Disconnect(reply); });
    });
    object_->registerMethod("Pair").onInterface(I).implementedAs([] { throw Errors::NotSupported(); });
    object_->registerMethod("CancelPairing").onInterface(I).implementedAs([] { throw Errors::DoesNotExist(); });
    object_->finishRegistration();
    object_->emitInterfacesAddedSignal({I});
}

void Device::SetProperty(const std::string& name, sdbus::Variant value) {
    if (object_) EmitPropertiesChanged(*object_, kDeviceInterface, {{name, value}});
}

void Device::Advertised(const std::string& name, int16_t rssi, bool reportRssi) {
    bool nameChanged = false;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        if (!name.empty() && name != name_) {
            name_ = name;
            nameChanged = true;
        }
        if (!rssiValid_ || rssi - rssi_ >= 8 || rssi_ - rssi >= 8) reportRssi = true;
        rssi_ = rssi;
    }
    rssiValid_ = true;
    PropertyMap changed;
    if (nameChanged) {
        changed["Name"] = sdbus::Variant(name);
        changed["Alias"] = sdbus::Variant(name);
    }
    if (reportRssi) changed["RSSI"] = sdbus::Variant(rssi);
    if (!changed.empty() && object_) EmitPropertiesChanged(*object_, kDeviceInterface, changed);
}

void Device::InvalidateRssi() {
    if (!rssiValid_ || !object_) return;
    rssiValid_ = false;
    EmitPropertiesChanged(*object_, kDeviceInterface, {}, {"RSSI"});
}

void Device::ReleaseSender(const std::string& sender) {
    for (auto& s : gatt_)
        for (auto& c : s->Characteristics()) c->ReleaseSender(sender);
}

// ---- connect ----

void Device::SetAdapterPowered(bool powered) {
    powered_ = powered;
    if (powered) return;
    if (link_ == Link::Connecting) {
        ++attempt_;
        link_ = Link::Down;
        if (pendingConnect_) pendingConnect_->returnError(Errors::Failed(context_.behaviour.ConnectAbortText()));
        pendingConnect_.reset();
    }
    if (link_ == Link::Up) LinkDown();
    if (seam_) seam_->Close();
}

void Device::Connect(Reply<> reply) {
    if (!powered_) return reply->returnError(Errors::NotReady());
    if (link_ == Link::Up) return reply->returnResults();
    if (link_ == Link::Connecting) return reply->returnError(context_.behaviour.ConnectInProgress());
    pendingConnect_ = reply;
    // Many controllers abort a connection they are asked to make during an active scan.
    if (discovering_ && context_.behaviour.connectFailsWhileDiscovering)
        return FailConnect(context_.behaviour.ConnectAbortText(), false);
    link_ = Link::Connecting;
    uint64_t attempt = ++attempt_;
    if (seam_) return StartServices(attempt);
    WhenDone(context_, context_.stack->FromBluetoothAddressAsync(address_), weak_from_this(),
             [attempt](Device& d, const auto& op) {
                 d.OnSeamDevice(attempt, op->Status() == AsyncStatus::Completed ? op->GetResults() : nullptr);
             });
}

void Device::OnSeamDevice(uint64_t attempt, std::shared_ptr<Platform::IBluetoothLEDevice> device) {
    if (attempt != attempt_) return;
    if (!device) return FailConnect(context_.behaviour.ConnectAbortText(), false);
    seam_ = std::move(device);
    Context* context = &context_;
    std::weak_ptr<Device> weak = weak_from_this();
    statusToken_ = seam_->AddConnectionStatusChanged(
        [context, weak] { PostTo(*context, weak, [](Device& d) { d.OnStatusChanged(); }); });
    StartServices(attempt);
}

void Device::StartServices(uint64_t attempt) {
    WhenDone(context_, seam_->GetGattServicesAsync(), weak_from_this(),
             [attempt](Device& d, const auto& op) { d.OnServices(attempt, op); });
}

void Device::FailConnect(const std::string& text, bool wasUp) {
    auto reply = std::move(pendingConnect_);
    pendingConnect_.reset();
    link_ = Link::Down;
    // BlueZ reports the aborted attempt as a brief connection: clients wait for
    // Connected to fall back to false before they retry.
    if (!wasUp) {
        {
            std::lock_guard<std::mutex> lock(context_.props);
            connected_ = true;
        }
        SetProperty("Connected", sdbus::Variant(true));
    }
    if (reply) reply->returnError(Errors::Failed(text));
    {
        std::lock_guard<std::mutex> lock(context_.props);
        connected_ = false;
    }
    SetProperty("Connected", sdbus::Variant(false));
}

void Device::OnServices(uint64_t attempt, const Platform::AsyncOp<Platform::IBluetoothLEDevice::ServicesResult>& op) {
    bool ok = op->Status() == AsyncStatus::Completed;
    Platform::IBluetoothLEDevice::ServicesResult result;
    if (ok) {
        result = op->GetResults();
        ok = result.status == GattStatus::Success;
    }
    if (attempt != attempt_) {
        if (ok && seam_ && link_ != Link::Up) seam_->Close();  // a connect given up on: let the link go
        return;
    }
    if (!ok) return FailConnect(context_.behaviour.ConnectAbortText(), false);
    link_ = Link::Up;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        connected_ = true;
    }
    SetProperty("Connected", sdbus::Variant(true));
    if (auto reply = std::move(pendingConnect_)) reply->returnResults();
    pendingConnect_.reset();

    // Characteristic discovery of every service, then the objects, then ServicesResolved.
    struct Gather {
        std::vector<std::shared_ptr<Platform::IGattService>> services;
        std::vector<Platform::IGattService::CharacteristicsResult> results;
        size_t left = 0;
        std::mutex mutex;
    };
    auto gather = std::make_shared<Gather>();
    gather->services = result.services;
    gather->results.resize(result.services.size());
    gather->left = result.services.size();
    if (gather->left == 0) return OnCharacteristics(attempt, {}, {});
    Context* context = &context_;
    std::weak_ptr<Device> weak = weak_from_this();
    for (size_t i = 0; i < result.services.size(); ++i) {
        auto cop = result.services[i]->GetCharacteristicsAsync();
        std::weak_ptr<Platform::AsyncOperation<Platform::IGattService::CharacteristicsResult>> weakOp = cop;
        cop->SetCompleted([context, weak, attempt, gather, i, weakOp](AsyncStatus status) {
            auto finished = weakOp.lock();
            if (!finished) return;
            bool last;
            {
                std::lock_guard<std::mutex> lock(gather->mutex);
                if (status == AsyncStatus::Completed) gather->results[i] = finished->GetResults();
                else gather->results[i].status = GattStatus::Unreachable;
                last = --gather->left == 0;
            }
            if (last)
                PostTo(*context, weak, [attempt, gather](Device& d) {
                    d.OnCharacteristics(attempt, gather->services, gather->results);
                });
        });
    }
}

void Device::OnCharacteristics(uint64_t attempt, std::vector<std::shared_ptr<Platform::IGattService>> services,
                               std::vector<Platform::IGattService::CharacteristicsResult> results) {
    if (attempt != attempt_ || link_ != Link::Up) return;
    for (auto& r : results) {
        if (r.status == GattStatus::Success) continue;
        // Discovery failed: the link is of no use, as bluetoothd gives it up.
        LinkDown();
        if (seam_) seam_->Close();
        return;
    }
    BuildGatt(services, results);
    std::vector<std::string> uuids;
    for (auto& s : gatt_) uuids.push_back(UuidString(s->Uuid()));
    bool uuidsChanged;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        uuidsChanged = uuids != uuids_;
        uuids_ = uuids;
        servicesResolved_ = true;
    }
    if (uuidsChanged) SetProperty("UUIDs", sdbus::Variant(uuids));
    SetProperty("ServicesResolved", sdbus::Variant(true));
    TakeGapName();
}

void Device::TakeGapName() {
    const std::string& gap = context_.behaviour.gapName;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        if (gap.empty() || gap == name_) return;
        name_ = gap;
    }
    EmitPropertiesChanged(*object_, kDeviceInterface, {{"Name", sdbus::Variant(gap)}, {"Alias", sdbus::Variant(gap)}});
}

void Device::BuildGatt(const std::vector<std::shared_ptr<Platform::IGattService>>& services,
                       const std::vector<Platform::IGattService::CharacteristicsResult>& results) {
    std::vector<Platform::Uuid> shape;
    for (size_t i = 0; i < services.size(); ++i) {
        shape.push_back(services[i]->GetUuid());
        for (auto& c : results[i].characteristics) shape.push_back(c->GetUuid());
        shape.push_back(Platform::Uuid{});  // end of service
    }
    if (shape != gattShape_ || gatt_.empty()) {
        RemoveGatt();
        gattShape_ = shape;
        // Handles as a GATT server lays them out: service, then per characteristic its
        // declaration, value and (when it notifies) CCCD.
        unsigned handle = 1;
        for (size_t i = 0; i < services.size(); ++i) {
            auto servicePath = path_ + "/service" + Hex4(handle++);
            auto service = std::make_shared<Service>(context_, servicePath, path_, services[i]->GetUuid());
            for (auto& c : results[i].characteristics) {
                auto uuid = c->GetUuid();
                auto characteristic = std::make_shared<Characteristic>(context_, servicePath + "/char" + Hex4(handle),
                                                                       servicePath, uuid, address_);
                handle += Sim::PropertiesOf(uuid).notify ? 3 : 2;
                service->Characteristics().push_back(characteristic);
            }
            gatt_.push_back(service);
        }
        for (auto& s : gatt_) s->Register();
    }
    for (size_t i = 0; i < services.size(); ++i)
        for (size_t k = 0; k < results[i].characteristics.size(); ++k)
            gatt_[i]->Characteristics()[k]->Bind(results[i].characteristics[k]);
}

void Device::RemoveGatt() {
    for (auto it = gatt_.rbegin(); it != gatt_.rend(); ++it) (*it)->Unregister();
    gatt_.clear();
    gattShape_.clear();
}

// ---- disconnect ----

void Device::LinkDown(const Reply<>& disconnect) {
    ++attempt_;
    link_ = Link::Down;
    for (auto& s : gatt_)
        for (auto& c : s->Characteristics()) c->Unbind();
    bool resolved, connected;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        resolved = servicesResolved_;
        connected = connected_;
        servicesResolved_ = connected_ = false;
    }
    if (resolved) SetProperty("ServicesResolved", sdbus::Variant(false));
    // bluetoothd answers the Disconnect calls before it announces Connected=false; bleak
    // closes its connection on that signal and would lose a later reply.
    if (disconnect) disconnect->returnResults();
    if (connected) SetProperty("Connected", sdbus::Variant(false));
}

void Device::Disconnect(Reply<> reply) {
    if (link_ == Link::Down) return reply->returnError(Errors::NotConnected());
    if (link_ == Link::Connecting) {
        ++attempt_;
        link_ = Link::Down;
        if (pendingConnect_) pendingConnect_->returnError(Errors::Failed(context_.behaviour.ConnectAbortText()));
        pendingConnect_.reset();
        if (seam_) seam_->Close();
        return reply->returnResults();
    }
    LinkDown(reply);
    if (seam_) seam_->Close();
}

void Device::OnStatusChanged() {
    if (link_ != Link::Up || !seam_) return;
    if (seam_->GetConnectionStatus() == Platform::ConnectionStatus::Disconnected) LinkDown();
}

void Device::Unregister() {
    if (link_ == Link::Up) LinkDown();
    if (link_ == Link::Connecting) {
        ++attempt_;
        link_ = Link::Down;
        if (pendingConnect_) pendingConnect_->returnError(Errors::UnknownObject(path_));
        pendingConnect_.reset();
    }
    if (seam_) {
        if (statusToken_) seam_->RemoveConnectionStatusChanged(statusToken_);
        statusToken_ = 0;
        seam_->Close();
        seam_.reset();
    }
    RemoveGatt();
    if (!object_) return;
    object_->emitInterfacesRemovedSignal({kDeviceInterface});
    object_.reset();
}

}  // namespace Mivo::FakeBluez
