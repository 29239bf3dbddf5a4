#include <openssl/evp.h>

#include "platform/sha256.h"

namespace platform {

bool Sha256(const void* data, std::size_t size, Sha256Digest& digest) {
    unsigned int length = 0;
    return EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) == 1 && length == digest.size();
}

}  // namespace platform
