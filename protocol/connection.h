// Connection: one TCP socket over IPv4, as a client end, a listening end, or an accepted peer. It
// moves raw bytes and knows nothing of messages. It is the only place in the library that makes raw
// socket calls.
//
// Ownership: whoever creates a Connection deletes it. It owns its connected socket (m_fd) and closes
// it in Close() and in its destructor; it never closes its listening socket (m_sock), which may be
// shared with other connections, so whoever wants to stop listening closes the descriptor that
// listen() returned (close_listener() does it for the connection's own).
//
// Threads: no lock. One thread may block in recv() while another calls send() (callers serialise
// their writes) or Close(): Close() shuts the socket down first, which wakes the blocked recv().
#ifndef ZEL_PROTOCOL_CONNECTION_H
#define ZEL_PROTOCOL_CONNECTION_H

#include <atomic>

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
    // still fails.
    int listen_reusable(int port, int backlog);
    // Waits for one peer on the listening socket. The connected descriptor (a duplicate of the one the
    // kernel returned, which is closed), also kept in m_fd; 0 on failure. Both arguments are ignored.
    int accept(int a, int b);
    // One write of `len` bytes; never raises SIGPIPE. The platform's result (negative on failure).
    int send(const char* buf, int len);
    // One read of at most `len` bytes: > 0 bytes read, 0 the peer closed, < 0 failed (also when the
    // connection holds no socket).
    int recv(char* buf, int len);
    // Shuts the connected socket down (waking any blocked recv), waits until no send() or recv() of
    // another thread is still under way on it, closes it, and forgets it. Returns 0.
    ZEL_API int Close();
    int fd() const { return m_fd.load(std::memory_order_acquire); }

    // Closes the connection's own listening socket, if listen() made one here. Returns 0.
    int close_listener();
    // Forgets the connected socket without closing it: another owner has taken it over.
    void release() { m_fd.store(0, std::memory_order_release); }

    // The connected socket; 0 means none. Atomic because Close() may run on another thread than a
    // blocked recv(), and must be the only one to close the descriptor.
    std::atomic<int> m_fd;
    // The socket made by connect() or listen(), or adopted by listen(). Never closed here, except by
    // close_listener() for a socket this connection made itself.
    int m_sock;

private:
    int open_listener(int port_or_fd, int backlog, bool existing, bool reuse);
    bool m_own_listener = false;
    // send() and recv() calls under way. Close() closes only once none is left, so that the number of
    // the closed descriptor cannot pass to a new one while another thread is about to use it.
    std::atomic<int> m_in_flight{0};
};

#endif
