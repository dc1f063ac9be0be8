#include "protocol/coordinator_server.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/clock.h"
#include "protocol/messages.h"
#include "protocol/party_report.h"
#include "protocol/phrase.h"
#include "protocol/settings.h"
#include "protocol/socket_ops.h"
#include "protocol/threads.h"

namespace {

void report_party(const Caller& caller, zel::PartyEventKind kind, const char* what, const char* detail) {
    if (!zel::party_observed()) return;
    zel::PartyEvent event = caller.own_event(kind);
    event.what = what;
    event.detail = detail;
    zel::report_party_event(event);
}

}  // namespace

CoordinatorServer::~CoordinatorServer() { stop(); }

AdmissionLimits AdmissionLimits::from_settings() {
    const zel::Settings& settings = zel::settings();
    AdmissionLimits limits;
    limits.max_parties = settings.max_parties;
    limits.max_per_source = settings.max_parties_per_source;
    limits.max_waiting_conferences = settings.max_waiting_conferences;
    limits.remote_senders = settings.remote_senders;
    return limits;
}

bool CoordinatorServer::start(int port, int max_parties) {
    AdmissionLimits limits = AdmissionLimits::from_settings();
    limits.max_parties = max_parties;
    return start(port, limits);
}

bool CoordinatorServer::start(int port, const AdmissionLimits& limits) {
    // One listener at a time: a second start would leave the first one's acceptors blocked on a
    // socket that stop() no longer knows of.
    if (m_accepting) return false;
    m_limits = limits;
    // A party beyond the open-file limit would not be refused but left unanswered in the backlog while
    // every other use of a descriptor failed, the host's own links among them: the parties stay below it.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        int room = std::max(1, static_cast<int>(files.rlim_cur) - std::max(0, limits.descriptor_reserve));
        if (m_limits.max_parties <= 0 || m_limits.max_parties > room) m_limits.max_parties = room;
    }
    // Each party takes one of the pool's threads: the limit stays below them, so that a full coordinator
    // makes room by evicting (take_slot) before the pool runs dry and nothing is left to accept.
    const int threads = zel::settings().max_threads - kSpareAcceptors - kEvictions;
    if (threads > 0 && (m_limits.max_parties <= 0 || m_limits.max_parties > threads)) m_limits.max_parties = threads;
    if (m_limits.max_per_source <= 0 && m_limits.max_parties > 0)
        m_limits.max_per_source = std::max(1, m_limits.max_parties / 8);
    // SO_REUSEADDR: a coordinator started again within a minute would otherwise find its port held by
    // the links it closed itself (TIME_WAIT). A port that another socket listens on still fails.
    if (m_listening.listen_reusable(port, 1024, false) == 0) return false;
    m_stopping.store(false);
    int waiting = 0;
    for (int i = 0; i < kSpareAcceptors; ++i) waiting += add_acceptor() ? 1 : 0;
    m_accepting = waiting > 0;
    if (!m_accepting) m_listening.close_listener();
    return m_accepting;
}

bool CoordinatorServer::add_acceptor() {
    auto run = std::make_shared<zel::Completion>();
    {
        zel::MutexLock lock(m_mutex);
        // Swept once it has doubled since, so that an accept costs a constant share of the sweep.
        if (m_runs.size() >= m_swept) {
            m_runs.erase(std::remove_if(m_runs.begin(), m_runs.end(),
                                        [](const std::shared_ptr<zel::Completion>& r) { return r->finished(); }),
                         m_runs.end());
            m_swept = std::max<size_t>(16, 2 * m_runs.size());
        }
        ++m_acceptors;
        m_runs.push_back(run);
    }
    // Outside the lock: the pool may start a thread, and join the ones that ended.
    if (zel::library_threads().run(s_acceptthread, this, run)) return true;
    run->done();  // nothing will run it: stop() must not wait for it
    zel::MutexLock lock(m_mutex);
    --m_acceptors;
    auto it = std::find(m_runs.begin(), m_runs.end(), run);
    if (it != m_runs.end()) m_runs.erase(it);
    m_changed.broadcast();
    return false;
}

bool CoordinatorServer::keep_acceptor() {
    {
        zel::MutexLock lock(m_mutex);
        if (--m_acceptors > 0 || m_stopping.load()) return true;
    }
    if (add_acceptor()) return true;
    zel::MutexLock lock(m_mutex);
    ++m_acceptors;
    return false;
}

void CoordinatorServer::release_slot(uint32_t source) {
    zel::MutexLock lock(m_mutex);
    --m_parties;
    if (--m_sources[source].parties == 0) m_sources.erase(source);
    m_changed.broadcast();
}

