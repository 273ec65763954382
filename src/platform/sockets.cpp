// TCP sockets for the debugger connection. Only the debugging build has a
// debugger: the other build compiles none of this.
#if KOVA_DEBUGGER
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace kova::platform {

namespace {

int poll_for(int fd, short events, int timeout_ms) {
    struct pollfd p {fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return rc < 0 ? -1 : 0;
    if ((p.revents & events) != 0) return 1;
    return -1;  // only an error or a hang-up was reported
}

long moved(ssize_t n) {
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? SOCKET_WOULD_BLOCK : -1;
}

}  // namespace

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
            int error = 0;
            socklen_t length = sizeof error;
            if (poll_for(fd, POLLOUT, timeout_ms) == 1 &&
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
                rc = 0;
            }
        }
        if (rc == 0) {
            ::fcntl(fd, F_SETFL, flags);
            // Messages are small and each waits for its acknowledgement:
            // they must not wait for the previous segment's.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            result = fd;
        } else {
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    return result;
}

int socket_wait_readable(int fd, int timeout_ms) {
    // A hang-up with data still buffered reads as readable: the data comes
    // first, then the receive that returns 0.
    struct pollfd p {fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return -1;
    if (rc == 0) return 0;
    return (p.revents & (POLLIN | POLLHUP)) != 0 ? 1 : -1;
}

int socket_wait_writable(int fd, int timeout_ms) { return poll_for(fd, POLLOUT, timeout_ms); }

long socket_send(int fd, const void* data, size_t size) {
    return moved(::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT));
}

long socket_receive(int fd, void* data, size_t size) { return moved(::recv(fd, data, size, MSG_DONTWAIT)); }

void socket_close(int fd) { ::close(fd); }

}  // namespace kova::platform
#endif
