// Caller: one party's end of one TCP conversation of the rendezvous protocol.
//
// A sender or an endstation builds one Caller, connects it to the coordinator, starts its reader,
// negotiates and then runs process(). The coordinator builds one listening Caller, and one Caller(fd)
// per accepted party, on which it runs the same steps plus the join step. Behind this facade each
// concern has a unit of its own: the inbound queue (inbound_queue.h), the sender's listeners
// (sender_links.h), the endstation's link and bridge thread (endstation_link.h), the coordinator's
// session of one party (party_session.h), the key check (key_check.h), the settings (settings.h).
//
// Ownership: the host creates and deletes Callers. A Caller owns m_conn and its units; the endstation's
// direct link m_sender_conn passes to the host through the bridge. The destructor is safe at any time:
// it stops and joins the reader, waits for the bridge thread and the sender's listeners, and for other
// threads that are writing to this Caller through its cookie.
//
// Threads: the host thread runs negotiate() then process(), which read the link themselves; a reader
// (on a pool thread) reads it after process() returned, while the stream goes on; an endstation runs
// one bridge, a sender one listener per lent port (pool threads); on the coordinator the sessions of
// other parties, the pool and the deadline thread reach this Caller through g_parties.
//
// Lock order, outermost first (each mutex's own comment says what it guards):
//   1. Caller::m_member_mutex      the join and leave steps of one coordinator Caller
//   2. Activelist::m_mutex         the conference registry
//   3. Conference::m_mutex         one conference's members and rendezvous
//   4. Portmanager::m_mutex        the port pool
//   5. Deadlines::m_mutex, PartyRegistry::m_mutex   leaves
// and, on their own chain, taken with none of the above held:
//   Caller::m_compose_mutex of the composing Caller, then Caller::m_send_mutex of the one written to;
//   Caller::m_queue_mutex, SenderLinks::m_mutex, CoordinatorServer::m_mutex, ThreadPool::m_mutex: leaves.
// The log and inform locks of common/ are leaves under everything. No lock is held while a message is
// sent to another party, but for the send mutex of that party.
#ifndef ZEL_PROTOCOL_CALLER_H
#define ZEL_PROTOCOL_CALLER_H

#include <pthread.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/export.h"
#include "protocol/clock.h"
#include "protocol/connection.h"
#include "protocol/cookie.h"
#include "protocol/framing.h"
#include "protocol/inbound_queue.h"
#include "protocol/mutex.h"

class Caller;
class EndstationLink;
namespace zel {
class Completion;
struct CallerAccess;
struct PartyEvent;
namespace net {
class Waker;
}
}  // namespace zel
class PartySession;
class SenderLinks;
struct DecodedMessage;

// The host's function that takes over a key-checked, connected socket descriptor.
typedef void (*BridgeCallback)(int fd);

// The one bridge of the process; null until set_bridge_callback stores one. Atomic: hosts may replace
// it while library threads run.
extern std::atomic<BridgeCallback> g_bridge;

// Stores `fn` as the bridge (null removes it). Returns 0. Set it before any direct link can arrive.
extern "C" ZEL_API int set_bridge_callback(BridgeCallback fn);

// What a sender's message loop hands to a new listener thread, which frees it (with free()).
struct ListenRequest {
    Cookie cookie;     // echoed to the coordinator
    char port[100];    // the port text of "Listen ", cut at 99 characters
    Caller* caller;    // the sender's own Caller
    pthread_t thread;  // unused: listeners are not joined
};

// Decides, for a sender's host, whether to take the endstation `nickname` that was nominated to it.
typedef bool (*ApprovalPolicy)(const std::string& nickname, void* context);

class Caller {
public:
    ZEL_API Caller();
    ZEL_API explicit Caller(int fd);
    ZEL_API ~Caller();
    Caller(const Caller&) = delete;
    Caller& operator=(const Caller&) = delete;

    // Stores the identity, then connects to the coordinator: 1 connected, 0 failed.
    ZEL_API int connect(int port, const char* host, int type, const char* nickname, const char* confid,
                        const char* key);
    // The listening descriptor, 0 on failure. With `existing` non-zero, `port` is a listening socket.
    ZEL_API int listen(int port, int backlog, int existing);
    // The descriptor of the next party (for a Caller(fd) that then owns it), 0 on failure.
    ZEL_API int accept(int arg);

