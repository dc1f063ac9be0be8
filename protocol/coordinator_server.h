// CoordinatorServer: a coordinator host. It listens on the coordinator port and serves every party on
// a thread of its own: Caller(fd), reader, handshake, join step, message loop. A party whose link ends
// is released: its thread returns, its socket is closed and its Caller freed. What becomes of each
// party is told through the party events (party_events.h).
//
// The threads of the library's pool wait on the port themselves, and the one that accepts a party
// serves it: no hand-over from an accepting thread to a party's, a wake-up less per party. While
// one serves, another waits on the port; a thread whose party has ended waits there again while
// fewer than kSpareAcceptors do, so that a coordinator whose parties come and go wakes no thread
// but the one the kernel gives the connection to.
//
// Behind CoordinatorHost (coordinator_host.h), the installed form; the tests and the benchmarks use it
// directly. start(), stop_accepting() and stop() are called from one thread; the counters
// may be read from any thread.
#ifndef ZEL_PROTOCOL_COORDINATOR_SERVER_H
#define ZEL_PROTOCOL_COORDINATOR_SERVER_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "protocol/connection.h"
#include "protocol/coordinator_host.h"
#include "protocol/mutex.h"

class Caller;
namespace zel {
class Completion;
}

// The internal code names the host's limits unqualified.
using AdmissionLimits = zel::AdmissionLimits;

class CoordinatorServer {
public:
    CoordinatorServer() = default;
    ~CoordinatorServer();
    CoordinatorServer(const CoordinatorServer&) = delete;
    CoordinatorServer& operator=(const CoordinatorServer&) = delete;

    // Listens on `port` on all interfaces and starts accepting. false when the port cannot be had.
    // A connection beyond the limits is closed at once, and told as EVENT_REFUSED (`what`: the limit);
    // when the coordinator is full, the party longest in its handshake is let go to make room instead.
    bool start(int port, const AdmissionLimits& limits);
    // At most `max_parties` parties at once (0: as many as the descriptors allow), the other limits
    // of the settings.
    bool start(int port, int max_parties = 0);
    // Only parties of conference `confid` are taken from now on ("": any); a host that serves one
    // conference of its own sets it.
    void only_conference(const std::string& confid) ZEL_EXCLUDES(m_mutex);
    // Stops accepting only (parties under way go on). Once it returns, the port is closed: a new
    // connection is refused by the system.
    void stop_accepting();
    // Stops accepting, ends every party's link and waits until every party thread has returned.
    void stop() ZEL_EXCLUDES(m_mutex);

    int parties() const { return m_parties.load(); }
    // The parties served at once, as start() settled it within the open-file limit.
    int max_parties() const { return m_limits.max_parties; }
    int max_per_source() const { return m_limits.max_per_source; }
    // Waits until at most `count` parties are served; false when `seconds` passed first.
    bool wait_parties(int count, double seconds) ZEL_EXCLUDES(m_mutex);
    long served() const { return m_served.load(); }
    // Connections closed at once because the coordinator was full, and because their address had its
    // share.
    long refused() const { return m_refused.load(); }
    long refused_sources() const { return m_refused_sources.load(); }
    long rejected_senders() const { return m_rejected.load(); }

private:
    // Parties a full coordinator may serve beyond its limit while parties it evicted from their
    // handshake to make room are still ending.
    static constexpr int kEvictions = 32;

    struct Handshaking {
        Caller* caller;
        bool evicted;  // its link was shut down to make room
    };
    struct Source {
        int parties = 0;
        std::map<std::string, int> endstations;  // joined or joining, by conference
    };

    // Threads that wait on the port while none of them serves a party.
    static constexpr int kSpareAcceptors = 2;

    static void* s_acceptthread(void* server);
    // Accepts and serves parties until the coordinator stops accepting, or until other threads wait on
    // the port enough once this one's party has ended.
    void acceptthread() ZEL_EXCLUDES(m_mutex);
    // One more thread waits on the port; false when the pool gave none.
    bool add_acceptor() ZEL_EXCLUDES(m_mutex);
    // This thread leaves the port for a party: true once another waits there (or the port is closing);
    // false when none could be had, and this thread stays counted on the port.
    bool keep_acceptor() ZEL_EXCLUDES(m_mutex);
    // Gives back what take_slot() took for a party that is not served after all.
    void release_slot(uint32_t source) ZEL_EXCLUDES(m_mutex);
    // Closes a connection turned away before its handshake (`why`: the limit), and tells so.
    void refuse(int fd, const Connection::Peer& peer, const char* why);
    // Serves one party. true when this thread is to wait on the port again (counted among the
    // acceptors already).
    bool serve(int fd, const Connection::Peer& peer) ZEL_EXCLUDES(m_mutex);
    // The connection of `fd` from `source` may be served: a slot is taken for it; else why not.
    const char* take_slot(uint32_t source) ZEL_EXCLUDES(m_mutex);
    // The handshake, this host's rules and the join step, with what is told when a party gets no further.
    // `*counted` is set once an endstation is filed among its address's (serve() takes it out).
    bool admit(Caller* caller, uint32_t source, bool* counted) ZEL_EXCLUDES(m_mutex);
    // Why the host turns the party away before its join step ("" when it does not).
    const char* refusal(Caller* caller, uint32_t source, bool* counted) ZEL_EXCLUDES(m_mutex);
    void turn_away(Caller* caller, const char* why);

    Connection m_listening;
    AdmissionLimits m_limits;
    bool m_accepting = false;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_parties{0};
    std::atomic<long> m_served{0};
    std::atomic<long> m_refused{0};
    std::atomic<long> m_refused_sources{0};
    std::atomic<long> m_rejected{0};

    // Guards what follows; taken before a Completion's lock (the sweep of m_runs), never with the
    // pool's, and released before the registry is asked.
    zel::Mutex m_mutex;
    zel::CondVar m_changed;  // a party thread returned, or a thread stopped waiting on the port
    int m_acceptors ZEL_GUARDED_BY(m_mutex) = 0;  // threads waiting on the port, or about to
    // One per thread that took this server's work, until it is parked again: stop() waits for them.
    std::vector<std::shared_ptr<zel::Completion>> m_runs ZEL_GUARDED_BY(m_mutex);
    size_t m_swept ZEL_GUARDED_BY(m_mutex) = 16;  // m_runs is swept of finished ones once this long
    std::set<Caller*> m_callers ZEL_GUARDED_BY(m_mutex);  // parties being served
    std::map<uint32_t, Source> m_sources ZEL_GUARDED_BY(m_mutex);  // by IPv4 address, while it has parties
    std::list<Handshaking> m_handshaking ZEL_GUARDED_BY(m_mutex);  // oldest first
    std::string m_only_conference ZEL_GUARDED_BY(m_mutex);
};

#endif
