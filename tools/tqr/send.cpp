// `tqr send`: a sender that serves one file to every endstation of its conference that holds the key.
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/party_events.h"
#include "protocol/phrase.h"
#include "tools/tqr/commands.h"
#include "tools/tqr/party.h"
#include "tools/tqr/payload.h"
#include "tools/tqr/progress.h"
#include "tools/tqr/secure.h"

namespace tqr {

namespace {

// How long a link may stall, and how long an endstation may take to confirm, before it counts as lost.
constexpr int kLinkSeconds = 60;

// What the bridge callback serves, and what it has served. Written by run_send before the Caller
// connects; the counters are guarded by `mutex`, since bridge callbacks run on several library
// threads at once.
struct SendState {
    Caller* caller = nullptr;
    PayloadSource source;
    std::string name;
    long limit = 0;
    std::unique_ptr<LinkKeys> keys;  // null with --plain
    Progress* progress = nullptr;

    std::mutex mutex;
    long committed = 0;  // approved, and not yet bridged nor given up
    long active = 0;
    long served = 0;
    long lost = 0;
    long refused = 0;             // failed the key confirmation
    bool closing = false;         // the coordinator link was shut down: the limit is reached, or see below
    bool stream_used_up = false;  // a streamed standard input went to a transfer that failed
};

SendState g_send;

std::string counters_text() {
    std::string text = "served " + std::to_string(g_send.served);
    if (g_send.limit > 0) text += " of " + std::to_string(g_send.limit);
    if (g_send.active > 0) text += ", " + std::to_string(g_send.active) + " transferring";
    if (g_send.lost > 0) text += ", " + std::to_string(g_send.lost) + " lost";
    if (g_send.refused > 0) text += ", " + std::to_string(g_send.refused) + " refused";
    return text;
}

// Ends the message loop: process() returns once its link is gone; the main thread takes it from there.
// Called with g_send.mutex held.
void close_coordinator_link() {
    if (g_send.closing) return;
    g_send.closing = true;
    ::shutdown(g_send.caller->m_conn->fd(), SHUT_RDWR);
}

// How one endstation's link ended.
enum Outcome {
    SERVED,     // it confirmed the payload
    LOST,       // the link failed, or the endstation found the payload damaged
    UNTOUCHED,  // the link failed before the payload was read from its source
    REFUSED,    // it failed the key confirmation; nothing was sent
};

// The encrypted transfer on one link (secure.h).
Outcome serve_sealed(int fd, const ByteCounter& counter) {
    Session session;
    ConfirmResult confirmed = confirm_link(fd, true, *g_send.keys, &session);
    if (confirmed == CONFIRM_MISMATCH) {
        g_send.progress->note(
            "tqr send: an endstation failed the key confirmation: it holds another key, or someone on the link "
            "tried to take its place; it got nothing");
        return REFUSED;
    }
    if (confirmed == CONFIRM_FOREIGN) {
        g_send.progress->note("tqr send: an endstation does not speak the encrypted format (--plain?); it got nothing");
        return REFUSED;
    }
    if (confirmed != CONFIRMED) return UNTOUCHED;
    g_send.progress->state("key confirmed, transferring");
    unsigned char end[kEndBytes];
    bool sent = send_sealed(fd, session, g_send.name, g_send.source, counter, end);
    return sent && wait_receipt(fd, session, end, kLinkSeconds * 1000) == 1 ? SERVED : LOST;
}

// Runs on a listener thread of the library, one per key-checked endstation; the library closes `fd`
// when it returns.
void serve_endstation(int fd) {
    {
        std::lock_guard<std::mutex> guard(g_send.mutex);
        if (g_send.committed > 0) --g_send.committed;
        // Served and under way together never exceed the limit: an extra endstation gets nothing. (So a
        // streamed standard input, which comes with a limit of 1, is read by one link only.)
        if (g_send.closing || (g_send.limit > 0 && g_send.served + g_send.active >= g_send.limit)) return;
        ++g_send.active;
        g_send.progress->counters(counters_text());
    }
    g_send.progress->state(g_send.keys ? "key checked, confirming" : "key checked, transferring");
    bound_link(fd, kLinkSeconds);
    uint64_t reported = 0;
    ByteCounter counter = [&](uint64_t done, uint64_t total) {
        g_send.progress->add_bytes(done - reported, total);
        reported = done;
    };
    Outcome outcome;
    if (g_send.keys) {
        outcome = serve_sealed(fd, counter);
    } else {
        bool sent = send_payload(fd, g_send.name, g_send.source, counter);
        outcome = sent && wait_ack(fd, kLinkSeconds * 1000) == 1 ? SERVED : LOST;
    }

    std::lock_guard<std::mutex> guard(g_send.mutex);
    --g_send.active;
    if (outcome == SERVED) {
        ++g_send.served;
    } else if (outcome == REFUSED) {
        ++g_send.refused;
    } else {
        ++g_send.lost;
    }
    g_send.progress->counters(counters_text());
    g_send.progress->state(outcome == SERVED    ? "done, waiting for the next endstation"
                           : outcome == REFUSED ? "an endstation was refused"
                                                : "an endstation was lost");
    if (g_send.source.streamed() && outcome == LOST) {
        g_send.stream_used_up = true;
        close_coordinator_link();
    }
    if (g_send.limit > 0 && g_send.served >= g_send.limit) close_coordinator_link();
}

// A conference identifier as the shell reads it.
std::string shell_word(const std::string& text) {
    bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || strchr("-_.,:/@%+=", c) != nullptr;
    });
    if (plain) return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

void show_generated_key(const std::string& key, const PartyOptions& party) {
    std::string command = "TQR_KEY=" + key + " tqr receive --conference " + shell_word(party.conference);
    if (party.host != "localhost") command += " --host " + shell_word(party.host);
    printf("tqr send: no key was given, so this one was made (140 random bits); it is shown only here:\n\n"
           "    %s\n\n"
           "Read it out to the receiving side, which runs:\n\n"
           "    %s\n\n",
           key.c_str(), command.c_str());
    fflush(stdout);
}

// Approves a nomination only while the endstations approved and not yet served stay within --count:
// one beyond that is left unanswered, and the coordinator hands it to another sender.
bool approve_within_count(const std::string&, void*) {
    std::lock_guard<std::mutex> guard(g_send.mutex);
    if (g_send.closing) return false;
    if (g_send.limit > 0 && g_send.served + g_send.active + g_send.committed >= g_send.limit) return false;
    ++g_send.committed;
    return true;
}

// What the library tells of this sender's rendezvous, for the progress line.
void on_party_event(const PartyEvent& event, void*) {
    switch (event.kind) {
    case EVENT_NOMINATION:
        if (std::string(event.what) == "approved") g_send.progress->state("nominated " + zel::printable(event.nickname));
        break;
    case EVENT_LISTENING:
        g_send.progress->state("connecting on port " + event.port);
        break;
    case EVENT_LISTENER_UNUSED: {
        std::lock_guard<std::mutex> guard(g_send.mutex);
        if (g_send.committed > 0) --g_send.committed;
        break;
    }
    case EVENT_KEY_REFUSED:
        g_send.progress->note("tqr send: refused a connection from " + event.peer + " on port " + event.port +
                              ": it failed the key check");
        break;
    default:
        break;
    }
}

}  // namespace

