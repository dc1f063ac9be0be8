// CoordinatorHost: a coordinator inside a host's process. It listens on the coordinator port with
// the limits the host gives, serves every party on a library thread, and tells what becomes of them
// through the party events (party_events.h) and its counts. A service stops it in three steps: stop
// taking parties, let the rendezvous under way finish for a while, end every party's link.
//
// Ownership: the host creates and deletes it; the destructor stops it. start(), only_conference(),
// stop_accepting(), drain() and stop() are called from one host thread; cut_drain(), counts() and
// wait_parties() from any thread.
#ifndef ZEL_PROTOCOL_COORDINATOR_HOST_H
#define ZEL_PROTOCOL_COORDINATOR_HOST_H

#include <cstddef>
#include <memory>
#include <string>

#include "common/export.h"
#include "protocol/portmanager.h"

namespace zel {

// What a coordinator host admits. Strangers can reach a coordinator, so no one address may take what
// honest parties need: its share of the party slots, the conferences that wait for a sender, the
// descriptors of the process.
struct AdmissionLimits {
    int max_parties = 0;             // parties served at once; 0: as many as the descriptors allow
    int max_per_source = 0;          // parties from one address at once; 0: an eighth of max_parties
    int max_waiting_conferences = 16;  // conferences without a sender one address's endstations wait in (0: no bound)
    int descriptor_reserve = 64;     // descriptors left to the host beside the parties' sockets
    bool remote_senders = false;     // take senders from addresses that are not this machine's
    // The limits of the settings (TQR_MAX_PARTIES, TQR_MAX_PARTIES_PER_SOURCE, ...). Never fails.
    ZEL_API static AdmissionLimits from_settings();
};

// A coordinator's figures for monitoring. Each is exact when read; read without holding a rendezvous
// up, their sum may be off by a party or a port that changes meanwhile.
struct CoordinatorCounts {
    long parties = 0;           // served now, those still in their handshake included
    long max_parties = 0;       // the limit in force: the host's, fitted to the open-file limit
    long max_per_source = 0;
    long served = 0;            // parties taken since start()
    long refused = 0;           // connections closed at once: the coordinator was full
    long refused_sources = 0;   // ... their address had its share
    long rejected_senders = 0;  // second senders of a conference turned away
    size_t conferences = 0;     // conferences that have at least one party (of every host of the process)
    Portmanager::Counts ports{};  // the lending pool, shared by the process: free, reserved, lent, ...
    int coordinator_port = 0;   // the port start() listens on (0 before)
    int top_port = 0;           // the top of the lending pool
};

class CoordinatorHost {
public:
    ZEL_API CoordinatorHost();
    ZEL_API ~CoordinatorHost();
    CoordinatorHost(const CoordinatorHost&) = delete;
    CoordinatorHost& operator=(const CoordinatorHost&) = delete;

    // Listens on `port` on all interfaces and starts accepting on a thread of its own. true when it
    // listens; false when the port is outside 1-65535 or cannot be had, the thread cannot start
    // (nothing is left running), or it listens already (stop() first).
    // A connection beyond `limits` is closed at once and told as EVENT_REFUSED; when the coordinator
    // is full, the party longest in its handshake is let go to make room instead.
    ZEL_API bool start(int port, const AdmissionLimits& limits);
    // From now on only parties of conference `confid` are taken ("": any): for a host that serves one
    // conference of its own. Parties already in stay.
    ZEL_API void only_conference(const std::string& confid);
    // Stops accepting; parties under way go on. Once it returns the port is closed, and a new
    // connection is refused by the system.
    ZEL_API void stop_accepting();
    // After stop_accepting(): waits until no rendezvous holds a lent or reserved port of the pool, or
    // `seconds` passed, or cut_drain() was called. true when drained, false otherwise. Woken by each
    // change of the pool; it never polls.
    ZEL_API bool drain(double seconds);
    // Ends a drain() under way at once, and every later one (a second stop signal, say). Any thread,
    // a signal-waiting thread included; not from a signal handler.
    ZEL_API void cut_drain();
    // Stops accepting, ends every party's link and waits until every party's thread has returned.
    // Harmless when not started or already stopped.
    ZEL_API void stop();
    // The figures now, without taking the locks of a rendezvous.
    ZEL_API CoordinatorCounts counts() const;
    // Waits until at most `count` parties are served: true then; false when `seconds` passed first.
    ZEL_API bool wait_parties(int count, double seconds);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace zel

#endif
