#include "protocol/portmanager.h"

#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>

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

const std::string* Portmanager::pop_port() {
    zel::MutexGuard guard(m_mutex);
    while (m_free.empty()) pthread_cond_wait(&m_cond, &m_mutex);
    PortEntry* entry = m_free.front();
    m_free.pop_front();
    zel_inform(stderr, " popped port %s \n", entry->text.c_str());
    return &entry->text;
}

const std::string* Portmanager::pop_port_or_wait(Caller* waiter) {
    zel::MutexGuard guard(m_mutex);
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
    m_free.push_back(found->second);
    pthread_cond_signal(&m_cond);
    if (!m_waiters.empty()) {
        m_waiters.front()->port_freed();
        m_waiters.pop_front();
    }
    zel_inform(stderr, " recycling port %s \n", text.c_str());
    return 1;
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
    return m_free.size();
}

int Caller::coord_port() { return g_portmanager.coord_port(); }
