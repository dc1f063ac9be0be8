// A coordinator-side Caller's membership of its conference: the join step after the handshake, the
// leave step when its reader ends.
#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/live_callers.h"
#include "protocol/lock.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"

bool Caller::joinconference() {
    zel::MutexGuard guard(m_member_mutex);
    // A party whose link has already ended is not filed: its leave step has run, or is about to.
    if (m_left) {
        m_joined = 0;
        return false;
    }
    // Cookies that name this Caller become valid before the conference can nominate it.
    g_live_callers.add(this, m_type, m_confid);
    bool added = g_activelist.addcaller(m_confid, this);
    if (added) {
        g_activelist.signal(m_confid);
        m_joined = 1;
    } else {
        m_joined = 0;
        g_live_callers.remove(this);
    }
    return added;
}

void Caller::leaveconference() {
    bool joined;
    {
        zel::MutexGuard guard(m_member_mutex);
        if (m_left) return;
        m_left = true;
        joined = m_joined != 0;
        // No new message may address this Caller, and messages being sent to it finish first.
        g_live_callers.remove(this);
        if (m_type == ROLE_SENDER && m_joined) g_activelist.remove(m_confid);
        if (m_type == ROLE_ENDSTATION) g_activelist.dropreceiver(m_confid, this);
    }
    // Rendezvous that this party was part of and that had not completed cannot complete any more.
    // Outside the member mutex: abandoning reports to the host's observer, which holds no lock of ours.
    if (joined) g_portmanager.abandon(this, nullptr, m_type == ROLE_SENDER ? "sender_left" : "endstation_left");
}
