// SHA-256 against the published test vectors.
#include "host/sha256.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string hex_of(const std::string& message) {
    char out[kova::SHA256_HEX_SIZE];
    kova::sha256_hex(message.data(), message.size(), out);
    return out;
}

std::string hex_of_digest(const uint8_t digest[kova::SHA256_DIGEST_SIZE]) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < kova::SHA256_DIGEST_SIZE; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

TEST(Sha256, PublishedVectors) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrs"
         "tnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) EXPECT_EQ(hex_of(c.message), c.digest) << c.message.size() << " bytes";
}

// Lengths around the block and padding boundaries (the length field must
// spill into an extra block from 56 bytes on).
TEST(Sha256, PaddingBoundaries) {
    struct Case {
        size_t length;
        const char* digest;
    };
    const Case cases[] = {
        {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
    };
    for (const Case& c : cases) EXPECT_EQ(hex_of(std::string(c.length, 'a')), c.digest) << c.length;
}

// Pieces of uneven sizes cross the 64-byte block in every position.
TEST(Sha256, IncrementalMatchesOneShot) {
    const std::string message(1000000, 'a');
    for (size_t piece : {1u, 7u, 63u, 64u, 65u, 1000u}) {
        kova::Sha256 hash;
        kova::sha256_init(hash);
        for (size_t at = 0; at < message.size(); at += piece) {
            const size_t size = message.size() - at < piece ? message.size() - at : piece;
            kova::sha256_update(hash, message.data() + at, size);
        }
        uint8_t digest[kova::SHA256_DIGEST_SIZE];
        kova::sha256_final(hash, digest);
        EXPECT_EQ(hex_of_digest(digest), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0")
            << "pieces of " << piece;
    }
}

}  // namespace
