// The library's clock. Every deadline of the protocol is a point on the monotonic clock, in seconds
// (zel::now()), so that a wall clock set back or forward changes no time limit. The one exception is
// AbsTime, the deadline of the timed receive on a Caller's inbound queue, which is defined on the wall
// clock with its own tick arithmetic.
#ifndef ZEL_PROTOCOL_CLOCK_H
#define ZEL_PROTOCOL_CLOCK_H

#include <cstdint>
#include <ctime>

namespace zel {

// Seconds on the monotonic clock.
double now();

// `at` (seconds on the monotonic clock) as a timespec for a CondVar made with CLOCK_MONOTONIC.
timespec monotonic_timespec(double at);

// A time limit a host gave, made safe for the deadline arithmetic: NaN and negatives are 0, and
// anything beyond kLongestLimit (infinity too) is kLongestLimit, which no host outlives.
constexpr double kLongestLimit = 1e9;  // about 31 years
double bounded_seconds(double seconds);

}  // namespace zel

// A wall-clock deadline for a timed condition wait. The arithmetic counts 100 ns ticks from
// 1601-01-01, the unit in which the deadline was first defined, so that deadlines come out to the tick.
struct AbsTime {
    timespec m_deadline{};
    // Ticks from 1601-01-01 to 1970-01-01; set on the first use of a fresh AbsTime.
    uint64_t epoch = 0;

    // The current time plus `seconds`.
    const timespec* after(double seconds);
    // The same, with the clock given as ticks since 1601-01-01 (for tests).
    const timespec* after_at(double seconds, uint64_t now_ticks_since_1601);
    // The wall clock (CLOCK_REALTIME) in ticks since 1601-01-01.
    static uint64_t clock_ticks();
};

#endif
