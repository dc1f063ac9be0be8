// `tqr receive`: an endstation that takes one file from its conference's sender and verifies it.
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

namespace {

// The code as lines show it: its nameplate only, since its words are the secret.
std::string code_shown() { return std::to_string(g_receive.code->nameplate) + "-..."; }

// What the library tells of this endstation's rendezvous.
void on_party_event(const PartyEvent& event, void*) {
    switch (event.kind) {
    case EVENT_CONNECTING: {
        std::lock_guard<std::mutex> guard(g_receive.waiting_mutex);
        g_receive.sender_came = true;
        g_receive.sender_changed.notify_all();
        g_receive.progress->state("connecting to the sender on port " + event.port);
        break;
    }
    case EVENT_CONNECT_FAILED:
        // The coordinator answers "Failed " with nothing, so the message loop would wait for ever:
        // ending the link ends it.
        g_receive.sender_unreachable = true;
        if (Caller* caller = g_receive.caller.load()) caller->close_link();
        break;
    case EVENT_BRIDGED:
        g_receive.peer = event.peer;
        g_receive.progress->step("connected", "connected to " + event.peer, {{"peer", event.peer}});
        break;
    default:
        break;
    }
}

// Why no payload came, for the final message.
std::string no_link_reason(bool adios) {
    if (g_receive.sender_unreachable) return "the sender could not be reached";
    if (adios && g_receive.code) return "the library's key check failed (is the sender's code of another nameplate?)";
    if (adios) return "the keys did not match (or only one side runs with --plain)";
    return "the coordinator closed the link (it stopped, or does not take this endstation: see its status lines)";
}

// Ends the process when the link or its key confirmation failed.
void end_unconfirmed(Progress& progress, bool adios) {
    if (!g_receive.bridged) {
        // Without "Adios " the coordinator ended the link itself: it was stopped, or it does not take
        // this endstation (a coordinator that serves one conference of its own, one that limits what an
        // address may hold); no sender was met, so the key or the code is not in question.
        int status = adios || g_receive.sender_unreachable ? EXIT_NO_LINK : EXIT_NO_COORDINATOR;
        finish(progress, status, "no link to the sender", "no payload: " + no_link_reason(adios));
    }
    switch (g_receive.confirmed) {
    case CONFIRMED:
        return;
    case CONFIRM_MISMATCH:
        if (g_receive.code)
            finish(progress, EXIT_NO_LINK, "wrong code",
                   "the code is wrong: the sender did not confirm it (or someone on the link tried to take its "
                   "place); nothing was received");
        finish(progress, EXIT_NO_LINK, "wrong key",
               "the key is wrong: the sender could not prove that it holds the same key (or someone on the link "
               "tried to take its place); nothing was received");
    case CONFIRM_ENDED:
        if (g_receive.timed_out)
            finish(progress, EXIT_NO_LINK, "confirmation timed out",
                   "no payload: the key confirmation did not finish within " + std::to_string(confirm_seconds()) +
                       " s (TQR_CONFIRM_TIMEOUT)");
        finish(progress, EXIT_NO_LINK, "the sender closed the link",
               "no payload: the sender closed the link during the key confirmation");
    case CONFIRM_LATER:
        finish(progress, EXIT_NO_LINK, "turned away for now",
               "no payload: the sender turns away tries for " + std::to_string(g_receive.retry_seconds) +
                   " s after wrong codes (from this address, or too many from anywhere); check the code, then "
                   "try again");
    case CONFIRM_FOREIGN:
        finish(progress, EXIT_NO_LINK, "the sender speaks another format",
               "no payload: the sender does not speak the encrypted format (--plain?)");
    case CONFIRM_FINISHED:
        finish(progress, EXIT_NO_LINK, "the sender is no longer serving",
               "no payload: the sender is no longer serving (it reached its --count)");
    }
}

// The line that tells of a stored payload.
std::string summary_line(const Destination& destination) {
    std::string line = (destination.final_path().empty() ? g_receive.name : destination.final_path()) + ": " +
                       Progress::rate_text(g_receive.moved, g_receive.seconds);
    if (!g_receive.peer.empty()) line += ", from " + g_receive.peer;
    if (destination.resumed_at() > 0)
        line += " (continued from " + Progress::human_bytes(static_cast<double>(destination.resumed_at())) +
                "; " + std::to_string(destination.resumed_at() + g_receive.moved) + " bytes in all)";
    return line;
}

// Ends the process with a text that arrived whole: on standard output as it came, or escaped line by
// line when that is a terminal.
[[noreturn]] void end_text(Progress& progress) {
    std::string shown = g_receive.text;
    if (isatty(STDOUT_FILENO) == 1) {
        shown.clear();
        size_t at = 0;
        for (size_t end; (end = g_receive.text.find('\n', at)) != std::string::npos; at = end + 1)
            shown += escaped(g_receive.text.substr(at, end - at)) + "\n";
        if (at < g_receive.text.size()) shown += escaped(g_receive.text.substr(at)) + "\n";
    }
    bool written = true;
    progress.aside([&] { written = fwrite(shown.data(), 1, shown.size(), stdout) == shown.size() && fflush(stdout) == 0; });
    if (!written) finish(progress, EXIT_USAGE_OR_IO, "cannot write standard output", "cannot write the text to standard output");
    progress.step("text", "", {{"text", g_receive.text}});
    progress.step("done", "", {{"bytes", static_cast<double>(g_receive.moved)}, {"seconds", g_receive.seconds}});
    finish(progress, EXIT_DONE, "done, a text of " + Progress::human_bytes(static_cast<double>(g_receive.text.size())) +
                                    " verified", "");
}

// Ends the process with what became of the payload.
[[noreturn]] void end_received(Progress& progress) {
    if (g_receive.is_text && g_receive.result == RECEIVED_INTACT) end_text(progress);
    if (g_receive.is_text && g_receive.result == RECEIVED_SINK_FAILED)
        finish(progress, EXIT_DAMAGED, "text too long",
               "the sender offered a text longer than 64 KiB, which was declined");
    Destination& destination = *g_receive.destination;
    // A sealed payload on standard output went out chunk by chunk, each verified; only its end is missing.
    std::string nothing_written = destination.to_stdout() && sealed() ? "standard output got an incomplete payload"
                                                                      : "nothing appeared under its name";
    std::string size = Progress::human_bytes(static_cast<double>(destination.resumed_at() + g_receive.moved));
    if (g_receive.unverified)
        finish(progress, EXIT_NO_LINK, "check words not confirmed",
               "no payload: the check words were not confirmed (--verify), so the payload was declined");
    switch (g_receive.result) {
    case RECEIVED_INTACT: {
        if (g_receive.on_screen) progress.lend();
        bool copied = destination.copy_spool();
        progress.give_back(g_receive.line_ended);
        if (!copied)
            finish(progress, EXIT_USAGE_OR_IO, "cannot write standard output",
                   "cannot write the payload to standard output");
        progress.step("done", "", {{"bytes", static_cast<double>(g_receive.moved)}, {"seconds", g_receive.seconds},
                                   {"kept", static_cast<double>(destination.resumed_at())}});
        std::vector<std::string> placed = destination.placed();
        std::string arrived;
        for (const std::string& entry : placed) arrived += (arrived.empty() ? "" : ", ") + entry;
        if (!placed.empty()) progress.note("arrived in " + destination.final_path() + ": " + arrived);
        std::vector<std::string> refused = destination.refused();
        for (const std::string& entry : refused) progress.note("not extracted: " + entry);
        if (!refused.empty())
            finish(progress, EXIT_DAMAGED, "entries refused",
                   std::to_string(refused.size()) + " entries of the folder were refused (listed above); the rest "
                   "is in " + destination.final_path());
        progress.summary(summary_line(destination));
        finish(progress, EXIT_DONE,
               "done, " + size + " verified" +
                   (destination.final_path().empty() ? std::string() : " in " + destination.final_path()),
               "");
    }
    case RECEIVED_SERVED_OUT:
        finish(progress, EXIT_NO_LINK, "the sender is no longer serving",
               "no payload: the sender is no longer serving (it reached its --count)");
    case RECEIVED_NOTHING:
        finish(progress, EXIT_NO_LINK, "the sender closed the link",
               "the sender closed the link before sending anything (keys did not match? or its person did not "
               "confirm the check words)");
    case RECEIVED_SHORT:
        if (g_receive.timed_out)
            finish(progress, EXIT_DAMAGED, "payload stalled",
                   "no payload chunk came for " + std::to_string(stall_seconds()) +
                       " s (TQR_STALL_TIMEOUT), so the transfer ended; " + nothing_written);
        finish(progress, EXIT_DAMAGED, "payload short",
               "the payload arrived short (the link to the sender was lost); " + nothing_written);
    case RECEIVED_CORRUPT:
        finish(progress, EXIT_DAMAGED, "payload corrupt",
               std::string("the payload arrived corrupt (") +
                   (sealed() ? "a chunk failed verification" : "checksum mismatch") + "); " + nothing_written);
    case RECEIVED_SINK_FAILED:
        if (destination.out_of_space()) finish(progress, EXIT_DAMAGED, "disk nearly full", destination.error());
        break;
    }
    finish(progress, EXIT_USAGE_OR_IO, "cannot store the payload", destination.error());
}

// The conference and the key the library checks: of the code (given, or asked for), or of
// --conference and its key.
int membership(const ReceiveOptions& options, Progress& progress, Membership* out) {
    out->host = options.party.host;
    if (options.party.conference.empty()) {
        int status = check_code_options(options.party, progress);
        if (status != EXIT_DONE) return status;
        std::string typed = options.code;
        Code code;
        CodeRead read = typed.empty() ? read_code(&typed) : CODE_TYPED;
        if (read == CODE_INTERRUPTED)
            finish(progress, EXIT_INTERRUPTED + SIGINT, "interrupted",
                   std::string("interrupted (") + interrupt_name(SIGINT) + ")");
        if (read == CODE_NONE) {
            progress.fail("no code", "no code was given", EXIT_USAGE_OR_IO);
            return EXIT_USAGE_OR_IO;
        }
        if (!parse_code(typed, &code)) {
            progress.fail("not a code", code_mistake(typed), EXIT_USAGE_OR_IO);
            return EXIT_USAGE_OR_IO;
        }
        g_receive.code.reset(new Code(code));
        out->conference = conference_of(code.nameplate);
        out->key = nameplate_check_key(code.nameplate);
        return EXIT_DONE;
    }
    if (!options.code.empty()) {
        progress.fail("usage", "give a code or --conference, not both", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    std::string key;
    KeyOrigin origin;
    int status = party_key(options.party, false, progress, &key, &origin);
    if (status != EXIT_DONE) return status;
    out->conference = options.party.conference;
    out->key = library_key(key, options.party, &g_receive.keys);
    return EXIT_DONE;
}

// Says, after a few quiet seconds, that no sender came yet, and ends the wait at `timeout` (0: none).
// A code's lines name the code and the host, never the conference it stands for.
void watch_for_sender(std::string conference, std::string host, long timeout) {
    using std::chrono::seconds;
    auto started = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(g_receive.waiting_mutex);
    long quiet = timeout > 0 ? std::min<long>(kQuietWaitSeconds, timeout) : kQuietWaitSeconds;
    if (g_receive.sender_changed.wait_until(lock, started + seconds(quiet), [] { return g_receive.sender_came; }))
        return;
    std::string after = "giving up after " + std::to_string(timeout) + " s";
    if (g_receive.code) {
        g_receive.progress->note("nobody serves " + code_shown() + " at " + host + " yet; " +
                                 (timeout > 0 ? after + " (--timeout)" : "no time limit (--timeout 0)"));
    } else {
        g_receive.progress->note("waiting for a sender of conference " + conference + " (is the code right?); " +
                                 (timeout > 0 ? after : "no time limit (--timeout SECONDS sets one)"));
    }
    if (timeout <= 0) return;
    if (g_receive.sender_changed.wait_until(lock, started + seconds(timeout), [] { return g_receive.sender_came; }))
        return;
    // Ends the process with the lock held, so that no sender can come in between.
    finish(*g_receive.progress, EXIT_NO_SENDER, "no sender",
           g_receive.code ? "no sender serves code " + code_shown() + " at " + host +
                                " (mistyped? or the sender has stopped)"
                          : "no sender of conference " + conference + " came within " + std::to_string(timeout) + " s");
}

// On the signal thread: what was received stays under its part's name when it can be continued.
void on_interrupt(int signal) {
    std::string kept = g_receive.may_keep ? g_receive.destination->interrupt() : "";
    std::string line = std::string("interrupted (") + interrupt_name(signal) + ")";
    if (!kept.empty()) line += "; " + kept;
    finish(*g_receive.progress, EXIT_INTERRUPTED + signal, "interrupted", line);
}

}  // namespace

int run_receive(const ReceiveOptions& options) {
    zel_set_quiet(options.party.verbose ? 0 : 1);
    Progress progress("receive", options.party.json);
    g_receive.progress = &progress;
    // Before any prompt: Ctrl-C or SIGTERM at one ends the command as it does later.
    catch_interrupts(on_interrupt);
    Membership joining;
    int status = membership(options, progress, &joining);
    if (status != EXIT_DONE) finish(status);
    Destination::AskFunction ask;
    g_receive.verify = options.party.verify;
    g_receive.asks = !options.party.json && isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
    if (g_receive.asks)
        ask = [&progress](const std::string& question) {
            // The destination may hold its lock while it asks (check()), and nothing is kept yet.
            g_receive.may_keep = false;
            bool yes = progress.ask(question);
            g_receive.may_keep = true;
            return yes;
        };
    g_receive.destination.reset(new Destination(options.output, sealed(), options.force, ask,
                                                [&progress](const std::string& line) { progress.note(line); }));
    if (!g_receive.destination->check()) finish(progress, EXIT_USAGE_OR_IO, "cannot write", g_receive.destination->error());
    g_receive.may_keep = true;
    set_party_observer(on_party_event, nullptr);
    set_bridge_callback(take_payload);

    Caller* caller = new Caller();
    g_receive.caller = caller;
    progress.state(g_receive.code ? "joining " + joining.host + " for code " + code_shown()
                                  : "joining conference " + joining.conference);
    std::string error;
    bool unreachable = false;
    status = join_coordinator(caller, ROLE_ENDSTATION, joining, options.party, &error, &unreachable);
    // A code's sender that has stopped took its coordinator with it, more often than not.
    if (unreachable && g_receive.code)
        error = "nothing answers at " + joining.host + " port " + std::to_string(caller->coord_port()) +
                ": no tqr send serves code " + code_shown() +
                " there any more (it has stopped, or runs on another machine: --host)";
    if (status != EXIT_DONE) finish(progress, status, "no coordinator", error);
    progress.step("waiting",
                  g_receive.code ? "joined " + joining.host + ", waiting for the sender of code " + code_shown()
                                 : "joined conference " + joining.conference + ", waiting for its sender",
                  {{"conference", joining.conference}});
    long timeout = options.timeout >= 0 ? options.timeout : g_receive.code ? kCodeWaitSeconds : 0;
    std::thread(watch_for_sender, joining.conference, joining.host, timeout).detach();
    caller->process();
    bool adios = caller->m_stopread.load() != 0;
    // Joins the bridge thread if process() ended without "Adios " (the coordinator went away).
    delete caller;
    g_receive.caller = nullptr;
    end_unconfirmed(progress, adios);
    end_received(progress);
}

}  // namespace tqr
