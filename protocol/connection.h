// Connection: one TCP socket over IPv4, as a client end, a listening end, or an accepted peer. It
// moves raw bytes and knows nothing of messages. With socket_ops.h it is the only place in the
// library that makes socket calls; errno is sorted here.
//
// Ownership: whoever creates a Connection deletes it. It owns its connected socket (m_fd) and closes
// it in Close() and in its destructor; it never closes a listening socket that it adopted (m_sock may
// be shared with other connections), only one that it made itself (close_listener()).
//
// Threads: no lock. One thread may block in recv() while another calls send() (callers serialise
// their writes), shutdown() or Close(): both wake the blocked recv(), and Close() leaves the closing of
// the descriptor to the last call still under way on it, so that its number never passes to a new
// descriptor while another thread is about to use it.
#ifndef ZEL_PROTOCOL_CONNECTION_H
#define ZEL_PROTOCOL_CONNECTION_H

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "common/export.h"

class Connection {
public:
    Connection();
    explicit Connection(int fd);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // 1 connected, 0 failed (host that does not resolve, no socket, connect refused). Never ends the
    // process. `sndbuf` is replaced by TQR_SO_SNDBUF where that is set; no socket option is made of it.
    int connect(int port, const char* host, int sndbuf);
    // existing == 0: a new socket bound to `port_or_fd` on all interfaces (5 bind attempts);
    // otherwise adopts `port_or_fd` as a listening socket. The listening descriptor, or 0.
    int listen(int port_or_fd, int backlog, int existing);
    // As listen(port, backlog, 0), but the new socket sets SO_REUSEADDR, so that a port whose last
    // connection lingers in TIME_WAIT can be listened on again. A port that another socket listens on
    // still fails. With `nonblocking` the socket is made for accept_waiting() alone, which then
    // needs no call of its own to make it so; accept() and accept_peer() would not wait on it.
    int listen_reusable(int port, int backlog, bool nonblocking);
    // Waits for one peer on the listening socket. The connected descriptor (a duplicate of the one the
    // kernel returned, which is closed), also kept in m_fd; 0 on failure. Both arguments are ignored.
    int accept(int a, int b);
    // Where an accepted peer came from, as accept told it: kept as numbers, since it is rarely shown.
    struct Peer {
        uint32_t address = 0;  // IPv4, host order
        int port = 0;          // 0: not known
    };
    // "a.b.c.d:port" of `peer`, "" when it is not known.
    static std::string peer_text(const Peer& peer);

    // accept() without waiting: the connected descriptor, 0 when no peer is waiting or on failure.
    int accept_waiting(Peer* peer = nullptr);
    // Waits for one peer on the listening socket and gives its descriptor away (0 on failure, and once
    // shutdown_listener() was called): m_fd is left alone, so that several threads may wait at once.
    int accept_peer(Peer* peer = nullptr);
    // One write of `len` bytes; never raises SIGPIPE. The platform's result (negative on failure).
    int send(const char* buf, int len);
    // One read of at most `len` bytes: > 0 bytes read, 0 the peer closed, < 0 failed (also when the
    // connection holds no socket). An interrupted read is read again.
    int recv(char* buf, int len);
    // Shuts the connected socket down (waking any blocked recv) and forgets it; its descriptor is
    // closed once no send() or recv() is under way on it. Returns 0.
    ZEL_API int Close();
    int fd() const { return m_fd.load(); }

    // Shuts the connected socket down without forgetting it: a blocked recv() returns, and the reading
    // thread closes the descriptor when it is done.
    void shutdown();
    // Wakes a thread waiting for a peer on this connection's listening socket; later waits fail.
    void shutdown_listener();
    // Closes the connection's own listening socket, if listen() made one here. Returns 0.
    int close_listener();
    // Forgets the connected socket without closing it: another owner has taken it over.
    void release() { m_fd.store(0); }

    // Waits at most `timeout_ms` (negative: no limit) for the connected socket to be readable or to
    // end. false on time-out.
    bool wait_readable(int timeout_ms);
    // Bounds each later write (seconds; 0 removes the bound).
    void set_send_timeout(int seconds);
    // "a.b.c.d:port" of the peer of the connected socket, "" when it cannot be told.
    std::string peer() const;
    // The peer as accept told it, so that peer() still names a peer that has reset the link since.
    // Before the connection is shared with another thread.
    void remember_peer(const Peer& peer) { m_peer = peer; }
    // The remembered peer's IPv4 address (host order), 0 when none was remembered.
    uint32_t peer_address() const { return m_peer.address; }

    // The connected socket; 0 means none.
    std::atomic<int> m_fd;
    // The socket made by connect() or listen(), or adopted by listen(). Never closed here, except by
    // close_listener() for a socket this connection made itself.
    int m_sock;

private:
    int open_listener(int port_or_fd, int backlog, bool existing, bool reuse, bool nonblocking = false);
    int adopt_accepted(int accepted);
    // The accepted descriptor made ready for a link (never 0, TCP_NODELAY), or 0.
    static int ready_accepted(int accepted);
    // A send() or recv() is leaving: the last one closes a descriptor that Close() left to it.
    void leave_call();

    Peer m_peer;  // remember_peer()'s; port 0 when the socket is to be asked
    bool m_own_listener = false;
    bool m_listener_nonblocking = false;  // the listening socket was made non-blocking, at its start or since
    // send() and recv() calls under way, and the descriptor that Close() could not close yet because
    // one was. Sequentially consistent: Close() either sees a call's count or the call sees m_fd 0.
    std::atomic<int> m_in_flight{0};
    std::atomic<int> m_closing_fd{0};
};

#endif
