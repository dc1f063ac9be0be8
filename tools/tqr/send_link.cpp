// `tqr send` on each direct link: the key confirmation, the payload and the endstation's receipt.
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "protocol/caller.h"
#include "tools/tqr/code_link.h"
#include "tools/tqr/party.h"
#include "tools/tqr/send_state.h"

namespace tqr {

SendState g_send;

namespace {

// How long a link may stall, and how long an endstation may take to confirm, before it counts as lost.
constexpr int kLinkSeconds = 60;
// How long a link waits for the file's identity: the endstation waits for the header meanwhile, and
// gives up after kLinkSeconds.
constexpr int kIdentitySeconds = 30;

bool same_time(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// The offer, with the file's identity once it is known. A link that cannot wait for it goes without:
// that one transfer cannot be continued if it is cut off. A file that was changed since it was hashed
// is hashed again first, so that a receiver's part of the old content is not continued with the new.
PayloadHeader current_offer() {
    std::unique_lock<std::mutex> lock(g_send.identity_mutex);
    if (!g_send.identity_done.wait_for(lock, std::chrono::seconds(kIdentitySeconds), [] { return g_send.identified; }))
        return g_send.offer;
    std::pair<timespec, timespec> now = g_send.source.changed_at();
    if (!g_send.source.streamed() && !g_send.tree && !(same_time(now.first, g_send.identified_at.first) &&
                                                       same_time(now.second, g_send.identified_at.second))) {
        g_send.progress->note(g_send.name + " changed since it was hashed; hashing it again");
        g_send.identified_at = now;
        if (!g_send.source.identify(g_send.offer.identity))
            memset(g_send.offer.identity, 0, sizeof g_send.offer.identity);
    }
    return g_send.offer;
}

std::string counters_text() {
    std::string text = "served " + std::to_string(g_send.served);
    if (g_send.limit > 0) text += " of " + std::to_string(g_send.limit);
    if (g_send.active > 0) text += ", " + std::to_string(g_send.active) + " transferring";
    if (g_send.lost > 0) text += ", " + std::to_string(g_send.lost) + " lost";
    if (g_send.refused > 0) text += ", " + std::to_string(g_send.refused) + " refused";
    return text;
}

// How one endstation's link ended.
enum Outcome {
    SERVED,     // it confirmed the payload
    LOST,       // the link failed, or the endstation found the payload damaged
    UNTOUCHED,  // the link failed before the payload was read from its source
    REFUSED,    // it does not speak the encrypted format, or declined the payload; nothing was sent
    MISMATCH,   // it failed the key confirmation; nothing was sent
};

// The bytes one link serves: the file's (any link may read them at once), or a folder's archive,
// made afresh for each link.
SendResult send_offer(int fd, const Session& session, const ByteCounter& counter, unsigned char end[kEndBytes],
                      uint64_t* start) {
    if (!g_send.tree) return send_sealed(fd, session, current_offer(), g_send.source.reader(), counter, end, start);
    TreeStream stream(*g_send.tree);
    std::string error;
    if (!stream.start(&error)) {
        g_send.progress->note("cannot read the folder: " + error);
        return SEND_FAILED;
    }
    ReadFunction read = [&stream](uint64_t, unsigned char* out, size_t capacity) -> ssize_t {
        return stream.read(reinterpret_cast<char*>(out), capacity);
    };
    SendResult result = send_sealed(fd, session, g_send.offer, read, counter, end, start);
    if (result == SEND_FAILED && !stream.error().empty()) g_send.progress->note("cannot read the folder: " + stream.error());
    return result;
}

// The encrypted transfer on one link, after the key confirmation of a code or of a key.
Outcome serve_sealed(int fd, const ByteCounter& counter, uint64_t* start) {
    Session session;
    ConfirmResult confirmed = g_send.code ? confirm_code(fd, true, *g_send.code, &session)
                                          : confirm_link(fd, true, *g_send.keys, &session);
    if (confirmed == CONFIRM_MISMATCH) return MISMATCH;
    if (confirmed == CONFIRM_FOREIGN) {
        g_send.progress->note("an endstation does not speak the encrypted format (--plain?); it got nothing");
        return REFUSED;
    }
    if (confirmed != CONFIRMED) return UNTOUCHED;
    g_send.progress->step("verified", "key confirmed, transferring", {{"peer", peer_of(fd)}});
    unsigned char end[kEndBytes];
    SendResult sent = send_offer(fd, session, counter, end, start);
    if (sent == SEND_DECLINED) {
        g_send.progress->note("an endstation declined " + g_send.name + " (it keeps a file of that name, or will not "
                              "take the name); it got nothing");
        return REFUSED;
    }
    return sent == SENT && wait_receipt(fd, session, end, kLinkSeconds * 1000) == 1 ? SERVED : LOST;
}

// Books what became of one link. Called with g_send.mutex held.
void count_outcome(Outcome outcome) {
    --g_send.active;
    if (outcome == SERVED) {
        ++g_send.served;
    } else if (outcome == REFUSED || outcome == MISMATCH) {
        ++g_send.refused;
    } else {
        ++g_send.lost;
    }
    g_send.progress->counters(counters_text());
    g_send.progress->state(outcome == SERVED    ? "done, waiting for the next endstation"
                           : outcome != LOST && outcome != UNTOUCHED ? "an endstation was refused"
                                                : "an endstation was lost");
    if (g_send.source.streamed() && outcome == LOST) {
        g_send.stream_used_up = true;
        close_coordinator_link();
    }
    if (outcome == MISMATCH) {
        std::string note = std::string("an endstation failed the key confirmation: it holds another ") +
                           (g_send.code ? "code" : "key") + ", or someone on the link tried to take its place; "
                           "it got nothing";
        if (g_send.code) note += " (failure " + std::to_string(++g_send.mismatches) + " of " +
                                 std::to_string(kMostFailedConfirmations) + ")";
        g_send.progress->note(note);
    }
    if (g_send.code && g_send.mismatches >= kMostFailedConfirmations) {
        g_send.guessed = true;
        close_coordinator_link();
    }
    if (g_send.limit > 0 && g_send.served >= g_send.limit) close_coordinator_link();
}

}  // namespace

void close_coordinator_link() {
    if (g_send.closing) return;
    g_send.closing = true;
    ::shutdown(g_send.caller->m_conn->fd(), SHUT_RDWR);
}

void serve_endstation(int fd) {
    {
        std::lock_guard<std::mutex> guard(g_send.mutex);
        if (g_send.committed > 0) --g_send.committed;
        // Served and under way together never exceed the limit: an extra endstation gets nothing. (So a
        // streamed standard input, which comes with a limit of 1, is read by one link only.)
        if (g_send.closing || (g_send.limit > 0 && g_send.served + g_send.active >= g_send.limit)) {
            // Told so, the endstation need not take this for a wrong key.
            if (g_send.code) finished_hello(fd, code_hello_magic());
            if (g_send.keys) finished_hello(fd, key_hello_magic());
            return;
        }
        ++g_send.active;
        g_send.progress->counters(counters_text());
    }
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::string peer = peer_of(fd);  // while the link is up
    g_send.progress->state(g_send.keys || g_send.code ? "key checked, confirming" : "key checked, transferring");
    bound_link(fd, kLinkSeconds);
    uint64_t reported = 0;
    ByteCounter counter = [&](uint64_t done, uint64_t total) {
        g_send.progress->add_bytes(done - reported, total);
        reported = done;
    };
    Outcome outcome;
    uint64_t start = 0;
    if (g_send.keys || g_send.code) {
        outcome = serve_sealed(fd, counter, &start);
    } else {
        bool sent = send_payload(fd, g_send.name, g_send.source, counter);
        outcome = sent && wait_ack(fd, kLinkSeconds * 1000) == 1 ? SERVED : LOST;
    }
    if (outcome == SERVED) {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        g_send.progress->step("done", "", {{"peer", peer}, {"bytes", static_cast<double>(reported)},
                                           {"seconds", seconds}, {"kept", static_cast<double>(start)}});
        std::string line = g_send.name + ": " + Progress::rate_text(reported, seconds) + ", to " + peer;
        if (start > 0) line += " (it had the first " + Progress::human_bytes(static_cast<double>(start)) + ")";
        g_send.progress->summary(line);
    }
    std::lock_guard<std::mutex> guard(g_send.mutex);
    count_outcome(outcome);
}

}  // namespace tqr
