// zel_bench_rendezvous: the system measured where its users feel it, on loopback, with the shared
// harness (tests/harness.h): a coordinator in this process, library senders and endstations run as
// hosts run them, and, for the idle phase, a second process that holds thousands of raw parties. The
// floor (floor.h) is measured in the same run. Output: name=value lines; "# " lines are notes.
#ifndef ZEL_BENCH_BENCH_H
#define ZEL_BENCH_BENCH_H

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "floor.h"
#include "harness.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using harness::milliseconds;
using zel_floor::percentile;
using zel_floor::Usage;

constexpr const char* kKey = "bench-key";
// How long one rendezvous may take before its phase is given up on.
constexpr milliseconds kRoundLimit(10000);

// ---- Output --------------------------------------------------------------------------------------

void figure(const std::string& name, double value, int decimals = 1);
void note(const std::string& text);
double micros(Clock::duration d);

// ---- The bridge ----------------------------------------------------------------------------------

// The host's bridge (the endstations' callback, the senders' handler): pairs the two ends of each
// rendezvous by the direct link's ports (or in order, one rendezvous at a time), counts the pairs and
// keeps the time of each. The endstation's socket is the host's once bridged, and is closed here once
// both ends were called (the sender's side may still be reading its key frame before that); the
// library closes the sender's own when the call returns.
class BridgeBook {
public:
    // `sender`: the call came from the sender's own handler, not the endstations' callback.
    void on_bridge(int fd, bool sender);
    // While one rendezvous at a time is under way, its two ends are paired in the order they come,
    // without asking the kernel for their ports: the floor does nothing of the kind either.
    void pair_in_order(bool in_order);
    long completed();
    // Waits until `count` pairs were made in all; false when `limit` passed first.
    bool wait_completed(long count, milliseconds limit);
    Clock::time_point last_done();
    // Closes the endstation ends whose sender end never came.
    void drop_unpaired();

private:
    struct Half {
        bool sender;
        int fd;
    };
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::unordered_map<uint32_t, Half> m_halves;
    bool m_in_order = false;
    std::vector<int> m_ordered_endstations;  // in order: endstation ends whose sender end is due
    long m_ordered_senders = 0;              // in order: sender ends whose endstation end is due
    long m_completed = 0;
    Clock::time_point m_last_done;
};

BridgeBook& book();
void bridge(int fd);

// ---- Parties -------------------------------------------------------------------------------------

// Runs `sender` as the sender of `conference` and waits until it has joined.
bool start_sender(harness::CallerParty& sender, const std::string& conference);

// ---- Phases --------------------------------------------------------------------------------------

struct Sequential {
    std::vector<double> latency_us;  // from the endstation's start until both ends were bridged
    double per_s = 0;                // whole rendezvous, one after another
};

// Endstations one after another in `conference`, whose sender has joined. false, with a note, when
// one did not finish.
bool run_sequential(const std::string& conference, int warmup, int rounds, Sequential* out);
// `conferences` senders at once, each with a stream of `each` endstations one after another.
bool run_concurrent(int conferences, int each, double* per_s);
// `count` endstations join one conference at once: the time until all are bridged.
bool run_fanout(int count, milliseconds limit, double* ms);

// The second process that holds the idle parties: forked before this process starts any thread, it
// opens raw parties to the coordinator when told, each an endstation alone in a conference of its own,
// and holds them until this process stops it.
class IdleClients {
public:
    ~IdleClients() { stop(); }
    bool start();
    // Opens `count` more parties; how many got through their handshake (it stops at the first that
    // did not), or -1 when the child did not answer within `limit`.
    int open(int count, milliseconds limit);
    // Ends the child, which closes every party, and waits for it.
    void stop();

private:
    pid_t m_pid = -1;
    int m_pidfd = -1;
    int m_commands = -1;
    int m_replies = -1;
};

struct IdleFigures {
    int parties = 0;
    int threads = 0;                   // of this process, with the parties up
    double threads_per_party = 0;
    double rss_kib_per_party = 0;
    std::vector<double> beside_us;     // rendezvous latency beside them
};

// As many idle parties as the limits allow (at most `cap` when it is positive), then `rounds`
// rendezvous beside them.
bool run_idle(IdleClients& clients, int cap, int warmup, int rounds, IdleFigures* out);

}  // namespace bench

#endif
