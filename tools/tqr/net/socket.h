// The tool's only raw socket calls. Each sorts errno into the few results its callers act on, so the
// rest of the tool reads results, not errno. Every call is safe from any thread on a descriptor that
// thread may use.
#ifndef ZEL_TOOLS_TQR_NET_SOCKET_H
#define ZEL_TOOLS_TQR_NET_SOCKET_H

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>

namespace tqr {
namespace net {

// A call that was interrupted by a signal, or that would have blocked in the nonblocking form:
// nothing happened, and the same call may be made again.
constexpr int kRetry = -2;
// accept_client: the process is out of descriptors while a client waits.
constexpr int kOutOfDescriptors = -3;

// Sends what fits of `data` (never SIGPIPE). `nonblocking` does not wait for room. The bytes sent
// (> 0), kRetry, or -1 when the link failed (a blocking send's SO_SNDTIMEO included).
long send_bytes(int fd, const void* data, size_t size, bool nonblocking);
// Receives what has come, at most `size` bytes. The bytes received (> 0), 0 when the peer ended,
// kRetry, or -1 when the link failed (a blocking receive's SO_RCVTIMEO included).
long recv_bytes(int fd, void* data, size_t size, bool nonblocking);

// Waits up to `timeout_ms` (-1: no limit) for `fd` to be readable, or writable with `writable`.
// 1 when it is (or has an error the next call reports), 0 when the time passed, kRetry when a signal
// came first, -1 when the wait itself failed.
int wait_one(int fd, bool writable, int timeout_ms);
// poll over `count` descriptors: how many are ready, 0 when the time passed, -1 on a failure or signal.
int wait_any(pollfd* fds, size_t count, int timeout_ms);

// Bounds each blocking send and receive on `fd` to `seconds`.
void bound_io(int fd, int seconds);
// Ends the sending half: the peer reads its end once it has what was sent.
void end_writing(int fd);
// Ends both halves, which wakes a thread blocked on `fd` without closing it under that thread.
void end_both(int fd);

// The peer's (or this end's) IPv4 address. false when `fd` is no connected IPv4 socket.
bool peer_address(int fd, sockaddr_in* peer);
bool local_address(int fd, sockaddr_in* local);

// A nonblocking listening socket at `at`, with SO_REUSEADDR (not SO_REUSEPORT, which lets a second
// process share the port). The descriptor, or -1.
int listen_on(const addrinfo& at, int backlog);
// Whether a TCP socket may bind `port` on every IPv4 address now.
bool port_bindable(int port);
// The next waiting client of `listen_fd`, nonblocking, with its address in `peer`. The descriptor, -1
// when none waits (or it left before it was taken), or kOutOfDescriptors.
int accept_client(int listen_fd, sockaddr_storage* peer);
// Takes the next waiting client and closes it at once (a descriptor must have been freed for it).
void shed_client(int listen_fd);

}  // namespace net
}  // namespace tqr

#endif
