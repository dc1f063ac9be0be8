// What `tqr send` shares between its main thread, the library threads that serve its links and the
// thread that waits for its signals.
#ifndef ZEL_TOOLS_TQR_TRANSFER_SEND_STATE_H
#define ZEL_TOOLS_TQR_TRANSFER_SEND_STATE_H

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "protocol/coordinator_host.h"
#include "protocol/mutex.h"
#include "transfer/payload.h"
#include "transfer/party.h"
#include "cli/progress.h"
#include "transfer/secure.h"
#include "folder/tree.h"
#include "code/send_code.h"
#include "code/words.h"

class Caller;

namespace tqr {

// The failed confirmations of a code, by source address (the direct link's peer), and what they allow
// next. A failure never withdraws the code by itself: the source waits 1 s before its next try after
// its first failure, twice as long after each further one, at most kMostFailureDelaySeconds, and tries
// one at a time; per code, the failures of the last minute and the guesses being tested stay within
// kFailuresPerMinute, whatever the sources, so that many addresses guess no faster than one. A guess
// is tested in the instant the endstation's tag is checked (test(), tested()): a link that stalls
// before its tag has tested nothing and holds no place in that budget, so that silent links cannot
// turn the right code away. At
// most_failures() in all (100 unless TQR_MAX_FAILED_CONFIRMATIONS says otherwise) the code is
// withdrawn. A guess online thus has at most 100 chances in 2^33, and 100 take ten minutes at least.
// Memory: one entry per source that failed or is confirming. Guarded by SendState::mutex, which
// holds it.
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
    // Before an endstation's tag is checked: the seconds to wait when the code's budget for the
    // minute is spent, else 0, and it counts as a guess until tested() books its result: the seconds
    // before the source's next try when it failed, 0 when it matched.
    unsigned test(Clock::time_point now);
    unsigned tested(const std::string& source, bool matched, Clock::time_point now);
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
    // Books a failure of `source`: the seconds before its next try.
    unsigned failed(const std::string& source, Clock::time_point now);
    // The seconds until the oldest failure of the last minute leaves it; 0 while fewer than
    // kFailuresPerMinute (less `testing`) are in it.
    unsigned budget_wait(Clock::time_point now, long testing);

    std::deque<Clock::time_point> m_recent;  // the failures of the last minute, at most kFailuresPerMinute
    long m_testing = 0;                      // tags being checked, from every source
    long m_failures = 0;
};

class Receiver;

// Everything one run of `tqr send` serves and has served: owned by run_send, which fills the first
// part before the Caller connects; the library's callbacks (the bridge handler, the approval policy,
// the party observer) reach it through their context, the signal's thread through its own. The
// counters are guarded by `mutex`, since bridge handlers run on several library threads at once.
struct SendState {
    PayloadSource source;
    std::unique_ptr<TreeSource> tree;  // a folder: each link reads its own TreeStream of it
    // ... the same, for the signal's thread: a stop ends its walk at the next entry it looks at.
    std::atomic<TreeSource*> walked{nullptr};
    PayloadHeader offer;               // what every endstation is offered (its name, size, kind)
    std::string name;
    long limit = 0;
    std::unique_ptr<LinkKeys> keys;  // --conference without --plain
    std::unique_ptr<Code> code;      // the code mode
    bool code_chosen = false;        // ... with the person's own code (--code)
    Progress* progress = nullptr;
    bool verify = false;  // --verify: each link's check words go before a person when there is one
    bool asks = false;    // a person answers questions on the terminal
    // The own coordinator of the code mode when none answered: stopped once every Caller is gone.
    std::unique_ptr<zel::CoordinatorHost> coordinator;
    Admission admission;  // that coordinator's word on the conference being joined
    Ending ending;        // the command's end: the first claim, from whichever thread, stands
    int wake[2] = {-1, -1};  // a pipe: the signal's thread writes it to end the main thread's wait
                             // for a --text on standard input

    // A folder is walked on a thread of its own (start_walk), from before the code is shown, so that the
    // walk and the rendezvous overlap; a link confirmed meanwhile waits for the walk's end before its
    // offer, which carries the archive's length. The coordinator link is answered meanwhile.
    pthread_t walker{};
    bool walker_started = false;            // the main thread's, until join_walk()
    std::atomic<bool> walk_dropped{false};  // the command ends without the walk: its stop is no failure
    // Guards what follows. Before the Ending's lock and the Progress lock (the walk's end is told under
    // it, unless the end is claimed); no other lock is taken under it.
    zel::Mutex walk_mutex;
    zel::CondVar walk_ended;
    int walk_status ZEL_GUARDED_BY(walk_mutex) = kStillWalking;  // then EXIT_DONE or the exit status
    std::string conference ZEL_GUARDED_BY(walk_mutex);  // set once joined: what tell_serving() names
    bool serving_told ZEL_GUARDED_BY(walk_mutex) = false;
    static constexpr int kStillWalking = -1;

