#include "protocol/coordinator_server.h"

#include <cerrno>

#include "protocol/caller.h"
#include "protocol/clock.h"
#include "protocol/messages.h"
#include "protocol/party_events.h"
#include "protocol/phrase.h"
#include "protocol/threads.h"

namespace {

struct PartyStart {
    CoordinatorServer* server;
    int fd;
};

void report_party(const Caller& caller, PartyEventKind kind, const char* what, const char* detail) {
    if (!party_observed()) return;
    PartyEvent event = caller.own_event(kind);
    event.what = what;
    event.detail = detail;
    report_party_event(event);
}

}  // namespace

CoordinatorServer::~CoordinatorServer() { stop(); }

bool CoordinatorServer::start(int port, int max_parties) {
    m_max_parties = max_parties;
    // SO_REUSEADDR: a coordinator started again within a minute would otherwise find its port held by
    // the links it closed itself (TIME_WAIT). A port that another socket listens on still fails.
    if (m_listening.listen_reusable(port, 1024) == 0) return false;
    m_accepting = zel::start_thread(&m_accept_thread, s_acceptthread, this, zel::kSmallStack);
    if (!m_accepting) m_listening.close_listener();
    return m_accepting;
}

void* CoordinatorServer::s_acceptthread(void* server) {
    static_cast<CoordinatorServer*>(server)->acceptthread();
    return nullptr;
}

void CoordinatorServer::acceptthread() {
    while (!m_stopping.load()) {
        int fd = m_listening.accept(0, 0);
        m_listening.release();
        if (fd == 0) {
            if (m_stopping.load()) break;
            // Out of descriptors (or a connection reset before it was accepted): wait for a party to
            // end and free one, for a second at most, since descriptors may come free elsewhere too.
            zel::MutexLock lock(m_mutex);
            m_changed.wait_until(m_mutex, zel::monotonic_timespec(zel::now() + 1.0));
            continue;
        }
        if (m_max_parties > 0 && m_parties.load() >= m_max_parties) {
            ++m_refused;
            Connection(fd).Close();
            if (party_observed()) {
                PartyEvent refused;
                refused.kind = EVENT_REFUSED;
                refused.role = ROLE_CALLER;
                refused.party = nullptr;
                refused.count = m_max_parties;
                report_party_event(refused);
            }
            continue;
        }
        ++m_parties;
        PartyStart* start = new PartyStart{this, fd};
        if (!zel::library_threads().run(s_partythread, start)) {
            delete start;
            Connection(fd).Close();
            --m_parties;
        }
    }
}

void* CoordinatorServer::s_partythread(void* party) {
    PartyStart start = *static_cast<PartyStart*>(party);
    delete static_cast<PartyStart*>(party);
    start.server->serve(start.fd);
    return nullptr;
}

bool CoordinatorServer::admit(Caller* caller) {
    if (caller->negotiate(1, ROLE_COORDINATOR, ROLE_CALLER) != 1) {
        if (caller->overlong()) {
            report_party(*caller, EVENT_DROPPED, "message_too_long", "");
        } else if (!caller->link_ended() && !m_stopping.load()) {
            report_party(*caller, EVENT_DROPPED, "handshake_timeout", "");
        }
        return false;
    }
    if (caller->joinconference()) return true;
    if (*caller->refusal() != '\0') {
        report_party(*caller, EVENT_DROPPED, caller->refusal(), "");
    } else if (caller->m_type == ROLE_SENDER && !caller->link_ended()) {
        // A second sender for a conference: told so, then dropped.
        ++m_rejected;
        caller->send_message(MSG_REJECTED_SENDER, Cookie::of(caller), nullptr);
        report_party(*caller, EVENT_REJECTED_SENDER, "", "");
    }
    return false;
}

void CoordinatorServer::serve(int fd) {
    Caller* caller = new Caller(fd);
    {
        zel::MutexLock lock(m_mutex);
        m_callers.insert(caller);
    }
    // One thread a party: its session reads the link itself.
    caller->read_without_reader();
    if (!m_stopping.load() && admit(caller)) {
        ++m_served;
        caller->process();
    }
    // The party is done (its link ended, or it got no further). Deleting the Caller shuts its link
    // down, joins its reader (which runs the leave step) and waits for messages being sent to it.
    {
        zel::MutexLock lock(m_mutex);
        m_callers.erase(caller);
    }
    delete caller;
    zel::MutexLock lock(m_mutex);
    --m_parties;
    m_changed.broadcast();
}

bool CoordinatorServer::wait_parties(int count, double seconds) {
    timespec until = zel::monotonic_timespec(zel::now() + seconds);
    zel::MutexLock lock(m_mutex);
    while (m_parties.load() > count)
        if (m_changed.wait_until(m_mutex, until) != 0) break;
    return m_parties.load() <= count;
}

void CoordinatorServer::stop_accepting() {
    if (!m_accepting) return;
    m_stopping.store(true);
    m_listening.shutdown_listener();
    pthread_join(m_accept_thread, nullptr);
    m_accepting = false;
    m_listening.close_listener();
}

void CoordinatorServer::stop() {
    stop_accepting();
    zel::MutexLock lock(m_mutex);
    // Shut down, not closed: the party's own thread closes its socket when it frees the Caller.
    for (Caller* caller : m_callers) caller->m_conn->shutdown();
    while (m_parties.load() > 0) m_changed.wait(m_mutex);
}
