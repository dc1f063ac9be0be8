// `tqr send`: a sender that serves one file to every endstation of its conference that holds the key,
// or the code.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/host.h"
#include "protocol/party_events.h"
#include "protocol/phrase.h"
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "code/machine.h"
#include "transfer/party.h"
#include "cli/progress.h"
#include "code/send_code.h"
#include "transfer/send_state.h"

namespace tqr {

namespace {

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

// Approves every nomination while the count leaves someone to serve; the approval policy, with the
// SendState as its context. A sender answers every nomination, so a nomination left unanswered makes
// the coordinator drop this sender at its deadline: declining one would hand whoever can join the
// conference (a stranger who knows the nameplate, say) the means to end it. Nor can the sender tell an
// approval whose endstation left before its port was lent from one that waits for a port, so it keeps
// no count of approvals. What a crowd of endstations may hold meanwhile the coordinator bounds (its
// pool, the rendezvous of one address at once), and a listener nobody reaches gives up at its deadline.
// Places are given at confirmation (take_place): whoever confirms first is served, and one that
// confirms when the count is taken, by transfers served or under way, is told that no place is free,
// so a cut receiver may come back to continue once its old link has ended.
bool approve_within_count(const std::string&, void* context) {
    SendState& state = *static_cast<SendState*>(context);
    zel::MutexLock lock(state.mutex);
    return !state.closing && (state.limit <= 0 || state.served < state.limit);
}

Caller* make_sender(SendState& state) {
    Caller* caller = new Caller();
    zel::set_approval_policy(*caller, approve_within_count, &state);
    zel::set_bridge_handler(*caller, serve_endstation, &state);
    return caller;
}

// What the library tells of this sender's rendezvous (and of this process's own coordinator): the
// party observer, with the SendState as its context.
void on_party_event(const zel::PartyEvent& event, void* context) {
    SendState& state = *static_cast<SendState*>(context);
    switch (event.kind) {
    case zel::EVENT_JOINED:
    case zel::EVENT_REJECTED_SENDER:
        admission_event(state.admission, event);
        break;
    case zel::EVENT_NOMINATION:
        if (std::string(event.what) == "approved")
            state.progress->step("nominated", "nominated " + event.nickname,
                                  {{"nickname", event.nickname}});
        break;
    case zel::EVENT_LISTENING:
        state.progress->state("connecting on port " + event.port);
        break;
    case zel::EVENT_BRIDGED:
        state.progress->step("connected", "connected to " + event.peer, {{"peer", event.peer}});
        break;
    case zel::EVENT_KEY_REFUSED: {
        std::string line = "refused a connection from " + event.peer + " on port " + event.port +
                           ": it failed the key check";
        {
            zel::MutexLock lock(state.mutex);
            auto now = std::chrono::steady_clock::now();
            if (now - state.refusal_told < std::chrono::seconds(1)) {
                ++state.refusals_untold;
                break;
            }
            if (state.refusals_untold > 0)
                line += " (and " + std::to_string(state.refusals_untold) + " more since the last such line)";
            state.refusal_told = now;
            state.refusals_untold = 0;
        }
        state.progress->note(line);
        break;
    }
    default:
        break;
    }
}

// The key mode's key (made and shown when none was given) and the key the library checks.
int prepare_key(SendState& state, const SendOptions& options, Progress& progress, std::string* checked_key) {
    std::string key;
    KeyOrigin origin;
    int status = party_key(options.party, true, progress, &key, &origin);
    if (status != EXIT_DONE) return status;
    // Shown before standard input is read, which may take as long as its writer does.
    if (!options.party.plain && origin == KEY_NONE) {
        key = generate_key();
        show_generated_key(key, options.party);
    }
    *checked_key = library_key(key, options.party, &state.keys);
    return EXIT_DONE;
}

// On the signal thread, with the SendState as its context: the links under way end with the command;
// their receivers keep what they had.
void on_interrupt(int signal, void* context) {
    SendState& state = *static_cast<SendState*>(context);
    long served;
    {
        zel::MutexLock lock(state.mutex);
        served = state.served;
    }
    if (state.ending.claim(*state.progress, EXIT_INTERRUPTED + signal, "interrupted",
                           std::string("interrupted (") + interrupt_name(signal) + "), " + std::to_string(served) +
                               " served")) {
        end_links(state);
        if (TreeSource* tree = state.walked.load()) tree->stop();
        // Ends a wait for standard input on the main thread; the pipe never fills, since this runs once.
        ssize_t written = write(state.wake[1], "!", 1);
        (void)written;
    }
}

// What the sender served, for its last line: "served 5 endstations, 24 B each, 1 lost".
std::string served_text(SendState& state) ZEL_REQUIRES(state.mutex) {
    std::string text = "served " + std::to_string(state.served) + (state.served == 1 ? " endstation" : " endstations");
    if (state.served > 0 && !state.source.streamed())
        text += ", " + Progress::human_bytes(static_cast<double>(state.tree ? state.tree->content_bytes() : state.source.size())) +
                (state.served == 1 ? "" : " each");
    if (state.lost > 0) text += ", " + std::to_string(state.lost) + " lost";
    if (state.refused > 0) text += ", " + std::to_string(state.refused) + " refused";
    return text;
}

// Claims the end for a failure on the main thread: the status that stands, an interruption's when
// that came first.
int fail(SendState& state, const std::string& text, const std::string& message, int status) {
    state.ending.claim(*state.progress, status, text, message);
    return state.ending.status(status);
}

// Joins options.party.conference with its key, or the conference of a fresh code: `*caller` is then
// the joined Caller (in the key mode also the one that failed to join), the caller's to delete.
int join(SendState& state, const SendOptions& options, Progress& progress, std::string* conference, Caller** caller) {
    std::string checked_key;
    Code chosen;
    if (!state.code && !options.code.empty())
        return fail(state, "usage", "give --code or --conference, not both", EXIT_USAGE_OR_IO);
    if (!options.code.empty() && !parse_code(options.code, &chosen))
        return fail(state, "not a code", code_mistake(options.code), EXIT_USAGE_OR_IO);
    int status = state.code ? check_code_options(options.party, progress)
                            : prepare_key(state, options, progress, &checked_key);
    if (status == EXIT_DONE) status = open_source(state, options, progress);
    // The folder is walked while the sender joins and the code is out: the main thread answers the
    // coordinator meanwhile. An interruption (the signal's thread) stops the walk at its next entry.
    if (status == EXIT_DONE && !state.ending.claimed()) start_walk(state);
    if (status != EXIT_DONE || state.ending.claimed()) return state.ending.status(status);
    if (state.code) {
        state.code_chosen = !options.code.empty();
        status = join_with_code(options.party, options.code.empty() ? nullptr : &chosen,
                                static_cast<size_t>(options.words), progress, [&state] { return make_sender(state); },
                                CodeJoin{state.ending, state.admission, state.coordinator}, caller, state.code.get());
        *conference = conference_of(state.code->nameplate);
        return status;
    }
    *conference = options.party.conference;
    progress.state("joining conference " + *conference);
    std::string error;
    *caller = make_sender(state);
    status = join_coordinator(*caller, ROLE_SENDER, Membership{options.party.host, *conference, checked_key},
                              options.party, &error, nullptr, &state.ending);
    return status == EXIT_DONE ? status : fail(state, "no coordinator", error, status);
}

// What became of the sender once its loop returned and every link ended: its last words.
int outcome(SendState& state, Progress& progress, bool rejected, const std::string& conference) {
    // A refusal after an endstation was served is no coordinator's that took the sender in: what was
    // served stands, and is told as it would be without the refusal.
    if (rejected) {
        zel::MutexLock lock(state.mutex);
        rejected = state.served == 0;
    }
    // Past the grace time in which a refusal was waited for: the code is the other sender's.
    if (rejected && state.code)
        return fail(state, "rejected", nameplate_taken(state.code->nameplate, state.code_chosen, true), EXIT_REJECTED);
    if (rejected)
        return fail(state, "rejected",
                    "the coordinator refused this sender: conference " + conference + " has a sender already, or "
                    "that coordinator does not take it (one that serves a code of its own takes no other "
                    "conference; a coordinator takes senders of its own machine only, unless TQR_REMOTE_SENDERS=1)",
                    EXIT_REJECTED);
    std::string text, message;
    int status;
    {
        zel::MutexLock lock(state.mutex);
        if (state.guessed) {
            status = EXIT_NO_LINK;
            text = "code withdrawn";
            message = std::to_string(state.guesses.failures()) + " failed confirmations (from " +
                      state.guesses.sources_text() + "); the code is withdrawn";
        } else if (state.stream_used_up) {
            status = EXIT_USAGE_OR_IO;
            text = "standard input used up";
            message = "the transfer of standard input failed, and it cannot be read again";
        } else if (state.closing || (state.limit > 0 && state.served >= state.limit)) {
            // The coordinator may drop a sender that leaves a nomination unanswered; what it served counts.
            status = EXIT_DONE;
            text = served_text(state);
        } else {
            status = EXIT_NO_COORDINATOR;
            text = "coordinator link ended";
            message = "the coordinator closed the link after " + std::to_string(state.served) + " endstation(s) served";
        }
    }
    if (status != EXIT_DONE) return fail(state, text, message, status);
    // An interruption may have come meanwhile: then its line stands, and no totals follow it.
    if (state.ending.claimed()) return state.ending.status();
    progress.totals(text);
    return fail(state, "done, " + text, "", EXIT_DONE);
}

// The sender from joining to its last line, on the main thread. Every Caller it made is deleted, and
// with it every listener and link thread the library ran for it, before it returns.
int serve(SendState& state, const SendOptions& options, Progress& progress) {
    std::string conference;
    Caller* caller = nullptr;
    int status = join(state, options, progress, &conference, &caller);
    if (status != EXIT_DONE || state.ending.claimed()) {
        delete caller;
        return state.ending.status(status);
    }
    {
        zel::MutexLock lock(state.walk_mutex);
        state.conference = conference;
        tell_serving(state);
    }
    {
        zel::MutexLock lock(state.mutex);
        state.caller = caller;
    }
    // Set before the claim is looked at, so that a claim from now on ends the loop below.
    state.ending.wake_through(caller);
    if (!state.ending.claimed()) caller->process();
    state.ending.wake_through(nullptr);
    bool rejected = zel::process_result(*caller) == zel::ProcessEnd::REJECTED;
    {
        zel::MutexLock lock(state.mutex);
        state.caller = nullptr;
    }
    // Waits for the reader and for the listeners still running (their transfers finish first, unless
    // an interruption ended them).
    delete caller;
    // An interruption's line, told already, stays the last.
    if (state.ending.claimed()) return state.ending.status();
    long untold;
    {
        zel::MutexLock lock(state.mutex);
        untold = state.refusals_untold;
        state.refusals_untold = 0;
    }
    if (untold > 0)
        progress.note("refused " + std::to_string(untold) + " more connection" + (untold == 1 ? "" : "s") +
                      " that failed the key check");
    return outcome(state, progress, rejected, conference);
}

}  // namespace

int run_send(const SendOptions& options) {
    zel::set_quiet(options.party.verbose ? 0 : 1);
    Progress progress("send", options.party.json);
    SendState state;
    state.progress = &progress;
    progress.shares([&state] { return receivers_under_way(state); });
    if (options.party.conference.empty()) state.code.reset(new Code());
    state.verify = options.party.verify;
    state.asks = !options.party.json && isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
    // Made before any thread starts, closed once the signal's thread has ended.
    if (pipe2(state.wake, O_CLOEXEC) != 0) {
        progress.fail("cannot start", std::string("cannot make a pipe: ") + strerror(errno), EXIT_USAGE_OR_IO);
        return leave(EXIT_USAGE_OR_IO);
    }
    int status;
    {
        // Ended and joined before `state` goes.
        InterruptWatch interrupts(on_interrupt, &state);
        zel::set_party_observer(on_party_event, &state);
        status = serve(state, options, progress);
        join_walk(state);
        // No Caller is left, so only the own coordinator may still tell of its parties: it goes first.
        state.coordinator.reset();
        zel::set_party_observer(nullptr, nullptr);
    }
    progress.shares(nullptr);
    close(state.wake[0]);
    close(state.wake[1]);
    // An interruption that ended a wait of the main thread (a prompt, a key's pipe) claimed the end on
    // the signal's thread, which is joined now: its status stands.
    return leave(state.ending.status(status));
}

}  // namespace tqr
