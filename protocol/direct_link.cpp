// The direct link between a sender and one endstation: the sender's listener thread, the masked key
// check that both ends run, and the endstation's bridge thread.
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/lock.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"

namespace {

constexpr unsigned char kHidden = 0xFF;

// How long a listener waits for its endstation, in seconds (setting TQR_LISTEN_TIMEOUT, default 60).
// A rendezvous whose endstation never comes must not hold the port, or the thread, for ever.
int listen_timeout_ms() {
    zel_env_set_default("TQR_LISTEN_TIMEOUT", "60");
    int seconds = zel_env_get_int("TQR_LISTEN_TIMEOUT");
    return seconds > 0 ? seconds * 1000 : 60000;
}

}  // namespace

bool Caller::is_sender() { return m_type == ROLE_SENDER; }

int Caller::check_keys(Connection* conn) {
    const size_t length = m_key.size();
    std::vector<char> local(m_key.c_str(), m_key.c_str() + length + 1);
    zel_inform(stderr, "comparing keys %s\n", m_key.c_str());

    std::vector<char> masked(local);
    for (size_t i = is_sender() ? 1 : 0; i < length; i += 2) masked[i] = static_cast<char>(kHidden);
    conn->send(masked.data(), static_cast<int>(length + 1));

    // The frame is read until its NUL or its L + 1 bytes, whichever comes first: TCP may deliver it
    // in pieces, and nothing beyond the frame is read. A peer that never answers is given up on after
    // the listen time limit, so that neither a listener nor an endstation's loop waits for ever; the
    // socket goes back to plain blocking reads for its host.
    timeval limit{};
    limit.tv_sec = listen_timeout_ms() / 1000;
    setsockopt(conn->fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::vector<char> incoming(length + 1, '\0');
    int n = 0;
    for (;;) {
        int got = conn->recv(incoming.data() + n, static_cast<int>(length + 1) - n);
        if (got <= 0) {
            if (n == 0) n = got;
            break;
        }
        bool ended = memchr(incoming.data() + n, '\0', static_cast<size_t>(got)) != nullptr;
        n += got;
        if (ended || n == static_cast<int>(length + 1)) break;
    }
    timeval none{};
    setsockopt(conn->fd(), SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);

    int result = 0;
    if (n != static_cast<int>(length + 1)) {
        fprintf(stderr, "TQR: keys different length incoming = %d local=%d\n", n - 1, static_cast<int>(length));
    } else if (incoming[length] != '\0') {
        fprintf(stderr, "TQR: keys different length incoming longer than local=%d\n", static_cast<int>(length));
    } else if (memchr(incoming.data(), '\0', length) != nullptr) {
        fprintf(stderr, "TQR: incoming key ends before local=%d\n", static_cast<int>(length));
    } else {
        for (size_t i = is_sender() ? 0 : 1; i < length; i += 2) incoming[i] = local[i];
        if (strcmp(incoming.data(), local.data()) == 0) {
            zel_inform(stderr, "keys match\n");
            result = 1;
        } else {
            fprintf(stderr, "TQR: keys do not match\n");
        }
    }
    return result;
}

void* Caller::s_listenthread(void* request) {
    ListenRequest* listen_request = static_cast<ListenRequest*>(request);
    listen_request->caller->listenthread(listen_request);
    return nullptr;
}

void Caller::listenthread(ListenRequest* request) {
    Connection* conn = new Connection();
    const int port = atoi(request->port);
    zel_inform(stderr, "trying to listen to port %d %s\n", port, request->port);
    // The pool lends a port again as soon as its rendezvous completed ("Connected " can travel before
    // this sender's previous listener on the port has accepted and closed its socket): wait for that
    // listener briefly rather than report a port that only we hold as taken, which would retire it.
    claim_port(port);
    int r = conn->listen_reusable(port, 0);
    zel_inform(stderr, "sender listening success=%d \n", r);
    if (r == 0) {
        zel_inform(stderr, "sender listening failed, port in use?=%d \n", r);
        release_port(port);
        send_message(MSG_PORT_IN_USE, request->cookie, request->port);
    } else {
        send_message(MSG_LISTENING, request->cookie, request->port);
        listener_waiting(conn, true);
        pollfd ready{conn->m_sock, POLLIN, 0};
        int polled;
        do {
            polled = poll(&ready, 1, listen_timeout_ms());
        } while (polled < 0 && errno == EINTR);
        r = polled > 0 ? conn->accept(0, 0) : 0;
        listener_waiting(conn, false);
        // One endstation per listener: the port is free again for the next rendezvous at once.
        conn->close_listener();
        release_port(port);
        if (r == 0) {
            zel_inform(stderr, "sender accept of receiver failed =%d \n", r);
        } else {
            zel_inform(stderr, "accept of receiver=%d \n", r);
            if (check_keys(conn)) {
                if (BridgeCallback bridge = g_bridge.load(std::memory_order_acquire)) {
                    zel_inform(stderr, "calling bridge to ssc endstation\n");
                    bridge(conn->fd());
                    zel_inform(stderr, "returning from bridge to ssc endstation\n");
                } else {
                    zel_inform(stderr, "no bridge for endstation\n");
                }
            }
        }
    }
    delete conn;
    free(request);
    listener_finished();
}

bool Caller::listener_started() {
    zel::MutexGuard guard(m_listener_mutex);
    if (m_closing) return false;
    ++m_listeners;
    return true;
}

void Caller::listener_waiting(Connection* listening, bool waiting) {
    zel::MutexGuard guard(m_listener_mutex);
    if (waiting) {
        m_listening.push_back(listening);
        // A destructor that began meanwhile would not see this socket: stop waiting at once.
        if (m_closing) ::shutdown(listening->m_sock, SHUT_RDWR);
    } else {
        m_listening.erase(std::remove(m_listening.begin(), m_listening.end(), listening), m_listening.end());
    }
}

void Caller::claim_port(int port) {
    AbsTime deadline;
    const timespec* until = deadline.after(5.0);
    zel::MutexGuard guard(m_listener_mutex);
    while (m_claimed_ports.count(port) != 0) {
        if (pthread_cond_timedwait(&m_listener_cond, &m_listener_mutex, until) != 0) break;
    }
    m_claimed_ports.insert(port);
}

void Caller::release_port(int port) {
    zel::MutexGuard guard(m_listener_mutex);
    auto found = m_claimed_ports.find(port);
    if (found != m_claimed_ports.end()) m_claimed_ports.erase(found);
    pthread_cond_broadcast(&m_listener_cond);
}

void Caller::listener_finished() {
    zel::MutexGuard guard(m_listener_mutex);
    --m_listeners;
    pthread_cond_broadcast(&m_listener_cond);
}

void* Caller::s_ssc_pt(void* caller) {
    Caller* self = static_cast<Caller*>(caller);
    int fd = self->m_sender_conn->fd();
    self->m_bridged.store(true, std::memory_order_release);
    if (BridgeCallback bridge = g_bridge.load(std::memory_order_acquire)) bridge(fd);
    return nullptr;
}
