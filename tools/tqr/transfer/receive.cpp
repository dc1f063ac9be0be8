// `tqr receive`: an endstation that takes one file from its conference's sender and verifies it.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
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

// What end_unconfirmed returns when the keys were confirmed and the payload's end is to be told.
constexpr int kNotEnded = -1;
// A sender tells no more than that it serves nobody else now: its count may be reached, or held by
// transfers under way, one of which may yet fail and leave its place.
const char kServedOut[] =
    "no payload: the sender is no longer serving (it reached its --count), or the rest of its count is taken "
    "by transfers under way: try again once one of them has ended";

// Claims the end, as the main thread does at each of its ends: the status claimed first (an interrupt's,
// say, which already showed its line). An interrupt that ended a prompt is about to claim it: run_receive
// reads its status once the signal thread is joined.
int end(ReceiveState& state, int status, const std::string& text, const std::string& message) {
    if (prompts_ended()) return state.ending.status(status);
    state.ending.claim(*state.progress, status, text, message);
    return state.ending.status();
}

// The code as lines show it: its nameplate only, since its words are the secret.
std::string code_shown(const ReceiveState& state) { return std::to_string(state.code->nameplate) + "-..."; }

// Why no payload came, for the final message.
std::string no_link_reason(const ReceiveState& state, bool adios) {
    if (state.sender_unreachable) return "the sender could not be reached";
    if (adios && state.code) return "the library's key check failed (is the sender's code of another nameplate?)";
    if (adios) return "the keys did not match (or only one side runs with --plain)";
    return "the coordinator closed the link (it stopped, or does not take this endstation: see its status lines)";
}

// The end when the link or its key confirmation failed; kNotEnded when the keys were confirmed.
int end_unconfirmed(ReceiveState& state, bool adios) {
    if (!state.bridged) {
        // Without "Adios " the coordinator ended the link itself: it was stopped, or it does not take
        // this endstation (a coordinator that serves one conference of its own, one that limits what an
        // address may hold); no sender was met, so the key or the code is not in question.
        int status = adios || state.sender_unreachable ? EXIT_NO_LINK : EXIT_NO_COORDINATOR;
        return end(state, status, "no link to the sender", "no payload: " + no_link_reason(state, adios));
    }
    switch (state.confirmed) {
    case CONFIRMED:
        return kNotEnded;
    case CONFIRM_MISMATCH:
        if (state.code)
            return end(state, EXIT_NO_LINK, "wrong code",
                       "the code is wrong: the sender did not confirm it (or someone on the link tried to take its "
                       "place); nothing was received");
        return end(state, EXIT_NO_LINK, "wrong key",
                   "the key is wrong: the sender could not prove that it holds the same key (or someone on the "
                   "link tried to take its place); nothing was received");
    case CONFIRM_ENDED:
        if (state.timed_out)
            return end(state, EXIT_NO_LINK, "confirmation timed out",
                       "no payload: the key confirmation did not finish within " + std::to_string(confirm_seconds()) +
                           " s (TQR_CONFIRM_TIMEOUT)");
        return end(state, EXIT_NO_LINK, "the sender closed the link",
                   "no payload: the sender closed the link during the key confirmation");
    case CONFIRM_LATER:
        return end(state, EXIT_NO_LINK, "turned away for now",
                   "no payload: the sender turns away tries for " + std::to_string(state.retry_seconds) +
                       " s after wrong codes (from this address, or too many from anywhere); check the code, then "
                       "try again (or someone on the link answered in its place)");
    case CONFIRM_FOREIGN:
        return end(state, EXIT_NO_LINK, "the sender speaks another format",
                   "no payload: the sender does not speak the encrypted format (--plain?)");
    case CONFIRM_FINISHED:
        return end(state, EXIT_NO_LINK, "the sender is no longer serving",
                   kServedOut);
    }
    return kNotEnded;
}

// The line that tells of a stored payload.
std::string summary_line(const ReceiveState& state, const Destination& destination) {
    std::string line = (destination.final_path().empty() ? state.name : destination.final_path()) + ": " +
                       Progress::rate_text(state.moved, state.seconds);
    if (!state.peer.empty()) line += ", from " + state.peer;
    if (destination.resumed_at() > 0)
        line += " (continued from " + Progress::human_bytes(static_cast<double>(destination.resumed_at())) +
                "; " + std::to_string(destination.resumed_at() + state.moved) + " bytes in all)";
    return line;
}

