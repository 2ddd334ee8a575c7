#include "platform/sim/sim_wire.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>

namespace Mivo::BLE::Sim::Wire {
namespace {

// OpenSSL set up while the program loads, before the simulator's threads and the library's
// exit work exist: its exit cleanup then runs after they have ended, and each of them has
// freed its per-thread OpenSSL state through OpenSSL's own thread-exit hook.
bool SetUpOpenSsl() noexcept { return OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) == 1; }
[[maybe_unused]] const bool kOpenSslReady = SetUpOpenSsl();

}  // namespace

void PutU16Be(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}
void PutU16Le(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
void PutU32Le(Bytes& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
uint16_t GetU16Le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t GetU32Le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// ---- Command frames ----

uint16_t Crc16CcittFalse(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

std::optional<RequestFrame> ParseRequestFrame(const Bytes& frame) {
    if (frame.size() < 6 || frame[0] != kFrameStart) return std::nullopt;
    size_t n = (static_cast<size_t>(frame[1]) << 8) | frame[2];
    if (n > kMaxFramePayload || frame.size() != n + 6) return std::nullopt;
    uint16_t crc = Crc16CcittFalse(frame.data() + 1, n + 3);
    if (frame[n + 4] != (crc >> 8) || frame[n + 5] != (crc & 0xFF)) return std::nullopt;
    RequestFrame request;
    request.command = frame[3];
    request.payload.assign(frame.begin() + 4, frame.begin() + 4 + static_cast<std::ptrdiff_t>(n));
    return request;
}

Bytes BuildResponseFrame(uint8_t command, uint8_t status, const Bytes& payload) {
    Bytes out{kFrameStart};
    PutU16Be(out, static_cast<uint16_t>(payload.size()));
    out.push_back(command);
    out.push_back(status);
    out.insert(out.end(), payload.begin(), payload.end());
    PutU16Be(out, Crc16CcittFalse(out.data() + 1, out.size() - 1));
    return out;
}

// ---- CBOR ----

void CborWriter::Head(uint8_t major, uint64_t argument) {
    uint8_t m = static_cast<uint8_t>(major << 5);
    if (argument < 24) {
        out_.push_back(static_cast<uint8_t>(m | argument));
    } else if (argument <= 0xFF) {
        out_.push_back(m | 24);
        out_.push_back(static_cast<uint8_t>(argument));
    } else if (argument <= 0xFFFF) {
        out_.push_back(m | 25);
        PutU16Be(out_, static_cast<uint16_t>(argument));
    } else if (argument <= 0xFFFFFFFFull) {
        out_.push_back(m | 26);
        for (int i = 3; i >= 0; --i) out_.push_back(static_cast<uint8_t>(argument >> (8 * i)));
    } else {
        out_.push_back(m | 27);
        for (int i = 7; i >= 0; --i) out_.push_back(static_cast<uint8_t>(argument >> (8 * i)));
    }
}

void CborWriter::Text(const std::string& text) {
    Head(3, text.size());
    out_.insert(out_.end(), text.begin(), text.end());
}

void CborWriter::ByteString(const Bytes& bytes) {
    Head(2, bytes.size());
    out_.insert(out_.end(), bytes.begin(), bytes.end());
}

const CborValue* CborValue::Find(const std::string& key) const {
    if (type != Type::Map) return nullptr;
    for (const auto& [k, v] : entries)
        if (k.type == Type::Text && k.bytes == key) return &v;
    return nullptr;
}

namespace {

class Decoder {
public:
    Decoder(const uint8_t* data, size_t length) : p_(data), end_(data + length) {}
    bool AtEnd() const { return p_ == end_; }

    bool Item(CborValue& out, int depth) {
        if (depth > 16 || p_ >= end_) return false;
        uint8_t initial = *p_++;
        uint8_t major = initial >> 5, ai = initial & 0x1F;
        if (major == 7) {
            if (ai == 20 || ai == 21) {
                out.type = CborValue::Type::Bool;
                out.boolean = ai == 21;
                return true;
            }
            if (ai == 22) {
                out.type = CborValue::Type::Null;
                return true;
            }
            uint64_t ignored;
            if (ai == 31) return false;  // a break outside a container
            out.type = CborValue::Type::Other;
            return Argument(ai, ignored);
        }
        if (major == 6) {  // tag: decode and keep its content
            uint64_t tag;
            return Argument(ai, tag) && Item(out, depth + 1);
        }
        bool indefinite = ai == 31;
        uint64_t arg = 0;
        if (!indefinite && !Argument(ai, arg)) return false;
        switch (major) {
            case 0:
            case 1:
                if (indefinite) return false;
                out.type = major == 0 ? CborValue::Type::Unsigned : CborValue::Type::Negative;
                out.number = arg;
                return true;
            case 2:
            case 3: {
                out.type = major == 2 ? CborValue::Type::ByteString : CborValue::Type::Text;
                if (!indefinite) return Chunk(arg, out.bytes);
                for (;;) {  // indefinite string: definite chunks of the same major type until a break
                    if (p_ >= end_) return false;
                    if (*p_ == 0xFF) {
                        ++p_;
                        return true;
                    }
                    uint8_t c = *p_++;
                    uint64_t n;
                    if ((c >> 5) != major || (c & 0x1F) == 31 || !Argument(c & 0x1F, n) || !Chunk(n, out.bytes))
                        return false;
                }
            }
            case 4:
            case 5: {
                out.type = major == 4 ? CborValue::Type::Array : CborValue::Type::Map;
                for (uint64_t i = 0; indefinite || i < arg; ++i) {
                    if (indefinite) {
                        if (p_ >= end_) return false;
                        if (*p_ == 0xFF) {
                            ++p_;
                            return true;
                        }
                    }
                    if (major == 4) {
                        CborValue v;
                        if (!Item(v, depth + 1)) return false;
                        out.items.push_back(std::move(v));
                    } else {
                        CborValue k, v;
                        if (!Item(k, depth + 1) || !Item(v, depth + 1)) return false;
                        out.entries.push_back(CborEntry{std::move(k), std::move(v)});
                    }
                }
                return true;
            }
            default: return false;
        }
    }

private:
    bool Argument(uint8_t ai, uint64_t& value) {
        if (ai < 24) {
            value = ai;
            return true;
        }
        size_t n = ai == 24 ? 1 : ai == 25 ? 2 : ai == 26 ? 4 : ai == 27 ? 8 : 0;
        if (n == 0 || static_cast<size_t>(end_ - p_) < n) return false;
        value = 0;
        for (size_t i = 0; i < n; ++i) value = (value << 8) | *p_++;
        return true;
    }
    bool Chunk(uint64_t n, std::string& out) {
        if (n > static_cast<uint64_t>(end_ - p_)) return false;
        out.append(reinterpret_cast<const char*>(p_), static_cast<size_t>(n));
        p_ += n;
        return true;
    }

    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace

std::optional<CborValue> DecodeCbor(const uint8_t* data, size_t length) {
    Decoder decoder(data, length);
    CborValue value;
    if (!decoder.Item(value, 0) || !decoder.AtEnd()) return std::nullopt;
    return value;
}

// ---- SMP ----

std::optional<SmpHeader> ParseSmpHeader(const Bytes& frame) {
    if (frame.size() < kSmpHeaderSize) return std::nullopt;
    SmpHeader h;
    h.op = frame[0] & 0x07;
    h.version = (frame[0] >> 3) & 0x03;
    h.flags = frame[1];
    h.length = static_cast<uint16_t>((frame[2] << 8) | frame[3]);
    h.group = static_cast<uint16_t>((frame[4] << 8) | frame[5]);
    h.sequence = frame[6];
    h.command = frame[7];
    return h;
}

Bytes BuildSmpFrame(const SmpHeader& header, const Bytes& body) {
    Bytes out;
    out.push_back(static_cast<uint8_t>((header.version & 0x03) << 3 | (header.op & 0x07)));
    out.push_back(header.flags);
    PutU16Be(out, static_cast<uint16_t>(body.size()));
    PutU16Be(out, header.group);
    out.push_back(header.sequence);
    out.push_back(header.command);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// ---- Images ----

std::string ImageVersion::Text() const {
    std::string text = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(revision);
    if (build != 0) text += "." + std::to_string(build);
    return text;
}

std::optional<ImageInfo> ParseImage(const Bytes& image) {
    if (image.size() < kImageHeaderSize || GetU32Le(image.data()) != kImageMagic) return std::nullopt;
    size_t headerSize = GetU16Le(image.data() + 8);
    size_t protectedSize = GetU16Le(image.data() + 10);
    size_t bodySize = GetU32Le(image.data() + 12);
    uint32_t flags = GetU32Le(image.data() + 16);
    if (headerSize < kImageHeaderSize) return std::nullopt;
    size_t hashed = headerSize + bodySize + protectedSize;
    if (hashed < headerSize || hashed + 4 > image.size()) return std::nullopt;
    size_t pos = headerSize + bodySize + protectedSize;
    if (GetU16Le(image.data() + pos) != kTlvInfoMagic) return std::nullopt;
    size_t tlvEnd = pos + GetU16Le(image.data() + pos + 2);
    if (tlvEnd > image.size()) return std::nullopt;
    pos += 4;
    Bytes stored;
    while (pos + 4 <= tlvEnd) {
        uint16_t type = GetU16Le(image.data() + pos), len = GetU16Le(image.data() + pos + 2);
        pos += 4;
        if (pos + len > tlvEnd) return std::nullopt;
        if (type == kTlvSha256 && len == 32)
            stored.assign(image.begin() + static_cast<std::ptrdiff_t>(pos),
                          image.begin() + static_cast<std::ptrdiff_t>(pos + 32));
        pos += len;
    }
    if (stored.size() != 32 || Sha256(image.data(), hashed) != stored) return std::nullopt;
    ImageInfo info;
    info.version.major = image[20];
    info.version.minor = image[21];
    info.version.revision = GetU16Le(image.data() + 22);
    info.version.build = GetU32Le(image.data() + 24);
    info.hash = stored;
    info.bootable = (flags & kImageFlagNonBootable) == 0;
    return info;
}

Bytes BuildImage(const ImageVersion& version, const Bytes& body, uint32_t flags) {
    Bytes out;
    PutU32Le(out, kImageMagic);
    PutU32Le(out, 0);  // load address
    PutU16Le(out, static_cast<uint16_t>(kImageHeaderSize));
    PutU16Le(out, 0);  // no protected TLVs
    PutU32Le(out, static_cast<uint32_t>(body.size()));
    PutU32Le(out, flags);
    out.push_back(version.major);
    out.push_back(version.minor);
    PutU16Le(out, version.revision);
    PutU32Le(out, version.build);
    PutU32Le(out, 0);  // pad to 32 bytes
    out.insert(out.end(), body.begin(), body.end());
    Bytes hash = Sha256(out);
    PutU16Le(out, kTlvInfoMagic);
    PutU16Le(out, 4 + 4 + 32);
    PutU16Le(out, kTlvSha256);
    PutU16Le(out, 32);
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

Bytes Sha256(const uint8_t* data, size_t length) {
    Bytes digest(32, 0);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx) return digest;
    unsigned int outLength = 0;
    bool ok = EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 && EVP_DigestUpdate(ctx, data, length) == 1 &&
              EVP_DigestFinal_ex(ctx, digest.data(), &outLength) == 1 && outLength == 32;
    EVP_MD_CTX_free(ctx);
    if (!ok) std::fill(digest.begin(), digest.end(), 0);
    return digest;
}

// ---- Records ----

Bytes EncodeAmplifierRecord(const AmplifierRecord& r) {
    Bytes out;
    PutU16Le(out, r.samplingRate);
    PutU16Le(out, r.declaredChannelCount);
    PutU32Le(out, r.reserved);
    PutU16Le(out, r.payloadSize);
    PutU16Le(out, r.channelCount);
    PutU16Le(out, r.valuesPerPayload);
    PutU16Le(out, r.filterCount);
    return out;
}

Bytes EncodeChannelRecord(uint16_t id, uint8_t type, uint8_t index, float scale) {
    Bytes out;
    PutU16Le(out, id);
    out.push_back(type);
    out.push_back(index);
    uint32_t bits;
    std::memcpy(&bits, &scale, 4);
    PutU32Le(out, bits);
    return out;
}

Bytes EncodePayloadRecord(uint16_t channelId, uint16_t frameIndex) {
    Bytes out;
    PutU16Le(out, channelId);
    PutU16Le(out, frameIndex);
    return out;
}

Bytes EncodeFilterRecord(uint16_t key, const uint8_t (&rest)[14]) {
    Bytes out;
    PutU16Le(out, key);
    out.insert(out.end(), rest, rest + 14);
    return out;
}

void AppendSample(Bytes& out, int32_t value, int width, bool littleEndian) {
    uint32_t u = static_cast<uint32_t>(value);
    for (int i = 0; i < width; ++i) {
        int shift = littleEndian ? 8 * i : 8 * (width - 1 - i);
        out.push_back(static_cast<uint8_t>(u >> shift));
    }
}

}  // namespace Mivo::BLE::Sim::Wire
