// Caller: one party's end of one TCP conversation with the coordinator.
//
// A sender or an endstation builds one Caller, connects it to the coordinator, starts its reader,
// negotiates and then runs process(). The coordinator builds one listening Caller, and one Caller(fd)
// per accepted party, on which it runs the same steps plus the join step.
//
// Ownership: the host creates and deletes Callers. A Caller owns m_conn; the endstation's direct link
// m_sender_conn passes to the host through the bridge. The destructor is safe at any time: it stops the
// reader (shutting the link down), waits for the reader, for the bridge thread and for the sender's
// listener threads, and for other threads that are writing to this Caller.
//
// Threads: the host thread runs negotiate() then process(); the reader thread fills m_queue; an
// endstation runs one bridge thread, a sender one listener thread per lent port; on the coordinator the
// process() threads of other Callers and the conference threads write on this Caller's link.
//
// Lock order: m_member_mutex, then the active list's locks. m_compose_mutex of the composing Caller,
// then m_send_mutex of the target Caller. The queue mutex and the listener mutex are leaves.
#ifndef ZEL_PROTOCOL_CALLER_H
#define ZEL_PROTOCOL_CALLER_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "common/export.h"
#include "protocol/connection.h"

class Caller;

// The host's function that takes over a key-checked, connected socket descriptor.
typedef void (*BridgeCallback)(int fd);

// The one bridge of the process; null until set_bridge_callback stores one. Atomic: hosts may replace
// it while library threads run.
extern std::atomic<BridgeCallback> g_bridge;

// Stores `fn` as the bridge (null removes it). Returns 0. Set it before any direct link can arrive.
extern "C" ZEL_API int set_bridge_callback(BridgeCallback fn);

// A Caller's first-in, first-out queue of received message texts (terminators not included).
typedef std::deque<std::string> InboundQueue;

// A wall-clock deadline for a timed condition wait. The arithmetic counts 100 ns ticks from
// 1601-01-01, the unit in which the deadline was first defined, so that deadlines come out to the tick.
struct AbsTime {
    timespec m_deadline{};
    // Ticks from 1601-01-01 to 1970-01-01; set on the first use of a fresh AbsTime.
    uint64_t epoch = 0;

    // The current time plus `seconds`.
    const timespec* after(double seconds);
    // The same, with the clock given as ticks since 1601-01-01 (for tests).
    const timespec* after_at(double seconds, uint64_t now_ticks_since_1601);
    // The wall clock (CLOCK_REALTIME) in ticks since 1601-01-01.
    static uint64_t clock_ticks();
};

// What a sender's message loop hands to a new listener thread; the thread frees it (with free()).
struct ListenRequest {
    Caller* cookie;    // echoed to the coordinator, never dereferenced
    char port[100];    // the port text of "Listen ", cut at 99 characters
    Caller* caller;    // the sender's own Caller
    pthread_t thread;  // the listener thread's handle
};

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

    // Message framing and the reader thread.
    ZEL_API int startreadthread();
    ZEL_API static void* s_readthread(void* caller);
    void readthread();
    // 1 when the text went to a connection, 0 when nothing was sent (type outside 0..12, "Success ").
    // For types 0, 5, 9 and 11 `other` must be a live Caller of this process: callers check cookies.
    int send_message(int type, Caller* other, const char* info);
    // The send result: bytes written, negative on failure.
    int send_text(const std::string& text);
    const std::string& nickname();

    // The handshake: 1 when the script was walked to its end, 0 when a listening phrase got nothing.
    ZEL_API int negotiate(int script, int iAm, int itIs);

    ZEL_API int coord_port();

    // Inbound queue: 1 with the oldest message in `out`; 0 on time-out or once the link has ended and
    // the queue is empty (then `out` is unchanged).
    int receive(std::string& out, double timeout);
    int has_message();
    std::string pop_message();

    // The message loop. Returns 0.
    ZEL_API int process();

    // Direct link.
    ZEL_API static void* s_ssc_pt(void* caller);
    int check_keys(Connection* conn);
    bool is_sender();
    void listenthread(ListenRequest* request);
    static void* s_listenthread(void* request);

    // Conference membership (coordinator side).
    bool joinconference();
    void leaveconference();

    // True once the reader thread has finished with this Caller (or was never started).
    bool reader_done() const { return m_reader_state.load(std::memory_order_acquire) != ReaderRunning; }
    // Waits until the reader has finished.
    void wait_reader_done();
    // True once the reader has left its loop: no message can arrive any more.
    bool link_ended();
    // True when the coordinator refused this sender ("RejectedSender "); process() then returned.
    bool rejected() const { return m_rejected.load(std::memory_order_acquire); }

    // Fields, in their historic order; open to the host.
    pthread_t m_readthread;
    pthread_t m_ssc_pt;
    pthread_mutex_t m_compose_mutex;  // one composition at a time by this Caller; before m_send_mutex
    pthread_mutex_t m_send_mutex;     // every write on m_conn; a leaf once taken
    pthread_mutex_t m_queue_mutex;    // guards m_queue and m_link_ended; a leaf
    pthread_cond_t m_queue_cond;      // signalled per queued message and when the link ends
    std::string m_host;
    std::string m_confid;
    std::string m_key;
    std::string m_nickname;
    std::string m_status;
    InboundQueue m_queue;
    double m_version;
    int m_type;
    std::atomic<int> m_stopread;
    int m_joined;
    Connection* m_conn;
    Connection* m_sender_conn;

