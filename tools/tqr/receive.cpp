// `tqr receive`: an endstation that takes one file from its conference's sender and verifies it.
#include <sodium.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
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

constexpr int kLinkSeconds = 60;
// How long the endstation waits for the coordinator's "Adios " before it confirms the payload anyway.
constexpr int kAdiosSeconds = 30;

// The endstation's state. run_receive fills the options part before connecting; the bridge thread
// writes the results, which run_receive reads only after process() returned (process() joins the
// bridge thread first).
struct ReceiveState {
    std::atomic<Caller*> caller{nullptr};
    std::string output;
    Progress* progress = nullptr;

    std::unique_ptr<LinkKeys> keys;  // null with --plain
    bool no_key = false;             // none was given

    std::atomic<bool> bridged{false};
    std::atomic<bool> sender_unreachable{false};
    ConfirmResult confirmed = CONFIRMED;
    ReceiveResult result = RECEIVED_NOTHING;
    PayloadHeader header;
    uint64_t received = 0;
    std::string final_path;
    std::string error;
    FILE* spool = nullptr;  // --plain --output -: the verified payload waits here for standard output
};

ReceiveState g_receive;

bool write_all(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool to_stdout() { return g_receive.output == "-"; }

// Where the payload is stored. The file appears under its final name only once it was verified: it
// is written to a hidden temporary file in the same folder and renamed. Standard output gets each
// sealed chunk as soon as it was verified; a plain payload waits in a temporary file until its
// checksum matched.
class Destination {
public:
    ~Destination() { discard(); }

    bool open(const PayloadHeader& header) {
        if (to_stdout() && g_receive.keys) {
            m_fd = STDOUT_FILENO;
            return true;
        }
        if (to_stdout()) {
            g_receive.spool = tmpfile();
            if (g_receive.spool == nullptr) return fail("cannot make a temporary file");
            m_fd = fileno(g_receive.spool);
            return true;
        }
        std::string path = g_receive.output;
        if (path.empty()) {
            path = safe_file_name(header.name);
        } else if (is_directory(path)) {
            path += "/" + safe_file_name(header.name);
        }
        g_receive.final_path = path;
        size_t slash = path.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        m_temp = (slash == std::string::npos ? "" : folder) + "." + base + ".tqr-XXXXXX";
        m_fd = mkstemp(&m_temp[0]);
        if (m_fd < 0) {
            m_temp.clear();
            return fail("cannot create a file in " + folder);
        }
        // mkstemp makes the file private; the payload gets the mode any new file would get.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(m_fd, 0666 & ~mask);
        return true;
    }

    bool write(const unsigned char* data, size_t size) {
        return write_all(m_fd, data, size) || fail("cannot write " + describe());
    }

    // Moves the verified payload under its final name.
    bool commit() {
        if (to_stdout() && g_receive.keys) return true;
        if (to_stdout()) return fflush(g_receive.spool) == 0 || fail("cannot spool the payload");
        int fd = m_fd;
        m_fd = -1;
        if (close(fd) != 0) return fail("cannot write " + describe());
        if (rename(m_temp.c_str(), g_receive.final_path.c_str()) != 0) return fail("cannot rename to " + describe());
        m_temp.clear();
        return true;
    }

    void discard() {
        if (to_stdout()) return;
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
        if (!m_temp.empty()) unlink(m_temp.c_str());
        m_temp.clear();
    }

private:
    bool fail(const std::string& what) {
        g_receive.error = what + ": " + strerror(errno);
        return false;
    }
    std::string describe() const { return g_receive.final_path.empty() ? "the output" : g_receive.final_path; }

    int m_fd = -1;
    std::string m_temp;
};

// Runs on the endstation's bridge thread once the keys matched; the socket is ours to close.
void take_payload(int fd) {
    g_receive.bridged = true;
    g_receive.progress->state(g_receive.keys ? "key checked, confirming" : "key checked, transferring");
    bound_link(fd, kLinkSeconds);
    Session session;
    if (g_receive.keys) {
        g_receive.confirmed = confirm_link(fd, false, *g_receive.keys, &session);
        if (g_receive.confirmed != CONFIRMED) {
            close(fd);
            return;
        }
        g_receive.progress->state("key confirmed, transferring");
    }
    Destination destination;
    uint64_t reported = 0;
    BeginFunction begin = [&](const PayloadHeader& header) {
        g_receive.header = header;
        return destination.open(header);
    };
    WriteFunction write = [&](const unsigned char* data, size_t size) { return destination.write(data, size); };
    ByteCounter counter = [&](uint64_t done, uint64_t total) {
        g_receive.progress->add_bytes(done - reported, total);
        reported = done;
        g_receive.received = done;
    };
    unsigned char end[kEndBytes];
    ReceiveResult result = g_receive.keys ? receive_sealed(fd, session, begin, write, counter, end)
                                          : receive_payload(fd, begin, write, counter);
    if (result == RECEIVED_INTACT && !destination.commit()) result = RECEIVED_SINK_FAILED;
    if (result != RECEIVED_INTACT) destination.discard();
    g_receive.result = result;

    if (result == RECEIVED_INTACT) {
        // The sender counts confirmations and may leave at its last one; it must not leave before the
        // coordinator has told this endstation "Adios ", which ends this Caller's link and reader.
        g_receive.progress->state("verified, waiting for the coordinator");
        g_receive.caller.load()->wait_link_ended(kAdiosSeconds);
    }
    if (g_receive.keys) {
        send_receipt(fd, session, result == RECEIVED_INTACT, end);
    } else {
        send_ack(fd, result == RECEIVED_INTACT);
    }
    close(fd);
}

// What the library tells of this endstation's rendezvous.
void on_party_event(const PartyEvent& event, void*) {
    switch (event.kind) {
    case EVENT_CONNECTING:
        g_receive.progress->state("connecting to the sender on port " + event.port);
        break;
    case EVENT_CONNECT_FAILED:
        // The coordinator answers "Failed " with nothing, so the message loop would wait for ever:
        // ending the link ends it.
        g_receive.sender_unreachable = true;
        if (Caller* caller = g_receive.caller.load()) caller->close_link();
        break;
    default:
        break;
    }
}

bool copy_spool_to_stdout() {
    rewind(g_receive.spool);
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, g_receive.spool)) > 0) {
        if (fwrite(buffer, 1, n, stdout) != n) return false;
    }
    return fflush(stdout) == 0 && !ferror(g_receive.spool);
}

