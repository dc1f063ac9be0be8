// Reading a Caller's link: the reader thread, which reads while no loop does, the reading a loop does
// itself, the end of the stream, and the writing of messages on the link.
#include <poll.h>

#include <cerrno>
#include <cstring>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/messages.h"
#include "protocol/socket_ops.h"
#include "protocol/threads.h"

int Caller::startreadthread() {
    // The host's loop comes next (negotiate(), then process()) and reads the link itself until
    // process() returns; a reader thread is started only if the stream goes on after that.
    m_reader_done.store(false);
    m_reader_wanted = true;
    m_loop_reads = true;
    return 1;
}

void Caller::start_reader() {
    m_waker.reset(new zel::net::Waker);
    m_reader_finished = std::make_shared<zel::Completion>();
    m_queue.reader_starts();
    m_reader_started = zel::library_threads().run(s_readthread, this, m_reader_finished, &m_readthread);
    if (!m_reader_started) {
        // No reader will ever run: the link counts as ended, so nothing waits for it.
        m_queue.end();
        m_reader_done.store(true);
    }
}

void Caller::read_without_reader() {
    m_self_reading = true;
    m_reader_done.store(false);
}

void* Caller::s_readthread(void* caller) {
    static_cast<Caller*>(caller)->readthread();
    return nullptr;
}

void Caller::readthread() {
    zel::logline("caller read thread here ");
    zel::logline("caller read thread here for conference ", m_confid);
    zel_inform(stderr, "caller read thread here for conference %s\n", m_confid.c_str());
    while (m_queue.reader_turn()) {
        // Bytes, or a loop that takes the reading over (its waker): then back to the turn, to wait.
        pollfd ready[2] = {{m_conn->fd(), POLLIN, 0}, {m_waker->fd(), POLLIN, 0}};
        zel::net::poll_fds(ready, 2, -1);
        if (ready[1].revents != 0) m_waker->clear();
        if (ready[0].revents == 0 || !m_queue.reader_may_read()) continue;
        if (read_some() == READ_ENDED) break;
    }
    finish_stream();
    m_reader_done.store(true);
}

Caller::ReadResult Caller::read_some(std::string* first, bool* took) {
    // An interrupted read is read again; a read that timed out is no end; any other failure (a link
    // closed here or reset by the peer) ends the stream, since no later read on it can succeed.
    int n = m_conn->recv(m_framer.space(), m_framer.room());
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !m_stopread.load()) return READ_TIMED_OUT;
    if (n <= 0) return READ_ENDED;
    const char* fragment = nullptr;
    bool queue_open = true;
    bool framed = m_framer.take(
        n,
        [&](const char* text, size_t length) {
            ++m_delivered;
            zel::logline("pushing: ", text);
            if (!queue_open || m_stopread.load()) return;
            if (first != nullptr && !*took) {
                first->assign(text, length);
                *took = true;
                return;
            }
            // A full queue holds the reader here, and the peer's writes behind TCP's window.
            queue_open = m_queue.push(std::string(text, length));
        },
        &fragment);
    if (fragment != nullptr) zel_error("TQR: COPYING FRAGMENT %s\n", fragment);
    if (!framed) m_overlong.store(true);
    return framed && queue_open && !m_stopread.load() ? READ_MORE : READ_ENDED;
}

void Caller::finish_stream() {
    if (m_stream_finished.exchange(true)) return;
    if (m_stopread.load()) m_conn->Close();
    // The closing lines and the leave step read the identity that the handshake wrote.
    {
        zel::MutexLock lock(m_member_mutex);
        zel::logline("caller ", static_cast<const void*>(this), " type ", m_type, " read thread exiting ",
                     m_delivered.load(), " messages for ", m_confid);
    }
    zel_inform(stderr, "caller read thread exiting\n");
    // A receiver waiting for a message that cannot come any more returns at once.
    m_queue.end();
    leaveconference();
    if (m_self_reading) m_reader_done.store(true);
}

