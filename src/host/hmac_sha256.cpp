// HMAC-SHA256 (RFC 2104).
#include "host/hmac_sha256.h"

#include <cstring>

namespace kova {

void hmac_sha256_init(HmacSha256& mac, const void* key, size_t key_size) {
    uint8_t block[HMAC_SHA256_BLOCK_SIZE] = {};
    if (key_size > HMAC_SHA256_BLOCK_SIZE) {
        Sha256 hash;
        sha256_init(hash);
        sha256_update(hash, key, key_size);
        sha256_final(hash, block);
    } else if (key_size > 0) {
        std::memcpy(block, key, key_size);
    }
    uint8_t pad[HMAC_SHA256_BLOCK_SIZE];
    for (size_t i = 0; i < HMAC_SHA256_BLOCK_SIZE; ++i) pad[i] = block[i] ^ 0x36;
    sha256_init(mac.inner);
    sha256_update(mac.inner, pad, sizeof pad);
    for (size_t i = 0; i < HMAC_SHA256_BLOCK_SIZE; ++i) pad[i] = block[i] ^ 0x5c;
    sha256_init(mac.outer);
    sha256_update(mac.outer, pad, sizeof pad);
}

void hmac_sha256_update(HmacSha256& mac, const void* data, size_t size) { sha256_update(mac.inner, data, size); }

void hmac_sha256_final(HmacSha256& mac, uint8_t digest[SHA256_DIGEST_SIZE]) {
    uint8_t inner[SHA256_DIGEST_SIZE];
    sha256_final(mac.inner, inner);
    sha256_update(mac.outer, inner, sizeof inner);
    sha256_final(mac.outer, digest);
}

}  // namespace kova
