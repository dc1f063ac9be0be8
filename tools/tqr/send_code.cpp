#include "tools/tqr/send_code.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "protocol/caller.h"
#include "protocol/coordinator_server.h"
#include "protocol/phrase.h"
#include "protocol/settings.h"
#include "tools/tqr/machine.h"
#include "tools/tqr/party.h"
#include "tools/tqr/progress.h"

namespace tqr {

namespace {

typedef std::chrono::steady_clock Clock;

// Nameplates in a row that may turn out taken before the sender gives up: a coordinator that busy
// wants a larger TQR_CODE_NAMEPLATES.
constexpr size_t kMostTaken = 20;
// How long this process's own coordinator may take to tell whether it took the sender in.
constexpr double kOwnWordSeconds = 10;
// The longest wait for another coordinator's refusal.
constexpr double kMostGraceSeconds = 2;

// What the coordinator of this process said of the conference being joined: filled by its party
// events, on its threads; read by the joining thread.
struct Admission {
    std::mutex mutex;
    std::condition_variable changed;
    std::string conference;
    int verdict = 0;  // 1 joined, -1 turned away, 0 not told yet
};

Admission g_admission;

// Where the sender's coordinator is.
struct Where {
    std::string host;
    bool own = false;  // served by this process
};

// Nameplates are drawn from 1 to TQR_CODE_NAMEPLATES (default 999: at most three digits to say).
unsigned nameplate_range() {
    const char* text = getenv("TQR_CODE_NAMEPLATES");
    long value = text ? strtol(text, nullptr, 10) : 0;
    return value >= 1 && value <= static_cast<long>(kMaxNameplate) ? static_cast<unsigned>(value) : kMaxDrawnNameplate;
}

// A nameplate is public and guards nothing: the first untried one from a random start will do.
unsigned draw_nameplate(unsigned range, const std::set<unsigned>& tried) {
    unsigned plate = 1 + randombytes_uniform(range);
    while (tried.count(plate) != 0) plate = plate % range + 1;
    return plate;
}

// Serves a coordinator in this process, on the configured port, until the process ends.
bool serve_coordinator(Progress& progress) {
    int port = zel::settings().coordinator_port;
    // Never freed: the process ends with finish(), which does not wait for the coordinator's threads.
    CoordinatorServer* server = new CoordinatorServer();
    if (!server->start(port, zel::settings().max_parties)) return false;
    if (progress.json()) {
        progress.step("coordinator", "", {{"port", static_cast<double>(port)}});
    } else {
        progress.note("no coordinator answered at localhost port " + std::to_string(port) +
                      "; serving one here for as long as this runs");
    }
    return true;
}

// Whether the coordinator took the sender in. A coordinator tells only a refusal ("RejectedSender ",
// then it ends the link). This process's own tells its events, so they are waited for; another one
// gets a grace time in which its refusal would arrive: several times the handshake's round trips.
bool admitted(Caller* caller, bool own, double handshake_seconds) {
    bool refused;
    if (own) {
        std::unique_lock<std::mutex> lock(g_admission.mutex);
        g_admission.changed.wait_for(lock, std::chrono::duration<double>(kOwnWordSeconds),
                                     [] { return g_admission.verdict != 0; });
        refused = g_admission.verdict < 0;
    } else {
        refused = caller->refused_within(std::min(kMostGraceSeconds, 0.25 + 4 * handshake_seconds));
    }
    if (!refused) return true;
    caller->process();  // takes the refusal, or finds the link gone
    return false;
}

void show_code(const Code& code, const PartyOptions& options, Progress& progress) {
    // The coordinator runs on this machine unless --host named another one.
    std::string host = options.host_given && !is_loopback(options.host) ? options.host : this_machine();
    std::string command = receive_command(host, code.text);
    printf("Code: %s\nOn the receiving machine, run:\n\n    %s\n\n", code.text.c_str(), command.c_str());
    fflush(stdout);
    progress.step("code", "", {{"code", code.text}, {"command", command}});
}

}  // namespace

int join_with_code(const PartyOptions& options, Progress& progress, CallerMaker make_caller, Caller** caller,
                   Code* code) {
    Where where{options.host};
    std::set<unsigned> tried;
    unsigned range = nameplate_range();
    while (tried.size() < std::min<size_t>(range, kMostTaken)) {
        unsigned plate = draw_nameplate(range, tried);
        parse_code(make_code_with_nameplate(plate), code);
        Membership membership{where.host, conference_of(plate), nameplate_check_key(plate)};
        {
            std::lock_guard<std::mutex> guard(g_admission.mutex);
            g_admission.conference = membership.conference;
            g_admission.verdict = 0;
        }
        progress.state("joining at " + where.host);
        Caller* joining = make_caller();
        std::string error;
        bool unreachable = false;
        Clock::time_point started = Clock::now();
        int status = join_coordinator(joining, ROLE_SENDER, membership, options, &error, &unreachable);
        double handshake = std::chrono::duration<double>(Clock::now() - started).count();
        if (status != EXIT_DONE && unreachable && !options.host_given && !where.own) {
            delete joining;
            if (!serve_coordinator(progress)) {
                progress.fail("no coordinator", error + ", and cannot serve one on that port", EXIT_NO_COORDINATOR);
                return EXIT_NO_COORDINATOR;
            }
            where = Where{"127.0.0.1", true};
            continue;
        }
        if (status != EXIT_DONE) {
            progress.fail("no coordinator", error, status);
            return status;
        }
        if (admitted(joining, where.own, handshake)) {
            *caller = joining;
            show_code(*code, options, progress);
            return EXIT_DONE;
        }
        bool rejected = joining->rejected();
        delete joining;
        if (!rejected) {
            progress.fail("coordinator link ended", "the coordinator closed the link", EXIT_NO_COORDINATOR);
            return EXIT_NO_COORDINATOR;
        }
        tried.insert(plate);
    }
    progress.fail("rejected", std::to_string(tried.size()) + " nameplates in a row have a sender already",
                  EXIT_REJECTED);
    return EXIT_REJECTED;
}

void admission_event(const PartyEvent& event) {
    if (event.role != ROLE_SENDER || (event.kind != EVENT_JOINED && event.kind != EVENT_REJECTED_SENDER)) return;
    std::lock_guard<std::mutex> guard(g_admission.mutex);
    if (event.conference != g_admission.conference || g_admission.verdict != 0) return;
    g_admission.verdict = event.kind == EVENT_JOINED ? 1 : -1;
    g_admission.changed.notify_all();
}

}  // namespace tqr
