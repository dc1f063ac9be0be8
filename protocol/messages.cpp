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

std::string Cookie::text() const {
    char text[32];
    snprintf(text, sizeof text, "%p", reinterpret_cast<void*>(m_value));
    return text;
}

bool decode_message(const std::string& text, DecodedMessage* out) {
    *out = DecodedMessage();
    for (int i = 0; i < g_message_count; ++i) {
        size_t length = strlen(g_message_names[i]);
        if (text.size() < length || text.compare(0, length, g_message_names[i]) != 0) continue;
        out->type = i;
        // The cookie is read from at most 999 characters after the name.
        out->has_cookie = Cookie::parse(text.substr(length, 999).c_str(), &out->cookie);
        size_t blank = text.find(' ', length);
        if (blank != std::string::npos) {
            out->has_info = true;
            out->info = text.substr(blank + 1);
        }
        return true;
    }
    return false;
}

bool compose_message(int type, Cookie cookie, const char* tail, std::string* out) {
    std::string text = g_message_names[type];
    text += cookie.text();
    text += ' ';
    if (tail) text += tail;
    if (text.size() > kLongestMessage) return false;
    *out = std::move(text);
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
