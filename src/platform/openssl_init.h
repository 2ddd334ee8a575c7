#pragma once
// OpenSSL set up while the program loads, before any library work that may outlive it.
#include <openssl/crypto.h>

namespace Mivo::BLE::Platform {

// Initialises OpenSSL and loads its configuration, as the first hash would (once per process;
// later calls do nothing). Every file that hashes calls it from a static initialiser, so
// OpenSSL registers its exit cleanup before the library registers its own exit work or builds
// its singletons, and the cleanup runs after them: each library thread that hashed has been
// joined by then and has freed its per-thread OpenSSL state through OpenSSL's own thread-exit
// hook, which the cleanup removes. (Options 0 would return at once without registering it.)
inline bool InitOpenSslEarly() noexcept { return OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) == 1; }

}  // namespace Mivo::BLE::Platform
