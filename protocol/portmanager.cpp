#include "protocol/portmanager.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdint>
#include <ctime>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/lock.h"

// This platform's sockets need no start-up.
int start_sockets() { return 0; }

Portmanager::Portmanager() : m_coord_port(0), m_top_port(0) {
    start_sockets();
    read_ports();
    zel_inform(stderr, "portmanager constructed\n");
    pthread_mutex_init(&m_mutex, nullptr);
    pthread_cond_init(&m_cond, nullptr);
    zel::MutexGuard guard(m_mutex);
    for (int port = m_coord_port + 1; port <= m_top_port; ++port) {
        PortEntry* entry = new PortEntry{port, std::to_string(port)};
        m_free.push_back(entry);
        m_ports.push_back(entry);
        m_by_text[entry->text] = entry;
    }
}

Portmanager::~Portmanager() {
    while (!m_ports.empty()) {
        delete m_ports.front();
        m_ports.pop_front();
    }
    pthread_mutex_destroy(&m_mutex);
    pthread_cond_destroy(&m_cond);
}

namespace {

// Looks a service up and writes its two lines. The port in host byte order, or 0 when not found.
int service_port(const char* name) {
    servent entry{};
    servent* found = nullptr;
    char buffer[1024];
    getservbyname_r(name, nullptr, &entry, buffer, sizeof buffer, &found);
    zel_inform(stderr, "getservbyname returned = %x\n",
               static_cast<unsigned>(reinterpret_cast<uintptr_t>(found)));
    if (found == nullptr) return 0;
    int port = ntohs(static_cast<uint16_t>(found->s_port));
    zel_inform(stderr, "servent returned port = %d %d\n", static_cast<int>(static_cast<int16_t>(found->s_port)),
               port);
    return port;
}

}  // namespace

void Portmanager::read_ports() {
    zel_env_set_default("TQR_COORDINATOR_PORT", "0");
    zel_env_set_default("TQR_TOP_PORT", "0");
    m_coord_port = zel_env_get_int("TQR_COORDINATOR_PORT");
    m_top_port = zel_env_get_int("TQR_TOP_PORT");
    if (m_coord_port == 0) {
        if (int port = service_port("zeltqr")) m_coord_port = port;
        if (int port = service_port("zeltqrtop")) m_top_port = port;
    } else {
        zel_inform(stderr, "m_coord_port=%d\n", m_coord_port);
    }
    if (m_coord_port == 0) m_coord_port = 7200;
    if (m_top_port == 0) m_top_port = 7220;
    if (m_top_port <= m_coord_port) m_top_port = m_coord_port + 20;
}

int Portmanager::coord_port() { return m_coord_port; }

namespace {

double monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// How long an abandoned port waits before it is lent again: the sender's listener gives up after
// TQR_LISTEN_TIMEOUT seconds and then closes its socket; two seconds more cover the travel.
double return_delay() {
    zel_env_set_default("TQR_LISTEN_TIMEOUT", "60");
    int seconds = zel_env_get_int("TQR_LISTEN_TIMEOUT");
    return (seconds > 0 ? seconds : 60) + 2.0;
}

}  // namespace

const std::string* Portmanager::pop_port() {
    zel::MutexGuard guard(m_mutex);
    return_due();
    while (m_free.empty()) {
        if (m_returning.empty()) {
            pthread_cond_wait(&m_cond, &m_mutex);
        } else {
            AbsTime deadline;
            pthread_cond_timedwait(&m_cond, &m_mutex,
                                   deadline.after(std::max(0.0, m_returning.front().due - monotonic_seconds())));
        }
        return_due();
    }
    PortEntry* entry = m_free.front();
    m_free.pop_front();
    zel_inform(stderr, " popped port %s \n", entry->text.c_str());
    return &entry->text;
}

const std::string* Portmanager::pop_port_or_wait(Caller* waiter) {
    zel::MutexGuard guard(m_mutex);
    return_due();
    if (m_free.empty()) {
        if (std::find(m_waiters.begin(), m_waiters.end(), waiter) == m_waiters.end()) m_waiters.push_back(waiter);
        return nullptr;
    }
    PortEntry* entry = m_free.front();
    m_free.pop_front();
    zel_inform(stderr, " popped port %s \n", entry->text.c_str());
    return &entry->text;
}

void Portmanager::forget_waiter(Caller* waiter) {
    zel::MutexGuard guard(m_mutex);
    m_waiters.remove(waiter);
}

int Portmanager::recycle_port(const std::string& text) {
    zel::MutexGuard guard(m_mutex);
    auto found = m_by_text.find(text);
    if (found == m_by_text.end()) {
        zel_inform(stderr, " port %s not among ports\n", text.c_str());
        return 0;
    }
    queue_free(found->second);
    zel_inform(stderr, " recycling port %s \n", text.c_str());
    return 1;
}

