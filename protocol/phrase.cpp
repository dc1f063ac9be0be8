#include "protocol/phrase.h"

#include <cstdint>
#include <cstring>

const char* const g_caller_type_names[2] = {"Endstation", "Sender"};

Phrase::Phrase(int from_role, int to_role, int phrase_kind, const char* phrase_text)
    : endmarker(0), from(from_role), to(to_role), kind(phrase_kind), text(phrase_text), timeout(500.0) {}

Phrase::Phrase() : endmarker(1), from(-1), to(-1), kind(-1), timeout(1.0) {}

std::string Phrase::compose(const std::string& spoken) const { return text + spoken; }

std::string Phrase::parse(const std::string& message) const {
    if (message.compare(0, text.size(), text) != 0) return std::string();
    return message.substr(text.size());
}

namespace {

// Version 1.2 exactly: the double nearest 1.2, compared bit for bit.
bool is_version_1_2(double version) {
    uint64_t bits;
    memcpy(&bits, &version, sizeof bits);
    return bits == 0x3FF3333333333333ULL;
}

}  // namespace

PhraseScript::PhraseScript(double version, int script) {
    if (!is_version_1_2(version) || script != 1) return;
    // The one script there is, made once and never changed: every handshake walks the same phrases.
    static const Phrase* const phrases[] = {
        new Phrase(ROLE_COORDINATOR, ROLE_CALLER, KIND_VERSION, "TQR Coordinator "),
        new Phrase(ROLE_CALLER, ROLE_COORDINATOR, KIND_TYPE, "TQR Caller is "),
        new Phrase(ROLE_ENDSTATION, ROLE_COORDINATOR, KIND_VERSION, "TQR Endstation "),
        new Phrase(ROLE_SENDER, ROLE_COORDINATOR, KIND_VERSION, "TQR Sender "),
        new Phrase(ROLE_ENDSTATION, ROLE_COORDINATOR, KIND_NAME, "From Endstation name "),
        new Phrase(ROLE_ENDSTATION, ROLE_COORDINATOR, KIND_CONFID, "From Endstation join "),
        new Phrase(ROLE_SENDER, ROLE_COORDINATOR, KIND_CONFID, "From Sender join "),
        new Phrase(),
    };
    m_phrases = phrases;
    m_count = sizeof phrases / sizeof phrases[0];
}

const Phrase* PhraseScript::next() { return m_cursor < m_count ? m_phrases[m_cursor++] : nullptr; }
