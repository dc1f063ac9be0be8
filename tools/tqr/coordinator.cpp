// `tqr coordinator`: serves senders and endstations on the coordinator port until SIGINT or SIGTERM,
// as a service: one status line per event on standard error, a drain on shutdown, and limits that
// keep a flood of connections from exhausting the process.
//
// Status lines. Each line is an event word, then fields `key=value` separated by one blank, in a fixed
// order. A value is written bare when it is not empty and is made only of printable ASCII other than
// blank, '"', '=' and '\'; otherwise it is written in double quotes, inside which '"' and '\' are
// preceded by '\' and every byte outside printable ASCII is written \xHH (two lower-case hex digits),
// so an event is always exactly one line. The events:
//
//   rendezvous conference=ID nickname=NAME port=PORT outcome=OUTCOME ms=MS [cause=CAUSE]
//       one per rendezvous that ends on this coordinator, from its nomination on. OUTCOME is ok (the
//       sender answered "Sender Happy "), abandoned (a party left, CAUSE sender_left or
//       endstation_left, or was dropped, CAUSE the reason of its dropped line), port_in_use (its
//       sender was dropped for reporting ports in use), or failed (the endstation could not reach the
//       sender: CAUSE connect_failed); MS counts from the nomination (one decimal); PORT is the last
//       port lent, empty when none was.
//   dropped reason=REASON role=ROLE conference=ID nickname=NAME peer=ADDRESS:PORT detail=DETAIL
//       a party dropped by a rule: handshake_timeout (it did not finish the handshake in
//       TQR_HANDSHAKE_TIMEOUT), deadline (it did not give the answer in DETAIL within
//       TQR_LISTEN_TIMEOUT), ignored_messages (over 100 messages in a row its role or its state does
//       not allow), port_in_use (a sender that reported over 3 ports in use within a minute),
//       nickname_too_long (it would not fit the message that carries it), message_too_long (it sent
//       one longer than 997 bytes), no_role.
//   port_set_aside port=PORT conference=ID nickname=NAME seconds=S
//       a sender reported PORT in use; it is lent again after S seconds.
//   rejected_sender conference=ID peer=ADDRESS:PORT
//       a second sender for a conference that has one was turned away.
//   refused reason=max_parties count=N limit=L
//       N connections were closed at once since the previous such line (at most one a second)
//       because L parties were being served.
//
// Notices, in the same form, that --quiet hides:
//
//   listening port=P pool=FIRST-LAST max_parties=N open_files=N drain_seconds=N
//   stopping signal=SIGTERM rendezvous=N parties=N
//   stopped drained=yes|no rendezvous=N ms=MS
// (rendezvous: those under way, holding a port of the pool; ms: since the signal)
//
// The library's own diagnostic and error lines appear only with --verbose; errors of the tool (lines
// starting "tqr coordinator:") always appear.
//
// Shutdown: on SIGTERM or SIGINT the port closes at once; rendezvous under way may finish for
// TQR_DRAIN_SECONDS (a second signal cuts that short); then every party's link ends and the exit
// status is 0.
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/coordinator_server.h"
#include "protocol/party_events.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "protocol/settings.h"
#include "tools/tqr/commands.h"
#include "tools/tqr/party.h"

