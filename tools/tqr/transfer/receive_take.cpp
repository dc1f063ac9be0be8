// `tqr receive`'s bridge thread: the key confirmation, the payload, its check.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/party_events.h"
#include "protocol/phrase.h"
#include "code/code_link.h"
#include "cli/commands.h"
#include "transfer/destination.h"
#include "cli/escape.h"
#include "cli/interrupt.h"
#include "transfer/party.h"
#include "transfer/payload.h"
#include "cli/progress.h"
#include "cli/prompt.h"
#include "transfer/receive_state.h"
#include "transfer/secure.h"

namespace tqr {

ReceiveState g_receive;

bool sealed() { return g_receive.keys || g_receive.code; }

namespace {

// The key confirmation, of the code or of the key. true when the payload may follow.
bool confirm(int fd, Session* session) {
    if (!sealed()) return true;
    g_receive.confirmed = g_receive.code ? confirm_code(fd, false, *g_receive.code, session)
                                         : confirm_link(fd, false, *g_receive.keys, session);
    g_receive.retry_seconds = session->retry_seconds;
    g_receive.timed_out = LinkDeadline::passed();
    if (g_receive.confirmed != CONFIRMED) return false;
    g_receive.progress->step("verified", "key confirmed, transferring", {{"peer", peer_of(fd)}});
    // A line of its own, since the other side's person may ask for them after this line moved on.
    std::string words = check_words(*session);
    if (g_receive.progress->json()) {
        g_receive.progress->step("check", "", {{"words", words}});
    } else {
        g_receive.progress->note("check words: " + words);
    }
    return true;
}

// With --verify, whether the person at the terminal says that the sender shows the same check words;
// without a person the words were shown, and that is all.
bool verified(const Session& session) {
    if (!g_receive.verify || !g_receive.asks) return true;
    g_receive.may_keep = false;
    bool yes = g_receive.progress->ask("does the sender show the check words " + check_words(session) + "?");
    g_receive.may_keep = true;
    g_receive.unverified = !yes;
    return yes;
}

}  // namespace

// Runs on the endstation's bridge thread once the keys matched; the socket is ours to close.
void take_payload(int fd) {
    g_receive.bridged = true;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    g_receive.progress->state(sealed() ? "key checked, confirming" : "key checked, transferring");
    bound_link(fd, kLinkSeconds);
    // The confirmation has confirm_seconds() in all; the offer kLinkSeconds (the sender may still be
    // hashing its file); then every payload chunk stall_seconds() (receive_sealed pushes it on).
    LinkDeadline deadline;
    deadline.set(confirm_seconds());
    Session session;
    if (!confirm(fd, &session)) {
        close(fd);
        return;
    }
    deadline.set(kLinkSeconds);
    Destination& destination = *g_receive.destination;
    BeginFunction begin = [&](const PayloadHeader& header, uint64_t* start) {
        g_receive.name = header.name;
        if (!verified(session)) return false;
        if (header.kind == KIND_TEXT) {
            g_receive.is_text = true;
            return header.size_known && header.size <= kMaxTextBytes;
        }
        if (!destination.open(header, start)) return false;
        g_receive.on_screen = destination.to_stdout() && isatty(STDOUT_FILENO) == 1;
        // A sealed payload is written as it comes: the status line must not run into it.
        if (g_receive.on_screen && sealed()) g_receive.progress->lend();
        if (*start > 0) {
            g_receive.progress->note("continuing " + destination.final_path() + " from " +
                                     Progress::human_bytes(static_cast<double>(*start)) + " of " +
                                     Progress::human_bytes(static_cast<double>(header.size)));
            g_receive.progress->start_at(*start);
        }
        return true;
    };
    WriteFunction write = [&](const unsigned char* data, size_t size) {
        if (g_receive.is_text) {
            if (g_receive.text.size() + size > kMaxTextBytes) return false;
            g_receive.text.append(reinterpret_cast<const char*>(data), size);
            return true;
        }
        if (size > 0) g_receive.line_ended = data[size - 1] == '\n';
        return destination.write(data, size);
    };
    ByteCounter counter = [&](uint64_t done, uint64_t total) {
        g_receive.progress->add_bytes(done - g_receive.moved, total);
        g_receive.moved = done;
    };
    // What an earlier transfer kept is continued only when the sender finds it is the start of its file.
    KeptPart kept{[&](unsigned char out[kIdentityBytes]) {
                      memcpy(out, destination.kept_hash(), kIdentityBytes);
                      return true;
                  },
                  [&] {
                      g_receive.progress->start_at(0);
                      return destination.restart();
                  }};
    unsigned char end[kEndBytes];
    ReceiveResult result = sealed() ? receive_sealed(fd, session, begin, write, counter, end, &kept)
                                    : receive_payload(fd, begin, write, counter);
    g_receive.progress->give_back(g_receive.line_ended);
    g_receive.timed_out = result == RECEIVED_SHORT && LinkDeadline::passed();
    if (result == RECEIVED_INTACT && !g_receive.is_text && !destination.commit())
        result = RECEIVED_SINK_FAILED;
    if (result != RECEIVED_INTACT && !g_receive.is_text) {
        // A disk that filled up is like a lost link: what came can be continued once there is room.
        std::string kept_line = destination.abandon(result == RECEIVED_SHORT || destination.out_of_space());
        if (!kept_line.empty()) g_receive.progress->note(kept_line);
    }
    g_receive.result = result;
    g_receive.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() -
                        g_receive.progress->asked_seconds();

    if (result == RECEIVED_INTACT) {
        // The sender counts confirmations and may leave at its last one; it must not leave before the
        // coordinator has told this endstation "Adios ", which ends this Caller's link and reader.
        g_receive.progress->state("verified, waiting for the coordinator");
        g_receive.caller.load()->wait_link_ended(kAdiosSeconds);
    }
    deadline.set(kLinkSeconds);
    if (sealed()) {
        send_receipt(fd, session, result == RECEIVED_INTACT, end);
    } else {
        send_ack(fd, result == RECEIVED_INTACT);
    }
    close(fd);
}

}  // namespace tqr
