// CoordinatorServer: a coordinator host. It listens on the coordinator port and serves every party on
// a thread of its own: Caller(fd), reader, handshake, join step, message loop. A party whose link ends
// is released: its thread returns, its socket is closed and its Caller freed.
//
// Used by `tqr coordinator`, `tqr demo`, the tests and the benchmarks. start(), stop_accepting() and
// stop() are called from one thread; the counters may be read from any thread. A host that reports
// parties turned away sets its observer before start().
#ifndef ZEL_TOOLS_TQR_COORDINATOR_SERVER_H
#define ZEL_TOOLS_TQR_COORDINATOR_SERVER_H

#include <pthread.h>

#include <atomic>
#include <set>
#include <string>

class Caller;

// Told once per second sender that the server turns away ("RejectedSender "), on that party's thread,
// with no lock held: the conference it asked for and its address ("a.b.c.d:port", "" when unknown).
typedef void (*RejectionObserver)(const std::string& confid, const std::string& peer);

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
    // Stops accepting, ends every party's link and waits until every party thread has returned.
    void stop();
    // Stops accepting only (parties under way go on). Once it returns, the port is closed: a new
    // connection is refused by the system.
    void stop_accepting();
    // Null (the default) tells nothing.
    void set_rejection_observer(RejectionObserver observer) { m_rejection_observer.store(observer); }

    int parties() const { return m_parties.load(); }
    long served() const { return m_served.load(); }
    // Connections closed at once because `max_parties` were being served.
    long refused() const { return m_refused.load(); }
    long rejected_senders() const { return m_rejected.load(); }

private:
    static void* s_acceptthread(void* server);
    void acceptthread();
    static void* s_partythread(void* party);
    void serve(int fd);
    void track(Caller* caller, bool add);

    Caller* m_listener = nullptr;
    int m_listen_fd = 0;
    int m_max_parties = 0;
    pthread_t m_accept_thread{};
    bool m_accepting = false;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_parties{0};
    std::atomic<long> m_served{0};
    std::atomic<long> m_refused{0};
    std::atomic<long> m_rejected{0};
    std::atomic<RejectionObserver> m_rejection_observer{nullptr};

    pthread_mutex_t m_mutex = PTHREAD_MUTEX_INITIALIZER;  // guards m_callers; a leaf
    pthread_cond_t m_idle = PTHREAD_COND_INITIALIZER;     // the last party thread has returned
    std::set<Caller*> m_callers;                          // parties being served
};

#endif
