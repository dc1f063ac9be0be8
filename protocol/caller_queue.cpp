// The inbound queue: the timed receive and its wall-clock deadline.
#include <cerrno>
#include <ctime>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/lock.h"

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
// 1970-01-01 00:00:00 UTC in 100 ns ticks since 1601-01-01 00:00:00 UTC.
constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;

}  // namespace

uint64_t AbsTime::clock_ticks() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return kUnixEpochTicks + static_cast<uint64_t>(now.tv_sec) * kTicksPerSecond +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

const timespec* AbsTime::after(double seconds) { return after_at(seconds, clock_ticks()); }

const timespec* AbsTime::after_at(double seconds, uint64_t now_ticks_since_1601) {
    uint64_t whole = static_cast<uint64_t>(seconds);
    uint64_t fraction = static_cast<uint64_t>((seconds - static_cast<double>(whole)) * 10000000.0);
    if (m_deadline.tv_sec == 0) epoch = kUnixEpochTicks;
    uint64_t now = now_ticks_since_1601 - epoch;
    uint64_t deadline_seconds = whole + now / kTicksPerSecond;
    uint64_t deadline_ticks = fraction + now % kTicksPerSecond;
    if (deadline_ticks >= kTicksPerSecond) {
        deadline_ticks -= kTicksPerSecond;
        deadline_seconds += 1;
    }
    m_deadline.tv_sec = static_cast<time_t>(deadline_seconds);
    m_deadline.tv_nsec = static_cast<long>(deadline_ticks * 100);
    return &m_deadline;
}

int Caller::receive(std::string& out, double timeout) { return wait_message(out, timeout, false); }

int Caller::wait_message(std::string& out, double timeout, bool port_wakeups) {
    zel_inform(stderr, "caller requesting lock for receive\n");
    zel::MutexGuard guard(m_queue_mutex);
    int waited = 0;
    if (m_queue.empty() && !m_link_ended && !(port_wakeups && m_port_wakeup)) {
        AbsTime deadline;
        const timespec* until = deadline.after(timeout);
        do {
            waited = pthread_cond_timedwait(&m_queue_cond, &m_queue_mutex, until);
        } while (waited == 0 && m_queue.empty() && !m_link_ended && !(port_wakeups && m_port_wakeup));
    }
    if (port_wakeups && m_port_wakeup && m_queue.empty() && !m_link_ended) {
        m_port_wakeup = false;
        return 2;
    }
    m_port_wakeup = false;
    // A link that has ended delivers what it queued, then nothing: no wait for a message that cannot come.
    if (waited != 0 || m_queue.empty()) {
        zel::logline("caller receive timed out  ", out);
        // An ended link is no time-out worth an error line; the log line above still records it.
        if (waited != 0) fprintf(stderr, "caller timed out %s\n", out.c_str());
        return 0;
    }
    out = std::move(m_queue.front());
    m_queue.pop_front();
    zel_inform(stderr, "caller popped %s\n", out.c_str());
    zel::logline("caller popped  ", out);
    return 1;
}

int Caller::has_message() {
    zel::MutexGuard guard(m_queue_mutex);
    return m_queue.empty() ? 0 : 1;
}

std::string Caller::pop_message() {
    zel::MutexGuard guard(m_queue_mutex);
    std::string front = std::move(m_queue.front());
    m_queue.pop_front();
    return front;
}

bool Caller::link_ended() {
    zel::MutexGuard guard(m_queue_mutex);
    return m_link_ended;
}
