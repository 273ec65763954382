// Sending and receiving messages with their acknowledgements. Each wait
// is bounded: the first bytes of a message within the caller's wait, each
// further piece within the reply wait, and only so many rounds that move
// nothing; so a front end that stops answering cannot hold the run.
#include "debugger/transport.h"

#include <climits>
#include <cstdio>
#include <new>
#include <type_traits>

#include "core/errors.h"
#include "debugger/debugger.h"
#include "host/config.h"
#include "platform/platform.h"

namespace kova {

namespace {

int poll_time(int64_t left) { return left > INT_MAX ? INT_MAX : static_cast<int>(left); }

// Moves exactly `size` bytes one way, the first of them within
// `first_wait`, each further piece within the reply wait; a round that
// moves nothing pauses, and only so many such rounds are allowed.
template <bool SENDING>
bool move_bytes(std::conditional_t<SENDING, const char*, char*> data, size_t size, int64_t first_wait) {
    constexpr int IDLE_ROUNDS = SENDING ? SEND_ATTEMPTS : RECEIVE_ROUNDS;
    int64_t deadline = platform::monotonic_ms() + first_wait;
    int idle = 0;
    while (size > 0) {
        const int64_t left = deadline - platform::monotonic_ms();
        if (left <= 0 || idle >= IDLE_ROUNDS) return false;
        const int fd = g_debugger.connection;
        long n = 0;
        if constexpr (SENDING) {
            if (platform::socket_wait_writable(fd, poll_time(left)) != 1) return false;
            n = platform::socket_send(fd, data, size);
        } else {
            if (platform::socket_wait_readable(fd, poll_time(left)) != 1) return false;
            n = platform::socket_receive(fd, data, size);
        }
        if (n == platform::SOCKET_WOULD_BLOCK || (SENDING && n == 0)) {
            ++idle;
            platform::sleep_ms(TRANSPORT_PAUSE_MS);
            continue;
        }
        if (n <= 0) return false;  // an error, or the front end closed the connection
        data += n;
        size -= static_cast<size_t>(n);
        idle = 0;
        deadline = platform::monotonic_ms() + g_debugger.reply_wait;
    }
    return true;
}

bool send_bytes(const char* data, size_t size) {
    return move_bytes<true>(data, size, g_debugger.reply_wait);
}

bool receive_bytes(char* data, size_t size, int64_t first_wait) { return move_bytes<false>(data, size, first_wait); }

// A length prefix: "A"+k and k digits. False when malformed.
bool receive_prefix(size_t* length, int64_t first_wait) {
    char letter = 0;
    if (!receive_bytes(&letter, 1, first_wait)) return false;
    const int digits = letter - 'A';
    if (digits < 0 || digits > 9) return false;
    char text[10];
    if (digits > 0 && !receive_bytes(text, static_cast<size_t>(digits), g_debugger.reply_wait)) return false;
    size_t value = 0;
    for (int i = 0; i < digits; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<size_t>(text[i] - '0');
    }
    *length = value;
    return true;
}

bool fail() {
    transport_failed();
    return false;
}

}  // namespace

size_t message_prefix(size_t length, char* out) {
    const int digits = std::snprintf(out + 1, 11, "%zu", length);
    out[0] = static_cast<char>('A' + digits);
    return static_cast<size_t>(digits) + 1;
}

bool transport_send(const char* body, size_t length) {
    if (g_debugger.connection < 0) return false;
    char prefix[12];
    const size_t prefix_length = message_prefix(length, prefix);
    if (!send_bytes(prefix, prefix_length) || !send_bytes(body, length)) return fail();
    size_t acknowledged = 0;
    if (!receive_prefix(&acknowledged, g_debugger.reply_wait) || acknowledged != length) return fail();
    return true;
}

bool transport_receive(std::string& body, int64_t wait_ms) {
    if (g_debugger.connection < 0) return false;
    size_t length = 0;
    if (!receive_prefix(&length, wait_ms) || length > MESSAGE_LIMIT) return fail();
    try {
        body.resize(length);
    } catch (const std::bad_alloc&) {
        return fail();
    }
    if (length > 0 && !receive_bytes(body.data(), length, g_debugger.reply_wait)) return fail();
    char prefix[12];
    const size_t prefix_length = message_prefix(length, prefix);
    if (!send_bytes(prefix, prefix_length)) return fail();
    return true;
}

void transport_failed() {
    debugger_close();
    g_config.debug_port.clear();
}

void raise_transport_failure() { raise_runtime_error(1850, "ソケット通信不正"); }

void send_or_raise(const std::string& body) {
    if (!transport_send(body)) raise_transport_failure();
}

}  // namespace kova
