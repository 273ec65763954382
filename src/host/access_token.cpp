// The access check and the token frame. A token is recomputed, not
// stored, so the process serving the next request derives the same token
// from the identifier it gets back. By default a token is the HMAC-SHA256,
// keyed with TOKEN_KEY, of the identifier, the time and the client address:
// only the server can make one, and the key is never sent. TOKEN_SIGNING=
// legacy keeps the old keyless tokens, drawn from the shared random
// generator and carrying the key in the identifier, for installations that
// share them with programs computing them that way.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/errors.h"
#include "core/names.h"
#include "core/values.h"
#include "eval/scopes.h"
#include "front/front.h"
#include "front/items.h"
#include "host/config.h"
#include "host/hmac_sha256.h"
#include "host/host.h"
#include "host/request.h"
#include "platform/platform.h"

namespace kova {

namespace {

constexpr char IDENTIFIER_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr char TOKEN_ALPHABET[] = "jklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghi";
constexpr size_t TOKEN_TIME_CHARACTERS = 5;
static_assert(TOKEN_KEY_LIMIT + 8 + 8 + 1 <= TOKEN_IDENTIFIER_SIZE,
              "an identifier holds the key, 8 characters and 8 hex digits");
static_assert(2 * SHA256_DIGEST_SIZE + TOKEN_TIME_CHARACTERS == SIGNED_TOKEN_LENGTH, "signature and time");

// One character: the next draw scaled onto the 62-character alphabet.
char draw(const char* alphabet) {
    const int r = platform::random_next();
    return alphabet[static_cast<int>(r / 32767.0 * 61.0)];
}

// The 64 characters of a token identifier, as six-bit digits; -1 for the
// others, which are skipped.
int six_bit_digit(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
}

struct TokenOut {
    char* text;
    size_t length;
    void put(char c) {
        if (length < TOKEN_TEXT_SIZE - 1) text[length++] = c;
    }
    void draws(int count) {
        for (int i = 0; i < count; ++i) put(draw(TOKEN_ALPHABET));
    }
    void time(int32_t t) {
        char digits[16];
        const int n = std::snprintf(digits, sizeof digits, "%05d", t);
        for (int i = 0; i < n; ++i) put(digits[i]);
    }
};

// The time a received token carries: its last five characters read as a
// decimal number (leading blanks and a sign allowed). `trailing` is set
// when anything but the number is there.
struct TokenTime {
    int32_t t;
    bool trailing;
};

TokenTime received_token_time() {
    if (!g_request.has_token) return {0, false};
    const char* token = g_request.token_buffer + g_request.token_id_length + TOKEN_GAP;
    const char* end = token + g_request.token_length;
    const char* p = g_request.token_length > TOKEN_TIME_CHARACTERS ? end - TOKEN_TIME_CHARACTERS : token;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    const char* digits = p;
    int32_t t = 0;
    while (p < end && *p >= '0' && *p <= '9') t = t * 10 + (*p++ - '0');
    return {negative ? -t : t, p == digits || p != end};
}

// Seconds from t to now on the 16-bit clock tokens carry, counted forward
// across its wrap: a token never looks younger than it is.
int64_t token_age(int32_t t) {
    const int64_t now = platform::time_now() % TOKEN_TIME_MODULUS;
    const int64_t modulus = TOKEN_TIME_MODULUS;
    return ((now - t) % modulus + modulus) % modulus;
}

[[noreturn]] void refuse(const char* message) {
    g_request.refused = true;
    raise_runtime_error(1775, "%s", message);
}

void trim(const char** begin, const char** end) {
    while (*begin < *end && (**begin == ' ' || **begin == '\t')) ++*begin;
    while (*end > *begin && ((*end)[-1] == ' ' || (*end)[-1] == '\t')) --*end;
}

// "name=value;name=value": each pair a global string.
void bind_argument_variables(const char* text) {
    const char* p = text;
    while (*p != '\0') {
        const char* end = std::strchr(p, ';');
        if (end == nullptr) end = p + std::strlen(p);
        const char* equals = static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
        if (equals != nullptr) {
            const char* name = p;
            const char* name_end = equals;
            const char* value = equals + 1;
            const char* value_end = end;
            trim(&name, &name_end);
            trim(&value, &value_end);
            if (name_end > name) {
                const uint32_t index = intern(name, static_cast<size_t>(name_end - name));
                set_global(index, new_string(value, static_cast<size_t>(value_end - value)));
            }
        }
        p = *end != '\0' ? end + 1 : end;
    }
}

size_t configured_key_length() {
    const size_t length = g_config.token_key.size();
    return length < TOKEN_KEY_LIMIT ? length : TOKEN_KEY_LIMIT;
}

// The token the configuration makes for an identifier at time t.
size_t expected_token(const char* identifier, size_t length, int32_t t, const uint8_t octets[4], char* out) {
    if (g_config.token_signing == TokenSigning::LEGACY) return token_text(identifier, length, t, octets, out);
    return signed_token_text(identifier, length, t, octets, g_config.token_key.data(), configured_key_length(), out);
}

bool token_matches(int32_t t) {
    char expected[TOKEN_TEXT_SIZE];
    const size_t length = expected_token(g_request.token_buffer, g_request.token_id_length, t, g_host.client, expected);
    const char* token = g_request.token_buffer + g_request.token_id_length + TOKEN_GAP;
    if (length != g_request.token_length) return false;
    // Compared in full whatever differs, so the time taken tells nothing.
    unsigned char difference = 0;
    for (size_t i = 0; i < length; ++i) difference |= static_cast<unsigned char>(expected[i] ^ token[i]);
    return difference == 0;
}

}  // namespace

size_t token_text(const char* text, size_t length, int32_t t, const uint8_t octets[4], char* out) {
    TokenOut token{out, 0};
    if (length == 0) {
        token.time(t);
        out[token.length] = '\0';
        return token.length;
    }
    const uint32_t time_bits = static_cast<uint32_t>(t);
    uint32_t group = 0;
    for (size_t position = 1; position <= length; ++position) {
        const int digit = six_bit_digit(static_cast<unsigned char>(text[position - 1]));
        if (digit < 0) continue;
        group = (group << 6) | static_cast<uint32_t>(digit);
        if (position % 4 == 0) {
            platform::random_seed(group | (time_bits << 24));
            token.draws(6);
            group = 0;
        }
    }
    if (group != 0) {
        platform::random_seed((time_bits << 24) | group);
        token.draws(static_cast<int>(2 * (length % 4)));
    }
    platform::random_seed((uint32_t(octets[0]) << 8) | octets[1] | (time_bits << 16));
    token.draws(8);
    platform::random_seed((uint32_t(octets[2]) << 8) | octets[3] | (time_bits << 16));
    token.draws(8);
    token.time(t);
    out[token.length] = '\0';
    return token.length;
}

size_t signed_token_text(const char* identifier, size_t length, int32_t t, const uint8_t octets[4], const char* key,
                         size_t key_length, char* out) {
    char tail[48];
    const int tail_length = std::snprintf(tail, sizeof tail, "|%05d|%d.%d.%d.%d", t, octets[0], octets[1], octets[2],
                                          octets[3]);
    HmacSha256 mac;
    hmac_sha256_init(mac, key, key_length);
    hmac_sha256_update(mac, identifier, length);
    hmac_sha256_update(mac, tail, static_cast<size_t>(tail_length));
    uint8_t digest[SHA256_DIGEST_SIZE];
    hmac_sha256_final(mac, digest);
    sha256_digest_hex(digest, out);
    const int time_length = std::snprintf(out + 2 * SHA256_DIGEST_SIZE, 16, "%05d", t);
    return 2 * SHA256_DIGEST_SIZE + static_cast<size_t>(time_length);
}

size_t token_identifier(const char* key, size_t key_length, int64_t now, const uint8_t octets[4], char* out) {
    std::memcpy(out, key, key_length);
    size_t length = key_length;
    const uint32_t seconds = static_cast<uint32_t>(now);
    const uint32_t b = (seconds * 9878u) % TOKEN_TIME_MODULUS;
    platform::random_seed((uint32_t(octets[0]) * 256u) | b | octets[1]);
    for (int i = 0; i < 4; ++i) out[length++] = draw(IDENTIFIER_ALPHABET);
    platform::random_seed((uint32_t(octets[2]) * 256u) | b | octets[3]);
    for (int i = 0; i < 4; ++i) out[length++] = draw(IDENTIFIER_ALPHABET);
    length += static_cast<size_t>(std::snprintf(out + length, 9, "%x", seconds));
    return length;
}

void issue_token(int64_t now, const uint8_t octets[4], IssuedToken& out) {
    const int32_t t = static_cast<int32_t>(now % TOKEN_TIME_MODULUS);
    if (g_config.token_signing == TokenSigning::LEGACY) {
        out.identifier_length =
            token_identifier(g_config.token_key.data(), configured_key_length(), now, octets, out.identifier);
    } else {
        // Nothing of the key goes into what the client is sent.
        out.identifier_length = token_identifier("", 0, now, octets, out.identifier);
    }
    out.token_length = expected_token(out.identifier, out.identifier_length, t, octets, out.token);
}

void check_access() {
    if (g_host.body_argument_count == 2) {
        bind_argument_variables(g_host.argument_variables);
        g_request.accepted = true;
        return;
    }
    if (g_host.body_argument_count != 0) refuse("認証エラー");

    const TokenTime received = received_token_time();
    const int32_t interval = g_config.time_interval;
    if (!g_config.token_key.empty()) {
        if (!g_request.has_token) refuse("認証エラー");
        if (interval > 0) {
            if (received.trailing) refuse("認証エラー");
            if (token_age(received.t) > interval) refuse("タイムアウト");
        }
        if (!token_matches(received.t)) refuse("認証エラー");
    } else if (interval > 0 && token_age(received.t) > interval) {
        refuse("タイムアウト");
    }
    g_request.accepted = true;
}

void write_token_frame() {
    if (g_config.token_key.empty() && g_config.time_interval <= 0) return;
    std::string frame = "X";
    // Only a request that passed the check earns a new token: one that
    // failed before it (a malformed body, a module that did not load) is
    // answered like a refused one.
    if (!g_request.accepted || g_request.refused) {
        frame += "12NG12NG";
    } else {
        IssuedToken issued;
        issue_token(platform::time_now(), g_host.client, issued);
        append_text_item(frame, issued.identifier, issued.identifier_length);
        append_text_item(frame, issued.token, issued.token_length);
    }
    front_write(frame);
}

}  // namespace kova
