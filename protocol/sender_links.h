// SenderLinks: a sender's side of its direct links. On "Nominate " it approves (unless its host
// declines); on "Listen " it starts a listener thread on the lent port; on "Endstation Happy " it makes
// sure that no listener of its own still holds that port before it answers "Sender Happy ", so the
// coordinator never lends a port that this sender's listener could still take.
//
// "Endstation Happy " with nobody through yet gives the endstation's connection the key check's time
// limit to show up; then the port is closed. A listener accepts whoever connects until one peer passes
// the key check or its time limit passes:
// a connection that fails the check, or stalls it, is an intruder; it is closed and counted, and the
// real endstation still gets through. Candidates are checked side by side, so a staller delays nobody.
//
// Owned by the sender's Caller, created on the first message that needs it. The Caller's loop thread
// calls the on_* members; each listener thread runs listen(); stop() (from the Caller's destructor)
// wakes every listener and waits until none is left and no link is still in the host's bridge. m_mutex is a leaf but for the sends made after
// it is released.
#ifndef ZEL_PROTOCOL_SENDER_LINKS_H
#define ZEL_PROTOCOL_SENDER_LINKS_H

#include <list>
#include <memory>
#include <string>
#include <vector>

#include "protocol/cookie.h"
#include "protocol/mutex.h"
#include "protocol/socket_ops.h"

class Caller;
class Connection;
struct DecodedMessage;
struct ListenRequest;

class SenderLinks {
public:
    explicit SenderLinks(Caller& sender) : m_sender(sender) {}
    ~SenderLinks();
    SenderLinks(const SenderLinks&) = delete;
    SenderLinks& operator=(const SenderLinks&) = delete;

    void on_nominate(const DecodedMessage& message);
    void on_listen(const DecodedMessage& message) ZEL_EXCLUDES(m_mutex);
    void on_endstation_happy(const DecodedMessage& message) ZEL_EXCLUDES(m_mutex);
    // The listener thread's body for a request of on_listen(); frees the request.
    void listen(ListenRequest* request) ZEL_EXCLUDES(m_mutex);
    void stop() ZEL_EXCLUDES(m_mutex);

private:
    struct Listener;

    Listener* enlist(const ListenRequest& request) ZEL_EXCLUDES(m_mutex);
    void discharge(Listener* listener) ZEL_EXCLUDES(m_mutex);
    std::unique_ptr<zel::net::Waker> take_waker() ZEL_REQUIRES(m_mutex);
    // Deletes a listener that has left m_listeners, keeping its waker for the next one.
    void retire(Listener* listener) ZEL_REQUIRES(m_mutex);
    // Accepts and checks candidates until one passes, the time limit passes, or the endstation said it
    // connected and nobody else waits: the peer that passed (owned by the caller), or null.
    Connection* await_endstation(Listener* listener, Connection& listening) ZEL_EXCLUDES(m_mutex);
    // Closes the listening socket; a "Sender Happy " that waited for that goes out now.
    void close_listening(Listener* listener, Connection& listening) ZEL_EXCLUDES(m_mutex);
    void bridge(Listener* listener, Connection* endstation);
    void refuse(Listener* listener, const Connection& intruder);

    Caller& m_sender;
    zel::Mutex m_mutex;
    zel::CondVar m_gone;  // a listener left
    std::list<Listener*> m_listeners ZEL_GUARDED_BY(m_mutex);  // waiting for their endstation; at most kMaxListeners
    size_t m_bridging ZEL_GUARDED_BY(m_mutex) = 0;           // links in the host's hands
    bool m_stopping ZEL_GUARDED_BY(m_mutex) = false;
    std::vector<std::unique_ptr<zel::net::Waker>> m_spare_wakers ZEL_GUARDED_BY(m_mutex);  // at most kMaxListeners
};

#endif
