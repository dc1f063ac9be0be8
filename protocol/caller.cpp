// Caller construction and destruction, linking (connect, listen, accept), the bridge hook, and the
// facade's hand-offs to the units of each role.
#include "protocol/caller.h"

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/endstation_link.h"
#include "protocol/key_check.h"
#include "protocol/party_report.h"
#include "protocol/party_registry.h"
#include "protocol/party_session.h"
#include "protocol/phrase.h"
#include "protocol/sender_links.h"
#include "protocol/settings.h"
#include "protocol/socket_ops.h"
#include "protocol/threads.h"

int set_bridge_callback(BridgeCallback fn) {
    g_bridge.store(fn, std::memory_order_release);
    return 0;
}

Caller::Caller() : m_version(0.0), m_type(0), m_stopread(0), m_joined(0), m_conn(nullptr), m_sender_conn(nullptr) {
    zel_inform(stderr, "caller no-arg constructor\n");
    zel_inform(stderr, "caller mutex inited\n");
    m_conn = new Connection();
}

Caller::Caller(int fd) : m_version(0.0), m_type(0), m_stopread(0), m_joined(0), m_conn(nullptr), m_sender_conn(nullptr) {
    zel_inform(stderr, "caller fd constructor\n");
    zel_inform(stderr, "caller mutex inited\n");
    m_conn = new Connection(fd);
    // A party that stops reading must not stall the threads that write to it (its conference, the
    // other party's loop): writes give up after TQR_SEND_TIMEOUT seconds and the party is dropped.
    if (fd > 0) m_conn->set_send_timeout(zel::settings().send_timeout);
}

Caller::~Caller() {
    // Nothing may reach this Caller through a cookie any more, and sends under way finish first.
    g_parties.remove(this);
    // A Caller whose reader never ran was never taken out of its conference by it.
    if (!m_reader_started) leaveconference();
    if (m_reader_started) {
        // The reader holds this Caller until it ends: wake it wherever it waits, and wait for it.
        m_stopread.store(1);
        m_queue.close();
        m_conn->shutdown();
        m_waker->wake();
        m_reader_finished->wait();
    }
    // The bridge thread reaches the link through this Caller: it must be over before the link goes.
    if (m_link) m_link->await_bridge();
    m_link.reset();
    if (m_links) m_links->stop();
    m_links.reset();
    m_session.reset();
    delete m_conn;
    m_conn = nullptr;
}

int Caller::connect(int port, const char* host, int type, const char* nickname, const char* confid,
                    const char* key) {
    m_nickname = nickname ? nickname : "";
    m_host = host ? host : "";
    m_confid = confid ? confid : "";
    m_key = key ? key : "";
    m_type = type;
    zel_inform(stderr, " connect: %s %s\n", m_confid.c_str(), m_key.c_str());
    return m_conn->connect(port, host, 1048576);
}

int Caller::listen(int port, int backlog, int existing) {
    m_status = "error/timeout";
    return m_conn->listen(port, backlog, existing);
}

int Caller::accept(int arg) {
    int fd = m_conn->accept(0, arg);
    // The new descriptor belongs to the Caller(fd) that the host builds on it; the listening Caller
    // keeps no copy, so it can never close the party's socket.
    m_conn->release();
    return fd;
}

bool Caller::wait_link_ended(double seconds) {
    AbsTime deadline;
    return m_queue.wait_ended(*deadline.after(seconds));
}

void Caller::close_link() {
    // The reader sees the flag and ends instead of reading a closed link again. A running reader may
    // be about to read the socket: it is shut down to wake the reader, which then closes the
    // descriptor itself; closing it here could hand its number to a new descriptor first.
    m_stopread.store(1);
    if (reader_done()) {
        m_conn->Close();
    } else {
        m_conn->shutdown();
    }
}

void Caller::close_link_from_loop() {
    if (!m_loop_reads) {
        close_link();
        return;
    }
    m_stopread.store(1);
    m_conn->Close();
}

bool Caller::has_bridge() const {
    return m_bridge_handler != nullptr || g_bridge.load(std::memory_order_acquire) != nullptr;
}

void Caller::bridge_to_host(int fd) {
    if (m_bridge_handler != nullptr) {
        m_bridge_handler(fd, m_bridge_context);
    } else if (BridgeCallback host = g_bridge.load(std::memory_order_acquire)) {
        host(fd);
    }
}

void Caller::set_approval_policy(ApprovalPolicy policy, void* context) {
    m_approval_policy = policy;
    m_approval_context = context;
}

bool Caller::approves(const std::string& nickname) const {
    return m_approval_policy == nullptr || m_approval_policy(nickname, m_approval_context);
}

void Caller::port_reserved() {
    if (m_session) m_session->woken();
}

void Caller::drop(const char* reason, const char* detail) {
    if (m_session) m_session->drop(reason, detail);
}

zel::PartyEvent Caller::own_event(int kind) const {
    zel::PartyEvent event;
    event.kind = static_cast<zel::PartyEventKind>(kind);
    event.role = m_type;
    event.party = this;
    if (!zel::party_observed()) return event;
    event.conference = m_confid;
    if (m_type == ROLE_ENDSTATION) event.nickname = m_nickname;
    event.peer = m_conn->peer();
    return event;
}

SenderLinks& Caller::links() {
    if (!m_links) m_links.reset(new SenderLinks(*this));
    return *m_links;
}

EndstationLink& Caller::link() {
    if (!m_link) m_link.reset(new EndstationLink(*this));
    return *m_link;
}

bool Caller::is_sender() const { return m_type == ROLE_SENDER; }

int Caller::check_keys(Connection* conn) {
    return zel::check_keys_on(*conn, m_key, is_sender(), zel::settings().keycheck_timeout);
}

void* Caller::s_listenthread(void* request) {
    ListenRequest* listen_request = static_cast<ListenRequest*>(request);
    listen_request->caller->listenthread(listen_request);
    return nullptr;
}

void Caller::listenthread(ListenRequest* request) { links().listen(request); }

void* Caller::s_ssc_pt(void* caller) {
    // Started by the link, which exists until this thread is over.
    if (EndstationLink* link = static_cast<Caller*>(caller)->m_link.get()) link->bridge();
    return nullptr;
}
