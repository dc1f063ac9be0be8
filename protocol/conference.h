// Conference: the coordinator's record of one conference: at most one sender and the endstations
// waiting to be put in touch with it. Its thread wakes when signalled (and at least once a second) and
// nominates the oldest waiting endstation to the sender, one per pass.
//
// Ownership: created and destroyed only by the active list (g_activelist), which calls stop() when it
// erases the conference's entry and then deletes it. The conference holds plain pointers to the
// coordinator's Callers and owns none; a Caller leaves (dropreceiver, or the erasure of its sender's
// conference) before it can be destroyed, and the thread sends nothing once stop() has begun.
//
// Lock order: the active list's mutex, then m_list_mutex or m_io_mutex. The conference thread takes
// m_io_mutex only around its wait and m_list_mutex only to pick a receiver, and sends "Nominate "
// holding neither (the sender's compose and send mutexes are taken then); it never takes the active
// list's mutex.
#ifndef ZEL_PROTOCOL_CONFERENCE_H
#define ZEL_PROTOCOL_CONFERENCE_H

#include <pthread.h>

#include <list>
#include <string>

class Caller;

class Conference {
public:
    Conference(Caller* caller, const std::string& confid);
    // Stops the thread if stop() was not called.
    ~Conference();
    Conference(const Conference&) = delete;
    Conference& operator=(const Conference&) = delete;

    // false only for a second sender.
    bool addcaller(Caller* caller, const std::string& confid);
    // Removes every occurrence of `caller`; true when the conference has neither sender nor receivers.
    bool dropreceiver(Caller* caller);
    void signal();
    static void* s_conferencethread(void* conference);
    void conferencethread();

    // Nominates no one any more (waits for a nomination under way). The registry calls it, under its
    // own lock, before it erases the entry, since members that leave later no longer find this
    // conference to drop themselves from.
    void close();
    // Ends the thread and waits for it.
    void stop();

    // Receivers waiting now (tests).
    size_t waiting();

    std::list<Caller*> m_receivers;  // guarded by m_list_mutex, in joining order
    std::string m_confid;
    bool m_has_sender;                // guarded by m_list_mutex
    Caller* m_sender;                 // guarded by m_list_mutex
    pthread_mutex_t m_list_mutex;     // guards the members; after m_io_mutex
    pthread_t m_thread;
    pthread_mutex_t m_io_mutex;       // goes with m_io_conditional; held by the thread for each pass
    pthread_cond_t m_io_conditional;
    int m_announce;

private:
    int m_pending = 0;       // guarded by m_io_mutex: signals not yet served by a pass, one pass each
    bool m_stop = false;     // guarded by m_io_mutex
    bool m_joined = false;   // guarded by m_io_mutex: the thread has been joined
    bool m_closed = false;   // guarded by m_list_mutex: nominate no one
    bool m_has_sender_seen = false;  // the thread's own copy of m_has_sender, for its wake-up line
    bool m_work_left = false;        // the thread's own: receivers still wait for a sender that exists
};

#endif
