// Deadlines: what the coordinator has to do at a later time: give up on an answer a party owes in a
// rendezvous, return a port to the pool once no listener can hold it any more. One thread, started on
// first use, runs each action when its time comes, with no lock of its own held. Actions must be short
// and never block on a peer: they shut a party's link down, or return a port and wake the message
// loops that wait for one; whatever follows runs on those parties' own threads.
//
// One instance per process, g_deadlines, destroyed (its thread stopped) before the objects its actions
// reach. Every operation may be called from any thread; m_mutex is a leaf for callers (actions run
// without it).
#ifndef ZEL_PROTOCOL_DEADLINES_H
#define ZEL_PROTOCOL_DEADLINES_H

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>

#include "protocol/mutex.h"

class Deadlines {
public:
    typedef std::function<void()> Action;

    Deadlines() = default;
    ~Deadlines();
    Deadlines(const Deadlines&) = delete;
    Deadlines& operator=(const Deadlines&) = delete;

    // Runs `action` at `at` (zel::now() seconds). The id for cancel(), never 0.
    uint64_t schedule(double at, Action action) ZEL_EXCLUDES(m_mutex);
    // The action of `id` will not run (harmless once it ran or for 0). An action that runs meanwhile
    // still runs: actions check what they act on.
    void cancel(uint64_t id) ZEL_EXCLUDES(m_mutex);
    size_t pending() ZEL_EXCLUDES(m_mutex);
    // Ends the thread and waits until it has ended. Actions still due keep until the next schedule()
    // starts the thread anew.
    void stop() ZEL_EXCLUDES(m_mutex);

private:
    static void* s_deadlinethread(void* deadlines);
    void run() ZEL_EXCLUDES(m_mutex);
    void start() ZEL_REQUIRES(m_mutex);

    zel::Mutex m_mutex;
    zel::CondVar m_changed;  // a new earliest action, or the stop
    std::map<std::pair<double, uint64_t>, Action> m_due ZEL_GUARDED_BY(m_mutex);
    std::unordered_map<uint64_t, double> m_when ZEL_GUARDED_BY(m_mutex);
    uint64_t m_last_id ZEL_GUARDED_BY(m_mutex) = 0;
    bool m_started ZEL_GUARDED_BY(m_mutex) = false;
    static constexpr double kNever = 1e300;
    // When the thread wakes by itself next (kNever: not before an action comes; 0: it is awake).
    double m_sleeping_until ZEL_GUARDED_BY(m_mutex) = kNever;
    bool m_stopping ZEL_GUARDED_BY(m_mutex) = false;
    pthread_t m_thread{};
};

extern Deadlines g_deadlines;

#endif