void CoordinatorServer::refuse(int fd, const Connection::Peer& peer, const char* why) {
    bool by_source = strcmp(why, "max_per_source") == 0;
    ++(by_source ? m_refused_sources : m_refused);
    if (zel::party_observed()) {
        zel::PartyEvent refused;
        refused.kind = zel::EVENT_REFUSED;
        refused.role = ROLE_CALLER;
        refused.party = nullptr;
        refused.what = why;
        refused.peer = Connection::peer_text(peer);
        refused.count = by_source                          ? m_limits.max_per_source
                        : strcmp(why, "max_threads") == 0 ? zel::settings().max_threads
                                                           : m_limits.max_parties;
        zel::report_party_event(refused);
    }
    Connection(fd).Close();
}

void CoordinatorServer::only_conference(const std::string& confid) {
    zel::MutexLock lock(m_mutex);
    m_only_conference = confid;
}

void* CoordinatorServer::s_acceptthread(void* server) {
    static_cast<CoordinatorServer*>(server)->acceptthread();
    return nullptr;
}

const char* CoordinatorServer::take_slot(uint32_t source) {
    zel::MutexLock lock(m_mutex);
    Source& from = m_sources[source];
    if (m_limits.max_per_source > 0 && from.parties >= m_limits.max_per_source) return "max_per_source";
    if (m_limits.max_parties > 0 && m_parties.load() >= m_limits.max_parties) {
        // Full: the party that has been in its handshake longest makes room, since an honest party
        // walks it in a few round trips. So silent connections from any number of addresses cannot
        // keep honest parties out; the slot frees once the evicted party's thread has ended, so the
        // count may run over by the evictions under way, never by more than kEvictions.
        auto oldest = std::find_if(m_handshaking.begin(), m_handshaking.end(),
                                   [](const Handshaking& h) { return !h.evicted; });
        if (oldest == m_handshaking.end() || m_parties.load() >= m_limits.max_parties + kEvictions) {
            if (from.parties == 0) m_sources.erase(source);
            return "max_parties";
        }
        oldest->evicted = true;
        oldest->caller->m_conn->shutdown();
    }
    ++from.parties;
    ++m_parties;
    return "";
}

void CoordinatorServer::acceptthread() {
    for (;;) {
        Connection::Peer peer;
        int fd = m_listening.accept_peer(&peer);
        if (fd == 0) {
            if (m_stopping.load()) break;
            if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM) continue;
            // Out of descriptors: wait for a party to end and free one, for a second at most, since
            // descriptors may come free elsewhere too. A peer that went before it was accepted is no
            // reason to wait.
            zel::MutexLock lock(m_mutex);
            m_changed.wait_until(m_mutex, zel::monotonic_timespec(zel::now() + 1.0));
            continue;
        }
        const uint32_t source = peer.address;
        const char* full = take_slot(source);
        // This thread serves the party: another waits on the port meanwhile. When the pool gives
        // none, this one stays there and the party is refused, as one beyond the limits is.
        if (*full == '\0' && !keep_acceptor()) {
            release_slot(source);
            full = "max_threads";
        }
        if (*full != '\0') {
            refuse(fd, peer, full);
            continue;
        }
        // Past its party this thread must not touch the server unless it is counted again: once the
        // last party is gone, stop() may return and the server be freed.
        if (!serve(fd, peer)) return;
    }
    zel::MutexLock lock(m_mutex);
    --m_acceptors;
    m_changed.broadcast();
}

const char* CoordinatorServer::refusal(Caller* caller, uint32_t source, bool* counted) {
    std::vector<std::string> others;
    {
        zel::MutexLock lock(m_mutex);
        if (!m_only_conference.empty() && caller->m_confid != m_only_conference) return "foreign_conference";
        if (caller->m_type != ROLE_ENDSTATION) return "";
        // Filed before the registry is asked, so that endstations of one address joining at once
        // count each other.
        Source& from = m_sources[source];
        *counted = true;
        if (from.endstations[caller->m_confid]++ > 0) return "";  // its address waits there already
        // An address in no more conferences than the limit cannot wait in too many: the common case,
        // and every join of a host without the limit, costs no walk over the address's conferences.
        if (m_limits.max_waiting_conferences <= 0 ||
            from.endstations.size() <= static_cast<size_t>(m_limits.max_waiting_conferences))
            return "";
        for (const auto& entry : from.endstations)
            if (entry.first != caller->m_confid) others.push_back(entry.first);
    }
    if (g_activelist.has_sender(caller->m_confid)) return "";
    int waiting = 0;
    for (const std::string& confid : others)
        if (!g_activelist.has_sender(confid) && ++waiting >= m_limits.max_waiting_conferences)
            return "waiting_conferences";
    return "";
}