private:
    enum ReaderState { ReaderNotStarted, ReaderRunning, ReaderFinished };

    void init(Connection* conn);
    // receive(), but also ends (result 2) when the port pool wakes this Caller for a freed port.
    int wait_message(std::string& out, double timeout, bool port_wakeups);
    void handle(const struct DecodedMessage& message, bool& done);
    // Lends a port for the endstation `cookie` and sends "Listen "; false when no port is free (this
    // Caller is then woken by port_freed() once one is).
    bool lend_port(const void* cookie, const std::string& nickname);
    void serve_waiting_approvals();
    void on_connect(const void* cookie, const std::string& info);
    void on_adios();
    void on_rejected();
    bool listener_started();
    void listener_waiting(Connection* listening, bool waiting);
    void listener_finished();
    // A listener holds its port from before its bind until it closes its listening socket; a later
    // listener of this sender for the same port waits (at most 5 s) until the earlier one is done.
    void claim_port(int port);
    void release_port(int port);

public:
    // Called by the port pool (under its lock) when a port came back for this waiting Caller.
    void port_freed();

private:
    // Coordinator side, used only by the thread that runs process(): approvals waiting for a free port.
    std::deque<const void*> m_waiting_approvals;
    bool m_port_wakeup = false;  // guarded by m_queue_mutex

    // Guarded by m_queue_mutex: the reader has left its loop, so receive() stops waiting; the reader
    // has taken its last lock.
    bool m_link_ended = false;
    bool m_reader_finishing = false;
    std::atomic<int> m_reader_state{ReaderNotStarted};
    std::atomic<bool> m_rejected{false};
    bool m_ssc_started = false;  // the bridge thread runs and is not joined yet (host thread only)
    std::atomic<bool> m_bridged{false};  // m_sender_conn's socket has passed to the host

    // Orders the handshake's writes of m_type and m_confid, the join step and the leave step, so that
    // a party whose link ended before it joined is never filed. Taken before the active list's mutex.
    pthread_mutex_t m_member_mutex;
    bool m_left = false;  // guarded by m_member_mutex: the leave step has run

    // Guards the three fields below; a leaf. This sender's listener threads hold its address, so the
    // destructor wakes them (shutting their listening sockets down) and waits until none is left.
    pthread_mutex_t m_listener_mutex;
    pthread_cond_t m_listener_cond;
    int m_listeners = 0;
    std::vector<Connection*> m_listening;  // the listeners' connections while they wait in accept
    std::multiset<int> m_claimed_ports;    // ports this sender's listeners hold
    bool m_closing = false;                // the destructor runs: no new listener may start
};

#endif
