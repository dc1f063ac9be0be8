#include "protocol/messages.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

const char* const g_message_names[g_message_count] = {
    "Nominate ",     "Approve ",  "Listen ",         "Listening ",    "Port_In_Use ",
    "Connect ",      "Connected ", "Failed ",        "Success ",      "Endstation Happy ",
    "Sender Happy ", "Adios ",    "RejectedSender ", "notused ",
};

bool Cookie::parse(const char* text, Cookie* out) {
    // The form this library writes ("0x" and up to 16 hex digits) is read by hand, every message of
    // a rendezvous carries one; anything else is read as the scanner reads a pointer.
    if (text[0] == '0' && text[1] == 'x') {
        uintptr_t read = 0;
        int digits = 0;
        for (const char* at = text + 2; digits <= 16; ++at, ++digits) {
            char c = *at;
            int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (nibble < 0) break;
            read = read << 4 | static_cast<uintptr_t>(nibble);
        }
        if (digits >= 1 && digits <= 16) {
            *out = Cookie::of(reinterpret_cast<void*>(read));
            return true;
        }
    }
    void* value = nullptr;
    if (sscanf(text, "%p", &value) != 1) return false;
    *out = Cookie::of(value);
    return true;
}

size_t Cookie::write(char* out) const {
    // As "%p" writes it, without the formatter: "(nil)" for none, else "0x" and the lowercase hex
    // digits without leading zeros.
    if (m_value == 0) {
        memcpy(out, "(nil)", 5);
        return 5;
    }
    char digits[kTextBytes];
    char* at = digits + sizeof digits;
    for (uintptr_t rest = m_value; rest != 0; rest >>= 4) *--at = "0123456789abcdef"[rest & 0xF];
    *--at = 'x';
    *--at = '0';
    const size_t length = static_cast<size_t>(digits + sizeof digits - at);
    memcpy(out, at, length);
    return length;
}

std::string Cookie::text() const {
    char text[kTextBytes];
    return std::string(text, write(text));
}

namespace {

// The names' lengths, so that a decode measures none of them.
struct NameLengths {
    size_t of[g_message_count];
    NameLengths() {
        for (int i = 0; i < g_message_count; ++i) of[i] = strlen(g_message_names[i]);
    }
};

const NameLengths& name_lengths() {
    static const NameLengths lengths;
    return lengths;
}

}  // namespace

bool decode_message(const std::string& text, DecodedMessage* out) {
    *out = DecodedMessage();
    const NameLengths& lengths = name_lengths();
    for (int i = 0; i < g_message_count; ++i) {
        size_t length = lengths.of[i];
        if (text.size() < length || text[0] != g_message_names[i][0] || memcmp(text.data(), g_message_names[i], length) != 0)
            continue;
        out->type = i;
        // The cookie is read from at most 999 characters after the name: a copy cut there only when
        // the text goes on beyond them.
        out->has_cookie = text.size() - length <= 999 ? Cookie::parse(text.c_str() + length, &out->cookie)
                                                      : Cookie::parse(text.substr(length, 999).c_str(), &out->cookie);
        size_t blank = text.find(' ', length);
        if (blank != std::string::npos) {
            out->has_info = true;
            out->info.assign(text, blank + 1, std::string::npos);
        }
        return true;
    }
    return false;
}

bool compose_message(int type, Cookie cookie, const char* tail, std::string* out) {
    // Written into `out` as it is: a caller that composes again and again keeps one buffer.
    char cookie_text[Cookie::kTextBytes];
    const size_t cookie_length = cookie.write(cookie_text);
    const size_t name_length = name_lengths().of[type];
    const size_t tail_length = tail ? strlen(tail) : 0;
    if (name_length + cookie_length + 1 + tail_length > kLongestMessage) return false;
    out->resize(name_length + cookie_length + 1 + tail_length);
    char* at = &(*out)[0];
    memcpy(at, g_message_names[type], name_length);
    memcpy(at + name_length, cookie_text, cookie_length);
    at[name_length + cookie_length] = ' ';
    if (tail_length > 0) memcpy(at + name_length + cookie_length + 1, tail, tail_length);
    return true;
}

int port_of(const std::string& info) {
    if (info.empty() || info.size() > 5) return 0;
    int port = 0;
    for (char c : info) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}
