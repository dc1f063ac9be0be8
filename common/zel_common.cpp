#include "common/zel_common.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
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

// Valid code points that are written as the bytes of their UTF-8 form all the same: the C1 controls,
// and the format characters that reorder a line's text or break it (bidirectional embeddings,
// overrides, isolates and marks; the line and paragraph separators).
bool hidden(uint32_t point) {
    return (point >= 0x80 && point <= 0x9F) || point == 0x061C || point == 0x200E || point == 0x200F ||
           (point >= 0x2028 && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

// The length of the shortest-form UTF-8 sequence of a scalar value at `at` (of `left` bytes), with its
// code point; 0 when none starts there (a stray continuation, an overlong form, a surrogate, a value
// beyond U+10FFFF, a sequence cut short).
size_t utf8_length(const unsigned char* at, size_t left, uint32_t* point) {
    unsigned char lead = at[0];
    size_t length = 0;
    uint32_t value = 0, least = 0;
    if (lead < 0x80) {
        *point = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (left < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((at[i] & 0xC0) != 0x80) return 0;
        value = value << 6 | (at[i] & 0x3Fu);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *point = value;
    return length;
}

// Plain printable ASCII other than the backslash: the bytes that are always themselves.
bool plain(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '\\'; }

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
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    // Most lines are plain ASCII: one pass that copies nothing until a byte asks for more.
    size_t at = 0;
    while (at < body && plain(bytes[at])) ++at;
    if (at == body) return std::string(text, size);
    std::string out(text, at);
    out.reserve(size + 16);
    static const char kHex[] = "0123456789abcdef";
    while (at < body) {
        uint32_t point = 0;
        size_t length = utf8_length(bytes + at, body - at, &point);
        if (length == 1 && plain(bytes[at])) {
            out += text[at++];
        } else if (length == 1 && bytes[at] == '\\') {
            out += "\\\\";
            ++at;
        } else if (length > 1 && !hidden(point)) {
            out.append(text + at, length);
            at += length;
        } else {
            // A control, a hidden code point (each byte of its form) or a byte of no valid sequence.
            for (size_t end = at + (length > 0 ? length : 1); at < end; ++at) {
                out += "\\x";
                out += kHex[bytes[at] >> 4];
                out += kHex[bytes[at] & 0xF];
            }
        }
    }
    if (body < size) out += '\n';
    return out;
}

int(zel_inform)(FILE* stream, const char* format, ...) {
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

void zel::set_quiet(int quiet) { g_quiet.store(quiet != 0, std::memory_order_relaxed); }

int zel_quiet() { return g_quiet.load(std::memory_order_relaxed); }
