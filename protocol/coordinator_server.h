// CoordinatorServer: a coordinator host. It listens on the coordinator port and serves every party on
// a thread of its own: Caller(fd), reader, handshake, join step, message loop. A party whose link ends
// is released: its thread returns, its socket is closed and its Caller freed. What becomes of each
// party is told through the party events (party_events.h).
//
// Used by `tqr coordinator`, `tqr demo`, the tests and the benchmarks; not part of the shared
// library's interface. start(), stop_accepting() and stop() are called from one thread; the counters
// may be read from any thread.
#ifndef ZEL_PROTOCOL_COORDINATOR_SERVER_H
#define ZEL_PROTOCOL_COORDINATOR_SERVER_H

#include <pthread.h>

#include <atomic>
#include <set>

#include "protocol/connection.h"
#include "protocol/mutex.h"

class Caller;

class CoordinatorServer {
public:
    CoordinatorServer() = default;
    ~CoordinatorServer();
    CoordinatorServer(const CoordinatorServer&) = delete;
    CoordinatorServer& operator=(const CoordinatorServer&) = delete;

    // Listens on `port` on all interfaces and starts accepting. false when the port cannot be had.
    // At most `max_parties` parties are served at once (0: no limit); a connection beyond that is
    // closed at once.
    bool start(int port, int max_parties = 0);
    // Stops accepting only (parties under way go on). Once it returns, the port is closed: a new
    // connection is refused by the system.
    void stop_accepting();
    // Stops accepting, ends every party's link and waits until every party thread has returned.
    void stop() ZEL_EXCLUDES(m_mutex);

    int parties() const { return m_parties.load(); }
    // Waits until at most `count` parties are served; false when `seconds` passed first.
    bool wait_parties(int count, double seconds) ZEL_EXCLUDES(m_mutex);
    long served() const { return m_served.load(); }
    // Connections closed at once because `max_parties` were being served.
    long refused() const { return m_refused.load(); }
    long rejected_senders() const { return m_rejected.load(); }

private:
    static void* s_acceptthread(void* server);
    void acceptthread() ZEL_EXCLUDES(m_mutex);
    static void* s_partythread(void* party);
    void serve(int fd) ZEL_EXCLUDES(m_mutex);
    // The handshake and the join step, with what is told when a party gets no further.
    bool admit(Caller* caller);

    Connection m_listening;
    int m_max_parties = 0;
    pthread_t m_accept_thread{};
    bool m_accepting = false;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_parties{0};
    std::atomic<long> m_served{0};
    std::atomic<long> m_refused{0};
    std::atomic<long> m_rejected{0};

    zel::Mutex m_mutex;      // guards m_callers; a leaf
    zel::CondVar m_changed;  // a party thread returned
    std::set<Caller*> m_callers ZEL_GUARDED_BY(m_mutex);  // parties being served
};

#endif
