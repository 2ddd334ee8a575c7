#pragma once
// The amplifier's SMP server (MCUmgr image and OS groups) with MCUboot-like slots.
// Pure logic: one request frame in, one response frame out; the caller owns timing,
// transport and the reboot. Not thread-safe (the amplifier serialises access).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_control.h"
#include "platform/sim/sim_wire.h"

namespace Mivo::BLE::Sim::Detail {

class SmpServer {
public:
    struct Options {
        size_t slotSize = size_t{256} * 1024;
        bool rcZeroOnSuccess = false;  // some builds add "rc": 0 to upload and erase replies
        bool parameters = true;        // answer the MCUmgr parameters command (else rc 8)
        uint32_t bufCount = 4;         // what that answer says
        uint32_t bufSize = 384;
    };
    explicit SmpServer(Options options);

    struct Result {
        Bytes response;           // empty: no reply
        bool reset = false;       // reboot after the reply went out
        bool erase = false;       // the request erased flash (the caller may delay the reply)
        size_t flashWritten = 0;  // image bytes written to flash (the caller paces the reply)
    };
    Result Handle(const Bytes& frame);

    // Reboot: MCUboot acts on the slots (test swap, revert, permanent swap).
    void Reboot();

    std::vector<ImageSlot> Slots() const;
    std::string RunningVersion() const;
    const Bytes& SlotData(int slot) const { return slots_[slot]; }

    // The image seeded into slot 0 (version 1.0.0, 4 KiB body).
    static Bytes SeedImage();

private:
    Bytes ImageStateBody() const;
    static Bytes Error(int rc);
    Bytes Upload(const Wire::CborValue& request);
    Bytes StateWrite(const Wire::CborValue& request);
    Bytes Erase(const Wire::CborValue& request);
    std::optional<Wire::ImageInfo> Info(int slot) const;
    bool SpareBusy() const;

    Options options_;
    Bytes slots_[2];
    bool testPending_ = false;       // slot 1 boots once on the next reset
    bool permanentPending_ = false;  // slot 1 becomes the running image for good on the next reset
    bool runningConfirmed_ = true;   // false while a test image runs (a revert is due)

    struct Upload {
        bool active = false;
        size_t length = 0;
        size_t next = 0;
        Bytes sha;
    } upload_;
    size_t written_ = 0;  // bytes the request being handled wrote to flash
};

}  // namespace Mivo::BLE::Sim::Detail
