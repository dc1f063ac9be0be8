// Helpers of the end-to-end tests: raw parties that speak the handshake and the named messages by
// hand over loopback, parties that run the library's Caller on a thread, a record of what the bridge
// callback was handed, and `tqr` processes (ZEL_TQR_PATH) with their output captured.
#ifndef ZEL_TESTS_RAW_PARTY_H
#define ZEL_TESTS_RAW_PARTY_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/caller.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"
#include "test_support.h"

extern char** environ;

namespace zel_test {

using std::chrono::milliseconds;

// How long one step of a party may take before a test gives up on it.
constexpr milliseconds kPartyWait(10000);

// The top port of this executable's pool (the pool is coordinator_port() + 1 to pool_top()).
inline int pool_top() {
    const char* top = getenv("TQR_TOP_PORT");
    return top ? atoi(top) : coordinator_port() + 20;
}
inline bool in_pool(int port) { return port > coordinator_port() && port <= pool_top(); }

inline sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket connected to 127.0.0.1:port, or -1. With `small_window`, the smallest receive buffer and
// segments the system allows: a party that does not read then holds back its peer after a few KiB.
inline int connect_to(int port, bool small_window = false) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1, smallest = 1, segment = 536;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (small_window) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
        setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    }
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

// A socket listening on 127.0.0.1:port (where a sender's listener would), or -1.
inline int listen_on(int port, int backlog = 4) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;  // earlier links on the port may linger in TIME_WAIT
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, backlog) == 0) return fd;
    close(fd);
    return -1;
}

// A cookie as it travels in messages.
inline std::string cookie_text(const void* cookie) {
    char text[32];
    snprintf(text, sizeof text, "%p", cookie);
    return text;
}

// A party that is no library Caller: it writes NUL-framed messages and reads them back with a
// bounded wait, so that a test can say anything at any step and hang up after it. One thread owns it.
class RawParty {
public:
    RawParty() = default;
    ~RawParty() { hang_up(); }
    RawParty(const RawParty&) = delete;
    RawParty& operator=(const RawParty&) = delete;

    bool connect(int port = coordinator_port(), bool small_window = false) {
        hang_up();
        m_fd = connect_to(port, small_window);
        m_ended = false;
        m_pending.clear();
        return m_fd >= 0;
    }
    // Connects to the coordinator and says the first `lines` lines of the handshake of `role` (all of
    // them by default), after its first phrase unless `reads` is false (the coordinator does not wait
    // for it to be read). A sender has three lines, an endstation four.
    void join(int role, const std::string& conference, const std::string& nickname = "", bool reads = true,
              size_t lines = 4, bool small_window = false) {
        ASSERT_TRUE(connect(coordinator_port(), small_window));
        if (reads) expect("TQR Coordinator ");
        const std::vector<std::string> script =
            role == ROLE_SENDER ? std::vector<std::string>{"TQR Caller is Sender", "TQR Sender 1.2",
                                                           "From Sender join " + conference}
                                : std::vector<std::string>{"TQR Caller is Endstation", "TQR Endstation 1.2",
                                                           "From Endstation name " + nickname,
                                                           "From Endstation join " + conference};
        for (size_t i = 0; i < script.size() && i < lines; ++i) say(script[i]);
    }
    void say(const std::string& text) {
        std::string framed = text + '\0';
        EXPECT_EQ(send(m_fd, framed.data(), framed.size(), MSG_NOSIGNAL), static_cast<ssize_t>(framed.size())) << text;
    }
    // The next message, or "" when none comes within `limit` or the link ends.
    std::string hear(milliseconds limit = kPartyWait) {
        auto until = std::chrono::steady_clock::now() + limit;
        size_t nul;
        while ((nul = m_pending.find('\0')) == std::string::npos)
            if (!read_some(until)) return std::string();
        std::string message = m_pending.substr(0, nul);
        m_pending.erase(0, nul + 1);
        return message;
    }
    // The next message, which must start with `name`, decoded.
    DecodedMessage expect(const char* name) {
        std::string text = hear();
        DecodedMessage message;
        EXPECT_EQ(text.compare(0, strlen(name), name), 0) << "expected " << name << ", got \"" << text << "\"";
        decode_message(text, &message);
        return message;
    }
    // Reads until the peer ends the link (true) or `limit` passes, counting the messages that start
    // with `name` on the way.
    bool read_to_end(milliseconds limit, const std::string& name = "", int* count = nullptr) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (read_some(until)) {
        }
        for (size_t at = 0, nul; count && (nul = m_pending.find('\0', at)) != std::string::npos; at = nul + 1)
            *count += m_pending.compare(at, name.size(), name) == 0;
        m_pending.clear();
        return m_ended;
    }
    void hang_up() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    bool connected() const { return m_fd >= 0; }
    int local_port() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }

