#include "gatt.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "bluez_errors.h"

namespace Mivo::FakeBluez {

using Platform::AsyncStatus;
using Platform::GattStatus;

namespace {

constexpr uint16_t kCccdUuid = 0x2902;

std::vector<std::string> FlagList(const Sim::CharacteristicProperties& p) {
    std::vector<std::string> flags;
    if (p.read) flags.push_back("read");
    if (p.writeWithoutResponse) flags.push_back("write-without-response");
    if (p.write) flags.push_back("write");
    if (p.notify) flags.push_back("notify");
    return flags;
}

// Options of ReadValue/WriteValue/AcquireNotify: wrong types are refused as BlueZ does.
uint16_t OffsetOption(const PropertyMap& options) {
    auto it = options.find("offset");
    if (it == options.end()) return 0;
    if (!it->second.containsValueOfType<uint16_t>()) throw Errors::InvalidArguments();
    return it->second.get<uint16_t>();
}

std::string TypeOption(const PropertyMap& options) {
    auto it = options.find("type");
    if (it == options.end()) return {};
    if (!it->second.containsValueOfType<std::string>()) throw Errors::InvalidArguments();
    return it->second.get<std::string>();
}

sdbus::Error StatusError(GattStatus status, bool write) {
    switch (status) {
    case GattStatus::Unreachable: return Errors::Failed(Errors::kNotConnected);
    case GattStatus::ProtocolError: return Errors::NotPermitted(write ? "Write not permitted" : "Read not permitted");
    case GattStatus::AccessDenied: return Errors::NotAuthorized();
    case GattStatus::Success: break;
    }
    return Errors::Failed("Operation failed");
}

// The outcome of a finished seam operation: the value, or the error BlueZ would send.
template <typename T>
std::optional<T> Outcome(const Platform::AsyncOp<T>& op, sdbus::Error& error) {
    try {
        return op->GetResults();
    } catch (const Platform::PlatformError& e) {
        error = Errors::Failed(e.message.empty() ? "Operation failed" : e.message);
        return std::nullopt;
    }
}

}  // namespace

// ---- Descriptor ----

Descriptor::Descriptor(Context& context, std::string path, Characteristic& owner)
    : context_(context), path_(std::move(path)), owner_(owner) {}

void Descriptor::Register() {
    object_ = sdbus::createObject(context_.bus, path_);
    auto uuid = UuidString(Platform::Uuid::FromShort(kCccdUuid));
    std::string ownerPath = owner_.Path();
    object_->registerProperty("UUID").onInterface(kDescriptorInterface).withGetter([uuid] { return uuid; });
    object_->registerProperty("Characteristic").onInterface(kDescriptorInterface).withGetter([ownerPath] {
        return sdbus::ObjectPath(ownerPath);
    });
    object_->registerProperty("Value").onInterface(kDescriptorInterface).withGetter([] { return Bytes{}; });
    auto weak = owner_.weak_from_this();
    Context* context = &context_;
    object_->registerMethod("ReadValue").onInterface(kDescriptorInterface).withInputParamNames("options").withOutputParamNames("value")
        .implementedAs([context, weak](sdbus::Result<Bytes>&& result, PropertyMap options) {
            OffsetOption(options);
            PostTo(*context, weak, [reply = Hold(std::move(result))](Characteristic& c) { c.ReadCccd(reply); });
        });
    object_->registerMethod("WriteValue").onInterface(kDescriptorInterface).withInputParamNames("value", "options")
        .implementedAs([context, weak](sdbus::Result<>&& result, Bytes value, PropertyMap options) {
            OffsetOption(options);
            TypeOption(options);
            PostTo(*context, weak, [reply = Hold(std::move(result)), value](Characteristic& c) { c.WriteCccd(reply, value); });
        });
    object_->finishRegistration();
    object_->emitInterfacesAddedSignal({kDescriptorInterface});
}

void Descriptor::Unregister() {
    if (!object_) return;
    object_->emitInterfacesRemovedSignal({kDescriptorInterface});
    object_.reset();
}

// ---- Characteristic ----

Characteristic::Characteristic(Context& context, std::string path, std::string servicePath, Platform::Uuid uuid)
    : context_(context), path_(std::move(path)), servicePath_(std::move(servicePath)), uuid_(uuid), flags_(Sim::PropertiesOf(uuid)) {}

Characteristic::~Characteristic() { CloseSocket(); }

std::vector<std::string> Characteristic::ObjectPaths() const {
    std::vector<std::string> paths{path_};
    if (cccd_) paths.push_back(cccd_->Path());
    return paths;
}

void Characteristic::Register() {
    object_ = sdbus::createObject(context_.bus, path_);
    auto* I = kCharacteristicInterface;
    auto uuid = UuidString(uuid_);
    auto service = servicePath_;
    auto flags = FlagList(flags_);
    Context* context = &context_;
    auto weak = weak_from_this();
    object_->registerProperty("UUID").onInterface(I).withGetter([uuid] { return uuid; });
    object_->registerProperty("Service").onInterface(I).withGetter([service] { return sdbus::ObjectPath(service); });
    object_->registerProperty("Flags").onInterface(I).withGetter([flags] { return flags; });
    object_->registerProperty("Value").onInterface(I).withGetter([this] {
        std::lock_guard<std::mutex> lock(context_.props);
        return value_;
    });
    object_->registerProperty("MTU").onInterface(I).withGetter([this] {
        std::lock_guard<std::mutex> lock(context_.props);
        return mtu_;
    });
    if (CanNotify()) {
        object_->registerProperty("Notifying").onInterface(I).withGetter([this] {
            std::lock_guard<std::mutex> lock(context_.props);
            return notifying_;
        });
        object_->registerProperty("NotifyAcquired").onInterface(I).withGetter([this] {
            std::lock_guard<std::mutex> lock(context_.props);
            return notifyAcquired_;
        });
    }
    object_->registerMethod("ReadValue").onInterface(I).withInputParamNames("options").withOutputParamNames("value")
        .implementedAs([context, weak](sdbus::Result<Bytes>&& result, PropertyMap options) {
            uint16_t offset = OffsetOption(options);
            PostTo(*context, weak, [reply = Hold(std::move(result)), offset](Characteristic& c) { c.Read(reply, offset); });
        });
    object_->registerMethod("WriteValue").onInterface(I).withInputParamNames("value", "options")
        .implementedAs([context, weak](sdbus::Result<>&& result, Bytes value, PropertyMap options) {
            OffsetOption(options);
            auto type = TypeOption(options);
            PostTo(*context, weak, [reply = Hold(std::move(result)), value = std::move(value), type](Characteristic& c) {
                c.Write(reply, value, type);
            });
        });
    object_->registerMethod("StartNotify").onInterface(I).implementedAs([object = object_.get(), context, weak](sdbus::Result<>&& result) {
        auto sender = CurrentSender(*object);
        PostTo(*context, weak, [reply = Hold(std::move(result)), sender](Characteristic& c) { c.StartNotify(reply, sender); });
    });
    object_->registerMethod("StopNotify").onInterface(I).implementedAs([object = object_.get(), context, weak](sdbus::Result<>&& result) {
        auto sender = CurrentSender(*object);
        PostTo(*context, weak, [reply = Hold(std::move(result)), sender](Characteristic& c) { c.StopNotify(reply, sender); });
    });
    if (CanNotify()) {
        object_->registerMethod("AcquireNotify").onInterface(I).withInputParamNames("options").withOutputParamNames("fd", "mtu")
            .implementedAs([object = object_.get(), context, weak](sdbus::Result<sdbus::UnixFd, uint16_t>&& result, PropertyMap) {
                auto sender = CurrentSender(*object);
                PostTo(*context, weak, [reply = Hold(std::move(result)), sender](Characteristic& c) { c.AcquireNotify(reply, sender); });
            });
    }
    object_->finishRegistration();
    object_->emitInterfacesAddedSignal({I});
    if (CanNotify()) {
        cccd_ = std::make_unique<Descriptor>(context_, path_ + "/desc" + [&] {
            char text[8];
            std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(std::stoul(path_.substr(path_.size() - 4), nullptr, 16) + 2));
            return std::string(text);
        }(), *this);
        cccd_->Register();
    }
}

