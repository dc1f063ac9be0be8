// Socket calls that are not one connection's: waiting on several descriptors at once, waking such a
// wait, and the options and names of a descriptor handed over by the bridge. With connection.h the
// only place in the library that makes socket calls. Internal header.
#ifndef ZEL_PROTOCOL_SOCKET_OPS_H
#define ZEL_PROTOCOL_SOCKET_OPS_H

#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace zel {
namespace net {

// poll() until something is ready or `timeout_ms` passed (negative: no limit), interruptions retried
// with the time left. The number of ready descriptors, 0 on time-out, negative on failure.
int poll_fds(pollfd* fds, int count, int timeout_ms);

// "a.b.c.d:port" of the peer of `fd`, "" when it cannot be told.
std::string peer_of(int fd);
// "a.b.c.d:port" of an IPv4 address, "" for another family.
std::string address_text(const sockaddr_in& address);

// Whether `address` (host order) is this machine's: loopback, or one of its interfaces' addresses.
bool is_own_address(uint32_t address);

// Bounds each later read of `fd` (seconds; 0 removes the bound).
void set_receive_timeout(int fd, double seconds);

// A descriptor that one thread polls and others make readable, to end its wait early. Owned by the
// waiting side; wake() may be called from any thread.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;

    int fd() const { return m_fd; }
    bool usable() const { return m_fd >= 0; }
    void wake();
    // Takes the wake-ups so far; the descriptor is quiet again until the next wake().
    void clear();
    // The same, only when a wake() may not have been taken yet: for a waker used again by another
    // waiting side once no thread can wake it for the last one.
    void quiet();

private:
    int m_fd;
    std::atomic<bool> m_pending{false};  // a wake() since the last clear() began
};

}  // namespace net
}  // namespace zel

#endif
