#include "tools/tqr/coordinator_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "protocol/caller.h"
#include "protocol/lock.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"

namespace {

struct PartyStart {
    CoordinatorServer* server;
    int fd;
};

// "a.b.c.d:port" of the party at the other end of `fd`, "" when it cannot be told.
std::string peer_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    char text[INET_ADDRSTRLEN] = "";
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sin_family != AF_INET ||
        inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
        return std::string();
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

}  // namespace

CoordinatorServer::~CoordinatorServer() { stop(); }

bool CoordinatorServer::start(int port, int max_parties) {
    m_max_parties = max_parties;
    m_listener = new Caller();
    // SO_REUSEADDR: a coordinator started again within a minute would otherwise find its port held by
    // the links it closed itself (TIME_WAIT). A port that another socket listens on still fails.
    m_listen_fd = m_listener->m_conn->listen_reusable(port, 1024);
    if (m_listen_fd == 0) {
        delete m_listener;
        m_listener = nullptr;
        return false;
    }
    m_accepting = pthread_create(&m_accept_thread, nullptr, s_acceptthread, this) == 0;
    return m_accepting;
}

void* CoordinatorServer::s_acceptthread(void* server) {
    static_cast<CoordinatorServer*>(server)->acceptthread();
    return nullptr;
}

void CoordinatorServer::acceptthread() {
    while (!m_stopping.load()) {
        int fd = m_listener->accept(0);
        if (fd == 0) {
            if (m_stopping.load()) break;
            // Out of descriptors or a connection reset before it was accepted: try again shortly.
            usleep(10000);
            continue;
        }
        if (m_max_parties > 0 && m_parties.load() >= m_max_parties) {
            ++m_refused;
            ::close(fd);
            continue;
        }
        ++m_parties;
        PartyStart* start = new PartyStart{this, fd};
        pthread_t thread;
        if (pthread_create(&thread, nullptr, s_partythread, start) != 0) {
            delete start;
            ::close(fd);
            --m_parties;
            continue;
        }
        pthread_detach(thread);
    }
}

void* CoordinatorServer::s_partythread(void* party) {
    PartyStart start = *static_cast<PartyStart*>(party);
    delete static_cast<PartyStart*>(party);
    start.server->serve(start.fd);
    return nullptr;
}

void CoordinatorServer::track(Caller* caller, bool add) {
    zel::MutexGuard guard(m_mutex);
    if (add) {
        m_callers.insert(caller);
    } else {
        m_callers.erase(caller);
    }
}

void CoordinatorServer::serve(int fd) {
    Caller* caller = new Caller(fd);
    track(caller, true);
    caller->startreadthread();
    if (!m_stopping.load() && caller->negotiate(1, ROLE_COORDINATOR, ROLE_CALLER)) {
        if (caller->joinconference()) {
            ++m_served;
            caller->process();
        } else if (caller->m_type == ROLE_SENDER && !caller->link_ended()) {
            // A second sender for a conference: told so, then dropped. (A sender whose link ended
            // before its join step was not filed either, but nothing turned it away.)
            ++m_rejected;
            caller->send_message(MSG_REJECTED_SENDER, caller, nullptr);
            if (RejectionObserver observer = m_rejection_observer.load()) observer(caller->m_confid, peer_of(fd));
        }
    }
    // The party is done (its link ended, or it was refused). Deleting the Caller shuts its link down,
    // waits for its reader (which runs the leave step) and for messages being sent to it.
    track(caller, false);
    delete caller;
    zel::MutexGuard guard(m_mutex);
    if (--m_parties == 0) pthread_cond_broadcast(&m_idle);
}

void CoordinatorServer::stop_accepting() {
    if (!m_accepting) return;
    m_stopping.store(true);
    ::shutdown(m_listen_fd, SHUT_RDWR);
    pthread_join(m_accept_thread, nullptr);
    m_accepting = false;
    ::close(m_listen_fd);
    m_listen_fd = 0;
}

void CoordinatorServer::stop() {
    stop_accepting();
    zel::MutexGuard guard(m_mutex);
    // Shut down, not close: the party's own thread closes its socket when it frees the Caller.
    for (Caller* caller : m_callers) ::shutdown(caller->m_conn->fd(), SHUT_RDWR);
    while (m_parties.load() > 0) pthread_cond_wait(&m_idle, &m_mutex);
    delete m_listener;
    m_listener = nullptr;
}
