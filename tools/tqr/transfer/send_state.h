// What `tqr send` shares between its main thread and the library threads that serve its links.
#ifndef ZEL_TOOLS_TQR_TRANSFER_SEND_STATE_H
#define ZEL_TOOLS_TQR_TRANSFER_SEND_STATE_H

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transfer/payload.h"
#include "cli/progress.h"
#include "transfer/secure.h"
#include "folder/tree.h"
#include "code/words.h"

class Caller;

namespace tqr {

// The failed confirmations of a code, by source address (the direct link's peer), and what they allow
// next. A failure never withdraws the code by itself: the source waits 1 s before its next try after
// its first failure, twice as long after each further one, at most kMostFailureDelaySeconds, and tries
// one at a time; per code, the failures of the last minute and the confirmations under way stay within
// kFailuresPerMinute, whatever the sources, so that many addresses guess no faster than one; at
// most_failures() in all (100 unless TQR_MAX_FAILED_CONFIRMATIONS says otherwise) the code is
// withdrawn. A guess online thus has at most 100 chances in 2^33, and 100 take ten minutes at least.
// Memory: one entry per source that failed or is confirming. Guarded by SendState::mutex.
class Guesses {
public:
    typedef std::chrono::steady_clock Clock;
    static constexpr long kFailuresPerMinute = 10;
    static constexpr unsigned kMostFailureDelaySeconds = 60;

    static long most_failures();
    // 0 when a link from `source` may confirm now (and is then counted as confirming until ended()),
    // otherwise the seconds it is to wait first.
    unsigned admit(const std::string& source, Clock::time_point now);
    void ended(const std::string& source);
    // Books a failure of `source`: the seconds before its next try.
    unsigned failed(const std::string& source, Clock::time_point now);
    long failures() const { return m_failures; }
    bool exhausted() const { return m_failures >= most_failures(); }
    // "127.0.0.2 ×97, 10.0.0.5 ×3": the sources, most failures first, the first few only.
    std::string sources_text() const;

private:
    struct Source {
        long failures = 0;
        int confirming = 0;
        Clock::time_point next_try;
    };
    std::map<std::string, Source> m_sources;
    std::deque<Clock::time_point> m_recent;  // the failures of the last minute, at most kFailuresPerMinute
    long m_confirming = 0;                   // confirmations under way, from every source
    long m_failures = 0;
};

// What the bridge callback serves, and what it has served. Written by run_send before the Caller
// connects; the counters are guarded by `mutex`, since bridge callbacks run on several library
// threads at once.
struct SendState {
    Caller* caller = nullptr;
    PayloadSource source;
    std::unique_ptr<TreeSource> tree;  // a folder: each link reads its own TreeStream of it
    PayloadHeader offer;               // what every endstation is offered (its name, size, kind)
    std::string name;
    long limit = 0;
    std::unique_ptr<LinkKeys> keys;  // --conference without --plain
    std::unique_ptr<Code> code;      // the code mode
    Progress* progress = nullptr;
    bool verify = false;  // --verify: each link's check words go before a person when there is one
    bool asks = false;    // a person answers questions on the terminal

    std::mutex mutex;
    long committed = 0;  // approved, and not yet bridged nor given up
    long active = 0;     // confirmed (or plain) and transferring: links still confirming count nowhere
    long served = 0;
    long lost = 0;
    long refused = 0;             // failed or never finished the key confirmation, was turned away, spoke
                                  // another format or declined the payload
    Guesses guesses;              // the code mode's failed confirmations
    bool closing = false;         // the coordinator link was shut down: the limit is reached, or see below
    bool stream_used_up = false;  // a streamed standard input went to a transfer that failed
    bool guessed = false;         // the code failed Guesses::most_failures() times
};

extern SendState g_send;

// Ends the message loop: process() returns once its link is gone; the main thread takes it from there.
// Called with g_send.mutex held.
void close_coordinator_link();

// The links under way, in the order they took their place, for the status line (Progress::shares()).
std::vector<Share> receivers_under_way();

// The bridge callback: runs on a listener thread of the library, one per key-checked endstation; the
// library closes `fd` when it returns.
void serve_endstation(int fd);

}  // namespace tqr

#endif
