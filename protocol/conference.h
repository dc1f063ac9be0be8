// Conference: the coordinator's record of one conference: at most one sender, the endstations waiting
// to be put in touch with it (in joining order), and the rendezvous under way, each with the answer it
// waits for and the time by which that answer is due.
//
// A rendezvous goes: nominated (the sender owes "Approve "), waiting for a port, "Listen " sent (the
// sender owes "Listening " or "Port_In_Use "), "Connect " sent (the endstation owes "Connected " or
// "Failed "), "Endstation Happy " sent (the sender owes "Sender Happy "), done. An answer missed by its
// time drops the party that owed it. When a sender leaves or is dropped, the endstations it had not yet
// sent anywhere go back to the head of the queue, in their order, for the conference's next sender.
//
// Nominations are made by whichever thread finds them due (a join, an answer of the sender, the end of
// a rendezvous, the pacing timer): the next endstation is nominated as soon as the sender has answered
// every nomination, or a second after the previous one while fewer than kMostUnanswered wait for an
// answer; no more rendezvous run at once than the pool has ports. Messages are composed under m_mutex and sent after it is released.
//
// Ownership: shared by the registry (g_activelist), which files it while it has members, and by the
// sessions of its members; timers hold it weakly. The members are the coordinator's Callers, which the
// conference never follows as pointers except while they are members (each leaves before it can be
// destroyed) or held through g_parties. Every operation may be called from any thread; m_mutex comes
// after the registry's and before the port pool's.
#ifndef ZEL_PROTOCOL_CONFERENCE_H
#define ZEL_PROTOCOL_CONFERENCE_H

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "protocol/cookie.h"
#include "protocol/mutex.h"
#include "protocol/party_report.h"

class Caller;
struct PortEntry;

// How a message that names a rendezvous fared.
enum Verdict {
    ACTED,    // it advanced a rendezvous
    STALE,    // it names a rendezvous that has just ended: a late answer, no fault of the sender's
    REFUSED,  // it fits no rendezvous: the party should not have sent it
};

class Conference : public std::enable_shared_from_this<Conference> {
public:
    Conference(const std::string& confid, uint64_t serial);
    ~Conference();
    Conference(const Conference&) = delete;
    Conference& operator=(const Conference&) = delete;

    // Nominations a sender may leave unanswered while the queue moves on, and the most time between
    // two nominations while it does.
    static constexpr size_t kMostUnanswered = 8;
    static constexpr double kNominationInterval = 1.0;
    // Rendezvous of one sender under way at once for endstations of one address: the others of
    // that address wait, and those of other addresses go past them. One address that joins a
    // conference many times and never answers "Connect " holds only as many ports, for the deadline,
    // not the pool; a crowd behind one address is served as many at a time, each in a moment.
    static constexpr size_t kMostPerSource = kMostUnanswered;

    const std::string& confid() const { return m_confid; }
    // Whether a sender is a member now.
    bool has_sender() ZEL_EXCLUDES(m_mutex);
    uint64_t serial() const { return m_serial; }

    // Membership. addcaller: false only for a second sender. The leave steps, with why the party left
    // ("" when it left by itself, else the rule that dropped it): true when the conference is left
    // with no member and no rendezvous.
    bool addcaller(Caller* caller, const std::string& confid) ZEL_EXCLUDES(m_mutex);
    bool dropreceiver(Caller* endstation, const char* dropped_by) ZEL_EXCLUDES(m_mutex);
    bool dropsender(Caller* sender, const char* dropped_by) ZEL_EXCLUDES(m_mutex);
    // Sends the nominations that are due.
    void signal() ZEL_EXCLUDES(m_mutex);
    bool empty() ZEL_EXCLUDES(m_mutex);
    size_t waiting() ZEL_EXCLUDES(m_mutex);

    // Messages that reach the coordinator, from the sender `sender` or the endstation `endstation`.
    Verdict on_approve(Caller* sender, Cookie endstation) ZEL_EXCLUDES(m_mutex);
    Verdict on_listening(Caller* sender, Cookie endstation, const std::string& port) ZEL_EXCLUDES(m_mutex);
    Verdict on_port_in_use(Caller* sender, Cookie endstation, const std::string& port) ZEL_EXCLUDES(m_mutex);
    Verdict on_sender_happy(Caller* sender, Cookie endstation, const std::string& port) ZEL_EXCLUDES(m_mutex);
    Verdict on_connected(Caller* endstation, Cookie sender, const std::string& port) ZEL_EXCLUDES(m_mutex);
    Verdict on_failed(Caller* endstation, Cookie sender) ZEL_EXCLUDES(m_mutex);
    // The sender's loop was woken: a port was reserved for this conference.
    void serve_waiting() ZEL_EXCLUDES(m_mutex);

private:
    enum Stage { NOMINATED, WAITING_PORT, LISTEN_SENT, CONNECT_SENT, HAPPY_SENT };

