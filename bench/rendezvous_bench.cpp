// zel_bench_rendezvous: the system measured where its users feel it, in one process on loopback: an
// in-process coordinator (CoordinatorServer), senders run as a host runs them (connect,
// startreadthread, negotiate, process on a thread of their own) and endstations that join one after
// another, in parallel streams or all at once; then the cost of thousands of idle parties. The same
// run measures the machine's floor (floor_bench.cpp) and prints the library's figures against it.
//
// Output: one name=value per line on stdout; lines starting with "# " are notes. See bench/README.md.
//
// Ports: the coordinator and its pool come from TQR_COORDINATOR_PORT and TQR_TOP_PORT, which the
// library reads when it is loaded; when they are unset the binary sets 28000 and 28020 and runs itself
// again. The floor uses TQR_TOP_PORT + 10 and the 20 ports above it.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "tools/tqr/coordinator_server.h"

// Defined in floor_bench.cpp.
namespace zel_floor {
bool two_thread(int coord_port, int pool_base, int pool_size, int warmup, int rounds, std::vector<double>* latency_us,
                double* rounds_per_s, std::string* error);
bool one_thread(int coord_port, int pool_base, int pool_size, int warmup, int rounds, std::vector<double>* latency_us,
                double* rounds_per_s, std::string* error);
double percentile(std::vector<double> values, double fraction);
}  // namespace zel_floor

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char* const kKey = "secret";

// prctl(PR_FUTEX_HASH): the process-private futex hash of Linux 6.16 and later. Older kernels refuse.
constexpr int kPrFutexHash = 78;
constexpr int kPrFutexHashSetSlots = 1;
constexpr int kPrFutexHashGetSlots = 2;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void figure(const char* name, double value, int decimals = 1) {
    printf("%s=%.*f\n", name, decimals, value);
    fflush(stdout);
}

void note(const std::string& text) {
    printf("# %s\n", text.c_str());
    fflush(stdout);
}

// ---------------------------------------------------------------------------------------------------
// Process facts.

long status_field(const char* name) {
    std::ifstream in("/proc/self/status");
    std::string line;
    size_t length = strlen(name);
    while (std::getline(in, line))
        if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':')
            return atol(line.c_str() + length + 1);
    return -1;
}

long rss_kib() { return status_field("VmRSS"); }
long thread_count() { return status_field("Threads"); }

// Resident KiB of the mappings that look like thread stacks (the default stack size, less its guard
// page), and how many there are.
long stack_rss_kib(long* stacks) {
    pthread_attr_t attr;
    size_t stack_size = 8 << 20;
    if (pthread_getattr_default_np(&attr) == 0) {
        pthread_attr_getstacksize(&attr, &stack_size);
        pthread_attr_destroy(&attr);
    }
    const long want_kib = static_cast<long>(stack_size / 1024);
    std::ifstream in("/proc/self/smaps");
    std::string line;
    long total = 0;
    bool is_stack = false;
    *stacks = 0;
    while (std::getline(in, line)) {
        if (line.compare(0, 5, "Size:") == 0) {
            long size = atol(line.c_str() + 5);
            is_stack = size <= want_kib && size >= want_kib - 64;
            if (is_stack) ++*stacks;
        } else if (is_stack && line.compare(0, 4, "Rss:") == 0) {
            total += atol(line.c_str() + 4);
            is_stack = false;
        }
    }
    return total;
}

long file_number(const char* path) {
    std::ifstream in(path);
    long value = -1;
    in >> value;
    return value;
}

// Threads of the whole system, from /proc/loadavg ("running/total").
long system_tasks() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c, tasks;
    in >> a >> b >> c >> tasks;
    size_t slash = tasks.find('/');
    return slash == std::string::npos ? -1 : atol(tasks.c_str() + slash + 1);
}

long count_lines(const char* path) {
    std::ifstream in(path);
    long lines = 0;
    std::string line;
    while (std::getline(in, line)) ++lines;
    return lines;
}

