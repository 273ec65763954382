// Compiled modules: relocatable images of the cells, permanent-area blocks
// and names that parsing a module produced. Loading copies them into fresh
// cell pages and blocks and patches the references inside.
//
// Image layout (little-endian 32-bit words): body length B, stored length S
// (S == B: plain body; else a zero-suppressed body of S bytes), then the
// body: sections of (code, count word, data), ended by 0xFFFFFFFF or by B
// bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "parser/parser.h"

namespace kova {

inline constexpr uint32_t SECTION_END = 0xFFFFFFFF;
inline constexpr uint32_t SECTION_CELLS = 0x01000100;
inline constexpr uint32_t SECTION_BLOCKS = 0x01000200;
inline constexpr uint32_t SECTION_NAMES = 0x01000300;
inline constexpr uint32_t SECTION_GLOBALS = 0x01000400;
inline constexpr uint32_t SECTION_CELL_NAMES = 0x01000500;
inline constexpr uint32_t SECTION_CELL_CELLS = 0x01000600;
inline constexpr uint32_t SECTION_CELL_BLOCKS = 0x01000700;
inline constexpr uint32_t SECTION_BLOCK_NAMES = 0x01000800;
inline constexpr uint32_t SECTION_BLOCK_CELLS = 0x01000900;
inline constexpr uint32_t SECTION_BLOCK_BLOCKS = 0x01000A00;
inline constexpr uint32_t SECTION_STATEMENTS = 0x01000B00;

inline constexpr uint32_t COMPILED_PAGE_LIMIT = 4094;
inline constexpr uint32_t COMPILED_BLOCK_LIMIT = 1022;
inline constexpr size_t EXPANSION_SLACK = 512;

// The buffer that compressed bodies expand into, reused and enlarged.
struct CompiledModuleState {
    uint8_t* body;
    size_t size;
};
extern CompiledModuleState g_compiled;

void compiled_module_reset();

// Loads an image of `length` bytes for module g_parser.module and appends
// its statements to `list`. Seals the areas before and after, so the image
// has pages and blocks of its own. A truncated or inconsistent image raises
// parse error 1165 with `path`; the area limits raise runtime error 1435.
void load_compiled_module(const uint8_t* data, size_t length, StatementList* list, const char* path);

// Expands a zero-suppressed body into out[0, out_size). Returns the bytes
// produced, or -1 when the stream is malformed or would not fit.
int64_t expand_body(const uint8_t* stored, size_t stored_length, uint8_t* out, size_t out_size);

}  // namespace kova
