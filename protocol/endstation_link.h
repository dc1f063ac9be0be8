// EndstationLink: an endstation's side of its direct link. On "Connect " it connects to the sender at
// the coordinator's host, answers "Connected " (or "Failed "), runs the key check and, when the keys
// match, hands the socket to the host on the bridge thread (s_ssc_pt); on "Adios " it closes the
// coordinator link and waits for the bridge thread.
//
// Owned by the endstation's Caller, created on its first "Connect "; used by the Caller's loop thread,
// and by its destructor, which joins a bridge thread still running. The link itself is the Caller's
// m_sender_conn, the thread handle its m_ssc_pt.
#ifndef ZEL_PROTOCOL_ENDSTATION_LINK_H
#define ZEL_PROTOCOL_ENDSTATION_LINK_H

#include <atomic>
#include <memory>

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

private:
    void join_bridge();

    Caller& m_endstation;
    bool m_bridge_started = false;      // the loop thread's: a bridge thread runs, not waited for yet
    std::shared_ptr<zel::Completion> m_bridge_done;
    std::atomic<bool> m_bridged{false};  // m_sender_conn's socket has passed to the host
};

#endif