void Portmanager::queue_free(PortEntry* entry) {
    m_free.push_back(entry);
    pthread_cond_signal(&m_cond);
    if (!m_waiters.empty()) {
        m_waiters.front()->port_freed();
        m_waiters.pop_front();
    }
}

void Portmanager::return_due() {
    double now = monotonic_seconds();
    while (!m_returning.empty() && m_returning.front().due <= now) {
        PortEntry* entry = m_returning.front().entry;
        m_returning.pop_front();
        queue_free(entry);
        zel_inform(stderr, " recycling port %s \n", entry->text.c_str());
    }
}

namespace {

std::atomic<RendezvousObserver> g_rendezvous_observer{nullptr};

void report(const std::string& confid, const std::string& nickname, const std::string& port, const char* outcome,
            double lent_at) {
    RendezvousObserver observer = g_rendezvous_observer.load(std::memory_order_acquire);
    if (observer == nullptr || outcome == nullptr) return;
    observer(RendezvousReport{confid, nickname, port, outcome, (monotonic_seconds() - lent_at) * 1000.0});
}

}  // namespace

void set_rendezvous_observer(RendezvousObserver observer) {
    g_rendezvous_observer.store(observer, std::memory_order_release);
}

void Portmanager::lend(const std::string& text, const void* sender, const void* endstation, const std::string& confid,
                       const std::string& nickname) {
    zel::MutexGuard guard(m_mutex);
    m_leases[text] = Lease{sender, endstation, confid, nickname, monotonic_seconds()};
}

bool Portmanager::is_lent(const std::string& text, const void* sender, const void* endstation) {
    zel::MutexGuard guard(m_mutex);
    auto found = m_leases.find(text);
    return found != m_leases.end() && found->second.sender == sender && found->second.endstation == endstation;
}

bool Portmanager::has_lease(const void* sender, const void* endstation) {
    zel::MutexGuard guard(m_mutex);
    return std::any_of(m_leases.begin(), m_leases.end(), [&](const auto& lease) {
        return lease.second.sender == sender && lease.second.endstation == endstation;
    });
}

int Portmanager::end_lease(const std::string& text, const void* sender, const void* endstation,
                           const char* outcome) {
    Lease ended;
    {
        zel::MutexGuard guard(m_mutex);
        auto found = m_leases.find(text);
        if (found == m_leases.end() || found->second.sender != sender || found->second.endstation != endstation)
            return 0;
        ended = std::move(found->second);
        m_leases.erase(found);
    }
    report(ended.confid, ended.nickname, text, outcome, ended.lent_at);
    return 1;
}

void Portmanager::abandon(const void* party, const void* endstation, const char* outcome) {
    std::map<std::string, Lease> ended;
    {
        zel::MutexGuard guard(m_mutex);
        double due = monotonic_seconds() + return_delay();
        for (auto lease = m_leases.begin(); lease != m_leases.end();) {
            bool ends = endstation ? (lease->second.sender == party && lease->second.endstation == endstation)
                                   : (lease->second.sender == party || lease->second.endstation == party);
            if (!ends) {
                ++lease;
                continue;
            }
            zel_inform(stderr, " port %s returns after its rendezvous failed\n", lease->first.c_str());
            m_returning.push_back(Returning{m_by_text[lease->first], due});
            ended.insert(*lease);
            lease = m_leases.erase(lease);
        }
    }
    for (const auto& lease : ended) report(lease.second.confid, lease.second.nickname, lease.first, outcome, lease.second.lent_at);
}

double Portmanager::next_return_in() {
    zel::MutexGuard guard(m_mutex);
    if (m_returning.empty()) return -1.0;
    return std::max(0.0, m_returning.front().due - monotonic_seconds());
}

size_t Portmanager::lent_count() {
    zel::MutexGuard guard(m_mutex);
    return m_leases.size();
}

size_t Portmanager::out_count() {
    zel::MutexGuard guard(m_mutex);
    return_due();
    size_t accounted = m_free.size() + m_returning.size() + m_in_use.size();
    return accounted < m_ports.size() ? m_ports.size() - accounted : 0;
}

size_t Portmanager::returning_count() {
    zel::MutexGuard guard(m_mutex);
    return m_returning.size();
}

int Portmanager::mark_in_use(const char* text) {
    zel::MutexGuard guard(m_mutex);
    auto found = m_by_text.find(text ? text : "");
    if (found == m_by_text.end()) return 0;
    m_in_use.push_back(found->second);
    return 1;
}

size_t Portmanager::free_count() {
    zel::MutexGuard guard(m_mutex);
    return_due();
    return m_free.size();
}

int Caller::coord_port() { return g_portmanager.coord_port(); }
