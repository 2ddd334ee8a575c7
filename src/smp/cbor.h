#pragma once
// The small CBOR subset that management bodies use: a writer for requests and a bounds-checked
// reader for responses. The reader never throws and never reads at or beyond its length: a
// truncated argument reads as 0, a truncated or non-text string reads as empty, and skipping
// stops at the end of the data.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Mivo::BLE {

// What ReadArgument returns for additional information 31 (indefinite length or break).
inline constexpr uint64_t kCborIndefinite = ~uint64_t{0};

// Containers nested deeper than this are treated like data that ends early when skipped.
inline constexpr int kCborMaxSkipDepth = 16;

enum CborMajor : uint8_t {
    kCborUnsigned = 0,
    kCborNegative = 1,
    kCborBytes = 2,
    kCborText = 3,
    kCborArray = 4,
    kCborMap = 5,
    kCborTag = 6,
    kCborSimple = 7,
};

inline constexpr uint8_t kCborFalse = 0xF4;
inline constexpr uint8_t kCborTrue = 0xF5;
inline constexpr uint8_t kCborBreak = 0xFF;

class CborWriter {
public:
    // Appends an item head in its shortest form; arguments above 32 bits write nothing.
    void WriteHead(uint8_t major, uint64_t argument);
    void WriteUnsigned(uint64_t value) { WriteHead(kCborUnsigned, value); }
    void WriteText(std::string_view text);
    void WriteBytes(const uint8_t* data, size_t length);
    // Definite map header; exactly `entries` key/value pairs must follow.
    void WriteMapHeader(uint64_t entries) { WriteHead(kCborMap, entries); }
    void WriteBool(bool value) { bytes_.push_back(value ? kCborTrue : kCborFalse); }

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    std::vector<uint8_t> Take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

// Non-owning view of a received body with a read position.
struct CborReader {
    const uint8_t* data = nullptr;
    size_t length = 0;
    size_t position = 0;

    CborReader() = default;
    CborReader(const uint8_t* d, size_t n) : data(d), length(n) {}

    bool AtEnd() const { return position >= length; }
    size_t Remaining() const { return AtEnd() ? 0 : length - position; }
    // The byte at the position; only valid when !AtEnd().
    uint8_t Peek() const { return data[position]; }
    uint8_t PeekMajor() const { return static_cast<uint8_t>(data[position] >> 5); }
};

// Reads one item head and returns its argument (up to 32 bits), 0 when truncated or
// unsupported, or kCborIndefinite for additional information 31.
uint64_t ReadArgument(CborReader& reader);

// Reads a definite-length text string; anything else reads as empty (see the .cpp for
// how much is consumed then).
std::string ReadTextString(CborReader& reader);

// Advances over one whole data item.
void SkipItem(CborReader& reader);

// Iteration over the keys of a map whose head has been read.
struct CborMapIteration {
    CborReader* reader = nullptr;
    bool indefinite = false;
    uint64_t declaredCount = 0;
    uint64_t keysRead = 0;
};

// Expects a map head at the reader's position; reads it and fills `iteration`. Returns
// false (consuming nothing) when the data is at its end or the item is not a map.
bool OpenMap(CborReader& reader, CborMapIteration& iteration);

// Moves to the next key and reads it as a text string. A key that is not a text string
// reads as empty and is skipped whole.
// Returns false when the map has no more keys. The caller reads or skips the value.
bool NextMapKey(CborMapIteration& iteration, std::string& key);

}  // namespace Mivo::BLE
