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

void read_client_address() {
    char first[64];
    const char* source = nullptr;
    const char* forwarded = platform::env_get("HTTP_X_FORWARDED_FOR");
    if (forwarded != nullptr && *forwarded != '\0') {
        // The first entry of the list, without blanks around it.
        const char* end = std::strchr(forwarded, ',');
        if (end == nullptr) end = forwarded + std::strlen(forwarded);
        while (forwarded < end && (*forwarded == ' ' || *forwarded == '\t')) ++forwarded;
        while (end > forwarded && (end[-1] == ' ' || end[-1] == '\t')) --end;
        const size_t length = static_cast<size_t>(end - forwarded);
        if (length < sizeof first) {
            std::memcpy(first, forwarded, length);
            first[length] = '\0';
            source = first;
        } else {
            source = "";  // too long to be an address
        }
    } else {
        const char* remote = platform::env_get("REMOTE_ADDR");
        if (remote != nullptr && *remote != '\0') source = remote;
    }
    std::memset(g_host.client, 0, sizeof g_host.client);
    g_host.client_known = false;
    if (source == nullptr) return;
    if (std::strcmp(source, "::1") == 0) source = "127.0.0.1";
    g_host.client_known = parse_ipv4(source, g_host.client);
}

}  // namespace kova
