// `tqr coordinator`: serves senders and endstations on the coordinator port until SIGINT, SIGTERM or SIGHUP,
// as a service: one status line per event on standard error, a drain on shutdown, and limits that
// keep a flood of connections from exhausting the process.
//
// The status lines and notices are described in status.h; what --metrics serves in metrics.h.
//
// The library's own diagnostic and error lines appear only with --verbose; errors of the tool (lines
// starting "tqr coordinator:") always appear.
//
// Shutdown: on SIGTERM, SIGINT or SIGHUP the port closes at once; rendezvous under way may finish for
// TQR_DRAIN_SECONDS (a second signal cuts that short); then every party's link ends and the exit
// status is 0.
#include <pthread.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/coordinator_host.h"
#include "protocol/host.h"
#include "protocol/party_events.h"
#include "protocol/portmanager.h"
#include "protocol/settings.h"
#include "cli/commands.h"
#include "service/log_pump.h"
#include "cli/escape.h"
#include "cli/interrupt.h"
#include "folder/tree_disk.h"
#include "service/metrics.h"
#include "transfer/party.h"
#include "service/status.h"

namespace tqr {

namespace {

// Descriptors kept free of parties: the listening socket, the standard streams, the log file, and the
// second descriptor that an accept holds for a moment.
constexpr long kSpareDescriptors = 64;

// Rendezvous under way: pool ports lent, or set apart for a conference that waits.
size_t ports_out(const zel::CoordinatorHost& host) {
    Portmanager::Counts counts = host.counts().ports;
    return counts.lent + counts.reserved;
}

// Parties dropped or turned away come in floods when a stranger sends junk handshakes, one line each
// for a connection that costs it nothing: up to kLinesPerSecond a second are told one by one, the rest
// counted by event and reason and told once a second by the main thread, as one line with count=N.
// Fed on library threads, told on the main one.
class HeldLines {
public:
    static constexpr int kLinesPerSecond = 20;

    // Whether a line of `word` for `reason` may be written now; else it is counted for tell().
    bool take(const char* word, const char* reason) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto now = std::chrono::steady_clock::now();
        if (now - m_window >= std::chrono::seconds(1)) {
            m_window = now;
            m_told = 0;
        }
        if (m_told < kLinesPerSecond) {
            ++m_told;
            return true;
        }
        ++m_held[{word, reason}];
        return false;
    }

    void tell() {
        std::map<std::pair<std::string, std::string>, long> held;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            held.swap(m_held);
        }
        for (const auto& counted : held)
            write_status(counted.first.first.c_str(), {{"reason", counted.first.second}, {"count", std::to_string(counted.second)}});
    }

private:
    std::mutex m_mutex;  // guards what follows; a leaf, taken by the observer on library threads
    std::chrono::steady_clock::time_point m_window;
    int m_told = 0;
    std::map<std::pair<std::string, std::string>, long> m_held;
};

HeldLines g_held_lines;

// The party events of the library, counted for --metrics and told as status lines. The process has
// one observer, so both are fed here, on the library thread that took the step (`metrics`: the
// run's counts). Refusals come in floods: they are only counted here, and told at most once a second
// by the main thread.
void on_party_event(const zel::PartyEvent& event, void* metrics) {
    static_cast<Metrics*>(metrics)->count(event);
    switch (event.kind) {
    case zel::EVENT_RENDEZVOUS_ENDED: {
        std::vector<Field> fields{{"conference", event.conference},
                                  {"nickname", event.nickname},
                                  {"port", event.port},
                                  {"outcome", event.what},
                                  {"ms", decimal(event.ms)}};
        if (*event.detail != '\0') fields.push_back({"cause", event.detail});
        write_status("rendezvous", fields);
        break;
    }
    case zel::EVENT_DROPPED:
        if (!g_held_lines.take("dropped", event.what)) break;
        write_status("dropped", {{"reason", event.what},
                                 {"role", role_name(event.role)},
                                 {"conference", event.conference},
                                 {"nickname", event.nickname},
                                 {"peer", event.peer},
                                 {"detail", event.detail}});
        break;
    case zel::EVENT_PORT_SET_ASIDE:
        write_status("port_set_aside", {{"port", event.port},
                                        {"conference", event.conference},
                                        {"nickname", event.nickname},
                                        {"seconds", decimal(event.ms / 1000.0)}});
        break;
    case zel::EVENT_REJECTED_SENDER:
        if (!g_held_lines.take("rejected_sender", *event.what != '\0' ? event.what : "second_sender")) break;
        write_status("rejected_sender", {{"conference", event.conference},
                                         {"peer", event.peer},
                                         {"reason", *event.what != '\0' ? event.what : "second_sender"}});
        break;
    default:
        break;
    }
}

// Every party holds a socket, so the soft limit (often 1024) would cap the parties served at once.
// The limit in force afterwards; RLIM_INFINITY as -1.
long raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<long>(limit.rlim_cur);
}

