// The message transport to the front end: framing, acknowledgements and
// time-outs. A message is "A"+k, the k decimal digits of the body length,
// then the body; its receiver answers with the prefix alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kova {

// Pauses and bounds of the transport.
inline constexpr unsigned TRANSPORT_PAUSE_MS = 50;
inline constexpr int SEND_ATTEMPTS = 50;
inline constexpr int RECEIVE_ROUNDS = 2400;
inline constexpr int64_t REPLY_WAIT_MS = 10 * 1000;
inline constexpr int64_t COMMAND_WAIT_MS = 2 * 60 * 60 * 1000;
// The largest message body taken from the front end (a module text).
inline constexpr size_t MESSAGE_LIMIT = size_t(256) << 20;

// The length prefix of a body of `length` bytes; returns its size.
// `out` holds at least 12 bytes.
size_t message_prefix(size_t length, char* out);

// Sends a message and reads its acknowledgement. False on any failure
// (time-out, closed connection, wrong acknowledgement): the connection is
// then closed and DEBUG_PORT emptied.
bool transport_send(const char* body, size_t length);
inline bool transport_send(const std::string& body) { return transport_send(body.data(), body.size()); }
// Receives a message (its first bytes within `wait_ms`, the rest without a
// pause of more than the reply wait) and acknowledges it. False on any
// failure, as above.
bool transport_receive(std::string& body, int64_t wait_ms);

// Closes the connection after a failure and empties DEBUG_PORT.
void transport_failed();
// Runtime error 1850.
[[noreturn]] void raise_transport_failure();
// Sends, or raises 1850 when the transport fails.
void send_or_raise(const std::string& body);

}  // namespace kova
