#include "protocol/endstation_link.h"

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/connection.h"
#include "protocol/key_check.h"
#include "protocol/messages.h"
#include "protocol/party_report.h"
#include "protocol/settings.h"
#include "protocol/threads.h"

EndstationLink::~EndstationLink() {
    join_bridge();
    Connection*& link = m_endstation.m_sender_conn;
    if (link == nullptr) return;
    // A link that passed to the host stays open; one that never did (keys differ, no bridge) would
    // otherwise leak. A host that takes the socket itself sets m_sender_conn to null first.
    if (m_bridged.load()) link->release();
    delete link;
    link = nullptr;
}

void EndstationLink::on_connect(const DecodedMessage& message) {
    Caller& self = m_endstation;
    if (self.m_sender_conn != nullptr) {
        // One direct link per endstation; a second "Connect " would orphan the first.
        zel::logline("TQR: ignoring ", g_message_names[MSG_CONNECT], "on caller ", static_cast<const void*>(&self),
                     ": already linked to a sender");
        return;
    }
    const int port = port_of(message.info);
    if (port == 0) {
        // Malformed: its text would reach the host's screen and the coordinator's in "Connected ".
        zel::logline("TQR: ignoring ", g_message_names[MSG_CONNECT], "on caller ", static_cast<const void*>(&self),
                     ": not a port: ", message.info);
        return;
    }
    zel::PartyEvent step = self.own_event(zel::EVENT_CONNECTING);
    step.port = message.info;
    if (zel::party_observed()) zel::report_party_event(step);

    self.m_sender_conn = new Connection();
    if (!self.m_sender_conn->connect(port, self.m_host.c_str(), 1048576)) {
        delete self.m_sender_conn;
        self.m_sender_conn = nullptr;
        self.send_message(MSG_FAILED, message.cookie, nullptr);
        step.kind = zel::EVENT_CONNECT_FAILED;
        if (zel::party_observed()) zel::report_party_event(step);
        return;
    }
    // This side's key frame goes out before "Connected ": the sender's listener, woken by the
    // connection, finds it waiting instead of waiting for it.
    zel::send_key_frame(*self.m_sender_conn, self.m_key, false);
    self.send_message(MSG_CONNECTED, message.cookie, message.info.c_str());
    m_step = step;
    if (self.has_bridge()) {
        // The key check runs on the bridge thread: it starts while the key frames cross, not after,
        // and the loop goes back to reading meanwhile. The bridge calls the host: its stack is the
        // host's default.
        m_bridge_done = std::make_shared<zel::Completion>();
        m_bridge_started = zel::host_threads().run(Caller::s_ssc_pt, &self, m_bridge_done, &self.m_ssc_pt);
        if (m_bridge_started) return;
    }
    // No host to hand the link to (or no thread for it): the check is still told.
    check_keys(false);
}

bool EndstationLink::check_keys(bool bridging) {
    Caller& self = m_endstation;
    zel::PartyEvent& step = m_step;
    int matched = zel::read_key_frame(*self.m_sender_conn, self.m_key, false, zel::settings().keycheck_timeout);
    step.kind = matched ? zel::EVENT_KEY_CHECKED : zel::EVENT_KEY_REFUSED;
    if (zel::party_observed()) {
        step.peer = self.m_sender_conn->peer();
        zel::report_party_event(step);
    }
    if (!matched) return false;
    if (!bridging) {
        zel_inform(stderr, "no bridge!!!!!!!!!!!!\n");
        return false;
    }
    step.kind = zel::EVENT_BRIDGED;
    if (zel::party_observed()) zel::report_party_event(step);
    return true;
}

void EndstationLink::bridge() {
    if (!check_keys(true)) return;
    int fd = m_endstation.m_sender_conn->fd();
    m_bridged.store(true);
    m_endstation.bridge_to_host(fd);
}

void EndstationLink::on_adios() {
    zel_inform(stderr, "closing coordinator connection\n");
    m_endstation.close_link_from_loop();
    // This loop reads no more: whoever waits for the end of the link (the host's bridge, say) need
    // not wait for the reader to find it.
    m_endstation.m_queue.end();
    join_bridge();
}

void EndstationLink::join_bridge() {
    if (!m_bridge_started) return;
    m_bridge_done->wait();
    m_bridge_started = false;
}