void Characteristic::Unregister() {
    Unbind();
    if (cccd_) cccd_->Unregister();
    cccd_.reset();
    if (!object_) return;
    object_->emitInterfacesRemovedSignal({kCharacteristicInterface});
    object_.reset();
}

void Characteristic::Bind(std::shared_ptr<Platform::IGattCharacteristic> seam) {
    Unbind();
    seam_ = std::move(seam);
    ++link_;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        mtu_ = seam_->GetMtu();
    }
    if (CanNotify()) {
        Context* context = &context_;
        std::weak_ptr<Characteristic> weak = weak_from_this();
        uint64_t link = link_;
        // Notifications arrive on the stack's event thread in order; the strand keeps it.
        valueToken_ = seam_->AddValueChanged([context, weak, link](const Bytes& value) {
            PostTo(*context, weak, [link, value](Characteristic& c) {
                if (c.link_ == link) c.OnValue(value);
            });
        });
    }
}

void Characteristic::Unbind() {
    if (!seam_) return;
    if (valueToken_) {
        try {
            seam_->RemoveValueChanged(valueToken_);
        } catch (const Platform::PlatformError&) {
        }
    }
    valueToken_ = 0;
    seam_.reset();
    ++link_;
    cccdOn_ = cccdPending_ = false;
    notifySenders_.clear();
    acquiredBy_.clear();
    CloseSocket();
    for (auto& [sender, reply] : startWaiters_) reply->returnError(Errors::Failed(Errors::kNotConnected));
    startWaiters_.clear();
    if (read_)
        for (auto& r : read_->waiters) r->returnError(Errors::Failed(Errors::kNotConnected));
    read_.reset();
    writePending_ = false;
    if (object_ && CanNotify()) SetNotifying(false, false);
}