// Every party's threads wait on futexes. Linux 6.16 and later give each process a private futex hash
// of a few slots only; with thousands of parties waiting, every wake-up walks long chains (measured:
// a rendezvous beside 9,800 idle parties took 3.5 ms instead of 0.7 ms). A larger table costs about
// 1 MiB. Older kernels refuse the call, which changes nothing. It must run before any thread starts.
void enlarge_futex_hash() {
    constexpr int kPrFutexHash = 78;
    constexpr int kPrFutexHashSetSlots = 1;
    prctl(kPrFutexHash, kPrFutexHashSetSlots, 16384, 0, 0);
}

const char* signal_name(int number) {
    switch (number) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "other";
    }
}

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// What the process may hold: the open-file limit (-1: none), the parties served at once, the drain.
struct Limits {
    long open_files = -1;
    long max_parties = 0;
    int drain_seconds = 0;
};

// The log file, the stop signals blocked, and the limits; false when the log file cannot be opened.
bool prepare(const CoordinatorOptions& options, sigset_t* stop_signals, Limits* limits, LogPump* error_pump,
             LogPump* pump) {
    enlarge_futex_hash();
    limits->open_files = raise_descriptor_limit();
    zel::set_quiet(options.verbose ? 0 : 1);
    // Blocked before any thread starts (the log's pump the first), so every thread inherits the mask
    // and only sigtimedwait sees them. A hang-up of the terminal it runs in (or an operator's reload signal: there is nothing to reload)
    // stops it as SIGTERM does, with the drain, rather than cutting every rendezvous at once; under
    // `nohup` it is ignored, as asked.
    sigemptyset(stop_signals);
    tqr::add_stop_signals(stop_signals);
    pthread_sigmask(SIG_BLOCK, stop_signals, nullptr);
    limits->drain_seconds = zel::settings().drain_seconds;
    // A reader late for the stop's lines is waited for as long as the rendezvous under way are.
    error_pump->set_linger(limits->drain_seconds, *stop_signals);
    pump->set_linger(limits->drain_seconds, *stop_signals);
    error_pump->start_for_stderr();
    if (!options.log.empty()) {
        // Only a file of this user's or the system's, reached through no link of another user: a link
        // planted in a shared folder would have the log appended to a file of that user's choosing. A
        // device (/dev/null) or a fifo that is read already may take it too.
        tqr::disk::TrustFault fault;
        std::string why;
        int fd = tqr::disk::open_trusted(options.log, O_WRONLY | O_APPEND | O_CREAT,
                                         tqr::disk::TAKE_DEVICE | tqr::disk::TAKE_FIFO, "tqr coordinator", &fault, &why);
        if (fd < 0 && (fault == tqr::disk::TRUST_KIND || fault == tqr::disk::TRUST_OWNER)) why = "it " + why;
        struct stat opened {};
        if (why.empty() && fstat(fd, &opened) == 0 && !S_ISREG(opened.st_mode)) {
            // A fifo or a device: its reader may stop reading, which the pump keeps off the library.
            pump->start(fd, &why);
            fd = -1;
        } else if (why.empty()) {
            std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
            g_logmsg.open("/proc/self/fd/" + std::to_string(fd), std::ios::out | std::ios::app);
            if (!g_logmsg.is_open()) why = "cannot open it again by its descriptor";
        }
        if (fd >= 0) close(fd);
        if (!why.empty()) {
            fprintf(stderr, "tqr coordinator: cannot open log file %s: %s\n", tqr::escaped(options.log).c_str(),
                    tqr::escaped(why).c_str());
            return false;
        }
    }

    return true;
}

void tell_listening(const CoordinatorOptions& options, int port, const Limits& limits,
                    const zel::CoordinatorHost& host) {
    if (options.quiet) return;
    const zel::CoordinatorCounts counts = host.counts();
    std::vector<Field> fields{{"port", std::to_string(port)},
                              {"pool", std::to_string(port + 1) + "-" + std::to_string(counts.top_port)},
                              {"max_parties", std::to_string(limits.max_parties)},
                              {"max_per_source", std::to_string(counts.max_per_source)},
                              {"open_files", limits.open_files > 0 ? std::to_string(limits.open_files) : "unlimited"},
                              {"drain_seconds", std::to_string(limits.drain_seconds)}};
    if (!options.metrics.empty()) fields.push_back({"metrics", options.metrics});
    write_status("listening", fields);
}

// Refusals come in floods: they are counted, and told at most once a second.
class Refusals {
public:
    void tell(const zel::CoordinatorHost& host) {
        const zel::CoordinatorCounts counts = host.counts();
        tell_one("max_parties", counts.refused, counts.max_parties, &m_full);
        tell_one("max_per_source", counts.refused_sources, counts.max_per_source, &m_sources);
    }

private:
    static void tell_one(const char* reason, long refused, long limit, long* told) {
        if (refused == *told) return;
        write_status("refused", {{"reason", reason}, {"count", std::to_string(refused - *told)},
                                 {"limit", std::to_string(limit)}});
        *told = refused;
    }
    long m_full = 0;
    long m_sources = 0;
};

