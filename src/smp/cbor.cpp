#include "smp/cbor.h"

#include <algorithm>

namespace Mivo::BLE {

void CborWriter::WriteHead(uint8_t major, uint64_t argument) {
    const auto initial = static_cast<uint8_t>((major & 0x07) << 5);
    if (argument <= 23) {
        bytes_.push_back(static_cast<uint8_t>(initial | argument));
    } else if (argument <= 0xFF) {
        bytes_.push_back(initial | 24);
        bytes_.push_back(static_cast<uint8_t>(argument));
    } else if (argument <= 0xFFFF) {
        bytes_.push_back(initial | 25);
        bytes_.push_back(static_cast<uint8_t>(argument >> 8));
        bytes_.push_back(static_cast<uint8_t>(argument));
    } else if (argument <= 0xFFFFFFFFull) {
        bytes_.push_back(initial | 26);
        for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(static_cast<uint8_t>(argument >> shift));
    }
    // Larger arguments are never needed by management requests and are not written.
}

void CborWriter::WriteText(std::string_view text) {
    WriteHead(kCborText, text.size());
    bytes_.insert(bytes_.end(), text.begin(), text.end());
}

void CborWriter::WriteBytes(const uint8_t* data, size_t length) {
    WriteHead(kCborBytes, length);
    if (length != 0) bytes_.insert(bytes_.end(), data, data + length);
}

uint64_t ReadArgument(CborReader& reader) {
    if (reader.AtEnd()) return 0;
    const size_t p = reader.position;
    const uint8_t* d = reader.data;
    const size_t n = reader.length;
    reader.position = p + 1;
    const uint8_t ai = d[p] & 0x1F;
    if (ai <= 23) return ai;
    switch (ai) {
        case 24:
            if (p + 1 < n) {
                reader.position = p + 2;
                return d[p + 1];
            }
            return 0;
        case 25:
            if (p + 2 < n) {
                reader.position = p + 3;
                return (uint64_t{d[p + 1]} << 8) | d[p + 2];
            }
            return 0;
        case 26:
            if (p + 4 < n) {
                reader.position = p + 5;
                return (uint64_t{d[p + 1]} << 24) | (uint64_t{d[p + 2]} << 16) | (uint64_t{d[p + 3]} << 8) | d[p + 4];
            }
            return 0;
        case 31: return kCborIndefinite;
        default:
            // 27 (64-bit) and the reserved 28..30: only the initial byte is consumed.
            return 0;
    }
}

std::string ReadTextString(CborReader& reader) {
    if (reader.AtEnd() || reader.PeekMajor() != kCborText) return {};
    const uint64_t length = ReadArgument(reader);
    if (length == kCborIndefinite || length > reader.Remaining()) return {};
    std::string text(reinterpret_cast<const char*>(reader.data + reader.position), static_cast<size_t>(length));
    reader.position += static_cast<size_t>(length);
    return text;
}

namespace {

void SkipAt(CborReader& reader, int depth);

// Skips items until a break byte (consumed) or the end of the data.
void SkipUntilBreak(CborReader& reader, int depth, int itemsPerEntry) {
    while (!reader.AtEnd()) {
        if (reader.Peek() == kCborBreak) {
            ++reader.position;
            return;
        }
        for (int i = 0; i < itemsPerEntry; ++i) SkipAt(reader, depth);
    }
}

void SkipAt(CborReader& reader, int depth) {
    if (reader.AtEnd()) return;
    const uint8_t major = reader.PeekMajor();
    switch (major) {
        case kCborUnsigned:
        case kCborNegative:
        case kCborSimple: ReadArgument(reader); return;
        case kCborBytes:
        case kCborText: {
            const uint64_t n = ReadArgument(reader);
            if (n != kCborIndefinite) {
                reader.position += static_cast<size_t>(std::min<uint64_t>(n, reader.Remaining()));
            } else if (depth >= kCborMaxSkipDepth) {
                reader.position = reader.length;
            } else {
                SkipUntilBreak(reader, depth + 1, 1);  // chunks of an indefinite-length string
            }
            return;
        }
        case kCborArray:
        case kCborMap: {
            if (depth >= kCborMaxSkipDepth) {
                reader.position = reader.length;  // too deep: as if the data ended here
                return;
            }
            const int perEntry = major == kCborMap ? 2 : 1;
            const uint64_t n = ReadArgument(reader);
            if (n == kCborIndefinite) {
                SkipUntilBreak(reader, depth + 1, perEntry);
                return;
            }
            // Every skip consumes at least one byte, so a lying count stops at the end of the data.
            const uint64_t items = n * static_cast<uint64_t>(perEntry);
            for (uint64_t i = 0; i < items && !reader.AtEnd(); ++i) SkipAt(reader, depth + 1);
            return;
        }
        case kCborTag:
        default:
            // A tag head (with its number) and then the one item it tags.
            ReadArgument(reader);
            if (depth >= kCborMaxSkipDepth) {
                reader.position = reader.length;
                return;
            }
            SkipAt(reader, depth + 1);
            return;
    }
}

}  // namespace

void SkipItem(CborReader& reader) { SkipAt(reader, 0); }

bool OpenMap(CborReader& reader, CborMapIteration& iteration) {
    if (reader.AtEnd() || reader.PeekMajor() != kCborMap) return false;
    const uint64_t count = ReadArgument(reader);
    iteration.reader = &reader;
    iteration.indefinite = count == kCborIndefinite;
    iteration.declaredCount = count;
    iteration.keysRead = 0;
    return true;
}

bool NextMapKey(CborMapIteration& iteration, std::string& key) {
    CborReader& reader = *iteration.reader;
    if (iteration.indefinite) {
        if (!reader.AtEnd() && reader.Peek() == kCborBreak) {
            ++reader.position;
            return false;
        }
    } else if (iteration.keysRead >= iteration.declaredCount) {
        return false;
    }
    if (reader.AtEnd()) return false;
    const size_t start = reader.position;
    key = ReadTextString(reader);
    if (key.empty()) {
        // A key that is not a well-formed text string is skipped whole, so that the caller's
        // read or skip of the value still lands on the value.
        reader.position = start;
        SkipItem(reader);
    }
    ++iteration.keysRead;
    return true;
}

}  // namespace Mivo::BLE
