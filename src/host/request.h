// The request: its body, a stream of length-prefixed records that name the
// modules and the top call, carry the script's input variables and the
// access token of the previous answer; the access check; and the token
// frame that ends every answer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value.h"

namespace kova {

// Bodies up to this size (with their slack) are read into the state's own
// buffer; larger ones into a heap block.
inline constexpr size_t REQUEST_BUFFER_SIZE = 16384;
inline constexpr size_t BODY_SLACK = 512;
inline constexpr size_t BODY_ARGUMENT_LIMIT = 16383;  // a body given on the command line
inline constexpr int BODY_READ_CALLS = 200;
inline constexpr size_t CONTENT_LENGTH_DIGITS = 19;   // characters of CONTENT_LENGTH looked at
inline constexpr uint32_t REFERENCE_TABLE_CAPACITY = 1024;
inline constexpr size_t TOKEN_BUFFER_SIZE = 1024;     // identifier, a gap of 6, the token
inline constexpr size_t TOKEN_GAP = 6;
inline constexpr size_t TOKEN_TEXT_SIZE = 2048;       // room for token_text of any identifier that fits
inline constexpr size_t TOKEN_IDENTIFIER_SIZE = 96;   // a new identifier: key, 8 characters, 8 hex digits
inline constexpr size_t SIGNED_TOKEN_LENGTH = 69;     // 64 hex digits of the signature, t as "%05d"
inline constexpr uint32_t TOKEN_TIME_MODULUS = 65536;

constexpr char RESPONSE_HEADER[] = "Content-type: text/plane;charset=UTF-8\n\n";

// A nested array, keyed array or object of the current A record, waiting
// for the reference item that places it.
struct ReferenceEntry {
    uint32_t number;
    Value value;  // a temporary until a reference takes it
};

struct RequestState {
    char* body;              // NUL-terminated at body[length]
    size_t length;
    char* heap_body;         // set when the body did not fit the own buffer
    bool no_module_fetch;    // L record: modules never come from the debugger

    // Q record: the identifier at token_buffer[0], the token TOKEN_GAP bytes
    // after the identifier's end.
    bool has_token;
    char token_buffer[TOKEN_BUFFER_SIZE];
    size_t token_id_length;
    size_t token_length;

    bool accepted;  // the access check let the request in
    bool refused;   // 1775, and the run's 1800 / 1805: the token frame says NG

    ReferenceEntry references[REFERENCE_TABLE_CAPACITY];
    uint32_t reference_count;

    char buffer[REQUEST_BUFFER_SIZE];
};

extern RequestState g_request;

void request_reset();

// CGI mode. Without command-line arguments: reads CONTENT_LENGTH bytes
// from standard input (a malformed length or a short body ends the process
// through fatal_error) and writes the response header. With arguments: the
// first one is the body, and no header is written.
void read_request_body();

// Decodes the records of body[0, length) in order, in place (body[length]
// must be NUL). Errors are runtime errors 1500-1750, parse errors 1170 and
// 1175 for module names.
void decode_request(char* body, size_t length);

// After the last record: binds the command-line variables, or checks the
// token; runtime error 1775 when refused or expired.
void check_access();

// "X" and two text items: a fresh identifier and its token for an accepted
// run, "NG" twice for a refused one; nothing when neither TOKEN_KEY nor a
// positive TIME_INTERVAL is configured.
void write_token_frame();

struct IssuedToken {
    char identifier[TOKEN_IDENTIFIER_SIZE];
    size_t identifier_length;
    char token[TOKEN_TEXT_SIZE];
    size_t token_length;
};

// A new identifier and its token for the client address `octets` at `now`
// (seconds since 1970), made as TOKEN_SIGNING says: what the token frame
// sends and what a sign-in program hands to the front end.
void issue_token(int64_t now, const uint8_t octets[4], IssuedToken& out);

// The legacy token of `text` (the identifier) at time t for the client
// address `octets`: keyless, drawn from the shared generator. Writes at most
// TOKEN_TEXT_SIZE - 1 bytes and a NUL, returns the length.
size_t token_text(const char* text, size_t length, int32_t t, const uint8_t octets[4], char* out);

// The signed token of an identifier at time t for the client address: the
// HMAC-SHA256 keyed with `key` of identifier + "|" + t as "%05d" + "|" +
// the dotted address, as 64 lower-case hexadecimal digits, then t as
// "%05d" (SIGNED_TOKEN_LENGTH bytes for any t of five characters). `out`
// holds at least TOKEN_TEXT_SIZE bytes; returns the length.
size_t signed_token_text(const char* identifier, size_t length, int32_t t, const uint8_t octets[4], const char* key,
                         size_t key_length, char* out);

// The identifier of a new token: `key` (empty for signed tokens), 8
// characters drawn from the time and the client address, the low 32 bits of
// `now` in hexadecimal. `out` holds at least key_length + 17 bytes; returns
// the length.
size_t token_identifier(const char* key, size_t key_length, int64_t now, const uint8_t octets[4], char* out);

}  // namespace kova
