#include "protocol/sender_links.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/clock.h"
#include "protocol/connection.h"
#include "protocol/port_watch.h"
#include "protocol/messages.h"
#include "protocol/party_report.h"
#include "protocol/settings.h"
#include "protocol/socket_ops.h"
#include "protocol/threads.h"

namespace {

// Connections a listener keeps waiting on the lent port while it checks others: intruders can delay
// the real endstation only by filling this backlog, and each stays at most the key check's limit.
constexpr int kBacklog = 16;
// Listeners one sender runs at once: a coordinator cannot make it start threads without end.
constexpr size_t kMaxListeners = 64;

}  // namespace

struct SenderLinks::Listener {
    int port = 0;
    std::string port_text;
    Cookie cookie;
    std::unique_ptr<zel::net::Waker> waker;  // on_endstation_happy() and stop() end the listener's wait early
    Connection socket;      // the lent port's: opened by the loop, closed by the listener thread
    // Guarded by SenderLinks::m_mutex:
    bool claimed = false;    // its thread has started
    bool listening = false;  // the listening socket is open
    bool happy = false;      // the coordinator said the endstation reached this port
    bool answered = false;   // "Sender Happy " went out for it
};

SenderLinks::~SenderLinks() { stop(); }

void SenderLinks::on_nominate(const DecodedMessage& message) {
    bool approved = m_sender.approves(message.info);
    zel::PartyEvent nominated = m_sender.own_event(zel::EVENT_NOMINATION);
    nominated.nickname = message.info;
    nominated.what = approved ? "approved" : "declined";
    if (zel::party_observed()) zel::report_party_event(nominated);
    // A nomination left unanswered goes to another sender once the coordinator stops waiting for it.
    if (approved) m_sender.send_message(MSG_APPROVE, message.cookie, nullptr);
}

void SenderLinks::on_listen(const DecodedMessage& message) {
    Listener* listener = nullptr;
    const int port = port_of(message.info);
    {
        zel::MutexLock lock(m_mutex);
        // A text that is not a port is malformed: it would be echoed in "Listening " and shown.
        if (m_stopping || m_listeners.size() >= kMaxListeners || port == 0) {
            zel::logline("TQR: ignoring ", g_message_names[MSG_LISTEN], "for port ", message.info, ": ",
                         m_stopping ? "closing" : port == 0 ? "not a port" : "too many listeners");
            return;
        }
        // Counted from now on, so that stop() waits for the thread about to start.
        listener = new Listener;
        listener->waker = take_waker();
        listener->port = port;
        listener->port_text = message.info.substr(0, 99);
        listener->cookie = message.cookie;
        m_listeners.push_back(listener);
    }
    // The loop opens the port and answers at once: the endstation is on its way while the listener
    // thread wakes, and its wake-up is not on the rendezvous's path.
    zel::PartyEvent told = m_sender.own_event(zel::EVENT_LISTENING);
    told.port = listener->port_text;
    if (listener->socket.listen_reusable(port, kBacklog, true) == 0) {
        m_sender.send_message(MSG_PORT_IN_USE, message.cookie, listener->port_text.c_str());
        told.what = "in_use";
        if (zel::party_observed()) zel::report_party_event(told);
        discharge(listener);
        return;
    }
    {
        zel::MutexLock lock(m_mutex);
        listener->listening = true;
    }
    m_sender.send_message(MSG_LISTENING, message.cookie, listener->port_text.c_str());
    told.what = "listening";
    if (zel::party_observed()) zel::report_party_event(told);
    ListenRequest* request = static_cast<ListenRequest*>(malloc(sizeof(ListenRequest)));
    if (request != nullptr) {
        request->cookie = message.cookie;
        strncpy(request->port, message.info.c_str(), sizeof request->port - 1);
        request->port[sizeof request->port - 1] = '\0';
        request->caller = &m_sender;
        request->thread = pthread_t();
        // The listener calls the host's bridge: its stack is the host's default.
        if (zel::host_threads().run(Caller::s_listenthread, request)) return;
        free(request);
    }
    // The endstation sent here finds the port shut and says so ("Failed ").
    zel::logline("TQR: no listener thread for port ", message.info);
    close_listening(listener, listener->socket);
    discharge(listener);
}

void SenderLinks::listen(ListenRequest* request) {
    Listener* me = enlist(*request);
    free(request);
    if (me == nullptr) return;
    Connection& listening = me->socket;
    Connection* endstation = await_endstation(me, listening);
    close_listening(me, listening);
    if (endstation != nullptr) {
        // The port is closed: what the host does with the link no longer takes a listener's place,
        // so links that the host keeps a while never keep the next endstation from a listener.
        {
            zel::MutexLock lock(m_mutex);
            m_listeners.remove(me);
            ++m_bridging;
        }
        bridge(me, endstation);
        zel::MutexLock lock(m_mutex);
        --m_bridging;
        retire(me);
        m_gone.broadcast();
        return;
    }
    zel_inform(stderr, "sender accept of receiver failed =%d \n", 0);
    zel::PartyEvent unused = m_sender.own_event(zel::EVENT_LISTENER_UNUSED);
    unused.port = me->port_text;
    unused.what = "listening";
    if (zel::party_observed()) zel::report_party_event(unused);
    discharge(me);
}

