// The message loop: every party takes its named messages one at a time and answers each with at most
// one message and one local action. On the coordinator a cookie is acted on only when it names a live
// Caller of the role the message needs, in the same conference.
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/live_callers.h"
#include "protocol/lock.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"

namespace {

constexpr double kLoopLimit = 1000000.0;

void ignored(const Caller* caller, int type, const char* why) {
    zel::logline("TQR: ignoring ", g_message_names[type], "on caller ", static_cast<const void*>(caller), ": ", why);
}

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

int Caller::process() {
    bool done = false;
    std::string text;
    while (!done) {
        serve_waiting_approvals();
        // Approvals set aside also wait for abandoned ports, which come back by time, not by event.
        double limit = kLoopLimit;
        if (!m_waiting_approvals.empty()) {
            double returning = g_portmanager.next_return_in();
            if (returning >= 0) limit = returning + 0.01;
        }
        int got = wait_message(text, limit, !m_waiting_approvals.empty());
        if (got == 0 && limit < kLoopLimit && !link_ended()) continue;
        if (got == 2) continue;  // a port came back for an approval set aside
        if (got == 0) break;
        zel::logline("caller ", static_cast<const void*>(this), " type ", m_type, " msg length ", text.size(),
                     " received: ", text);
        DecodedMessage message;
        if (!decode_message(text, &message)) continue;
        zel_inform(stderr, "Phrase = %s\n", text.c_str());
        zel_inform(stderr, "cookie = %p\n", message.cookie);
        const char* info_at =
            message.has_info ? text.c_str() + (text.size() - message.info.size()) : nullptr;
        zel_inform(stderr, "info = %p\n", static_cast<const void*>(info_at));
        zel::logline("received msg ", message.type, " decoded as ", g_message_names[message.type]);
        handle(message, done);
    }
    g_portmanager.forget_waiter(this);
    zel::logline("TQR: exiting process loop ");
    return 0;
}

void Caller::handle(const DecodedMessage& message, bool& done) {
    const int type = message.type;
    const void* cookie = message.cookie;
    const char* info = message.info.c_str();

    // On the coordinator (a joined Caller) a message counts only from the role that sends it: cookies
    // are no secret, and an endstation must not approve, report or end another party's rendezvous, nor
    // make the coordinator listen or connect where it says.
    if (m_joined && sent_to_coordinator_by(type) != m_type) return ignored(this, type, "not sent by this party's role");

    bool needs_cookie = type != MSG_SUCCESS && type < MSG_ADIOS;
    if (needs_cookie && !message.has_cookie) return ignored(this, type, "no cookie");
    bool needs_port = type == MSG_LISTEN || type == MSG_LISTENING || type == MSG_PORT_IN_USE ||
                      type == MSG_CONNECT || type == MSG_CONNECTED || type == MSG_SENDER_HAPPY;
    if (needs_port && (!message.has_info || port_of(message.info) <= 0)) return ignored(this, type, "no port");

    switch (type) {
    case MSG_NOMINATE:
        send_message(MSG_APPROVE, static_cast<Caller*>(const_cast<void*>(cookie)), nullptr);
        break;

    case MSG_APPROVE: {
        HeldCaller endstation(cookie, ROLE_ENDSTATION, m_confid);
        if (!endstation.get()) return ignored(this, type, "cookie names no endstation of this conference");
        bool lent = g_portmanager.has_lease(this, cookie);
        bool waiting = std::find(m_waiting_approvals.begin(), m_waiting_approvals.end(), cookie) != m_waiting_approvals.end();
        if (lent || waiting) return ignored(this, type, "a port is already lent for this endstation");
        // With the pool empty, waiting here would stop this loop from reading the "Sender Happy " that
        // returns a port: the approval waits aside and is served when a port comes back.
        if (!lend_port(cookie, endstation.get()->nickname())) m_waiting_approvals.push_back(cookie);
        break;
    }

    case MSG_LISTEN: {
        ListenRequest* request = static_cast<ListenRequest*>(malloc(sizeof(ListenRequest)));
        if (request == nullptr) break;
        request->cookie = static_cast<Caller*>(const_cast<void*>(cookie));
        strncpy(request->port, info, sizeof request->port - 1);
        request->port[sizeof request->port - 1] = '\0';
        request->caller = this;
        if (!listener_started()) {
            free(request);
            break;
        }
        // The listener may free the request at once, so the handle is kept here, not in the request.
        pthread_t listener;
        if (pthread_create(&listener, nullptr, s_listenthread, request) != 0) {
            free(request);
            listener_finished();
            break;
        }
        // Nothing joins a listener: it frees its request and its resources when it ends.
        pthread_detach(listener);
        break;
    }

    case MSG_LISTENING: {
        if (!g_portmanager.is_lent(message.info, this, cookie))
            return ignored(this, type, "port not lent for this cookie");
        HeldCaller endstation(cookie, ROLE_ENDSTATION, m_confid);
        if (!endstation.get()) return ignored(this, type, "cookie names no endstation of this conference");
        send_message(MSG_CONNECT, endstation.get(), info);
        break;
    }

    case MSG_PORT_IN_USE: {
        if (!g_portmanager.end_lease(message.info, this, cookie, nullptr))
            return ignored(this, type, "port not lent for this cookie");
        g_portmanager.mark_in_use(info);
        HeldCaller endstation(cookie, ROLE_ENDSTATION, m_confid);
        if (!endstation.get()) return ignored(this, type, "cookie names no endstation of this conference");
        if (!lend_port(cookie, endstation.get()->nickname())) m_waiting_approvals.push_back(cookie);
        break;
    }

    case MSG_CONNECT:
        on_connect(cookie, message.info);
        break;

    case MSG_CONNECTED: {
        HeldCaller sender(cookie, ROLE_SENDER, m_confid);
        if (!sender.get()) return ignored(this, type, "cookie names no sender of this conference");
        send_message(MSG_ENDSTATION_HAPPY, sender.get(), info);
        break;
    }

    case MSG_ENDSTATION_HAPPY:
        send_message(MSG_SENDER_HAPPY, static_cast<Caller*>(const_cast<void*>(cookie)), info);
        break;

    case MSG_SENDER_HAPPY: {
        // The rendezvous is complete: its lease ends before "Adios " goes out, so that an endstation
        // leaving right after it does not hold the port back; the port returns after "Adios ".
        if (!g_portmanager.end_lease(message.info, this, cookie, "ok"))
            return ignored(this, type, "port not lent for this cookie");
        {
            HeldCaller endstation(cookie, ROLE_ENDSTATION, m_confid);
            if (endstation.get()) send_message(MSG_ADIOS, endstation.get(), nullptr);
        }
        g_portmanager.recycle_port(message.info);
        break;
    }

    case MSG_FAILED:
        // The endstation could not reach its sender: that rendezvous cannot complete, and its port
        // returns once the sender's listener has given up on it.
        g_portmanager.abandon(cookie, this, "connect_failed");
        break;

    case MSG_ADIOS:
        done = true;
        on_adios();
        break;

    case MSG_REJECTED_SENDER:
        done = true;
        on_rejected();
        break;

    case MSG_NOTUSED:
        zel::logline("TQR: endmarker encountered while processing protocol ", MSG_NOTUSED);
        break;

    default:  // "Success ": nothing to do
        break;
    }
}

bool Caller::lend_port(const void* cookie, const std::string& nickname) {
    const std::string* port = g_portmanager.pop_port_or_wait(this);
    if (port == nullptr) return false;
    zel_inform(stderr, "port is %x %s\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(port)), port->c_str());
    g_portmanager.lend(*port, this, cookie, m_confid, nickname);
    send_message(MSG_LISTEN, static_cast<Caller*>(const_cast<void*>(cookie)), port->c_str());
    return true;
}

void Caller::serve_waiting_approvals() {
    while (!m_waiting_approvals.empty()) {
        const void* cookie = m_waiting_approvals.front();
        HeldCaller endstation(cookie, ROLE_ENDSTATION, m_confid);
        if (endstation.get() && !lend_port(cookie, endstation.get()->nickname())) return;
        m_waiting_approvals.pop_front();  // served, or the endstation left while it waited
    }
}

void Caller::on_connect(const void* cookie, const std::string& info) {
    Caller* sender_cookie = static_cast<Caller*>(const_cast<void*>(cookie));
    if (m_sender_conn != nullptr) {
        // One direct link per endstation; a second "Connect " would orphan the first.
        zel::logline("TQR: ignoring ", g_message_names[MSG_CONNECT], "on caller ", static_cast<const void*>(this),
                     ": already linked to a sender");
        return;
    }
    m_sender_conn = new Connection();
    int ok = m_sender_conn->connect(port_of(info), m_host.c_str(), 1048576);
    if (!ok) {
        delete m_sender_conn;
        m_sender_conn = nullptr;
        send_message(MSG_FAILED, sender_cookie, nullptr);
        return;
    }
    send_message(MSG_CONNECTED, sender_cookie, info.c_str());
    if (!check_keys(m_sender_conn)) return;
    if (g_bridge.load(std::memory_order_acquire) == nullptr) {
        zel_inform(stderr, "no bridge!!!!!!!!!!!!\n");
        return;
    }
    if (pthread_create(&m_ssc_pt, nullptr, s_ssc_pt, this) == 0) m_ssc_started = true;
}

void Caller::on_adios() {
    zel_inform(stderr, "closing coordinator connection\n");
    // The reader sees the flag and ends instead of reading a closed link again.
    m_stopread.store(1);
    // A running reader may be about to read this socket: shut it down to wake the reader, which then
    // closes the descriptor itself. Closing it here could hand its number to a new descriptor first.
    if (reader_done()) {
        m_conn->Close();
    } else if (int fd = m_conn->fd()) {
        ::shutdown(fd, SHUT_RDWR);
    }
    if (m_ssc_started) {
        pthread_join(m_ssc_pt, nullptr);
        m_ssc_started = false;
    }
}

void Caller::on_rejected() {
    fprintf(stderr, "TQR: Sender is rejected by coordinator\n");
    fprintf(stderr, "TQR: Sender received msg %d\n", MSG_REJECTED_SENDER);
    fprintf(stderr, "TQR: terminating\n");
    zel::logline("TQR: received msg ", MSG_REJECTED_SENDER, " sender rejected, sender will terminate ");
    // The host decides what a refusal means for its process; the library only reports it.
    m_rejected.store(true, std::memory_order_release);
}

void Caller::port_freed() {
    zel::MutexGuard guard(m_queue_mutex);
    m_port_wakeup = true;
    pthread_cond_broadcast(&m_queue_cond);
}
