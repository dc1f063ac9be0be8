#include "protocol/portmanager.h"

#include <algorithm>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/clock.h"
#include "protocol/deadlines.h"
#include "protocol/party_registry.h"
#include "protocol/phrase.h"
#include "protocol/settings.h"
#include "protocol/threads.h"

// This platform's sockets need no start-up.
int start_sockets() { return 0; }

Portmanager::Portmanager() : m_coord_port(0), m_top_port(0) {
    start_sockets();
    m_coord_port = zel::settings().coordinator_port;
    m_top_port = zel::settings().top_port;
    zel_inform(stderr, "portmanager constructed\n");
    zel::MutexLock lock(m_mutex);
    for (int port = m_coord_port + 1; port <= m_top_port; ++port) {
        PortEntry* entry = new PortEntry{port, std::to_string(port)};
        m_by_text[entry->text] = m_ports.size();
        m_ports.push_back(entry);
    }
    m_state.reserve(m_ports.size());
    for (PortEntry* entry : m_ports) m_state.push_back(Port{entry, FREE, 0});
    m_in_state[FREE].store(m_state.size());
    for (Port& port : m_state) m_free.push_back(&port);
}

Portmanager::~Portmanager() {
    while (!m_ports.empty()) {
        delete m_ports.front();
        m_ports.pop_front();
    }
}

int Portmanager::coord_port() { return m_coord_port; }

int Caller::coord_port() { return g_portmanager.coord_port(); }

const PortEntry* Portmanager::entry(const std::string& text) const {
    auto found = m_by_text.find(text);
    if (found == m_by_text.end()) return nullptr;
    auto at = m_ports.begin();
    std::advance(at, static_cast<long>(found->second));
    return *at;
}

Portmanager::Port* Portmanager::find(const std::string& text) {
    auto found = m_by_text.find(text);
    return found == m_by_text.end() ? nullptr : &m_state[found->second];
}

size_t Portmanager::held_by(uint64_t holder) {
    auto found = m_lent_to.find(holder);
    return found == m_lent_to.end() ? 0 : found->second;
}

bool Portmanager::others_wait(uint64_t holder) {
    return std::any_of(m_waiters.begin(), m_waiters.end(), [&](const Waiter& w) { return w.holder != holder; });
}

void Portmanager::lend_out(Port* port, uint64_t holder) {
    if (port->state != RESERVED) ++m_lent_to[holder];
    set_state(port, LENT);
    port->holder = holder;
    m_changed.broadcast();
    zel_inform(stderr, " popped port %s \n", port->entry->text.c_str());
}

const PortEntry* Portmanager::lend(uint64_t holder, Cookie waiter, const std::string& confid) {
    zel::MutexLock lock(m_mutex);
    for (Port& port : m_state) {
        if (port.state == RESERVED && port.holder == holder) {
            lend_out(&port, holder);
            return port.entry;
        }
    }
    if (!m_free.empty() && (!others_wait(holder) || held_by(holder) < share())) {
        Port* port = m_free.front();
        m_free.pop_front();
        lend_out(port, holder);
        return port->entry;
    }
    bool queued = std::any_of(m_waiters.begin(), m_waiters.end(), [&](const Waiter& w) { return w.holder == holder; });
    if (!queued) m_waiters.push_back(Waiter{holder, waiter, confid});
    return nullptr;
}

std::vector<Portmanager::Wake> Portmanager::serve_waiters() {
    std::vector<Wake> wakes;
    while (!m_free.empty()) {
        auto next = m_waiters.begin();
        while (next != m_waiters.end() && held_by(next->holder) >= share() && others_wait(next->holder)) ++next;
        if (next == m_waiters.end()) break;
        Port* port = m_free.front();
        m_free.pop_front();
        set_state(port, RESERVED);
        port->holder = next->holder;
        ++m_lent_to[next->holder];
        wakes.push_back(Wake{next->sender, next->confid});
        m_waiters.erase(next);
    }
    return wakes;
}

std::vector<Portmanager::Wake> Portmanager::make_free(Port* port) {
    set_state(port, FREE);
    m_free.push_back(port);
    m_changed.broadcast();
    return serve_waiters();
}

void Portmanager::take_back(Port* port, State state) {
    auto held = m_lent_to.find(port->holder);
    if (held != m_lent_to.end() && --held->second == 0) m_lent_to.erase(held);
    set_state(port, state);
    port->holder = 0;
    m_changed.broadcast();
}

