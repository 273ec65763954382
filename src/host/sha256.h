// SHA-256 (FIPS 180-4), used for the module directory fingerprint and, as
// HMAC-SHA256, for signing access tokens.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova {

inline constexpr size_t SHA256_DIGEST_SIZE = 32;
inline constexpr size_t SHA256_HEX_SIZE = 65;  // 64 hex digits and the NUL

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes hashed so far
    uint8_t block[64];
    size_t used;  // bytes waiting in block
};

void sha256_init(Sha256& hash);
void sha256_update(Sha256& hash, const void* data, size_t size);
// Pads, finishes and writes the digest; the state must be initialised again
// before further use.
void sha256_final(Sha256& hash, uint8_t digest[SHA256_DIGEST_SIZE]);

// A digest as 64 lower-case hexadecimal digits and a NUL.
void sha256_digest_hex(const uint8_t digest[SHA256_DIGEST_SIZE], char out[SHA256_HEX_SIZE]);
// One-shot digest of a buffer as 64 lower-case hexadecimal digits.
void sha256_hex(const void* data, size_t size, char out[SHA256_HEX_SIZE]);

}  // namespace kova