// The end with a text that arrived whole and was written (deliver_text).
int end_text(ReceiveState& state) {
    Progress& progress = *state.progress;
    progress.step("text", "", {{"text", state.text}});
    progress.step("done", "", {{"bytes", static_cast<double>(state.moved)}, {"seconds", state.seconds}});
    return end(state, EXIT_DONE, "done, a text of " + Progress::human_bytes(static_cast<double>(state.text.size())) +
                                     " verified", "");
}

// The end with a payload that came whole and is stored.
int end_stored(ReceiveState& state, const std::string& size) {
    Progress& progress = *state.progress;
    Destination& destination = *state.destination;
    // An unencrypted payload for standard output was kept aside until its sum was checked; a reader
    // may take its time with it (a pager), so the sender was told before.
    if (state.on_screen) progress.lend();
    bool copied = destination.copy_spool();
    progress.give_back(state.line_ended);
    // Interrupted meanwhile: that line was the last.
    if (ended(state)) return state.ending.status();
    if (!copied)
        return end(state, EXIT_USAGE_OR_IO, "cannot write standard output", "cannot write the payload to standard output");
    progress.step("done", "", {{"bytes", static_cast<double>(state.moved)}, {"seconds", state.seconds},
                               {"kept", static_cast<double>(destination.resumed_at())}});
    std::vector<std::string> placed = destination.placed();
    std::string arrived;
    for (const std::string& entry : placed) arrived += (arrived.empty() ? "" : ", ") + entry;
    if (!placed.empty()) progress.note("arrived in " + destination.final_path() + ": " + arrived);
    std::vector<std::string> refused = destination.refused();
    const uint64_t refusals = destination.refused_count();
    for (const std::string& entry : refused) progress.note("not extracted: " + entry);
    if (refusals > refused.size())
        progress.note("not extracted: " + std::to_string(refusals - refused.size()) + " more entries, not listed");
    if (refusals > 0)
        return end(state, EXIT_DAMAGED, "entries refused",
                   (refusals == 1 ? std::string("1 entry was") : std::to_string(refusals) + " entries were") +
                       " refused (listed above); the rest is in " + destination.final_path());
    progress.summary(summary_line(state, destination));
    return end(state, EXIT_DONE,
               "done, " + size + " verified" +
                   (destination.final_path().empty() ? std::string() : " in " + destination.final_path()),
               "");
}

// The end with what became of the payload.
int end_received(ReceiveState& state) {
    if (state.output_failed) {
        const std::string prefix = "cannot write standard output", why = state.destination->error();
        return end(state, EXIT_USAGE_OR_IO, prefix,
                   "cannot write the text to standard output" +
                       (why.compare(0, prefix.size(), prefix) == 0 ? why.substr(prefix.size()) : ": " + why));
    }
    if (state.is_text && state.result == RECEIVED_INTACT) return end_text(state);
    if (state.is_text && state.text_declined)
        return end(state, EXIT_USAGE_OR_IO, "standard output closed",
                   "the sender offered a text, and standard output is closed, so it was declined: take it with "
                   "standard output open, or with --json");
    if (state.is_text && state.result == RECEIVED_SINK_FAILED)
        return end(state, EXIT_DAMAGED, "text too long", "the sender offered a text longer than 64 KiB, which was declined");
    Destination& destination = *state.destination;
    // A sealed payload on standard output went out chunk by chunk, each verified; only its end is missing.
    std::string nothing_written = destination.to_stdout() && state.sealed() ? "standard output got an incomplete payload"
                                                                            : "nothing appeared under its name";
    std::string size = Progress::human_bytes(static_cast<double>(destination.resumed_at() + state.moved));
    if (state.unverified)
        return end(state, EXIT_NO_LINK, "check words not confirmed",
                   "no payload: the check words were not confirmed (--verify), so the payload was declined");
    switch (state.result) {
    case RECEIVED_INTACT:
        return end_stored(state, size);
    case RECEIVED_SERVED_OUT:
        return end(state, EXIT_NO_LINK, "the sender is no longer serving",
                   kServedOut);
    case RECEIVED_NOTHING:
        return end(state, EXIT_NO_LINK, "the sender closed the link",
                   "the sender closed the link before sending anything (keys did not match? or its person did not "
                   "confirm the check words)");
    case RECEIVED_SHORT:
        if (state.timed_out)
            return end(state, EXIT_DAMAGED, "payload stalled",
                       "no payload chunk came for " + std::to_string(stall_seconds()) +
                           " s (TQR_STALL_TIMEOUT), so the transfer ended; " + nothing_written);
        return end(state, EXIT_DAMAGED, "payload short",
                   "the payload arrived short (the link to the sender was lost, or its file changed while it was "
                   "sent); " + nothing_written);
    case RECEIVED_CORRUPT:
        return end(state, EXIT_DAMAGED, "payload corrupt",
                   std::string("the payload arrived corrupt (") +
                       (state.sealed() ? "a chunk failed verification" : "checksum mismatch") + "); " + nothing_written);
    case RECEIVED_SINK_FAILED:
        if (destination.out_of_space()) return end(state, EXIT_DAMAGED, "disk nearly full", destination.error());
        break;
    }
    return end(state, EXIT_USAGE_OR_IO, "cannot store the payload", destination.error());
}

