#include "common/zel_common.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

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
std::mutex& line_mutex() {
    static std::mutex m;
    return m;
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

int write_line(FILE* stream, const char* format, va_list args) {
    char small[512];
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(small, sizeof small, format, args);
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
    std::string line = zel::printable(text, static_cast<size_t>(n), true);
    std::lock_guard<std::mutex> guard(line_mutex());
    size_t written = fwrite(line.data(), 1, line.size(), stream);
    fflush(stream);
    return static_cast<int>(written);
}

}  // namespace

std::string zel::printable(const char* text, size_t size, bool keep_final_newline) {
    size_t body = keep_final_newline && size > 0 && text[size - 1] == '\n' ? size - 1 : size;
    bool clean = true;
    for (size_t i = 0; i < body && clean; ++i) clean = !is_control(static_cast<unsigned char>(text[i]));
    if (clean) return std::string(text, size);
    std::string out;
    out.reserve(size + 16);
    for (size_t i = 0; i < body; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!is_control(c)) {
            out += static_cast<char>(c);
            continue;
        }
        static const char kHex[] = "0123456789abcdef";
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
    if (body < size) out += '\n';
    return out;
}

int zel_inform(FILE* stream, const char* format, ...) {
    if (g_quiet.load(std::memory_order_relaxed)) return 0;
    va_list args;
    va_start(args, format);
    int n = write_line(stream, format, args);
    va_end(args);
    return n;
}

int zel_error(const char* format, ...) {
    if (g_quiet.load(std::memory_order_relaxed)) return 0;
    va_list args;
    va_start(args, format);
    int n = write_line(stderr, format, args);
    va_end(args);
    return n;
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
