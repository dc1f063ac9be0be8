// The named messages that parties and the coordinator exchange after the handshake, how a received
// text decodes and how a text is composed. Pure functions: shared by the message loop, the tests and
// the fuzzers.
//
// A message on the wire is its text and one NUL. The text is: name (ending in a blank), cookie (a
// "%p" value), one blank, info (possibly empty). A reader takes at most 997 bytes before the NUL.
#ifndef ZEL_PROTOCOL_MESSAGES_H
#define ZEL_PROTOCOL_MESSAGES_H

#include <cstddef>
#include <string>

#include "protocol/cookie.h"

enum MessageType {
    MSG_NOMINATE = 0,
    MSG_APPROVE = 1,
    MSG_LISTEN = 2,
    MSG_LISTENING = 3,
    MSG_PORT_IN_USE = 4,
    MSG_CONNECT = 5,
    MSG_CONNECTED = 6,
    MSG_FAILED = 7,
    MSG_SUCCESS = 8,
    MSG_ENDSTATION_HAPPY = 9,
    MSG_SENDER_HAPPY = 10,
    MSG_ADIOS = 11,
    MSG_REJECTED_SENDER = 12,
    MSG_NOTUSED = 13,
};

constexpr int g_message_count = 14;
// The longest text a reader accepts; the coordinator composes nothing longer.
constexpr size_t kLongestMessage = 997;

// Indexed by MessageType; every name ends in one blank, which belongs to the name.
extern const char* const g_message_names[g_message_count];

// A received text, decoded.
struct DecodedMessage {
    int type = -1;            // the MessageType whose name starts the text
    bool has_cookie = false;  // a "%p" value could be read right after the name
    Cookie cookie;
    bool has_info = false;    // a blank follows the name somewhere
    std::string info;         // the text after the first blank that follows the name
};

// Decodes `text` (no terminator). false when it starts with no message name.
bool decode_message(const std::string& text, DecodedMessage* out);

// The text of `type` about `cookie` with `tail` appended (tail may be null), written over `out`,
// whose buffer is reused. false, with `out` untouched, when the text would be longer than a reader
// accepts.
bool compose_message(int type, Cookie cookie, const char* tail, std::string* out);

// The port number that `info` is: 1 to 5 ASCII digits and nothing else, 1..65535. 0 for any other
// text, which a sender's "Listen " and an endstation's "Connect " ignore as malformed: a peer's port
// text is echoed and shown, so only digits may pass.
int port_of(const std::string& info);

#endif
