#include "protocol/messages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const g_message_names[g_message_count] = {
    "Nominate ",     "Approve ",  "Listen ",         "Listening ",    "Port_In_Use ",
    "Connect ",      "Connected ", "Failed ",        "Success ",      "Endstation Happy ",
    "Sender Happy ", "Adios ",    "RejectedSender ", "notused ",
};

bool decode_message(const std::string& text, DecodedMessage* out) {
    *out = DecodedMessage();
    for (int i = 0; i < g_message_count; ++i) {
        size_t length = strlen(g_message_names[i]);
        if (text.compare(0, length, g_message_names[i]) != 0 || text.size() < length) continue;
        out->type = i;
        // The cookie is read from at most 999 characters after the name, as the message loop always has.
        std::string rest = text.substr(length, 999);
        void* cookie = nullptr;
        if (sscanf(rest.c_str(), "%p", &cookie) == 1) {
            out->has_cookie = true;
            out->cookie = cookie;
        }
        size_t blank = text.find(' ', length);
        if (blank != std::string::npos) {
            out->has_info = true;
            out->info = text.substr(blank + 1);
        }
        return true;
    }
    return false;
}

std::string compose_message(int type, const void* cookie, const char* tail) {
    char cookie_text[32];
    snprintf(cookie_text, sizeof cookie_text, "%p ", cookie);
    std::string text = g_message_names[type];
    text += cookie_text;
    if (tail) text += tail;
    return text;
}

int port_of(const std::string& info) { return atoi(info.c_str()); }
