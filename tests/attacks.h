// The hostile parties that the hostile suite and the hostile benchmark run against a coordinator in
// this process: one row per attack. Each runs on a thread of the caller's until it is told to stop
// (some end by themselves), returns whether what it saw of the coordinator was sound, and names the
// event by which the coordinator must tell what it did about it.
//
// The rows rely on small time limits (TQR_LISTEN_TIMEOUT=2, TQR_HANDSHAKE_TIMEOUT=1,
// TQR_KEYCHECK_TIMEOUT=1), which the build sets for the programs that run them.
#ifndef ZEL_TESTS_ATTACKS_H
#define ZEL_TESTS_ATTACKS_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "harness.h"

namespace harness {

constexpr const char* kHonestKey = "hostile-key";

// What an attack works with: the flag that stops it, and the events of the process.
struct Arena {
    explicit Arena(EventLog& log) : events(log) {}
    std::atomic<bool> stop{false};
    EventLog& events;
    std::mutex mutex;  // with `halted`, lets an attack that only waits sleep until the stop
    std::condition_variable halted;

    void halt() {
        std::lock_guard<std::mutex> guard(mutex);
        stop = true;
        halted.notify_all();
    }
    void wait_halted() {
        std::unique_lock<std::mutex> lock(mutex);
        halted.wait(lock, [this] { return stop.load(); });
    }
};

struct Attack {
    const char* name;
    std::function<bool(Arena&)> run;
    zel::PartyEventKind told;  // the coordinator must report this event ...
    const char* what;     // ... with this `what`
};

const std::vector<Attack>& attacks();

// An honest sender of `conference` in this process, joined, serving until it goes.
class HonestSender {
public:
    HonestSender(const std::string& conference, EventLog& events);
    CallerParty party;
};

}  // namespace harness

#endif
