// A virtual amplifier's advertising and link: identity, interval timing, connect, drops, refusals.
#include "platform/sim/sim_amplifier.h"

#include <algorithm>

#include "log/log.h"
#include "platform/sim/sim_gatt.h"
#include "platform/sim/sim_stack_core.h"

namespace Mivo::BLE::Sim::Detail {

using namespace Platform;

// ---- identity ----

AmplifierCore::Advert AmplifierCore::CurrentAdvert() {
    std::lock_guard<std::mutex> lock(mutex_);
    Advert a;
    a.on = advertising_ && !shutdown_ && Clock::now() >= rebootingUntil_;
    a.name = name_;
    a.address = address_;
    a.connectable = connectable_;
    a.interval = config_.adv;
    return a;
}

void AmplifierCore::CountAdvertisement() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++advertisements_;
}

std::string AmplifierCore::Name() {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}

uint64_t AmplifierCore::Address() {
    std::lock_guard<std::mutex> lock(mutex_);
    return address_;
}

AmplifierConfig AmplifierCore::Config() {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}
// ---- advertising and identity knobs ----

void AmplifierCore::SetAdvertising(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    advertising_ = on;
}

void AmplifierCore::SetConnectable(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    connectable_ = on;
}

void AmplifierCore::SetAdvertisedName(std::string name) {
    std::lock_guard<std::mutex> lock(mutex_);
    name_ = std::move(name);
}

void AmplifierCore::SetAddress(uint64_t address) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        address_ = address & 0xFFFFFFFFFFFFull;
    }
    DropLink();
}
// ---- link timing ----

Clock::time_point AmplifierCore::NextEventLocked(Clock::time_point t) const {
    if (!connected_ || interval_.count() <= 0 || t <= connStart_) return std::max(t, connStart_);
    auto since = t - connStart_;
    auto step = std::chrono::duration_cast<Clock::duration>(interval_);
    auto k = (since + step - Clock::duration(1)) / step;
    return connStart_ + k * step;
}

Clock::time_point AmplifierCore::ReserveLinkSlot(Clock::time_point earliest) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return earliest + interval_;
    auto start = NextEventLocked(std::max(earliest, busyUntil_));
    busyUntil_ = start + interval_;
    return busyUntil_;
}
// ---- connect, disconnect ----

void AmplifierCore::Connect(std::shared_ptr<SimDevice> device, AsyncOp<IBluetoothLEDevice::ServicesResult> op,
                            std::function<IBluetoothLEDevice::ServicesResult()> services) {
    if (IsShutDown()) {
        op->Fail(PlatformError{-1, "The device is no longer available."});
        return;
    }
    auto fault = FaultFor(kOpServices, std::nullopt);
    auto token = BeginPending(op);
    if (fault.hang) return;
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    auto finish = [weak, op, token](IBluetoothLEDevice::ServicesResult result) {
        auto self = weak.lock();
        if (!self) return;
        self->EndPending(token);
        self->CompleteLater([op, result = std::move(result)]() mutable { op->Complete(std::move(result)); });
    };
    bool posted = link_.PostAfter(fault.delay, [weak, device, op, finish, services = std::move(services)] {
        auto self = weak.lock();
        if (!self) return;
        if (op->Status() != AsyncStatus::Started) return finish({});
        auto now = Clock::now();
        bool notify = false;
        Clock::time_point done;
        bool ok = false;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            bool available = !self->shutdown_ && self->StackAvailable();
            if (self->connected_) {
                ok = available;
                bool attached = false;
                for (auto& a : self->attached_)
                    if (a.raw == device.get()) attached = true;
                if (ok && !attached) {
                    self->attached_.push_back({device.get(), device});
                    notify = true;
                }
            } else {
                bool reachable = available && self->advertising_ && self->connectable_ &&
                                 device->BluetoothAddress() == self->address_ && now >= self->rebootingUntil_;
                if (reachable && self->refuseRemaining_ > 0) {
                    --self->refuseRemaining_;
                    ++self->refused_;
                    reachable = false;
                }
                if (reachable) {
                    self->connected_ = true;
                    ++self->linkEpoch_;
                    self->connStart_ = now;
                    self->busyUntil_ = now;
                    ++self->connects_;
                    self->attached_ = {{device.get(), device}};
                    self->cccd_.clear();
                    self->cutWarned_.clear();
                    self->smpBuffer_.clear();
                    self->airUsed_.clear();
                    self->serverQueue_.clear();
                    self->serverFree_ = self->lastSmpNotify_ = self->lastSmpWrite_ = now;
                    self->ScheduleDropLocked();
                    notify = true;
                    ok = true;
                }
            }
            if (ok) {
                // Discovery of the services takes a few round trips.
                auto start = self->NextEventLocked(std::max(now, self->busyUntil_));
                done = start + 2 * self->interval_;
                self->busyUntil_ = done;
            } else {
                done = now + self->config_.connectFail;
            }
        }
        if (notify) {
            std::weak_ptr<SimDevice> wd = device;
            self->events_.Post([wd] {
                if (auto d = wd.lock()) d->FireStatusChanged();
            });
        }
        self->link_.PostAt(done, [weak, ok, finish, services] {
            IBluetoothLEDevice::ServicesResult result;
            auto self = weak.lock();
            if (ok && self && !self->shutdown_) result = services();
            else result.status = GattStatus::Unreachable;
            finish(std::move(result));
        });
    });
    if (!posted) {
        EndPending(token);
        op->Fail(PlatformError{-1, "The device is no longer available."});
    }
}

