#include "smp/sha256.h"

#include <openssl/evp.h>

#include "platform/openssl_init.h"

namespace Mivo::BLE {
namespace {
[[maybe_unused]] const bool kOpenSslReady = Platform::InitOpenSslEarly();
}  // namespace

std::array<uint8_t, 32> ComputeSha256(const uint8_t* data, size_t length) {
    std::array<uint8_t, 32> digest{};
    unsigned int digestLength = 0;
    if (EVP_Digest(data, length, digest.data(), &digestLength, EVP_sha256(), nullptr) != 1 ||
        digestLength != digest.size()) {
        digest.fill(0);  // the upload goes on with a zero hash, as the device will then tell
    }
    return digest;
}

}  // namespace Mivo::BLE
