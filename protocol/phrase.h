// The handshake script: the phrases that a party and the coordinator speak, in order, right after the
// link is up, and the roles that decide who speaks and who listens.
#ifndef ZEL_PROTOCOL_PHRASE_H
#define ZEL_PROTOCOL_PHRASE_H

#include <string>

// Role codes of the parties (a Caller's m_type holds 2 or 3).
enum CallerRole {
    ROLE_COORDINATOR = 0,
    ROLE_CALLER = 1,  // a sender or an endstation whose type has not been heard yet
    ROLE_SENDER = 2,
    ROLE_ENDSTATION = 3,
};

// What a phrase carries.
enum PhraseKind {
    KIND_VERSION = 1,
    KIND_TYPE = 2,
    KIND_CONFID = 3,
    KIND_NAME = 4,
};

// Index 0 "Endstation" (role 3), index 1 "Sender" (role 2).
extern const char* const g_caller_type_names[2];

// One step of the script, or the end marker.
struct Phrase {
    int endmarker;
    int from;
    int to;
    int kind;
    std::string text;   // starts the spoken message; ends in a blank
    double timeout;     // seconds a listener waits

    // What the phrase carries is told by `kind`; the value spoken follows from the speaker.
    Phrase(int from, int to, int kind, const char* text);
    Phrase();  // the end marker

    std::string compose(const std::string& value) const;
    // The rest of `message` after `text` when `message` starts with it, else "".
    std::string parse(const std::string& message) const;
};

// The script of one protocol version and script number: next() walks its phrases once. The phrases
// are shared by every script of the process and never change, so any thread may walk one.
class PhraseScript {
public:
    PhraseScript(double version, int script);
    PhraseScript(const PhraseScript&) = delete;
    PhraseScript& operator=(const PhraseScript&) = delete;

    // The phrase at the cursor, or null past the end; the cursor moves on.
    const Phrase* next();

private:
    const Phrase* const* m_phrases = nullptr;
    size_t m_count = 0;
    size_t m_cursor = 0;
};

#endif
