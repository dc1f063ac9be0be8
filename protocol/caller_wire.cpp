// Composing and writing messages, and the reader thread that cuts the stream into messages.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/lock.h"
#include "protocol/messages.h"

int Caller::send_message(int type, Caller* other, const char* info) {
    if (type < 0 || type > MSG_REJECTED_SENDER) return 0;
    zel::MutexGuard guard(m_compose_mutex);
    const void* cookie = other;
    Caller* target = this;
    switch (type) {
    case MSG_CONNECT:
    case MSG_ENDSTATION_HAPPY:
        cookie = this;
        target = other;
        break;
    case MSG_ADIOS:
        target = other;
        break;
    case MSG_SUCCESS:
        target = nullptr;
        break;
    default:
        break;
    }
    const char* tail = nullptr;
    switch (type) {
    case MSG_NOMINATE:
        tail = other->nickname().c_str();
        break;
    case MSG_FAILED:
    case MSG_ADIOS:
    case MSG_REJECTED_SENDER:
        break;
    default:
        tail = info;
        break;
    }
    if (target == nullptr) return 0;
    target->send_text(compose_message(type, cookie, tail));
    return 1;
}

int Caller::send_text(const std::string& text) {
    zel::MutexGuard guard(m_send_mutex);
    const int length = static_cast<int>(text.size()) + 1;
    int sent = m_conn->send(text.c_str(), length);
    if ((sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) || (sent >= 0 && sent < length)) {
        // The send time limit passed, or only part of the text went out: the stream can no longer be
        // framed, so the link is shut down and its reader ends, which drops the party.
        if (int fd = m_conn->fd()) ::shutdown(fd, SHUT_RDWR);
    }
    zel::logline(static_cast<const void*>(this), " sending ", text);
    return sent;
}

const std::string& Caller::nickname() { return m_nickname; }

int Caller::startreadthread() {
    m_reader_state.store(ReaderRunning, std::memory_order_release);
    if (pthread_create(&m_readthread, nullptr, s_readthread, this) != 0) {
        // No reader will ever run: the link counts as ended, so nothing waits for it.
        zel::MutexGuard guard(m_queue_mutex);
        m_link_ended = true;
        m_reader_finishing = true;
        m_reader_state.store(ReaderFinished, std::memory_order_release);
        pthread_cond_broadcast(&m_queue_cond);
        return 1;
    }
    // Nothing ever joins a reader: it releases its own resources when it ends.
    pthread_detach(m_readthread);
    return 1;
}

void* Caller::s_readthread(void* caller) {
    static_cast<Caller*>(caller)->readthread();
    return nullptr;
}

namespace {

// A reader's window: up to 997 bytes of a message, its terminator, and a NUL placed after a read.
constexpr int kWindow = 998;

}  // namespace

void Caller::readthread() {
    zel::logline("caller read thread here ");
    zel::logline("caller read thread here for conference ", m_confid);
    zel_inform(stderr, "caller read thread here for conference %s\n", m_confid.c_str());

    char buffer[1000];
    int pending = 0;
    unsigned count = 0;
    for (;;) {
        int n = m_conn->recv(buffer + pending, kWindow - pending);
        if (n == 0) break;
        if (n < 0) {
            // An interrupted read is read again; any other failure (a link closed here or reset by the
            // peer) ends the stream, since no later read on it can succeed.
            if (errno == EINTR && !m_stopread.load()) continue;
            break;
        }
        char* fresh = buffer + pending;
        fresh[n] = '\0';
        if (memchr(fresh, '\0', static_cast<size_t>(n)) == nullptr) {
            pending += n;
            if (pending >= kWindow) break;  // a message longer than 997 bytes
            if (m_stopread.load()) break;
            continue;
        }
        char* end = fresh + n;
        char* piece = buffer;
        for (char* nul; piece < end && (nul = static_cast<char*>(memchr(piece, '\0', static_cast<size_t>(end - piece)))) != nullptr;
             piece = nul + 1) {
            ++count;
            // Built before the lock and moved in: one allocation per message, none under the lock.
            std::string message(piece, static_cast<size_t>(nul - piece));
            {
                zel::MutexGuard guard(m_queue_mutex);
                m_queue.push_back(std::move(message));
                pthread_cond_broadcast(&m_queue_cond);
            }
            // The piece is still in the buffer, terminated at `nul`.
            zel::logline("pushing: ", static_cast<const char*>(piece));
        }
        if (piece < end) {
            fprintf(stderr, "TQR: COPYING FRAGMENT %s\n", piece);
            pending = static_cast<int>(end - piece);
            memmove(buffer, piece, static_cast<size_t>(pending));
        } else {
            pending = 0;
        }
        if (m_stopread.load()) break;
    }
    if (m_stopread.load()) m_conn->Close();

    // The closing lines and the leave step read the identity that the handshake wrote.
    {
        zel::MutexGuard guard(m_member_mutex);
        zel::logline("caller ", static_cast<const void*>(this), " type ", m_type, " read thread exiting ", count,
                     " messages for ", m_confid);
    }
    zel_inform(stderr, "caller read thread exiting\n");
    {
        // A receiver waiting for a message that cannot come any more returns at once.
        zel::MutexGuard guard(m_queue_mutex);
        m_link_ended = true;
        pthread_cond_broadcast(&m_queue_cond);
    }
    leaveconference();
    {
        zel::MutexGuard guard(m_queue_mutex);
        m_reader_finishing = true;
        pthread_cond_broadcast(&m_queue_cond);
    }
    // The last touch of this Caller: once the state says finished, the host may destroy it.
    m_reader_state.store(ReaderFinished, std::memory_order_release);
}
