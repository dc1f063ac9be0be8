// The handshake: both ends walk the same script, each speaking, listening or standing by per phrase,
// within one time limit for the whole walk.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/phrase.h"
#include "protocol/settings.h"

namespace {

const char* const kVersionText = "1.2";

bool speaks(const Phrase& phrase, int iAm, int itIs) {
    bool is_party = iAm == ROLE_SENDER || iAm == ROLE_ENDSTATION;
    return (phrase.from == iAm && phrase.to == itIs) || (phrase.from == ROLE_CALLER && phrase.to == itIs && is_party);
}

bool listens(const Phrase& phrase, int iAm, int itIs) {
    bool is_party = iAm == ROLE_SENDER || iAm == ROLE_ENDSTATION;
    return (phrase.from == itIs && phrase.to == iAm) || (phrase.to == ROLE_CALLER && phrase.from == itIs && is_party);
}

// What this side says in `phrase`: text that outlives the handshake's use of it.
std::string_view spoken_value(const Phrase& phrase, int iAm, const Caller& self) {
    switch (phrase.kind) {
    case KIND_VERSION:
        return kVersionText;
    case KIND_TYPE:
        return iAm == ROLE_SENDER ? g_caller_type_names[1] : iAm == ROLE_ENDSTATION ? g_caller_type_names[0] : "whatever";
    case KIND_CONFID:
        return self.m_confid;
    case KIND_NAME:
        return self.m_nickname;
    default:
        return std::string_view();
    }
}

}  // namespace

int Caller::negotiate(int script, int iAm, int itIs) {
    // The version text read as a number, once for the process, and in any locale: a host whose
    // numbers take a decimal comma would read "1.2" as 1 otherwise and walk no script at all.
    static const double version = [] {
        double read = 0.0;
        std::from_chars(kVersionText, kVersionText + strlen(kVersionText), read);
        return read;
    }();
    m_version = version;
    // A peer that dribbles a byte at a time, or says nothing, holds this party no longer than this.
    const double until = zel::now() + zel::settings().handshake_timeout;
    PhraseScript phrases(m_version, script);
    LoopReading reading(*this, false);
    // Phrases spoken one after another go out in one write: the same bytes, in fewer packets, and the
    // peer reads them with one wake-up.
    std::string spoken;  // each phrase with its terminator
    for (const Phrase* phrase = phrases.next(); phrase != nullptr && !phrase->endmarker; phrase = phrases.next()) {
        zel_inform(stderr, " phrase %p, %s\n", static_cast<const void*>(phrase), phrase->text.c_str());
        zel_inform(stderr, "iAm %d, from %d, itIs %d, to %d\n", iAm, phrase->from, itIs, phrase->to);

        if (speaks(*phrase, iAm, itIs)) {
            const size_t at = spoken.size();
            spoken += phrase->text;
            spoken += spoken_value(*phrase, iAm, *this);
            spoken += '\0';
            zel_inform(stderr, "send triggered: %s\n", spoken.c_str() + at);
            zel::logline(" sending message ", phrase->text);
            continue;
        }
        if (!listens(*phrase, iAm, itIs)) {
            zel::logline(" listener has no involvement in phrase ", phrase->text);
            zel_inform(stderr, "listener has no involvement in %s\n", phrase->text.c_str());
            continue;
        }

        send_texts(spoken);
        zel_inform(stderr, "receive invoked\n");
        zel::logline(" listener awaiting message ", phrase->text);
        std::string message;
        double left = std::min(phrase->timeout, until - zel::now());
        if (left <= 0 || !receive(message, left)) return 0;
        zel::logline(" listener got message ", message);
        zel_inform(stderr, "listener got %s\n", message.c_str());
        std::string value = phrase->parse(message);
        // The reader reads the identity when it ends; it may end at any moment now.
        zel::MutexLock lock(m_member_mutex);
        switch (phrase->kind) {
        case KIND_VERSION:
            zel_inform(stderr, " version %s\n", value.c_str());
            break;
        case KIND_TYPE:
            zel_inform(stderr, " caller type %s\n", value.c_str());
            if (value == g_caller_type_names[0]) {
                itIs = m_type = ROLE_ENDSTATION;
            } else if (value == g_caller_type_names[1]) {
                itIs = m_type = ROLE_SENDER;
            }
            break;
        case KIND_NAME:
            zel_inform(stderr, " nickname %s\n", value.c_str());
            m_nickname = value;
            break;
        case KIND_CONFID:
            zel_inform(stderr, " confid %s\n", value.c_str());
            m_confid = value;
            break;
        default:
            break;
        }
    }
    send_texts(spoken);
    return 1;
}
