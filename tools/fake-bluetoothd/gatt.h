#pragma once
// The GATT objects of one device: org.bluez.GattService1, GattCharacteristic1 and
// GattDescriptor1 (the CCCD) at serviceXXXX/charYYYY/descZZZZ, the handles of a plain
// GATT server laid out from handle 1. They stay registered across disconnects (BlueZ
// caches GATT); while connected each characteristic is bound to the simulated stack's
// characteristic object of the current link. StartNotify sessions outlive the link, as
// bluetoothd keeps them: it writes the CCCD again itself at the next connect.
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "context.h"
#include "platform/stack.h"

namespace Mivo::FakeBluez {

class Characteristic;

class Descriptor {
public:
    Descriptor(Context& context, std::string path, Characteristic& owner);
    void Register();
    void Unregister();
    const std::string& Path() const { return path_; }

private:
    Context& context_;
    std::string path_;
    Characteristic& owner_;
    std::unique_ptr<sdbus::IObject> object_;
};

class Characteristic : public std::enable_shared_from_this<Characteristic> {
public:
    Characteristic(Context& context, std::string path, std::string servicePath, Platform::Uuid uuid,
                   uint64_t deviceAddress);
    ~Characteristic();
    void Register();    // strand: register this object and its descriptor
    void Unregister();  // strand
    const std::string& Path() const { return path_; }
    const Platform::Uuid& Uuid() const { return uuid_; }
    Descriptor* Cccd() { return cccd_.get(); }
    std::vector<std::string> ObjectPaths() const;  // itself, then its descriptor

    // strand: the link is up (bind: kept notify sessions are armed again) or gone (unbind:
    // acquired sockets close, StartNotify sessions stay).
    void Bind(std::shared_ptr<Platform::IGattCharacteristic> seam);
    void Unbind();
    // strand: the device object goes away; every session ends.
    void Forget();
    // strand: a client left the bus.
    void ReleaseSender(const std::string& sender);

    // strand, for the CCCD descriptor object.
    void ReadCccd(Reply<Bytes> reply);
    void WriteCccd(Reply<> reply, Bytes value);

private:
    bool CanNotify() const { return flags_.notify; }
    void Read(Reply<Bytes> reply, uint16_t offset);
    void Write(Reply<> reply, Bytes value, const std::string& type);
    void StartNotify(Reply<> reply, const std::string& sender);
    void StopNotify(Reply<> reply, const std::string& sender);
    void AcquireNotify(Reply<sdbus::UnixFd, uint16_t> reply, const std::string& sender);
    void AcquireWrite(Reply<sdbus::UnixFd, uint16_t> reply);
    void OnValue(const Bytes& value);
    void SetCccd(bool on, std::function<void(bool ok)> done);
    // Writes the CCCD for the sessions waiting and kept; answers the waiters when done.
    void ArmCccd();
    void SetNotifying(bool notifying);
    void SetAcquired(const char* property, bool& flag, bool acquired);
    void StopIfUnused();
    void CloseSocket();
    void CloseWriteSocket();
    // Watches a served socket end; `onHangup` runs on the strand when the client closes it.
    bool Watch(int fd, SocketWatch::Packet packet, void (Characteristic::*onHangup)(int fd));
    void NotifySocketClosed(int fd);
    void WriteSocketClosed(int fd);
    void FinishRead(uint64_t link, const Platform::AsyncOp<Platform::IGattCharacteristic::ReadResult>& op);

    Context& context_;
    std::string path_, servicePath_;
    Platform::Uuid uuid_;
    uint64_t deviceAddress_;
    Sim::CharacteristicProperties flags_;
    std::unique_ptr<sdbus::IObject> object_;
    std::unique_ptr<Descriptor> cccd_;

    // Read by getters (under context_.props).
    Bytes value_;
    bool notifying_ = false, notifyAcquired_ = false, writeAcquired_ = false;
    uint16_t mtu_ = 23;

    // Strand only.
    std::shared_ptr<Platform::IGattCharacteristic> seam_;
    Platform::EventToken valueToken_ = 0;
    uint64_t link_ = 0;  // bumped per bind/unbind, so late completions of an old link are dropped
    std::set<std::string> notifySenders_;
    std::string acquiredBy_;
    int socket_ = -1, writeSocket_ = -1;
    bool cccdOn_ = false, cccdPending_ = false;
    std::vector<std::pair<std::string, Reply<>>> startWaiters_;
    struct PendingRead {
        uint16_t offset;
        std::vector<Reply<Bytes>> waiters;
    };
    std::optional<PendingRead> read_;
    bool writePending_ = false;
};

class Service {
public:
    Service(Context& context, std::string path, std::string devicePath, Platform::Uuid uuid);
    void Register();
    void Unregister();
    const std::string& Path() const { return path_; }
    const Platform::Uuid& Uuid() const { return uuid_; }
    std::vector<std::shared_ptr<Characteristic>>& Characteristics() { return characteristics_; }

private:
    Context& context_;
    std::string path_, devicePath_;
    Platform::Uuid uuid_;
    std::unique_ptr<sdbus::IObject> object_;
    std::vector<std::shared_ptr<Characteristic>> characteristics_;
};

}  // namespace Mivo::FakeBluez
