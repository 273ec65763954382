// HMAC-SHA256 against the published test vectors of RFC 4231.
#include "host/hmac_sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::string mac_hex(const std::string& key, const std::string& message, size_t piece = 0) {
    kova::HmacSha256 mac;
    kova::hmac_sha256_init(mac, key.data(), key.size());
    if (piece == 0) {
        kova::hmac_sha256_update(mac, message.data(), message.size());
    } else {
        for (size_t at = 0; at < message.size(); at += piece) {
            kova::hmac_sha256_update(mac, message.data() + at, std::min(piece, message.size() - at));
        }
    }
    uint8_t digest[kova::SHA256_DIGEST_SIZE];
    kova::hmac_sha256_final(mac, digest);
    char hex[kova::SHA256_HEX_SIZE];
    kova::sha256_digest_hex(digest, hex);
    return hex;
}

std::string key_bytes(int first, int last) {
    std::string key;
    for (int b = first; b <= last; ++b) key += static_cast<char>(b);
    return key;
}

struct Vector {
    const char* name;
    std::string key;
    std::string message;
    const char* mac;  // test case 5 publishes only the first 128 bits
};

const Vector VECTORS[] = {
    {"case 1", std::string(20, '\x0b'), "Hi There",
     "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {"case 2", "Jefe", "what do ya want for nothing?",
     "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {"case 3", std::string(20, '\xaa'), std::string(50, '\xdd'),
     "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
    {"case 4", key_bytes(1, 25), std::string(50, '\xcd'),
     "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
    {"case 5", std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
    {"case 6", std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
     "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {"case 7", std::string(131, '\xaa'),
     "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
     "hashed before being used by the HMAC algorithm.",
     "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
};

TEST(HmacSha256, Rfc4231Vectors) {
    for (const Vector& v : VECTORS) {
        const std::string mac = mac_hex(v.key, v.message);
        EXPECT_EQ(mac.substr(0, std::string(v.mac).size()), v.mac) << v.name;
    }
}

// The same digest whatever pieces the message arrives in.
TEST(HmacSha256, MessageInPieces) {
    for (const Vector& v : VECTORS) {
        for (size_t piece : {1u, 7u, 64u}) {
            EXPECT_EQ(mac_hex(v.key, v.message, piece), mac_hex(v.key, v.message)) << v.name << ", pieces of " << piece;
        }
    }
}

// A key of exactly one block is used as it is; one byte more is hashed
// first (digests from an independent implementation).
TEST(HmacSha256, KeyAtTheBlockSize) {
    EXPECT_EQ(mac_hex(std::string(64, 'k'), "abc"), "ae0c0e4a2340cf50185eb46aaa8723f4769153661612e212fb0d1fa3170c6202");
    EXPECT_EQ(mac_hex(std::string(65, 'k'), "abc"), "ed378e5dfa30dc98814ba09b2e610d9b6af66054922ceef9480da094a3f11b2d");
    EXPECT_EQ(mac_hex("", ""), "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

}  // namespace
