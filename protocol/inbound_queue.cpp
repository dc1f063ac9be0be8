#include "protocol/inbound_queue.h"

bool InboundQueue::push(std::string text) {
    zel::MutexLock lock(m_mutex);
    // An empty queue takes any message, so one of the longest always fits.
    while (!m_closed && !m_messages.empty() && m_bytes + text.size() + kMessageOverhead > kQueueBytes)
        m_cond.wait(m_mutex);
    if (m_closed) return false;
    m_bytes += text.size() + kMessageOverhead;
    m_messages.push_back(std::move(text));
    m_cond.broadcast();
    return true;
}

void InboundQueue::end() {
    zel::MutexLock lock(m_mutex);
    m_ended = true;
    m_cond.broadcast();
}

void InboundQueue::close() {
    zel::MutexLock lock(m_mutex);
    m_closed = true;
    m_cond.broadcast();
}

InboundQueue::PopResult InboundQueue::pop(std::string* out, const timespec* deadline, bool wakeable) {
    zel::MutexLock lock(m_mutex);
    int waited = 0;
    while (m_messages.empty() && !m_ended && !(wakeable && m_woken) && waited == 0) {
        if (deadline == nullptr) {
            waited = -1;
            break;
        }
        waited = m_cond.wait_until(m_mutex, *deadline);
    }
    if (m_messages.empty()) {
        if (wakeable && m_woken) {
            m_woken = false;
            return POP_WOKEN;
        }
        return m_ended ? POP_ENDED : POP_TIMED_OUT;
    }
    *out = std::move(m_messages.front());
    m_bytes -= out->size() + kMessageOverhead;
    m_messages.pop_front();
    // Room for a reader that waits.
    m_cond.broadcast();
    return POP_MESSAGE;
}

void InboundQueue::wake() {
    zel::MutexLock lock(m_mutex);
    m_woken = true;
    m_cond.broadcast();
}

bool InboundQueue::wait_ended(const timespec& deadline) {
    zel::MutexLock lock(m_mutex);
    while (!m_ended && m_cond.wait_until(m_mutex, deadline) == 0) {
    }
    return m_ended;
}

bool InboundQueue::has_message() {
    zel::MutexLock lock(m_mutex);
    return !m_messages.empty();
}

std::string InboundQueue::pop_front() {
    std::string out;
    pop(&out, nullptr, false);
    return out;
}

bool InboundQueue::ended() {
    zel::MutexLock lock(m_mutex);
    return m_ended;
}
