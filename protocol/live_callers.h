// LiveCallers: the coordinator's Callers that have joined a conference, so that a cookie read from the
// wire is acted on only when it names one of them, with the role and conference the message needs.
// Cookies are never followed as pointers before this check. Internal header.
//
// A hold keeps the named Caller from being destroyed until it is released: remove() waits for every
// hold to end. Every operation may be called from any thread; m_mutex is a leaf lock (no Caller lock is
// taken while it is held).
#ifndef ZEL_PROTOCOL_LIVE_CALLERS_H
#define ZEL_PROTOCOL_LIVE_CALLERS_H

#include <pthread.h>

#include <string>
#include <unordered_map>

class Caller;

class LiveCallers {
public:
    LiveCallers();
    ~LiveCallers();
    LiveCallers(const LiveCallers&) = delete;
    LiveCallers& operator=(const LiveCallers&) = delete;

    void add(Caller* caller, int role, const std::string& confid);
    // Takes `caller` out and waits until no hold on it is left. Harmless for a Caller never added.
    void remove(Caller* caller);
    // The Caller that `cookie` names when it is live, has `role` and is filed under `confid`; it is
    // held until release(). Null otherwise.
    Caller* hold(const void* cookie, int role, const std::string& confid);
    void release(Caller* caller);
    size_t size();

private:
    struct Entry {
        int role;
        std::string confid;
        int holds;
        bool leaving;  // remove() is waiting: no new hold
    };
    pthread_mutex_t m_mutex;  // guards m_callers; a leaf
    pthread_cond_t m_released;
    std::unordered_map<const void*, Entry> m_callers;
};

extern LiveCallers g_live_callers;

// Holds a live Caller for one scope.
class HeldCaller {
public:
    HeldCaller(const void* cookie, int role, const std::string& confid)
        : m_caller(g_live_callers.hold(cookie, role, confid)) {}
    ~HeldCaller() {
        if (m_caller) g_live_callers.release(m_caller);
    }
    HeldCaller(const HeldCaller&) = delete;
    HeldCaller& operator=(const HeldCaller&) = delete;
    Caller* get() const { return m_caller; }

private:
    Caller* m_caller;
};

#endif
