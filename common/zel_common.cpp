#include "common/zel_common.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

std::atomic<int> g_quiet{0};

// Guards the defaults; a leaf lock.
std::mutex& defaults_mutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, std::string>& defaults() {
    static std::map<std::string, std::string> d;
    return d;
}

// Guards writes of whole lines to any stream; a leaf lock.
std::mutex& inform_mutex() {
    static std::mutex m;
    return m;
}

}  // namespace

int zel_inform(FILE* stream, const char* format, ...) {
    if (g_quiet.load(std::memory_order_relaxed)) return 0;
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return n;
    }
    std::string large;
    const char* text = small;
    if (static_cast<size_t>(n) >= sizeof small) {
        large.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&large[0], large.size(), format, again);
        text = large.data();
    }
    va_end(again);
    std::lock_guard<std::mutex> guard(inform_mutex());
    size_t written = fwrite(text, 1, static_cast<size_t>(n), stream);
    fflush(stream);
    return static_cast<int>(written);
}

int zel_env_set_default(const char* name, const char* value) {
    std::lock_guard<std::mutex> guard(defaults_mutex());
    defaults()[name] = value ? value : "";
    return 0;
}

int zel_env_get_int(const char* name) {
    if (const char* set = getenv(name)) return atoi(set);
    std::lock_guard<std::mutex> guard(defaults_mutex());
    auto it = defaults().find(name);
    return it == defaults().end() ? 0 : atoi(it->second.c_str());
}

void zel_set_quiet(int quiet) { g_quiet.store(quiet != 0, std::memory_order_relaxed); }

int zel_quiet() { return g_quiet.load(std::memory_order_relaxed); }
