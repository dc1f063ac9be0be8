// Activelist: the coordinator's registry of conferences, one per conference identifier. The only way a
// party reaches its conference: the join step adds it, the leave step drops it or erases its
// conference.
//
// One instance per process, g_activelist, built at load time after g_logmsg and before g_portmanager.
// Every operation may be called from any thread and holds m_mutex throughout, except the stopping of
// an erased conference's thread, which happens after the entry is gone and outside the lock. The
// registry owns its conferences: an erased conference is stopped and deleted.
//
// Lock order: m_mutex first, then one conference lock.
#ifndef ZEL_PROTOCOL_ACTIVELIST_H
#define ZEL_PROTOCOL_ACTIVELIST_H

#include <pthread.h>

#include <map>
#include <string>

#include "common/export.h"

class Caller;
class Conference;

class Activelist {
public:
    ZEL_API Activelist();
    ZEL_API ~Activelist();
    Activelist(const Activelist&) = delete;
    Activelist& operator=(const Activelist&) = delete;

    // true when the caller was taken in (false: a second sender).
    bool addcaller(const std::string& confid, Caller* caller);
    void signal(const std::string& confid);
    // true when `confid` named a conference; erases (and stops) it once it is empty.
    bool dropreceiver(const std::string& confid, Caller* caller);
    // Erases (and stops) the conference. Always true.
    bool remove(const std::string& confid);

    // Conferences filed now (tests and benchmarks).
    size_t size();
    // Receivers waiting in `confid`, or -1 when it names no conference (tests).
    long waiting(const std::string& confid);

    pthread_mutex_t m_mutex;  // serialises every operation; taken before any conference lock
    std::map<std::string, Conference*> m_conferences;

private:
    // The conference filed under `confid`, or null; never enters the identifier.
    Conference* find(const std::string& confid);
    void retire(Conference* conference);
};

extern Activelist g_activelist;

#endif
