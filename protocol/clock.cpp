#include "protocol/clock.h"

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
// 1970-01-01 00:00:00 UTC in 100 ns ticks since 1601-01-01 00:00:00 UTC.
constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;

}  // namespace

double zel::now() {
    timespec clock{};
    clock_gettime(CLOCK_MONOTONIC, &clock);
    return static_cast<double>(clock.tv_sec) + static_cast<double>(clock.tv_nsec) / 1e9;
}

double zel::bounded_seconds(double seconds) {
    if (!(seconds > 0)) return 0;  // NaN as well
    return seconds < kLongestLimit ? seconds : kLongestLimit;
}

timespec zel::monotonic_timespec(double at) {
    // A deadline past what time_t holds would wrap into the past.
    if (!(at > 0)) at = 0;
    if (at > 2 * kLongestLimit) at = 2 * kLongestLimit;
    timespec out{};
    out.tv_sec = static_cast<time_t>(at);
    out.tv_nsec = static_cast<long>((at - static_cast<double>(out.tv_sec)) * 1e9);
    if (out.tv_nsec >= 1000000000L) {
        out.tv_sec += 1;
        out.tv_nsec -= 1000000000L;
    }
    return out;
}

uint64_t AbsTime::clock_ticks() {
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    return kUnixEpochTicks + static_cast<uint64_t>(clock.tv_sec) * kTicksPerSecond +
           static_cast<uint64_t>(clock.tv_nsec) / 100;
}

const timespec* AbsTime::after(double seconds) { return after_at(seconds, clock_ticks()); }

const timespec* AbsTime::after_at(double seconds, uint64_t now_ticks_since_1601) {
    uint64_t whole = static_cast<uint64_t>(seconds);
    uint64_t fraction = static_cast<uint64_t>((seconds - static_cast<double>(whole)) * 10000000.0);
    if (m_deadline.tv_sec == 0) epoch = kUnixEpochTicks;
    uint64_t ticks = now_ticks_since_1601 - epoch;
    uint64_t deadline_seconds = whole + ticks / kTicksPerSecond;
    uint64_t deadline_ticks = fraction + ticks % kTicksPerSecond;
    if (deadline_ticks >= kTicksPerSecond) {
        deadline_ticks -= kTicksPerSecond;
        deadline_seconds += 1;
    }
    m_deadline.tv_sec = static_cast<time_t>(deadline_seconds);
    m_deadline.tv_nsec = static_cast<long>(deadline_ticks * 100);
    return &m_deadline;
}
