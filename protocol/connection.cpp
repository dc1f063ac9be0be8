#include "protocol/connection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/zel_common.h"

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
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
    *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

// Counts one send or recv under way on a connection while it lives.
class InFlight {
public:
    explicit InFlight(std::atomic<int>& count) : m_count(count) { m_count.fetch_add(1); }
    ~InFlight() { m_count.fetch_sub(1); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

private:
    std::atomic<int>& m_count;
};

}  // namespace

Connection::Connection() : m_fd(0), m_sock(0) {}

Connection::Connection(int fd) : m_fd(fd), m_sock(0) {}

Connection::~Connection() {
    int fd = m_fd.exchange(0);
    if (fd != 0) ::close(fd);
}

int Connection::connect(int port, const char* host, int sndbuf) {
    in_addr address{};
    if (host == nullptr || !resolve_ipv4(host, &address)) {
        fprintf(stderr, "TQR: unable to resolve host, gethostbyname(%s) failed\n", host ? host : "(null)");
        return 0;
    }
    if (const char* setting = getenv("TQR_SO_SNDBUF")) sndbuf = atoi(setting);
    // The send-buffer size stays advisory: the kernel's own tuning serves these short texts better.
    (void)sndbuf;

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    peer.sin_addr = address;

    m_sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_sock < 0) return 0;
    zel_inform(stderr, "socket successful, returned socket %d\n", m_sock);

    int rc;
    do {
        rc = ::connect(m_sock, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        zel_inform(stderr, "connection to host %s failed\n", host);
        close_quietly(m_sock);
        m_sock = 0;
        return 0;
    }
    m_fd.store(m_sock, std::memory_order_release);

    linger zero_linger{};
    zero_linger.l_onoff = 1;
    zero_linger.l_linger = 0;
    setsockopt(m_sock, SOL_SOCKET, SO_LINGER, &zero_linger, sizeof zero_linger);
    int off = 0;
    setsockopt(m_sock, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
    int on = 1;
    setsockopt(m_sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

    zel_inform(stderr, "caller connects!!!!!!!!!!!\n");
    return 1;
}

int Connection::listen(int port_or_fd, int backlog, int existing) {
    return open_listener(port_or_fd, backlog, existing != 0, false);
}

int Connection::listen_reusable(int port, int backlog) { return open_listener(port, backlog, false, true); }

int Connection::open_listener(int port_or_fd, int backlog, bool existing, bool reuse) {
    if (!existing) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(static_cast<uint16_t>(port_or_fd));
        int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sock < 0) return 0;
        if (reuse) {
            int on = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        }
        bool bound = false;
        for (int attempt = 0; attempt < 5 && !bound; ++attempt)
            bound = ::bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        if (!bound) {
            close_quietly(sock);
            return 0;
        }
        m_sock = sock;
        m_own_listener = true;
    } else {
        m_sock = port_or_fd;
        m_own_listener = false;
    }
    // A connected socket held until now is dropped, not closed: it may belong to another owner.
    m_fd.store(0, std::memory_order_release);
    if (::listen(m_sock, backlog) < 0) {
        if (m_own_listener) close_listener();
        return 0;
    }
    zel_inform(stderr, "connection::listen successful\n");
    return m_sock;
}

int Connection::accept(int, int) {
    zel_inform(stderr, "calling accept with sock=%d\n", m_sock);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int accepted;
    do {
        accepted = ::accept4(m_sock, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted < 0) {
        zel_inform(stderr, "accept failure\n");
        m_fd.store(0, std::memory_order_release);
        return 0;
    }
    int duplicate = ::fcntl(accepted, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) {
        zel_inform(stderr, "dup failure\n");
        close_quietly(accepted);
        m_fd.store(0, std::memory_order_release);
        return 0;
    }
    zel_inform(stderr, "accept resulted in m_fd=%d newfd=%d\n", accepted, duplicate);
    ::close(accepted);
    m_fd.store(duplicate, std::memory_order_release);
    return duplicate;
}

int Connection::send(const char* buf, int len) {
    // Counted before the descriptor is read (both sequentially consistent): Close() either sees the
    // count or this read sees 0.
    InFlight busy(m_in_flight);
    int fd = m_fd.load();
    int rc;
    do {
        rc = static_cast<int>(::send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL));
    } while (rc < 0 && errno == EINTR);
    zel_inform(stderr, "wrote %d bytes to %d of %s\n", len, fd, buf);
    return rc;
}

int Connection::recv(char* buf, int len) {
    InFlight busy(m_in_flight);
    int fd = m_fd.load();
    if (fd == 0) {
        errno = EBADF;
        return -1;
    }
    return static_cast<int>(::recv(fd, buf, static_cast<size_t>(len), 0));
}

int Connection::Close() {
    int fd = m_fd.exchange(0);
    if (fd != 0) {
        ::shutdown(fd, SHUT_RDWR);
        // A call that read the descriptor before the exchange returns at once on the shut-down socket.
        while (m_in_flight.load() != 0) sched_yield();
        ::close(fd);
    }
    return 0;
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
