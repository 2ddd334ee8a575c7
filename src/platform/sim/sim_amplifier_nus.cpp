// A virtual amplifier's NUS responder: command frames in on RX, checked response frames out on TX.
#include "platform/sim/sim_amplifier.h"

#include <algorithm>

#include "log/log.h"

namespace Mivo::BLE::Sim::Detail {

using namespace Platform;

namespace {
constexpr uint8_t kNusEcho = 0x01, kNusAnswer = 0x10, kNusLayout = 0x20;
}  // namespace

// ---- NUS ----

void AmplifierCore::HandleNus(const Bytes& value, Clock::time_point at) {
    Bytes response;
    NusResponseScript script;
    script.requests = 0;
    Clock::time_point first;
    Microseconds step;
    size_t packet = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++nusRequests_;
        auto request = Wire::ParseRequestFrame(value);
        if (!request) {
            LogMessage(kLogDebug, "sim: '%s' ignores a malformed NUS frame of %zu bytes", name_.c_str(), value.size());
            return;
        }
        uint8_t status = 0;
        Bytes payload;
        switch (request->command) {
            case kNusEcho: payload = request->payload; break;
            case kNusAnswer: payload = {0x2A}; break;
            case kNusLayout: {
                const Bytes& p = request->payload;
                bool ok = p.size() == 7;
                SampleLayout l;
                if (ok) {
                    l.channels = p[0];
                    l.frames = (p[1] << 8) | p[2];
                    l.bytesPerSample = p[3];
                    l.littleEndian = p[4] != 0;
                    l.rate = (p[5] << 8) | p[6];
                    ok = l.channels >= 1 && l.frames >= 1 && (l.bytesPerSample == 3 || l.bytesPerSample == 4) &&
                         p[4] <= 1 && l.rate >= 1 &&
                         static_cast<size_t>(l.channels) * static_cast<size_t>(l.frames) *
                                 static_cast<size_t>(l.bytesPerSample) <=
                             PacketPayloadLocked();  // a payload goes out in one notification
                }
                if (ok) {
                    nusLayout_ = l;
                    tickBase_ = at;  // the stream goes on at the new rate from here
                    ticksSinceBase_ = 0;
                    if (streaming_) {
                        ++streamEpoch_;
                        ScheduleNextTickLocked();
                    }
                } else {
                    status = 1;
                }
                break;
            }
            default: status = 0xFF; break;
        }
        response = Wire::BuildResponseFrame(request->command, status, payload);
        if (!nusScripts_.empty()) {
            script = nusScripts_.front();
            if (--nusScripts_.front().requests <= 0) nusScripts_.pop_front();
        }
        step = interval_;
        first = NextEventLocked(at) + step;
        packet = PacketPayloadLocked();
    }
    if (script.never) return;
    if (script.badCrc) response.back() ^= 0xFF;
    response.insert(response.end(), script.trailing.begin(), script.trailing.end());
    // TX notifications leave in order, one per connection event: an answer longer than one
    // packet goes out in pieces, and the next answer starts after the last of them.
    std::vector<std::pair<Clock::time_point, Bytes>> out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto when = std::max(first, nusTxFree_);
        if (script.unsolicited) {
            out.emplace_back(when, *script.unsolicited);
            when += step;
        }
        when += script.delay;
        for (size_t offset = 0; offset < response.size(); offset += packet, when += step) {
            const size_t n = std::min(packet, response.size() - offset);
            out.emplace_back(when, Bytes(response.begin() + static_cast<std::ptrdiff_t>(offset),
                                         response.begin() + static_cast<std::ptrdiff_t>(offset + n)));
        }
        nusTxFree_ = when;
    }
    for (auto& [when, bytes] : out) ScheduleNotification(when, Attr::NusTx, std::move(bytes));
}

void AmplifierCore::ScriptNusResponse(NusResponseScript script) {
    if (script.requests <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    nusScripts_.push_back(std::move(script));
}

void AmplifierCore::SendNusUnsolicited(Bytes value) {
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        epoch = linkEpoch_;
    }
    std::weak_ptr<AmplifierCore> weak = weak_from_this();
    link_.Post([weak, value = std::move(value), epoch] {
        if (auto self = weak.lock()) self->SendNotification(Attr::NusTx, value, epoch);
    });
}
}  // namespace Mivo::BLE::Sim::Detail
