// The harness that the tests, the fuzzers and the benchmarks share: a coordinator in this process,
// raw parties that speak the protocol by hand, library parties on threads of their own, a record of
// the party events and of the bridge, `tqr` processes, and what /proc tells of a process. No test
// framework here: callers check what they get.
//
// Every wait is on an event (a condition variable, a descriptor) and bounded by a limit the caller
// gives. Network use is 127.0.0.1 only; ports come from the range that the build gives each program
// (TQR_COORDINATOR_PORT, TQR_TOP_PORT, ZEL_TEST_PORT_BASE).
#ifndef ZEL_TESTS_HARNESS_H
#define ZEL_TESTS_HARNESS_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/caller.h"
#include "protocol/coordinator_server.h"
#include "protocol/messages.h"
#include "protocol/party_events.h"

namespace harness {

using std::chrono::milliseconds;

// How long one step may take before a caller gives up on it: generous, for sanitizer builds.
constexpr milliseconds kStep(10000);

// ---- Ports and processes -------------------------------------------------------------------------

int coordinator_port();
int pool_top();
bool in_pool(int port);
// The n-th port of this program's own range outside the pool (60 of them).
int free_port(int n);

// Of process `pid` (0: this one): open descriptors, threads, resident memory in KiB.
int descriptors(pid_t pid = 0);
int threads(pid_t pid = 0);
long resident_kib(pid_t pid = 0);

// ---- Sockets -------------------------------------------------------------------------------------

// A socket connected to 127.0.0.1:port, or -1. With `small_window`, the smallest receive buffer the
// system allows: a party that does not read then holds its peer back after a few KiB.
// With `from`, the socket is bound to that loopback address first (an attacker's own).
int connect_to(int port, bool small_window = false, const char* from = nullptr);
// A socket listening on 127.0.0.1:port, or -1.
int listen_on(int port, int backlog = 4);

// ---- Party events --------------------------------------------------------------------------------

// Keeps every party event of this process while it is installed, and lets a thread wait for one.
class EventLog {
public:
    // Installs itself as the process's observer; the one before is put back when it goes. Without
    // `keep` it only counts: a long attack's events would otherwise weigh in the memory it measures.
    explicit EventLog(bool keep = true);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Events of `kind` (and, when not null, whose `what` is `what`) so far.
    size_t count(zel::PartyEventKind kind, const char* what = nullptr);
    std::vector<zel::PartyEvent> events();
    // Waits until count(kind, what) reaches `at_least`; false when `limit` passed first.
    bool wait_for(zel::PartyEventKind kind, size_t at_least, const char* what = nullptr, milliseconds limit = kStep);
    // Waits until `done()` holds (checked after each event); false when `limit` passed first.
    bool wait_until(const std::function<bool()>& done, milliseconds limit = kStep);

private:
    static void record(const zel::PartyEvent& event, void* self);
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const bool m_keep;
    std::vector<zel::PartyEvent> m_events;
    std::map<std::pair<int, std::string>, size_t> m_counts;  // by kind and what; "" for all of a kind
};

// ---- The bridge ----------------------------------------------------------------------------------

// What the bridge callback was handed, with record_bridge() as the callback: the sender's end of each
// direct link (accepted on a pool port; the library closes it when the callback returns, so a copy is
// kept) and the endstation's. Closed by take_bridged()'s caller or by close_bridged().
struct Bridged {
    int fd;
    bool sender_side;
};
void record_bridge(int fd);
// Waits until `count` links were bridged in all; false when `limit` passed first.
bool wait_bridged(size_t count, milliseconds limit = kStep);
std::vector<Bridged> take_bridged();
void close_bridged();

// ---- Parties -------------------------------------------------------------------------------------

// A coordinator in this process, on this program's coordinator port, for as long as it lives.
struct Coordinator {
    CoordinatorServer server;
    bool started;
    explicit Coordinator(int max_parties = 0) : started(server.start(coordinator_port(), max_parties)) {}
    explicit Coordinator(const AdmissionLimits& limits) : started(server.start(coordinator_port(), limits)) {}
};

// A party that is no library Caller: it writes NUL-framed texts and reads them back with a bounded
// wait, so that a caller can say anything at any step and hang up after it. One thread owns it.
class RawParty {
public:
    RawParty() = default;
    ~RawParty() { hang_up(); }
    RawParty(const RawParty&) = delete;
    RawParty& operator=(const RawParty&) = delete;

