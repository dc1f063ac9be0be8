// PartySession: the coordinator's session of one joined party: what it may say and what becomes of
// it. Each message is checked against the party's role and handed to its conference, which advances
// the rendezvous it names; a party that keeps saying what its role or the state of its rendezvous does
// not allow, or that reports ports in use again and again, is dropped with a reason. The leave step
// takes the party out of its conference.
//
// Owned by the party's Caller (made by its join step). The Caller's loop thread calls handle() and
// ignore(); whoever finds its stream ended calls leave(); woken() and drop() may come from any thread
// that holds the Caller (the pool, the deadline thread, a conference's delivery). The counters are
// the loop thread's.
#ifndef ZEL_PROTOCOL_PARTY_SESSION_H
#define ZEL_PROTOCOL_PARTY_SESSION_H

#include <atomic>
#include <deque>
#include <memory>

class Caller;
class Conference;
struct DecodedMessage;

class PartySession {
public:
    // Messages in a row that a party may send to no effect before it is dropped.
    static constexpr int kMaxIgnoredInARow = 100;
    // Ports a sender may report in use within kInUseWindow seconds; one more drops it.
    static constexpr size_t kMaxPortsInUse = 3;
    static constexpr double kInUseWindow = 60.0;

    explicit PartySession(Caller& party) : m_party(party) {}
    PartySession(const PartySession&) = delete;
    PartySession& operator=(const PartySession&) = delete;

    // The conference the party joined; set by the join step before the party can send anything.
    void attach(std::shared_ptr<Conference> conference) { m_conference = std::move(conference); }

    void handle(const DecodedMessage& message);
    // A message of `type` (-1: none) that had no effect, and why.
    void ignore(int type, const char* why);
    // A port was reserved for this sender's conference.
    void woken();
    void drop(const char* reason, const char* detail);
    void leave();

private:
    void port_reported_in_use();

    Caller& m_party;
    std::shared_ptr<Conference> m_conference;
    int m_ignored_in_a_row = 0;
    std::deque<double> m_in_use_reports;
    std::atomic<bool> m_dropped{false};
    std::atomic<const char*> m_dropped_by{""};  // the rule that dropped the party
};

#endif