namespace tqr {

namespace {

// Descriptors kept free of parties: the listening socket, the standard streams, the log file, and the
// second descriptor that an accept holds for a moment.
constexpr long kSpareDescriptors = 64;

struct Field {
    const char* key;
    std::string value;
};

std::string status_value(const std::string& value) {
    bool bare = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return c > ' ' && c < 0x7f && c != '"' && c != '=' && c != '\\';
    });
    if (bare) return value;
    std::string quoted = "\"";
    for (char c : value) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < ' ' || byte >= 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// One whole line with one write, so that lines from party threads, conference threads and the
// library never split one another.
void write_status(const char* event, const std::vector<Field>& fields) {
    static std::mutex line_mutex;
    std::string line = event;
    for (const Field& field : fields) {
        line += ' ';
        line += field.key;
        line += '=';
        line += status_value(field.value);
    }
    line += '\n';
    std::lock_guard<std::mutex> guard(line_mutex);
    const char* at = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = ::write(STDERR_FILENO, at, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        at += written;
        left -= static_cast<size_t>(written);
    }
}

std::string decimal(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

const char* role_name(int role) {
    return role == ROLE_SENDER ? "sender" : role == ROLE_ENDSTATION ? "endstation" : "unknown";
}

// Rendezvous under way: pool ports lent, or set apart for a conference that waits.
size_t ports_out() {
    Portmanager::Counts counts = g_portmanager.counts();
    return counts.lent + counts.reserved;
}

// The drain after the first stop signal: it waits until no rendezvous holds a port, the drain time is
// up, or a second signal came. Woken by the end of each rendezvous and by the second signal.
class Drain {
public:
    void changed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed.notify_all();
    }
    void cut() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cut = true;
        m_changed.notify_all();
    }
    void wait(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, limit, [&] { return m_cut || ports_out() == 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_cut = false;
};

Drain g_drain;

// The party events of the library, told as status lines. Refusals come in floods: they are only
// counted here, and told at most once a second by the main thread.
void on_party_event(const PartyEvent& event, void*) {
    switch (event.kind) {
    case EVENT_RENDEZVOUS_ENDED: {
        g_drain.changed();
        std::vector<Field> fields{{"conference", event.conference},
                                  {"nickname", event.nickname},
                                  {"port", event.port},
                                  {"outcome", event.what},
                                  {"ms", decimal(event.ms)}};
        if (*event.detail != '\0') fields.push_back({"cause", event.detail});
        write_status("rendezvous", fields);
        break;
    }
    case EVENT_DROPPED:
        write_status("dropped", {{"reason", event.what},
                                 {"role", role_name(event.role)},
                                 {"conference", event.conference},
                                 {"nickname", event.nickname},
                                 {"peer", event.peer},
                                 {"detail", event.detail}});
        break;
    case EVENT_PORT_SET_ASIDE:
        write_status("port_set_aside", {{"port", event.port},
                                        {"conference", event.conference},
                                        {"nickname", event.nickname},
                                        {"seconds", decimal(event.ms / 1000.0)}});
        break;
    case EVENT_REJECTED_SENDER:
        write_status("rejected_sender", {{"conference", event.conference}, {"peer", event.peer}});
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
    default:
        return "other";
    }
}

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

const char* coordinator_footer() {
    return "Standard error carries one status line per event, an event word then key=value fields:\n"
           "  rendezvous conference=ID nickname=NAME port=PORT outcome=ok|abandoned|port_in_use|failed ms=MS [cause=CAUSE]\n"
           "  dropped reason=REASON role=ROLE conference=ID nickname=NAME peer=ADDRESS:PORT detail=DETAIL\n"
           "  port_set_aside port=PORT conference=ID nickname=NAME seconds=S\n"
           "  rejected_sender conference=ID peer=ADDRESS:PORT\n"
           "  refused reason=max_parties count=N limit=L   (at most one a second)\n"
           "A value holding a blank, '=', '\"', '\\' or a byte outside printable ASCII, or an empty one, is\n"
           "written in double quotes, with '\"' and '\\' escaped by '\\' and other bytes as \\xHH.\n"
           "Notices (listening, stopping, stopped) are in the same form; --quiet hides them. Errors always show.\n"
           "\n"
           "On SIGTERM or SIGINT it stops accepting at once, lets the rendezvous under way (those holding a lent\n"
           "port) finish for at most TQR_DRAIN_SECONDS (default 5; a second signal cuts it short), then ends every\n"
           "party's link and exits 0.\n"
           "Limits: TQR_MAX_PARTIES (default 4096) parties at once, connections beyond it are closed at once;\n"
           "TQR_HANDSHAKE_TIMEOUT (default 10) seconds for a party's handshake; TQR_LISTEN_TIMEOUT (default 60)\n"
           "seconds for each answer a party owes in a rendezvous; TQR_SEND_TIMEOUT (default 10) seconds a write\n"
           "to a party may stall before the party is dropped.\n"
           "The open-file limit is raised to its hard limit, and max parties lowered to fit it.";
}

int run_coordinator(const CoordinatorOptions& options) {
    enlarge_futex_hash();
    long open_files = raise_descriptor_limit();
    zel_set_quiet(options.verbose ? 0 : 1);
    if (!options.log.empty()) {
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        g_logmsg.open(options.log, std::ios::out | std::ios::app);
        if (!g_logmsg.is_open()) {
            fprintf(stderr, "tqr coordinator: cannot open log file %s\n", options.log.c_str());
            return EXIT_USAGE_OR_IO;
        }
    }

    // Blocked before any thread starts, so every thread inherits the mask and only sigtimedwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    long max_parties = zel::settings().max_parties;
    int drain_seconds = zel::settings().drain_seconds;
    // Parties beyond the open-file limit would not be refused but left in the backlog, unanswered,
    // while every other use of a descriptor fails: the limit on parties stays below it.
    if (open_files > 0) {
        long room = std::max(1L, open_files - kSpareDescriptors);
        if (max_parties == 0 || max_parties > room) {
            fprintf(stderr, "tqr coordinator: at most %ld parties, to fit the open-file limit of %ld\n", room, open_files);
            max_parties = room;
        }
    }

    set_party_observer(on_party_event, nullptr);
    int port = g_portmanager.coord_port();
    CoordinatorServer server;
    if (!server.start(port, static_cast<int>(max_parties))) {
        fprintf(stderr, "tqr coordinator: cannot listen on port %d (is another coordinator running?)\n", port);
        return EXIT_USAGE_OR_IO;
    }
    if (!options.quiet) {
        write_status("listening", {{"port", std::to_string(port)},
                                   {"pool", std::to_string(port + 1) + "-" + std::to_string(g_portmanager.top_port())},
                                   {"max_parties", std::to_string(max_parties)},
                                   {"open_files", open_files > 0 ? std::to_string(open_files) : "unlimited"},
                                   {"drain_seconds", std::to_string(drain_seconds)}});
    }

    // Refusals come in floods: they are counted, and told at most once a second.
    long refusals_told = 0;
    auto tell_refusals = [&] {
        long refused = server.refused();
        if (refused == refusals_told) return;
        write_status("refused", {{"reason", "max_parties"},
                                 {"count", std::to_string(refused - refusals_told)},
                                 {"limit", std::to_string(max_parties)}});
        refusals_told = refused;
    };
    int received = -1;
    while (received < 0) {
        timespec second{1, 0};
        received = sigtimedwait(&stop_signals, nullptr, &second);
        tell_refusals();
    }

    // New parties are refused from now on (the port is closed); rendezvous that hold a lent port may
    // complete, for a while.
    server.stop_accepting();
    auto stopping_at = std::chrono::steady_clock::now();
    if (!options.quiet) {
        write_status("stopping", {{"signal", signal_name(received)},
                                  {"rendezvous", std::to_string(ports_out())},
                                  {"parties", std::to_string(server.parties())}});
    }
    // A second signal cuts the drain short.
    std::thread([stop_signals] {
        siginfo_t info;
        while (sigwaitinfo(&stop_signals, &info) < 0 && errno == EINTR) {
        }
        g_drain.cut();
    }).detach();
    g_drain.wait(std::chrono::seconds(drain_seconds));
    size_t under_way = ports_out();
    // Ends every party's link; a rendezvous still under way is told as left.
    server.stop();
    tell_refusals();
    if (!options.quiet) {
        write_status("stopped", {{"drained", under_way == 0 ? "yes" : "no"},
                                 {"rendezvous", std::to_string(under_way)},
                                 {"ms", decimal(ms_since(stopping_at))}});
    }
    // Conference threads never end; leaving now spares static destructors from racing them.
    finish(EXIT_DONE);
}

}  // namespace tqr