    struct Rendezvous {
        Cookie endstation;
        Cookie sender;           // empty once the sender has left
        Cookie first_sender;     // the sender it was nominated to
        Caller* endstation_caller;
        uint32_t source = 0;     // the endstation's IPv4 address, 0 when not known
        std::string nickname;
        Stage stage;
        uint64_t sequence;       // nomination order
        const PortEntry* port = nullptr;  // while lent to this rendezvous
        std::string port_text;            // the last port lent, for the answers that name it
        double started = 0;
        double listen_sent = 0;
        double listening_heard = 0;
        double due = 0;          // when the answer owed is given up on; 0: none is owed
        uint64_t timer = 0;      // the armed deadline, at or before `due`; 0: none
    };

    // What to do once m_mutex is released: messages to send, parties to drop, events to report.
    struct Send {
        Cookie to;
        int role;
        int type;
        Cookie about;
        std::string info;
    };
    struct Drop {
        Cookie party;
        int role;
        const char* waited;
    };
    struct Outbox {
        std::vector<Send> sends;
        std::vector<Drop> drops;
        std::vector<zel::PartyEvent> events;
        std::vector<std::string> recycle;  // ports of completed rendezvous, back after the sends
        bool forget_waiter = false;
    };

    Rendezvous* find(Cookie endstation) ZEL_REQUIRES(m_mutex);
    // The rendezvous of `endstation` when it waits for the answer of `stage` from `sender` (the one it
    // was nominated to, for "Connected " and "Failed "), about `port` when that is not null; else null.
    Rendezvous* awaiting(Cookie endstation, Cookie sender, Stage stage, const std::string* port) ZEL_REQUIRES(m_mutex);
    // The verdict on an answer that fits no rendezvous.
    Verdict missed(Cookie endstation, Cookie sender) ZEL_REQUIRES(m_mutex);
    void nominate_due(Outbox* out) ZEL_REQUIRES(m_mutex);
    // Makes sure nominate_due runs again at `at`.
    void pace(double at) ZEL_REQUIRES(m_mutex);
    // Lends a port and sends "Listen ", or files the rendezvous as waiting for one.
    void give_port(Rendezvous* r, Outbox* out) ZEL_REQUIRES(m_mutex);
    void serve_waiting(Outbox* out) ZEL_REQUIRES(m_mutex);
    // Starts the time limit of the answer that `r` waits for now.
    void await(Rendezvous* r) ZEL_REQUIRES(m_mutex);
    // Schedules the timer of `r` at its `due`.
    void arm(Rendezvous* r) ZEL_REQUIRES(m_mutex);
    void stop_waiting(Rendezvous* r) ZEL_REQUIRES(m_mutex);
    // The port of an abandoned rendezvous returns once no listener can hold it.
    void release_port(Rendezvous* r) ZEL_REQUIRES(m_mutex);
    // Ends `r` (erases it) with `outcome`, remembering it for late answers.
    void end(Cookie endstation, const char* outcome, const char* why, Outbox* out) ZEL_REQUIRES(m_mutex);
    void requeue(std::vector<Rendezvous>& sent_nowhere) ZEL_REQUIRES(m_mutex);
    // Whether an answer about an ended rendezvous is a late one: a party may be late a few times for
    // each rendezvous of its that ended, not more.
    bool is_stale(Cookie endstation, Cookie sender) ZEL_REQUIRES(m_mutex);
    bool is_empty() ZEL_REQUIRES(m_mutex);
    zel::PartyEvent event(zel::PartyEventKind kind, const Rendezvous& r) ZEL_REQUIRES(m_mutex);
    void deadline_passed(Cookie endstation, uint64_t sequence) ZEL_EXCLUDES(m_mutex);
    // Sends, drops and reports what `out` holds. Called without m_mutex.
    void deliver(Outbox& out) ZEL_EXCLUDES(m_mutex);

    const std::string m_confid;
    const uint64_t m_serial;

    zel::Mutex m_mutex;
    Caller* m_sender ZEL_GUARDED_BY(m_mutex) = nullptr;
    std::deque<Caller*> m_receivers ZEL_GUARDED_BY(m_mutex);  // waiting, oldest first
    std::map<Cookie, Rendezvous> m_rendezvous ZEL_GUARDED_BY(m_mutex);  // under way, by endstation
    std::list<Cookie> m_waiting_port ZEL_GUARDED_BY(m_mutex);           // approved, in approval order
    struct Ended {
        Cookie endstation, sender;
        int late_answers;
    };
    std::deque<Ended> m_ended ZEL_GUARDED_BY(m_mutex);  // recent rendezvous, for late answers
    uint64_t m_sequence ZEL_GUARDED_BY(m_mutex) = 0;
    double m_last_nomination ZEL_GUARDED_BY(m_mutex) = 0;
    uint64_t m_pacing_timer ZEL_GUARDED_BY(m_mutex) = 0;  // scheduled by pace(), 0: none
};

#endif
