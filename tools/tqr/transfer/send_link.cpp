// `tqr send` on each direct link: the key confirmation, the payload and the endstation's receipt.
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "net/socket.h"
#include "protocol/caller.h"
#include "protocol/host.h"
#include "code/code_link.h"
#include "transfer/party.h"
#include "transfer/read_ahead.h"
#include "transfer/send_state.h"

namespace tqr {

namespace {

// How long an endstation may take to answer the offer (its person may be asked), and to confirm its
// copy, before it counts as lost; the payload itself may stall for stall_seconds() only.
constexpr int kLinkSeconds = 60;
constexpr int kWalkWaitSeconds = kLinkSeconds - 5;
// The links under way show themselves on the line (Receiver), so the counters say what has ended.
std::string counters_text(SendState& state) ZEL_REQUIRES(state.mutex) {
    std::string text = "served " + std::to_string(state.served);
    if (state.limit > 0) text += " of " + std::to_string(state.limit);
    if (state.lost > 0) text += ", " + std::to_string(state.lost) + " lost";
    if (state.refused > 0) text += ", " + std::to_string(state.refused) + " refused";
    return text;
}

// A link's socket among SendState::links while its thread serves it, so that end_links() can end it.
class LinkEntry {
public:
    LinkEntry(SendState& state, int fd) : m_state(state), m_fd(fd) {
        zel::MutexLock lock(m_state.receivers_mutex);
        m_listed = !m_state.links_ended;
        if (m_listed) m_state.links.insert(m_fd);
    }
    ~LinkEntry() {
        zel::MutexLock lock(m_state.receivers_mutex);
        if (m_listed) m_state.links.erase(m_fd);
    }
    LinkEntry(const LinkEntry&) = delete;
    LinkEntry& operator=(const LinkEntry&) = delete;
    // false: the command's end came first, and the link is not to be served.
    bool listed() const { return m_listed; }

private:
    SendState& m_state;
    int m_fd;
    bool m_listed;
};

// Each test of a guess at the code, booked in the instant it is made (Guesses::test): the failure is
// counted before another link's tag may be checked. On the link's own thread; the guesses are taken
// under SendState::mutex.
class GuessTest : public TagGate {
public:
    GuessTest(SendState& state, const std::string& source) : m_state(state), m_source(source) {}
    unsigned enter() override {
        zel::MutexLock lock(m_state.mutex);
        return m_state.guesses.test(Guesses::Clock::now());
    }
    void leave(bool matched) override {
        zel::MutexLock lock(m_state.mutex);
        m_delay = m_state.guesses.tested(m_source, matched, Guesses::Clock::now());
    }
    // The seconds the source waits before its next try, after a failed test.
    unsigned delay() const { return m_delay; }

private:
    SendState& m_state;
    const std::string& m_source;
    unsigned m_delay = 0;
};

}  // namespace

// One endstation's link from the moment it takes its place until it ends: what the status line shows
// of it, and what its summary says. Owned by the link's thread (serve_endstation), which alone writes
// it; the thread that draws the line reads it through receivers_under_way(). Its figures are guarded
// by SendState::receivers_mutex.
class Receiver {
public:
    typedef std::chrono::steady_clock Clock;
    Receiver(SendState& state, const std::string& peer)
        : m_state(state), m_peer(peer), m_total(state.offer.size_known && !state.tree ? state.offer.size : 0) {}
    ~Receiver() { leave(); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    void enlist() ZEL_EXCLUDES(m_state.receivers_mutex) {
        zel::MutexLock lock(m_state.receivers_mutex);
        m_place = m_state.receivers.insert(m_state.receivers.end(), this);
        m_listed = true;
    }
    // The link has ended: the line shows it no more.
    void leave() ZEL_EXCLUDES(m_state.receivers_mutex) {
        zel::MutexLock lock(m_state.receivers_mutex);
        if (m_listed) m_state.receivers.erase(m_place);
        m_listed = false;
    }
    // The payload is about to go: the endstation has answered the offer, so the time its person took
    // to answer counts in no rate.
    void begin() ZEL_EXCLUDES(m_state.receivers_mutex) {
        if (m_begun) return;  // only this link's thread reads or writes it
        m_begun = true;
        zel::MutexLock lock(m_state.receivers_mutex);
        m_began = Clock::now();
    }
    void moved(uint64_t bytes, uint64_t kept, uint64_t total) ZEL_EXCLUDES(m_state.receivers_mutex) {
        zel::MutexLock lock(m_state.receivers_mutex);
        m_moved = bytes;
        m_kept = kept;
        m_total = total;
    }
    // Seconds since begin(), for the summary.
    double seconds() ZEL_EXCLUDES(m_state.receivers_mutex) {
        zel::MutexLock lock(m_state.receivers_mutex);
        return m_began == Clock::time_point() ? 0 : std::chrono::duration<double>(Clock::now() - m_began).count();
    }
    // Called with receivers_mutex held, by receivers_under_way() for each Receiver of the list that
    // mutex guards; the analysis cannot follow a list element to its state, so it is not asked to.
    Share share(Clock::time_point now) const ZEL_NO_THREAD_SAFETY_ANALYSIS {
        double seconds = m_began == Clock::time_point() ? 0 : std::chrono::duration<double>(now - m_began).count();
        // Under half a second a rate says more about the first write than about the link.
        return Share{m_peer, m_kept + m_moved, m_total, seconds > 0.5 ? static_cast<double>(m_moved) / seconds : 0};
    }

private:
    SendState& m_state;
    std::string m_peer;
    bool m_begun = false;
    bool m_listed ZEL_GUARDED_BY(m_state.receivers_mutex) = false;
    std::list<Receiver*>::iterator m_place ZEL_GUARDED_BY(m_state.receivers_mutex);
    Clock::time_point m_began ZEL_GUARDED_BY(m_state.receivers_mutex);
    uint64_t m_total ZEL_GUARDED_BY(m_state.receivers_mutex);
    uint64_t m_moved ZEL_GUARDED_BY(m_state.receivers_mutex) = 0;
    uint64_t m_kept ZEL_GUARDED_BY(m_state.receivers_mutex) = 0;
};

namespace {

// How one endstation's link ended.
enum Outcome {
    SERVED,       // it confirmed the payload
    LOST,         // the link failed, or the endstation found the payload damaged
    LOST_TOLD,    // ... because the source could not give it whole, which a line has told
    REFUSED,      // it does not speak the encrypted format, or declined the payload; nothing was sent
    MISMATCH,     // it failed the key confirmation; nothing was sent
    UNCONFIRMED,  // it ended, or ran out of time, before the key confirmation was done; nothing was sent
    EXTRA,        // confirmed when the --count was taken by others meanwhile; nothing was sent
};

// Counts a link as transferring, unless served and under way together reached the limit: an extra
// endstation gets nothing. (So a streamed standard input, which comes with a limit of 1, is read by
// one link only.) Only confirmed links count, so that strangers still confirming hold no place.
bool take_place(SendState& state, Receiver& receiver) ZEL_EXCLUDES(state.mutex) {
    zel::MutexLock lock(state.mutex);
    if (state.closing || (state.limit > 0 && state.served + state.active >= state.limit)) return false;
    ++state.active;
    receiver.enlist();
    state.progress->counters(counters_text(state));
    return true;
}

// The bytes one link serves: the file's (any link may read them at once), or a folder's archive,
// made afresh for each link.
SendResult send_offer(SendState& state, int fd, const Session& session, Receiver& receiver, const ByteCounter& counter,
                      unsigned char end[kEndBytes], uint64_t* start, bool* told) {
    if (!state.tree) {
        // A file written while this link reads it fails the link at its last bytes, before the end
        // that would vouch for a copy of two versions.
        // One whose size is no longer the offer's fails at once: a copy cut to the old size, or
        // padded, would be no version it ever had.
        const struct stat begun = state.source.version();
        const bool resized = state.source.resized();
        bool changed = false;
        ReadFunction file = state.source.reader();
        ReadFunction read = [&](uint64_t at, unsigned char* out, size_t capacity) -> ssize_t {
            receiver.begin();  // the first read comes once the endstation has answered the offer
            changed = changed || resized;
            ssize_t n = changed ? -1 : file(at, out, capacity);
            if (n > 0 && state.offer.size_known && at + static_cast<uint64_t>(n) == state.offer.size &&
                !state.source.still(begun))
                changed = true;
            if (!changed) return n;
            errno = ESTALE;
            return -1;
        };
        SendResult result = send_sealed(fd, session, state.offer, read, counter, end, start);
        if (changed) {
            state.progress->note(state.name + " changed while it was sent to " + peer_of(fd) +
                                  ", which got no copy of it; send it again once it is written");
            *told = true;
        }
        return result;
    }
    TreeStream stream(*state.tree);
    ReadAhead ahead([&stream](char* out, size_t size) { return stream.read(out, size); }, kBatchBytes);
    LendFunction lend = [&ahead, &receiver](const unsigned char** data) -> ssize_t {
        receiver.begin();
        const char* bytes = nullptr;
        ssize_t n = ahead.lend(&bytes);
        *data = reinterpret_cast<const unsigned char*>(bytes);
        return n;
    };
    SendResult result = send_sealed(fd, session, state.offer, nullptr, counter, end, start, lend);
    ahead.end();
    if (result == SEND_FAILED && !stream.error().empty()) {
        state.progress->note("cannot read the folder: " + stream.error());
        *told = true;
    }
    return result;
}

// The encrypted transfer on one link, after the key confirmation of a code or of a key, which has
// confirm_seconds() in all.
Outcome serve_sealed(SendState& state, int fd, LinkDeadline& deadline, const std::string& source, Receiver& receiver,
                     const ByteCounter& counter, uint64_t* start, bool* placed, GuessTest* guess) {
    Session session;
    deadline.set(confirm_seconds());
    ConfirmResult confirmed = state.code ? confirm_code(fd, true, *state.code, &session, guess)
                                          : confirm_link(fd, true, *state.keys, &session);
    if (confirmed == CONFIRM_MISMATCH) return MISMATCH;
    if (confirmed == CONFIRM_LATER) {
        state.progress->note("turned away a try at the code from " + source + ": the code takes " +
                              std::to_string(Guesses::kFailuresPerMinute) +
                              " tries a minute, and this minute's are taken after wrong codes; it got nothing");
        return REFUSED;
    }
    if (confirmed == CONFIRM_FOREIGN) {
        state.progress->note("an endstation at " + source + " does not speak the encrypted format (--plain?); it got nothing");
        return REFUSED;
    }
    if (confirmed != CONFIRMED) {
        if (LinkDeadline::passed())
            state.progress->note("an endstation at " + source + " did not finish the key confirmation within " +
                                  std::to_string(confirm_seconds()) + " s (TQR_CONFIRM_TIMEOUT); it got nothing");
        return UNCONFIRMED;
    }
    if (!(*placed = take_place(state, receiver))) {
        send_served_out(fd, session);
        return EXTRA;
    }
    const std::string peer = peer_of(fd);  // while the link is up: an interruption shuts it down
    state.progress->step("verified", "key confirmed, transferring", {{"peer", peer}});
    std::string words = check_words(session);
    if (state.progress->json()) {
        state.progress->step("check", "", {{"peer", peer}, {"words", words}});
    } else {
        state.progress->note("check words with " + peer + ": " + words);
    }
    if (state.verify && state.asks) {
        // One question on the terminal at a time, whatever the links confirming meanwhile.
        zel::MutexLock lock(state.verify_mutex);
        if (!state.progress->ask("does the endstation at " + peer + " show the check words " + words + "?")) {
            // A question that an interruption ended has had its last line already.
            if (!state.ending.claimed())
                state.progress->note("the check words with " + peer + " were not confirmed; it got nothing");
            return REFUSED;
        }
    }
    // A folder's offer is made once its walk ended; the endstation waits kLinkSeconds for it from the
    // end of its confirmation, which may have come a little before this one's.
    int walked = await_walk(state, kWalkWaitSeconds);
    if (walked == SendState::kStillWalking) {
        state.progress->note("the endstation at " + peer + " waited " + std::to_string(kWalkWaitSeconds) +
                              " s while " + state.name + " was still being read, as long as it waits for an offer; "
                              "it got nothing, and may try again once the folder is read");
        return REFUSED;
    }
    if (walked != EXIT_DONE) return LOST_TOLD;  // the walk's failure ended the command, and told why
    deadline.set(kLinkSeconds);
    unsigned char end[kEndBytes];
    bool told = false;
    SendResult sent = send_offer(state, fd, session, receiver, counter, end, start, &told);
    if (sent == SEND_DECLINED) {
        state.progress->note("an endstation declined " + state.name + " (it keeps a file of that name, will not "
                              "take the name, has no room or no folder it may write in, or its person did not "
                              "confirm the check words); it got nothing");
        return REFUSED;
    }
    if (sent != SENT) return told ? LOST_TOLD : LOST;
    deadline.set(kLinkSeconds);
    return wait_receipt(fd, session, end, kLinkSeconds * 1000) == 1 ? SERVED : LOST;
}

// Tells of a failed confirmation of the code, and withdraws the code at the limit.
void book_mismatch(SendState& state, const std::string& source, unsigned delay) ZEL_REQUIRES(state.mutex) {
    long failures = state.guesses.failures();
    if (state.progress->json()) {
        state.progress->step("mismatch", "", {{"peer", source}, {"failures", static_cast<double>(failures)},
                                               {"wait", static_cast<double>(delay)}});
    } else {
        state.progress->note("an endstation at " + source + " failed the key confirmation: it holds another code, "
                              "or someone on the link tried to take its place; it got nothing (failure " +
                              std::to_string(failures) + " of at most " + std::to_string(Guesses::most_failures()) +
                              "; " + source + " waits " + std::to_string(delay) + " s before its next try)");
    }
    if (state.guesses.exhausted()) {
        state.guessed = true;
        close_coordinator_link(state);
    }
}

// Books what became of one link.
void count_outcome(SendState& state, Outcome outcome, const std::string& source, bool placed, unsigned delay)
    ZEL_REQUIRES(state.mutex) {
    if (placed) --state.active;
    if (outcome == SERVED) {
        ++state.served;
    } else if (outcome == LOST || outcome == LOST_TOLD) {
        ++state.lost;
    } else {
        ++state.refused;
    }
    state.progress->counters(counters_text(state));
    bool last = state.limit > 0 && state.served >= state.limit;
    state.progress->state(outcome == SERVED                           ? (last ? "done" : "done, waiting for the next endstation")
                           : outcome == LOST || outcome == LOST_TOLD ? "an endstation was lost"
                                             : "an endstation was refused");
    if (state.source.streamed() && outcome == LOST) {
        state.stream_used_up = true;
        close_coordinator_link(state);
    }
    if (outcome == MISMATCH && state.code) book_mismatch(state, source, delay);
    if (outcome == MISMATCH && !state.code)
        state.progress->note("an endstation at " + source + " failed the key confirmation: it holds another key, "
                              "or someone on the link tried to take its place; it got nothing");
    if (state.limit > 0 && state.served >= state.limit) close_coordinator_link(state);
}

}  // namespace

std::vector<Share> receivers_under_way(SendState& state) {
    std::vector<Share> shares;
    auto now = std::chrono::steady_clock::now();
    zel::MutexLock lock(state.receivers_mutex);
    for (const Receiver* receiver : state.receivers) shares.push_back(receiver->share(now));
    return shares;
}

void close_coordinator_link(SendState& state) {
    if (state.closing) return;
    state.closing = true;
    // Null once the main thread's loop returned: the link goes with its Caller then.
    if (state.caller != nullptr) zel::close_link(*state.caller);
}

void end_links(SendState& state) {
    zel::MutexLock lock(state.receivers_mutex);
    state.links_ended = true;
    for (int fd : state.links) net::end_both(fd);
}

void serve_endstation(int fd, void* context) {
    take_process_policy();
    SendState& state = *static_cast<SendState*>(context);
    LinkEntry entry(state, fd);
    if (!entry.listed()) return;
    std::string peer = peer_of(fd);  // while the link is up
    std::string source = peer.substr(0, peer.rfind(':'));
    unsigned wait = 0;
    {
        zel::MutexLock lock(state.mutex);
        if (state.closing || (state.limit > 0 && state.served + state.active >= state.limit)) {
            // Told so, the endstation need not take this for a wrong key.
            if (state.code) finished_hello(fd, code_hello_magic());
            if (state.keys) finished_hello(fd, key_hello_magic());
            return;
        }
        if (state.code && (wait = state.guesses.admit(source, Guesses::Clock::now())) > 0) {
            ++state.refused;
            state.progress->counters(counters_text(state));
        }
    }
    if (wait > 0) {
        // Before any confirmation byte, so that the try tests no guess.
        later_hello(fd, code_hello_magic(), wait);
        return;
    }
    state.progress->state(state.keys || state.code ? "key checked, confirming" : "key checked, transferring");
    bound_link(fd, kLinkSeconds);
    LinkDeadline deadline;
    Receiver receiver(state, peer);
    uint64_t reported = 0, start = 0;
    std::chrono::steady_clock::time_point told;
    ByteCounter counter = [&](uint64_t done, uint64_t total) {
        receiver.moved(done, start, total);
        state.progress->link_moved(peer, done, start, total, &told);
        reported = done;
    };
    Outcome outcome;
    bool placed = false;
    GuessTest guess(state, source);
    if (state.keys || state.code) {
        outcome = serve_sealed(state, fd, deadline, source, receiver, counter, &start, &placed, &guess);
    } else if (!(placed = take_place(state, receiver))) {
        outcome = EXTRA;
    } else {
        deadline.set(kLinkSeconds);
        payload_moved();
        receiver.begin();
        bool sent = send_payload(fd, state.name, state.source, counter);
        if (sent) deadline.set(kLinkSeconds);
        outcome = sent && wait_ack(fd, kLinkSeconds * 1000) == 1 ? SERVED : LOST;
        if (!sent && state.source.resized()) {
            state.progress->note(state.name + " changed size since it was offered, so " + source +
                                  " got no copy of it; send it again");
            outcome = LOST_TOLD;
        }
    }
    // Once the command's end was claimed (an interruption ended this link), its last line stands.
    if (state.ending.claimed()) return;
    if (outcome == LOST && LinkDeadline::passed()) {
        state.progress->note("the link to " + source + " moved no payload for " + std::to_string(stall_seconds()) +
                              " s (TQR_STALL_TIMEOUT), so it ended; the endstation is counted lost");
    } else if (outcome == LOST) {
        // The endstation went away (at its question, say), or found the payload damaged.
        state.progress->note("the transfer to " + (peer.empty() ? source : peer) + " did not complete, after " +
                              Progress::human_bytes(static_cast<double>(reported)) + "; the endstation is counted lost");
    }
    if (outcome == SERVED) {
        double seconds = receiver.seconds();
        state.progress->step("done", "", {{"peer", peer}, {"bytes", static_cast<double>(reported)},
                                           {"seconds", seconds}, {"kept", static_cast<double>(start)}});
        std::string line = state.name + ": " + Progress::rate_text(reported, seconds) + ", to " + peer;
        if (start > 0) line += " (it had the first " + Progress::human_bytes(static_cast<double>(start)) + ")";
        state.progress->summary(line);
    }
    receiver.leave();
    zel::MutexLock lock(state.mutex);
    if (state.code) state.guesses.ended(source);
    count_outcome(state, outcome, source, placed, guess.delay());
}

}  // namespace tqr
