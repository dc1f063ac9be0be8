// `tqr send`: a sender that serves one file to every endstation of its conference that holds the key,
// or the code.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>


#include "common/zel_common.h"
#include "protocol/caller.h"
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

// Endstations approved beyond what --count leaves to serve. An approved endstation may never come (a
// stranger who knows the nameplate can join and stay silent), so approvals do not wait for the ones
// before: whoever confirms first is served, and one that confirms when the count is reached is told
// that the sender serves no more. The bound keeps a crowd from taking every port meanwhile.
constexpr long kExtraApprovals = 8;

// Approves a nomination while the count leaves someone to serve.
bool approve_within_count(const std::string&, void*) {
    std::lock_guard<std::mutex> guard(g_send.mutex);
    if (g_send.closing) return false;
    if (g_send.limit > 0 && (g_send.served + g_send.active >= g_send.limit ||
                             g_send.committed >= g_send.limit - g_send.served + kExtraApprovals))
        return false;
    ++g_send.committed;
    return true;
}

Caller* make_sender() {
    Caller* caller = new Caller();
    caller->set_approval_policy(approve_within_count, nullptr);
    g_send.caller = caller;
    return caller;
}

// What the library tells of this sender's rendezvous (and of this process's own coordinator).
void on_party_event(const PartyEvent& event, void*) {
    switch (event.kind) {
    case EVENT_JOINED:
    case EVENT_REJECTED_SENDER:
        admission_event(event);
        break;
    case EVENT_NOMINATION:
        if (std::string(event.what) == "approved")
            g_send.progress->step("nominated", "nominated " + event.nickname,
                                  {{"nickname", event.nickname}});
        break;
    case EVENT_LISTENING:
        g_send.progress->state("connecting on port " + event.port);
        break;
    case EVENT_LISTENER_UNUSED: {
        std::lock_guard<std::mutex> guard(g_send.mutex);
        if (g_send.committed > 0) --g_send.committed;
        break;
    }
    case EVENT_BRIDGED:
        g_send.progress->step("connected", "connected to " + event.peer, {{"peer", event.peer}});
        break;
    case EVENT_KEY_REFUSED:
        g_send.progress->note("refused a connection from " + event.peer + " on port " + event.port +
                              ": it failed the key check");
        break;
    default:
        break;
    }
}

// The key mode's key (made and shown when none was given) and the key the library checks.
int prepare_key(const SendOptions& options, Progress& progress, std::string* checked_key) {
    std::string key;
    KeyOrigin origin;
    int status = party_key(options.party, true, progress, &key, &origin);
    if (status != EXIT_DONE) return status;
    // Shown before standard input is read, which may take as long as its writer does.
    if (!options.party.plain && origin == KEY_NONE) {
        key = generate_key();
        show_generated_key(key, options.party);
    }
    *checked_key = library_key(key, options.party, &g_send.keys);
    return EXIT_DONE;
}