    // Guards the counters below and `caller`. First in the lock order: the Progress lock (the line is
    // drawn under it) and receivers_mutex may be taken under it, never the other way round.
    zel::Mutex mutex;
    Caller* caller ZEL_GUARDED_BY(mutex) = nullptr;  // the coordinator link, while it may be ended
    long active ZEL_GUARDED_BY(mutex) = 0;     // confirmed (or plain) and transferring: links still
                                               // confirming count nowhere
    long served ZEL_GUARDED_BY(mutex) = 0;
    long lost ZEL_GUARDED_BY(mutex) = 0;
    long refused ZEL_GUARDED_BY(mutex) = 0;  // failed or never finished the key confirmation, was
                                             // turned away, spoke another format or declined the payload
    Guesses guesses ZEL_GUARDED_BY(mutex);   // the code mode's failed confirmations
    bool closing ZEL_GUARDED_BY(mutex) = false;  // the coordinator link was shut down: the limit is
                                                 // reached, or see below
    bool stream_used_up ZEL_GUARDED_BY(mutex) = false;  // a streamed standard input went to a transfer that failed
    bool guessed ZEL_GUARDED_BY(mutex) = false;  // the code failed Guesses::most_failures() times
    // A stranger can knock on a lent port as fast as it connects: its key-check refusals are told at
    // most once a second, those in between counted into the next line, or into one before the last.
    std::chrono::steady_clock::time_point refusal_told ZEL_GUARDED_BY(mutex){};
    long refusals_untold ZEL_GUARDED_BY(mutex) = 0;

    // Held while a person is asked about one link's check words (--verify), so that the questions of
    // links that confirm together come one after the other. Taken by no one who holds another lock.
    zel::Mutex verify_mutex;
    // Guards what follows and every Receiver listed. The last lock taken, after `mutex` and the
    // Progress lock; nothing is called while it is held but the shutdown of a link's socket.
    zel::Mutex receivers_mutex;
    std::list<Receiver*> receivers ZEL_GUARDED_BY(receivers_mutex);  // in the order the links took their place
    std::set<int> links ZEL_GUARDED_BY(receivers_mutex);  // the sockets of the links being served
    bool links_ended ZEL_GUARDED_BY(receivers_mutex) = false;  // end_links() ran: no link starts any more
};

// Opens what the command serves (a file, standard input, a folder, several, a --text) into `state`:
// EXIT_DONE, or the exit status once the end was claimed or `progress` told why (send_source.cpp).
int open_source(SendState& state, const SendOptions& options, Progress& progress);
// Starts the walk of the folder that open_source opened, which announces the archive's length in the
// offer once it ends; a walk that fails claims the command's end. Nothing to walk: the walk is over.
void start_walk(SendState& state);
// On a link's thread: waits at most `seconds` for the walk's end. EXIT_DONE once the archive is
// measured, kStillWalking past the time, otherwise the walk's failure.
int await_walk(SendState& state, int seconds) ZEL_EXCLUDES(state.walk_mutex);
// Ends a walk still under way, without a word, and joins its thread: on the main thread, once the
// command is over.
void join_walk(SendState& state);
// Tells the line "joined conference C, serving NAME (...)" once joined (state.conference set) and
// walked, whichever comes last, and only once.
void tell_serving(SendState& state) ZEL_REQUIRES(state.walk_mutex);

// Ends the message loop: process() returns once its link is gone; the main thread takes it from there.
void close_coordinator_link(SendState& state) ZEL_REQUIRES(state.mutex);

// Ends every link being served, and every later one before it starts, once the command's end was
// claimed: their threads then return soon, and the receivers keep what they had.
void end_links(SendState& state) ZEL_EXCLUDES(state.receivers_mutex);

// The links under way, in the order they took their place, for the status line (Progress::shares()).
std::vector<Share> receivers_under_way(SendState& state) ZEL_EXCLUDES(state.receivers_mutex);

// The bridge handler, with the SendState as its context: runs on a listener thread of the library,
// one per key-checked endstation; the library closes `fd` when it returns.
void serve_endstation(int fd, void* context);

}  // namespace tqr

#endif
