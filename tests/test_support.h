// Helpers shared by the tests: free ports of the test's own range, descriptor counts, captured stderr,
// bounded waits.
#ifndef ZEL_TESTS_TEST_SUPPORT_H
#define ZEL_TESTS_TEST_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

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

// Open descriptors of this process.
inline int open_fds() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
        --count;  // the directory's own descriptor
    }
    return count;
}

// Threads of this process.
inline int thread_count() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

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
        std::string out;
        char chunk[4096];
        off_t at = 0;
        ssize_t n;
        while ((n = pread(m_file, chunk, sizeof chunk, at)) > 0) {
            out.append(chunk, static_cast<size_t>(n));
            at += n;
        }
        return out;
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

}  // namespace zel_test

#endif
