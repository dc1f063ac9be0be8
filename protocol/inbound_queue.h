// InboundQueue: a Caller's first-in, first-out queue of received message texts (terminators not
// included), and who reads the link that fills it.
//
// Who reads: the reader thread while no loop runs; a loop (negotiate(), process()) takes the reading
// over for as long as it runs and reads the link itself when it wants a message, so a message costs
// one wake-up (the read), not two (the read, then the hand-over). A Caller with no reader thread (the
// coordinator host's parties) is read by its loop alone.
//
// Bounded: the queue holds at most kQueueBytes (each message counted with an overhead, so a flood of
// empty messages is bounded too). A reader that finds it full waits until messages are taken, and
// reads nothing meanwhile, so TCP flow control holds back the party that floods, and only it. A loop
// reads only when the queue is empty.
//
// The mutex and condition variable are the Caller's (m_queue_mutex, m_queue_cond), which live at
// least as long as the queue. The condition measures time on the wall clock (the timed receive's
// deadline, AbsTime, is defined there). Every member may be called from any thread.
#ifndef ZEL_PROTOCOL_INBOUND_QUEUE_H
#define ZEL_PROTOCOL_INBOUND_QUEUE_H

#include <atomic>
#include <ctime>
#include <string>
#include <vector>

#include "protocol/mutex.h"

class InboundQueue {
public:
    // Bytes the queue holds at most, counting kMessageOverhead for each message.
    static constexpr size_t kQueueBytes = 64 * 1024;
    static constexpr size_t kMessageOverhead = 32;

    enum PopResult {
        POP_MESSAGE,    // `out` holds the oldest message
        POP_TIMED_OUT,  // the deadline passed (or the wait failed)
        POP_ENDED,      // the stream has ended and every message was taken
    };

    InboundQueue(zel::Mutex& mutex, zel::CondVar& cond) : m_mutex(mutex), m_cond(cond) {}
    InboundQueue(const InboundQueue&) = delete;
    InboundQueue& operator=(const InboundQueue&) = delete;

    // Appends `text`, waiting while the queue is full (unless a loop waits to take the reading over).
    // false once the queue is closed: the message is dropped and the reader should end.
    bool push(std::string text);
    // No message follows (the stream has ended): receivers stop waiting once it is empty.
    void end();
    // The owner is going: a push that waits for room gives up, and every later one.
    void close();

    // Takes the oldest message. Waits until `deadline` (wall clock; null: no wait) while the queue is
    // empty and the stream goes on.
    PopResult pop(std::string* out, const timespec* deadline);
    // Waits until the stream has ended or `deadline` (wall clock) passed. true when it has ended.
    bool wait_ended(const timespec& deadline);

    // A reader thread exists (set before it starts).
    void reader_starts();
    // The loop takes the reading over: want_reading(), then the caller wakes the reader out of its
    // wait for bytes, then await_reader() returns once the reader has stopped reading.
    // give_reading_back(): the loop is done; the reader reads again.
    void want_reading();
    void await_reader();
    void give_reading_back();
    // The reader thread: waits while a loop reads. false when the queue is closed or the stream ended.
    bool reader_turn();
    bool reader_may_read();

    bool has_message();
    // Without the lock: whether a message is held. Exact for a loop that holds the reading, since
    // nobody else fills the queue meanwhile.
    bool holds_message() const { return m_held.load() != 0; }
    // A copy of the oldest message, left in the queue; false when there is none.
    bool peek(std::string* out);
    // The oldest message, without waiting; the queue must not be empty.
    std::string pop_front();
    bool ended();
    // The most bytes the queue has held at once, counted as the bound counts them. Any thread, with
    // or without the mutex: a watcher may wait on the condition for it.
    size_t peak_bytes() const { return m_peak_bytes.load(); }

private:
    zel::Mutex& m_mutex;
    zel::CondVar& m_cond;  // any change: a message in or out, the end, the close, the reading's owner
    // Oldest first from m_head; the taken ones before it are dropped once they are the larger part.
    // A queue that never holds a message allocates nothing.
    std::vector<std::string> m_messages ZEL_GUARDED_BY(m_mutex);
    size_t m_head ZEL_GUARDED_BY(m_mutex) = 0;
    std::atomic<size_t> m_held{0};  // messages from m_head on; written under m_mutex
    size_t m_bytes ZEL_GUARDED_BY(m_mutex) = 0;
    std::atomic<size_t> m_peak_bytes{0};  // written under m_mutex
    bool m_ended ZEL_GUARDED_BY(m_mutex) = false;
    bool m_closed ZEL_GUARDED_BY(m_mutex) = false;
    bool m_reader ZEL_GUARDED_BY(m_mutex) = false;         // a reader thread exists
    bool m_loop_reads ZEL_GUARDED_BY(m_mutex) = false;     // a loop has taken the reading over
    bool m_reader_parked ZEL_GUARDED_BY(m_mutex) = false;  // the reader waits for its turn
};

#endif
