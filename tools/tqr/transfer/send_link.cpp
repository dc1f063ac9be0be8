// `tqr send` on each direct link: the key confirmation, the payload and the endstation's receipt.
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "net/socket.h"
#include "protocol/caller.h"
#include "code/code_link.h"
#include "transfer/party.h"
#include "transfer/send_state.h"

namespace tqr {

SendState g_send;

long Guesses::most_failures() { return tool_setting("TQR_MAX_FAILED_CONFIRMATIONS", 100); }

unsigned Guesses::admit(const std::string& source, Clock::time_point now) {
    auto found = m_sources.find(source);
    if (found != m_sources.end()) {
        const Source& known = found->second;
        if (now < known.next_try)
            return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(known.next_try - now).count() + 1);
        // One try at a time from a source that failed, so that a burst of links gets one guess.
        if (known.failures > 0 && known.confirming > 0) return 1;
    }
    // Per code, whatever the source: failures of the last minute and confirmations under way (each may
    // be one) stay within kFailuresPerMinute, so that many addresses guess no faster than one.
    while (!m_recent.empty() && now - m_recent.front() >= std::chrono::minutes(1)) m_recent.pop_front();
    if (static_cast<long>(m_recent.size()) + m_confirming >= kFailuresPerMinute) {
        if (m_recent.empty()) return 1;
        return static_cast<unsigned>(60 - std::chrono::duration_cast<std::chrono::seconds>(now - m_recent.front()).count());
    }
    ++m_sources[source].confirming;
    ++m_confirming;
    return 0;
}

void Guesses::ended(const std::string& source) {
    auto found = m_sources.find(source);
    if (found == m_sources.end() || found->second.confirming == 0) return;
    --found->second.confirming;
    --m_confirming;
    if (found->second.failures == 0 && found->second.confirming == 0) m_sources.erase(found);
}

unsigned Guesses::failed(const std::string& source, Clock::time_point now) {
    Source& known = m_sources[source];
    ++known.failures;
    ++m_failures;
    unsigned delay = known.failures > 7 ? kMostFailureDelaySeconds
                                        : std::min(kMostFailureDelaySeconds, 1u << (known.failures - 1));
    known.next_try = now + std::chrono::seconds(delay);
    m_recent.push_back(now);
    return delay;
}

std::string Guesses::sources_text() const {
    constexpr size_t kShown = 5;
    std::vector<std::pair<long, std::string>> ranked;
    for (const auto& source : m_sources) ranked.push_back({-source.second.failures, source.first});
    std::sort(ranked.begin(), ranked.end());
    std::string text;
    for (size_t i = 0; i < std::min(kShown, ranked.size()); ++i)
        text += (i ? ", " : "") + ranked[i].second + " \u00d7" + std::to_string(-ranked[i].first);
    if (ranked.size() > kShown) text += " and " + std::to_string(ranked.size() - kShown) + " more";
    return text;
}

