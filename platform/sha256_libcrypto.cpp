#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "platform/sha256.h"

namespace platform {

bool Sha256(const void* data, std::size_t size, Sha256Digest& digest) {
    // A digest needs nothing of the system's OpenSSL configuration, whose
    // reading and providers would cost the repair more than the hashing.
    static const bool initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;
    if (!initialised) return false;
    unsigned int length = 0;
    return EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) == 1 && length == digest.size();
}

}  // namespace platform
