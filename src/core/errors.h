// Numbered errors and their unwinding.
//
// A raised error composes its one-line text in the error buffer, appends it
// to the journal, builds an error object (tag 6) and unwinds with a C++
// exception to the nearest frame that takes it: a script `try` while the
// top function runs, else frame 0 (the host). Errors and `throw` are rare,
// so they use the exception; `break`, `continue` and `return` are frequent
// and travel as completion codes returned by the evaluator instead, at no
// unwinding cost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/value.h"

namespace kova {

inline constexpr size_t ERROR_TEXT_SIZE = 16384;
inline constexpr int FATAL_CODE = 8555;
inline constexpr int JOURNAL_FAILURE_CODE = 9999;

// Kinds of unwind frames (kept on a stack by the evaluator).
enum FrameKind : uint8_t { FRAME_LOOP = 1, FRAME_CALL = 2, FRAME_TAKES_ERRORS = 3, FRAME_SWITCH = 4 };

struct ErrorState {
    char text[ERROR_TEXT_SIZE];  // text of the error being raised
    size_t text_length;
    // where the evaluator is (the parser's place is in its own state)
    uint32_t module;
    uint16_t line;
    uint16_t column;
    bool running;    // the top function has been called
    bool caught;     // set when an unwind enters a script `try`
    // Set by a program that reports fatal errors its own way instead of the
    // S record on standard output (kova-token); it must not return.
    void (*fatal_handler)(const char* text);
};

extern ErrorState g_errors;

void errors_reset();

// The exception an error or a `throw` travels in. `value` is the error
// object (or the thrown value); `to_host` makes every script `try` let it
// pass, as for parse errors and errors raised before the top function runs.
//
// Ownership of the travelling value: the unwind itself holds one reference
// to it, taken by the `throw` or the raise, from that moment until the frame
// that consumes it. Popping the slots of the blocks and calls it leaves can
// therefore never free it, even when a local of the unwound code was its
// only other holder. The consumer takes that reference over:
// - a `catch` binds it: the catch variable's slot holds the reference;
// - a `try` without a `catch`, or whose `catch` threw, keeps it while its
//   `finally` block runs and throws it on with the same reference; when the
//   `finally` block ends in an exit or an exception of its own, the old
//   value's reference is released;
// - the host's frame 0 writes the error frame or line, then releases it.
// C++ copies of the exception object do not count: there is one logical
// unwind and one reference, whichever copy carries it.
struct ScriptUnwind {
    Value value;
    bool to_host;
};

[[noreturn]] void raise_runtime_error(int code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
[[noreturn]] void raise_parse_error(int code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
#if KOVA_DEBUGGER
// A runtime error that no script `try` takes: the debugger's user ended
// the run, and it must end.
[[noreturn]] void raise_run_ended(int code, const char* message);
#endif
// Writes the fatal S record (code 8555), the journal if configured, and ends
// the process with status 0; or hands the text to the fatal handler.
[[noreturn]] void fatal_error(const char* text);
// The debugging build shows an error text (console line or debugger
// message); the other build does nothing.
void report_error_text(const char* text);

// Builds an error object (count 0) with a numeric or string code.
Value new_error_object(ErrorCodeKind kind, const char* code, size_t code_length, const char* message,
                       size_t message_length);
const char* error_code_text(Value error, size_t* length);
const char* error_message_text(Value error, size_t* length);

}  // namespace kova
