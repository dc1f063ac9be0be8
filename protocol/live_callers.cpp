#include "protocol/live_callers.h"

#include "protocol/lock.h"

LiveCallers::LiveCallers() {
    pthread_mutex_init(&m_mutex, nullptr);
    pthread_cond_init(&m_released, nullptr);
}

LiveCallers::~LiveCallers() {
    pthread_cond_destroy(&m_released);
    pthread_mutex_destroy(&m_mutex);
}

void LiveCallers::add(Caller* caller, int role, const std::string& confid) {
    zel::MutexGuard guard(m_mutex);
    m_callers[caller] = Entry{role, confid, 0, false};
}

void LiveCallers::remove(Caller* caller) {
    zel::MutexGuard guard(m_mutex);
    auto found = m_callers.find(caller);
    if (found == m_callers.end()) return;
    found->second.leaving = true;
    while (found != m_callers.end() && found->second.holds > 0) {
        pthread_cond_wait(&m_released, &m_mutex);
        found = m_callers.find(caller);  // another remove() may have erased it meanwhile
    }
    if (found != m_callers.end()) m_callers.erase(found);
}

Caller* LiveCallers::hold(const void* cookie, int role, const std::string& confid) {
    zel::MutexGuard guard(m_mutex);
    auto found = m_callers.find(cookie);
    if (found == m_callers.end() || found->second.leaving || found->second.role != role || found->second.confid != confid)
        return nullptr;
    ++found->second.holds;
    return static_cast<Caller*>(const_cast<void*>(found->first));
}

void LiveCallers::release(Caller* caller) {
    zel::MutexGuard guard(m_mutex);
    auto found = m_callers.find(caller);
    if (found != m_callers.end() && --found->second.holds == 0) pthread_cond_broadcast(&m_released);
}

size_t LiveCallers::size() {
    zel::MutexGuard guard(m_mutex);
    return m_callers.size();
}
