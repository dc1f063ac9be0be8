// InboundQueue: a Caller's first-in, first-out queue of received message texts (terminators not
// included), filled by its reader thread and taken by the thread that runs the handshake and the
// message loop.
//
// Bounded: it holds at most kQueueBytes (each message counted with an overhead, so a flood of empty
// messages is bounded too). A reader that finds it full waits until the loop has taken messages, and
// reads nothing meanwhile, so TCP flow control holds back the party that floods, and only it.
//
// The mutex and condition variable are the Caller's (m_queue_mutex, m_queue_cond), which live at
// least as long as the queue. The condition measures time on the wall clock (the timed receive's
// deadline, AbsTime, is defined there). Every member may be called from any thread.
#ifndef ZEL_PROTOCOL_INBOUND_QUEUE_H
#define ZEL_PROTOCOL_INBOUND_QUEUE_H

#include <ctime>
#include <deque>
#include <string>

#include "protocol/mutex.h"

class InboundQueue {
public:
    // Bytes the queue holds at most, counting kMessageOverhead for each message.
    static constexpr size_t kQueueBytes = 64 * 1024;
    static constexpr size_t kMessageOverhead = 32;

    enum PopResult {
        POP_MESSAGE,    // `out` holds the oldest message
        POP_TIMED_OUT,  // the deadline passed (or the wait failed)
        POP_ENDED,      // the reader has ended and every message was taken
        POP_WOKEN,      // wake() was called while a wakeable pop waited, or before it
    };

    InboundQueue(zel::Mutex& mutex, zel::CondVar& cond) : m_mutex(mutex), m_cond(cond) {}
    InboundQueue(const InboundQueue&) = delete;
    InboundQueue& operator=(const InboundQueue&) = delete;

    // Appends `text`, waiting while the queue is full. false once the queue is closed: the message is
    // dropped and the reader should end.
    bool push(std::string text);
    // No message follows (the reader has left its loop): receivers stop waiting once it is empty.
    void end();
    // The owner is going: a push that waits for room gives up, and every later one.
    void close();

    // Takes the oldest message. Waits until `deadline` (wall clock; null: no wait) while the queue is
    // empty and the reader runs; with `wakeable`, also ends on wake().
    PopResult pop(std::string* out, const timespec* deadline, bool wakeable);
    // Ends a wakeable pop that waits now, or the next one.
    void wake();

    // Waits until the reader has ended or `deadline` (wall clock) passed. true when it has ended.
    bool wait_ended(const timespec& deadline);

    bool has_message();
    // The oldest message, without waiting; the queue must not be empty.
    std::string pop_front();
    bool ended();

private:
    zel::Mutex& m_mutex;
    zel::CondVar& m_cond;  // any change: a message in or out, the end, a wake-up, the close
    std::deque<std::string> m_messages ZEL_GUARDED_BY(m_mutex);
    size_t m_bytes ZEL_GUARDED_BY(m_mutex) = 0;
    bool m_ended ZEL_GUARDED_BY(m_mutex) = false;
    bool m_closed ZEL_GUARDED_BY(m_mutex) = false;
    bool m_woken ZEL_GUARDED_BY(m_mutex) = false;
};

#endif