    // The reader thread, which reads the stream into m_queue while no loop reads it itself: negotiate()
    // and process() read the link themselves, and the reader starts only if the stream goes on after
    // process() returned. startreadthread returns 1.
    ZEL_API int startreadthread();
    ZEL_API static void* s_readthread(void* caller);
    void readthread();
    // Instead of startreadthread(): no reader thread; negotiate() and process() read the link
    // themselves, and whoever finds the stream ended runs the leave step (the coordinator host).
    void read_without_reader();

    // The handshake: 1 when the script was walked to its end, 0 when a listening phrase got nothing
    // before its own time limit or the handshake's (TQR_HANDSHAKE_TIMEOUT) passed.
    ZEL_API int negotiate(int script, int iAm, int itIs);

    ZEL_API int coord_port();

    // The message loop. Returns 0: on "Adios " (an endstation, once its bridge thread has ended), on
    // "RejectedSender " (see rejected()), when the link has ended and every message was taken, or when
    // no message came for 1,000,000 seconds.
    ZEL_API int process();

    // The endstation's bridge thread.
    ZEL_API static void* s_ssc_pt(void* caller);

    // Composes `type` about `about` with `info` and writes it on this Caller's link: 1 when all of it
    // was written, 0 when not (type outside 0..12 or "Success ", too long, or the write failed).
    int send_message(int type, Cookie about, const char* info);
    // Writes `text` and its terminator in one send under m_send_mutex: the send result. A write that
    // timed out or went out in part shuts the link down, since the stream can no longer be framed.
    int send_text(const std::string& text);
    // Writes `frames` (texts, each with its terminator) in one send, and empties it.
    void send_texts(std::string& frames);
    const std::string& nickname() const { return m_nickname; }

    // Inbound queue: 1 with the oldest message in `out`; 0 on time-out or once the link has ended and
    // the queue is empty (then `out` is unchanged).
    int receive(std::string& out, double timeout);
    int has_message() { return m_queue.has_message() ? 1 : 0; }
    std::string pop_message() { return m_queue.pop_front(); }

    // The key check on `conn` from this side: 1 keys match, 0 otherwise.
    int check_keys(Connection* conn);
    bool is_sender() const;
    void listenthread(ListenRequest* request);
    static void* s_listenthread(void* request);

    // Conference membership, on the coordinator. joinconference: false for a second sender of a
    // conference, a party whose link already ended, or one refused by a rule (see refusal()).
    bool joinconference();
    void leaveconference();
    // Why joinconference() refused this party by a rule ("" when it did not).
    const char* refusal() const { return m_refusal; }

    // True once the reader has finished with this Caller (or was never started).
    bool reader_done() const { return m_reader_done.load(); }
    // True once the reader has left its loop: no message can arrive any more.
    bool link_ended() { return m_queue.ended(); }
    // True when the reader ended on a message longer than a reader accepts.
    bool overlong() const { return m_overlong.load(); }
    // Waits at most `seconds` for the reader to leave its loop; true once it has.
    bool wait_link_ended(double seconds);
    // True when the coordinator refused this sender ("RejectedSender "); process() then returned.
    bool rejected() const { return m_rejected.load(); }
    // Between negotiate() and process(): reads the link for at most `seconds`. true when the
    // coordinator's first word is "RejectedSender " or the link ends; what came stays for process().
    // A coordinator tells a sender only a refusal, never an acceptance: this is how a host learns it
    // was taken in.
    bool refused_within(double seconds);

    // The host of a sender decides which nominations it approves (null: all). Set before process().
    void set_approval_policy(ApprovalPolicy policy, void* context);
    bool approves(const std::string& nickname) const;

    // Coordinator side: a port was reserved for this sender's conference (on a thread of the pool).
    void port_reserved();
    // Coordinator side: drops this party by rule `reason`; its link is shut down and its reader's end
    // does the rest. Any thread, while the Caller is held.
    void drop(const char* reason, const char* detail);
    // Closes the link to the peer so that the reader ends (it closes the descriptor itself).
    void close_link();
    // The same from the message loop's own thread: while the loop holds the reading no reader is in a
    // read on the link, so the descriptor is closed at once.
    void close_link_from_loop();
    // An event about this Caller's party: its role, conference, peer and (an endstation's) nickname.
    zel::PartyEvent own_event(int kind) const;

