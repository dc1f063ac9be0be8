// Caller construction and destruction, linking (connect, listen, accept) and the bridge hook.
#include "protocol/caller.h"

#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/live_callers.h"
#include "protocol/lock.h"

int set_bridge_callback(BridgeCallback fn) {
    g_bridge.store(fn, std::memory_order_release);
    return 0;
}

Caller::Caller() : m_type(0), m_stopread(0), m_joined(0), m_conn(nullptr), m_sender_conn(nullptr) {
    zel_inform(stderr, "caller no-arg constructor\n");
    init(new Connection());
}

Caller::Caller(int fd) : m_type(0), m_stopread(0), m_joined(0), m_conn(nullptr), m_sender_conn(nullptr) {
    zel_inform(stderr, "caller fd constructor\n");
    init(new Connection(fd));
    // A party that stops reading must not stall the threads that write to it (its conference, the
    // other party's loop): writes give up after TQR_SEND_TIMEOUT seconds and the party is dropped.
    zel_env_set_default("TQR_SEND_TIMEOUT", "10");
    int seconds = zel_env_get_int("TQR_SEND_TIMEOUT");
    if (fd > 0 && seconds > 0) {
        timeval limit{};
        limit.tv_sec = seconds;
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
}

void Caller::init(Connection* conn) {
    m_version = 0.0;
    pthread_mutex_init(&m_queue_mutex, nullptr);
    pthread_mutex_init(&m_compose_mutex, nullptr);
    zel_inform(stderr, "caller mutex inited\n");
    pthread_mutex_init(&m_send_mutex, nullptr);
    pthread_cond_init(&m_queue_cond, nullptr);
    pthread_mutex_init(&m_member_mutex, nullptr);
    pthread_mutex_init(&m_listener_mutex, nullptr);
    pthread_cond_init(&m_listener_cond, nullptr);
    m_conn = conn;
    m_status = "";
}

Caller::~Caller() {
    // Nothing may reach this Caller through a cookie any more, and sends under way finish first.
    g_live_callers.remove(this);
    // A Caller whose reader never ran was never taken out of its conference by it.
    if (m_reader_state.load(std::memory_order_acquire) == ReaderNotStarted) leaveconference();

    // The reader holds this Caller until it ends: wake it by shutting the link down, then wait.
    if (m_reader_state.load(std::memory_order_acquire) == ReaderRunning) {
        m_stopread.store(1);
        if (int fd = m_conn ? m_conn->fd() : 0) ::shutdown(fd, SHUT_RDWR);
        wait_reader_done();
    }
    // A bridge thread that process() did not join yet reads m_sender_conn: wait for it.
    if (m_ssc_started) {
        pthread_join(m_ssc_pt, nullptr);
        m_ssc_started = false;
    }
    // A direct link that passed to the host stays open; one that never did (keys differ, no bridge)
    // would otherwise leak. A host that takes the socket itself sets m_sender_conn to null first.
    if (m_sender_conn != nullptr) {
        if (m_bridged.load(std::memory_order_acquire)) m_sender_conn->release();
        delete m_sender_conn;
        m_sender_conn = nullptr;
    }
    // Listener threads hold this Caller: wake those waiting for an endstation, wait for all.
    {
        zel::MutexGuard guard(m_listener_mutex);
        m_closing = true;
        for (Connection* listening : m_listening) ::shutdown(listening->m_sock, SHUT_RDWR);
        while (m_listeners > 0) pthread_cond_wait(&m_listener_cond, &m_listener_mutex);
    }

    pthread_mutex_destroy(&m_queue_mutex);
    pthread_mutex_destroy(&m_compose_mutex);
    pthread_mutex_destroy(&m_send_mutex);
    pthread_cond_destroy(&m_queue_cond);
    pthread_mutex_destroy(&m_member_mutex);
    pthread_mutex_destroy(&m_listener_mutex);
    pthread_cond_destroy(&m_listener_cond);
    delete m_conn;
    m_conn = nullptr;
}

int Caller::connect(int port, const char* host, int type, const char* nickname, const char* confid,
                    const char* key) {
    m_nickname = nickname ? nickname : "";
    m_host = host ? host : "";
    m_confid = confid ? confid : "";
    m_key = key ? key : "";
    m_type = type;
    zel_inform(stderr, " connect: %s %s\n", m_confid.c_str(), m_key.c_str());
    return m_conn->connect(port, host, 1048576);
}

int Caller::listen(int port, int backlog, int existing) {
    m_status = "error/timeout";
    return m_conn->listen(port, backlog, existing);
}

int Caller::accept(int arg) {
    int fd = m_conn->accept(0, arg);
    // The new descriptor belongs to the Caller(fd) that the host builds on it; the listening Caller
    // keeps no copy, so it can never close the party's socket.
    m_conn->release();
    return fd;
}

void Caller::wait_reader_done() {
    if (m_reader_state.load(std::memory_order_acquire) == ReaderNotStarted) return;
    {
        zel::MutexGuard guard(m_queue_mutex);
        while (!m_reader_finishing) pthread_cond_wait(&m_queue_cond, &m_queue_mutex);
    }
    // The reader is past its last lock; its final store follows at once.
    while (m_reader_state.load(std::memory_order_acquire) == ReaderRunning) sched_yield();
}