long open_fds() {
    long count = 0;
    for (int fd = 0; fd < 65536; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++count;
    return count;
}

// CPU time and context switches of the whole process (every thread, finished ones included).
struct Usage {
    double cpu_us = 0;
    long switches = 0;  // voluntary: a thread blocked (each one is paid back by a wake-up)

    static Usage now() {
        rusage r{};
        getrusage(RUSAGE_SELF, &r);
        Usage u;
        u.cpu_us = (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
        u.switches = r.ru_nvcsw;
        return u;
    }
};

// Prints what one round cost the process between `before` and now.
void usage_figures(const char* prefix, const Usage& before, int rounds) {
    const Usage after = Usage::now();
    if (rounds <= 0) return;
    figure((std::string(prefix) + "_cpu_us").c_str(), (after.cpu_us - before.cpu_us) / rounds);
    figure((std::string(prefix) + "_switches").c_str(), static_cast<double>(after.switches - before.switches) / rounds);
}

// ---------------------------------------------------------------------------------------------------
// The bridge: the host's callback, which pairs the two ends of each rendezvous.

int g_pool_low = 0;
int g_pool_high = 0;

// Pairs each sender-side bridge call with its endstation-side one (keyed by the direct link's two
// ports), counts finished rendezvous and keeps the time of the last one. The endstation's socket is
// the host's once bridged: closed here when both ends have been called, since the sender's side may
// still be reading its key frame before that.
class BridgeBook {
public:
    void on_bridge(int fd) {
        const Clock::time_point at = Clock::now();
        sockaddr_in local{}, peer{};
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        length = sizeof peer;
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length);
        const unsigned local_port = ntohs(local.sin_port);
        const unsigned peer_port = ntohs(peer.sin_port);
        const bool sender = static_cast<int>(local_port) >= g_pool_low && static_cast<int>(local_port) <= g_pool_high;
        const uint32_t key = sender ? (peer_port << 16 | local_port) : (local_port << 16 | peer_port);
        int to_close = -1;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            auto other = m_halves.find(key);
            if (other == m_halves.end() || other->second.sender == sender) {
                m_halves[key] = Half{sender, fd};
                return;
            }
            to_close = sender ? other->second.fd : fd;
            m_halves.erase(other);
            ++m_completed;
            m_last_done = at;
            if (m_recording) m_timeline.push_back(at);
        }
        close(to_close);
        m_cond.notify_all();
    }

    long completed() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_completed;
    }

    bool wait_completed(long count, milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, limit, [&] { return m_completed >= count; });
    }

    Clock::time_point last_done() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_last_done;
    }

    // Keeps the time of every completion from now on, until timeline() hands them over.
    void record() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_timeline.clear();
        m_recording = true;
    }
    std::vector<Clock::time_point> timeline() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_recording = false;
        return std::move(m_timeline);
    }

private:
    struct Half {
        bool sender;
        int fd;
    };
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::unordered_map<uint32_t, Half> m_halves;
    long m_completed = 0;
    Clock::time_point m_last_done;
    bool m_recording = false;
    std::vector<Clock::time_point> m_timeline;
};

BridgeBook g_book;

void bridge(int fd) { g_book.on_bridge(fd); }

// ---------------------------------------------------------------------------------------------------
// Bounded runs: a party whose rendezvous never ends would leave its host in process() for ever. The
// watchdog shuts down the links of the endstations still running when a phase's deadline passes.

class Watchdog {
public:
    Watchdog() : m_thread([this] { run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_quit = true;
        }
        m_cond.notify_all();
        m_thread.join();
    }

    void arm(milliseconds limit) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_deadline = Clock::now() + limit;
            m_armed = true;
            m_fired = false;
        }
        m_cond.notify_all();
    }
    // true when the deadline passed while armed.
    bool disarm() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_armed = false;
        return m_fired;
    }
    void add(Caller* caller) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_callers.insert(caller);
        if (m_fired) cut(caller);
    }
    void remove(Caller* caller) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_callers.erase(caller);
    }
    bool fired() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_fired;
    }