void AmplifierCore::Detach(const SimDevice* device) {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_.erase(std::remove_if(attached_.begin(), attached_.end(),
                                   [&](const Attached& a) { return a.raw == device || a.weak.expired(); }),
                    attached_.end());
    if (connected_ && attached_.empty()) {
        std::weak_ptr<AmplifierCore> weak = weak_from_this();
        uint64_t epoch = linkEpoch_;
        link_.Post([weak, epoch] {
            auto self = weak.lock();
            if (!self) return;
            {
                std::lock_guard<std::mutex> l(self->mutex_);
                if (self->linkEpoch_ != epoch || !self->attached_.empty()) return;
            }
            self->Disconnect();
        });
    }
}

void AmplifierCore::Disconnect() {
    std::vector<std::weak_ptr<SimDevice>> devices;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) return;
        connected_ = false;
        ++linkEpoch_;
        cccd_.clear();
        streaming_ = false;
        ++streamEpoch_;
        smpBuffer_.clear();
        if (dropTask_) link_.Cancel(dropTask_);
        dropTask_ = 0;
        devices = AttachedWeakLocked();
        attached_.clear();
    }
    events_.Post([devices] {
        for (auto& w : devices)
            if (auto d = w.lock()) d->FireStatusChanged();
    });
}

void AmplifierCore::ScheduleDropLocked() {
    if (dropTask_) link_.Cancel(dropTask_);
    dropTask_ = 0;
    Milliseconds after = dropEvery_;
    if (!dropOnceDone_ && config_.dropOnce.count() > 0 && connected_) {
        dropOnceDone_ = true;
        after = config_.dropOnce;
    }
    if (!connected_ || after.count() <= 0) return;
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    uint64_t epoch = linkEpoch_;
    const auto due = Clock::now() + after;
    dropTask_ = link_.PostAt(due, [weak, epoch, due] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->linkEpoch_ != epoch) return;
            self->dropTask_ = 0;
        }
        // Tasks run in due order, so the stream stopped at the due time even when this thread
        // ran late: the lateness tells when the drop happened on the amplifier's time line.
        const auto late = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - due);
        LogMessage(kLogDebug, "sim: '%s' drops the link as scripted (%lld us late)", self->Name().c_str(),
                   static_cast<long long>(late.count()));
        self->Disconnect();
    });
}

void AmplifierCore::DropLink() {
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    link_.Post([weak] {
        if (auto self = weak.lock()) self->Disconnect();
    });
}

void AmplifierCore::SetDropEvery(Milliseconds period) {
    std::lock_guard<std::mutex> lock(mutex_);
    dropEvery_ = period;
    ScheduleDropLocked();
}

void AmplifierCore::RefuseConnects(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    refuseRemaining_ = std::max(0, n);
}

void AmplifierCore::SetInterval(Microseconds interval) {
    std::lock_guard<std::mutex> lock(mutex_);
    interval_ = std::max(Microseconds(0), interval);
}
}  // namespace Mivo::BLE::Sim::Detail