// A folder, scanned once: each link then streams its own archive of it.
int open_tree(const SendOptions& options, Progress& progress) {
    if (options.party.plain) {
        progress.fail("usage", "a folder goes in the encrypted format only: leave out --plain", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    g_send.tree.reset(new TreeSource());
    std::string error;
    if (!g_send.tree->scan(options.file, &error, [&progress](const std::string& line) { progress.note(line); })) {
        progress.fail("cannot read", error, EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    g_send.name = options.name.empty() ? g_send.tree->name() : options.name;
    g_send.offer.kind = KIND_TREE;
    g_send.offer.size = g_send.tree->archive_size();
    return EXIT_DONE;
}

// A --text message, kept in memory for every link.
int open_text(const SendOptions& options, Progress& progress) {
    if (options.party.plain || options.file_given) {
        progress.fail("usage", options.file_given ? "give a file or --text, not both"
                                                  : "a text goes in the encrypted format only: leave out --plain",
                      EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    std::vector<unsigned char> bytes(options.text.begin(), options.text.end());
    if (options.text == "-") {
        if (isatty(STDIN_FILENO) == 1) progress.note("type the message, then Ctrl-D on a line of its own");
        bytes.clear();
        unsigned char buffer[4096];
        ssize_t n;
        while (bytes.size() <= kMaxTextBytes && (n = read(STDIN_FILENO, buffer, sizeof buffer)) != 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                progress.fail("cannot read", std::string("cannot read standard input: ") + strerror(errno),
                              EXIT_USAGE_OR_IO);
                return EXIT_USAGE_OR_IO;
            }
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
    }
    if (bytes.size() > kMaxTextBytes) {
        progress.fail("usage", "a text is at most 64 KiB: send a longer one as a file", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    g_send.limit = options.count;
    g_send.source.assign(std::move(bytes));
    g_send.name = "text";
    g_send.offer.name = g_send.name;
    g_send.offer.size = g_send.source.size();
    g_send.offer.kind = KIND_TEXT;
    return EXIT_DONE;
}

// Several files and folders: one archive of a folder that exists nowhere, whose entries they are.
int open_set(const SendOptions& options, Progress& progress) {
    if (options.party.plain || std::count(options.files.begin(), options.files.end(), "-") > 0) {
        progress.fail("usage", options.party.plain ? "several files go in the encrypted format only: leave out --plain"
                                                   : "standard input goes alone, not among several files",
                      EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    g_send.limit = options.count;
    g_send.tree.reset(new TreeSource());
    std::string error;
    if (!g_send.tree->scan_set(options.files, kSetName, &error, [&progress](const std::string& line) { progress.note(line); })) {
        progress.fail("cannot read", error, EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    g_send.name = std::to_string(options.files.size()) + " files and folders";
    g_send.offer.name = kSetName;
    g_send.offer.kind = KIND_SET;
    g_send.offer.size = g_send.tree->archive_size();
    return EXIT_DONE;
}

int open_source(const SendOptions& options, Progress& progress) {
    if (options.text_given) return open_text(options, progress);
    if (options.files.size() > 1) return open_set(options, progress);
    g_send.limit = options.count;
    if (options.file == "-" && isatty(STDIN_FILENO) == 1) {
        progress.fail("usage", "give a file, or pipe data into tqr send -", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    struct stat info {};
    int status = EXIT_DONE;
    if (options.file != "-" && stat(options.file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        status = open_tree(options, progress);
        g_send.offer.name = g_send.name;
        return status;
    }
    // Standard input streams only to an encrypted transfer that is the only one: the plain header
    // carries the length, and a stream cannot be read twice.
    bool stream = !options.party.plain && options.count == 1;
    if (!g_send.source.open(options.file, stream)) {
        std::string what = options.file == "-" ? "standard input" : options.file;
        progress.fail("cannot read", "cannot read " + what + ": " + strerror(errno), EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    if (!options.name.empty()) {
        g_send.name = options.name;
    } else {
        g_send.name = options.file == "-" ? "stdin.bin" : safe_file_name(options.file);
    }
    g_send.offer.name = g_send.name;
    g_send.offer.size_known = !g_send.source.streamed();
    g_send.offer.size = g_send.source.size();
    g_send.offer.kind = g_send.source.streamed() ? KIND_STREAM : KIND_FILE;
    return EXIT_DONE;
}

// On the signal thread: the links under way end with the process; their receivers keep what they had.
void on_interrupt(int signal) {
    long served;
    {
        std::lock_guard<std::mutex> guard(g_send.mutex);
        served = g_send.served;
    }
    finish(*g_send.progress, EXIT_INTERRUPTED + signal, "interrupted",
           std::string("interrupted (") + interrupt_name(signal) + "), " + std::to_string(served) + " served");
}

// What the sender served, for its last line: "served 5 endstations, 24 B each, 1 lost". Called with
// g_send.mutex held.
std::string served_text() {
    std::string text = "served " + std::to_string(g_send.served) + (g_send.served == 1 ? " endstation" : " endstations");
    if (g_send.served > 0 && !g_send.source.streamed())
        text += ", " + Progress::human_bytes(static_cast<double>(g_send.tree ? g_send.tree->content_bytes() : g_send.source.size())) +
                (g_send.served == 1 ? "" : " each");
    if (g_send.lost > 0) text += ", " + std::to_string(g_send.lost) + " lost";
    if (g_send.refused > 0) text += ", " + std::to_string(g_send.refused) + " refused";
    return text;
}

// Joins options.party.conference with its key, or the conference of a fresh code.
int join(const SendOptions& options, Progress& progress, std::string* conference) {
    std::string checked_key;
    Code chosen;
    if (!g_send.code && !options.code.empty()) {
        progress.fail("usage", "give --code or --conference, not both", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    if (!options.code.empty() && !parse_code(options.code, &chosen)) {
        progress.fail("not a code", code_mistake(options.code), EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    int status = g_send.code ? check_code_options(options.party, progress) : prepare_key(options, progress, &checked_key);
    if (status == EXIT_DONE) status = open_source(options, progress);
    if (status != EXIT_DONE) return status;
    if (g_send.code) {
        Caller* caller = nullptr;
        status = join_with_code(options.party, options.code.empty() ? nullptr : &chosen,
                                static_cast<size_t>(options.words), progress, make_sender, &caller, g_send.code.get());
        *conference = conference_of(g_send.code->nameplate);
        return status;
    }
    *conference = options.party.conference;
    progress.state("joining conference " + *conference);
    std::string error;
    status = join_coordinator(make_sender(), ROLE_SENDER, Membership{options.party.host, *conference, checked_key},
                              options.party, &error);
    if (status != EXIT_DONE) progress.fail("no coordinator", error, status);
    return status;
}

}  // namespace

int run_send(const SendOptions& options) {
    zel_set_quiet(options.party.verbose ? 0 : 1);
    Progress progress("send", options.party.json);
    g_send.progress = &progress;
    progress.shares(receivers_under_way);
    if (options.party.conference.empty()) g_send.code.reset(new Code());
    g_send.verify = options.party.verify;
    g_send.asks = !options.party.json && isatty(STDIN_FILENO) == 1 && isatty(STDERR_FILENO) == 1;
    catch_interrupts(on_interrupt);
    set_party_observer(on_party_event, nullptr);
    set_bridge_callback(serve_endstation);
    std::string conference;
    int status = join(options, progress, &conference);
    if (status != EXIT_DONE) finish(status);

    std::string size = g_send.source.streamed() ? "streamed"
                       : g_send.tree ? std::to_string(g_send.tree->entries()) + " entries, " +
                                           Progress::human_bytes(static_cast<double>(g_send.tree->content_bytes()))
                                     : Progress::human_bytes(static_cast<double>(g_send.source.size()));
    const char* mode = g_send.code ? "code" : g_send.keys ? "encrypted" : "plain";
    progress.step("waiting", "joined conference " + conference + ", serving " + g_send.name + " (" + size + ", " +
                                 mode + ")", {{"conference", conference}});
    Caller* caller = g_send.caller;
    caller->process();
    bool rejected = caller->rejected();
    // Waits for the reader and for the listeners still running (their transfers finish first).
    delete caller;
    if (rejected)
        finish(progress, EXIT_REJECTED, "rejected",
               "the coordinator refused this sender: conference " + conference + " has a sender already, or "
               "that coordinator does not take it (one that serves a code of its own takes no other "
               "conference; a coordinator takes senders of its own machine only, unless TQR_REMOTE_SENDERS=1)");
    std::lock_guard<std::mutex> guard(g_send.mutex);
    if (g_send.guessed)
        finish(progress, EXIT_NO_LINK, "code withdrawn",
               std::to_string(g_send.guesses.failures()) + " failed confirmations (from " +
                   g_send.guesses.sources_text() + "); the code is withdrawn");
    if (g_send.stream_used_up)
        finish(progress, EXIT_USAGE_OR_IO, "standard input used up",
               "the transfer of standard input failed, and it cannot be read again");
    // The coordinator may drop a sender that leaves a nomination unanswered; what it served counts.
    if (g_send.closing || (g_send.limit > 0 && g_send.served >= g_send.limit)) {
        std::string totals = served_text();
        progress.totals(totals);
        finish(progress, EXIT_DONE, "done, " + totals, "");
    }
    finish(progress, EXIT_NO_COORDINATOR, "coordinator link ended",
           "the coordinator closed the link after " + std::to_string(g_send.served) + " endstation(s) served");
}

}  // namespace tqr