private:
    // false on time-out or at the end of the link (then m_ended).
    bool read_some(std::chrono::steady_clock::time_point until) {
        auto left = std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now());
        pollfd ready{m_fd, POLLIN, 0};
        if (m_ended || m_fd < 0 || left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char chunk[65536];
        ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            m_ended = true;
            return false;
        }
        m_pending.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int m_fd = -1;
    bool m_ended = false;
    std::string m_pending;
};

// One rendezvous walked by hand between a raw sender and a raw endstation that have joined, from the
// nomination on. play() fails the test (fatally: wrap it in ASSERT_NO_FATAL_FAILURE) at a step the
// coordinator does not play. The direct link is none of the coordinator's business and is left out.
struct HandRendezvous {
    enum Step { Nominate, Approve, Listen, Listening, Connect, Connected, EndstationHappy, SenderHappy, Adios };

    HandRendezvous(RawParty& sender_party, RawParty& endstation_party, const std::string& endstation_nickname = "")
        : sender(sender_party), endstation(endstation_party), nickname(endstation_nickname) {}

    RawParty& sender;
    RawParty& endstation;
    std::string nickname;           // checked in "Nominate " when not empty
    std::string endstation_cookie;  // as the sender hears it
    std::string sender_cookie;      // as the endstation hears it
    std::string port;

    void play(Step first, Step last) {
        for (int step = first; step <= last; ++step) {
            DecodedMessage heard;
            switch (step) {
                case Nominate:
                    heard = sender.expect("Nominate ");
                    endstation_cookie = cookie_text(heard.cookie);
                    ASSERT_TRUE(heard.has_cookie && (nickname.empty() || heard.info == nickname)) << heard.info;
                    break;
                case Approve: sender.say("Approve " + endstation_cookie + " "); break;
                case Listen:
                    heard = sender.expect("Listen ");
                    port = heard.info;
                    ASSERT_TRUE(cookie_text(heard.cookie) == endstation_cookie && in_pool(port_of(port))) << port;
                    break;
                case Listening: sender.say("Listening " + endstation_cookie + " " + port); break;
                case Connect:
                    heard = endstation.expect("Connect ");
                    sender_cookie = cookie_text(heard.cookie);
                    ASSERT_TRUE(heard.has_cookie && heard.info == port) << heard.info;
                    break;
                case Connected: endstation.say("Connected " + sender_cookie + " " + port); break;
                case EndstationHappy:
                    heard = sender.expect("Endstation Happy ");
                    ASSERT_TRUE(cookie_text(heard.cookie) == endstation_cookie && heard.info == port) << heard.info;
                    break;
                case SenderHappy: sender.say("Sender Happy " + endstation_cookie + " " + port); break;
                case Adios: ASSERT_EQ(cookie_text(endstation.expect("Adios ").cookie), endstation_cookie); break;
            }
        }
    }
};

// A party that runs the library's Caller as its host would (connect, reader, handshake, message loop)
// on a thread of its own. The test thread starts it with run() and ends it with stop(), which ends
// its link and joins the thread.
struct CallerParty {
    Caller caller;
    std::thread thread;
    std::atomic<bool> negotiated{false};
    std::atomic<bool> ended{false};  // the message loop returned (for an endstation: on "Adios ")

    ~CallerParty() { stop(); }
    void run(int role, const std::string& nickname, const std::string& conference, const std::string& key,
             int port = coordinator_port()) {
        thread = std::thread([=] {
            if (caller.connect(port, "127.0.0.1", role, nickname.c_str(), conference.c_str(), key.c_str()) != 1) return;
            caller.startreadthread();
            if (caller.negotiate(1, role, ROLE_COORDINATOR) != 1) return;
            negotiated = true;
            caller.process();
            ended = true;
        });
    }
    void stop() {
        if (int fd = caller.m_conn->fd()) shutdown(fd, SHUT_RDWR);
        if (thread.joinable()) thread.join();
    }
    // One endstation's whole rendezvous: true once its loop has ended within `limit`.
    bool rendezvous(const std::string& conference, const std::string& key, milliseconds limit = kPartyWait) {
        run(ROLE_ENDSTATION, "e", conference, key);
        bool done = wait_until([&] { return ended.load(); }, limit);
        stop();
        return done;
    }
};

