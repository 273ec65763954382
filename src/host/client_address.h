// The address of the request's client, from the web server's environment.
#pragma once

#include <cstdint>

namespace kova {

// Reads a dotted address of four decimal numbers 0-255 filling the whole
// text; false (octets untouched) for anything else.
bool parse_ipv4(const char* text, uint8_t octets[4]);
// The first entry of a comma-separated list of addresses (a forwarded-for
// header), without blanks around it; "::1" counts as 127.0.0.1. False
// (octets untouched) when that entry is not a dotted address.
bool parse_forwarded_address(const char* list, uint8_t octets[4]);
// HTTP_X_FORWARDED_FOR's first entry if set and not empty, else
// REMOTE_ADDR; "::1" counts as 127.0.0.1. Fills g_host.client and
// g_host.client_known.
void read_client_address();

}  // namespace kova
