// `tqr receive`: an endstation that takes one file from its conference's sender and verifies it.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/party_events.h"
#include "protocol/phrase.h"
#include "tools/tqr/code_link.h"
#include "tools/tqr/commands.h"
#include "tools/tqr/destination.h"
#include "tools/tqr/interrupt.h"
#include "tools/tqr/party.h"
#include "tools/tqr/payload.h"
#include "tools/tqr/progress.h"
#include "tools/tqr/prompt.h"
#include "tools/tqr/secure.h"

namespace tqr {

namespace {

constexpr int kLinkSeconds = 60;
// How long the endstation waits for the coordinator's "Adios " before it confirms the payload anyway.
constexpr int kAdiosSeconds = 30;
// How long a receiver waits for a sender in silence before it says that it is waiting.
constexpr int kQuietWaitSeconds = 5;

// The endstation's state. run_receive fills the options part before connecting; the bridge thread
// writes the results, which run_receive reads only after process() returned (process() joins the
// bridge thread first).
struct ReceiveState {
    std::atomic<Caller*> caller{nullptr};
    Progress* progress = nullptr;
    std::unique_ptr<Destination> destination;

    std::unique_ptr<LinkKeys> keys;  // --conference without --plain
    std::unique_ptr<Code> code;      // the code mode

    std::atomic<bool> bridged{false};
    std::atomic<bool> sender_unreachable{false};
    ConfirmResult confirmed = CONFIRMED;
    ReceiveResult result = RECEIVED_NOTHING;
    uint64_t moved = 0;     // bytes this transfer moved (beyond those an earlier one kept)
    double seconds = 0;     // from the key check to the verified end
    std::string name;       // the sender's name of the payload
    std::string peer;

