#include "net/socket.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tqr {
namespace net {

namespace {

long moved(long n, bool nonblocking) {
    if (n >= 0) return n;
    return errno == EINTR || (nonblocking && errno == EAGAIN) ? kRetry : -1;
}

}  // namespace

long send_bytes(int fd, const void* data, size_t size, bool nonblocking) {
    long n = ::send(fd, data, size, MSG_NOSIGNAL | (nonblocking ? MSG_DONTWAIT : 0));
    return moved(n, nonblocking);
}

long recv_bytes(int fd, void* data, size_t size, bool nonblocking) {
    return moved(::recv(fd, data, size, nonblocking ? MSG_DONTWAIT : 0), nonblocking);
}

int wait_one(int fd, bool writable, int timeout_ms) {
    pollfd ready{fd, static_cast<short>(writable ? POLLOUT : POLLIN), 0};
    int polled = ::poll(&ready, 1, timeout_ms);
    if (polled < 0) return errno == EINTR ? kRetry : -1;
    return polled > 0 ? 1 : 0;
}

int wait_any(pollfd* fds, size_t count, int timeout_ms) {
    return ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
}

void bound_io(int fd, int seconds) {
    timeval limit{};
    limit.tv_sec = seconds;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

void end_writing(int fd) { ::shutdown(fd, SHUT_WR); }

void end_both(int fd) { ::shutdown(fd, SHUT_RDWR); }

bool peer_address(int fd, sockaddr_in* peer) {
    *peer = sockaddr_in{};
    socklen_t length = sizeof *peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(peer), &length) == 0 && peer->sin_family == AF_INET;
}

bool local_address(int fd, sockaddr_in* local) {
    *local = sockaddr_in{};
    socklen_t length = sizeof *local;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(local), &length) == 0 && local->sin_family == AF_INET;
}

int listen_on(const addrinfo& at, int backlog) {
    int fd = ::socket(at.ai_family, at.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at.ai_protocol);
    if (fd < 0) return -1;
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, at.ai_addr, at.ai_addrlen) == 0 && ::listen(fd, backlog) == 0) return fd;
    close(fd);
    return -1;
}

bool port_bindable(int port) {
    int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    int on = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool free_port = ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(sock);
    return free_port;
}

int accept_client(int listen_fd, sockaddr_storage* peer) {
    *peer = sockaddr_storage{};
    socklen_t size = sizeof *peer;
    int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE)) return kOutOfDescriptors;
    return fd < 0 ? -1 : fd;
}

void shed_client(int listen_fd) {
    int shed = ::accept(listen_fd, nullptr, nullptr);
    if (shed >= 0) close(shed);
}

}  // namespace net
}  // namespace tqr
