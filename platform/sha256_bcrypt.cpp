#include <windows.h>
#include <bcrypt.h>

#include "platform/sha256.h"

namespace platform {

// The provider, object and hash calls that every Windows from Vista on has.
bool Sha256(const void* data, std::size_t size, Sha256Digest& digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    const BYTE* bytes = static_cast<const BYTE*>(data);
    while (done && size > 0) {
        const ULONG part = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        done = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<PUCHAR>(bytes), part, 0));
        bytes += part;
        size -= part;
    }
    done = done && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    if (hash != nullptr) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return done;
}

}  // namespace platform
