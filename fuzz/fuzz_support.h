// Helpers shared by the fuzz targets: a report channel that survives libFuzzer's -close_fd_mask (the
// library writes its own lines on stderr, which run.sh silences), and bounded waits.
#ifndef ZEL_FUZZ_FUZZ_SUPPORT_H
#define ZEL_FUZZ_FUZZ_SUPPORT_H

#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace zel_fuzz {

// A copy of stderr taken before libFuzzer may discard it; set by init_report().
inline int& report_fd() {
    static int fd = 2;
    return fd;
}

// Call from LLVMFuzzerInitialize, which runs before libFuzzer applies -close_fd_mask.
inline void init_report() {
    int fd = dup(2);
    if (fd >= 0) report_fd() = fd;
}

inline void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void report(const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0) return;
    size_t length = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
    ssize_t ignored = write(report_fd(), line, length);
    (void)ignored;
}

// Reports a broken invariant and aborts, which libFuzzer records as a crash with its input.
#define ZEL_FUZZ_CHECK(condition, ...)                                                    \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            zel_fuzz::report("%s:%d: check failed: %s: ", __FILE__, __LINE__, #condition); \
            zel_fuzz::report(__VA_ARGS__);                                                \
            zel_fuzz::report("\n");                                                       \
            abort();                                                                      \
        }                                                                                 \
    } while (0)

// Polls `done` every 100 microseconds for at most `limit`; true when it became true.
inline bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

}  // namespace zel_fuzz

#endif
