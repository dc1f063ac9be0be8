// EndstationLink: an endstation's side of its direct link. On "Connect " it connects to the sender at
// the coordinator's host, sends its key frame and answers "Connected " (or "Failed "). The bridge
// thread (s_ssc_pt) reads and judges the sender's frame and, when the keys match, hands the socket to
// the host; on "Adios " the loop closes the coordinator link and waits for the bridge thread.
//
// Owned by the endstation's Caller, created on its first "Connect "; used by the Caller's loop thread,
// by the bridge thread between its start and its Completion (m_step and the link are its alone then),
// and by the Caller's destructor, which waits for a bridge thread still running before it deletes the
// link: the thread finds the link through the Caller. The link itself is the Caller's m_sender_conn,
// the thread handle its m_ssc_pt.
#ifndef ZEL_PROTOCOL_ENDSTATION_LINK_H
#define ZEL_PROTOCOL_ENDSTATION_LINK_H

#include <atomic>
#include <memory>

#include "protocol/party_events.h"

namespace zel {
class Completion;
}

class Caller;
struct DecodedMessage;

class EndstationLink {
public:
    explicit EndstationLink(Caller& endstation) : m_endstation(endstation) {}
    ~EndstationLink();
    EndstationLink(const EndstationLink&) = delete;
    EndstationLink& operator=(const EndstationLink&) = delete;

    void on_connect(const DecodedMessage& message);
    void on_adios();
    // The bridge thread's body.
    void bridge();
    // True once the key-checked link passed to the host.
    bool bridged() const { return m_bridged.load(); }
    // Waits for a bridge thread that still runs (the host's callback, or a key check under way). The
    // loop's thread, or the owner once the loop is over.
    void await_bridge() { join_bridge(); }

private:
    // The key check on the direct link, told as party events. true when the link may pass to the host.
    bool check_keys(bool bridging);
    void join_bridge();

    Caller& m_endstation;
    bool m_bridge_started = false;      // the loop thread's: a bridge thread runs, not waited for yet
    std::shared_ptr<zel::Completion> m_bridge_done;
    std::atomic<bool> m_bridged{false};  // m_sender_conn's socket has passed to the host
    zel::PartyEvent m_step;              // what is told of this link
};

#endif