private:
    static void cut(Caller* caller) {
        if (int fd = caller->m_conn->fd(); fd > 0) shutdown(fd, SHUT_RDWR);
    }
    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_quit) {
            if (!m_armed) {
                m_cond.wait(lock);
                continue;
            }
            if (m_cond.wait_until(lock, m_deadline) == std::cv_status::timeout && m_armed && !m_quit) {
                m_fired = true;
                m_armed = false;
                for (Caller* caller : m_callers) cut(caller);
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::set<Caller*> m_callers;
    Clock::time_point m_deadline;
    bool m_armed = false;
    bool m_fired = false;
    bool m_quit = false;
    std::thread m_thread;
};

Watchdog* g_watchdog = nullptr;

// ---------------------------------------------------------------------------------------------------
// Parties, run as their hosts run them.

int coordinator_port() { return g_portmanager.coord_port(); }

// A sender on a thread of its own: connect, startreadthread, negotiate, process.
class SenderHost {
public:
    ~SenderHost() { stop(); }

    bool start(const std::string& confid, milliseconds limit = milliseconds(10000)) {
        m_thread = std::thread([this, confid] {
            if (m_caller.connect(coordinator_port(), "127.0.0.1", ROLE_SENDER, "sender", confid.c_str(), kKey) != 1) {
                m_state.store(-1);
                return;
            }
            m_caller.startreadthread();
            if (m_caller.negotiate(1, ROLE_SENDER, ROLE_COORDINATOR) != 1) {
                m_state.store(-1);
                return;
            }
            m_state.store(1);
            m_caller.process();
        });
        auto until = Clock::now() + limit;
        while (m_state.load() == 0 && Clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
        return m_state.load() == 1;
    }

    // Ends the sender's link, as a host that quits does, and waits for its thread.
    void stop() {
        if (!m_thread.joinable()) return;
        if (int fd = m_caller.m_conn->fd(); fd > 0) shutdown(fd, SHUT_RDWR);
        m_thread.join();
    }

private:
    Caller m_caller;
    std::thread m_thread;
    std::atomic<int> m_state{0};  // 1 negotiated, -1 failed
};

// One endstation on the calling thread, as its host runs it; `started` is taken right before its
// connect to the coordinator. true when process() ended after "Adios ".
bool run_endstation(const std::string& confid, const std::string& nickname, Clock::time_point* started) {
    Caller endstation;
    g_watchdog->add(&endstation);
    *started = Clock::now();
    bool ok = endstation.connect(coordinator_port(), "127.0.0.1", ROLE_ENDSTATION, nickname.c_str(), confid.c_str(),
                                 kKey) == 1;
    if (ok) {
        endstation.startreadthread();
        ok = endstation.negotiate(1, ROLE_ENDSTATION, ROLE_COORDINATOR) == 1;
        if (ok) endstation.process();
    }
    g_watchdog->remove(&endstation);
    return ok && !g_watchdog->fired();
}

// ---------------------------------------------------------------------------------------------------
// Measurements.

// Endstations one after another in `confid` (whose sender runs): latency samples of the measured ones
// and the sequential rate (whole rendezvous, through "Adios " and the endstation's teardown).
bool measure_sequential(const std::string& confid, int warmup, int rounds, std::vector<double>* samples,
                        double* per_s) {
    samples->clear();
    Clock::time_point first{};
    g_watchdog->arm(milliseconds(30000 + 20 * (warmup + rounds)));
    bool ok = true;
    for (int i = 0; i < warmup + rounds && ok; ++i) {
        if (i == warmup) first = Clock::now();
        const long target = g_book.completed() + 1;
        Clock::time_point started;
        if (!run_endstation(confid, "e", &started)) {
            note(confid + ": endstation " + std::to_string(i) + " did not finish its rendezvous");
            ok = false;
        } else if (!g_book.wait_completed(target, milliseconds(10000))) {
            note(confid + ": rendezvous " + std::to_string(i) + " was not bridged on both ends within 10 s");
            ok = false;
        }
        if (ok && i >= warmup) samples->push_back(micros(g_book.last_done() - started));
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - first).count();
    if (g_watchdog->disarm()) ok = false;
    *per_s = ok && elapsed > 0 ? rounds / elapsed : 0.0;
    return ok;
}

// `conferences` conferences at once, each with its sender and a stream of `each` endstations.
bool measure_concurrent(int conferences, int each, double* per_s) {
    std::vector<std::unique_ptr<SenderHost>> senders;
    for (int c = 0; c < conferences; ++c) {
        senders.emplace_back(new SenderHost);
        if (!senders.back()->start("cc" + std::to_string(c))) {
            note("concurrent: a sender could not negotiate");
            return false;
        }
    }
    const long base = g_book.completed();
    const long total = static_cast<long>(conferences) * each;
    std::atomic<bool> go{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> streams;
    for (int c = 0; c < conferences; ++c) {
        streams.emplace_back([&, c] {
            while (!go.load()) std::this_thread::yield();
            const std::string confid = "cc" + std::to_string(c);
            for (int i = 0; i < each; ++i) {
                Clock::time_point started;
                if (!run_endstation(confid, "e", &started)) {
                    ++failures;
                    return;
                }
            }
        });
    }
    g_watchdog->arm(milliseconds(120000));
    const Clock::time_point first = Clock::now();
    go.store(true);
    for (auto& stream : streams) stream.join();
    bool ok = failures.load() == 0 && g_book.wait_completed(base + total, milliseconds(10000));
    const double elapsed = std::chrono::duration<double>(Clock::now() - first).count();
    if (g_watchdog->disarm()) ok = false;
    if (!ok)
        note("concurrent: " + std::to_string(g_book.completed() - base) + " of " + std::to_string(total) +
             " rendezvous completed");
    *per_s = ok ? total / elapsed : 0.0;
    for (auto& sender : senders) sender->stop();
    return ok;
}

// `count` endstations join one conference at once; the time until every one of them is bridged.
bool measure_fanout(int count, milliseconds limit, double* ms) {
    SenderHost sender;
    if (!sender.start("fan")) {
        note("fanout: the sender could not negotiate");
        return false;
    }
    const long base = g_book.completed();
    std::mutex gate_mutex;
    std::condition_variable gate;
    bool open = false;
    std::atomic<int> failures{0};
    std::vector<std::thread> endstations;
    for (int i = 0; i < count; ++i) {
        endstations.emplace_back([&, i] {
            {
                std::unique_lock<std::mutex> lock(gate_mutex);
                gate.wait(lock, [&] { return open; });
            }
            Clock::time_point started;
            if (!run_endstation("fan", "e" + std::to_string(i), &started)) ++failures;
        });
    }
    g_watchdog->arm(limit);
    g_book.record();
    const Clock::time_point first = Clock::now();
    {
        std::lock_guard<std::mutex> guard(gate_mutex);
        open = true;
    }
    gate.notify_all();
    bool ok = g_book.wait_completed(base + count, limit);
    *ms = std::chrono::duration<double, std::milli>(Clock::now() - first).count();
    if (!ok) {
        note("fanout: " + std::to_string(g_book.completed() - base) + " of " + std::to_string(count) +
             " bridged within " + std::to_string(limit.count()) + " ms");
    }
    // When the rendezvous finished: the 1st, then every 10% of them.
    const std::vector<Clock::time_point> times = g_book.timeline();
    std::string line = "fanout: ms until the first bridged, then every 10% more:";
    for (size_t i = 0; i < times.size(); i += std::max<size_t>(1, static_cast<size_t>(count) / 10)) {
        char text[32];
        snprintf(text, sizeof text, " %.0f", std::chrono::duration<double, std::milli>(times[i] - first).count());
        line += text;
    }
    note(line);
    for (auto& endstation : endstations) endstation.join();
    g_watchdog->disarm();
    sender.stop();
    return ok && failures.load() == 0;
}

// Waits until `done` holds, polling every 10 ms, for at most `limit`.
template <typename Done>
bool wait_for(Done done, milliseconds limit) {
    auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

// Settles the heap so that an RSS reading holds what is in use, not what free() kept.
long settled_rss() {
    malloc_trim(0);
    std::this_thread::sleep_for(milliseconds(500));
    malloc_trim(0);
    return rss_kib();
}

// Idle parties whose clients are Callers run as hosts run them, in the same process: the total that
// a party costs, client side and coordinator side together. Half are senders alone in their
// conferences, half endstations waiting in conferences that have no sender.
bool measure_idle_with_callers(CoordinatorServer& server, int parties, double* kib_per_party) {
    const size_t conferences_before = g_activelist.size();
    const int parties_before = server.parties();
    const long before = settled_rss();
    std::vector<std::unique_ptr<SenderHost>> senders;
    std::vector<std::unique_ptr<Caller>> endstations(static_cast<size_t>(parties / 2));
    std::vector<std::thread> hosts;
    std::atomic<int> failures{0};
    bool ok = true;
    for (int i = 0; i < parties / 2 && ok; ++i) {
        senders.emplace_back(new SenderHost);
        ok = senders.back()->start("is" + std::to_string(i));
    }
    for (int i = 0; i < parties / 2 && ok; ++i) {
        endstations[static_cast<size_t>(i)].reset(new Caller);
        Caller* endstation = endstations[static_cast<size_t>(i)].get();
        hosts.emplace_back([endstation, i, &failures] {
            const std::string confid = "ie" + std::to_string(i);
            if (endstation->connect(coordinator_port(), "127.0.0.1", ROLE_ENDSTATION, "idle", confid.c_str(), kKey) != 1) {
                ++failures;
                return;
            }
            endstation->startreadthread();
            if (endstation->negotiate(1, ROLE_ENDSTATION, ROLE_COORDINATOR) != 1) {
                ++failures;
                return;
            }
            endstation->process();
        });
    }
    ok = ok && wait_for([&] { return g_activelist.size() >= conferences_before + static_cast<size_t>(parties); },
                        milliseconds(60000));
    const long after = settled_rss();
    if (ok && failures.load() == 0) {
        *kib_per_party = static_cast<double>(after - before) / parties;
    } else {
        ok = false;
        note("idle with Callers: only " + std::to_string(g_activelist.size() - conferences_before) + " of " +
             std::to_string(parties) + " parties joined");
    }
    for (auto& endstation : endstations)
        if (endstation)
            if (int fd = endstation->m_conn->fd(); fd > 0) shutdown(fd, SHUT_RDWR);
    for (auto& host : hosts) host.join();
    endstations.clear();
    for (auto& sender : senders) sender->stop();
    senders.clear();
    wait_for([&] { return server.parties() <= parties_before; }, milliseconds(60000));
    return ok;
}

// One idle party's client end without a Caller: a socket that speaks the handshake by hand and then
// stays silent, costing this process a descriptor and no thread.
int raw_party(int index, bool sender) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer.sin_port = htons(static_cast<uint16_t>(coordinator_port()));
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    linger zero{};
    zero.l_onoff = 1;  // leave with a reset: no TIME_WAIT on either end
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &zero, sizeof zero);
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        close(fd);
        return -1;
    }
    // The coordinator speaks first: "TQR Coordinator 1.2".
    char greeting[64];
    size_t got = 0;
    while (got == 0 || memchr(greeting, '\0', got) == nullptr) {
        ssize_t n = recv(fd, greeting + got, sizeof greeting - got, 0);
        if (n <= 0 || got + static_cast<size_t>(n) >= sizeof greeting) {
            close(fd);
            return -1;
        }
        got += static_cast<size_t>(n);
    }
    std::string phrases;
    auto add = [&](const std::string& text) { phrases.append(text).push_back('\0'); };
    if (sender) {
        add("TQR Caller is Sender");
        add("TQR Sender 1.2");
        add("From Sender join rs" + std::to_string(index));
    } else {
        add("TQR Caller is Endstation");
        add("TQR Endstation 1.2");
        add("From Endstation name idle");
        add("From Endstation join re" + std::to_string(index));
    }
    if (send(fd, phrases.data(), phrases.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(phrases.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// How many idle parties this machine lets one process hold: each costs two descriptors here, and on
// the coordinator a reader, a party thread and a conference thread (two memory maps each).
int idle_capacity(int wanted, std::string* why) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const long fd_room = static_cast<long>(files.rlim_cur) - open_fds() - 300;
    const long pid_max = file_number("/proc/sys/kernel/pid_max");
    const long threads_max = file_number("/proc/sys/kernel/threads-max");
    const long task_room = std::min(pid_max, threads_max) - system_tasks() - 500;
    rlimit processes{};
    getrlimit(RLIMIT_NPROC, &processes);
    const long nproc_room = processes.rlim_cur == RLIM_INFINITY ? task_room
                                                                 : static_cast<long>(processes.rlim_cur) - system_tasks() - 500;
    const long map_room = file_number("/proc/sys/vm/max_map_count") - count_lines("/proc/self/maps") - 2000;
    struct Limit {
        long parties;
        std::string text;
    };
    std::vector<Limit> limits = {
        {fd_room / 2, "RLIMIT_NOFILE " + std::to_string(files.rlim_cur) + " (2 descriptors per party)"},
        {task_room / 3, "pid_max " + std::to_string(pid_max) + " / threads-max " + std::to_string(threads_max) +
                            " with " + std::to_string(system_tasks()) + " tasks running (3 threads per party)"},
        {nproc_room / 3, "RLIMIT_NPROC " + std::to_string(processes.rlim_cur) + " (3 threads per party)"},
        {map_room / 6, "vm.max_map_count (2 maps per thread, 3 threads per party)"},
    };
    long capacity = wanted;
    for (const Limit& limit : limits) {
        if (limit.parties < capacity) {
            capacity = limit.parties;
            *why = limit.text;
        }
    }
    capacity = std::max(0L, capacity / 100 * 100);
    return static_cast<int>(capacity);
}

struct IdleFigures {
    int parties = 0;
    double kib_per_party = 0;
    double stack_kib_per_party = 0;
    double cpu_percent = 0;      // of one core, while nothing happens
    double switches_per_s = 0;   // thread wake-ups per second, while nothing happens
    long threads = 0;
    std::vector<double> beside;
    double beside_per_s = 0;
};

// Idle parties with raw-socket clients (the coordinator's share of the memory), then rendezvous
// beside them.
bool measure_idle(CoordinatorServer& server, int parties, int warmup, int rounds, IdleFigures* out) {
    const size_t conferences_before = g_activelist.size();
    const int parties_before = server.parties();
    const long before = settled_rss();
    long stacks_before = 0;
    const long stack_kib_before = stack_rss_kib(&stacks_before);
    const Clock::time_point setup = Clock::now();
    std::vector<int> clients;
    clients.reserve(static_cast<size_t>(parties));
    for (int i = 0; i < parties; ++i) {
        int fd = raw_party(i, i % 2 == 0);
        if (fd < 0) {
            note("idle: party " + std::to_string(i) + " could not connect and handshake; stopping there");
            break;
        }
        clients.push_back(fd);
    }
    const size_t wanted = conferences_before + clients.size();
    bool ok = wait_for([&] { return g_activelist.size() >= wanted; }, milliseconds(120000));
    note("idle: " + std::to_string(clients.size()) + " parties connected and joined in " +
         std::to_string(std::chrono::duration<double>(Clock::now() - setup).count()) + " s");
    out->parties = static_cast<int>(g_activelist.size() - conferences_before);
    if (!ok) note("idle: only " + std::to_string(out->parties) + " parties joined their conferences");
    const long after = settled_rss();
    long stacks_after = 0;
    const long stack_kib_after = stack_rss_kib(&stacks_after);
    out->threads = thread_count();
    // What the idle parties cost while nothing happens at all.
    const Usage quiet_before = Usage::now();
    const Clock::time_point quiet_start = Clock::now();
    std::this_thread::sleep_for(milliseconds(3000));
    const Usage quiet_after = Usage::now();
    const double quiet_us = micros(Clock::now() - quiet_start);
    out->cpu_percent = 100.0 * (quiet_after.cpu_us - quiet_before.cpu_us) / quiet_us;
    out->switches_per_s = (quiet_after.switches - quiet_before.switches) / (quiet_us / 1e6);
    if (out->parties > 0) out->stack_kib_per_party = static_cast<double>(stack_kib_after - stack_kib_before) / out->parties;
    note("idle: " + std::to_string(stacks_after - stacks_before) + " more thread stacks, " +
         std::to_string(stack_kib_after - stack_kib_before) + " KiB of them resident");
    note("idle: the process's private futex hash has " + std::to_string(prctl(kPrFutexHash, kPrFutexHashGetSlots, 0, 0, 0)) +
         " slots (0: the global hash)");
    if (out->parties > 0) out->kib_per_party = static_cast<double>(after - before) / out->parties;

    SenderHost sender;
    bool beside = sender.start("beside") && measure_sequential("beside", warmup, rounds, &out->beside, &out->beside_per_s);
    if (!beside) note("idle: the rendezvous beside the idle parties failed");
    sender.stop();

    const Clock::time_point teardown = Clock::now();
    for (int fd : clients) close(fd);
    if (!wait_for([&] { return server.parties() <= parties_before; }, milliseconds(120000)))
        note("idle: " + std::to_string(server.parties() - parties_before) + " idle parties still served after teardown");
    note("idle: teardown took " + std::to_string(std::chrono::duration<double>(Clock::now() - teardown).count()) + " s");
    return ok && beside;
}

// ---------------------------------------------------------------------------------------------------

struct Options {
    bool diagnostics = false;
    int rounds = 2000;
    int warmup = 100;
    int conferences = 20;
    int per_conference = 100;
    int fanout = 200;
    int fanout_limit_ms = 60000;
    int idle = 10000;
    int idle_callers = 1000;
    int beside_rounds = 1000;
    int futex_slots = -1;  // -1: the kernel's default
    std::string samples_path;  // where to write the sequential latencies, one per line
    std::set<std::string> phases{"floor", "sequential", "concurrent", "fanout", "idle"};
};

void usage() {
    printf(
        "usage: zel_bench_rendezvous [--diagnostics] [--phases=floor,sequential,concurrent,fanout,idle]\n"
        "                            [--rounds=N] [--idle=N] [--idle-callers=N] [--quick] [--futex-slots=N]\n"
        "                            [--samples=FILE]\n");
}

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            size_t length = strlen(name);
            return arg.compare(0, length, name) == 0 ? arg.c_str() + length : nullptr;
        };
        if (arg == "--diagnostics") {
            options->diagnostics = true;
        } else if (arg == "--quick") {
            options->rounds = 300;
            options->per_conference = 20;
            options->idle = 1000;
            options->idle_callers = 200;
            options->beside_rounds = 300;
        } else if (const char* rounds = value("--rounds=")) {
            options->rounds = std::max(1, atoi(rounds));
        } else if (const char* idle = value("--idle=")) {
            options->idle = std::max(0, atoi(idle));
        } else if (const char* callers = value("--idle-callers=")) {
            options->idle_callers = std::max(0, atoi(callers));
        } else if (const char* slots = value("--futex-slots=")) {
            options->futex_slots = std::max(0, atoi(slots));
        } else if (const char* path = value("--samples=")) {
            options->samples_path = path;
        } else if (const char* phases = value("--phases=")) {
            options->phases.clear();
            std::stringstream list(phases);
            std::string phase;
            while (std::getline(list, phase, ',')) options->phases.insert(phase);
        } else {
            usage();
            return false;
        }
    }
    return true;
}

void ratio(const char* name, double value, double floor_value) {
    if (value > 0 && floor_value > 0) figure(name, value / floor_value, 2);
}

void goal(const char* name, bool measured, bool met) {
    if (measured) printf("goal_%s=%s\n", name, met ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
    // The pool is read when the library is loaded: run again with the benchmark's ports set.
    if (getenv("TQR_COORDINATOR_PORT") == nullptr) {
        setenv("TQR_COORDINATOR_PORT", "28000", 1);
        if (getenv("TQR_TOP_PORT") == nullptr) setenv("TQR_TOP_PORT", "28020", 1);
        execv("/proc/self/exe", argv);
        perror("zel_bench_rendezvous: cannot run itself again");
        return 1;
    }
    Options options;
    if (!parse(argc, argv, &options)) return 2;

    signal(SIGPIPE, SIG_IGN);
    if (options.futex_slots >= 0) {
        // A host-side setting, for experiments: the size of the process's futex hash (0: the global one).
        int set = prctl(kPrFutexHash, kPrFutexHashSetSlots, options.futex_slots, 0, 0);
        note("futex hash slots set to " + std::to_string(options.futex_slots) + (set == 0 ? "" : ": refused"));
    }
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    if (options.diagnostics) {
        // The library's inform lines are written (and paid for), to nowhere.
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null_fd, 2);
        close(null_fd);
        zel_set_quiet(0);
    } else {
        zel_set_quiet(1);
    }

    const int coord = g_portmanager.coord_port();
    g_pool_low = coord + 1;
    g_pool_high = g_portmanager.top_port();
    note("coordinator port " + std::to_string(coord) + ", pool " + std::to_string(g_pool_low) + "-" +
         std::to_string(g_pool_high) + (options.diagnostics ? ", diagnostics on (stderr to /dev/null)" : ", quiet"));
    printf("diagnostics=%d\n", options.diagnostics ? 1 : 0);

    set_bridge_callback(bridge);
    Watchdog watchdog;
    g_watchdog = &watchdog;
    auto wants = [&](const char* phase) { return options.phases.count(phase) > 0; };

    double floor_two_us = 0, floor_two_per_s = 0, floor_one_us = 0, floor_one_per_s = 0;
    if (wants("floor")) {
        const int floor_port = g_pool_high + 10;
        std::vector<double> samples;
        std::string error;
        Usage before = Usage::now();
        if (zel_floor::two_thread(floor_port, floor_port + 1, 20, options.warmup, options.rounds, &samples,
                                  &floor_two_per_s, &error)) {
            floor_two_us = zel_floor::percentile(samples, 0.5);
            figure("floor_two_thread_us", floor_two_us);
            figure("floor_two_thread_us_p90", zel_floor::percentile(samples, 0.90));
            figure("floor_two_thread_us_p99", zel_floor::percentile(samples, 0.99));
            figure("floor_two_thread_per_s", floor_two_per_s, 0);
            usage_figures("floor_two_thread", before, options.warmup + options.rounds);
        } else {
            note("floor (two threads): " + error);
        }
        before = Usage::now();
        if (zel_floor::one_thread(floor_port, floor_port + 1, 20, options.warmup, options.rounds, &samples,
                                  &floor_one_per_s, &error)) {
            floor_one_us = zel_floor::percentile(samples, 0.5);
            figure("floor_one_thread_us", floor_one_us);
            figure("floor_one_thread_us_p99", zel_floor::percentile(samples, 0.99));
            figure("floor_one_thread_per_s", floor_one_per_s, 0);
            usage_figures("floor_one_thread", before, options.warmup + options.rounds);
        } else {
            note("floor (one thread): " + error);
        }
    }

    CoordinatorServer server;
    if (!server.start(coord)) {
        note("cannot listen on the coordinator port " + std::to_string(coord));
        return 1;
    }

    double median = 0, p99 = 0, per_s = 0;
    if (wants("sequential")) {
        SenderHost sender;
        std::vector<double> samples;
        bool started = sender.start("seq");
        const Usage before = Usage::now();
        if (started && measure_sequential("seq", options.warmup, options.rounds, &samples, &per_s)) {
            median = zel_floor::percentile(samples, 0.5);
            p99 = zel_floor::percentile(samples, 0.99);
            figure("rendezvous_us_median", median);
            figure("rendezvous_us_p90", zel_floor::percentile(samples, 0.90));
            figure("rendezvous_us_p99", p99);
            if (!options.samples_path.empty()) {
                std::ofstream out(options.samples_path);
                for (double sample : samples) out << sample << "\n";
            }
            figure("rendezvous_per_s", per_s, 0);
            usage_figures("rendezvous", before, options.warmup + options.rounds);
        } else {
            note("sequential rendezvous failed");
        }
    }

    double concurrent_per_s = 0;
    if (wants("concurrent") && measure_concurrent(options.conferences, options.per_conference, &concurrent_per_s)) {
        figure("rendezvous_concurrent_per_s", concurrent_per_s, 0);
    }

    double fanout_ms = 0;
    bool fanout_ok = false;
    if (wants("fanout")) {
        fanout_ok = measure_fanout(options.fanout, milliseconds(options.fanout_limit_ms), &fanout_ms);
        figure(("fanout_" + std::to_string(options.fanout) + "_ms").c_str(), fanout_ms, 0);
    }

    IdleFigures idle;
    bool idle_ok = false;
    if (wants("idle")) {
        if (options.idle_callers > 0) {
            double total = 0;
            if (measure_idle_with_callers(server, options.idle_callers, &total)) {
                figure("idle_parties_with_callers", options.idle_callers, 0);
                figure("rss_kib_per_idle_party_total", total);
            }
        }
        std::string why;
        int parties = idle_capacity(options.idle, &why);
        if (parties < options.idle)
            note("idle: this machine allows " + std::to_string(parties) + " idle parties, not " +
                 std::to_string(options.idle) + ": limited by " + why);
        if (parties > 0) {
            idle_ok = measure_idle(server, parties, options.warmup, options.beside_rounds, &idle);
            figure("idle_parties", idle.parties, 0);
            figure("idle_threads", static_cast<double>(idle.threads), 0);
            figure("rss_kib_per_idle_party", idle.kib_per_party);
            figure("rss_kib_per_idle_party_in_stacks", idle.stack_kib_per_party);
            figure("idle_cpu_percent", idle.cpu_percent);
            figure("idle_switches_per_s", idle.switches_per_s, 0);
            if (!idle.beside.empty()) {
                figure("rendezvous_us_median_with_idle", zel_floor::percentile(idle.beside, 0.5));
                figure("rendezvous_us_p99_with_idle", zel_floor::percentile(idle.beside, 0.99));
            }
        }
    }

    server.stop();

    const double beside_median = idle.beside.empty() ? 0 : zel_floor::percentile(idle.beside, 0.5);
    ratio("rendezvous_median_to_floor", median, floor_two_us);
    ratio("rendezvous_p99_to_floor", p99, floor_two_us);
    ratio("rendezvous_per_s_to_floor", per_s, floor_two_per_s);
    ratio("rendezvous_median_with_idle_to_floor", beside_median, floor_two_us);
    ratio("rendezvous_median_to_floor_one_thread", median, floor_one_us);
    ratio("rendezvous_per_s_to_floor_one_thread", per_s, floor_one_per_s);
    const bool have_floor = floor_two_us > 0;
    goal("rendezvous_median_le_2x_floor", have_floor && median > 0, median <= 2 * floor_two_us);
    goal("rendezvous_p99_le_4x_floor", have_floor && p99 > 0, p99 <= 4 * floor_two_us);
    goal("rendezvous_per_s_ge_half_floor", have_floor && per_s > 0, per_s >= 0.5 * floor_two_per_s);
    goal("fanout_le_1000_ms", wants("fanout"), fanout_ok && fanout_ms <= 1000);
    goal("rss_le_64_kib_per_idle_party", idle.parties > 0, idle.kib_per_party <= 64);
    goal("rendezvous_with_idle_le_3x_floor", have_floor && beside_median > 0, beside_median <= 3 * floor_two_us);
    fflush(stdout);
    (void)idle_ok;
    return 0;
}