void Characteristic::ReleaseSender(const std::string& sender) {
    bool had = notifySenders_.erase(sender) > 0;
    if (!acquiredBy_.empty() && acquiredBy_ == sender) {
        acquiredBy_.clear();
        CloseSocket();
        had = true;
    }
    if (had) StopIfUnused();
}

// ---- read ----

void Characteristic::Read(Reply<Bytes> reply, uint16_t offset) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    if (read_) {
        if (read_->offset != offset) return reply->returnError(Errors::InProgress());
        read_->waiters.push_back(reply);  // the same read answers both, as BlueZ does
        return;
    }
    read_ = PendingRead{offset, {reply}};
    auto op = seam_->ReadValueAsync();
    Context* context = &context_;
    std::weak_ptr<Characteristic> weak = weak_from_this();
    uint64_t link = link_;
    op->SetCompleted([context, weak, link, op](AsyncStatus) {
        PostTo(*context, weak, [link, op](Characteristic& c) { c.FinishRead(link, op); });
    });
}

void Characteristic::FinishRead(uint64_t link, const Platform::AsyncOp<Platform::IGattCharacteristic::ReadResult>& op) {
    if (link != link_ || !read_) return;  // the link went down: the waiters were answered then
    auto pending = std::move(*read_);
    read_.reset();
    sdbus::Error error = Errors::Failed("Operation failed");
    auto result = Outcome(op, error);
    if (result && result->status != GattStatus::Success) {
        error = StatusError(result->status, false);
        result.reset();
    }
    if (!result) {
        for (auto& r : pending.waiters) r->returnError(error);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(context_.props);
        value_ = result->value;
    }
    // BlueZ updates the cached value (and tells everyone) before it replies.
    EmitPropertiesChanged(*object_, kCharacteristicInterface, {{"Value", sdbus::Variant(result->value)}});
    Bytes answer;
    if (pending.offset < result->value.size()) answer.assign(result->value.begin() + pending.offset, result->value.end());
    for (auto& r : pending.waiters) r->returnResults(answer);
}

// ---- write ----

