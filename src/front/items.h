// The self-delimiting items that every frame is made of: number fields,
// text items (percent-encoded when needed), integer and float items.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kova {

// "0" + k, then the k digits of n.
void append_number_field(std::string& out, uint64_t n);
// A number field of the payload length, then the payload. Every byte other
// than ASCII letters, digits and ";,/?:@&=+$-_.*'()#" is written as "%XX";
// when any byte was encoded the field starts with "A" + k instead of "0" + k.
void append_text_item(std::string& out, const char* text, size_t length);
// A number field of the length, then the text unencoded (fatal records).
void append_plain_item(std::string& out, const char* text, size_t length);
// "N" + length of the decimal text, then the text.
void append_integer_item(std::string& out, int32_t n);
// "a" + length of the "%g" text, then the text.
void append_float_item(std::string& out, double x);

}  // namespace kova
