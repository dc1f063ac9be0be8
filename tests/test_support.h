// Helpers shared by the tests: free ports of the test's own range, descriptor counts, captured stderr
// and log, bounded waits, reading what went out on a socket, and a Caller wired to a local socket pair.
#ifndef ZEL_TESTS_TEST_SUPPORT_H
#define ZEL_TESTS_TEST_SUPPORT_H

// Brings the standard and POSIX headers that most tests use, so that a test includes only what is its own.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/phrase.h"

namespace zel_test {

// The n-th port of this test executable's own range (60 ports from ZEL_TEST_PORT_BASE; the build
// gives every executable its own). Outside ctest a fixed base is used.
inline int port(int n) {
    const char* base = getenv("ZEL_TEST_PORT_BASE");
    return (base ? atoi(base) : 25000) + n;
}

// The coordinator port and the top of the pool for this executable.
inline int coordinator_port() {
    const char* base = getenv("TQR_COORDINATOR_PORT");
    return base ? atoi(base) : 7200;
}

// Entries of a /proc folder.
inline int count_entries(const char* path) {
    int count = 0;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

// Open descriptors of this process (less the directory's own while it is counted).
inline int open_fds() { return count_entries("/proc/self/fd") - 1; }

// Threads of this process.
inline int thread_count() { return count_entries("/proc/self/task"); }

inline bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Polls `done` every millisecond for at most `limit`; true when it became true.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A message as it goes on the wire: its text and the NUL that ends it.
inline std::string nul(const std::string& text) { return text + std::string(1, '\0'); }

// How often `piece` occurs in `text`.
inline size_t count(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Bytes from `fd` up to and including the first NUL; what came before `ms` of silence otherwise.
inline std::string read_frame(int fd, int ms = 5000) {
    std::string frame;
    char byte;
    pollfd ready{fd, POLLIN, 0};
    while (poll(&ready, 1, ms) > 0 && read(fd, &byte, 1) == 1) {
        frame += byte;
        if (byte == '\0') break;
    }
    return frame;
}

// The next NUL-terminated text on `fd` without its NUL, or "<none>" when none is complete in time.
inline std::string next_text(int fd, int ms = 5000) {
    std::string frame = read_frame(fd, ms);
    if (frame.empty() || frame.back() != '\0') return "<none>";
    frame.pop_back();
    return frame;
}

// Everything queued on `fd` now, without waiting.
inline std::string drain(int fd) {
    std::string out;
    char chunk[2048];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) out.append(chunk, static_cast<size_t>(n));
    return out;
}

// Bytes queued on `fd` and not read yet.
inline int unread(int fd) {
    int bytes = -1;
    return ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : -1;
}

// Runs `command` through the shell: its exit status (-1 when it did not exit) and stdout with stderr.
struct RunResult {
    int status = -1;
    std::string output;
};
inline RunResult run(const std::string& command) {
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

// exit() from inside the library would end a test executable with status 0, which reads as a pass.
// A file that calls this once (at namespace scope) turns any exit before its last case into a failure.
inline bool fail_on_early_exit() {
    static std::atomic<bool> done{false};
    struct Guard : ::testing::Environment {
        void SetUp() override {
            std::atexit([] {
                if (done) return;
                fputs("the process ended inside a test case\n", stdout);
                fflush(stdout);
                _exit(1);
            });
        }
        void TearDown() override { done = true; }
    };
    ::testing::AddGlobalTestEnvironment(new Guard);
    return true;
}

// Captures what this process writes on stderr (descriptor 2) while it lives.
class StderrCapture {
public:
    StderrCapture() {
        fflush(stderr);
        m_saved = dup(2);
        char path[] = "/tmp/zel_stderr_XXXXXX";
        m_file = mkstemp(path);
        unlink(path);
        dup2(m_file, 2);
    }
    ~StderrCapture() { restore(); }
    // Everything captured so far; the capture goes on.
    std::string text() {
        fflush(stderr);
        return read_file("/proc/self/fd/" + std::to_string(m_file));
    }
    void restore() {
        if (m_saved < 0) return;
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        close(m_file);
        m_saved = -1;
    }

private:
    int m_saved = -1;
    int m_file = -1;
};

// Opens the library's log stream (g_logmsg) on a temporary file while it lives.
class LogCapture {
public:
    LogCapture() {
        char path[] = "/tmp/zel_log_XXXXXX";
        close(mkstemp(path));
        m_path = path;
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        g_logmsg.open(m_path);
    }
    ~LogCapture() {
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        g_logmsg.close();
        unlink(m_path.c_str());
    }
    // Everything logged so far, whole lines only.
    std::string text() {
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        g_logmsg.flush();
        return read_file(m_path);
    }

private:
    std::string m_path;
};

// A Caller on one end of a local stream socket pair; the test speaks and listens on `peer`. A local
// pair queues a written piece at the other end before the write returns, so a case can hand the
// Caller exactly the pieces it chooses.
struct WiredCaller {
    Caller* caller = nullptr;
    int peer = -1;

    explicit WiredCaller(bool start_reader = true) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return;
        peer = fds[1];
        caller = new Caller(fds[0]);
        if (start_reader) caller->startreadthread();
    }
    ~WiredCaller() {
        close_peer();
        delete caller;  // stops a reader that still runs
    }
    WiredCaller(const WiredCaller&) = delete;
    WiredCaller& operator=(const WiredCaller&) = delete;

    void close_peer() {
        if (peer >= 0) close(peer);
        peer = -1;
    }
    bool say(const std::string& bytes) {
        return send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // The next message the Caller wrote, without its NUL ("<none>" when none came within `ms`).
    std::string next(int ms = 5000) { return next_text(peer, ms); }
    // Everything the Caller wrote so far (a write is complete when its send returns).
    std::string written() { return drain(peer); }
    // True once the reader has taken every byte said so far out of the socket.
    bool consumed() { return unread(caller->m_conn->fd()) == 0; }
    // Ends the stream, waits for the reader and returns what it queued and nobody took, in order.
    std::vector<std::string> delivered() {
        close_peer();
        std::vector<std::string> out;
        if (!wait_until([&] { return caller->reader_done(); })) return {"<reader still running>"};
        while (caller->has_message()) out.push_back(caller->pop_message());
        return out;
    }
};

}  // namespace zel_test

#endif
