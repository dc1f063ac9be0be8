// The reader thread, which cuts a Caller's stream into messages for its inbound queue, and the writing
// of messages on a Caller's link.
#include <cerrno>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/framing.h"
#include "protocol/messages.h"
#include "protocol/threads.h"

int Caller::startreadthread() {
    m_reader_done.store(false);
    m_reader_started = zel::start_thread(&m_readthread, s_readthread, this, zel::kSmallStack);
    if (!m_reader_started) {
        // No reader will ever run: the link counts as ended, so nothing waits for it.
        m_queue.end();
        m_reader_done.store(true);
    }
    return 1;
}

void* Caller::s_readthread(void* caller) {
    static_cast<Caller*>(caller)->readthread();
    return nullptr;
}

void Caller::readthread() {
    zel::logline("caller read thread here ");
    zel::logline("caller read thread here for conference ", m_confid);
    zel_inform(stderr, "caller read thread here for conference %s\n", m_confid.c_str());

    Framer framer;
    unsigned count = 0;
    bool open = true;
    bool queue_open = true;
    while (open && !m_stopread.load()) {
        // An interrupted read is read again; any other failure (a link closed here or reset by the
        // peer) ends the stream, since no later read on it can succeed.
        int n = m_conn->recv(framer.space(), framer.room());
        if (n <= 0) break;
        const char* fragment = nullptr;
        bool framed = framer.take(
            n,
            [&](const char* text, size_t length) {
                ++count;
                zel::logline("pushing: ", text);
                // A full queue holds the reader here, and the peer's writes behind TCP's window.
                if (queue_open && !m_stopread.load()) queue_open = m_queue.push(std::string(text, length));
            },
            &fragment);
        open = framed && queue_open;
        if (!framed) m_overlong.store(true);
        if (fragment != nullptr) zel_error("TQR: COPYING FRAGMENT %s\n", fragment);
    }
    if (m_stopread.load()) m_conn->Close();

    // The closing lines and the leave step read the identity that the handshake wrote.
    {
        zel::MutexLock lock(m_member_mutex);
        zel::logline("caller ", static_cast<const void*>(this), " type ", m_type, " read thread exiting ", count,
                     " messages for ", m_confid);
    }
    zel_inform(stderr, "caller read thread exiting\n");
    // A receiver waiting for a message that cannot come any more returns at once.
    m_queue.end();
    leaveconference();
    m_reader_done.store(true);
}

int Caller::send_message(int type, Cookie about, const char* info) {
    if (type < 0 || type > MSG_REJECTED_SENDER || type == MSG_SUCCESS) return 0;
    bool carries_info = type != MSG_FAILED && type != MSG_ADIOS && type != MSG_REJECTED_SENDER;
    zel::MutexLock lock(m_compose_mutex);
    std::string text;
    if (!compose_message(type, about, carries_info ? info : nullptr, &text)) return 0;
    return send_text(text) == static_cast<int>(text.size()) + 1 ? 1 : 0;
}

int Caller::send_text(const std::string& text) {
    zel::MutexLock lock(m_send_mutex);
    const int length = static_cast<int>(text.size()) + 1;
    int sent = m_conn->send(text.c_str(), length);
    if ((sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) || (sent >= 0 && sent < length)) {
        // The send time limit passed, or only part of the text went out: the stream can no longer be
        // framed, so the link is shut down and its reader ends, which drops the party.
        m_conn->shutdown();
    }
    zel::logline(static_cast<const void*>(this), " sending ", text);
    return sent;
}
