#include "cli/mcuboot_image.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "cli/cli_error.h"

namespace Mivo::Cli {

namespace {

constexpr uint32_t kImageMagic = 0x96f3b83d;
constexpr uint16_t kTlvInfoMagic = 0x6907;
constexpr uint16_t kTlvProtectedInfoMagic = 0x6908;
constexpr uint16_t kTlvSha256 = 0x0010;
constexpr size_t kHeaderSize = 32;

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Finds the SHA-256 entry in the TLV area(s) starting at `at`.
std::optional<std::array<uint8_t, 32>> FindHash(const std::vector<uint8_t>& b, size_t at) {
    while (at + 4 <= b.size()) {
        uint16_t magic = Le16(b, at);
        if (magic != kTlvInfoMagic && magic != kTlvProtectedInfoMagic) return std::nullopt;
        size_t end = at + Le16(b, at + 2);
        if (end > b.size() || end < at + 4) return std::nullopt;
        for (size_t p = at + 4; p + 4 <= end;) {
            uint16_t type = Le16(b, p);
            size_t length = Le16(b, p + 2);
            if (p + 4 + length > end) return std::nullopt;
            if (type == kTlvSha256 && length == 32) {
                std::array<uint8_t, 32> hash{};
                std::memcpy(hash.data(), &b[p + 4], 32);
                return hash;
            }
            p += 4 + length;
        }
        at = end;
    }
    return std::nullopt;
}

}  // namespace

std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t size) {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != digest.size())
        throw OperationError("SHA-256 is not available");
    return digest;
}

McubootImage ParseMcubootImage(std::vector<uint8_t> bytes, const std::string& origin) {
    auto fail = [&origin](const std::string& why) {
        throw OperationError(origin + " is not an MCUboot image: " + why);
    };
    if (bytes.size() < kHeaderSize) fail("shorter than the 32-byte image header");
    if (Le32(bytes, 0) != kImageMagic) fail("no image magic 3D B8 F3 96 at its start");
    size_t headerSize = Le16(bytes, 8);
    size_t protectedTlvSize = Le16(bytes, 10);
    size_t bodySize = Le32(bytes, 12);
    if (headerSize < kHeaderSize) fail("header size " + std::to_string(headerSize) + " is below 32");
    if (headerSize + bodySize > bytes.size())
        fail("header and body need " + std::to_string(headerSize + bodySize) + " bytes, the file has " +
             std::to_string(bytes.size()));
    McubootImage image;
    image.version = std::to_string(bytes[20]) + "." + std::to_string(bytes[21]) + "." + std::to_string(Le16(bytes, 22));
    if (uint32_t build = Le32(bytes, 24)) image.version += "." + std::to_string(build);
    // The protected area, if any, is walked like the other TLV areas.
    image.hash = FindHash(bytes, headerSize + bodySize);
    if (image.hash) {
        // What the boot loader hashes: header, body and the protected TLV area.
        const size_t covered = std::min(bytes.size(), headerSize + bodySize + protectedTlvSize);
        if (Sha256(bytes.data(), covered) != *image.hash)
            throw OperationError(origin +
                                 ": the SHA-256 of its contents differs from the one in its trailer: "
                                 "the image is damaged");
    }
    image.bytes = std::move(bytes);
    return image;
}

McubootImage LoadMcubootImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw OperationError("cannot read " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw OperationError("cannot read " + path);
    if (bytes.size() > UINT32_MAX) throw OperationError(path + " is larger than 4 GiB");
    return ParseMcubootImage(std::move(bytes), path);
}

}  // namespace Mivo::Cli
