// The idle phase: as many idle parties as the machine allows, held by the second process, what they
// cost the coordinator's process (memory, threads), and a rendezvous beside them.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <fstream>

#include "bench.h"
#include "protocol/party_events.h"

namespace bench {

namespace {

// Descriptors, tasks and memory maps left to everything else on the machine.
constexpr long kFdMargin = 256;
constexpr long kTaskMargin = 4096;
constexpr long kMapMargin = 2048;
constexpr long kPortMargin = 512;
// The first parties, which tell what each costs.
constexpr int kProbe = 100;
constexpr milliseconds kSetupLimit(180000);

// Counts the idle parties that joined and left while it is installed, and lets a thread wait for a
// count. Never destroyed: an event under way may still reach it after it is uninstalled.
class Tally {
public:
    void install() { zel::set_party_observer(record, this); }
    static void uninstall() { zel::set_party_observer(nullptr, nullptr); }
    long count(zel::PartyEventKind kind) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return kind == zel::EVENT_JOINED ? m_joined : m_left;
    }
    bool wait_for(zel::PartyEventKind kind, long at_least, milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return (kind == zel::EVENT_JOINED ? m_joined : m_left) >= at_least; });
    }

private:
    static void record(const zel::PartyEvent& event, void* self) {
        if (event.conference.compare(0, 5, "idle-") != 0) return;
        Tally* tally = static_cast<Tally*>(self);
        std::lock_guard<std::mutex> lock(tally->m_mutex);
        tally->m_joined += event.kind == zel::EVENT_JOINED;
        tally->m_left += event.kind == zel::EVENT_LEFT;
        tally->m_changed.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    long m_joined = 0;
    long m_left = 0;
};

Tally& tally() {
    static Tally* the_tally = new Tally;
    return *the_tally;
}

long file_number(const char* path) {
    std::ifstream in(path);
    long value = -1;
    in >> value;
    return value;
}

long line_count(const char* path) {
    std::ifstream in(path);
    long lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    return lines;
}

// Tasks of the whole system, from /proc/loadavg ("running/total").
long system_tasks() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c, tasks;
    in >> a >> b >> c >> tasks;
    size_t slash = tasks.find('/');
    return slash == std::string::npos ? 0 : atol(tasks.c_str() + slash + 1);
}

// The ports of the local range that bind() takes (the odd ones; see idle_clients.cpp).
long bind_ports() {
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    long low = 0, high = -1;
    in >> low >> high;
    return high >= low ? (high - low + 1 + (low % 2)) / 2 : 0;
}

// How many more parties the machine allows beside the `held` ones, each costing one descriptor, one
// port of the local range, `threads_each` threads and `maps_each` memory maps of this process; `why`
// names the limit that decides.
long room(long held, double threads_each, double maps_each, std::string* why) {
    rlimit files{}, tasks{};
    getrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NPROC, &tasks);
    const long nproc = tasks.rlim_cur == RLIM_INFINITY ? 1L << 30 : static_cast<long>(tasks.rlim_cur);
    const double thread_cost = std::max(threads_each, 0.01), map_cost = std::max(maps_each, 0.01);
    const long task_room = std::min(file_number("/proc/sys/kernel/pid_max"), file_number("/proc/sys/kernel/threads-max"));
    const std::vector<std::pair<long, std::string>> limits = {
        {static_cast<long>(files.rlim_cur) - harness::descriptors() - kFdMargin,
         "the descriptor limit " + std::to_string(files.rlim_cur)},
        {static_cast<long>((task_room - system_tasks() - kTaskMargin) / thread_cost),
         "pid_max/threads-max " + std::to_string(task_room) + " with " + std::to_string(system_tasks()) + " tasks running"},
        {static_cast<long>((nproc - system_tasks() - kTaskMargin) / thread_cost), "RLIMIT_NPROC " + std::to_string(nproc)},
        {static_cast<long>((file_number("/proc/sys/vm/max_map_count") - line_count("/proc/self/maps") - kMapMargin) / map_cost),
         "vm.max_map_count"},
        {bind_ports() - held - kPortMargin, "the local port range (" + std::to_string(bind_ports()) + " ports for bound sockets)"},
    };
    auto least = std::min_element(limits.begin(), limits.end());
    *why = least->second;
    return std::max(0L, least->first);
}

