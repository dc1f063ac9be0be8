// PartyRegistry: the coordinator's parties that have joined a conference, by cookie, so that a cookie
// read from the wire is acted on only when it names one of them, with the role and conference the
// message needs. A cookie is never followed as a pointer unless this registry vouches for it.
//
// A hold keeps the named Caller from being destroyed until it is released: remove() waits for every
// hold to end. One instance per process, g_parties. Every operation may be called from any thread;
// m_mutex is a leaf (no lock is taken while it is held).
#ifndef ZEL_PROTOCOL_PARTY_REGISTRY_H
#define ZEL_PROTOCOL_PARTY_REGISTRY_H

#include <string>
#include <unordered_map>

#include "protocol/cookie.h"
#include "protocol/mutex.h"

class Caller;

class PartyRegistry {
public:
    PartyRegistry() = default;
    PartyRegistry(const PartyRegistry&) = delete;
    PartyRegistry& operator=(const PartyRegistry&) = delete;

    void add(Caller* caller, int role, const std::string& confid) ZEL_EXCLUDES(m_mutex);
    // Takes `caller` out and waits until no hold on it is left. Harmless for a Caller never added.
    void remove(Caller* caller) ZEL_EXCLUDES(m_mutex);
    // The Caller that `cookie` names when it is live, has `role` and is filed under `confid`; it is
    // held until release(). Null otherwise.
    Caller* hold(Cookie cookie, int role, const std::string& confid) ZEL_EXCLUDES(m_mutex);
    void release(Caller* caller) ZEL_EXCLUDES(m_mutex);
    size_t size() ZEL_EXCLUDES(m_mutex);

private:
    struct Entry {
        Caller* caller;
        int role;
        std::string confid;
        int holds;
        bool leaving;  // remove() is waiting: no new hold
    };
    zel::Mutex m_mutex;
    zel::CondVar m_released;  // the last hold on an entry that is leaving ended
    std::unordered_map<Cookie, Entry> m_parties ZEL_GUARDED_BY(m_mutex);
};

extern PartyRegistry& g_parties;

// Holds a live party for one scope.
class HeldParty {
public:
    HeldParty(Cookie cookie, int role, const std::string& confid) : m_caller(g_parties.hold(cookie, role, confid)) {}
    ~HeldParty() {
        if (m_caller) g_parties.release(m_caller);
    }
    HeldParty(const HeldParty&) = delete;
    HeldParty& operator=(const HeldParty&) = delete;
    Caller* get() const { return m_caller; }

private:
    Caller* m_caller;
};

#endif
