// Activelist: the coordinator's registry of conferences, one per conference identifier. The only way a
// party reaches its conference: the join step files it there, and a conference left with no member
// and no rendezvous under way is forgotten (the next party of that identifier starts a new one).
//
// One instance per process, g_activelist, built at load time after g_logmsg and before g_portmanager.
// Every operation may be called from any thread. m_mutex is taken before a conference's mutex, and
// never while a conference sends (nominations are sent after both are released).
#ifndef ZEL_PROTOCOL_ACTIVELIST_H
#define ZEL_PROTOCOL_ACTIVELIST_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/export.h"
#include "protocol/mutex.h"

class Caller;
class Conference;

class Activelist {
public:
    ZEL_API Activelist();
    ZEL_API ~Activelist();
    Activelist(const Activelist&) = delete;
    Activelist& operator=(const Activelist&) = delete;

    // Files `caller` in the conference `confid`, which is created for its first member. The
    // conference, or null when it refused the caller (a second sender).
    std::shared_ptr<Conference> addcaller(const std::string& confid, Caller* caller) ZEL_EXCLUDES(m_mutex);
    // Forgets `conference` if it is still the one filed under its identifier and has become empty.
    void forget_if_empty(const std::shared_ptr<Conference>& conference) ZEL_EXCLUDES(m_mutex);

    // Conferences filed now (hosts and tests); glance() without the lock, for monitors.
    size_t size() ZEL_EXCLUDES(m_mutex);
    size_t glance() const { return m_filed.load(std::memory_order_relaxed); }
    // Whether the conference `confid` is filed and has a sender.
    bool has_sender(const std::string& confid) ZEL_EXCLUDES(m_mutex);
    // Endstations waiting in `confid`, or -1 when it names no conference (tests).
    long waiting(const std::string& confid) ZEL_EXCLUDES(m_mutex);

private:
    zel::Mutex m_mutex;
    std::map<std::string, std::shared_ptr<Conference>> m_conferences ZEL_GUARDED_BY(m_mutex);
    uint64_t m_serial ZEL_GUARDED_BY(m_mutex) = 0;  // tells conferences of one identifier apart
    std::atomic<size_t> m_filed{0};
};

extern Activelist g_activelist;

#endif
