#include "protocol/messages.h"

#include <cstdio>
#include <cstring>

const char* const g_message_names[g_message_count] = {
    "Nominate ",     "Approve ",  "Listen ",         "Listening ",    "Port_In_Use ",
    "Connect ",      "Connected ", "Failed ",        "Success ",      "Endstation Happy ",
    "Sender Happy ", "Adios ",    "RejectedSender ", "notused ",
};

bool Cookie::parse(const char* text, Cookie* out) {
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
