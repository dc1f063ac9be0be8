#include "protocol/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/settings.h"
#include "protocol/socket_ops.h"

namespace {

// Closes a descriptor that a failed step leaves behind, keeping errno for the caller.
void close_quietly(int fd) {
    if (fd <= 0) return;
    int saved = errno;
    ::close(fd);
    errno = saved;
}

// The first IPv4 address of `host`, through the thread-safe resolver. false when it does not resolve.
bool resolve_ipv4(const char* host, in_addr* out) {
    // A dotted quad, as parties are mostly given, is read without the resolver's machinery; the
    // resolver reads it the same way.
    if (inet_pton(AF_INET, host, out) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    sockaddr_in address{};
    memcpy(&address, found->ai_addr, sizeof address);
    *out = address.sin_addr;
    freeaddrinfo(found);
    return true;
}

sockaddr_in ipv4_address(in_addr host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr = host;
    return address;
}

// The socket calls take the generic address type.
sockaddr* generic(sockaddr_in* address) { return static_cast<sockaddr*>(static_cast<void*>(address)); }

template <typename Option>
void set_option(int fd, int level, int name, const Option& value) {
    setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

Connection::Connection() : m_fd(0), m_sock(0) {}

Connection::Connection(int fd) : m_fd(fd), m_sock(0) {}

Connection::~Connection() {
    int fd = m_fd.exchange(0);
    if (fd != 0) ::close(fd);
    if (int left = m_closing_fd.exchange(0)) ::close(left);
}

int Connection::connect(int port, const char* host, int sndbuf) {
    in_addr address{};
    if (host == nullptr || !resolve_ipv4(host, &address)) {
        zel_error("TQR: unable to resolve host, gethostbyname(%s) failed\n", host ? host : "(null)");
        return 0;
    }
    if (zel::settings().so_sndbuf != 0) sndbuf = zel::settings().so_sndbuf;
    (void)sndbuf;

    m_sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_sock < 0) return 0;
    zel_inform(stderr, "socket successful, returned socket %d\n", m_sock);

    sockaddr_in peer = ipv4_address(address, port);
    int rc;
    do {
        rc = ::connect(m_sock, generic(&peer), sizeof peer);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        zel_inform(stderr, "connection to host %s failed\n", host);
        close_quietly(m_sock);
        m_sock = 0;
        return 0;
    }
    m_fd.store(m_sock);

    linger zero_linger{};
    zero_linger.l_onoff = 1;
    zero_linger.l_linger = 0;
    set_option(m_sock, SOL_SOCKET, SO_LINGER, zero_linger);
    set_option(m_sock, SOL_SOCKET, SO_REUSEADDR, 0);
    set_option(m_sock, IPPROTO_TCP, TCP_NODELAY, 1);

    zel_inform(stderr, "caller connects!!!!!!!!!!!\n");
    return 1;
}

int Connection::listen(int port_or_fd, int backlog, int existing) {
    return open_listener(port_or_fd, backlog, existing != 0, false);
}

int Connection::listen_reusable(int port, int backlog, bool nonblocking) {
    return open_listener(port, backlog, false, true, nonblocking);
}

int Connection::open_listener(int port_or_fd, int backlog, bool existing, bool reuse, bool nonblocking) {
    if (!existing) {
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        sockaddr_in local = ipv4_address(any, port_or_fd);
        int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
        if (sock < 0) return 0;
        if (reuse) set_option(sock, SOL_SOCKET, SO_REUSEADDR, 1);
        bool bound = false;
        for (int attempt = 0; attempt < 5 && !bound; ++attempt) bound = ::bind(sock, generic(&local), sizeof local) == 0;
        if (!bound) {
            close_quietly(sock);
            return 0;
        }
        m_sock = sock;
        m_own_listener = true;
        m_listener_nonblocking = nonblocking;
    } else {
        m_sock = port_or_fd;
        m_own_listener = false;
    }
    // A connected socket held until now is dropped, not closed: it may belong to another owner.
    m_fd.store(0);
    if (::listen(m_sock, backlog) < 0) {
        if (m_own_listener) close_listener();
        return 0;
    }
    zel_inform(stderr, "connection::listen successful\n");
    return m_sock;
}

int Connection::accept(int, int) {
    zel_inform(stderr, "calling accept with sock=%d\n", m_sock);
    int ready = accept_peer();
    m_fd.store(ready);
    return ready;
}

namespace {

Connection::Peer peer_of_address(const sockaddr_in& address) {
    Connection::Peer peer;
    if (address.sin_family == AF_INET) {
        peer.address = ntohl(address.sin_addr.s_addr);
        peer.port = ntohs(address.sin_port);
    }
    return peer;
}

}  // namespace

std::string Connection::peer_text(const Peer& peer) {
    if (peer.port == 0) return std::string();
    sockaddr_in address = ipv4_address(in_addr{htonl(peer.address)}, peer.port);
    return zel::net::address_text(address);
}

int Connection::accept_waiting(Peer* from) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    // The listening socket does not block (set once); the peer's socket does, as the bridge promises
    // its host: accept4 gives it no O_NONBLOCK of its own.
    if (!m_listener_nonblocking) {
        fcntl(m_sock, F_SETFL, fcntl(m_sock, F_GETFL) | O_NONBLOCK);
        m_listener_nonblocking = true;
    }
    int accepted;
    do {
        accepted = ::accept4(m_sock, generic(&peer), &length, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (from != nullptr && accepted >= 0) *from = peer_of_address(peer);
    return adopt_accepted(accepted);
}

int Connection::accept_peer(Peer* from) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int accepted;
    do {
        accepted = ::accept4(m_sock, generic(&peer), &length, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (from != nullptr && accepted >= 0) *from = peer_of_address(peer);
    return ready_accepted(accepted);
}

int Connection::adopt_accepted(int accepted) {
    int ready = ready_accepted(accepted);
    m_fd.store(ready);
    return ready;
}

int Connection::ready_accepted(int accepted) {
    if (accepted < 0) {
        int saved = errno;  // the caller sorts a shortage of descriptors from a peer that went
        zel_inform(stderr, "accept failure\n");
        errno = saved;
        return 0;
    }
    // Descriptor 0 means "no link" here: only a process without standard input is given it, and
    // then it moves up; any other number is kept, a copy and a close saved per party.
    int duplicate = accepted;
    if (accepted == 0) {
        duplicate = ::fcntl(accepted, F_DUPFD_CLOEXEC, 1);
        if (duplicate < 0) {
            zel_inform(stderr, "dup failure\n");
            close_quietly(accepted);
            return 0;
        }
        ::close(accepted);
    }
    zel_inform(stderr, "accept resulted in m_fd=%d newfd=%d\n", accepted, duplicate);
    // Short messages go at once: a small write left for the peer's delayed ACK stalls a rendezvous,
    // and the direct link handed to the host, by 40 ms.
    set_option(duplicate, IPPROTO_TCP, TCP_NODELAY, 1);
    return duplicate;
}

int Connection::send(const char* buf, int len) {
    m_in_flight.fetch_add(1);
    int fd = m_fd.load();
    int rc;
    do {
        rc = static_cast<int>(::send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL));
    } while (rc < 0 && errno == EINTR);
    int saved = errno;
    leave_call();
    zel_inform(stderr, "wrote %d bytes to %d of %s\n", len, fd, buf);
    errno = saved;
    return rc;
}

int Connection::recv(char* buf, int len) {
    m_in_flight.fetch_add(1);
    int fd = m_fd.load();
    int rc = -1;
    if (fd == 0) {
        errno = EBADF;
    } else {
        do {
            rc = static_cast<int>(::recv(fd, buf, static_cast<size_t>(len), 0));
        } while (rc < 0 && errno == EINTR && m_fd.load() == fd);
    }
    int saved = errno;
    leave_call();
    errno = saved;
    return rc;
}

void Connection::leave_call() {
    if (m_in_flight.fetch_sub(1) == 1) {
        if (int fd = m_closing_fd.exchange(0)) ::close(fd);
    }
}

int Connection::Close() {
    int fd = m_fd.exchange(0);
    if (fd == 0) return 0;
    ::shutdown(fd, SHUT_RDWR);
    m_closing_fd.store(fd);
    // A call that read the descriptor before the exchange returns at once on the shut-down socket;
    // whichever of us is last closes it.
    if (m_in_flight.load() == 0) {
        if (int left = m_closing_fd.exchange(0)) ::close(left);
    }
    return 0;
}

void Connection::shutdown() {
    // Counted as a call in flight, so that a Close() on another thread meanwhile leaves the number
    // open until this is done: it never shuts down a descriptor that went to another socket.
    m_in_flight.fetch_add(1);
    if (int fd = m_fd.load()) ::shutdown(fd, SHUT_RDWR);
    leave_call();
}

void Connection::shutdown_listener() {
    if (m_sock > 0) ::shutdown(m_sock, SHUT_RDWR);
}

int Connection::close_listener() {
    if (m_own_listener && m_sock > 0) {
        ::shutdown(m_sock, SHUT_RDWR);
        ::close(m_sock);
    }
    m_sock = 0;
    m_own_listener = false;
    return 0;
}

bool Connection::wait_readable(int timeout_ms) {
    pollfd ready{m_fd.load(), POLLIN, 0};
    return zel::net::poll_fds(&ready, 1, timeout_ms) > 0;
}

void Connection::set_send_timeout(int seconds) {
    timeval limit{};
    limit.tv_sec = seconds;
    set_option(m_fd.load(), SOL_SOCKET, SO_SNDTIMEO, limit);
}

std::string Connection::peer() const { return m_peer.port == 0 ? zel::net::peer_of(m_fd.load()) : peer_text(m_peer); }
