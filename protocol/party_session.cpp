#include "protocol/party_session.h"

#include "common/logmsg.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/clock.h"
#include "protocol/conference.h"
#include "protocol/messages.h"
#include "protocol/party_report.h"
#include "protocol/party_registry.h"
#include "protocol/phrase.h"

namespace {

// The role that sends `type` to the coordinator; -1 for messages that only the coordinator sends.
int sent_to_coordinator_by(int type) {
    switch (type) {
    case MSG_APPROVE:
    case MSG_LISTENING:
    case MSG_PORT_IN_USE:
    case MSG_SENDER_HAPPY:
        return ROLE_SENDER;
    case MSG_CONNECTED:
    case MSG_FAILED:
        return ROLE_ENDSTATION;
    default:
        return -1;
    }
}

}  // namespace

void PartySession::handle(const DecodedMessage& message) {
    const int type = message.type;
    // Cookies are no secret: a message counts only from the role that sends it, so that an endstation
    // cannot approve, report on or end another party's rendezvous.
    if (sent_to_coordinator_by(type) != m_party.m_type) return ignore(type, "not sent by this party's role");
    if (!message.has_cookie) return ignore(type, "no cookie");
    Caller* self = &m_party;
    Verdict verdict = REFUSED;
    switch (type) {
    case MSG_APPROVE:
        verdict = m_conference->on_approve(self, message.cookie);
        break;
    case MSG_LISTENING:
        verdict = m_conference->on_listening(self, message.cookie, message.info);
        break;
    case MSG_PORT_IN_USE:
        verdict = m_conference->on_port_in_use(self, message.cookie, message.info);
        if (verdict == ACTED) port_reported_in_use();
        break;
    case MSG_SENDER_HAPPY:
        verdict = m_conference->on_sender_happy(self, message.cookie, message.info);
        break;
    case MSG_CONNECTED:
        verdict = m_conference->on_connected(self, message.cookie, message.info);
        break;
    case MSG_FAILED:
        verdict = m_conference->on_failed(self, message.cookie);
        break;
    }
    if (verdict == ACTED) m_ignored_in_a_row = 0;
    if (verdict == REFUSED) ignore(type, "it fits no rendezvous of this party");
}

void PartySession::ignore(int type, const char* why) {
    zel::logline("TQR: ignoring ", type >= 0 ? g_message_names[type] : "a text ", "on caller ",
                 static_cast<const void*>(&m_party), ": ", why);
    if (++m_ignored_in_a_row > kMaxIgnoredInARow) drop("ignored_messages", type >= 0 ? g_message_names[type] : "");
}

void PartySession::port_reported_in_use() {
    double now = zel::now();
    m_in_use_reports.push_back(now);
    while (!m_in_use_reports.empty() && m_in_use_reports.front() < now - kInUseWindow) m_in_use_reports.pop_front();
    // One sender's host cannot hold every port: a sender that says so of many is lying or broken.
    if (m_in_use_reports.size() > kMaxPortsInUse) drop("port_in_use", g_message_names[MSG_PORT_IN_USE]);
}

void PartySession::woken() {
    if (m_conference) m_conference->serve_waiting();
}

void PartySession::drop(const char* reason, const char* detail) {
    if (m_dropped.exchange(true)) return;
    m_dropped_by.store(reason);
    if (zel::party_observed()) {
        zel::PartyEvent dropped = m_party.own_event(zel::EVENT_DROPPED);
        dropped.what = reason;
        dropped.detail = detail;
        zel::report_party_event(dropped);
    }
    // The reader stops at once, and closes the link: what the party still sends is refused.
    m_party.close_link();
}

void PartySession::leave() {
    if (!m_conference) return;
    const char* dropped_by = m_dropped_by.load();
    bool empty = m_party.m_type == ROLE_SENDER ? m_conference->dropsender(&m_party, dropped_by)
                                               : m_conference->dropreceiver(&m_party, dropped_by);
    if (empty) g_activelist.forget_if_empty(m_conference);
}
