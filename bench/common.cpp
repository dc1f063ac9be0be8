// Output, the bridge book and the start of a sender: what every phase of zel_bench_rendezvous uses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "bench.h"
#include "protocol/host.h"
#include "protocol/phrase.h"

namespace bench {

void figure(const std::string& name, double value, int decimals) {
    printf("%s=%.*f\n", name.c_str(), decimals, value);
    fflush(stdout);
}

void note(const std::string& text) {
    printf("# %s\n", text.c_str());
    fflush(stdout);
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// ---- BridgeBook ----------------------------------------------------------------------------------

namespace {

int port_of_end(int fd, bool peer) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int got = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                   : getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return got == 0 ? ntohs(address.sin_port) : 0;
}

}  // namespace

void BridgeBook::on_bridge(int fd, bool sender) {
    const Clock::time_point at = Clock::now();
    int to_close = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_in_order && sender) {
            if (m_ordered_endstations.empty()) {
                ++m_ordered_senders;
                return;
            }
            to_close = m_ordered_endstations.front();
            m_ordered_endstations.erase(m_ordered_endstations.begin());
        } else if (m_in_order) {
            if (m_ordered_senders == 0) {
                m_ordered_endstations.push_back(fd);
                return;
            }
            --m_ordered_senders;
            to_close = fd;
        } else {
            const uint32_t local = static_cast<uint32_t>(port_of_end(fd, false));
            const uint32_t peer = static_cast<uint32_t>(port_of_end(fd, true));
            // The same key from both ends: the endstation's port above the sender's pool port.
            const uint32_t key = sender ? (peer << 16 | local) : (local << 16 | peer);
            auto other = m_halves.find(key);
            if (other == m_halves.end() || other->second.sender == sender) {
                m_halves[key] = Half{sender, fd};
                return;
            }
            to_close = sender ? other->second.fd : fd;
            m_halves.erase(other);
        }
        ++m_completed;
        m_last_done = at;
    }
    close(to_close);
    m_changed.notify_all();
}

void BridgeBook::pair_in_order(bool in_order) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_in_order = in_order;
}

long BridgeBook::completed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_completed;
}

bool BridgeBook::wait_completed(long count, milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return m_completed >= count; });
}

Clock::time_point BridgeBook::last_done() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last_done;
}

void BridgeBook::drop_unpaired() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& entry : m_halves)
        if (!entry.second.sender) close(entry.second.fd);
    m_halves.clear();
    for (int fd : m_ordered_endstations) close(fd);
    m_ordered_endstations.clear();
    m_ordered_senders = 0;
}

BridgeBook& book() {
    // Never destroyed: a sender's listener thread may still call the bridge while the process exits.
    static BridgeBook* the_book = new BridgeBook;
    return *the_book;
}

void bridge(int fd) { book().on_bridge(fd, false); }

namespace {

void sender_bridge(int fd, void*) { book().on_bridge(fd, true); }

}  // namespace

// ---- Parties -------------------------------------------------------------------------------------

bool start_sender(harness::CallerParty& sender, const std::string& conference) {
    harness::EventLog events;
    // Before its loop runs: the sender's ends reach the book as the sender's.
    zel::set_bridge_handler(sender.caller, sender_bridge, nullptr);
    sender.run(ROLE_SENDER, "s", conference, kKey);
    bool joined = events.wait_until([&] {
        for (const zel::PartyEvent& e : events.events())
            if (e.kind == zel::EVENT_JOINED && e.role == ROLE_SENDER && e.conference == conference) return true;
        return false;
    });
    if (!joined) note("the sender of " + conference + " did not join within " + std::to_string(harness::kStep.count()) + " ms");
    return joined;
}

}  // namespace bench