// Why no payload came, for the final message.
std::string no_link_reason(bool adios) {
    if (g_receive.sender_unreachable) return "the sender could not be reached";
    if (adios && g_receive.no_key) return "the keys did not match (no key was given: --key-file, TQR_KEY or --key)";
    if (adios) return "the keys did not match (or only one side runs with --plain)";
    return "the coordinator closed the link";
}

}  // namespace

int run_receive(const ReceiveOptions& options) {
    zel_set_quiet(options.party.verbose ? 0 : 1);
    std::string key;
    KeyOrigin origin;
    int status = party_key(options.party, "receive", &key, &origin);
    if (status != EXIT_DONE) return status;
    g_receive.output = options.output;
    g_receive.no_key = origin == KEY_NONE;
    std::string checked_key = library_key(key, options.party, &g_receive.keys);

    Progress progress("receive");
    g_receive.progress = &progress;
    set_party_observer(on_party_event, nullptr);
    set_bridge_callback(take_payload);

    Caller* caller = new Caller();
    g_receive.caller = caller;
    progress.state("joining conference " + options.party.conference);
    int joined = join_coordinator(caller, ROLE_ENDSTATION, options.party, checked_key, "receive");
    if (joined != EXIT_DONE) finish(joined);
    progress.state("joined conference " + options.party.conference + ", waiting for its sender");
    caller->process();
    bool adios = caller->m_stopread.load() != 0;
    // Joins the bridge thread if process() ended without "Adios " (the coordinator went away).
    delete caller;
    g_receive.caller = nullptr;

    if (!g_receive.bridged) {
        progress.finish("no link to the sender");
        fprintf(stderr, "tqr receive: no payload: %s\n", no_link_reason(adios).c_str());
        finish(EXIT_NO_LINK);
    }
    switch (g_receive.confirmed) {
    case CONFIRMED:
        break;
    case CONFIRM_MISMATCH:
        progress.finish("wrong key");
        fprintf(stderr,
                "tqr receive: the key is wrong: the sender could not prove that it holds the same key (or someone "
                "on the link tried to take its place); nothing was received\n");
        finish(EXIT_NO_LINK);
    case CONFIRM_ENDED:
        progress.finish("the sender closed the link");
        fprintf(stderr, "tqr receive: no payload: the sender closed the link during the key confirmation\n");
        finish(EXIT_NO_LINK);
    case CONFIRM_FOREIGN:
        progress.finish("the sender speaks another format");
        fprintf(stderr, "tqr receive: no payload: the sender does not speak the encrypted format (--plain?)\n");
        finish(EXIT_NO_LINK);
    }
    // A sealed payload on standard output went out chunk by chunk, each verified; only its end is missing.
    const char* nothing_written = to_stdout() && g_receive.keys ? "standard output got an incomplete payload"
                                                                  : "nothing was written";
    std::string size = Progress::human_bytes(static_cast<double>(g_receive.received));
    switch (g_receive.result) {
    case RECEIVED_INTACT:
        if (g_receive.spool != nullptr && !copy_spool_to_stdout()) {
            progress.finish("cannot write standard output");
            fprintf(stderr, "tqr receive: cannot write the payload to standard output\n");
            finish(EXIT_USAGE_OR_IO);
        }
        progress.finish("done, " + size + " verified" +
                        (g_receive.final_path.empty() ? std::string() : " in " + g_receive.final_path));
        finish(EXIT_DONE);
    case RECEIVED_NOTHING:
        progress.finish("the sender closed the link");
        fprintf(stderr, "tqr receive: the sender closed the link before sending anything (keys did not match?)\n");
        finish(EXIT_NO_LINK);
    case RECEIVED_SHORT:
        progress.finish("payload short");
        fprintf(stderr, "tqr receive: the payload arrived short; %s\n", nothing_written);
        finish(EXIT_DAMAGED);
    case RECEIVED_CORRUPT:
        progress.finish("payload corrupt");
        fprintf(stderr, "tqr receive: the payload arrived corrupt (%s); %s\n",
                g_receive.keys ? "a chunk failed verification" : "checksum mismatch", nothing_written);
        finish(EXIT_DAMAGED);
    case RECEIVED_SINK_FAILED:
        break;
    }
    progress.finish("cannot store the payload");
    fprintf(stderr, "tqr receive: %s\n", g_receive.error.c_str());
    finish(EXIT_USAGE_OR_IO);
}

}  // namespace tqr
