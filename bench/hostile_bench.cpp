// The hostile parties of the hostile suite (tests/attacks.h), measured: for each attack, how long an
// honest rendezvous in another conference takes while the attack runs and after it, and how much the
// coordinator's resident memory grew. Against a coordinator in this process, or, with
// ZEL_COORDINATOR_PID set, against the coordinator process of that pid listening on
// TQR_COORDINATOR_PORT (then each attack runs for a fixed time, since that coordinator's events are
// not seen here). ZEL_ATTACK=N runs row N only. Prints name=value lines; run with the small time
// limits of the suite
// (TQR_LISTEN_TIMEOUT=2 TQR_HANDSHAKE_TIMEOUT=1 TQR_KEYCHECK_TIMEOUT=1).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "attacks.h"
#include "common/zel_common.h"

using namespace harness;

namespace {

double timed_rendezvous(const std::string& conference, EventLog& events) {
    auto start = std::chrono::steady_clock::now();
    HonestSender sender(conference, events);
    bool met = rendezvous(conference, kHonestKey, milliseconds(20000));
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return met ? ms : -1;
}

}  // namespace

int main() {
    zel::set_quiet(1);
    set_bridge_callback(record_bridge);
    const char* external = getenv("ZEL_COORDINATOR_PID");
    pid_t coordinator_pid = external ? static_cast<pid_t>(atoi(external)) : 0;
    EventLog events;
    std::unique_ptr<Coordinator> coordinator(external ? nullptr : new Coordinator);
    timed_rendezvous("warm-up", events);
    // ZEL_ATTACK=N runs row N only (a fresh coordinator for each row keeps one row's damage from
    // the next).
    const char* only = getenv("ZEL_ATTACK");
    int round = 0;
    for (const Attack& attack : attacks()) {
        if (only != nullptr && atoi(only) != round) {
            ++round;
            continue;
        }
        Arena arena(events);
        long before = resident_kib(coordinator_pid);
        size_t told = events.count(attack.told, attack.what);
        std::thread attacker([&] { attack.run(arena); });
        double during = timed_rendezvous("during-" + std::to_string(round), events);
        if (external) {
            std::this_thread::sleep_for(std::chrono::seconds(5));  // a fixed spell: no events to wait on
        } else {
            events.wait_for(attack.told, told + 1, attack.what, milliseconds(30000));
        }
        arena.halt();
        attacker.join();
        long grown = resident_kib(coordinator_pid) - before;
        double after = timed_rendezvous("after-" + std::to_string(round), events);
        close_bridged();
        printf("attack_%d_name=%s\nattack_%d_during_ms=%.1f\nattack_%d_after_ms=%.1f\nattack_%d_rss_growth_kib=%ld\n",
               round, attack.name, round, during, round, after, round, grown);
        fflush(stdout);
        ++round;
    }
    return 0;
}
