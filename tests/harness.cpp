#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "protocol/host.h"
#include "protocol/phrase.h"

extern char** environ;

namespace harness {

namespace {

int setting(const char* name, int fallback) {
    const char* value = getenv(name);
    return value ? atoi(value) : fallback;
}

int count_entries(const std::string& path) {
    int count = 0;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

std::string proc(pid_t pid) { return pid == 0 ? "/proc/self" : "/proc/" + std::to_string(pid); }

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

sockaddr* generic(sockaddr_in* address) { return reinterpret_cast<sockaddr*>(address); }

}  // namespace

// Read once: the environment is the run's, and the benchmark asks for every bridged link.
int coordinator_port() {
    static const int port = setting("TQR_COORDINATOR_PORT", 7200);
    return port;
}
int pool_top() {
    static const int top = setting("TQR_TOP_PORT", coordinator_port() + 20);
    return top;
}
bool in_pool(int port) { return port > coordinator_port() && port <= pool_top(); }
int free_port(int n) { return setting("ZEL_TEST_PORT_BASE", 25000) + n; }

int descriptors(pid_t pid) { return count_entries(proc(pid) + "/fd") - (pid == 0 ? 1 : 0); }
int threads(pid_t pid) {
    // A joined thread may still be listed for a moment, exiting or dead: it is not counted. Exiting
    // (PF_EXITING in the flags, set before the kernel tells the joiner) is what a join waited for.
    constexpr unsigned long kExiting = 0x4;
    int count = 0;
    const std::string tasks = proc(pid) + "/task";
    if (DIR* dir = opendir(tasks.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream stat(tasks + "/" + entry->d_name + "/stat");
            std::string line;
            std::getline(stat, line);
            size_t end = line.rfind(')');
            if (end == std::string::npos) continue;
            std::istringstream fields(line.substr(end + 1));
            std::string state, skipped;
            unsigned long flags = 0;
            fields >> state;
            for (int i = 0; i < 5; ++i) fields >> skipped;  // ppid, pgrp, session, tty_nr, tpgid
            fields >> flags;
            if (fields && state != "Z" && state != "X" && (flags & kExiting) == 0) ++count;
        }
        closedir(dir);
    }
    return count;
}

long resident_kib(pid_t pid) {
    std::ifstream status(proc(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
    return -1;
}

int connect_to(int port, bool small_window, const char* from) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1, smallest = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (small_window) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
    if (from != nullptr) {
        sockaddr_in source = loopback(0);
        inet_pton(AF_INET, from, &source.sin_addr);
        if (bind(fd, generic(&source), sizeof source) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in address = loopback(port);
    if (connect(fd, generic(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

int listen_on(int port, int backlog) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(port);
    if (bind(fd, generic(&address), sizeof address) == 0 && listen(fd, backlog) == 0) return fd;
    close(fd);
    return -1;
}

// ---- EventLog ------------------------------------------------------------------------------------

EventLog::EventLog(bool keep) : m_keep(keep) { zel::set_party_observer(record, this); }

EventLog::~EventLog() { zel::set_party_observer(nullptr, nullptr); }

void EventLog::record(const zel::PartyEvent& event, void* self) {
    EventLog* log = static_cast<EventLog*>(self);
    std::lock_guard<std::mutex> lock(log->m_mutex);
    if (log->m_keep) log->m_events.push_back(event);
    ++log->m_counts[{event.kind, ""}];
    if (*event.what != '\0') ++log->m_counts[{event.kind, event.what}];
    log->m_changed.notify_all();
}

size_t EventLog::count(zel::PartyEventKind kind, const char* what) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_counts.find({kind, what == nullptr ? "" : what});
    return found == m_counts.end() ? 0 : found->second;
}

std::vector<zel::PartyEvent> EventLog::events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

bool EventLog::wait_for(zel::PartyEventKind kind, size_t at_least, const char* what, milliseconds limit) {
    return wait_until([&] { return count(kind, what) >= at_least; }, limit);
}

bool EventLog::wait_until(const std::function<bool()>& done, milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        lock.unlock();
        bool met = done();
        lock.lock();
        if (met) return true;
        if (m_changed.wait_until(lock, until) == std::cv_status::timeout) {
            lock.unlock();
            return done();
        }
    }
}

// ---- The bridge ----------------------------------------------------------------------------------

namespace {

std::mutex g_bridged_mutex;
std::condition_variable g_bridged_changed;
std::vector<Bridged> g_bridged;
size_t g_bridged_total = 0;

}  // namespace

void record_bridge(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, generic(&local), &length);
    bool sender_side = in_pool(ntohs(local.sin_port));
    std::lock_guard<std::mutex> lock(g_bridged_mutex);
    g_bridged.push_back({sender_side ? dup(fd) : fd, sender_side});
    ++g_bridged_total;
    g_bridged_changed.notify_all();
}

bool wait_bridged(size_t count, milliseconds limit) {
    std::unique_lock<std::mutex> lock(g_bridged_mutex);
    return g_bridged_changed.wait_for(lock, limit, [&] { return g_bridged_total >= count; });
}

std::vector<Bridged> take_bridged() {
    std::lock_guard<std::mutex> lock(g_bridged_mutex);
    std::vector<Bridged> taken;
    taken.swap(g_bridged);
    g_bridged_total = 0;
    return taken;
}

void close_bridged() {
    for (const Bridged& bridged : take_bridged()) close(bridged.fd);
}

// ---- RawParty ------------------------------------------------------------------------------------

bool RawParty::connect(int port, bool small_window, const char* from) {
    adopt(connect_to(port, small_window, from));
    return m_fd >= 0;
}

void RawParty::adopt(int fd) {
    hang_up();
    m_fd = fd;
    m_ended = false;
    m_pending.clear();
}

bool RawParty::join(int role, const std::string& conference, const std::string& nickname, size_t lines,
                    bool small_window, const char* from) {
    if (!connect(coordinator_port(), small_window, from) || hear().compare(0, 16, "TQR Coordinator ") != 0) return false;
    const std::vector<std::string> script =
        role == ROLE_SENDER ? std::vector<std::string>{"TQR Caller is Sender", "TQR Sender 1.2", "From Sender join " + conference}
                            : std::vector<std::string>{"TQR Caller is Endstation", "TQR Endstation 1.2",
                                                       "From Endstation name " + nickname, "From Endstation join " + conference};
    for (size_t i = 0; i < script.size() && i < lines; ++i)
        if (!say(script[i])) return false;
    return true;
}

bool RawParty::say(const std::string& text) { return say_raw(text + std::string(1, '\0')); }

bool RawParty::say_raw(const std::string& bytes) {
    return m_fd >= 0 && send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::string RawParty::hear(milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    size_t nul;
    while ((nul = m_pending.find('\0')) == std::string::npos)
        if (!read_some(until)) return std::string();
    std::string message = m_pending.substr(0, nul);
    m_pending.erase(0, nul + 1);
    return message;
}

DecodedMessage RawParty::expect(const char* name, milliseconds limit) {
    DecodedMessage message;
    std::string text = hear(limit);
    if (text.compare(0, strlen(name), name) != 0 || !decode_message(text, &message)) message.type = -1;
    return message;
}

bool RawParty::wait_end(milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (read_some(until)) m_pending.clear();
    return m_ended;
}

std::string RawParty::hear_rest(milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (read_some(until)) {
    }
    return std::move(m_pending);
}

void RawParty::hang_up() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
}

bool RawParty::read_some(std::chrono::steady_clock::time_point until) {
    auto left = std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now());
    pollfd ready{m_fd, POLLIN, 0};
    if (m_ended || m_fd < 0 || left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[65536];
    ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        m_ended = true;
        return false;
    }
    m_pending.append(chunk, static_cast<size_t>(n));
    return true;
}

int HandRendezvous::play(Step first, Step last) {
    for (int step = first; step <= last; ++step) {
        DecodedMessage heard;
        bool ok = true;
        switch (step) {
        case Nominate:
            heard = sender.expect("Nominate ");
            endstation_cookie = heard.cookie.text();
            ok = heard.type == MSG_NOMINATE && heard.has_cookie;
            break;
        case Approve: ok = sender.say("Approve " + endstation_cookie + " "); break;
        case Listen:
            heard = sender.expect("Listen ");
            port = heard.info;
            ok = heard.type == MSG_LISTEN && heard.cookie.text() == endstation_cookie && in_pool(port_of(port));
            break;
        case Listening: ok = sender.say("Listening " + endstation_cookie + " " + port); break;
        case Connect:
            heard = endstation.expect("Connect ");
            sender_cookie = heard.cookie.text();
            ok = heard.type == MSG_CONNECT && heard.info == port;
            break;
        case Connected: ok = endstation.say("Connected " + sender_cookie + " " + port); break;
        case EndstationHappy:
            heard = sender.expect("Endstation Happy ");
            ok = heard.type == MSG_ENDSTATION_HAPPY && heard.cookie.text() == endstation_cookie && heard.info == port;
            break;
        case SenderHappy: ok = sender.say("Sender Happy " + endstation_cookie + " " + port); break;
        case Adios:
            heard = endstation.expect("Adios ");
            ok = heard.type == MSG_ADIOS && heard.cookie.text() == endstation_cookie;
            break;
        }
        if (!ok) return step;
    }
    return -1;
}

// ---- CallerParty ---------------------------------------------------------------------------------

void CallerParty::run(int role, const std::string& nickname, const std::string& conference, const std::string& key) {
    m_thread = std::thread([=] {
        if (caller.connect(coordinator_port(), "127.0.0.1", role, nickname.c_str(), conference.c_str(), key.c_str()) == 1) {
            caller.startreadthread();
            if (caller.negotiate(1, role, ROLE_COORDINATOR) == 1) caller.process();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_changed.notify_all();
    });
}

bool CallerParty::wait_ended(milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_ended; });
}

void CallerParty::stop() {
    caller.m_conn->shutdown();
    if (m_thread.joinable()) m_thread.join();
}

bool rendezvous(const std::string& conference, const std::string& key, milliseconds limit) {
    CallerParty endstation;
    endstation.run(ROLE_ENDSTATION, "e", conference, key);
    bool done = endstation.wait_ended(limit) && zel::process_result(endstation.caller) == zel::ProcessEnd::ADIOS;
    endstation.stop();
    return done;
}

bool rendezvous_here(const std::string& conference, const std::string& key) {
    Caller endstation;
    if (endstation.connect(coordinator_port(), "127.0.0.1", ROLE_ENDSTATION, "e", conference.c_str(), key.c_str()) != 1)
        return false;
    endstation.startreadthread();
    if (endstation.negotiate(1, ROLE_ENDSTATION, ROLE_COORDINATOR) != 1) return false;
    endstation.process();
    return zel::process_result(endstation) == zel::ProcessEnd::ADIOS;
}

// ---- TqrProcess ----------------------------------------------------------------------------------

TqrProcess::TqrProcess(const std::vector<std::string>& args, const std::string& cwd,
                       const std::vector<std::string>& env, const std::string& input) {
    // Everything the child needs is made before fork: only async-signal-safe calls after it.
    std::vector<std::string> argv_text, env_text;
    if (args.empty() || args[0].empty() || args[0][0] != '/') argv_text.push_back(ZEL_TQR_PATH);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string set = *entry, name = set.substr(0, set.find('=') + 1);
        bool replaced = false;
        for (const std::string& extra : env) replaced |= extra.compare(0, name.size(), name) == 0;
        if (!replaced) env_text.push_back(set);
    }
    env_text.insert(env_text.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (std::string& text : argv_text) argv.push_back(&text[0]);
    for (std::string& text : env_text) envp.push_back(&text[0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    m_pid = fork();
    if (m_pid == 0) {
        int in = open(input.c_str(), O_RDONLY);
        if (in < 0 || chdir(cwd.c_str()) != 0) _exit(126);
        // The tool honours an interrupt or a hang-up that it was started with ignored (a test run in
        // the background of a script, or under nohup): a test's signals are to reach it.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGHUP, SIG_DFL);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
    m_collector = std::thread([this, out, err] { collect(out[0], err[0]); });
}

TqrProcess::~TqrProcess() {
    signal(SIGKILL);
    wait(milliseconds(60000));
    if (m_collector.joinable()) m_collector.join();
    if (m_pidfd >= 0) close(m_pidfd);
}

void TqrProcess::collect(int out_fd, int err_fd) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    int open_streams = 2;
    while (open_streams > 0 && poll(fds, 2, -1) >= 0) {
        for (pollfd& stream : fds) {
            if (stream.fd < 0 || stream.revents == 0) continue;
            char chunk[65536];
            ssize_t n = read(stream.fd, chunk, sizeof chunk);
            std::lock_guard<std::mutex> lock(m_mutex);
            if (n <= 0) {
                close(stream.fd);
                stream.fd = -1;
                --open_streams;
            } else {
                (stream.fd == out_fd ? m_out : m_err).append(chunk, static_cast<size_t>(n));
            }
            m_changed.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_streams_ended = true;
    m_changed.notify_all();
}

int TqrProcess::wait(milliseconds limit) {
    if (m_pid <= 0) return -1;
    if (m_status >= 0) return m_status;
    pollfd ended{m_pidfd, POLLIN, 0};
    if (poll(&ended, 1, static_cast<int>(limit.count())) <= 0) return -1;
    int status = 0;
    if (waitpid(m_pid, &status, 0) != m_pid) return -1;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // What it wrote last is read once its streams have ended.
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, limit, [&] { return m_streams_ended; });
    return m_status;
}

TqrProcess* TqrProcess::first_to_end(const std::vector<TqrProcess*>& processes, milliseconds limit) {
    std::vector<pollfd> ended;
    for (TqrProcess* process : processes) ended.push_back({process->m_pidfd, POLLIN, 0});
    if (poll(ended.data(), ended.size(), static_cast<int>(limit.count())) <= 0) return nullptr;
    for (size_t i = 0; i < ended.size(); ++i)
        if (ended[i].revents != 0) return processes[i];
    return nullptr;
}

void TqrProcess::signal(int number) {
    if (running()) kill(m_pid, number);
}

bool TqrProcess::running() {
    if (m_pid <= 0 || m_status >= 0) return false;
    return wait(milliseconds(0)) < 0;
}

bool TqrProcess::wait_for(const std::string* stream, const std::string& text, milliseconds limit, size_t times) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto held = [&] { return occurrences(*stream, text) >= times; };
    return m_changed.wait_for(lock, limit, [&] { return held() || m_streams_ended; }) && held();
}

bool TqrProcess::wait_for_err(const std::string& text, milliseconds limit, size_t times) {
    return wait_for(&m_err, text, limit, times);
}
bool TqrProcess::wait_for_out(const std::string& text, milliseconds limit) { return wait_for(&m_out, text, limit); }

std::string TqrProcess::out() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_out;
}

std::string TqrProcess::err() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_err;
}

// ---- Relay ---------------------------------------------------------------------------------------

namespace {

bool send_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool readable(int fd, int ms) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, ms) > 0;
}

// One key frame: up to and with its NUL.
std::string key_frame(int fd) {
    std::string bytes;
    for (char byte = 1; byte != '\0' && bytes.size() < 1000 && recv(fd, &byte, 1, 0) == 1;) bytes += byte;
    return bytes;
}

}  // namespace

Relay::Relay(int front_port, int direct_port, DirectLink direct, const char* from)
    : m_front_port(front_port), m_direct_port(direct_port), m_direct(std::move(direct)), m_from(from) {}

Relay::~Relay() { join(); }

bool Relay::start() {
    m_front = listen_on(m_front_port);
    m_direct_listen = listen_on(m_direct_port);
    if (m_front < 0 || m_direct_listen < 0) return false;
    m_thread = std::thread([this] { run(); });
    return true;
}

void Relay::join() {
    if (m_thread.joinable()) m_thread.join();
    for (int* fd : {&m_front, &m_direct_listen}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void Relay::pump(int from, int to, std::string* seen) {
    char buffer[65536];
    ssize_t n;
    while ((n = recv(from, buffer, sizeof buffer, 0)) > 0) {
        if (seen) seen->append(buffer, static_cast<size_t>(n));
        if (!send_all(to, buffer, static_cast<size_t>(n))) break;
    }
    shutdown(to, SHUT_WR);
}

void Relay::run() {
    int endstation = readable(m_front, static_cast<int>(kStep.count())) ? accept4(m_front, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    int coordinator = endstation < 0 ? -1 : connect_to(coordinator_port(), false, m_from);
    if (coordinator >= 0) {
        std::thread direct([this] { link(); });
        std::thread up([&] { pass_frames(endstation, coordinator, false); });
        pass_frames(coordinator, endstation, true);
        up.join();
        m_front_done = true;
        direct.join();
    }
    for (int fd : {endstation, coordinator})
        if (fd >= 0) close(fd);
}

void Relay::pass_frames(int from, int to, bool toward_endstation) {
    std::string pending;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(from, buffer, sizeof buffer, 0)) > 0) {
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t nul; (nul = pending.find('\0')) != std::string::npos;) {
            std::string frame = pending.substr(0, nul);
            pending.erase(0, nul + 1);
            size_t blank = frame.rfind(' ');
            if (toward_endstation && frame.compare(0, 8, "Connect ") == 0) {
                m_sender_port = atoi(frame.c_str() + blank + 1);
                frame = frame.substr(0, blank + 1) + std::to_string(m_direct_port);
            } else if (!toward_endstation && frame.compare(0, 10, "Connected ") == 0) {
                frame = frame.substr(0, blank + 1) + std::to_string(m_sender_port.load());
            }
            if (!send_all(to, frame.c_str(), frame.size() + 1)) from = -1;
        }
        if (from < 0) break;
    }
    shutdown(to, SHUT_RDWR);
    if (from >= 0) shutdown(from, SHUT_RDWR);
}

void Relay::link() {
    while (!readable(m_direct_listen, 100))
        if (m_front_done) return;
    int endstation = accept4(m_direct_listen, nullptr, nullptr, SOCK_CLOEXEC);
    int sender = connect_to(m_sender_port, false, m_from);
    if (endstation >= 0 && sender >= 0) {
        m_linked = true;
        timeval limit{kStep.count() / 1000, 0};
        for (int fd : {endstation, sender}) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string sender_frame = key_frame(sender), endstation_frame = key_frame(endstation);
        // The sender shows the even characters, the endstation the odd ones: together, all of them.
        for (size_t i = 0; i + 1 < std::min(sender_frame.size(), endstation_frame.size()); ++i)
            m_learned_key.push_back(i % 2 == 0 ? sender_frame[i] : endstation_frame[i]);
        send_all(endstation, sender_frame.data(), sender_frame.size());
        send_all(sender, endstation_frame.data(), endstation_frame.size());
        m_direct(endstation, sender);
    }
    for (int fd : {endstation, sender})
        if (fd >= 0) close(fd);
}

// ---- Files ---------------------------------------------------------------------------------------

TempDir::TempDir() {
    char path[] = "/tmp/zel_test_XXXXXX";
    m_path = mkdtemp(path);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

int ToolCoordinator::stop() {
    signal(SIGTERM);
    return wait(kToolStep);
}

std::vector<std::string> ToolCoordinator::lines(const std::string& event) {
    std::vector<std::string> found;
    std::string all = err();
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1)
        if (all.compare(at, event.size() + 1, event + " ") == 0) found.push_back(all.substr(at, end - at));
    return found;
}

RunResult run(const std::string& command) {
    RunResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
}

std::string random_bytes(size_t size, unsigned start) {
    std::mt19937 generator(start);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out);
}

}  // namespace harness
