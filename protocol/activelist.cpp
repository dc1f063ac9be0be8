#include "protocol/activelist.h"

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/conference.h"
#include "protocol/lock.h"

Activelist::Activelist() {
    zel_inform(stderr, "activelist constructed\n");
    pthread_mutex_init(&m_mutex, nullptr);
}

Activelist::~Activelist() {
    std::map<std::string, Conference*> left;
    {
        zel::MutexGuard guard(m_mutex);
        left.swap(m_conferences);
    }
    for (auto& entry : left) {
        entry.second->close();
        retire(entry.second);
    }
    pthread_mutex_destroy(&m_mutex);
}

Conference* Activelist::find(const std::string& confid) {
    auto found = m_conferences.find(confid);
    return found == m_conferences.end() ? nullptr : found->second;
}

// Stops an erased conference's thread and frees it. Called without m_mutex: the stop waits for the
// thread's current pass, which may be sending, and the registry need not wait with it.
void Activelist::retire(Conference* conference) {
    if (conference == nullptr) return;
    conference->stop();
    delete conference;
}

bool Activelist::addcaller(const std::string& confid, Caller* caller) {
    zel::MutexGuard guard(m_mutex);
    Conference* conference = find(confid);
    if (conference == nullptr) {
        m_conferences[confid] = new Conference(caller, confid);
        zel_inform(stderr, "adding conference for %s\n", confid.c_str());
        return true;
    }
    bool added = conference->addcaller(caller, confid);
    zel_inform(stderr, added ? "adding caller to conference %s\n" : "NOT adding caller to conference %s\n",
               confid.c_str());
    return added;
}

void Activelist::signal(const std::string& confid) {
    zel::MutexGuard guard(m_mutex);
    if (Conference* conference = find(confid)) {
        conference->signal();
        zel::logline("signalling conference ", confid);
    } else {
        zel::logline("error: conference ", confid, " does not exist");
    }
}

bool Activelist::dropreceiver(const std::string& confid, Caller* caller) {
    Conference* erased = nullptr;
    bool found = false;
    {
        zel::MutexGuard guard(m_mutex);
        Conference* conference = find(confid);
        if (conference != nullptr) {
            found = true;
            if (conference->dropreceiver(caller)) {
                conference->close();
                m_conferences.erase(confid);
                erased = conference;
                zel_inform(stderr, "deleted conference %s from active list\n", confid.c_str());
            }
        }
    }
    retire(erased);
    return found;
}

bool Activelist::remove(const std::string& confid) {
    Conference* erased = nullptr;
    {
        zel::MutexGuard guard(m_mutex);
        auto found = m_conferences.find(confid);
        if (found != m_conferences.end()) {
            erased = found->second;
            erased->close();
            m_conferences.erase(found);
        }
        zel_inform(stderr, "deleted conference %s from active list\n", confid.c_str());
    }
    retire(erased);
    return true;
}

size_t Activelist::size() {
    zel::MutexGuard guard(m_mutex);
    return m_conferences.size();
}

long Activelist::waiting(const std::string& confid) {
    zel::MutexGuard guard(m_mutex);
    Conference* conference = find(confid);
    return conference ? static_cast<long>(conference->waiting()) : -1;
}
