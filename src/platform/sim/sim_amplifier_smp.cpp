// A virtual amplifier's SMP transport: requests from writes, answers paced on air and split, reboots.
#include "platform/sim/sim_amplifier.h"

#include <algorithm>

#include "log/log.h"

namespace Mivo::BLE::Sim::Detail {

using namespace Platform;

// ---- SMP ----

Clock::time_point AmplifierCore::ReserveAirLocked(Clock::time_point earliest, size_t bytes) {
    if (!connected_ || interval_.count() <= 0) return earliest;
    constexpr size_t kPacketOverhead = 7;  // L2CAP and ATT headers of each packet
    const auto step = std::chrono::duration_cast<Clock::duration>(interval_);
    const size_t budget = std::max<size_t>(1, static_cast<size_t>(uint64_t{config_.linkKbps} * 1000 / 8 *
                                                                  static_cast<uint64_t>(interval_.count()) / 1000000));
    const size_t cost = bytes + kPacketOverhead;
    int64_t k = (NextEventLocked(earliest) - connStart_) / step;
    // An event always carries at least one packet, however large.
    while (airUsed_[k] != 0 && airUsed_[k] + cost > budget) ++k;
    airUsed_[k] += cost;
    const int64_t current = (Clock::now() - connStart_) / step;
    while (!airUsed_.empty() && airUsed_.begin()->first < current - 1) airUsed_.erase(airUsed_.begin());
    return connStart_ + k * step;
}

void AmplifierCore::WriteSmpCommand(std::shared_ptr<SimDevice> device, Bytes value, AsyncOp<GattStatus> op) {
    if (IsShutDown()) {
        op->Fail(PlatformError{-1, "The device is no longer available."});
        return;
    }
    size_t limit;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        limit = PacketPayloadLocked();
    }
    if (value.size() > limit) {  // a write command travels in one packet
        LogMessage(kLogWarn, "sim: '%s' refuses a write without response of %zu bytes (at most %zu)", Name().c_str(),
                   value.size(), limit);
        CompleteLater([op] { op->Complete(GattStatus::ProtocolError); });
        return;
    }
    auto fault = FaultFor(kOpWrite, Attr::Smp);
    auto token = BeginPending(op);
    if (fault.hang) return;
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    const auto accepted = Clock::now() + fault.delay;
    Clock::time_point arrival;
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A smaller packet could fit an event that a larger one before it did not: packets of
        // one direction still arrive in the order they were written.
        arrival = ReserveAirLocked(std::max(accepted, lastSmpWrite_), value.size());
        lastSmpWrite_ = arrival;
        epoch = linkEpoch_;
    }
    // Reported sent once queued; it reaches the server in the event that carries it.
    bool posted = link_.PostAt(accepted, [weak, op, token, device] {
        auto self = weak.lock();
        if (!self) return;
        if (op->Status() != AsyncStatus::Started) return self->EndPending(token);
        const GattStatus status = self->IsAttached(device.get()) ? GattStatus::Success : GattStatus::Unreachable;
        self->EndPending(token);
        self->CompleteLater([op, status] { op->Complete(status); });
    });
    if (!posted) {
        EndPending(token);
        op->Fail(PlatformError{-1, "The device is no longer available."});
        return;
    }
    link_.PostAt(arrival, [weak, device, value = std::move(value), epoch, arrival] {
        auto self = weak.lock();
        if (!self || !self->IsAttached(device.get())) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (!self->connected_ || self->linkEpoch_ != epoch) return;
        }
        self->HandleSmp(value, arrival);
    });
}

void AmplifierCore::HandleSmp(const Bytes& value, Clock::time_point at) {
    std::vector<std::pair<Clock::time_point, Bytes>> parts;
    std::optional<Clock::time_point> rebootAt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        smpBuffer_.insert(smpBuffer_.end(), value.begin(), value.end());
        // Requests are rejoined by the header's length, as the Bluetooth transport does.
        while (smpBuffer_.size() >= Wire::kSmpHeaderSize) {
            size_t total = Wire::kSmpHeaderSize + ((smpBuffer_[2] << 8) | smpBuffer_[3]);
            if (smpBuffer_.size() < total) break;
            Bytes frame(smpBuffer_.begin(), smpBuffer_.begin() + static_cast<std::ptrdiff_t>(total));
            smpBuffer_.erase(smpBuffer_.begin(), smpBuffer_.begin() + static_cast<std::ptrdiff_t>(total));
            ++smpRequests_;
            // The server holds a request in one of its buffers until it has handled it; with no
            // buffer free, or a frame larger than a buffer, the request is lost.
            while (!serverQueue_.empty() && serverQueue_.front() <= at) serverQueue_.pop_front();
            if (frame.size() > config_.smpBufSize || serverQueue_.size() >= config_.smpBufCount) {
                LogMessage(kLogDebug, "sim: '%s' SMP server has no buffer for a %zu-byte request", name_.c_str(),
                           frame.size());
                continue;
            }
            auto result = smp_.Handle(frame);
            // Flash writes take their time, one request after the other.
            auto ready = std::max(at, serverFree_) +
                         std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(
                             uint64_t{result.flashWritten} * 1000 / std::max<uint32_t>(1, config_.flashKbps)));
            if (result.erase) ready += config_.eraseTime;
            serverFree_ = ready;
            serverQueue_.push_back(ready);
            if (result.response.empty()) continue;
            // The answer leaves in a later event than the request came in, after earlier answers.
            auto t = std::max({ready, at + std::chrono::duration_cast<Clock::duration>(interval_), lastSmpNotify_});
            // Split: into smpSplit_ pieces, one per event, when asked; else into MTU-sized pieces.
            size_t piece = config_.mtu > 3 ? config_.mtu - 3 : 20;
            if (smpSplit_ > 1) piece = std::max<size_t>(1, (result.response.size() + smpSplit_ - 1) / smpSplit_);
            for (size_t off = 0; off < result.response.size(); off += piece) {
                size_t n = std::min(piece, result.response.size() - off);
                t = ReserveAirLocked(t, n);
                parts.emplace_back(t, Bytes(result.response.begin() + static_cast<std::ptrdiff_t>(off),
                                            result.response.begin() + static_cast<std::ptrdiff_t>(off + n)));
                lastSmpNotify_ = t;
                if (smpSplit_ > 1) t += interval_;
            }
            if (result.reset) rebootAt = t + config_.resetDelay;
        }
    }
    for (auto& [when, bytes] : parts) ScheduleNotification(when, Attr::Smp, std::move(bytes));
    if (rebootAt) {
        std::weak_ptr<AmplifierCore> weak = weak_from_this();
        link_.PostAt(*rebootAt, [weak] {
            if (auto self = weak.lock()) self->Reboot();
        });
    }
}

void AmplifierCore::Reboot() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        smp_.Reboot();
        ++resets_;
        rebootingUntil_ = Clock::now() + config_.bootTime;
        nusLayout_ = SampleLayout{};  // RAM state is lost
        std::string running = smp_.RunningVersion();
        firmware_ = smp_.SlotData(0) == SmpServer::SeedImage() ? config_.fw : running;
        LogMessage(kLogDebug, "sim: '%s' reboots into image %s", name_.c_str(), running.c_str());
    }
    Disconnect();
}

void AmplifierCore::SetSmpSplit(size_t parts) {
    std::lock_guard<std::mutex> lock(mutex_);
    smpSplit_ = std::max<size_t>(1, parts);
}
}  // namespace Mivo::BLE::Sim::Detail