    // Whether a sender came, for the watcher (watch_for_sender). The mutex guards `sender_came`.
    std::mutex waiting_mutex;
    std::condition_variable sender_changed;
    bool sender_came = false;
};

ReceiveState g_receive;

bool sealed() { return g_receive.keys || g_receive.code; }

// The key confirmation, of the code or of the key. true when the payload may follow.
bool confirm(int fd, Session* session) {
    if (!sealed()) return true;
    g_receive.confirmed = g_receive.code ? confirm_code(fd, false, *g_receive.code, session)
                                         : confirm_link(fd, false, *g_receive.keys, session);
    if (g_receive.confirmed != CONFIRMED) return false;
    g_receive.progress->step("verified", "key confirmed, transferring", {{"peer", peer_of(fd)}});
    return true;
}

// Runs on the endstation's bridge thread once the keys matched; the socket is ours to close.
void take_payload(int fd) {
    g_receive.bridged = true;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    g_receive.progress->state(sealed() ? "key checked, confirming" : "key checked, transferring");
    bound_link(fd, kLinkSeconds);
    Session session;
    if (!confirm(fd, &session)) {
        close(fd);
        return;
    }
    Destination& destination = *g_receive.destination;
    BeginFunction begin = [&](const PayloadHeader& header, uint64_t* start) {
        g_receive.name = header.name;
        if (!destination.open(header, start)) return false;
        if (*start > 0) {
            g_receive.progress->note("continuing " + destination.final_path() + " from " +
                                     Progress::human_bytes(static_cast<double>(*start)) + " of " +
                                     Progress::human_bytes(static_cast<double>(header.size)));
            g_receive.progress->start_at(*start);
        }
        return true;
    };
    WriteFunction write = [&](const unsigned char* data, size_t size) { return destination.write(data, size); };
    ByteCounter counter = [&](uint64_t done, uint64_t total) {
        g_receive.progress->add_bytes(done - g_receive.moved, total);
        g_receive.moved = done;
    };
    unsigned char end[kEndBytes];
    ReceiveResult result = sealed() ? receive_sealed(fd, session, begin, write, counter, end)
                                    : receive_payload(fd, begin, write, counter);
    if (result == RECEIVED_INTACT && !destination.commit())
        result = destination.mismatched() ? RECEIVED_CORRUPT : RECEIVED_SINK_FAILED;
    if (result != RECEIVED_INTACT) {
        std::string kept_line = destination.abandon(result == RECEIVED_SHORT);
        if (!kept_line.empty()) g_receive.progress->note(kept_line);
    }
    g_receive.result = result;
    g_receive.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (result == RECEIVED_INTACT) {
        // The sender counts confirmations and may leave at its last one; it must not leave before the
        // coordinator has told this endstation "Adios ", which ends this Caller's link and reader.
        g_receive.progress->state("verified, waiting for the coordinator");
        g_receive.caller.load()->wait_link_ended(kAdiosSeconds);
    }
    if (sealed()) {
        send_receipt(fd, session, result == RECEIVED_INTACT, end);
    } else {
        send_ack(fd, result == RECEIVED_INTACT);
    }
    close(fd);
}

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
    return "the coordinator closed the link";
}

// Ends the process when the link or its key confirmation failed.
void end_unconfirmed(Progress& progress, bool adios) {
    if (!g_receive.bridged) finish(progress, EXIT_NO_LINK, "no link to the sender", "no payload: " + no_link_reason(adios));
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
        finish(progress, EXIT_NO_LINK, "the sender closed the link",
               "no payload: the sender closed the link during the key confirmation");
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

// Ends the process with what became of the payload.
[[noreturn]] void end_received(Progress& progress) {
    Destination& destination = *g_receive.destination;
    // A sealed payload on standard output went out chunk by chunk, each verified; only its end is missing.
    std::string nothing_written = destination.to_stdout() && sealed() ? "standard output got an incomplete payload"
                                                                      : "nothing appeared under its name";
    std::string size = Progress::human_bytes(static_cast<double>(destination.resumed_at() + g_receive.moved));
    switch (g_receive.result) {
    case RECEIVED_INTACT: {
        if (!destination.copy_spool())
            finish(progress, EXIT_USAGE_OR_IO, "cannot write standard output",
                   "cannot write the payload to standard output");
        progress.step("done", "", {{"bytes", static_cast<double>(g_receive.moved)}, {"seconds", g_receive.seconds},
                                   {"kept", static_cast<double>(destination.resumed_at())}});
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
    case RECEIVED_NOTHING:
        finish(progress, EXIT_NO_LINK, "the sender closed the link",
               "the sender closed the link before sending anything (keys did not match?)");
    case RECEIVED_SHORT:
        finish(progress, EXIT_DAMAGED, "payload short",
               "the payload arrived short (the link to the sender was lost); " + nothing_written);
    case RECEIVED_CORRUPT:
        if (destination.mismatched())
            finish(progress, EXIT_DAMAGED, "payload corrupt",
                   "the part kept from an earlier transfer and the rest do not make the sender's file (did it "
                   "change?); the part was discarded, the same command again takes the file whole");
        finish(progress, EXIT_DAMAGED, "payload corrupt",
               std::string("the payload arrived corrupt (") +
                   (sealed() ? "a chunk failed verification" : "checksum mismatch") + "); " + nothing_written);
    case RECEIVED_SINK_FAILED:
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
        if (typed.empty() && !read_code(&typed)) {
            progress.fail("no code", "no code was given", EXIT_USAGE_OR_IO);
            return EXIT_USAGE_OR_IO;
        }
        if (!parse_code(typed, &code)) {
            progress.fail("not a code", "that is not a code: a number and three words of the list, as in "
                          "7-guitar-ocean-tulip", EXIT_USAGE_OR_IO);
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

// Says, after a few quiet seconds, that no sender came yet, and ends the wait at --timeout.
void watch_for_sender(std::string conference, long timeout) {
    using std::chrono::seconds;
    auto started = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(g_receive.waiting_mutex);
    long quiet = timeout > 0 ? std::min<long>(kQuietWaitSeconds, timeout) : kQuietWaitSeconds;
    if (g_receive.sender_changed.wait_until(lock, started + seconds(quiet), [] { return g_receive.sender_came; }))
        return;
    std::string limit = timeout > 0 ? "giving up after " + std::to_string(timeout) + " s"
                                    : "no time limit (--timeout SECONDS sets one)";
    g_receive.progress->note("waiting for a sender of conference " + conference + " (is the code right?); " + limit);
    if (timeout <= 0) return;
    if (g_receive.sender_changed.wait_until(lock, started + seconds(timeout), [] { return g_receive.sender_came; }))
        return;
    // Ends the process with the lock held, so that no sender can come in between.
    finish(*g_receive.progress, EXIT_NO_SENDER, "no sender",
           "no sender of conference " + conference + " came within " + std::to_string(timeout) + " s");
}

// On the signal thread: what was received stays under its part's name when it can be continued.
void on_interrupt(int signal) {
    std::string kept = g_receive.destination ? g_receive.destination->interrupt() : "";
    std::string line = std::string("interrupted (") + interrupt_name(signal) + ")";
    if (!kept.empty()) line += "; " + kept;
    finish(*g_receive.progress, EXIT_INTERRUPTED + signal, "interrupted", line);
}

}  // namespace

int run_receive(const ReceiveOptions& options) {
    zel_set_quiet(options.party.verbose ? 0 : 1);
    Progress progress("receive", options.party.json);
    g_receive.progress = &progress;
    Membership joining;
    int status = membership(options, progress, &joining);
    if (status != EXIT_DONE) finish(status);
    Destination::AskFunction ask;
    if (!options.party.json && isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1)
        ask = [&progress](const std::string& question) { return progress.ask(question); };
    g_receive.destination.reset(new Destination(options.output, sealed(), options.force, ask,
                                                [&progress](const std::string& line) { progress.note(line); }));
    if (!g_receive.destination->check()) finish(progress, EXIT_USAGE_OR_IO, "cannot write", g_receive.destination->error());
    catch_interrupts(on_interrupt);
    set_party_observer(on_party_event, nullptr);
    set_bridge_callback(take_payload);

    Caller* caller = new Caller();
    g_receive.caller = caller;
    progress.state("joining conference " + joining.conference);
    std::string error;
    status = join_coordinator(caller, ROLE_ENDSTATION, joining, options.party, &error);
    if (status != EXIT_DONE) finish(progress, status, "no coordinator", error);
    progress.step("waiting", "joined conference " + joining.conference + ", waiting for its sender",
                  {{"conference", joining.conference}});
    std::thread(watch_for_sender, joining.conference, options.timeout).detach();
    caller->process();
    bool adios = caller->m_stopread.load() != 0;
    // Joins the bridge thread if process() ended without "Adios " (the coordinator went away).
    delete caller;
    g_receive.caller = nullptr;
    end_unconfirmed(progress, adios);
    end_received(progress);
}

}  // namespace tqr
