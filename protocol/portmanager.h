// Portmanager: the coordinator's well-known port and the pool of ports it lends to senders, one per
// rendezvous, so that each endstation can reach its sender directly.
//
// One instance per process, g_portmanager, built at load time (after g_logmsg and g_activelist) and
// destroyed at unload. Its entries live as long as it does, so the texts that pop_port() hands out
// stay valid. Every operation may be called from any thread. m_mutex comes after a Caller's member
// mutex and before a Caller's queue mutex (a recycled port wakes a waiting message loop).
#ifndef ZEL_PROTOCOL_PORTMANAGER_H
#define ZEL_PROTOCOL_PORTMANAGER_H

#include <pthread.h>

#include <list>
#include <map>
#include <string>

#include "common/export.h"

class Caller;

// One port of the pool.
struct PortEntry {
    int port;
    std::string text;  // "%d" of port: what travels in messages
};

// What the coordinator knows of one rendezvous when it ends: for hosts that report rendezvous.
struct RendezvousReport {
    std::string confid;
    std::string nickname;  // the endstation's
    std::string port;
    const char* outcome;   // "ok", "connect_failed", "endstation_left" or "sender_left"
    double ms;             // from the port's lending to the end
};

// Called once per rendezvous that ends on this coordinator, on the thread that ends it, with no lock
// of the library held. Null (the default) reports nothing. Set it before the coordinator starts.
typedef void (*RendezvousObserver)(const RendezvousReport& report);
void set_rendezvous_observer(RendezvousObserver observer);

// Starts the platform's socket layer where there is one to start. 0 usable, 1 not.
int start_sockets();

class Portmanager {
public:
    ZEL_API Portmanager();
    ZEL_API ~Portmanager();
    Portmanager(const Portmanager&) = delete;
    Portmanager& operator=(const Portmanager&) = delete;

    ZEL_API int coord_port();

    // The text of the oldest free port; waits while there is none. Never fails.
    const std::string* pop_port();
    // The oldest free port without waiting. When none is free, null, and `waiter` is woken
    // (Caller::port_freed) once a port is recycled: a message loop that must not block can go on
    // reading its own messages meanwhile, among them the one that frees a port.
    const std::string* pop_port_or_wait(Caller* waiter);
    // `waiter` no longer waits (it is leaving); no wake-up reaches it afterwards.
    void forget_waiter(Caller* waiter);
    // 1 when `text` names a pool port, which goes to the back of the free queue; else 0.
    int recycle_port(const std::string& text);
    // 1 when `text` names a pool port, which is retired (not queued again unless recycled); else 0.
    int mark_in_use(const char* text);

    // Leases: the coordinator remembers which rendezvous (sender, endstation) holds each lent port, so
    // that a port is never lost to a rendezvous that can no longer complete. The parties are
    // identities only, never followed.
    //
    // Records that the port `text`, just popped, is lent to `sender` for `endstation`; `confid` and
    // `nickname` only go into the rendezvous report.
    void lend(const std::string& text, const void* sender, const void* endstation, const std::string& confid = "",
              const std::string& nickname = "");
    // true when `text` is lent to `sender` for `endstation`.
    bool is_lent(const std::string& text, const void* sender, const void* endstation);
    // true when any port is lent to `sender` for `endstation`.
    bool has_lease(const void* sender, const void* endstation);
    // Ends the lease of `text` to `sender` for `endstation`: 1 when it existed, else 0. The port is
    // then the caller's to recycle (the rendezvous completed) or to mark in use (the sender could not
    // listen on it); a later abandon() no longer touches it. A non-null `outcome` reports the
    // rendezvous as ended.
    int end_lease(const std::string& text, const void* sender, const void* endstation, const char* outcome);
    // The rendezvous of `sender` and `endstation` (or, with a null endstation, every rendezvous in
    // which `sender` takes part on either side) can no longer complete: their ports return to the pool
    // once the sender's listener has given up on them (TQR_LISTEN_TIMEOUT plus a margin), not before,
    // so that a port is never lent while a listener may still hold it.
    void abandon(const void* party, const void* endstation, const char* outcome);
    // Seconds until the next abandoned port returns, or a negative value when none is waiting.
    double next_return_in();

    // Number of free ports now (for tests and benchmarks).
    size_t free_count();
    // Number of lent ports and of ports waiting to return (tests).
    size_t lent_count();
    size_t returning_count();
    // Ports of rendezvous under way: neither free, nor waiting to return, nor retired. Unlike
    // lent_count() this includes a port between the end of its lease and its return to the pool (a
    // completed rendezvous ends its lease before "Adios " goes out, and recycles the port after it).
    size_t out_count();
    int top_port() const { return m_top_port; }

    pthread_mutex_t m_mutex;  // guards the containers, leases and waiters; before a Caller's queue mutex
    pthread_cond_t m_cond;    // signalled once per port queued in m_free
    std::list<PortEntry*> m_ports;
    std::list<PortEntry*> m_free;
    std::list<PortEntry*> m_in_use;
    std::map<std::string, PortEntry*> m_by_text;
    int m_coord_port;
    int m_top_port;
    std::list<Caller*> m_waiters;  // guarded by m_mutex: loops woken, oldest first, per port recycled

private:
    struct Lease {
        const void* sender;
        const void* endstation;
        std::string confid;
        std::string nickname;
        double lent_at;  // CLOCK_MONOTONIC seconds
    };
    struct Returning {
        PortEntry* entry;
        double due;  // CLOCK_MONOTONIC seconds
    };
    void read_ports();
    // With m_mutex held: queues `entry` as free and wakes one waiter.
    void queue_free(PortEntry* entry);
    // With m_mutex held: queues the abandoned ports whose time has come.
    void return_due();

    std::map<std::string, Lease> m_leases;  // guarded by m_mutex: lent ports by text
    std::list<Returning> m_returning;       // guarded by m_mutex: abandoned ports, oldest first
};

extern Portmanager g_portmanager;

#endif