// Opens `count` more idle parties and waits until the coordinator has filed each that got through;
// how many it filed.
long open_parties(IdleClients& clients, long count) {
    const long before = tally().count(zel::EVENT_JOINED);
    const int opened = clients.open(static_cast<int>(count), kSetupLimit);
    if (opened < 0) {
        note("idle: the client process did not answer within " + std::to_string(kSetupLimit.count()) + " ms");
        return 0;
    }
    if (opened < count) note("idle: " + std::to_string(opened) + " of " + std::to_string(count) + " parties got through their handshake");
    if (!tally().wait_for(zel::EVENT_JOINED, before + opened, kSetupLimit))
        note("idle: only " + std::to_string(tally().count(zel::EVENT_JOINED) - before) + " of " + std::to_string(opened) + " parties joined");
    return tally().count(zel::EVENT_JOINED) - before;
}

// What the idle parties cost: the growth of this process from `rss_before` and `threads_before`.
void costs(long rss_before, int threads_before, IdleFigures* out) {
    malloc_trim(0);
    out->threads = harness::threads();
    if (out->parties <= 0) return;
    out->rss_kib_per_party = static_cast<double>(harness::resident_kib() - rss_before) / out->parties;
    out->threads_per_party = static_cast<double>(out->threads - threads_before) / out->parties;
}

}  // namespace

bool run_idle(IdleClients& clients, int cap, int warmup, int rounds, IdleFigures* out) {
    tally().install();
    malloc_trim(0);
    const long rss_before = harness::resident_kib();
    const int threads_before = harness::threads();
    const long maps_before = line_count("/proc/self/maps");
    const Clock::time_point setup = Clock::now();
    const long probe = open_parties(clients, cap > 0 ? std::min(cap, kProbe) : kProbe);
    std::string why;
    long more = probe > 0 ? room(probe, static_cast<double>(harness::threads() - threads_before) / static_cast<double>(probe),
                                 static_cast<double>(line_count("/proc/self/maps") - maps_before) / static_cast<double>(probe), &why)
                          : 0;
    if (cap > 0 && probe + more > cap) {
        more = cap - probe;
        why = "the count asked for";
    }
    note("idle: " + std::to_string(probe + more) + " parties, limited by " + why);
    out->parties = static_cast<int>(probe + (more > 0 ? open_parties(clients, more) : 0));
    note("idle: " + std::to_string(out->parties) + " parties joined in " +
         std::to_string(std::chrono::duration<double>(Clock::now() - setup).count()) + " s");
    costs(rss_before, threads_before, out);
    Tally::uninstall();

    harness::CallerParty sender;
    Sequential beside;
    bool ok = out->parties > 0 && start_sender(sender, "beside") && run_sequential("beside", warmup, rounds, &beside);
    out->beside_us = beside.latency_us;
    sender.stop();

    const Clock::time_point teardown = Clock::now();
    tally().install();
    const long joined = tally().count(zel::EVENT_JOINED);
    clients.stop();
    if (!tally().wait_for(zel::EVENT_LEFT, joined, kSetupLimit))
        note("idle: " + std::to_string(joined - tally().count(zel::EVENT_LEFT)) + " idle parties still held after " +
             std::to_string(kSetupLimit.count()) + " ms");
    Tally::uninstall();
    note("idle: teardown took " + std::to_string(std::chrono::duration<double>(Clock::now() - teardown).count()) + " s");
    return ok;
}

}  // namespace bench