// From the first stop signal on: new parties are refused (the port is closed), rendezvous that hold
// a lent port may complete for a while (a second signal cuts that short), then every party's link ends.
// true when a second signal came: the wait for a late reader of the last lines is cut short too.
bool shut_down(zel::CoordinatorHost& host, const CoordinatorOptions& options, const sigset_t& stop_signals,
               int received, const Limits& limits, Refusals& refusals) {
    host.stop_accepting();
    auto stopping_at = std::chrono::steady_clock::now();
    if (!options.quiet) {
        write_status("stopping", {{"signal", signal_name(received)},
                                  {"rendezvous", std::to_string(ports_out(host))},
                                  {"parties", std::to_string(host.counts().parties)}});
    }
    // The watcher of a second signal is woken by one of its own once the drain is over, and joined.
    std::atomic<bool> drained{false}, cut{false};
    std::thread second([&] {
        siginfo_t info {};
        while (sigwaitinfo(&stop_signals, &info) < 0 && errno == EINTR) {
        }
        // Its own wake-up comes from this process (the C library tells it as SI_USER, not SI_TKILL);
        // a terminal's from the kernel, pid 0.
        if (info.si_pid == getpid()) return;
        cut.store(true);
        if (!drained.load()) host.cut_drain();
    });
    host.drain(limits.drain_seconds);
    drained.store(true);
    pthread_kill(second.native_handle(), SIGTERM);
    second.join();
    size_t under_way = ports_out(host);
    // Ends every party's link; a rendezvous still under way is told as left.
    host.stop();
    refusals.tell(host);
    g_held_lines.tell();
    if (!options.quiet) {
        write_status("stopped", {{"drained", under_way == 0 ? "yes" : "no"},
                                 {"rendezvous", std::to_string(under_way)},
                                 {"ms", decimal(ms_since(stopping_at))}});
    }
    return cut.load();
}

}  // namespace

int run_coordinator(const CoordinatorOptions& options) {
    // Ended last, after every thread that logs or tells; the log's before standard error's, which it
    // may write into (--log /dev/stderr).
    LogPump error_pump;
    LogPump log_pump;
    sigset_t stop_signals;
    Limits limits;
    if (!prepare(options, &stop_signals, &limits, &error_pump, &log_pump)) return EXIT_USAGE_OR_IO;

    // The run's objects, in the order they go: the metrics server reads the host and the counts.
    Metrics metrics;
    zel::set_party_observer(on_party_event, &metrics);
    int port = zel::settings().coordinator_port;
    zel::CoordinatorHost host;
    // Bound before the coordinator port opens, so that a wrong address turns no party away.
    MetricsServer metrics_server(metrics, host);
    std::string error;
    if (!options.metrics.empty() && !metrics_server.bind(options.metrics, &error)) {
        fprintf(stderr, "tqr coordinator: %s\n", tqr::escaped(error).c_str());
        zel::set_party_observer(nullptr, nullptr);
        return EXIT_USAGE_OR_IO;
    }
    zel::AdmissionLimits admission = zel::AdmissionLimits::from_settings();
    admission.descriptor_reserve = static_cast<int>(kSpareDescriptors);
    if (!host.start(port, admission)) {
        fprintf(stderr, "tqr coordinator: cannot listen on port %d (is another coordinator running?)\n", port);
        zel::set_party_observer(nullptr, nullptr);
        return EXIT_USAGE_OR_IO;
    }
    // The host keeps its parties below the open-file limit; said here, where a person reads it.
    limits.max_parties = host.counts().max_parties;
    if (limits.open_files > 0 && (admission.max_parties == 0 || admission.max_parties > limits.max_parties))
        fprintf(stderr, "tqr coordinator: at most %ld parties, to fit the open-file limit of %ld\n", limits.max_parties,
                limits.open_files);
    if (!options.metrics.empty() && !metrics_server.serve()) {
        fprintf(stderr, "tqr coordinator: cannot serve metrics on %s\n", tqr::escaped(options.metrics).c_str());
        host.stop();
        zel::set_party_observer(nullptr, nullptr);
        return EXIT_USAGE_OR_IO;
    }
    tell_listening(options, port, limits, host);

    Refusals refusals;
    int received = -1;
    while (received < 0) {
        timespec second{1, 0};
        received = sigtimedwait(&stop_signals, nullptr, &second);
        refusals.tell(host);
        g_held_lines.tell();
    }
    const bool cut = shut_down(host, options, stop_signals, received, limits, refusals);
    // The pumps end one after the other, on one deadline: the last lines wait for a late reader the
    // drain's time in all, or not at all once a second signal cut the drain.
    const auto linger_end = std::chrono::steady_clock::now() + std::chrono::seconds(cut ? 0 : limits.drain_seconds);
    error_pump.linger_until(linger_end);
    log_pump.linger_until(linger_end);
    metrics_server.stop();
    zel::set_party_observer(nullptr, nullptr);
    return leave(EXIT_DONE);
}

}  // namespace tqr