// The conference and the key the library checks: of the code (given, or asked for), or of
// --conference and its key. EXIT_DONE, or the status once the end was claimed.
int membership(ReceiveState& state, const ReceiveOptions& options, Membership* out) {
    Progress& progress = *state.progress;
    out->host = options.party.host;
    if (options.party.conference.empty()) {
        int status = check_code_options(options.party, progress);
        if (status != EXIT_DONE) return state.ending.claim(status), state.ending.status();
        std::string typed = options.code;
        Code code;
        CodeRead read = typed.empty() ? read_code(&typed) : CODE_TYPED;
        if (read == CODE_INTERRUPTED)
            return end(state, EXIT_INTERRUPTED + SIGINT, "interrupted",
                       std::string("interrupted (") + interrupt_name(SIGINT) + ")");
        if (read == CODE_NONE) return end(state, EXIT_USAGE_OR_IO, "no code", "no code was given");
        if (!parse_code(typed, &code)) return end(state, EXIT_USAGE_OR_IO, "not a code", code_mistake(typed));
        state.code.reset(new Code(code));
        out->conference = conference_of(code.nameplate);
        out->key = nameplate_check_key(code.nameplate);
        return EXIT_DONE;
    }
    if (!options.code.empty()) return end(state, EXIT_USAGE_OR_IO, "usage", "give a code or --conference, not both");
    std::string key;
    KeyOrigin origin;
    int status = party_key(options.party, false, progress, &key, &origin);
    if (status != EXIT_DONE && prompts_ended()) return state.ending.status(status);  // the interruption claims it
    if (status != EXIT_DONE) return state.ending.claim(status), state.ending.status();
    out->conference = options.party.conference;
    out->key = library_key(key, options.party, &state.keys);
    return EXIT_DONE;
}

// Waits until a sender came or run_receive no longer waits, at most until `deadline` (CLOCK_MONOTONIC):
// true when either came first.
bool sender_or_over(ReceiveState& state, const timespec& deadline) ZEL_REQUIRES(state.waiting_mutex) {
    while (!state.sender_came && !state.waiting_over)
        if (state.sender_changed.wait_until(state.waiting_mutex, deadline) != 0) break;
    return state.sender_came || state.waiting_over;
}

timespec seconds_after(const timespec& start, long seconds) {
    timespec at = start;
    at.tv_sec += seconds;
    return at;
}

// The watcher's thread: says, after a few quiet seconds, that no sender came yet, and ends the wait at
// `timeout` (0: none). Ends when a sender came, when run_receive no longer waits (stop_watching), or
// once it claimed the end. A code's lines name the code and the host, never the conference it stands for.
void watch_for_sender(ReceiveState& state, std::string conference, std::string host, long timeout)
    ZEL_EXCLUDES(state.waiting_mutex) {
    timespec started{};
    clock_gettime(CLOCK_MONOTONIC, &started);
    zel::MutexLock lock(state.waiting_mutex);
    long quiet = timeout > 0 ? std::min<long>(kQuietWaitSeconds, timeout) : kQuietWaitSeconds;
    if (sender_or_over(state, seconds_after(started, quiet))) return;
    std::string after = "giving up after " + std::to_string(timeout) + " s";
    if (state.code) {
        state.progress->note("nobody serves " + code_shown(state) + " at " + host + " yet; " +
                             (timeout > 0 ? after + " (--timeout)" : "no time limit (--timeout 0)"));
    } else {
        state.progress->note("waiting for a sender of conference " + conference + " (is the code right?); " +
                             (timeout > 0 ? after : "no time limit (--timeout SECONDS sets one)"));
    }
    if (timeout <= 0) return;
    if (sender_or_over(state, seconds_after(started, timeout))) return;
    // Claimed with the lock held, so that no sender can come in between; the claim ends the link.
    if (!prompts_ended())
        state.ending.claim(*state.progress, EXIT_NO_SENDER, "no sender",
                       state.code ? "no sender serves code " + code_shown(state) + " at " + host +
                                        " (mistyped? or the sender has stopped)"
                                  : "no sender of conference " + conference + " came within " +
                                        std::to_string(timeout) + " s");
}