void Characteristic::Write(Reply<> reply, Bytes value, const std::string& type) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    bool command = type == "command" || (type.empty() && flags_.writeWithoutResponse);
    bool request = type == "request" || type == "reliable" || (type.empty() && !command && flags_.write);
    if (command) {
        size_t mtu = seam_->GetMtu();
        if (value.size() + 3 > mtu) return reply->returnError(Errors::Failed("Failed to initiate write"));
        // A write command is answered once queued.
        seam_->WriteValueWithResultAsync(std::move(value), Platform::WriteOption::WithoutResponse);
        return reply->returnResults();
    }
    if (!request) return reply->returnError(Errors::NotSupported());
    if (writePending_) return reply->returnError(Errors::InProgress());
    writePending_ = true;
    auto op = seam_->WriteValueWithResultAsync(std::move(value), Platform::WriteOption::WithResponse);
    Context* context = &context_;
    std::weak_ptr<Characteristic> weak = weak_from_this();
    uint64_t link = link_;
    op->SetCompleted([context, weak, link, op, reply](AsyncStatus) {
        PostTo(*context, weak, [link, op, reply](Characteristic& c) {
            if (link != c.link_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
            c.writePending_ = false;
            sdbus::Error error = Errors::Failed("Operation failed");
            auto status = Outcome(op, error);
            if (!status) return reply->returnError(error);
            if (*status != GattStatus::Success) return reply->returnError(StatusError(*status, true));
            reply->returnResults();
        });
    });
}

// ---- notify ----

void Characteristic::SetCccd(bool on, std::function<void(bool ok)> done) {
    auto op = seam_->WriteClientCharacteristicConfigurationDescriptorAsync(on ? Platform::CccdValue::Notify : Platform::CccdValue::None);
    Context* context = &context_;
    std::weak_ptr<Characteristic> weak = weak_from_this();
    uint64_t link = link_;
    op->SetCompleted([context, weak, link, op, done = std::move(done)](AsyncStatus status) {
        PostTo(*context, weak, [link, op, status, done](Characteristic& c) {
            bool ok = link == c.link_ && status == AsyncStatus::Completed && op->GetResults() == GattStatus::Success;
            done(ok);
        });
    });
}

void Characteristic::SetNotifying(bool notifying, std::optional<bool> acquired) {
    PropertyMap changed;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        if (notifying_ != notifying) changed["Notifying"] = sdbus::Variant(notifying);
        notifying_ = notifying;
        if (acquired && *acquired != notifyAcquired_) {
            notifyAcquired_ = *acquired;
            changed["NotifyAcquired"] = sdbus::Variant(*acquired);
        }
    }
    if (!changed.empty() && object_) EmitPropertiesChanged(*object_, kCharacteristicInterface, changed);
}

void Characteristic::StartNotify(Reply<> reply, const std::string& sender) {
    if (!CanNotify()) return reply->returnError(Errors::NotSupported());
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    if (socket_ >= 0) return reply->returnError(Errors::NotPermitted("Notify acquired"));
    if (notifySenders_.count(sender)) return reply->returnResults();
    if (cccdOn_) {
        notifySenders_.insert(sender);
        return reply->returnResults();
    }
    for (auto& w : startWaiters_)
        if (w.first == sender) return reply->returnError(Errors::InProgress());
    startWaiters_.emplace_back(sender, reply);
    if (cccdPending_) return;
    cccdPending_ = true;
    SetCccd(true, [this](bool ok) {
        cccdPending_ = false;
        auto waiters = std::move(startWaiters_);
        startWaiters_.clear();
        if (!ok) {
            for (auto& [s, r] : waiters) r->returnError(Errors::Failed("Operation failed"));
            return;
        }
        cccdOn_ = true;
        for (auto& [s, r] : waiters) {
            notifySenders_.insert(s);
            r->returnResults();
        }
        SetNotifying(true);
        StopIfUnused();  // every waiter may have left the bus meanwhile
    });
}

void Characteristic::StopNotify(Reply<> reply, const std::string& sender) {
    if (!CanNotify()) return reply->returnError(Errors::NotSupported());
    if (!notifySenders_.erase(sender)) return reply->returnError(Errors::Failed("No notify session started"));
    reply->returnResults();
    StopIfUnused();
}