void Portmanager::forget(uint64_t holder) {
    std::vector<Wake> wakes;
    {
        zel::MutexLock lock(m_mutex);
        m_waiters.remove_if([&](const Waiter& w) { return w.holder == holder; });
        for (Port& port : m_state) {
            if (port.state != RESERVED || port.holder != holder) continue;
            take_back(&port, FREE);
            // A reserved port was the oldest free one: it goes back to the front.
            m_free.push_front(&port);
        }
        wakes = serve_waiters();
    }
    wake(wakes);
}

int Portmanager::recycle_port(const std::string& text) {
    std::vector<Wake> wakes;
    {
        zel::MutexLock lock(m_mutex);
        Port* port = find(text);
        if (port == nullptr || port->state != LENT) {
            zel_inform(stderr, " port %s not among ports\n", text.c_str());
            return 0;
        }
        take_back(port, FREE);
        zel_inform(stderr, " recycling port %s \n", text.c_str());
        wakes = make_free(port);
    }
    wake(wakes);
    return 1;
}

void Portmanager::rest_until(Port* port, double at) {
    PortEntry* entry = port->entry;
    g_deadlines.schedule(at, [this, entry] {
        std::vector<Wake> wakes;
        {
            zel::MutexLock lock(m_mutex);
            Port* resting = find(entry->text);
            if (resting->state != RETURNING && resting->state != SET_ASIDE) return;
            zel_inform(stderr, " recycling port %s \n", entry->text.c_str());
            wakes = make_free(resting);
        }
        wake(wakes);
    });
}

void Portmanager::return_at(const PortEntry* lent, double at) {
    zel::MutexLock lock(m_mutex);
    Port* port = find(lent->text);
    if (port->state != LENT) return;
    take_back(port, RETURNING);
    zel_inform(stderr, " port %s returns after its rendezvous failed\n", lent->text.c_str());
    rest_until(port, at);
}

int Portmanager::mark_in_use(const std::string& text, double at) {
    zel::MutexLock lock(m_mutex);
    Port* port = find(text);
    if (port == nullptr || port->state != LENT) return 0;
    take_back(port, SET_ASIDE);
    rest_until(port, at);
    return 1;
}

Portmanager::Counts Portmanager::counts() {
    zel::MutexLock lock(m_mutex);
    return count();
}

bool Portmanager::wait_until(bool (*done)(const Counts& counts), double seconds) {
    return wait_until([](const Counts& counts, void* plain) { return (*static_cast<decltype(done)*>(plain))(counts); },
                      &done, seconds);
}

bool Portmanager::wait_until(bool (*done)(const Counts& counts, void* context), void* context, double seconds) {
    timespec until = zel::monotonic_timespec(zel::now() + seconds);
    zel::MutexLock lock(m_mutex);
    while (!done(count(), context)) {
        if (m_changed.wait_until(m_mutex, until) != 0) return done(count(), context);
    }
    return true;
}

void Portmanager::nudge() {
    zel::MutexLock lock(m_mutex);
    m_changed.broadcast();
}

void Portmanager::set_state(Port* port, State state) {
    m_in_state[port->state].fetch_sub(1, std::memory_order_relaxed);
    m_in_state[state].fetch_add(1, std::memory_order_relaxed);
    port->state = state;
}

Portmanager::Counts Portmanager::glance() const {
    auto in = [&](State state) { return m_in_state[state].load(std::memory_order_relaxed); };
    return Counts{in(FREE), in(RESERVED), in(LENT), in(RETURNING), in(SET_ASIDE)};
}

Portmanager::Counts Portmanager::count() {
    Counts counts{};
    for (const Port& port : m_state) {
        switch (port.state) {
        case FREE: ++counts.free; break;
        case RESERVED: ++counts.reserved; break;
        case LENT: ++counts.lent; break;
        case RETURNING: ++counts.returning; break;
        case SET_ASIDE: ++counts.set_aside; break;
        }
    }
    return counts;
}

void Portmanager::wake(const std::vector<Wake>& wakes) {
    // The sender's conference lends the port and sends "Listen ", on a thread of the pool: whoever
    // freed the port (the deadline thread among them) must not wait on a slow sender.
    for (const Wake& w : wakes) {
        if (w.sender == Cookie()) continue;  // nobody to tell
        Wake* job = new Wake(w);
        if (!zel::library_threads().run(s_serve, job)) s_serve(job);
    }
}

void* Portmanager::s_serve(void* wake) {
    std::unique_ptr<Wake> job(static_cast<Wake*>(wake));
    HeldParty sender(job->sender, ROLE_SENDER, job->confid);
    if (sender.get()) sender.get()->port_reserved();
    return nullptr;
}
