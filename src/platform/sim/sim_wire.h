#pragma once
// Wire formats as the virtual amplifier speaks them: command-frame CRC, a small CBOR
// writer and reader, SMP headers, MCUboot image headers and trailers, legacy
// configuration records and sample encodings. Written from the formats themselves; the
// simulator shares no code with the library's protocol layers.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Mivo::BLE::Sim::Wire {

using Bytes = std::vector<uint8_t>;

// ---- Command frames (NUS) ----
inline constexpr uint8_t kFrameStart = 0xF0;
inline constexpr size_t kMaxFramePayload = 512;
// CRC-16/CCITT-FALSE: poly 0x1021, init 0xFFFF, no reflection, no final XOR.
uint16_t Crc16CcittFalse(const uint8_t* data, size_t length);

struct RequestFrame {
    uint8_t command = 0;
    Bytes payload;
};
// A request frame F0 LL LL CMD payload CRC CRC; nullopt when malformed (short, bad start,
// length mismatch, bad CRC).
std::optional<RequestFrame> ParseRequestFrame(const Bytes& frame);
Bytes BuildResponseFrame(uint8_t command, uint8_t status, const Bytes& payload);

// ---- CBOR ----
class CborWriter {
public:
    void Head(uint8_t major, uint64_t argument);
    void Uint(uint64_t value) { Head(0, value); }
    void Text(const std::string& text);
    void ByteString(const Bytes& bytes);
    void Bool(bool value) { out_.push_back(value ? 0xF5 : 0xF4); }
    void Map(size_t entries) { Head(5, entries); }
    void Array(size_t items) { Head(4, items); }
    const Bytes& Data() const { return out_; }

private:
    Bytes out_;
};

struct CborEntry;
struct CborValue {
    enum class Type { Unsigned, Negative, ByteString, Text, Array, Map, Bool, Null, Other };
    Type type = Type::Other;
    uint64_t number = 0;  // unsigned value, or -1-n for negatives
    bool boolean = false;
    std::string bytes;  // byte or text string contents
    std::vector<CborValue> items;
    std::vector<CborEntry> entries;

    // The value stored under a text key of a map, or nullptr.
    const CborValue* Find(const std::string& key) const;
};
// One key and value of a map (a named type: a std::pair of the enclosing type does not
// compile with clang and libstdc++).
struct CborEntry {
    CborValue key;
    CborValue value;
};
// Decodes exactly one item that spans the whole input (definite and indefinite lengths,
// at most 16 levels deep); nullopt when the data is malformed, truncated or has trailing
// bytes.
std::optional<CborValue> DecodeCbor(const uint8_t* data, size_t length);

// ---- SMP ----
inline constexpr size_t kSmpHeaderSize = 8;
inline constexpr uint8_t kSmpOpRead = 0, kSmpOpReadResponse = 1, kSmpOpWrite = 2, kSmpOpWriteResponse = 3;
inline constexpr uint16_t kSmpGroupOs = 0, kSmpGroupImage = 1;
inline constexpr uint8_t kSmpOsEcho = 0, kSmpOsReset = 5;
inline constexpr uint8_t kSmpImageState = 0, kSmpImageUpload = 1, kSmpImageErase = 5;

struct SmpHeader {
    uint8_t op = 0;       // low three bits of byte 0
    uint8_t version = 0;  // bits 3-4 of byte 0
    uint8_t flags = 0;
    uint16_t length = 0;
    uint16_t group = 0;
    uint8_t sequence = 0;
    uint8_t command = 0;
};
std::optional<SmpHeader> ParseSmpHeader(const Bytes& frame);
Bytes BuildSmpFrame(const SmpHeader& header, const Bytes& body);  // length taken from body

// ---- MCUboot images ----
inline constexpr uint32_t kImageMagic = 0x96f3b83d;
inline constexpr uint16_t kTlvInfoMagic = 0x6907;
inline constexpr uint16_t kTlvProtectedMagic = 0x6908;
inline constexpr uint16_t kTlvSha256 = 0x10;
inline constexpr uint32_t kImageFlagNonBootable = 0x10;
inline constexpr size_t kImageHeaderSize = 32;

struct ImageVersion {
    uint8_t major = 0, minor = 0;
    uint16_t revision = 0;
    uint32_t build = 0;
    std::string Text() const;  // "M.m.r", plus ".build" when build is not 0
};
struct ImageInfo {
    ImageVersion version;
    Bytes hash;  // SHA-256 from the trailer, verified against header and body
    bool bootable = true;
};
// A complete, valid image: magic, sizes within the data, TLV area with a SHA-256 that
// matches. nullopt otherwise.
std::optional<ImageInfo> ParseImage(const Bytes& image);
// Builds a valid image: 32-byte header, body, TLV area with the SHA-256.
Bytes BuildImage(const ImageVersion& version, const Bytes& body, uint32_t flags = 0);

// SHA-256 (OpenSSL EVP); 32 zero bytes if the provider fails.
Bytes Sha256(const uint8_t* data, size_t length);
inline Bytes Sha256(const Bytes& data) { return Sha256(data.data(), data.size()); }

// ---- Legacy configuration records (little-endian fields) ----
struct AmplifierRecord {
    uint16_t samplingRate = 0, declaredChannelCount = 0;
    uint32_t reserved = 0;
    uint16_t payloadSize = 0, channelCount = 0, valuesPerPayload = 0, filterCount = 0;
};
Bytes EncodeAmplifierRecord(const AmplifierRecord& record);                        // 16 bytes
Bytes EncodeChannelRecord(uint16_t id, uint8_t type, uint8_t index, float scale);  // 8 bytes
Bytes EncodePayloadRecord(uint16_t channelId, uint16_t frameIndex);                // 4 bytes
Bytes EncodeFilterRecord(uint16_t key, const uint8_t (&rest)[14]);                 // 16 bytes

// ---- Samples ----
// Appends `value` as a `width`-byte two's-complement integer (3 or 4 bytes).
void AppendSample(Bytes& out, int32_t value, int width, bool littleEndian);

// ---- helpers ----
void PutU16Be(Bytes& out, uint16_t value);
void PutU16Le(Bytes& out, uint16_t value);
void PutU32Le(Bytes& out, uint32_t value);
uint16_t GetU16Le(const uint8_t* p);
uint32_t GetU32Le(const uint8_t* p);

}  // namespace Mivo::BLE::Sim::Wire
