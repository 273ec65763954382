// The request state and reading the body: CONTENT_LENGTH bytes of standard
// input from the web server, or the first command-line argument.
#include "host/request.h"

#include <cstdlib>
#include <cstring>

#include "core/errors.h"
#include "host/host.h"
#include "platform/platform.h"

namespace kova {

RequestState g_request;

namespace {

constexpr char NOT_A_NUMBER[] = "CONTENT_LENGTH is not not number format.";
constexpr char SHORT_BODY[] = "受信データの長さ不正(CONTENT_LENGTH)";
constexpr char NO_MEMORY[] = "メモリ領域を取得できません";

// CONTENT_LENGTH: absent is 0; else up to 19 characters that must be a
// decimal number (leading blanks and a sign allowed) with nothing after
// it. A negative length cannot be read and counts as malformed.
uint64_t content_length() {
    const char* value = platform::env_get("CONTENT_LENGTH");
    if (value == nullptr) return 0;
    char text[CONTENT_LENGTH_DIGITS + 1];
    size_t n = 0;
    while (n < CONTENT_LENGTH_DIGITS && value[n] != '\0') {
        text[n] = value[n];
        ++n;
    }
    text[n] = '\0';
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') fatal_error(NOT_A_NUMBER);
    uint64_t length = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (length > (UINT64_MAX - digit) / 10) fatal_error(NOT_A_NUMBER);
        length = length * 10 + digit;
    }
    if (*p != '\0' || (negative && length != 0)) fatal_error(NOT_A_NUMBER);
    return length;
}

// The body buffer grows as bytes arrive (doubling, capped at what was
// announced), so a length that lies reserves no memory the input never
// fills.
void grow_body(size_t wanted, size_t* capacity) {
    size_t grown = *capacity * 2;
    if (grown - BODY_SLACK > wanted) grown = wanted + BODY_SLACK;
    char* block = static_cast<char*>(std::realloc(g_request.heap_body, grown));
    if (block == nullptr) fatal_error(NO_MEMORY);
    if (g_request.heap_body == nullptr) std::memcpy(block, g_request.buffer, *capacity);
    g_request.heap_body = block;
    g_request.body = block;
    *capacity = grown;
}

void read_standard_input() {
    const uint64_t announced = content_length();
    if (announced > SIZE_MAX / 4) fatal_error(SHORT_BODY);
    const size_t wanted = static_cast<size_t>(announced);
    size_t capacity = sizeof g_request.buffer;
    size_t total = 0;
    for (int call = 0; call < BODY_READ_CALLS && total < wanted; ++call) {
        if (total + BODY_SLACK >= capacity) grow_body(wanted, &capacity);
        size_t step = capacity - BODY_SLACK - total;
        if (step > wanted - total) step = wanted - total;
        const size_t n = platform::read_stdin(g_request.body + total, step);
        if (n == 0) break;
        total += n;
    }
    if (total < wanted) fatal_error(SHORT_BODY);
    g_request.body[total] = '\0';
    g_request.length = total;
}

}  // namespace

void request_reset() {
    std::free(g_request.heap_body);
    g_request.heap_body = nullptr;
    g_request.body = g_request.buffer;
    g_request.length = 0;
    g_request.buffer[0] = '\0';
    g_request.no_module_fetch = false;
    g_request.has_token = false;
    g_request.token_buffer[0] = '\0';
    g_request.token_id_length = 0;
    g_request.token_length = 0;
    g_request.accepted = false;
    g_request.refused = false;
    g_request.reference_count = 0;
}

void read_request_body() {
    g_request.body = g_request.buffer;
    if (g_host.body_argument_count > 0) {
        const char* argument = g_host.argument_body;
        size_t length = std::strlen(argument);
        if (length > BODY_ARGUMENT_LIMIT) length = BODY_ARGUMENT_LIMIT;
        std::memcpy(g_request.buffer, argument, length);
        g_request.buffer[length] = '\0';
        g_request.length = length;
        return;
    }
    read_standard_input();
    platform::write_stdout(RESPONSE_HEADER, sizeof RESPONSE_HEADER - 1);
    platform::flush_stdout();
}

}  // namespace kova
