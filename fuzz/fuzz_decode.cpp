// Fuzz target: the decode rule of named messages, composing, and the handshake phrases, on arbitrary
// text.
//
// Checks, beyond the absence of crashes:
// - decode_message yields type t exactly when the text starts with name t, and nothing otherwise; its
//   cookie is what Cookie::parse reads right after the name; its info is the text after the first
//   blank that follows the name, and is absent exactly when no blank follows it;
// - compose_message refuses exactly the texts longer than a reader takes (997 bytes), leaving its
//   output untouched, and what it composes decodes back to its type, cookie and tail;
// - Phrase::parse gives the rest of the text after the phrase's text, or "" when the text does not
//   start with it, and parse(compose(v)) == v for every phrase of the script;
// - PhraseScript builds the whole script for version 1.2 and script 1, and nothing otherwise.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
    zel_fuzz::report("fuzz_decode: %s (text of %zu bytes: \"%s\")\n", what, text.size(), text.c_str());
    abort();
}

bool starts_with(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

void check_decode(const std::string& text) {
    DecodedMessage message;
    const bool decoded = decode_message(text, &message);
    int expected = -1;
    for (int i = 0; i < g_message_count; ++i) {
        if (!starts_with(text, g_message_names[i])) continue;
        if (expected != -1) fail("two message names start one text", text);
        expected = i;
    }
    if (decoded != (expected != -1) || message.type != expected) fail("decoded type differs from the name the text starts with", text);
    if (!decoded) {
        if (message.has_cookie || message.has_info || !message.info.empty()) fail("undecoded text has fields", text);
        return;
    }
    const size_t name_length = strlen(g_message_names[expected]);
    Cookie cookie;
    const bool has_cookie = Cookie::parse(text.substr(name_length, 999).c_str(), &cookie);
    if (message.has_cookie != has_cookie || (has_cookie && message.cookie != cookie)) fail("decoded cookie differs from the one after the name", text);
    const size_t blank = text.find(' ', name_length);
    if (message.has_info != (blank != std::string::npos)) fail("info presence differs from a blank after the name", text);
    if (message.info != (message.has_info ? text.substr(blank + 1) : std::string())) fail("info is not the text after the first blank", text);
}

void check_compose(const uint8_t* data, size_t size) {
    uintptr_t bits = 0;
    const size_t taken = size < sizeof bits ? size : sizeof bits;
    memcpy(&bits, data, taken);
    const Cookie cookie = Cookie::of(reinterpret_cast<const void*>(bits));
    // The tail as a C string: what a party's loop hands to compose_message.
    const std::string tail = std::string(reinterpret_cast<const char*>(data + taken), size - taken).c_str();
    for (int type = 0; type < g_message_count; ++type) {
        const size_t length = strlen(g_message_names[type]) + cookie.text().size() + 1 + tail.size();
        std::string text = "untouched";
        if (compose_message(type, cookie, tail.c_str(), &text) != (length <= kLongestMessage))
            fail("compose refused a text that fits, or took one too long", tail);
        if (length > kLongestMessage) {
            if (text != "untouched") fail("a refused composition changed its output", tail);
            continue;
        }
        DecodedMessage message;
        if (!decode_message(text, &message) || message.type != type) fail("composed message lost its type", text);
        if (!message.has_cookie || message.cookie != cookie) fail("composed message lost its cookie", text);
        if (!message.has_info || message.info != tail) fail("composed message lost its tail", text);
        // Without a tail the text ends with the cookie's blank: an empty info, not an absent one.
        if (!compose_message(type, cookie, nullptr, &text) || !decode_message(text, &message) || !message.has_info ||
            !message.info.empty())
            fail("message without tail does not decode with an empty info", text);
    }
}

void check_phrases(const std::string& text) {
    PhraseScript script(1.2, 1);
    int count = 0;
    for (const Phrase* phrase = script.next(); phrase != nullptr; phrase = script.next()) {
        ++count;
        if (phrase->endmarker) {
            // The end marker's text is empty: every message starts with it.
            if (phrase->parse(text) != text) fail("end marker parse is not the whole text", text);
            continue;
        }
        const std::string expected = starts_with(text, phrase->text) ? text.substr(phrase->text.size()) : std::string();
        if (phrase->parse(text) != expected) fail("phrase parse differs from the text after the phrase", text);
        if (phrase->parse(phrase->compose(text)) != text) fail("phrase compose/parse round trip", text);
    }
    if (count != 8) fail("the script for 1.2/1 does not have seven phrases and an end marker", text);
}

// Any other version or script number builds an empty script.
void check_script_choice(const uint8_t* data, size_t size) {
    double version = 0;
    int number = 0;
    if (size < sizeof version + sizeof number) return;
    memcpy(&version, data, sizeof version);
    memcpy(&number, data + sizeof version, sizeof number);
    uint64_t bits = 0;
    memcpy(&bits, &version, sizeof bits);
    const bool exact = bits == 0x3FF3333333333333ULL && number == 1;
    PhraseScript other(version, number);
    int phrases = 0;
    while (other.next() != nullptr) ++phrases;
    if (phrases != (exact ? 8 : 0)) fail("script built for a version or number other than 1.2/1", "");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zel_fuzz::init_report();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    check_decode(text);
    // What a reader delivers never holds a NUL: the text as it would arrive, too.
    check_decode(std::string(text.c_str()));
    check_compose(data, size);
    check_phrases(text);
    check_script_choice(data, size);
    port_of(text);
    return 0;
}