namespace {

// How long an endstation may take to answer the offer (its person may be asked), and to confirm its
// copy, before it counts as lost; the payload itself may stall for stall_seconds() only.
constexpr int kLinkSeconds = 60;
// The links under way show themselves on the line (Receiver), so the counters say what has ended.
std::string counters_text() {
    std::string text = "served " + std::to_string(g_send.served);
    if (g_send.limit > 0) text += " of " + std::to_string(g_send.limit);
    if (g_send.lost > 0) text += ", " + std::to_string(g_send.lost) + " lost";
    if (g_send.refused > 0) text += ", " + std::to_string(g_send.refused) + " refused";
    return text;
}

class Receiver;
// Held while a person is asked about one link's check words (--verify), so that the questions of
// links that confirm together come one after the other. Taken by no one who holds another lock.
std::mutex g_verify_mutex;
// Guards g_receivers and every record listed there. It is the last lock taken, after g_send.mutex and
// the Progress lock (the line is drawn under that one), and nothing is called while it is held.
std::mutex g_receivers_mutex;
std::list<Receiver*> g_receivers;  // in the order the links took their place

// One endstation's link from the moment it takes its place until it ends: what the status line shows
// of it, and what its summary says. Owned by the link's thread (serve_endstation), which alone writes
// it; the thread that draws the line reads it through receivers_under_way().
class Receiver {
public:
    typedef std::chrono::steady_clock Clock;
    explicit Receiver(const std::string& peer)
        : m_peer(peer), m_total(g_send.offer.size_known ? g_send.offer.size : 0) {}
    ~Receiver() { leave(); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    void enlist() {
        std::lock_guard<std::mutex> guard(g_receivers_mutex);
        m_place = g_receivers.insert(g_receivers.end(), this);
        m_listed = true;
    }
    // The link has ended: the line shows it no more.
    void leave() {
        std::lock_guard<std::mutex> guard(g_receivers_mutex);
        if (m_listed) g_receivers.erase(m_place);
        m_listed = false;
    }
    // The payload is about to go: the endstation has answered the offer, so the time its person took
    // to answer counts in no rate.
    void begin() {
        if (m_began != Clock::time_point()) return;  // only this link's thread writes it
        std::lock_guard<std::mutex> guard(g_receivers_mutex);
        m_began = Clock::now();
    }
    void moved(uint64_t bytes, uint64_t kept, uint64_t total) {
        std::lock_guard<std::mutex> guard(g_receivers_mutex);
        m_moved = bytes;
        m_kept = kept;
        m_total = total;
    }
    // Seconds since begin(), for the summary.
    double seconds() {
        std::lock_guard<std::mutex> guard(g_receivers_mutex);
        return m_began == Clock::time_point() ? 0 : std::chrono::duration<double>(Clock::now() - m_began).count();
    }
    // Called with g_receivers_mutex held.
    Share share(Clock::time_point now) const {
        double seconds = m_began == Clock::time_point() ? 0 : std::chrono::duration<double>(now - m_began).count();
        // Under half a second a rate says more about the first write than about the link.
        return Share{m_peer, m_kept + m_moved, m_total, seconds > 0.5 ? static_cast<double>(m_moved) / seconds : 0};
    }

private:
    std::string m_peer;
    bool m_listed = false;
    std::list<Receiver*>::iterator m_place;
    Clock::time_point m_began;
    uint64_t m_total;
    uint64_t m_moved = 0, m_kept = 0;
};

// How one endstation's link ended.
enum Outcome {
    SERVED,       // it confirmed the payload
    LOST,         // the link failed, or the endstation found the payload damaged
    REFUSED,      // it does not speak the encrypted format, or declined the payload; nothing was sent
    MISMATCH,     // it failed the key confirmation; nothing was sent
    UNCONFIRMED,  // it ended, or ran out of time, before the key confirmation was done; nothing was sent
    EXTRA,        // confirmed when the --count was taken by others meanwhile; nothing was sent
};

// Counts a link as transferring, unless served and under way together reached the limit: an extra
// endstation gets nothing. (So a streamed standard input, which comes with a limit of 1, is read by
// one link only.) Only confirmed links count, so that strangers still confirming hold no place.
bool take_place(Receiver& receiver) {
    std::lock_guard<std::mutex> guard(g_send.mutex);
    if (g_send.closing || (g_send.limit > 0 && g_send.served + g_send.active >= g_send.limit)) return false;
    ++g_send.active;
    receiver.enlist();
    g_send.progress->counters(counters_text());
    return true;
}

// The bytes one link serves: the file's (any link may read them at once), or a folder's archive,
// made afresh for each link.
SendResult send_offer(int fd, const Session& session, Receiver& receiver, const ByteCounter& counter,
                      unsigned char end[kEndBytes], uint64_t* start) {
    if (!g_send.tree) {
        // The first read comes once the endstation has answered the offer.
        ReadFunction file = g_send.source.reader();
        ReadFunction read = [&](uint64_t at, unsigned char* out, size_t capacity) -> ssize_t {
            receiver.begin();
            return file(at, out, capacity);
        };
        return send_sealed(fd, session, g_send.offer, read, counter, end, start);
    }
    TreeStream stream(*g_send.tree);
    std::string error;
    if (!stream.start(&error)) {
        g_send.progress->note("cannot read the folder: " + error);
        return SEND_FAILED;
    }
    ReadFunction read = [&stream, &receiver](uint64_t, unsigned char* out, size_t capacity) -> ssize_t {
        receiver.begin();
        return stream.read(reinterpret_cast<char*>(out), capacity);
    };
    SendResult result = send_sealed(fd, session, g_send.offer, read, counter, end, start);
    if (result == SEND_FAILED && !stream.error().empty()) g_send.progress->note("cannot read the folder: " + stream.error());
    return result;
}

// The encrypted transfer on one link, after the key confirmation of a code or of a key, which has
// confirm_seconds() in all.
Outcome serve_sealed(int fd, LinkDeadline& deadline, const std::string& source, Receiver& receiver,
                     const ByteCounter& counter, uint64_t* start, bool* placed) {
    Session session;
    deadline.set(confirm_seconds());
    ConfirmResult confirmed = g_send.code ? confirm_code(fd, true, *g_send.code, &session)
                                          : confirm_link(fd, true, *g_send.keys, &session);
    if (confirmed == CONFIRM_MISMATCH) return MISMATCH;
    if (confirmed == CONFIRM_FOREIGN) {
        g_send.progress->note("an endstation does not speak the encrypted format (--plain?); it got nothing");
        return REFUSED;
    }
    if (confirmed != CONFIRMED) {
        if (LinkDeadline::passed())
            g_send.progress->note("an endstation at " + source + " did not finish the key confirmation within " +
                                  std::to_string(confirm_seconds()) + " s (TQR_CONFIRM_TIMEOUT); it got nothing");
        return UNCONFIRMED;
    }
    if (!(*placed = take_place(receiver))) {
        send_served_out(fd, session);
        return EXTRA;
    }
    g_send.progress->step("verified", "key confirmed, transferring", {{"peer", peer_of(fd)}});
    std::string words = check_words(session);
    if (g_send.progress->json()) {
        g_send.progress->step("check", "", {{"peer", peer_of(fd)}, {"words", words}});
    } else {
        g_send.progress->note("check words with " + peer_of(fd) + ": " + words);
    }
    if (g_send.verify && g_send.asks) {
        // One question on the terminal at a time, whatever the links confirming meanwhile.
        std::lock_guard<std::mutex> guard(g_verify_mutex);
        if (!g_send.progress->ask("does the endstation at " + peer_of(fd) + " show the check words " + words + "?")) {
            g_send.progress->note("the check words with " + peer_of(fd) + " were not confirmed; it got nothing");
            return REFUSED;
        }
    }
    deadline.set(kLinkSeconds);
    unsigned char end[kEndBytes];
    SendResult sent = send_offer(fd, session, receiver, counter, end, start);
    if (sent == SEND_DECLINED) {
        g_send.progress->note("an endstation declined " + g_send.name + " (it keeps a file of that name, will not "
                              "take the name, or its person did not confirm the check words); it got nothing");
        return REFUSED;
    }
    if (sent != SENT) return LOST;
    deadline.set(kLinkSeconds);
    return wait_receipt(fd, session, end, kLinkSeconds * 1000) == 1 ? SERVED : LOST;
}

// Tells of a failed confirmation of the code, and withdraws the code at the limit. Called with
// g_send.mutex held.
void book_mismatch(const std::string& source) {
    unsigned delay = g_send.guesses.failed(source, Guesses::Clock::now());
    long failures = g_send.guesses.failures();
    if (g_send.progress->json()) {
        g_send.progress->step("mismatch", "", {{"peer", source}, {"failures", static_cast<double>(failures)},
                                               {"wait", static_cast<double>(delay)}});
    } else {
        g_send.progress->note("an endstation at " + source + " failed the key confirmation: it holds another code, "
                              "or someone on the link tried to take its place; it got nothing (failure " +
                              std::to_string(failures) + " of at most " + std::to_string(Guesses::most_failures()) +
                              "; " + source + " waits " + std::to_string(delay) + " s before its next try)");
    }
    if (g_send.guesses.exhausted()) {
        g_send.guessed = true;
        close_coordinator_link();
    }
}

// Books what became of one link. Called with g_send.mutex held.
void count_outcome(Outcome outcome, const std::string& source, bool placed) {
    if (placed) --g_send.active;
    if (outcome == SERVED) {
        ++g_send.served;
    } else if (outcome == LOST) {
        ++g_send.lost;
    } else {
        ++g_send.refused;
    }
    g_send.progress->counters(counters_text());
    bool last = g_send.limit > 0 && g_send.served >= g_send.limit;
    g_send.progress->state(outcome == SERVED ? (last ? "done" : "done, waiting for the next endstation")
                           : outcome == LOST ? "an endstation was lost"
                                             : "an endstation was refused");
    if (g_send.source.streamed() && outcome == LOST) {
        g_send.stream_used_up = true;
        close_coordinator_link();
    }
    if (outcome == MISMATCH && g_send.code) book_mismatch(source);
    if (outcome == MISMATCH && !g_send.code)
        g_send.progress->note("an endstation at " + source + " failed the key confirmation: it holds another key, "
                              "or someone on the link tried to take its place; it got nothing");
    if (g_send.limit > 0 && g_send.served >= g_send.limit) close_coordinator_link();
}

}  // namespace

std::vector<Share> receivers_under_way() {
    std::vector<Share> shares;
    auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> guard(g_receivers_mutex);
    for (const Receiver* receiver : g_receivers) shares.push_back(receiver->share(now));
    return shares;
}

void close_coordinator_link() {
    if (g_send.closing) return;
    g_send.closing = true;
    net::end_both(g_send.caller->m_conn->fd());
}

void serve_endstation(int fd) {
    std::string peer = peer_of(fd);  // while the link is up
    std::string source = peer.substr(0, peer.rfind(':'));
    unsigned wait = 0;
    {
        std::lock_guard<std::mutex> guard(g_send.mutex);
        if (g_send.committed > 0) --g_send.committed;
        if (g_send.closing || (g_send.limit > 0 && g_send.served + g_send.active >= g_send.limit)) {
            // Told so, the endstation need not take this for a wrong key.
            if (g_send.code) finished_hello(fd, code_hello_magic());
            if (g_send.keys) finished_hello(fd, key_hello_magic());
            return;
        }
        if (g_send.code && (wait = g_send.guesses.admit(source, Guesses::Clock::now())) > 0) {
            ++g_send.refused;
            g_send.progress->counters(counters_text());
        }
    }
    if (wait > 0) {
        // Before any confirmation byte, so that the try tests no guess.
        later_hello(fd, code_hello_magic(), wait);
        return;
    }
    g_send.progress->state(g_send.keys || g_send.code ? "key checked, confirming" : "key checked, transferring");
    bound_link(fd, kLinkSeconds);
    LinkDeadline deadline;
    Receiver receiver(peer);
    uint64_t reported = 0, start = 0;
    std::chrono::steady_clock::time_point told;
    ByteCounter counter = [&](uint64_t done, uint64_t total) {
        receiver.moved(done, start, total);
        g_send.progress->link_moved(peer, done, start, total, &told);
        reported = done;
    };
    Outcome outcome;
    bool placed = false;
    if (g_send.keys || g_send.code) {
        outcome = serve_sealed(fd, deadline, source, receiver, counter, &start, &placed);
    } else if (!(placed = take_place(receiver))) {
        outcome = EXTRA;
    } else {
        deadline.set(kLinkSeconds);
        payload_moved();
        receiver.begin();
        bool sent = send_payload(fd, g_send.name, g_send.source, counter);
        if (sent) deadline.set(kLinkSeconds);
        outcome = sent && wait_ack(fd, kLinkSeconds * 1000) == 1 ? SERVED : LOST;
    }
    if (outcome == LOST && LinkDeadline::passed())
        g_send.progress->note("the link to " + source + " moved no payload for " + std::to_string(stall_seconds()) +
                              " s (TQR_STALL_TIMEOUT), so it ended; the endstation is counted lost");
    if (outcome == SERVED) {
        double seconds = receiver.seconds();
        g_send.progress->step("done", "", {{"peer", peer}, {"bytes", static_cast<double>(reported)},
                                           {"seconds", seconds}, {"kept", static_cast<double>(start)}});
        std::string line = g_send.name + ": " + Progress::rate_text(reported, seconds) + ", to " + peer;
        if (start > 0) line += " (it had the first " + Progress::human_bytes(static_cast<double>(start)) + ")";
        g_send.progress->summary(line);
    }
    receiver.leave();
    std::lock_guard<std::mutex> guard(g_send.mutex);
    if (g_send.code) g_send.guesses.ended(source);
    count_outcome(outcome, source, placed);
}

}  // namespace tqr
