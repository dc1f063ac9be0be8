#include "protocol/inbound_queue.h"

bool InboundQueue::push(std::string text) {
    zel::MutexLock lock(m_mutex);
    // An empty queue takes any message, so one of the longest always fits; a loop that waits to read
    // itself takes these first, so the reader finishes its read instead of waiting for room.
    while (!m_closed && !m_loop_reads && m_head < m_messages.size() && m_bytes + text.size() + kMessageOverhead > kQueueBytes)
        m_cond.wait(m_mutex);
    if (m_closed) return false;
    m_bytes += text.size() + kMessageOverhead;
    if (m_bytes > m_peak_bytes.load()) m_peak_bytes.store(m_bytes);
    m_messages.push_back(std::move(text));
    m_held.store(m_messages.size() - m_head);
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

InboundQueue::PopResult InboundQueue::pop(std::string* out, const timespec* deadline) {
    zel::MutexLock lock(m_mutex);
    int waited = 0;
    while (m_head == m_messages.size() && !m_ended && waited == 0) {
        if (deadline == nullptr) {
            waited = -1;
            break;
        }
        waited = m_cond.wait_until(m_mutex, *deadline);
    }
    if (m_head == m_messages.size()) return m_ended ? POP_ENDED : POP_TIMED_OUT;
    *out = std::move(m_messages[m_head++]);
    m_bytes -= out->size() + kMessageOverhead;
    if (m_head == m_messages.size()) {
        m_messages.clear();
        m_head = 0;
    } else if (m_head >= 64 && 2 * m_head >= m_messages.size()) {
        m_messages.erase(m_messages.begin(), m_messages.begin() + static_cast<long>(m_head));
        m_head = 0;
    }
    m_held.store(m_messages.size() - m_head);
    // Room for a reader that waits.
    m_cond.broadcast();
    return POP_MESSAGE;
}

bool InboundQueue::wait_ended(const timespec& deadline) {
    zel::MutexLock lock(m_mutex);
    while (!m_ended && m_cond.wait_until(m_mutex, deadline) == 0) {
    }
    return m_ended;
}

void InboundQueue::reader_starts() {
    zel::MutexLock lock(m_mutex);
    m_reader = true;
}

void InboundQueue::want_reading() {
    zel::MutexLock lock(m_mutex);
    m_loop_reads = true;
    m_cond.broadcast();
}

void InboundQueue::await_reader() {
    zel::MutexLock lock(m_mutex);
    while (m_reader && !m_reader_parked && !m_ended && !m_closed) m_cond.wait(m_mutex);
}

void InboundQueue::give_reading_back() {
    zel::MutexLock lock(m_mutex);
    m_loop_reads = false;
    m_cond.broadcast();
}

bool InboundQueue::reader_turn() {
    zel::MutexLock lock(m_mutex);
    while (m_loop_reads && !m_closed && !m_ended) {
        m_reader_parked = true;
        m_cond.broadcast();
        m_cond.wait(m_mutex);
    }
    m_reader_parked = false;
    if (m_closed || m_ended) {
        m_reader = false;
        m_cond.broadcast();
        return false;
    }
    return true;
}

bool InboundQueue::reader_may_read() {
    zel::MutexLock lock(m_mutex);
    return !m_loop_reads && !m_closed && !m_ended;
}

bool InboundQueue::has_message() {
    zel::MutexLock lock(m_mutex);
    return m_head < m_messages.size();
}

bool InboundQueue::peek(std::string* out) {
    zel::MutexLock lock(m_mutex);
    if (m_head == m_messages.size()) return false;
    *out = m_messages[m_head];
    return true;
}

std::string InboundQueue::pop_front() {
    std::string out;
    pop(&out, nullptr);
    return out;
}

bool InboundQueue::ended() {
    zel::MutexLock lock(m_mutex);
    return m_ended;
}