int run_send(const SendOptions& options) {
    zel_set_quiet(options.party.verbose ? 0 : 1);
    std::string key;
    KeyOrigin origin;
    int status = party_key(options.party, "send", &key, &origin);
    if (status != EXIT_DONE) return status;
    // Shown before standard input is read, which may take as long as its writer does.
    if (!options.party.plain && origin == KEY_NONE) {
        key = generate_key();
        show_generated_key(key, options.party);
    }

    // Standard input streams only to an encrypted transfer that is the only one: the plain header
    // carries the length, and a stream cannot be read twice.
    bool stream = !options.party.plain && options.count == 1;
    if (!g_send.source.open(options.file, stream)) {
        fprintf(stderr, "tqr send: cannot read %s: %s\n", options.file == "-" ? "standard input" : options.file.c_str(),
                strerror(errno));
        return EXIT_USAGE_OR_IO;
    }
    if (!options.name.empty()) {
        g_send.name = options.name;
    } else {
        g_send.name = options.file == "-" ? "stdin.bin" : safe_file_name(options.file);
    }
    g_send.limit = options.count;
    std::string checked_key = library_key(key, options.party, &g_send.keys);

    Progress progress("send");
    g_send.progress = &progress;
    set_party_observer(on_party_event, nullptr);
    set_bridge_callback(serve_endstation);

    Caller* caller = new Caller();
    caller->set_approval_policy(approve_within_count, nullptr);
    g_send.caller = caller;
    progress.state("joining conference " + options.party.conference);
    int joined = join_coordinator(caller, ROLE_SENDER, options.party, checked_key, "send");
    if (joined != EXIT_DONE) finish(joined);
    std::string size = g_send.source.streamed() ? "streamed"
                                                : Progress::human_bytes(static_cast<double>(g_send.source.size()));
    progress.state("joined conference " + options.party.conference + ", serving " + g_send.name + " (" + size +
                   (g_send.keys ? ", encrypted)" : ", plain)"));
    caller->process();

    bool rejected = caller->rejected();
    // Waits for the reader and for the listeners still running (their transfers finish first).
    delete caller;
    if (rejected) {
        progress.finish("rejected");
        fprintf(stderr, "tqr send: the coordinator refused this sender: conference %s already has one\n",
                options.party.conference.c_str());
        finish(EXIT_REJECTED);
    }
    std::lock_guard<std::mutex> guard(g_send.mutex);
    if (g_send.stream_used_up) {
        progress.finish("standard input used up");
        fprintf(stderr, "tqr send: the transfer of standard input failed, and it cannot be read again\n");
        finish(EXIT_USAGE_OR_IO);
    }
    // The coordinator may drop a sender that leaves a nomination unanswered; what it served counts.
    if (g_send.closing || (g_send.limit > 0 && g_send.served >= g_send.limit)) {
        progress.finish("done");
        finish(EXIT_DONE);
    }
    progress.finish("coordinator link ended");
    fprintf(stderr, "tqr send: the coordinator closed the link after %ld endstation(s) served\n", g_send.served);
    finish(EXIT_NO_COORDINATOR);
}

}  // namespace tqr
