// Portmanager: the coordinator's well-known port and the pool of ports it lends to senders, one per
// rendezvous, so that each endstation can reach its sender directly.
//
// A pool port is free, reserved (set apart for a conference that waited for it), lent, returning (its
// rendezvous was abandoned, and a sender's listener may still hold it until a known time), or set aside
// (a sender reported it in use; it is tried again later). Only a lent port goes back, so a port is never
// queued twice. Fair share: while another conference waits for a port, no conference is lent more than
// half of the pool; ports that come back go to the waiting conferences in the order they asked.
//
// One instance per process, g_portmanager, built at load time (after g_logmsg and g_activelist) and
// destroyed at unload. Its entries live as long as it does. Every operation may be called from any
// thread; m_mutex comes after a conference's mutex and before g_deadlines' and g_parties' mutexes.
// Waiting senders are served after m_mutex is released, on a thread of the pool.
#ifndef ZEL_PROTOCOL_PORTMANAGER_H
#define ZEL_PROTOCOL_PORTMANAGER_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/export.h"
#include "protocol/cookie.h"
#include "protocol/mutex.h"

// One port of the pool.
struct PortEntry {
    int port;
    std::string text;  // "%d" of port: what travels in messages
};

// Starts the platform's socket layer where there is one to start. 0 usable, 1 not.
int start_sockets();

class Portmanager {
public:
    ZEL_API Portmanager();
    ZEL_API ~Portmanager();
    Portmanager(const Portmanager&) = delete;
    Portmanager& operator=(const Portmanager&) = delete;

    ZEL_API int coord_port();
    int top_port() const { return m_top_port; }
    size_t size() const { return m_ports.size(); }

    // Lends the oldest free port (or one reserved for it) to the conference `holder`. Null when none
    // can be lent now; then the sender `waiter` of conference `confid` is told (Caller::port_reserved)
    // once a port is reserved for `holder`.
    const PortEntry* lend(uint64_t holder, Cookie waiter, const std::string& confid) ZEL_EXCLUDES(m_mutex);
    // `holder` waits no more (its sender left): what was reserved for it goes to the next in line.
    void forget(uint64_t holder) ZEL_EXCLUDES(m_mutex);
    // 1 when `text` names a lent port, which goes to the back of the free queue at once; else 0.
    int recycle_port(const std::string& text) ZEL_EXCLUDES(m_mutex);
    // A lent port whose rendezvous was abandoned: free again at `at` (zel::now() seconds).
    void return_at(const PortEntry* entry, double at) ZEL_EXCLUDES(m_mutex);
    // 1 when `text` names a lent port, which a sender reported in use: set aside until `at`; else 0.
    int mark_in_use(const std::string& text, double at) ZEL_EXCLUDES(m_mutex);

    // The entry of a pool port's text, or null.
    const PortEntry* entry(const std::string& text) const;

    struct Counts {
        size_t free, reserved, lent, returning, set_aside;
    };
    Counts counts() ZEL_EXCLUDES(m_mutex);
    // The same without the lock, for a monitor that must not hold a rendezvous up: each figure is
    // exact, their sum may be off by a port that changes state meanwhile.
    Counts glance() const;
    // Waits until `done(counts())` holds or `seconds` passed; whether it holds.
    bool wait_until(bool (*done)(const Counts& counts), double seconds) ZEL_EXCLUDES(m_mutex);
    // The same with a context for `done`, which may also look at what nudge() stands for.
    bool wait_until(bool (*done)(const Counts& counts, void* context), void* context, double seconds)
        ZEL_EXCLUDES(m_mutex);
    // Makes every wait_until() look again: for a condition that is not the pool's.
    void nudge() ZEL_EXCLUDES(m_mutex);

private:
    enum State { FREE, RESERVED, LENT, RETURNING, SET_ASIDE };
    struct Port {
        PortEntry* entry;
        State state;
        uint64_t holder;  // RESERVED and LENT: the conference
    };
    struct Waiter {
        uint64_t holder;
        Cookie sender;
        std::string confid;
    };
    struct Wake {
        Cookie sender;
        std::string confid;
    };

    Port* find(const std::string& text) ZEL_REQUIRES(m_mutex);
    void set_state(Port* port, State state) ZEL_REQUIRES(m_mutex);
    Counts count() ZEL_REQUIRES(m_mutex);
    void lend_out(Port* port, uint64_t holder) ZEL_REQUIRES(m_mutex);
    // A lent port leaves its holder, into `state`.
    void take_back(Port* port, State state) ZEL_REQUIRES(m_mutex);
    // Frees `port` and reserves free ports for waiters that may have them; who is to be woken.
    std::vector<Wake> make_free(Port* port) ZEL_REQUIRES(m_mutex);
    std::vector<Wake> serve_waiters() ZEL_REQUIRES(m_mutex);
    bool others_wait(uint64_t holder) ZEL_REQUIRES(m_mutex);
    size_t held_by(uint64_t holder) ZEL_REQUIRES(m_mutex);
    size_t share() const { return m_ports.size() / 2 > 0 ? m_ports.size() / 2 : 1; }
    // Schedules the return of a resting port.
    void rest_until(Port* port, double at) ZEL_REQUIRES(m_mutex);
    static void wake(const std::vector<Wake>& wakes);
    static void* s_serve(void* wake);

    int m_coord_port;
    int m_top_port;
    // Every entry, in creation order; made by the constructor and never changed afterwards, so texts
    // and lookups need no lock.
    std::list<PortEntry*> m_ports;
    std::map<std::string, size_t> m_by_text;

    zel::Mutex m_mutex;
    zel::CondVar m_changed;  // a port changed state
    std::vector<Port> m_state ZEL_GUARDED_BY(m_mutex);       // by index of m_ports
    std::deque<Port*> m_free ZEL_GUARDED_BY(m_mutex);        // taken at the front, returned at the back
    std::list<Waiter> m_waiters ZEL_GUARDED_BY(m_mutex);     // conferences that wait, oldest first
    std::map<uint64_t, size_t> m_lent_to ZEL_GUARDED_BY(m_mutex);  // reserved or lent, by holder
    std::atomic<size_t> m_in_state[SET_ASIDE + 1] = {};              // ports in each state, for glance()
};

extern Portmanager g_portmanager;

#endif
