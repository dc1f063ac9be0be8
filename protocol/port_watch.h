// PortWatch: what a sender's listener does on its lent port: it accepts whoever connects, sends each
// its key frame and reads theirs, side by side, so that a peer that stalls delays nobody else, and
// tells the one that passed the key check from those that did not (intruders, or peers that said
// nothing within the key check's time limit).
//
// Owned by one listener thread, for one listening socket; not thread-safe. A Waker lets other threads
// end a wait early.
#ifndef ZEL_PROTOCOL_PORT_WATCH_H
#define ZEL_PROTOCOL_PORT_WATCH_H

#include <memory>
#include <string>
#include <vector>

#include "protocol/connection.h"
#include "protocol/key_check.h"
#include "protocol/socket_ops.h"

class PortWatch {
public:
    // Peers checked at once; more wait in the listening socket's backlog.
    static constexpr size_t kMaxCandidates = 8;

    PortWatch(Connection& listening, const std::string& key, double keycheck_timeout, zel::net::Waker& waker)
        : m_listening(listening), m_key(key), m_frame(zel::masked_key_frame(key, true)), m_timeout(keycheck_timeout),
          m_waker(waker) {}
    PortWatch(const PortWatch&) = delete;
    PortWatch& operator=(const PortWatch&) = delete;

    // Waits until a peer connects or sends, the waker wakes, or `until` (zel::now() seconds, or a
    // candidate's own limit if earlier); then reads, judges and, with `accepting`, takes in new peers.
    void round(double until, bool accepting);
    // A peer waited in the backlog at the end of the last round.
    bool peer_waiting() const { return m_peer_waiting; }
    bool checking() const { return !m_candidates.empty(); }
    // The peer that passed, now the caller's; null while none did.
    Connection* take_winner() { return m_winner.release(); }
    bool has_winner() const { return m_winner != nullptr; }
    // Peers judged not to be the endstation since the last call, for the caller to report; at the end,
    // every candidate left too.
    std::vector<std::unique_ptr<Connection>> take_refused(bool all);

private:
    struct Candidate {
        std::unique_ptr<Connection> link;
        zel::KeyFrameReader frame;
        double deadline;
        bool complete;
    };
    void judge();
    void take_in();

    Connection& m_listening;
    const std::string& m_key;
    const std::string m_frame;
    const double m_timeout;
    zel::net::Waker& m_waker;
    std::vector<Candidate> m_candidates;
    std::vector<std::unique_ptr<Connection>> m_refused;
    std::unique_ptr<Connection> m_winner;
    bool m_peer_waiting = false;
};

#endif
