#include "protocol/socket_ops.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "protocol/clock.h"

int zel::net::poll_fds(pollfd* fds, int count, int timeout_ms) {
    double until = timeout_ms < 0 ? 0 : zel::now() + timeout_ms / 1000.0;
    for (;;) {
        int ready = ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
        if (ready >= 0 || errno != EINTR) return ready;
        if (timeout_ms >= 0) {
            double left = until - zel::now();
            timeout_ms = left > 0 ? static_cast<int>(left * 1000.0) + 1 : 0;
        }
    }
}

std::string zel::net::address_text(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = "";
    if (address.sin_family != AF_INET || inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
        return std::string();
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string zel::net::peer_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (fd <= 0 || getpeername(fd, static_cast<sockaddr*>(static_cast<void*>(&address)), &length) != 0)
        return std::string();
    return address_text(address);
}

bool zel::net::is_own_address(uint32_t address) {
    if ((address >> 24) == 127) return true;
    // The machine's addresses can change while it runs; a sender's join is rare enough to ask each time.
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return false;
    bool own = false;
    for (ifaddrs* at = all; at != nullptr && !own; at = at->ifa_next) {
        if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
        const sockaddr_in* in = static_cast<const sockaddr_in*>(static_cast<const void*>(at->ifa_addr));
        own = ntohl(in->sin_addr.s_addr) == address;
    }
    freeifaddrs(all);
    return own;
}

void zel::net::set_receive_timeout(int fd, double seconds) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(seconds);
    limit.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(limit.tv_sec)) * 1e6);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

zel::net::Waker::Waker() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

zel::net::Waker::~Waker() {
    if (m_fd >= 0) ::close(m_fd);
}

void zel::net::Waker::wake() {
    m_pending.store(true);
    uint64_t one = 1;
    ssize_t ignored = ::write(m_fd, &one, sizeof one);
    (void)ignored;
}

void zel::net::Waker::clear() {
    // Before the read: a wake() that comes between is then taken by this read or the next.
    m_pending.store(false);
    uint64_t count;
    ssize_t ignored = ::read(m_fd, &count, sizeof count);
    (void)ignored;
}

void zel::net::Waker::quiet() {
    if (m_pending.load()) clear();
}
