#include "platform/sim/sim_smp.h"

#include <utility>

namespace Mivo::BLE::Sim::Detail {

using Wire::CborValue;
using Wire::CborWriter;

namespace {
// General SMP result codes.
constexpr int kRcUnknown = 1, kRcInval = 3, kRcBadState = 6, kRcNotSup = 8;
constexpr uint8_t kOsParameters = 6;  // MCUmgr parameters: the server's request buffers
}  // namespace

SmpServer::SmpServer(Options options) : options_(options) { slots_[0] = SeedImage(); }

Bytes SmpServer::SeedImage() {
    Bytes body(4096);
    uint32_t x = 0x2545F491u;
    for (auto& b : body) {  // xorshift: a body that does not compress to nothing
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return Wire::BuildImage(Wire::ImageVersion{1, 0, 0, 0}, body);
}

std::optional<Wire::ImageInfo> SmpServer::Info(int slot) const { return Wire::ParseImage(slots_[slot]); }

bool SmpServer::SpareBusy() const { return testPending_ || permanentPending_ || !runningConfirmed_; }

std::string SmpServer::RunningVersion() const {
    auto info = Info(0);
    return info ? info->version.Text() : std::string();
}

std::vector<ImageSlot> SmpServer::Slots() const {
    std::vector<ImageSlot> out;
    for (int s = 0; s < 2; ++s) {
        ImageSlot slot;
        slot.slot = s;
        slot.data = slots_[s];
        if (auto info = Info(s)) {
            slot.present = true;
            slot.version = info->version.Text();
            slot.hash = info->hash;
            slot.bootable = info->bootable;
        }
        if (s == 0) {
            slot.active = true;
            slot.confirmed = runningConfirmed_;
        } else {
            slot.pending = testPending_ || permanentPending_;
            slot.permanent = permanentPending_;
            slot.confirmed = !runningConfirmed_;
        }
        out.push_back(std::move(slot));
    }
    return out;
}

Bytes SmpServer::Error(int rc) {
    CborWriter w;
    w.Map(1);
    w.Text("rc");
    w.Uint(static_cast<uint64_t>(rc));
    return w.Data();
}

Bytes SmpServer::ImageStateBody() const {
    std::vector<ImageSlot> present;
    for (auto& s : Slots())
        if (s.present) present.push_back(s);
    CborWriter w;
    w.Map(2);
    w.Text("images");
    w.Array(present.size());
    for (auto& s : present) {
        w.Map(8);
        w.Text("slot");
        w.Uint(static_cast<uint64_t>(s.slot));
        w.Text("version");
        w.Text(s.version);
        w.Text("hash");
        w.ByteString(s.hash);
        w.Text("bootable");
        w.Bool(s.bootable);
        w.Text("pending");
        w.Bool(s.pending);
        w.Text("confirmed");
        w.Bool(s.confirmed);
        w.Text("active");
        w.Bool(s.active);
        w.Text("permanent");
        w.Bool(s.permanent);
    }
    w.Text("splitStatus");
    w.Uint(0);
    return w.Data();
}

SmpServer::Result SmpServer::Handle(const Bytes& frame) {
    Result result;
    auto header = Wire::ParseSmpHeader(frame);
    if (!header || frame.size() < Wire::kSmpHeaderSize + header->length) return result;
    if (header->op != Wire::kSmpOpRead && header->op != Wire::kSmpOpWrite) return result;  // not a request
    bool write = header->op == Wire::kSmpOpWrite;

    Wire::SmpHeader reply = *header;
    reply.op = static_cast<uint8_t>(header->op + 1);
    reply.flags = 0;

    Bytes body;
    std::optional<CborValue> request;
    if (header->length == 0) {
        request = CborValue{};
        request->type = CborValue::Type::Map;
    } else {
        request = Wire::DecodeCbor(frame.data() + Wire::kSmpHeaderSize, header->length);
    }
    if (!request || request->type != CborValue::Type::Map) {
        body = Error(kRcInval);
    } else if (header->group == Wire::kSmpGroupOs && header->command == Wire::kSmpOsEcho) {
        const CborValue* d = request->Find("d");
        if (d && d->type != CborValue::Type::Text) {
            body = Error(kRcInval);
        } else {
            CborWriter w;
            w.Map(1);
            w.Text("r");
            w.Text(d ? d->bytes : std::string());
            body = w.Data();
        }
    } else if (header->group == Wire::kSmpGroupOs && header->command == Wire::kSmpOsReset) {
        if (!write) {
            body = Error(kRcNotSup);
        } else {
            CborWriter w;
            w.Map(0);
            body = w.Data();
            result.reset = true;
        }
    } else if (header->group == Wire::kSmpGroupOs && header->command == kOsParameters && !write &&
               options_.parameters) {
        CborWriter w;
        w.Map(2);
        w.Text("buf_size");
        w.Uint(options_.bufSize);
        w.Text("buf_count");
        w.Uint(options_.bufCount);
        body = w.Data();
    } else if (header->group == Wire::kSmpGroupImage && header->command == Wire::kSmpImageState) {
        body = write ? StateWrite(*request) : ImageStateBody();
    } else if (header->group == Wire::kSmpGroupImage && header->command == Wire::kSmpImageUpload && write) {
        written_ = 0;
        body = Upload(*request);
        result.flashWritten = written_;
    } else if (header->group == Wire::kSmpGroupImage && header->command == Wire::kSmpImageErase && write) {
        body = Erase(*request);
        result.erase = true;
    } else {
        body = Error(kRcNotSup);
    }
    result.response = Wire::BuildSmpFrame(reply, body);
    return result;
}

Bytes SmpServer::Upload(const CborValue& request) {
    const CborValue* data = request.Find("data");
    const CborValue* off = request.Find("off");
    const CborValue* len = request.Find("len");
    const CborValue* sha = request.Find("sha");
    auto fail = [this](int rc) {
        upload_ = {};
        return Error(rc);
    };
    auto ok = [this](size_t offset) {
        CborWriter w;
        w.Map(options_.rcZeroOnSuccess ? 2 : 1);
        if (options_.rcZeroOnSuccess) {
            w.Text("rc");
            w.Uint(0);
        }
        w.Text("off");
        w.Uint(offset);
        return w.Data();
    };
    if (!off || off->type != CborValue::Type::Unsigned) return fail(kRcInval);
    if (!data || data->type != CborValue::Type::ByteString) return fail(kRcInval);
    if (len && len->type != CborValue::Type::Unsigned) return fail(kRcInval);
    if (sha && sha->type != CborValue::Type::ByteString) return fail(kRcInval);
    const std::string& chunk = data->bytes;

    if (off->number == 0) {
        if (chunk.size() < Wire::kImageHeaderSize) return fail(kRcInval);
        if (!len) return fail(kRcInval);
        if (Wire::GetU32Le(reinterpret_cast<const uint8_t*>(chunk.data())) != Wire::kImageMagic)
            return fail(kRcUnknown);
        if (sha && sha->bytes.size() > 32) return fail(kRcInval);
        Bytes newSha = sha ? Bytes(sha->bytes.begin(), sha->bytes.end()) : Bytes{};
        if (upload_.active && sha && newSha == upload_.sha) return ok(upload_.next);  // resume
        if (SpareBusy()) return fail(kRcBadState);
        if (len->number > options_.slotSize) return fail(kRcUnknown);
        if (chunk.size() > len->number) return fail(kRcUnknown);
        upload_ = {};
        upload_.active = true;
        upload_.length = static_cast<size_t>(len->number);
        upload_.sha = std::move(newSha);
        slots_[1].clear();
        slots_[1].reserve(upload_.length);
    } else {
        if (!upload_.active) return ok(0);
        if (off->number != upload_.next) return ok(upload_.next);
        if (off->number + chunk.size() > upload_.length) return fail(kRcUnknown);
    }
    slots_[1].insert(slots_[1].end(), chunk.begin(), chunk.end());
    upload_.next += chunk.size();
    written_ = chunk.size();
    if (upload_.next < upload_.length) return ok(upload_.next);

    // Complete: the image must match the SHA-256 the client announced.
    bool hashOk = upload_.sha.size() != 32 || Wire::Sha256(slots_[1]) == upload_.sha;
    size_t total = upload_.length;
    upload_ = {};
    if (!hashOk) {
        slots_[1].clear();
        return Error(kRcInval);
    }
    return ok(total);
}

Bytes SmpServer::StateWrite(const CborValue& request) {
    const CborValue* hash = request.Find("hash");
    const CborValue* confirmValue = request.Find("confirm");
    if (hash && hash->type != CborValue::Type::ByteString) return Error(kRcInval);
    if (confirmValue && confirmValue->type != CborValue::Type::Bool) return Error(kRcInval);
    bool confirm = confirmValue && confirmValue->boolean;
    if (!hash && !confirm) return Error(kRcInval);
    int target = 0;  // confirm without hash: the running slot
    if (hash) {
        if (hash->bytes.size() != 32) return Error(kRcInval);
        Bytes wanted(hash->bytes.begin(), hash->bytes.end());
        target = -1;
        for (int s = 0; s < 2; ++s)
            if (auto info = Info(s); info && info->hash == wanted) target = s;
        if (target < 0) return Error(kRcUnknown);
    }
    if (!confirm) {  // test
        if (target == 0) return Error(kRcUnknown);
        if (testPending_) return ImageStateBody();
        if (!runningConfirmed_ || permanentPending_) return Error(kRcBadState);
        testPending_ = true;
        return ImageStateBody();
    }
    if (target == 1) {  // confirm the other slot: permanent swap on the next reset
        if (!runningConfirmed_) return Error(kRcBadState);
        permanentPending_ = true;
        testPending_ = false;
        return ImageStateBody();
    }
    if (testPending_ || permanentPending_) return Error(kRcBadState);
    runningConfirmed_ = true;
    return ImageStateBody();
}

Bytes SmpServer::Erase(const CborValue& request) {
    const CborValue* slotValue = request.Find("slot");
    if (slotValue && (slotValue->type != CborValue::Type::Unsigned || slotValue->number > 1)) return Error(kRcInval);
    int slot = slotValue ? static_cast<int>(slotValue->number) : 1;
    if (slot == 0) return Error(kRcBadState);
    if (Info(1) && SpareBusy()) return Error(kRcBadState);
    slots_[1].clear();
    testPending_ = permanentPending_ = false;
    upload_ = {};
    CborWriter w;
    w.Map(options_.rcZeroOnSuccess ? 1 : 0);
    if (options_.rcZeroOnSuccess) {
        w.Text("rc");
        w.Uint(0);
    }
    return w.Data();
}

void SmpServer::Reboot() {
    upload_ = {};
    bool spareValid = Info(1).has_value();
    if ((testPending_ || permanentPending_) && spareValid) {
        std::swap(slots_[0], slots_[1]);
        runningConfirmed_ = permanentPending_;
    } else if (!runningConfirmed_ && spareValid) {
        std::swap(slots_[0], slots_[1]);  // revert to the image that ran before the test
        runningConfirmed_ = true;
    }
    testPending_ = permanentPending_ = false;
}

}  // namespace Mivo::BLE::Sim::Detail