    // Fields, in their historic order; open to the host. The identity strings, m_type and m_version
    // are written by connect() or negotiate() before other threads read them.
    pthread_t m_readthread;
    pthread_t m_ssc_pt;
    zel::Mutex m_compose_mutex;  // one composition at a time by this Caller; before m_send_mutex
    zel::Mutex m_send_mutex;     // every write on m_conn; nothing is taken under it but the log
    zel::Mutex m_queue_mutex;    // guards m_queue's messages and state
    zel::CondVar m_queue_cond{CLOCK_REALTIME};  // any change of m_queue; the timed receive's clock
    std::string m_host;
    std::string m_confid;
    std::string m_key;
    std::string m_nickname;
    std::string m_status;
    InboundQueue m_queue{m_queue_mutex, m_queue_cond};
    double m_version;
    int m_type;
    std::atomic<int> m_stopread;
    int m_joined;
    Connection* m_conn;
    Connection* m_sender_conn;

private:
    friend class EndstationLink;
    friend class SenderLinks;
    friend struct zel::CallerAccess;
    // Holds the reading of the link for negotiate() or process(): the reader thread reads only once
    // it goes (with `give_back`; negotiate() keeps the reading for the process() that follows).
    class LoopReading {
    public:
        LoopReading(Caller& caller, bool give_back);
        ~LoopReading();
        LoopReading(const LoopReading&) = delete;
        LoopReading& operator=(const LoopReading&) = delete;

    private:
        Caller& m_caller;
        bool m_give_back;
    };

    // The role's handler of one decoded message. true when the loop is done.
    bool dispatch(const DecodedMessage& message);
    void on_rejected();
    SenderLinks& links();
    EndstationLink& link();
    // 1 a message, 0 time-out or the stream ended.
    int wait_message(std::string& out, double timeout);
    int write_frames(const char* bytes, int length, const std::string& logged);
    // One read of the link into the queue.
    enum ReadResult { READ_MORE, READ_TIMED_OUT, READ_ENDED };
    // Reads once and frames what came. With `first`, a loop that found the queue empty takes the
    // first whole message there instead of through the queue (the rest go in as ever); `*took` says
    // whether it did.
    ReadResult read_some(std::string* first = nullptr, bool* took = nullptr);
    // A loop's own reading: until a message is queued, the stream ends, or `until` (zel::now()).
    InboundQueue::PopResult read_until_message(std::string* out, double until);
    // The end of the stream, once, whoever found it: the closing lines, the queue's end, the leave step.
    void finish_stream();
    void start_reader();

    // Orders the handshake's writes of m_type, m_confid and m_nickname, the join step and the leave
    // step, so that a party whose link ended before it joined is never filed. Before the registry's.
    zel::Mutex m_member_mutex;
    bool m_left ZEL_GUARDED_BY(m_member_mutex) = false;  // the leave step has run
    const char* m_refusal = "";

    // The units of the roles this Caller plays, made when first needed. m_session is made by the join
    // step before any other thread can reach the Caller through its cookie, and lives as long as it.
    std::unique_ptr<PartySession> m_session;
    std::unique_ptr<SenderLinks> m_links;
    std::unique_ptr<EndstationLink> m_link;

    // The reading of the link (see inbound_queue.h). The framer belongs to whoever reads: the reader
    // thread, or a loop holding a LoopReading; m_loop_reads is the loop thread's.
    Framer m_framer;
    std::atomic<unsigned> m_delivered{0};
    bool m_loop_reads = false;
    bool m_blocking_reads = false;  // process() reads with blocking calls
    bool m_self_reading = false;
    bool m_reader_wanted = false;  // the host asked for a reader (startreadthread)
    bool m_reader_started = false;
    std::unique_ptr<zel::net::Waker> m_waker;  // ends the reader's wait for bytes, when a loop takes over
    std::shared_ptr<zel::Completion> m_reader_finished;
    std::atomic<bool> m_reader_done{true};
    std::atomic<bool> m_stream_finished{false};
    std::atomic<bool> m_overlong{false};
    std::atomic<bool> m_rejected{false};
    ApprovalPolicy m_approval_policy = nullptr;
    void* m_approval_context = nullptr;

    // Whether a key-checked direct link has a taker: this Caller's bridge handler, else the process's.
    bool has_bridge() const;
    // Hands `fd` to that taker, on the listener's or the bridge's thread.
    void bridge_to_host(int fd);
    // The host's bridge for this Caller (host.h), before the process-wide one; set before process().
    void (*m_bridge_handler)(int fd, void* context) = nullptr;
    void* m_bridge_context = nullptr;
    std::atomic<int> m_process_end{0};  // a zel::ProcessEnd, set as process() returns
    std::atomic<bool> m_closed_by_host{false};
};

#endif
