#include "protocol/party_registry.h"

void PartyRegistry::add(Caller* caller, int role, const std::string& confid) {
    zel::MutexLock lock(m_mutex);
    m_parties[Cookie::of(caller)] = Entry{caller, role, confid, 0, false};
}

void PartyRegistry::remove(Caller* caller) {
    zel::MutexLock lock(m_mutex);
    auto found = m_parties.find(Cookie::of(caller));
    if (found == m_parties.end()) return;
    found->second.leaving = true;
    while (found != m_parties.end() && found->second.holds > 0) {
        m_released.wait(m_mutex);
        found = m_parties.find(Cookie::of(caller));  // another remove() may have erased it meanwhile
    }
    if (found != m_parties.end()) m_parties.erase(found);
}

Caller* PartyRegistry::hold(Cookie cookie, int role, const std::string& confid) {
    zel::MutexLock lock(m_mutex);
    auto found = m_parties.find(cookie);
    if (found == m_parties.end() || found->second.leaving || found->second.role != role || found->second.confid != confid)
        return nullptr;
    ++found->second.holds;
    return found->second.caller;
}

void PartyRegistry::release(Caller* caller) {
    zel::MutexLock lock(m_mutex);
    auto found = m_parties.find(Cookie::of(caller));
    if (found != m_parties.end() && --found->second.holds == 0 && found->second.leaving) m_released.broadcast();
}

size_t PartyRegistry::size() {
    zel::MutexLock lock(m_mutex);
    return m_parties.size();
}
