// The client address.
#include "host/client_address.h"

#include <cstring>

#include "host/host.h"
#include "platform/platform.h"

namespace kova {

bool parse_ipv4(const char* text, uint8_t octets[4]) {
    uint8_t read[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (*p != '.') return false;
            ++p;
        }
        if (*p < '0' || *p > '9') return false;
        unsigned n = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            n = n * 10 + static_cast<unsigned>(*p - '0');
            if (++digits > 3 || n > 255) return false;
            ++p;
        }
        read[i] = static_cast<uint8_t>(n);
    }
    if (*p != '\0') return false;
    std::memcpy(octets, read, 4);
    return true;
}

namespace {

// "::1" is the loopback address as an IPv6 server reports it.
bool parse_client_text(const char* text, uint8_t octets[4]) {
    return parse_ipv4(std::strcmp(text, "::1") == 0 ? "127.0.0.1" : text, octets);
}

}  // namespace

bool parse_forwarded_address(const char* list, uint8_t octets[4]) {
    const char* end = std::strchr(list, ',');
    if (end == nullptr) end = list + std::strlen(list);
    while (list < end && (*list == ' ' || *list == '\t')) ++list;
    while (end > list && (end[-1] == ' ' || end[-1] == '\t')) --end;
    const size_t length = static_cast<size_t>(end - list);
    char first[64];
    if (length >= sizeof first) return false;  // too long to be an address
    std::memcpy(first, list, length);
    first[length] = '\0';
    return parse_client_text(first, octets);
}

void read_client_address() {
    std::memset(g_host.client, 0, sizeof g_host.client);
    g_host.client_known = false;
    const char* forwarded = platform::env_get("HTTP_X_FORWARDED_FOR");
    if (forwarded != nullptr && *forwarded != '\0') {
        g_host.client_known = parse_forwarded_address(forwarded, g_host.client);
        return;
    }
    const char* remote = platform::env_get("REMOTE_ADDR");
    if (remote != nullptr && *remote != '\0') g_host.client_known = parse_client_text(remote, g_host.client);
}

}  // namespace kova