    bool connect(int port = coordinator_port(), bool small_window = false, const char* from = nullptr);
    // Takes over `fd` (-1: none), a link the caller accepted: the party then speaks as a coordinator.
    void adopt(int fd);
    // Connects and says the first `lines` lines of the handshake of `role` (all by default), after the
    // coordinator's first phrase. A sender has three lines, an endstation four.
    bool join(int role, const std::string& conference, const std::string& nickname = "e", size_t lines = 4,
              bool small_window = false, const char* from = nullptr);
    bool say(const std::string& text);
    bool say_raw(const std::string& bytes);
    // The next message, or "" when none comes within `limit` or the link ends.
    std::string hear(milliseconds limit = kStep);
    // The next message, decoded; type -1 when it does not start with `name`.
    DecodedMessage expect(const char* name, milliseconds limit = kStep);
    // Reads until the peer ends the link (true) or `limit` passes.
    bool wait_end(milliseconds limit = kStep);
    // The same, and what was heard and not taken yet, as it came.
    std::string hear_rest(milliseconds limit = kStep);
    void hang_up();
    int fd() const { return m_fd; }

private:
    bool read_some(std::chrono::steady_clock::time_point until);
    int m_fd = -1;
    bool m_ended = false;
    std::string m_pending;
};

// One rendezvous walked by hand between a raw sender and a raw endstation that have joined, from the
// nomination on; play() returns the first step the coordinator did not play as expected (or -1).
struct HandRendezvous {
    enum Step { Nominate, Approve, Listen, Listening, Connect, Connected, EndstationHappy, SenderHappy, Adios };
    RawParty& sender;
    RawParty& endstation;
    std::string endstation_cookie;  // as the sender hears it
    std::string sender_cookie;      // as the endstation hears it
    std::string port;
    int play(Step first, Step last);
};

// A party that runs the library's Caller as its host would (connect, reader, handshake, message loop)
// on a thread of its own. stop() ends its link and joins the thread.
class CallerParty {
public:
    CallerParty() = default;
    ~CallerParty() { stop(); }
    CallerParty(const CallerParty&) = delete;
    CallerParty& operator=(const CallerParty&) = delete;

    void run(int role, const std::string& nickname, const std::string& conference, const std::string& key);
    // Waits until the message loop has returned (an endstation: on "Adios "); false when `limit` passed.
    bool wait_ended(milliseconds limit = kStep);
    void stop();
    Caller caller;

private:
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_ended = false;
};

// One library endstation's whole rendezvous: true once its loop ended within `limit`.
bool rendezvous(const std::string& conference, const std::string& key, milliseconds limit = kStep);
// The same on the calling thread, as a receiving program runs it (no time limit of its own beyond the
// library's): true when it ended on "Adios ".
bool rendezvous_here(const std::string& conference, const std::string& key);

// ---- tqr processes -------------------------------------------------------------------------------

// One run of `tqr ARGS` in `cwd` (or of another program, when ARGS starts with its absolute path),
// with `env` ("NAME=value") over this process's environment. Standard output and error are collected
// by a thread of this object; standard input is the file `input`. The process is killed if still
// running when the object goes. One thread owns it.
class TqrProcess {
public:
    TqrProcess(const std::vector<std::string>& args, const std::string& cwd = ".",
               const std::vector<std::string>& env = {}, const std::string& input = "/dev/null");
    ~TqrProcess();
    TqrProcess(const TqrProcess&) = delete;
    TqrProcess& operator=(const TqrProcess&) = delete;