void CoordinatorServer::turn_away(Caller* caller, const char* why) {
    if (caller->m_type == ROLE_SENDER) {
        // Told so, as a second sender of a conference is.
        ++m_rejected;
        caller->send_message(MSG_REJECTED_SENDER, Cookie::of(caller), nullptr);
        report_party(*caller, zel::EVENT_REJECTED_SENDER, why, "");
    } else {
        report_party(*caller, zel::EVENT_DROPPED, why, "");
    }
}

bool CoordinatorServer::admit(Caller* caller, uint32_t source, bool* counted) {
    int walked = caller->negotiate(1, ROLE_COORDINATOR, ROLE_CALLER);
    bool evicted = false;
    {
        zel::MutexLock lock(m_mutex);
        for (auto h = m_handshaking.begin(); h != m_handshaking.end(); ++h) {
            if (h->caller != caller) continue;
            evicted = h->evicted;
            m_handshaking.erase(h);
            break;
        }
    }
    if (walked != 1) {
        if (evicted) {
            report_party(*caller, zel::EVENT_DROPPED, "make_room", "");
        } else if (caller->overlong()) {
            report_party(*caller, zel::EVENT_DROPPED, "message_too_long", "");
        } else if (!caller->link_ended() && !m_stopping.load()) {
            report_party(*caller, zel::EVENT_DROPPED, "handshake_timeout", "");
        }
        return false;
    }
    // An endstation reaches its sender at the coordinator's host name: a sender elsewhere can never
    // be reached, and would only hold its conference.
    if (caller->m_type == ROLE_SENDER && !m_limits.remote_senders && !zel::net::is_own_address(source)) {
        turn_away(caller, "remote_sender");
        return false;
    }
    const char* why = refusal(caller, source, counted);
    if (*why != '\0') {
        turn_away(caller, why);
        return false;
    }
    if (caller->joinconference()) return true;
    if (*caller->refusal() != '\0') {
        report_party(*caller, zel::EVENT_DROPPED, caller->refusal(), "");
    } else if (caller->m_type == ROLE_SENDER && !caller->link_ended()) {
        // A second sender for a conference.
        turn_away(caller, "");
    }
    return false;
}

bool CoordinatorServer::serve(int fd, const Connection::Peer& peer) {
    const uint32_t source = peer.address;
    Caller* caller = new Caller(fd);
    caller->m_conn->remember_peer(peer);
    {
        zel::MutexLock lock(m_mutex);
        m_callers.insert(caller);
    }
    // One thread a party: its session reads the link itself.
    caller->read_without_reader();
    {
        zel::MutexLock lock(m_mutex);
        m_handshaking.push_back(Handshaking{caller, false});
    }
    bool counted = false;  // filed among its address's endstations
    if (!m_stopping.load() && admit(caller, source, &counted)) {
        ++m_served;
        caller->process();
    }
    // The party is done (its link ended, or it got no further). Deleting the Caller shuts its link
    // down, joins its reader (which runs the leave step) and waits for messages being sent to it.
    std::string confid = caller->m_confid;
    {
        zel::MutexLock lock(m_mutex);
        m_callers.erase(caller);
        m_handshaking.remove_if([caller](const Handshaking& h) { return h.caller == caller; });
    }
    delete caller;
    zel::MutexLock lock(m_mutex);
    auto from = m_sources.find(source);
    if (from != m_sources.end()) {
        auto in = from->second.endstations.find(confid);
        if (counted && in != from->second.endstations.end() && --in->second == 0) from->second.endstations.erase(in);
        if (--from->second.parties == 0) m_sources.erase(from);
    }
    // Counted before the party is let go, so that stop() waits for this thread too.
    bool again = !m_stopping.load() && m_acceptors < kSpareAcceptors;
    if (again) ++m_acceptors;
    --m_parties;
    m_changed.broadcast();
    return again;
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
    {
        // Under the lock: a thread whose party ends either sees it and goes, or is counted first and
        // finds the port shut.
        zel::MutexLock lock(m_mutex);
        m_stopping.store(true);
        m_changed.broadcast();  // a thread waiting for descriptors goes at once
    }
    m_listening.shutdown_listener();
    {
        zel::MutexLock lock(m_mutex);
        while (m_acceptors > 0) m_changed.wait(m_mutex);
    }
    m_accepting = false;
    m_listening.close_listener();
}

void CoordinatorServer::stop() {
    stop_accepting();
    std::vector<std::shared_ptr<zel::Completion>> runs;
    {
        zel::MutexLock lock(m_mutex);
        // Shut down, not closed: the party's own thread closes its socket when it frees the Caller.
        for (Caller* caller : m_callers) caller->m_conn->shutdown();
        while (m_parties.load() > 0) m_changed.wait(m_mutex);
        runs.swap(m_runs);
    }
    // Every thread that served here is back in the pool before the server may go.
    for (const std::shared_ptr<zel::Completion>& run : runs) run->wait();
}
