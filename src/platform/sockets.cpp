// TCP sockets for the debugger connection.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace kova::platform {

int socket_connect(const char* host, const char* port, int timeout_ms) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (::getaddrinfo(host, port, &hints, &found) != 0) return -1;
    int result = -1;
    for (struct addrinfo* a = found; a != nullptr && result < 0; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int flags = ::fcntl(fd, F_GETFL, 0);
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            struct pollfd p {fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            if (::poll(&p, 1, timeout_ms) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                error == 0) {
                rc = 0;
            }
        }
        if (rc == 0) {
            ::fcntl(fd, F_SETFL, flags);
            result = fd;
        } else {
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    return result;
}

int socket_wait_readable(int fd, int timeout_ms) {
    struct pollfd p {fd, POLLIN, 0};
    int rc = ::poll(&p, 1, timeout_ms);
    return rc < 0 ? -1 : rc;
}

long socket_send(int fd, const void* data, size_t size) { return ::send(fd, data, size, MSG_NOSIGNAL); }

long socket_receive(int fd, void* data, size_t size) { return ::recv(fd, data, size, 0); }

void socket_close(int fd) { ::close(fd); }

}  // namespace kova::platform
