// What the fuzz targets need beside the shared harness: a report channel that survives libFuzzer's
// -close_fd_mask (the library writes its own lines on stderr, which run.sh silences), and a check that
// reports a broken invariant there and aborts, so that libFuzzer keeps the input.
#ifndef ZEL_FUZZ_FUZZ_SUPPORT_H
#define ZEL_FUZZ_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

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

}  // namespace zel_fuzz

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

#endif