// Ends the watcher's wait and joins its thread.
void stop_watching(ReceiveState& state, std::thread& watcher) ZEL_EXCLUDES(state.waiting_mutex) {
    {
        zel::MutexLock lock(state.waiting_mutex);
        state.waiting_over = true;
        state.sender_changed.broadcast();
    }
    watcher.join();
}

// Joins the coordinator and waits there for the sender, whose payload the bridge thread takes; the
// end, once the Caller and every thread it ran have gone.
int meet_sender(ReceiveState& state, const ReceiveOptions& options, const Membership& joining) {
    Progress& progress = *state.progress;
    std::unique_ptr<Caller> caller(new Caller());
    state.caller = caller.get();
    zel::set_bridge_handler(*caller, take_payload, &state);
    progress.state(state.code ? "joining " + joining.host + " for code " + code_shown(state)
                              : "joining conference " + joining.conference);
    std::string error;
    bool unreachable = false;
    int status = join_coordinator(caller.get(), ROLE_ENDSTATION, joining, options.party, &error, &unreachable, &state.ending);
    // A code's sender that has stopped took its coordinator with it, more often than not.
    if (unreachable && state.code)
        error = "nothing answers at " + joining.host + " port " + std::to_string(caller->coord_port()) +
                ": no tqr send serves code " + code_shown(state) +
                " there any more (it has stopped, or runs on another machine: --host)";
    bool adios = false;
    if (status != EXIT_DONE) {
        end(state, status, "no coordinator", error);
    } else if (!ended(state)) {
        progress.step("waiting",
                      state.code ? "joined " + joining.host + ", waiting for the sender of code " + code_shown(state)
                                 : "joined conference " + joining.conference + ", waiting for its sender",
                      {{"conference", joining.conference}});
        long timeout = options.timeout >= 0 ? options.timeout : state.code ? kCodeWaitSeconds : 0;
        state.ending.wake_through(caller.get());
        std::thread watcher(watch_for_sender, std::ref(state), joining.conference, joining.host, timeout);
        // A claim before wake_through() could not end the link.
        if (!state.ending.claimed()) caller->process();
        adios = zel::process_result(*caller) == zel::ProcessEnd::ADIOS;
        stop_watching(state, watcher);
        state.ending.wake_through(nullptr);
    }
    // Joins the bridge thread if process() ended without "Adios " (the coordinator went away).
    caller.reset();
    state.caller = nullptr;
    if (ended(state)) return state.ending.status();
    status = end_unconfirmed(state, adios);
    return status != kNotEnded ? status : end_received(state);
}

// Everything before the coordinator: the code or the key, and where the payload goes.
int receive(ReceiveState& state, const ReceiveOptions& options) {
    Progress& progress = *state.progress;
    Membership joining;
    int status = membership(state, options, &joining);
    if (status != EXIT_DONE) return status;
    Destination::AskFunction ask;
    state.verify = options.party.verify;
    state.asks = !options.party.json && isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
    if (state.asks)
        ask = [&state](const std::string& question) {
            // The destination may hold its lock while it asks (check()), and nothing is kept yet.
            state.may_keep = false;
            bool yes = state.progress->ask(question);
            state.may_keep = true;
            return yes;
        };
    state.destination.reset(new Destination(options.output, state.sealed(), options.force, ask,
                                            [&progress](const std::string& line) { progress.note(line); }));
    if (!state.destination->check()) return end(state, EXIT_USAGE_OR_IO, "cannot write", state.destination->error());
    state.may_keep = true;
    zel::set_party_observer(on_party_event, &state);
    status = meet_sender(state, options, joining);
    zel::set_party_observer(nullptr, nullptr);
    return status;
}

}  // namespace

int run_receive(const ReceiveOptions& options) {
    zel::set_quiet(options.party.verbose ? 0 : 1);
    Progress progress("receive", options.party.json);
    ReceiveState state;
    state.progress = &progress;
    int status;
    {
        // Before any prompt: Ctrl-C or SIGTERM at one ends the command as it does later.
        InterruptWatch interrupts(on_interrupt, &state);
        status = receive(state, options);
    }
    // A prompt that an interrupt ended returns before the signal thread claimed the end; joined, it has.
    return leave(state.ending.status(status));
}

}  // namespace tqr