// What the bridge callback was handed, with record_bridge() as the callback: the sender's end of each
// direct link (accepted on a pool port; the library closes it when the callback returns, so a copy is
// kept) and the endstation's (the host's from then on). Any thread may record; tests close them.
struct Bridged {
    int fd;
    bool sender_side;
};
inline std::mutex g_bridged_mutex;
inline std::vector<Bridged> g_bridged;
inline std::atomic<int> g_bridged_senders{0}, g_bridged_endstations{0};  // calls so far

inline void record_bridge(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    bool sender_side = in_pool(ntohs(local.sin_port));
    std::lock_guard<std::mutex> guard(g_bridged_mutex);
    g_bridged.push_back({sender_side ? dup(fd) : fd, sender_side});
    ++(sender_side ? g_bridged_senders : g_bridged_endstations);
}
inline size_t bridged_count() {
    std::lock_guard<std::mutex> guard(g_bridged_mutex);
    return g_bridged.size();
}
inline std::vector<Bridged> take_bridged() {
    std::lock_guard<std::mutex> guard(g_bridged_mutex);
    std::vector<Bridged> taken;
    taken.swap(g_bridged);
    return taken;
}
inline void close_bridged() {
    for (const Bridged& bridged : take_bridged()) close(bridged.fd);
}

// A scratch folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char path[] = "/tmp/zel_test_XXXXXX";
        m_path = mkdtemp(path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Open descriptors of process `pid`.
inline int descriptors_of(pid_t pid) {
    std::error_code error;
    auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// One run of `tqr ARGS` in `cwd`, with `extra_env` ("NAME=value") over this process's environment.
// Standard output and error go to files in `logs`; standard input is the file `input` (a FIFO lets a
// test stream it). Killed if still running when it goes. The test thread owns it.
class TqrProcess {
public:
    TqrProcess(const std::vector<std::string>& args, const std::string& cwd, const std::string& logs,
               const std::vector<std::string>& extra_env = {}, const std::string& input = "/dev/null") {
        static std::atomic<int> serial{0};
        std::string tag = logs + "/" + (args.empty() ? "tqr" : args[0]) + "." + std::to_string(++serial);
        m_out = tag + ".out";
        m_err = tag + ".err";
        // Everything the child needs is made before fork: only async-signal-safe calls after it.
        std::vector<std::string> argv_text{ZEL_TQR_PATH}, env_text;
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string setting = *entry, name = setting.substr(0, setting.find('=') + 1);
            bool replaced = false;
            for (const std::string& extra : extra_env) replaced |= extra.compare(0, name.size(), name) == 0;
            if (!replaced) env_text.push_back(setting);
        }
        env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
        std::vector<char*> argv, envp;
        for (std::string& text : argv_text) argv.push_back(&text[0]);
        for (std::string& text : env_text) envp.push_back(&text[0]);
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            int in = open(input.c_str(), O_RDONLY);
            int out = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
    }
    ~TqrProcess() {
        signal(SIGKILL);
        if (m_pid > 0) reap(true);
    }
    TqrProcess(const TqrProcess&) = delete;
    TqrProcess& operator=(const TqrProcess&) = delete;

    // The exit status (128 + signal when killed by one), or -1 when it did not end within `limit`.
    int wait(milliseconds limit = kPartyWait) {
        wait_until([&] { return reap(false); }, limit);
        return m_reaped ? m_status : -1;
    }
    void signal(int number) {
        if (!reap(false)) kill(m_pid, number);
    }
    int stop_with(int number, milliseconds limit = kPartyWait) {
        signal(number);
        return wait(limit);
    }
    bool running() { return !reap(false); }
    // true once it runs and accepts connections on `port` (a coordinator).
    bool accepting(int port = coordinator_port(), milliseconds limit = kPartyWait) {
        auto answers = [&] {
            int fd = connect_to(port);
            return fd >= 0 && close(fd) == 0;
        };
        return wait_until([&] { return !running() || answers(); }, limit) && running();
    }
    pid_t pid() const { return m_pid; }
    std::string out() const { return read_file(m_out); }
    std::string err() const { return read_file(m_err); }
    const std::string& out_path() const { return m_out; }

private:
    bool reap(bool block) {
        int status = 0;
        if (m_reaped || m_pid <= 0 || waitpid(m_pid, &status, block ? 0 : WNOHANG) != m_pid) return m_reaped;
        m_reaped = true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
    std::string m_out;
    std::string m_err;
};

}  // namespace zel_test

#endif