void Characteristic::StopIfUnused() {
    if (!notifySenders_.empty() || socket_ >= 0 || !startWaiters_.empty() || cccdPending_) return;
    bool wasAcquired;
    {
        std::lock_guard<std::mutex> lock(context_.props);
        wasAcquired = notifyAcquired_;
    }
    if (cccdOn_ && seam_) {
        cccdOn_ = false;
        SetCccd(false, [](bool) {});
    }
    SetNotifying(false, wasAcquired ? std::optional<bool>(false) : std::nullopt);
}

void Characteristic::AcquireNotify(Reply<sdbus::UnixFd, uint16_t> reply, const std::string& sender) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    if (socket_ >= 0) return reply->returnError(Errors::NotPermitted("Notify acquired"));
    if (!notifySenders_.empty() || cccdPending_) return reply->returnError(Errors::InProgress());
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return reply->returnError(Errors::Failed("Operation failed"));
    socket_ = fds[0];
    acquiredBy_ = sender;
    sdbus::UnixFd theirs(fds[1], sdbus::adopt_fd);
    uint16_t mtu = seam_->GetMtu();
    auto send = [this, reply, theirs, mtu]() {
        reply->returnResults(theirs, mtu);
        SetNotifying(true, true);
    };
    if (cccdOn_) return send();
    cccdPending_ = true;
    SetCccd(true, [this, send, reply](bool ok) {
        cccdPending_ = false;
        if (!ok || socket_ < 0) {
            CloseSocket();
            acquiredBy_.clear();
            return reply->returnError(Errors::Failed("Operation failed"));
        }
        cccdOn_ = true;
        send();
    });
}

void Characteristic::CloseSocket() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
}

void Characteristic::OnValue(const Bytes& value) {
    {
        std::lock_guard<std::mutex> lock(context_.props);
        value_ = value;
    }
    if (socket_ >= 0) {
        // One notification per packet. A client that stopped reading loses values, as
        // it would on a real link; one that closed its end ends the session.
        ssize_t n = ::send(socket_, value.data(), value.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            acquiredBy_.clear();
            CloseSocket();
            StopIfUnused();
        }
    }
    if (!notifySenders_.empty()) EmitPropertiesChanged(*object_, kCharacteristicInterface, {{"Value", sdbus::Variant(value)}});
}

// ---- CCCD descriptor ----

void Characteristic::ReadCccd(Reply<Bytes> reply) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    reply->returnResults(Bytes{static_cast<uint8_t>(cccdOn_ ? 1 : 0), 0});
}

void Characteristic::WriteCccd(Reply<> reply, Bytes value) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    if (value.size() != 2) return reply->returnError(Errors::Failed("Operation failed with ATT error: 0x0d"));
    bool on = value[0] != 0;
    SetCccd(on, [this, on, reply](bool ok) {
        if (!ok) return reply->returnError(Errors::Failed("Operation failed"));
        cccdOn_ = on;
        reply->returnResults();
    });
}

// ---- Service ----

Service::Service(Context& context, std::string path, std::string devicePath, Platform::Uuid uuid)
    : context_(context), path_(std::move(path)), devicePath_(std::move(devicePath)), uuid_(uuid) {}

void Service::Register() {
    object_ = sdbus::createObject(context_.bus, path_);
    auto uuid = UuidString(uuid_);
    auto device = devicePath_;
    object_->registerProperty("UUID").onInterface(kServiceInterface).withGetter([uuid] { return uuid; });
    object_->registerProperty("Device").onInterface(kServiceInterface).withGetter([device] { return sdbus::ObjectPath(device); });
    object_->registerProperty("Primary").onInterface(kServiceInterface).withGetter([] { return true; });
    object_->registerProperty("Includes").onInterface(kServiceInterface).withGetter([] { return std::vector<sdbus::ObjectPath>{}; });
    object_->finishRegistration();
    object_->emitInterfacesAddedSignal({kServiceInterface});
    for (auto& c : characteristics_) c->Register();
}

void Service::Unregister() {
    for (auto it = characteristics_.rbegin(); it != characteristics_.rend(); ++it) (*it)->Unregister();
    if (!object_) return;
    object_->emitInterfacesRemovedSignal({kServiceInterface});
    object_.reset();
}

}  // namespace Mivo::FakeBluez
