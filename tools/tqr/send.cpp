// `tqr send`: a sender that serves one file to every endstation of its conference that holds the key.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/phrase.h"
#include "tools/tqr/commands.h"
#include "tools/tqr/party.h"
#include "tools/tqr/payload.h"
#include "tools/tqr/progress.h"

namespace tqr {

namespace {

// How long a link may stall, and how long an endstation may take to confirm, before it counts as lost.
constexpr int kLinkSeconds = 60;

// What the bridge callback serves, and what it has served. Written by run_send before the Caller
// connects; the counters are guarded by m_mutex, since bridge callbacks run on several library
// threads at once.
struct SendState {
    Caller* caller = nullptr;
    std::vector<unsigned char> payload;
    std::string name;
    long limit = 0;
    Progress* progress = nullptr;

    std::mutex mutex;
    long active = 0;
    long served = 0;
    long lost = 0;
    bool closing = false;  // the coordinator link was shut down: the limit is reached
};

SendState g_send;

std::string counters_text() {
    std::string text = "served " + std::to_string(g_send.served);
    if (g_send.limit > 0) text += " of " + std::to_string(g_send.limit);
    if (g_send.active > 0) text += ", " + std::to_string(g_send.active) + " transferring";
    if (g_send.lost > 0) text += ", " + std::to_string(g_send.lost) + " lost";
    return text;
}

// Runs on a listener thread of the library, one per key-checked endstation; the library closes `fd`
// when it returns.
void serve_endstation(int fd) {
    {
        std::lock_guard<std::mutex> guard(g_send.mutex);
        // Served and under way together never exceed the limit: an extra endstation gets nothing.
        if (g_send.closing || (g_send.limit > 0 && g_send.served + g_send.active >= g_send.limit)) return;
        ++g_send.active;
        g_send.progress->counters(counters_text());
    }
    g_send.progress->state("key checked, transferring");
    bound_link(fd, kLinkSeconds);
    uint64_t reported = 0;
    bool sent = send_payload(fd, g_send.name, g_send.payload.data(), g_send.payload.size(),
                             [&](uint64_t done, uint64_t total) {
                                 g_send.progress->add_bytes(done - reported, total);
                                 reported = done;
                             });
    int answer = sent ? wait_ack(fd, kLinkSeconds * 1000) : -1;

    std::lock_guard<std::mutex> guard(g_send.mutex);
    --g_send.active;
    if (answer == 1) {
        ++g_send.served;
    } else {
        ++g_send.lost;
    }
    g_send.progress->counters(counters_text());
    g_send.progress->state(answer == 1 ? "done, waiting for the next endstation" : "an endstation was lost");
    if (g_send.limit > 0 && g_send.served >= g_send.limit && !g_send.closing) {
        g_send.closing = true;
        // process() returns once its link is gone; the main thread takes it from there.
        ::shutdown(g_send.caller->m_conn->fd(), SHUT_RDWR);
    }
}

bool read_payload(const std::string& file, std::vector<unsigned char>* out) {
    int fd = file == "-" ? STDIN_FILENO : open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        out->insert(out->end(), buffer, buffer + n);
    }
    int saved = errno;
    if (fd != STDIN_FILENO) close(fd);
    errno = saved;
    return n == 0;
}

void watch_log(const std::string& line) {
    // The lines of the sender's own message loop: "... received: Nominate <cookie> <nickname>".
    static const std::string nominate = "received: Nominate ";
    static const std::string listen = "received: Listen ";
    size_t at = line.find(nominate);
    if (at != std::string::npos) {
        std::string rest = line.substr(at + nominate.size());
        size_t blank = rest.find(' ');
        g_send.progress->state("nominated " + (blank == std::string::npos ? std::string("an endstation") : rest.substr(blank + 1)));
        return;
    }
    at = line.find(listen);
    if (at != std::string::npos) {
        std::string rest = line.substr(at + listen.size());
        size_t blank = rest.find(' ');
        g_send.progress->state("connecting on port " + (blank == std::string::npos ? rest : rest.substr(blank + 1)));
    }
}

}  // namespace

int run_send(const SendOptions& options) {
    zel_set_quiet(options.party.verbose ? 0 : 1);
    std::string key, error;
    if (!resolve_key(options.party, &key, &error)) {
        fprintf(stderr, "tqr send: %s\n", error.c_str());
        return EXIT_USAGE_OR_IO;
    }
    if (!read_payload(options.file, &g_send.payload)) {
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

    Progress progress("send");
    g_send.progress = &progress;
    LogTap tap(watch_log);
    set_bridge_callback(serve_endstation);

    Caller* caller = new Caller();
    g_send.caller = caller;
    progress.state("joining conference " + options.party.conference);
    int joined = join_coordinator(caller, ROLE_SENDER, options.party, key, "send");
    if (joined != EXIT_DONE) finish(joined);
    progress.state("joined conference " + options.party.conference + ", serving " + g_send.name + " (" +
                   Progress::human_bytes(static_cast<double>(g_send.payload.size())) + ")");
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
    if (g_send.closing) {
        progress.finish("done");
        finish(EXIT_DONE);
    }
    progress.finish("coordinator link ended");
    fprintf(stderr, "tqr send: the coordinator closed the link after %ld endstation(s) served\n", g_send.served);
    finish(EXIT_NO_COORDINATOR);
}

}  // namespace tqr
