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
constexpr size_t kMaxAttValue = 512;

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

// What bluetoothd answers for an ATT error of the peripheral (its create_gatt_dbus_error).
sdbus::Error AttErrorReply(uint8_t code) {
    switch (code) {
        case 0x00: return Errors::Failed("Operation failed");
        case 0x02: return Errors::NotPermitted("Read not permitted");
        case 0x03: return Errors::NotPermitted("Write not permitted");
        case 0x05:
        case 0x0c:
        case 0x0f: return Errors::NotPermitted("Not paired");
        case 0x06: return Errors::NotSupported();
        case 0x07: return Errors::InvalidArguments("Invalid offset");
        case 0x08: return Errors::NotAuthorized();
        case 0x0d: return Errors::InvalidArguments("Invalid Length");
        default: break;
    }
    char text[48];
    std::snprintf(text, sizeof text, "Operation failed with ATT error: 0x%02x", code);
    return Errors::Failed(text);
}

// A failed status of the simulated stack as the peripheral's ATT error reaches a client:
// a value it will not take is too long, anything else is not permitted.
sdbus::Error StatusError(GattStatus status, bool write, size_t length = 0) {
    switch (status) {
        case GattStatus::Unreachable: return Errors::Failed(Errors::kNotConnected);
        case GattStatus::ProtocolError: return AttErrorReply(!write ? 0x02 : length > kMaxAttValue ? 0x0d : 0x03);
        case GattStatus::AccessDenied: return AttErrorReply(0x08);
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
    object_->registerMethod("ReadValue")
        .onInterface(kDescriptorInterface)
        .withInputParamNames("options")
        .withOutputParamNames("value")
        .implementedAs([context, weak](sdbus::Result<Bytes>&& result, PropertyMap options) {
            OffsetOption(options);
            PostTo(*context, weak, [reply = Hold(std::move(result))](Characteristic& c) { c.ReadCccd(reply); });
        });
    object_->registerMethod("WriteValue")
        .onInterface(kDescriptorInterface)
        .withInputParamNames("value", "options")
        .implementedAs([context, weak](sdbus::Result<>&& result, Bytes value, PropertyMap options) {
            OffsetOption(options);
            TypeOption(options);
            PostTo(*context, weak,
                   [reply = Hold(std::move(result)), value](Characteristic& c) { c.WriteCccd(reply, value); });
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

Characteristic::Characteristic(Context& context, std::string path, std::string servicePath, Platform::Uuid uuid,
                               uint64_t deviceAddress)
    : context_(context),
      path_(std::move(path)),
      servicePath_(std::move(servicePath)),
      uuid_(uuid),
      deviceAddress_(deviceAddress),
      flags_(Sim::PropertiesOf(uuid)) {}

Characteristic::~Characteristic() {
    CloseSocket();
    CloseWriteSocket();
}

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
    if (context_.behaviour.HasMtuProperty()) {
        object_->registerProperty("MTU").onInterface(I).withGetter([this] {
            std::lock_guard<std::mutex> lock(context_.props);
            return mtu_;
        });
    }
    if (flags_.writeWithoutResponse) {
        object_->registerProperty("WriteAcquired").onInterface(I).withGetter([this] {
            std::lock_guard<std::mutex> lock(context_.props);
            return writeAcquired_;
        });
    }
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
    object_->registerMethod("ReadValue")
        .onInterface(I)
        .withInputParamNames("options")
        .withOutputParamNames("value")
        .implementedAs([context, weak](sdbus::Result<Bytes>&& result, PropertyMap options) {
            uint16_t offset = OffsetOption(options);
            PostTo(*context, weak,
                   [reply = Hold(std::move(result)), offset](Characteristic& c) { c.Read(reply, offset); });
        });
    object_->registerMethod("WriteValue")
        .onInterface(I)
        .withInputParamNames("value", "options")
        .implementedAs([context, weak](sdbus::Result<>&& result, Bytes value, PropertyMap options) {
            OffsetOption(options);
            auto type = TypeOption(options);
            PostTo(*context, weak,
                   [reply = Hold(std::move(result)), value = std::move(value), type](Characteristic& c) {
                       c.Write(reply, value, type);
                   });
        });
    object_->registerMethod("StartNotify")
        .onInterface(I)
        .implementedAs([object = object_.get(), context, weak](sdbus::Result<>&& result) {
            auto sender = CurrentSender(*object);
            PostTo(*context, weak,
                   [reply = Hold(std::move(result)), sender](Characteristic& c) { c.StartNotify(reply, sender); });
        });
    object_->registerMethod("StopNotify")
        .onInterface(I)
        .implementedAs([object = object_.get(), context, weak](sdbus::Result<>&& result) {
            auto sender = CurrentSender(*object);
            PostTo(*context, weak,
                   [reply = Hold(std::move(result)), sender](Characteristic& c) { c.StopNotify(reply, sender); });
        });
    if (flags_.writeWithoutResponse) {
        object_->registerMethod("AcquireWrite")
            .onInterface(I)
            .withInputParamNames("options")
            .withOutputParamNames("fd", "mtu")
            .implementedAs([context, weak](sdbus::Result<sdbus::UnixFd, uint16_t>&& result, PropertyMap) {
                PostTo(*context, weak, [reply = Hold(std::move(result))](Characteristic& c) { c.AcquireWrite(reply); });
            });
    }
    if (CanNotify()) {
        object_->registerMethod("AcquireNotify")
            .onInterface(I)
            .withInputParamNames("options")
            .withOutputParamNames("fd", "mtu")
            .implementedAs(
                [object = object_.get(), context, weak](sdbus::Result<sdbus::UnixFd, uint16_t>&& result, PropertyMap) {
                    auto sender = CurrentSender(*object);
                    PostTo(*context, weak, [reply = Hold(std::move(result)), sender](Characteristic& c) {
                        c.AcquireNotify(reply, sender);
                    });
                });
    }
    object_->finishRegistration();
    object_->emitInterfacesAddedSignal({I});
    if (CanNotify()) {
        cccd_ = std::make_unique<Descriptor>(
            context_,
            path_ + "/desc" +
                [&] {
                    char text[8];
                    std::snprintf(text, sizeof text, "%04x",
                                  static_cast<unsigned>(std::stoul(path_.substr(path_.size() - 4), nullptr, 16) + 2));
                    return std::string(text);
                }(),
            *this);
        cccd_->Register();
    }
}

void Characteristic::Unregister() {
    Forget();
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
        // Sessions kept over the link loss are registered again: bluetoothd writes the CCCD.
        if (!notifySenders_.empty()) ArmCccd();
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
    // Acquired sessions end with the link (their sockets close); StartNotify sessions stay,
    // and so does Notifying.
    acquiredBy_.clear();
    CloseSocket();
    CloseWriteSocket();
    for (auto& [sender, reply] : startWaiters_) reply->returnError(Errors::Failed(Errors::kNotConnected));
    startWaiters_.clear();
    if (read_)
        for (auto& r : read_->waiters) r->returnError(Errors::Failed(Errors::kNotConnected));
    read_.reset();
    writePending_ = false;
    if (object_) {
        SetAcquired("NotifyAcquired", notifyAcquired_, false);
        SetAcquired("WriteAcquired", writeAcquired_, false);
    }
}

void Characteristic::Forget() {
    Unbind();
    notifySenders_.clear();
    if (object_ && CanNotify()) SetNotifying(false);
}

void Characteristic::ReleaseSender(const std::string& sender) {
    bool had = notifySenders_.erase(sender) > 0;
    if (!acquiredBy_.empty() && acquiredBy_ == sender) {
        acquiredBy_.clear();
        CloseSocket();
        SetAcquired("NotifyAcquired", notifyAcquired_, false);
        had = true;
    }
    if (had) StopIfUnused();
}

// ---- read ----

void Characteristic::Read(Reply<Bytes> reply, uint16_t offset) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    if (auto code = context_.TakeAttError(deviceAddress_, Sim::kOpRead, uuid_))
        return reply->returnError(AttErrorReply(*code));
    if (read_) {
        if (read_->offset != offset) return reply->returnError(Errors::InProgress());
        read_->waiters.push_back(reply);  // the same read answers both, as BlueZ does
        return;
    }
    read_ = PendingRead{offset, {reply}};
    uint64_t link = link_;
    WhenDone(context_, seam_->ReadValueAsync(), weak_from_this(),
             [link](Characteristic& c, const auto& op) { c.FinishRead(link, op); });
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
    // An offset past the value is the peripheral's Invalid Offset.
    if (pending.offset > result->value.size()) {
        for (auto& r : pending.waiters) r->returnError(AttErrorReply(0x07));
        return;
    }
    Bytes answer(result->value.begin() + pending.offset, result->value.end());
    for (auto& r : pending.waiters) r->returnResults(answer);
}

// ---- write ----

void Characteristic::Write(Reply<> reply, Bytes value, const std::string& type) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    if (writeSocket_ >= 0) return reply->returnError(Errors::NotPermitted("Write acquired"));
    bool command = type == "command" || (type.empty() && flags_.writeWithoutResponse);
    bool request = type == "request" || type == "reliable" || (type.empty() && !command && flags_.write);
    if (command) {
        size_t mtu = seam_->GetMtu();
        if (value.size() + 3 > mtu) return reply->returnError(Errors::Failed("Failed to initiate write"));
        context_.CountWrite(deviceAddress_, true);
        // A write command is answered once queued.
        seam_->WriteValueWithResultAsync(std::move(value), Platform::WriteOption::WithoutResponse);
        return reply->returnResults();
    }
    if (!request) return reply->returnError(Errors::NotSupported());
    if (writePending_) return reply->returnError(Errors::InProgress());
    if (auto code = context_.TakeAttError(deviceAddress_, Sim::kOpWrite, uuid_))
        return reply->returnError(AttErrorReply(*code));
    writePending_ = true;
    context_.CountWrite(deviceAddress_, false);
    const size_t length = value.size();
    auto op = seam_->WriteValueWithResultAsync(std::move(value), Platform::WriteOption::WithResponse);
    uint64_t link = link_;
    WhenDone(context_, op, weak_from_this(), [link, reply, length](Characteristic& c, const auto& done) {
        if (link != c.link_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
        c.writePending_ = false;
        sdbus::Error error = Errors::Failed("Operation failed");
        auto status = Outcome(done, error);
        if (!status) return reply->returnError(error);
        if (*status != GattStatus::Success) return reply->returnError(StatusError(*status, true, length));
        reply->returnResults();
    });
}

// ---- notify ----

void Characteristic::SetCccd(bool on, std::function<void(bool ok)> done) {
    auto op = seam_->WriteClientCharacteristicConfigurationDescriptorAsync(on ? Platform::CccdValue::Notify
                                                                              : Platform::CccdValue::None);
    uint64_t link = link_;
    WhenDone(context_, op, weak_from_this(), [link, done = std::move(done)](Characteristic& c, const auto& finished) {
        done(link == c.link_ && finished->Status() == AsyncStatus::Completed &&
             finished->GetResults() == GattStatus::Success);
    });
}

void Characteristic::SetNotifying(bool notifying) {
    {
        std::lock_guard<std::mutex> lock(context_.props);
        if (notifying_ == notifying) return;
        notifying_ = notifying;
    }
    if (object_) EmitPropertiesChanged(*object_, kCharacteristicInterface, {{"Notifying", sdbus::Variant(notifying)}});
}

void Characteristic::SetAcquired(const char* property, bool& flag, bool acquired) {
    {
        std::lock_guard<std::mutex> lock(context_.props);
        if (flag == acquired) return;
        flag = acquired;
    }
    if (object_) EmitPropertiesChanged(*object_, kCharacteristicInterface, {{property, sdbus::Variant(acquired)}});
}

void Characteristic::StartNotify(Reply<> reply, const std::string& sender) {
    if (!CanNotify()) return reply->returnError(Errors::NotSupported());
    if (socket_ >= 0) return reply->returnError(Errors::NotPermitted("Notify acquired"));
    if (notifySenders_.count(sender)) return reply->returnResults();
    // Without a link the session is only registered; bluetoothd arms it at the next connect.
    if (!seam_ || cccdOn_) {
        notifySenders_.insert(sender);
        return reply->returnResults();
    }
    for (auto& w : startWaiters_)
        if (w.first == sender) return reply->returnError(Errors::InProgress());
    startWaiters_.emplace_back(sender, reply);
    if (!cccdPending_) ArmCccd();
}

void Characteristic::ArmCccd() {
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
    // An acquired session is ended by a StopNotify of anyone, as bluetoothd does.
    if (socket_ >= 0) {
        acquiredBy_.clear();
        CloseSocket();
        SetAcquired("NotifyAcquired", notifyAcquired_, false);
        reply->returnResults();
        return StopIfUnused();
    }
    if (!notifySenders_.erase(sender)) return reply->returnError(Errors::Failed("No notify session started"));
    reply->returnResults();
    StopIfUnused();
}

void Characteristic::StopIfUnused() {
    if (!notifySenders_.empty() || socket_ >= 0 || !startWaiters_.empty() || cccdPending_) return;
    if (cccdOn_ && seam_) {
        cccdOn_ = false;
        SetCccd(false, [](bool) {});
    }
    SetNotifying(false);
}

bool Characteristic::Watch(int fd, SocketWatch::Packet packet, void (Characteristic::*onHangup)(int fd)) {
    Context* context = &context_;
    std::weak_ptr<Characteristic> weak = weak_from_this();
    return context_.sockets.Add(fd, std::move(packet), [context, weak, fd, onHangup] {
        PostTo(*context, weak, [fd, onHangup](Characteristic& c) { (c.*onHangup)(fd); });
    });
}

void Characteristic::NotifySocketClosed(int fd) {
    if (socket_ != fd) return;
    acquiredBy_.clear();
    CloseSocket();
    SetAcquired("NotifyAcquired", notifyAcquired_, false);
    StopIfUnused();
}

void Characteristic::WriteSocketClosed(int fd) {
    if (writeSocket_ != fd) return;
    CloseWriteSocket();
    SetAcquired("WriteAcquired", writeAcquired_, false);
}

void Characteristic::AcquireNotify(Reply<sdbus::UnixFd, uint16_t> reply, const std::string& sender) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    if (socket_ >= 0) return reply->returnError(Errors::NotPermitted("Notify acquired"));
    if (!notifySenders_.empty() || cccdPending_) return reply->returnError(Errors::InProgress());
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return reply->returnError(Errors::Failed("Operation failed"));
    socket_ = fds[0];
    acquiredBy_ = sender;
    sdbus::UnixFd theirs(fds[1], sdbus::adopt_fd);
    // A client closing its end ends the session at once; what it writes there is dropped.
    if (!Watch(socket_, nullptr, &Characteristic::NotifySocketClosed)) {
        CloseSocket();
        acquiredBy_.clear();
        return reply->returnError(Errors::Failed("Operation failed"));
    }
    uint16_t mtu = seam_->GetMtu();
    auto send = [this, reply, theirs, mtu]() {
        reply->returnResults(theirs, mtu);
        SetAcquired("NotifyAcquired", notifyAcquired_, true);
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

void Characteristic::AcquireWrite(Reply<sdbus::UnixFd, uint16_t> reply) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    if (writeSocket_ >= 0) return reply->returnError(Errors::NotPermitted("Write acquired"));
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return reply->returnError(Errors::Failed("Operation failed"));
    writeSocket_ = fds[0];
    sdbus::UnixFd theirs(fds[1], sdbus::adopt_fd);
    // Each packet the client writes is one write command to the peripheral.
    Context* context = &context_;
    std::weak_ptr<Characteristic> weak = weak_from_this();
    uint64_t link = link_;
    auto packet = [context, weak, link](std::vector<uint8_t> value) {
        PostTo(*context, weak, [link, value = std::move(value)](Characteristic& c) mutable {
            if (c.link_ != link || !c.seam_ || value.size() + 3 > c.seam_->GetMtu()) return;
            c.context_.CountWrite(c.deviceAddress_, true);
            c.seam_->WriteValueWithResultAsync(std::move(value), Platform::WriteOption::WithoutResponse);
        });
    };
    if (!Watch(writeSocket_, packet, &Characteristic::WriteSocketClosed)) {
        CloseWriteSocket();
        return reply->returnError(Errors::Failed("Operation failed"));
    }
    reply->returnResults(theirs, seam_->GetMtu());
    SetAcquired("WriteAcquired", writeAcquired_, true);
}

void Characteristic::CloseSocket() {
    if (socket_ < 0) return;
    context_.sockets.Remove(socket_);
    ::close(socket_);
    socket_ = -1;
}

void Characteristic::CloseWriteSocket() {
    if (writeSocket_ < 0) return;
    context_.sockets.Remove(writeSocket_);
    ::close(writeSocket_);
    writeSocket_ = -1;
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
            SetAcquired("NotifyAcquired", notifyAcquired_, false);
            StopIfUnused();
        }
    }
    if (!notifySenders_.empty())
        EmitPropertiesChanged(*object_, kCharacteristicInterface, {{"Value", sdbus::Variant(value)}});
}

// ---- CCCD descriptor ----

void Characteristic::ReadCccd(Reply<Bytes> reply) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    reply->returnResults(Bytes{static_cast<uint8_t>(cccdOn_ ? 1 : 0), 0});
}

void Characteristic::WriteCccd(Reply<> reply, Bytes value) {
    if (!seam_) return reply->returnError(Errors::Failed(Errors::kNotConnected));
    if (value.size() != 2) return reply->returnError(AttErrorReply(0x0d));
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
    object_->registerProperty("Device").onInterface(kServiceInterface).withGetter([device] {
        return sdbus::ObjectPath(device);
    });
    object_->registerProperty("Primary").onInterface(kServiceInterface).withGetter([] { return true; });
    object_->registerProperty("Includes").onInterface(kServiceInterface).withGetter([] {
        return std::vector<sdbus::ObjectPath>{};
    });
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
