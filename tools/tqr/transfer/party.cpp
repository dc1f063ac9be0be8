#include "transfer/party.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>

#include <sodium.h>

#include "common/logmsg.h"
#include "net/socket.h"
#include "protocol/caller.h"
#include "protocol/host.h"
#include "protocol/phrase.h"
#include "protocol/settings.h"
#include "cli/progress.h"
#include "cli/prompt.h"
#include "folder/tree_disk.h"
#include "transfer/secure.h"

namespace tqr {

namespace {

constexpr size_t kKeyFileBytes = 64 * 1024;  // read of a key file, at most: its first line is the key

// The first line of the key file at `path`. Only a regular file, a fifo or a pipe (--key-file
// /dev/stdin, or a shell's <(...)) of this user's or the system's, reached through no link of another
// user, is read: whoever else made it, or could put a link in its place, may know the key. A device
// is not (/dev/zero never ends a line). A fifo is read only from a writer it has when it is opened:
// without one it reads as empty at once rather than waiting for someone to come and write a key.
// Whether the access list of the file open as `fd` names a user or group other than this user and
// its own group with write, in its entry and in the mask.
bool acl_lets_others_write(int fd) {
    unsigned char list[4 + 8 * 64];
    ssize_t size = fgetxattr(fd, "system.posix_acl_access", list, sizeof list);
    if (size < 0) return errno == ERANGE;  // longer than any list a person makes: taken as letting them
    auto field = [&](size_t at, size_t bytes) {
        unsigned value = 0;
        for (size_t i = 0; i < bytes; ++i) value |= static_cast<unsigned>(list[at + i]) << (8 * i);
        return value;
    };
    constexpr unsigned kUser = 0x02, kGroup = 0x08, kMask = 0x10, kWrite = 0x02;
    bool mask_writes = true, others_write = false;
    for (size_t at = 4; at + 8 <= static_cast<size_t>(size); at += 8) {
        const unsigned tag = field(at, 2), perm = field(at + 2, 2), id = field(at + 4, 4);
        if (tag == kMask) mask_writes = (perm & kWrite) != 0;
        const bool other = (tag == kUser && id != geteuid()) || (tag == kGroup && id != getegid());
        if ((perm & kWrite) != 0 && other) others_write = true;
    }
    return others_write && mask_writes;
}

bool read_key_file(const std::string& path, std::string* key, std::string* error) {
    disk::TrustFault fault;
    std::string why;
    int fd = disk::open_trusted(path, O_RDONLY, disk::TAKE_FIFO, "tqr", &fault, &why);
    if (fd < 0) {
        *error = fault == disk::TRUST_LINK    ? "the key file " + why
                 : fault == disk::TRUST_ERRNO ? "cannot read key file " + path + ": " + why
                                              : "the key file " + path + " " + why +
                                                    (fault == disk::TRUST_OWNER ? ", who may know the key" : "") +
                                                    "; use a key file of your own";
        return false;
    }
    // Whoever may write in it chooses the key, a fifo's writer included: everyone, a group other than
    // this user's own, or whom an access list names (its mask stands in the group's bits).
    struct stat held {};
    if (fstat(fd, &held) != 0 || (held.st_mode & S_IWOTH) != 0 ||
        ((held.st_mode & S_IWGRP) != 0 && (held.st_gid != getegid() || acl_lets_others_write(fd)))) {
        close(fd);
        *error = "the key file " + path + " may be written by other users, who could choose the key; chmod go-w " +
                 "keeps it yours";
        return false;
    }
    // A pipe hands the key over as its writer writes it, in as many pieces as it likes.
    // Read without blocking (as opened): the end comes at once when no writer has it open.
    const bool fifo = S_ISFIFO(held.st_mode);
    std::string text(kKeyFileBytes, '\0');
    size_t have = 0;
    int failed = 0;
    while (have < text.size() && memchr(text.data(), '\n', have) == nullptr) {
        ssize_t n = read(fd, &text[have], text.size() - have);
        if (n < 0 && errno == EINTR) continue;
        // A pipe's writer may take its time (a password manager asking for its own passphrase), or
        // never write: Ctrl-C or SIGTERM ends the wait as it ends a prompt.
        if (n < 0 && errno == EAGAIN && fifo && wait_for_answer(fd)) continue;
        if (n < 0 && errno != EAGAIN) failed = errno;
        if (n <= 0) break;
        have += static_cast<size_t>(n);
    }
    close(fd);
    if (failed != 0) {
        *error = "cannot read key file " + path + ": " + strerror(failed);
        return false;
    }
    if (fifo && have == 0) {
        *error = "the key file " + path + " is a fifo that nobody wrote a key to";
        return false;
    }
    // A key is a line: text that never ends one is not a key file (another file named by mistake),
    // and two that differ only past what is read would give the same key.
    if (memchr(text.data(), '\n', have) == nullptr && have == text.size()) {
        *error = "the key file " + path + " has no line end in its first 64 KiB: its first line is the key";
        return false;
    }
    text.resize(have);
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    *key = line;
    return true;
}

}  // namespace

bool resolve_key(const PartyOptions& options, std::string* key, KeyOrigin* origin, std::string* error) {
    if (options.key_given) {
        *key = options.key;
        *origin = KEY_FROM_OPTION;
        return true;
    }
    if (!options.key_file.empty()) {
        *origin = KEY_FROM_FILE;
        return read_key_file(options.key_file, key, error);
    }
    const char* from_env = getenv("TQR_KEY");
    *key = from_env ? from_env : "";
    *origin = from_env ? KEY_FROM_ENVIRONMENT : KEY_NONE;
    return true;
}

int party_key(const PartyOptions& options, bool sending, Progress& progress, std::string* key, KeyOrigin* origin) {
    std::string error;
    if (!resolve_key(options, key, origin, &error)) {
        // Interrupted while a pipe had not given the key: the interruption's line is the last.
        if (prompts_ended()) return EXIT_USAGE_OR_IO;
        progress.fail("no key", error, EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    std::string from = *origin == KEY_FROM_OPTION ? "--key"
                       : *origin == KEY_FROM_FILE ? "the key file " + options.key_file
                                                  : "TQR_KEY";
    // An empty key is no secret: whoever knows the conference would pass every check.
    if (*origin != KEY_NONE && key->empty()) {
        progress.fail("empty key", "the key from " + from + " is empty; give one, or run tqr send without a key "
                      "to have one made", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    // The unencrypted format hands the library the key as a C string: it would end at a NUL.
    if (options.plain && key->find('\0') != std::string::npos) {
        progress.fail("bad key", "the key from " + from + " holds a NUL byte, which --plain cannot carry; use a key "
                      "of text", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    if (*origin == KEY_NONE && (options.plain || !sending)) {
        progress.fail("no key", std::string(sending ? "--plain" : "--conference") + " needs a key: --key-file, "
                      "TQR_KEY or --key", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    if (*origin == KEY_FROM_OPTION)
        progress.note("warning: other users of this machine can read a key given with --key; --key-file or TQR_KEY "
                      "keep it private");
    struct stat file {};
    if (*origin == KEY_FROM_FILE && stat(options.key_file.c_str(), &file) == 0 && (file.st_mode & (S_IRGRP | S_IROTH)) != 0)
        progress.note("warning: other users of this machine may read the key file " + options.key_file +
                      "; chmod 600 keeps it private");
    if (!options.plain) *key = normalise_key(*key);
    if (*origin != KEY_NONE && key->size() < kShortKey)
        progress.note("warning: a key of " + std::to_string(key->size()) + " characters can be guessed; tqr send "
                      "without --conference makes a code that cannot (or, without a key, a key of 140 random bits)");
    return EXIT_DONE;
}

int check_code_options(const PartyOptions& options, Progress& progress) {
    if (!options.plain && !options.key_given && options.key_file.empty()) return EXIT_DONE;
    progress.fail("usage", "--key, --key-file and --plain go with --conference; a code needs none of them",
                  EXIT_USAGE_OR_IO);
    return EXIT_USAGE_OR_IO;
}

std::string library_key(std::string& key, const PartyOptions& options, std::unique_ptr<LinkKeys>* keys) {
    std::string checked = key;
    if (!options.plain) {
        keys->reset(new LinkKeys(key, options.conference));
        checked = (*keys)->check_key();
    }
    sodium_memzero(&key[0], key.size());
    return checked;
}

std::string default_nickname() {
    char host[256] = "tqr";
    gethostname(host, sizeof host - 1);
    host[sizeof host - 1] = '\0';
    return std::string(host) + "-" + std::to_string(getpid());
}

namespace {

bool resolves(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    freeaddrinfo(found);
    return true;
}

}  // namespace

int join_coordinator(Caller* caller, int role, const Membership& membership, const PartyOptions& options,
                     std::string* error, bool* unreachable, Ending* ending) {
    const char* host = membership.host.c_str();
    if (unreachable) *unreachable = false;
    // Checked here first so that the message names the problem; the library would only fail to connect.
    if (!resolves(membership.host)) {
        *error = "host " + membership.host + " does not resolve";
        return EXIT_NO_COORDINATOR;
    }
    std::string nickname = options.nickname.empty() ? default_nickname() : options.nickname;
    int port = caller->coord_port();
    std::string where = " at " + membership.host + " port " + std::to_string(port);
    if (ending != nullptr && !ending->connecting(true)) return ending->status();
    const int connected =
        caller->connect(port, host, role, nickname.c_str(), membership.conference.c_str(), membership.key.c_str());
    if (ending != nullptr) ending->connecting(false);
    if (connected != 1) {
        if (unreachable) *unreachable = true;
        *error = "cannot reach the coordinator" + where;
        return EXIT_NO_COORDINATOR;
    }
    caller->startreadthread();
    // From here on an end claimed elsewhere (an interruption) ends the handshake at once: it ends the link.
    struct WakeDuringJoin {
        Ending* ending;
        ~WakeDuringJoin() {
            if (ending != nullptr) ending->wake_through(nullptr);
        }
    } wake{ending};
    if (ending != nullptr) {
        ending->wake_through(caller);
        if (ending->claimed()) zel::close_link(*caller);
    }
    // The handshake is bounded by TQR_HANDSHAKE_TIMEOUT (10 s): whatever answers there, if it does not
    // answer as a coordinator within that, is something else.
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    if (caller->negotiate(1, role, ROLE_COORDINATOR) != 1) {
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        char limit[32];
        // A coordinator that serves all the parties it can, or all that it takes from this address,
        // closes a new link at once; something that is no coordinator keeps it or says something else,
        // or closes it after a time limit of its own, which is the one to name.
        if (zel::wait_link_ended(*caller, 0) && took >= 1) {
            snprintf(limit, sizeof limit, "%.0f", took);
            *error = membership.host + ":" + std::to_string(port) + " does not speak this protocol (it closed the "
                     "link after " + limit + " s without walking a coordinator's handshake)";
            return EXIT_NO_COORDINATOR;
        }
        if (zel::wait_link_ended(*caller, 0)) {
            *error = membership.host + ":" + std::to_string(port) + " is full (it closed the link before its "
                     "handshake); try again later";
            return EXIT_NO_COORDINATOR;
        }
        snprintf(limit, sizeof limit, "%g", static_cast<double>(zel::settings().handshake_timeout));
        *error = membership.host + ":" + std::to_string(port) + " does not speak this protocol (it did not walk a "
                 "coordinator's handshake within " + limit + " s)";
        return EXIT_NO_COORDINATOR;
    }
    return EXIT_DONE;
}

std::string peer_of(int fd) {
    sockaddr_in peer;
    char text[INET_ADDRSTRLEN];
    if (!net::peer_address(fd, &peer) || inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr)
        return "";
    return std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
}

void bound_link(int fd, int seconds) { net::bound_io(fd, seconds); }

bool Ending::take(int status) {
    zel::MutexLock lock(m_mutex);
    if (m_claimed) return false;
    m_claimed = true;
    m_status = status;
    // The main thread's loop returns once its link is gone. Under the lock, so that the Caller cannot
    // go meanwhile (wake_through(nullptr) waits for it).
    if (m_wake != nullptr) zel::close_link(*m_wake);
    return true;
}

bool Ending::claim(int status) { return take(status); }

bool Ending::claim(Progress& progress, int status, const std::string& text, const std::string& message) {
    if (!take(status)) return false;
    if (status == EXIT_DONE) {
        progress.finish(text);
    } else {
        progress.fail(text, message, status);
    }
    bool stuck;
    {
        zel::MutexLock lock(m_mutex);
        stuck = m_connecting && !pthread_equal(m_connector, pthread_self());
    }
    if (stuck) _exit(leave(status));
    return true;
}

bool Ending::connecting(bool on) {
    zel::MutexLock lock(m_mutex);
    if (on && m_claimed) return false;
    m_connecting = on;
    m_connector = pthread_self();
    return true;
}

void Ending::wake_through(Caller* caller) {
    zel::MutexLock lock(m_mutex);
    m_wake = caller;
}

bool Ending::claimed() const {
    zel::MutexLock lock(m_mutex);
    return m_claimed;
}

int Ending::status(int otherwise) const {
    zel::MutexLock lock(m_mutex);
    return m_claimed ? m_status : otherwise;
}

int leave(int status) {
    fflush(stdout);
    fflush(stderr);
    {
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        if (g_logmsg.is_open()) g_logmsg.flush();
    }
    return status;
}

namespace {

// Written once on the main thread before any bridge runs; read by bridges.
int g_process_policy = -1;
sched_param g_process_priority{};

}  // namespace

void keep_process_policy() {
    g_process_policy = sched_getscheduler(0);
    if (g_process_policy >= 0) sched_getparam(0, &g_process_priority);
}

void take_process_policy() {
    if (g_process_policy < 0 || sched_getscheduler(0) == g_process_policy) return;
    sched_setscheduler(0, g_process_policy, &g_process_priority);
}

}  // namespace tqr
