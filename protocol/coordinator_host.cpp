#include "protocol/coordinator_host.h"

#include <atomic>

#include "protocol/activelist.h"
#include "protocol/clock.h"
#include "protocol/coordinator_server.h"

struct zel::CoordinatorHost::State {
    CoordinatorServer server;
    int port = 0;
    std::atomic<bool> cut{false};  // set by cut_drain(), read by the drain under the pool's mutex
};

namespace {

bool rendezvous_hold_ports(const Portmanager::Counts& counts) { return counts.lent + counts.reserved > 0; }

}  // namespace

zel::CoordinatorHost::CoordinatorHost() : m_state(new State) {}

zel::CoordinatorHost::~CoordinatorHost() { stop(); }

bool zel::CoordinatorHost::start(int port, const AdmissionLimits& limits) {
    // The socket layer keeps a port's low 16 bits: 70000 would listen on 4464.
    if (port < 1 || port > 65535) return false;
    if (!m_state->server.start(port, limits)) return false;
    m_state->port = port;
    return true;
}

void zel::CoordinatorHost::only_conference(const std::string& confid) { m_state->server.only_conference(confid); }

void zel::CoordinatorHost::stop_accepting() { m_state->server.stop_accepting(); }

bool zel::CoordinatorHost::drain(double seconds) {
    // The pool tells every change of a port under its mutex, and cut_drain() nudges it: no change is
    // missed between a look and the wait.
    g_portmanager.wait_until(
        [](const Portmanager::Counts& counts, void* state) {
            return static_cast<State*>(state)->cut.load() || !rendezvous_hold_ports(counts);
        },
        m_state.get(), zel::bounded_seconds(seconds));
    return !rendezvous_hold_ports(g_portmanager.counts());
}

void zel::CoordinatorHost::cut_drain() {
    m_state->cut.store(true);
    g_portmanager.nudge();
}

void zel::CoordinatorHost::stop() { m_state->server.stop(); }

zel::CoordinatorCounts zel::CoordinatorHost::counts() const {
    const CoordinatorServer& server = m_state->server;
    CoordinatorCounts counts;
    counts.parties = server.parties();
    counts.max_parties = server.max_parties();
    counts.max_per_source = server.max_per_source();
    counts.served = server.served();
    counts.refused = server.refused();
    counts.refused_sources = server.refused_sources();
    counts.rejected_senders = server.rejected_senders();
    counts.conferences = g_activelist.glance();
    counts.ports = g_portmanager.glance();
    counts.coordinator_port = m_state->port;
    counts.top_port = g_portmanager.top_port();
    return counts;
}

bool zel::CoordinatorHost::wait_parties(int count, double seconds) { return m_state->server.wait_parties(count, zel::bounded_seconds(seconds)); }
