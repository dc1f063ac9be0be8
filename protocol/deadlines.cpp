#include "protocol/deadlines.h"

#include "protocol/clock.h"
#include "protocol/threads.h"

Deadlines::~Deadlines() { stop(); }

void Deadlines::stop() {
    bool joinable;
    {
        zel::MutexLock lock(m_mutex);
        m_stopping = true;
        joinable = m_started;
        m_changed.broadcast();
    }
    if (joinable) pthread_join(m_thread, nullptr);
    zel::MutexLock lock(m_mutex);
    m_stopping = false;
    m_started = false;
    m_sleeping_until = kNever;
}

uint64_t Deadlines::schedule(double at, Action action) {
    zel::MutexLock lock(m_mutex);
    uint64_t id = ++m_last_id;
    m_due.emplace(std::make_pair(at, id), std::move(action));
    m_when.emplace(id, at);
    if (!m_started) start();
    // The thread is woken only when it sleeps past this action; most limits come after the one it
    // waits for.
    if (at < m_sleeping_until) m_changed.broadcast();
    return id;
}

void Deadlines::cancel(uint64_t id) {
    zel::MutexLock lock(m_mutex);
    auto found = m_when.find(id);
    if (found == m_when.end()) return;
    m_due.erase(std::make_pair(found->second, id));
    m_when.erase(found);
}

size_t Deadlines::pending() {
    zel::MutexLock lock(m_mutex);
    return m_due.size();
}

void Deadlines::start() {
    // Should the thread not start, the next schedule() tries again; meanwhile nothing is given up on.
    m_started = zel::start_thread(&m_thread, s_deadlinethread, this, zel::kSmallStack);
}

void* Deadlines::s_deadlinethread(void* deadlines) {
    static_cast<Deadlines*>(deadlines)->run();
    return nullptr;
}

void Deadlines::run() {
    for (;;) {
        Action due;
        {
            zel::MutexLock lock(m_mutex);
            for (;;) {
                if (m_stopping) return;
                if (!m_due.empty() && m_due.begin()->first.first <= zel::now()) break;
                if (m_due.empty()) {
                    m_sleeping_until = kNever;
                    m_changed.wait(m_mutex);
                } else {
                    m_sleeping_until = m_due.begin()->first.first;
                    m_changed.wait_until(m_mutex, zel::monotonic_timespec(m_sleeping_until));
                }
                m_sleeping_until = 0;
            }
            auto first = m_due.begin();
            due = std::move(first->second);
            m_when.erase(first->first.second);
            m_due.erase(first);
        }
        due();
    }
}