SenderLinks::Listener* SenderLinks::enlist(const ListenRequest& request) {
    zel::MutexLock lock(m_mutex);
    // on_listen filed one for this request before it started the thread.
    for (Listener* listener : m_listeners) {
        if (listener->claimed || listener->cookie != request.cookie || listener->port_text != request.port) continue;
        listener->claimed = true;
        return listener;
    }
    return nullptr;
}

std::unique_ptr<zel::net::Waker> SenderLinks::take_waker() {
    // A waker of a listener that is gone is used again: a rendezvous then opens no descriptor for it.
    if (m_spare_wakers.empty()) return std::unique_ptr<zel::net::Waker>(new zel::net::Waker);
    std::unique_ptr<zel::net::Waker> waker = std::move(m_spare_wakers.back());
    m_spare_wakers.pop_back();
    return waker;
}

void SenderLinks::retire(Listener* listener) {
    // Out of the list: nothing can wake it any more, so a wake-up still pending is the last.
    listener->waker->quiet();
    if (listener->waker->usable() && m_spare_wakers.size() < kMaxListeners) m_spare_wakers.push_back(std::move(listener->waker));
    delete listener;
}

void SenderLinks::discharge(Listener* listener) {
    zel::MutexLock lock(m_mutex);
    m_listeners.remove(listener);
    retire(listener);
    m_gone.broadcast();
}

Connection* SenderLinks::await_endstation(Listener* me, Connection& listening) {
    const zel::Settings& limits = zel::settings();
    const double deadline = zel::now() + limits.listen_timeout;
    PortWatch watch(listening, m_sender.m_key, limits.keycheck_timeout, *me->waker);
    bool open = true;
    // Once the coordinator says the endstation reached this port, its connection is about to be
    // waiting here if it is not already (its last handshake packet may be behind the message): the
    // listener waits for it no longer than a key check may take, then closes the port.
    double happy_until = 0;
    while (!watch.has_winner() && (open || watch.checking())) {
        {
            zel::MutexLock lock(m_mutex);
            if (m_stopping) break;
            if (me->happy && happy_until == 0) happy_until = zel::now() + limits.keycheck_timeout;
        }
        double until = open ? deadline : zel::now() + limits.keycheck_timeout;
        if (open && happy_until > 0) until = std::min(until, happy_until);
        watch.round(until, open);
        for (const auto& intruder : watch.take_refused(false)) refuse(me, *intruder);
        double now = zel::now();
        bool nobody_came = happy_until > 0 && now >= happy_until && !watch.peer_waiting() && !watch.checking();
        if (open && (now >= deadline || watch.has_winner() || nobody_came)) {
            close_listening(me, listening);
            open = false;
        }
    }
    // One endstation per lent port: whoever else came is not it.
    for (const auto& intruder : watch.take_refused(true)) refuse(me, *intruder);
    return watch.take_winner();
}

void SenderLinks::refuse(Listener* me, const Connection& intruder) {
    // Knocked on our port without the key, or never said anything: closed, and the listener goes on
    // waiting for the endstation it was lent the port for.
    if (!zel::party_observed()) return;
    zel::PartyEvent refused = m_sender.own_event(zel::EVENT_KEY_REFUSED);
    refused.port = me->port_text;
    refused.peer = intruder.peer();
    zel::report_party_event(refused);
}

void SenderLinks::close_listening(Listener* me, Connection& listening) {
    listening.close_listener();
    bool answer;
    {
        zel::MutexLock lock(m_mutex);
        me->listening = false;
        answer = me->happy && !me->answered;
        me->answered = me->answered || answer;
    }
    if (answer) m_sender.send_message(MSG_SENDER_HAPPY, me->cookie, me->port_text.c_str());
}

void SenderLinks::bridge(Listener* me, Connection* endstation) {
    zel::PartyEvent step = m_sender.own_event(zel::EVENT_KEY_CHECKED);
    step.port = me->port_text;
    if (zel::party_observed()) {
        step.peer = endstation->peer();
        zel::report_party_event(step);
    }
    if (m_sender.has_bridge()) {
        zel_inform(stderr, "calling bridge to ssc endstation\n");
        step.kind = zel::EVENT_BRIDGED;
        if (zel::party_observed()) zel::report_party_event(step);
        m_sender.bridge_to_host(endstation->fd());
        zel_inform(stderr, "returning from bridge to ssc endstation\n");
    } else {
        zel_inform(stderr, "no bridge for endstation\n");
    }
    delete endstation;
}

void SenderLinks::on_endstation_happy(const DecodedMessage& message) {
    {
        zel::MutexLock lock(m_mutex);
        for (Listener* listener : m_listeners) {
            if (listener->cookie != message.cookie || listener->port_text != message.info || listener->answered) continue;
            if (listener->listening) {
                // The listener answers once it has closed the port: after the endstation is through,
                // or at once when nobody connected, as the endstation claimed.
                listener->happy = true;
                listener->waker->wake();
                return;
            }
            listener->answered = true;
            break;
        }
    }
    m_sender.send_message(MSG_SENDER_HAPPY, message.cookie, message.info.c_str());
}

void SenderLinks::stop() {
    zel::MutexLock lock(m_mutex);
    m_stopping = true;
    for (Listener* listener : m_listeners) listener->waker->wake();
    while (!m_listeners.empty() || m_bridging > 0) m_gone.wait(m_mutex);
}
