// HMAC-SHA256 (RFC 2104 over SHA-256): the keyed digest that signs access
// tokens, so that only a holder of TOKEN_KEY can make one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/sha256.h"

namespace kova {

inline constexpr size_t HMAC_SHA256_BLOCK_SIZE = 64;

struct HmacSha256 {
    Sha256 inner;  // fed with the key block ^ 0x36, then the message
    Sha256 outer;  // fed with the key block ^ 0x5c, then the inner digest
};

// A key longer than the 64-byte block is replaced by its SHA-256 digest.
void hmac_sha256_init(HmacSha256& mac, const void* key, size_t key_size);
void hmac_sha256_update(HmacSha256& mac, const void* data, size_t size);
void hmac_sha256_final(HmacSha256& mac, uint8_t digest[SHA256_DIGEST_SIZE]);

}  // namespace kova