    // The exit status (128 + signal when killed by one), or -1 when it did not end within `limit`.
    int wait(milliseconds limit = kStep);
    // The first of `processes` to end within `limit`, or null.
    static TqrProcess* first_to_end(const std::vector<TqrProcess*>& processes, milliseconds limit = kStep);
    void signal(int number);
    bool running();
    // Waits until its standard error (or output) holds `text` (`times` times); false when it ended or
    // `limit` passed.
    bool wait_for_err(const std::string& text, milliseconds limit = kStep, size_t times = 1);
    bool wait_for_out(const std::string& text, milliseconds limit = kStep);
    std::string out();
    std::string err();
    pid_t pid() const { return m_pid; }

private:
    bool wait_for(const std::string* stream, const std::string& text, milliseconds limit, size_t times = 1);
    void collect(int out_fd, int err_fd);
    pid_t m_pid = -1;
    int m_pidfd = -1;
    int m_status = -1;
    std::thread m_collector;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_out, m_err;
    bool m_streams_ended = false;
};

// A man in the middle of one endstation, which takes the relay for its coordinator (it is pointed at
// `front_port`). The relay passes the coordinator link on frame by frame, but names its own
// `direct_port` in "Connect " (and the sender's port again in "Connected "), so that the direct link
// runs through it too. There it passes the two key frames on, learning the key each reveals half of,
// and then hands both ends of the direct link to `direct(endstation_fd, sender_fd)`. With `from`, its
// links to the coordinator and to the sender come from that loopback address. start() returns
// at once; join() waits until both links have ended. One thread owns it; its own threads carry the
// links.
class Relay {
public:
    typedef std::function<void(int endstation, int sender)> DirectLink;
    Relay(int front_port, int direct_port, DirectLink direct, const char* from = nullptr);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    bool start();
    void join();
    // What the two key frames revealed together (valid after join()), and whether a direct link came.
    const std::string& learned_key() const { return m_learned_key; }
    bool linked() const { return m_linked; }
    // Passes bytes from `from` to `to` until `from` ends, then ends `to`'s writing side; the bytes go
    // to `seen` too when it is not null.
    static void pump(int from, int to, std::string* seen);

private:
    void run();
    void pass_frames(int from, int to, bool toward_endstation);
    void link();

    int m_front_port, m_direct_port;
    DirectLink m_direct;
    const char* m_from;
    int m_front = -1, m_direct_listen = -1;
    std::thread m_thread;
    std::atomic<int> m_sender_port{0};
    std::atomic<bool> m_front_done{false};
    bool m_linked = false;
    std::string m_learned_key;
};

// A scratch folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// One step of a tqr process; generous, for the sanitizer builds.
constexpr milliseconds kToolStep(60000);

// `tqr coordinator` on this test's port (in `dir`), accepting once its first status line is out.
struct ToolCoordinator : TqrProcess {
    explicit ToolCoordinator(const TempDir& dir, const std::vector<std::string>& env = {})
        : TqrProcess({"coordinator"}, dir.path(), env) {}
    bool ready() { return wait_for_err("listening port=", kToolStep); }
    // SIGTERM, then its exit status.
    int stop();
    // The status lines that start with `event`.
    std::vector<std::string> lines(const std::string& event);
};

// Runs `command` through the shell: its exit status (-1 when it did not exit) and its output, with
// standard error.
struct RunResult {
    int status = -1;
    std::string output;
};
RunResult run(const std::string& command);
std::string quote(const std::string& text);
// How often `part` stands in `text`.
size_t occurrences(const std::string& text, const std::string& part);

// `size` bytes of a fixed pseudo-random sequence, one for each `start`.
std::string random_bytes(size_t size, unsigned start);

std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& bytes);

}  // namespace harness

#endif
