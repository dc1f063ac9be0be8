// `tqr receive`'s bridge thread (the key confirmation, the payload, its check), and what the library's
// threads and the signal thread do to the ReceiveState.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/host.h"
#include "protocol/party_events.h"
#include "protocol/phrase.h"
#include "code/code_link.h"
#include "cli/commands.h"
#include "transfer/destination.h"
#include "cli/escape.h"
#include "cli/interrupt.h"
#include "net/socket.h"
#include "transfer/party.h"
#include "transfer/payload.h"
#include "cli/progress.h"
#include "cli/prompt.h"
#include "transfer/receive_state.h"
#include "transfer/secure.h"

namespace tqr {

namespace {

// Written before the sender hears that the text arrived, so that a standard output that fails (a
// full disk, a reader gone) fails the transfer at both ends. As it came, or escaped line by line on a
// terminal. With --json and standard output closed the text is in its event alone.
bool deliver_text(ReceiveState& state) {
    if (state.progress->json() && standard_stream_closed(STDOUT_FILENO)) return true;
    std::string shown = state.text;
    if (isatty(STDOUT_FILENO) == 1) {
        shown.clear();
        size_t at = 0;
        for (size_t end; (end = state.text.find('\n', at)) != std::string::npos; at = end + 1)
            shown += escaped(state.text.substr(at, end - at)) + "\n";
        if (at < state.text.size()) shown += escaped(state.text.substr(at)) + "\n";
    }
    // Lent rather than aside: a reader that stalls holds this thread, not the status line's lock,
    // which an interruption needs to tell its line.
    state.progress->lend();
    bool written = fflush(stdout) == 0 && state.destination->write_text(shown);
    state.progress->give_back(shown.empty() || shown.back() == '\n');
    return written;
}

// The key confirmation, of the code or of the key. true when the payload may follow.
bool confirm(ReceiveState& state, int fd, Session* session) {
    if (!state.sealed()) return true;
    state.confirmed = state.code ? confirm_code(fd, false, *state.code, session)
                                 : confirm_link(fd, false, *state.keys, session);
    state.retry_seconds = session->retry_seconds;
    state.timed_out = LinkDeadline::passed();
    if (state.confirmed != CONFIRMED) return false;
    state.progress->step("verified", "key confirmed, transferring", {{"peer", peer_of(fd)}});
    // A line of its own, since the other side's person may ask for them after this line moved on.
    std::string words = check_words(*session);
    if (state.progress->json()) {
        state.progress->step("check", "", {{"words", words}});
    } else {
        state.progress->note("check words: " + words);
    }
    return true;
}

// With --verify, whether the person at the terminal says that the sender shows the same check words;
// without a person the words were shown, and that is all.
bool verified(ReceiveState& state, const Session& session) {
    if (!state.verify || !state.asks) return true;
    state.may_keep = false;
    bool yes = state.progress->ask("does the sender show the check words " + check_words(session) + "?");
    state.may_keep = true;
    state.unverified = !yes;
    return yes;
}

// Gives the direct link to the signal thread to end (-1: takes it back) while nobody can close it.
void lend_link(ReceiveState& state, int fd) ZEL_EXCLUDES(state.link_mutex) {
    zel::MutexLock lock(state.link_mutex);
    state.link_fd = fd;
}

// Closes the direct link once the signal thread can no longer end it.
void end_link(ReceiveState& state, int fd) {
    lend_link(state, -1);
    close(fd);
}

// What the bridge thread does once the link is ours. An interrupt claims the end meanwhile, and
// ends the link: then nothing more is shown or answered, as the command is over.
void run_link(ReceiveState& state, int fd) {
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    state.progress->state(state.sealed() ? "key checked, confirming" : "key checked, transferring");
    bound_link(fd, kLinkSeconds);
    // The confirmation has confirm_seconds() in all; the offer kLinkSeconds (the sender may still be
    // hashing its file); then every payload chunk stall_seconds() (receive_sealed pushes it on).
    LinkDeadline deadline;
    deadline.set(confirm_seconds());
    Session session;
    if (!confirm(state, fd, &session)) return;
    deadline.set(kLinkSeconds);
    Destination& destination = *state.destination;
    BeginFunction begin = [&](const PayloadHeader& header, uint64_t* start) {
        state.name = header.name;
        if (!verified(state, session)) return false;
        if (header.kind == KIND_TEXT) {
            state.is_text = true;
            // Declined before its receipt, so that the sender does not count it as served.
            state.text_declined = standard_stream_closed(STDOUT_FILENO) && !state.progress->json();
            return !state.text_declined && header.size_known && header.size <= kMaxTextBytes;
        }
        if (!destination.open(header, start)) return false;
        state.on_screen = destination.to_stdout() && isatty(STDOUT_FILENO) == 1;
        // A sealed payload is written as it comes: the status line must not run into it.
        if (state.on_screen && state.sealed()) state.progress->lend();
        if (*start > 0) {
            state.progress->note("continuing " + destination.final_path() + " from " +
                                 Progress::human_bytes(static_cast<double>(*start)) + " of " +
                                 Progress::human_bytes(static_cast<double>(header.size)));
            state.progress->start_at(*start);
        }
        return true;
    };
    WriteFunction write = [&](const unsigned char* data, size_t size) {
        if (state.is_text) {
            if (state.text.size() + size > kMaxTextBytes) return false;
            state.text.append(reinterpret_cast<const char*>(data), size);
            return true;
        }
        if (size > 0) state.line_ended = data[size - 1] == '\n';
        return destination.write(data, size);
    };
    ByteCounter counter = [&](uint64_t done, uint64_t total) {
        state.progress->add_bytes(done - state.moved, total);
        state.moved = done;
    };
    // What an earlier transfer kept is continued only when the sender finds it is the start of its file.
    KeptPart kept{[&](unsigned char out[kIdentityBytes]) {
                      memcpy(out, destination.kept_hash(), kIdentityBytes);
                      return true;
                  },
                  [&] {
                      state.progress->start_at(0);
                      return destination.restart();
                  }};
    unsigned char end[kEndBytes];
    ReceiveResult result = state.sealed() ? receive_sealed(fd, session, begin, write, counter, end, &kept)
                                          : receive_payload(fd, begin, write, counter);
    if (ended(state)) return;
    state.progress->give_back(state.line_ended);
    state.timed_out = result == RECEIVED_SHORT && LinkDeadline::passed();
    if (result == RECEIVED_INTACT && !state.is_text && !destination.commit())
        result = RECEIVED_SINK_FAILED;
    if (result == RECEIVED_INTACT && state.is_text && !deliver_text(state)) {
        state.output_failed = true;
        result = RECEIVED_SINK_FAILED;
    }
    if (result != RECEIVED_INTACT && !state.is_text) {
        // A disk that filled up is like a lost link: what came can be continued once there is room.
        std::string kept_line = destination.abandon(result == RECEIVED_SHORT || destination.out_of_space());
        if (!kept_line.empty()) state.progress->note(kept_line);
    }
    state.result = result;
    state.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() -
                    state.progress->asked_seconds();

    if (result == RECEIVED_INTACT) {
        // The sender counts confirmations and may leave at its last one; it must not leave before the
        // coordinator has told this endstation "Adios ", which ends this Caller's link and reader.
        state.progress->state("verified, waiting for the coordinator");
        zel::wait_link_ended(*state.caller.load(), kAdiosSeconds);
    }
    if (ended(state)) return;
    deadline.set(kLinkSeconds);
    if (state.sealed()) {
        send_receipt(fd, session, result == RECEIVED_INTACT, end);
    } else {
        send_ack(fd, result == RECEIVED_INTACT);
    }
}

}  // namespace

// What the library tells of this endstation's rendezvous; `context` is the ReceiveState.
void on_party_event(const zel::PartyEvent& event, void* context) {
    ReceiveState& state = *static_cast<ReceiveState*>(context);
    switch (event.kind) {
    case zel::EVENT_CONNECTING: {
        zel::MutexLock lock(state.waiting_mutex);
        // The watcher gave up first: its line was the last.
        if (ended(state)) break;
        state.sender_came = true;
        state.sender_changed.broadcast();
        state.progress->state("connecting to the sender on port " + event.port);
        break;
    }
    case zel::EVENT_CONNECT_FAILED:
        // The coordinator answers "Failed " with nothing, so the message loop would wait for ever:
        // ending the link ends it.
        state.sender_unreachable = true;
        if (Caller* caller = state.caller.load()) zel::close_link(*caller);
        break;
    case zel::EVENT_BRIDGED:
        if (ended(state)) break;
        state.peer = event.peer;
        state.progress->step("connected", "connected to " + event.peer, {{"peer", event.peer}});
        break;
    default:
        break;
    }
}

// On the signal thread (`context`: the ReceiveState): what was received stays under its part's name
// when it can be continued; the claim ends the coordinator link, and then the direct link, so that the
// bridge thread finds the end claimed and shows nothing more.
void on_interrupt(int signal, void* context) {
    ReceiveState& state = *static_cast<ReceiveState*>(context);
    std::string kept = state.may_keep ? state.destination->interrupt() : "";
    std::string line = std::string("interrupted (") + interrupt_name(signal) + ")";
    if (!kept.empty()) line += "; " + kept;
    state.ending.claim(*state.progress, EXIT_INTERRUPTED + signal, "interrupted", line);
    zel::MutexLock lock(state.link_mutex);
    if (state.link_fd >= 0) net::end_both(state.link_fd);
}

bool ended(const ReceiveState& state) { return prompts_ended() || state.ending.claimed(); }

void take_payload(int fd, void* context) {
    take_process_policy();
    ReceiveState& state = *static_cast<ReceiveState*>(context);
    state.bridged = true;
    lend_link(state, fd);
    if (!ended(state)) run_link(state, fd);
    end_link(state, fd);
}

}  // namespace tqr