InboundQueue::PopResult Caller::read_until_message(std::string* out, double until) {
    for (;;) {
        // The queue is this loop's alone while it reads: an empty one is known without its lock,
        // unless the stream has ended (finish_stream() ends the queue and sets m_stream_finished).
        if (m_queue.holds_message() || m_stream_finished.load()) {
            InboundQueue::PopResult got = m_queue.pop(out, nullptr);
            if (got != InboundQueue::POP_TIMED_OUT) return got;
        }
        // The message loop's read blocks, bounded by the socket's receive time limit (its own limit of
        // a million seconds): one system call a message, not a poll and a read.
        if (!m_blocking_reads) {
            double left = until - zel::now();
            if (left <= 0 || !m_conn->wait_readable(static_cast<int>(left * 1000.0) + 1)) return InboundQueue::POP_TIMED_OUT;
        }
        // The queue is empty and only this loop fills it now: the first message read is the one
        // wanted.
        bool took = false;
        ReadResult read = read_some(out, &took);
        if (took) {
            if (read == READ_ENDED) finish_stream();
            return InboundQueue::POP_MESSAGE;
        }
        if (read == READ_TIMED_OUT) return InboundQueue::POP_TIMED_OUT;
        if (read == READ_ENDED) finish_stream();
    }
}

bool Caller::refused_within(double seconds) {
    LoopReading reading(*this, false);
    const double until = zel::now() + seconds;
    std::string first;
    while (!m_queue.peek(&first) && !m_queue.ended()) {
        double left = until - zel::now();
        if (left <= 0 || !m_conn->wait_readable(static_cast<int>(left * 1000.0) + 1)) return false;
        if (read_some() == READ_ENDED) finish_stream();
    }
    if (m_queue.peek(&first)) return first.compare(0, strlen(g_message_names[MSG_REJECTED_SENDER]), g_message_names[MSG_REJECTED_SENDER]) == 0;
    return true;
}

Caller::LoopReading::LoopReading(Caller& caller, bool give_back) : m_caller(caller), m_give_back(give_back) {
    if (m_caller.m_reader_started && !m_caller.m_loop_reads) {
        // Told first, then woken: a reader that was about to wait for bytes finds the flag, or the wake.
        m_caller.m_queue.want_reading();
        m_caller.m_waker->wake();
        m_caller.m_queue.await_reader();
    }
    m_caller.m_loop_reads = true;
}

Caller::LoopReading::~LoopReading() {
    if (!m_give_back) return;
    m_caller.m_loop_reads = false;
    if (m_caller.m_reader_started) {
        m_caller.m_queue.give_reading_back();
    } else if (m_caller.m_reader_wanted && !m_caller.m_stream_finished.load()) {
        // The loop is done with a stream that goes on: a reader watches it from now on. One that the
        // loop ended itself ("Adios ") is finished here.
        if (m_caller.m_queue.ended()) {
            m_caller.finish_stream();
            m_caller.m_reader_done.store(true);
        } else {
            m_caller.start_reader();
        }
    }
}

int Caller::send_message(int type, Cookie about, const char* info) {
    if (type < 0 || type > MSG_REJECTED_SENDER || type == MSG_SUCCESS) return 0;
    bool carries_info = type != MSG_FAILED && type != MSG_ADIOS && type != MSG_REJECTED_SENDER;
    zel::MutexLock lock(m_compose_mutex);
    // The thread's own buffer: a Caller that lives for one rendezvous sends one or two messages.
    static thread_local std::string text;
    if (!compose_message(type, about, carries_info ? info : nullptr, &text)) return 0;
    return send_text(text) == static_cast<int>(text.size()) + 1 ? 1 : 0;
}

int Caller::send_text(const std::string& text) { return write_frames(text.c_str(), static_cast<int>(text.size()) + 1, text); }

void Caller::send_texts(std::string& frames) {
    if (frames.empty()) return;
    write_frames(frames.data(), static_cast<int>(frames.size()), frames);
    frames.clear();
}

int Caller::write_frames(const char* bytes, int length, const std::string& logged) {
    int sent;
    {
        zel::MutexLock lock(m_send_mutex);
        sent = m_conn->send(bytes, length);
        if ((sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) || (sent >= 0 && sent < length)) {
            // The send time limit passed, or only part of the text went out: the stream can no longer
            // be framed, so the link is shut down and its reader ends, which drops the party.
            m_conn->shutdown();
        }
    }
    // Outside the lock: the peer's answer, written by another thread of this process, may already be
    // due on this link.
    zel::logline(static_cast<const void*>(this), " sending ", logged);
    return sent;
}
