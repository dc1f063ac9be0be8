// Portmanager: the coordinator's well-known port and the pool of ports it lends to senders, one per
// rendezvous, so that each endstation can reach its sender directly.
//
// One instance per process, g_portmanager, built at load time (after g_logmsg and g_activelist) and
// destroyed at unload. Its entries live as long as it does, so the texts that pop_port() hands out
// stay valid. Every operation may be called from any thread; m_mutex is a leaf lock.
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

    // Number of free ports now (for tests and benchmarks).
    size_t free_count();
    int top_port() const { return m_top_port; }

    pthread_mutex_t m_mutex;  // guards the four containers; a leaf
    pthread_cond_t m_cond;    // signalled once per port queued in m_free
    std::list<PortEntry*> m_ports;
    std::list<PortEntry*> m_free;
    std::list<PortEntry*> m_in_use;
    std::map<std::string, PortEntry*> m_by_text;
    int m_coord_port;
    int m_top_port;
    std::list<Caller*> m_waiters;  // guarded by m_mutex: loops woken, oldest first, per port recycled

private:
    void read_ports();
};

extern Portmanager g_portmanager;

#endif
