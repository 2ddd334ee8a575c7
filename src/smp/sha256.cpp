#include "smp/sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace Mivo::BLE {
namespace {

// OpenSSL is set up (configuration loaded, as the first hash would) while the program loads,
// so it registers its exit cleanup before the library registers its exit work or builds its
// singletons, and that cleanup runs after them. Each library thread that hashed has then
// ended and freed its per-thread OpenSSL state through OpenSSL's own thread-exit hook, which
// the cleanup removes. (Options 0 would return at once without registering anything.)
[[maybe_unused]] const bool kOpenSslReady = OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) == 1;

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
