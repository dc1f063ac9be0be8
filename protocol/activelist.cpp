#include "protocol/activelist.h"

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/conference.h"

Activelist::Activelist() { zel_inform(stderr, "activelist constructed\n"); }

Activelist::~Activelist() {
    zel::MutexLock lock(m_mutex);
    m_conferences.clear();
}

std::shared_ptr<Conference> Activelist::addcaller(const std::string& confid, Caller* caller) {
    zel::MutexLock lock(m_mutex);
    std::shared_ptr<Conference>& filed = m_conferences[confid];
    if (filed == nullptr) {
        filed = std::make_shared<Conference>(confid, ++m_serial);
        m_filed.store(m_conferences.size(), std::memory_order_relaxed);
        filed->addcaller(caller, confid);
        zel_inform(stderr, "adding conference for %s\n", confid.c_str());
        return filed;
    }
    bool added = filed->addcaller(caller, confid);
    zel_inform(stderr, added ? "adding caller to conference %s\n" : "NOT adding caller to conference %s\n",
               confid.c_str());
    return added ? filed : nullptr;
}

void Activelist::forget_if_empty(const std::shared_ptr<Conference>& conference) {
    zel::MutexLock lock(m_mutex);
    auto found = m_conferences.find(conference->confid());
    if (found == m_conferences.end() || found->second != conference || !conference->empty()) return;
    m_conferences.erase(found);
    m_filed.store(m_conferences.size(), std::memory_order_relaxed);
    zel_inform(stderr, "deleted conference %s from active list\n", conference->confid().c_str());
}

size_t Activelist::size() {
    zel::MutexLock lock(m_mutex);
    return m_conferences.size();
}

bool Activelist::has_sender(const std::string& confid) {
    std::shared_ptr<Conference> conference;
    {
        zel::MutexLock lock(m_mutex);
        auto found = m_conferences.find(confid);
        if (found == m_conferences.end()) return false;
        conference = found->second;
    }
    return conference->has_sender();
}

long Activelist::waiting(const std::string& confid) {
    zel::MutexLock lock(m_mutex);
    auto found = m_conferences.find(confid);
    return found == m_conferences.end() ? -1 : static_cast<long>(found->second->waiting());
}
