// A coordinator-side Caller's membership of its conference: the join step after the handshake, the
// leave step when its reader ends.
#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/conference.h"
#include "protocol/messages.h"
#include "protocol/party_report.h"
#include "protocol/party_registry.h"
#include "protocol/party_session.h"
#include "protocol/phrase.h"

namespace {

// The longest nickname that still fits the "Nominate " that carries it to the sender, with the longest
// cookie ("0x" and 16 hexadecimal digits) and its blank.
constexpr size_t kLongestNickname = kLongestMessage - 9 - 18 - 1;

}  // namespace

bool Caller::joinconference() {
    std::shared_ptr<Conference> conference;
    {
        zel::MutexLock lock(m_member_mutex);
        m_joined = 0;
        // A party whose link has already ended is not filed: its leave step has run, or is about to.
        if (m_left) return false;
        if (m_type != ROLE_SENDER && m_type != ROLE_ENDSTATION) {
            m_refusal = "no_role";
            return false;
        }
        if (m_type == ROLE_ENDSTATION && m_nickname.size() > kLongestNickname) {
            m_refusal = "nickname_too_long";
            return false;
        }
        // Reachable through its cookie before its conference can name it to anyone.
        if (!m_session) m_session.reset(new PartySession(*this));
        g_parties.add(this, m_type, m_confid);
        conference = g_activelist.addcaller(m_confid, this);
        if (!conference) {
            g_parties.remove(this);
            return false;
        }
        m_session->attach(conference);
        m_joined = 1;
    }
    if (zel::party_observed()) zel::report_party_event(own_event(zel::EVENT_JOINED));
    zel::logline("signalling conference ", m_confid);
    conference->signal();
    return true;
}

void Caller::leaveconference() {
    bool joined;
    {
        zel::MutexLock lock(m_member_mutex);
        if (m_left) return;
        m_left = true;
        joined = m_joined != 0;
    }
    if (!joined) return;
    if (m_overlong.load()) m_session->drop("message_too_long", "");
    // Out of the conference first, so that nothing new is addressed to this party; then sends to it
    // that are under way finish before it is forgotten.
    m_session->leave();
    g_parties.remove(this);
    if (zel::party_observed()) zel::report_party_event(own_event(zel::EVENT_LEFT));
}
