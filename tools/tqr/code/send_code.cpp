#include "code/send_code.h"

#include <sodium.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>

#include "protocol/caller.h"
#include "protocol/host.h"
#include "protocol/phrase.h"
#include "protocol/settings.h"
#include "code/machine.h"
#include "transfer/party.h"
#include "cli/progress.h"

namespace tqr {

namespace {

const char kForeignCoordinator[] =
    "another tqr send's, which takes its own code only. Run tqr coordinator on this machine for every sender "
    "to use, or give this one a port of its own (TQR_COORDINATOR_PORT; the receive line it shows carries it)";

typedef std::chrono::steady_clock Clock;

// Refusals in a row after which the nameplates are drawn from a range ten times as large: three in a
// row are likely only when half or more of the range is taken, so codes stay short while a coordinator
// is not crowded, and no squatter can fill every range.
constexpr size_t kCrowdedAfter = 3;
// Nameplates in a row that may turn out taken in the largest range before the sender gives up.
constexpr size_t kMostTaken = 20;
// How long this process's own coordinator may take to tell whether it took the sender in.
constexpr double kOwnWordSeconds = 10;
// The longest wait for another coordinator's refusal, and what it allows beside the handshake's
// round trips for the coordinator's thread to be run.
constexpr double kMostGraceSeconds = 2;
constexpr double kSchedulerSeconds = 0.05;

// Where the sender's coordinator is.
struct Where {
    std::string host;
    bool own = false;                      // served by this process ...
    zel::CoordinatorHost* server = nullptr;  // ... by this one
};

// Nameplates are drawn first from 1 to TQR_CODE_NAMEPLATES (default 999: at most three digits to say).
unsigned nameplate_range() {
    const char* text = getenv("TQR_CODE_NAMEPLATES");
    long value = text ? strtol(text, nullptr, 10) : 0;
    return value >= 1 && value <= static_cast<long>(kMaxNameplate) ? static_cast<unsigned>(value) : kMaxDrawnNameplate;
}

// The range after a crowded one: one more digit to say, up to the largest a code may have.
unsigned next_range(unsigned range) {
    return range >= kMaxNameplate / 10 ? kMaxNameplate : range * 10 + 9;
}

// A nameplate is public and guards nothing: the first untried one from a random start will do.
unsigned draw_nameplate(unsigned range, const std::set<unsigned>& tried) {
    unsigned plate = 1 + randombytes_uniform(range);
    while (tried.count(plate) != 0) plate = plate % range + 1;
    return plate;
}

// Descriptors the sender keeps for itself beside its coordinator's parties: its direct links (a
// listener and a socket each, a file or a folder's files), the standard streams, the log.
constexpr int kOwnDescriptors = 256;

// Serves a coordinator in this process, on the configured port, until `tqr send` stops it: for this
// sender's own conference only (only_conference), with every party's socket within the open-file
// limit, which is raised to its hard limit first. Null when the port cannot be had.
zel::CoordinatorHost* serve_coordinator(Progress& progress, std::unique_ptr<zel::CoordinatorHost>& own) {
    int port = zel::settings().coordinator_port;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    zel::AdmissionLimits limits = zel::AdmissionLimits::from_settings();
    limits.descriptor_reserve = kOwnDescriptors;
    std::unique_ptr<zel::CoordinatorHost> server(new zel::CoordinatorHost());
    if (!server->start(port, limits)) return nullptr;
    own = std::move(server);
    if (progress.json()) {
        progress.step("coordinator", "", {{"port", static_cast<double>(port)}});
    } else {
        progress.note("no coordinator answered at localhost port " + std::to_string(port) +
                      "; serving one here for as long as this runs");
    }
    return own.get();
}

// Whether the coordinator took the sender in. A coordinator tells only a refusal ("RejectedSender ",
// then it ends the link), and tells it as soon as it has read the handshake's last phrase. This
// process's own tells its events, so they are waited for; another one gets a grace time in which its
// refusal would arrive: four times the handshake, which scales with that coordinator's own pace, and
// a scheduler's few time slices beside. A refusal later than that still ends the sender (outcome()),
// with the code it showed void.
bool admitted(Caller* caller, bool own, double handshake_seconds, Admission& admission) {
    bool refused;
    if (own) {
        timespec deadline{};
        clock_gettime(admission.changed.clock(), &deadline);
        deadline.tv_sec += static_cast<time_t>(kOwnWordSeconds);
        zel::MutexLock lock(admission.mutex);
        while (admission.verdict == 0 && admission.changed.wait_until(admission.mutex, deadline) == 0) {
        }
        refused = admission.verdict < 0;
    } else {
        refused = zel::refused_within(*caller, std::min(kMostGraceSeconds, kSchedulerSeconds + 4 * handshake_seconds));
    }
    if (!refused) return true;
    caller->process();  // takes the refusal, or finds the link gone
    return false;
}

void show_code(const Code& code, const PartyOptions& options, Progress& progress) {
    // The coordinator runs on this machine unless --host named another one.
    std::string host = options.host_given && !is_loopback(options.host) ? options.host : this_machine();
    std::string command = receive_command(host, code.text);
    // Standard output is likely the terminal that shows the status line: the code gets lines of its own.
    progress.aside([&] {
        printf("Code: %s\nOn the receiving machine, run:\n\n    %s\n\n", code.text.c_str(), command.c_str());
        fflush(stdout);
    });
    progress.step("code", "", {{"code", code.text}, {"command", command}});
}

}  // namespace

int join_with_code(const PartyOptions& options, const Code* chosen, size_t words, Progress& progress,
                   const CallerMaker& make_caller, const CodeJoin& join, Caller** caller, Code* code) {
    auto fail = [&](const std::string& text, const std::string& message, int status) {
        join.ending.claim(progress, status, text, message);
        return join.ending.status(status);
    };
    Where where{options.host};
    std::set<unsigned> tried;
    unsigned range = nameplate_range();
    size_t in_a_row = 0;  // refusals in the current range
    for (;;) {
        // An interruption meanwhile claimed the end: it is not this loop's to say more.
        if (join.ending.claimed()) return join.ending.status();
        bool exhausted = tried.size() >= range;  // tried holds plates of this range and the smaller ones
        if (range < kMaxNameplate && (in_a_row >= kCrowdedAfter || exhausted)) {
            range = next_range(range);
            in_a_row = 0;
        } else if (in_a_row >= kMostTaken || exhausted) {
            break;
        }
        unsigned plate = chosen ? chosen->nameplate : draw_nameplate(range, tried);
        if (chosen) {
            *code = *chosen;
        } else {
            parse_code(make_code_with_nameplate(plate, words), code);
        }
        Membership membership{where.host, conference_of(plate), nameplate_check_key(plate)};
        if (where.server != nullptr) where.server->only_conference(membership.conference);
        {
            zel::MutexLock lock(join.admission.mutex);
            join.admission.conference = membership.conference;
            join.admission.verdict = 0;
        }
        progress.state("joining at " + where.host);
        Caller* joining = make_caller();
        std::string error;
        bool unreachable = false;
        Clock::time_point started = Clock::now();
        int status = join_coordinator(joining, ROLE_SENDER, membership, options, &error, &unreachable, &join.ending);
        double handshake = std::chrono::duration<double>(Clock::now() - started).count();
        if (status != EXIT_DONE && unreachable && !options.host_given && !where.own) {
            delete joining;
            zel::CoordinatorHost* server = serve_coordinator(progress, join.coordinator);
            if (server == nullptr) return fail("no coordinator", error + ", and cannot serve one on that port", EXIT_NO_COORDINATOR);
            where = Where{"127.0.0.1", true, server};
            continue;
        }
        if (status != EXIT_DONE) {
            delete joining;
            return fail("no coordinator", error, status);
        }
        if (admitted(joining, where.own, handshake, join.admission)) {
            *caller = joining;
            show_code(*code, options, progress);
            return EXIT_DONE;
        }
        bool rejected = zel::process_result(*joining) == zel::ProcessEnd::REJECTED;
        delete joining;
        if (!rejected) return fail("coordinator link ended", "the coordinator closed the link", EXIT_NO_COORDINATOR);
        // A coordinator of this machine that is not ours may be another `tqr send`'s, which takes its
        // own code only; the refusal does not tell which, so a chosen code's refusal says both.
        bool foreign = !options.host_given && !where.own;
        if (chosen && foreign)
            return fail("rejected",
                        "the coordinator at localhost port " + std::to_string(zel::settings().coordinator_port) +
                            " took no sender for nameplate " + std::to_string(plate) +
                            ": the nameplate has a sender already, or " + kForeignCoordinator,
                        EXIT_REJECTED);
        if (chosen) return fail("rejected", nameplate_taken(plate, true, false), EXIT_REJECTED);
        tried.insert(plate);
        ++in_a_row;
    }
    std::string message = std::to_string(tried.size()) + " nameplates in a row have a sender already";
    // So many refusals at a coordinator of this machine that is not ours are most likely another
    // `tqr send`'s.
    if (!options.host_given && !where.own)
        message = "the coordinator at localhost port " + std::to_string(zel::settings().coordinator_port) +
                  " took none of " + std::to_string(tried.size()) + " codes: it is likely " + kForeignCoordinator;
    return fail("rejected", message, EXIT_REJECTED);
}

std::string nameplate_taken(unsigned plate, bool chosen, bool late) {
    std::string text = "nameplate " + std::to_string(plate) + " has a sender already";
    if (late) text += ", which the coordinator told only after the code was shown: that code is void.";
    std::string advice = chosen ? "choose a code of another number, or leave out --code" : "run tqr send again";
    if (late) advice[0] = static_cast<char>(toupper(advice[0]));
    return text + (late ? " " : ": ") + advice;
}

void admission_event(Admission& admission, const zel::PartyEvent& event) {
    if (event.role != ROLE_SENDER || (event.kind != zel::EVENT_JOINED && event.kind != zel::EVENT_REJECTED_SENDER))
        return;
    zel::MutexLock lock(admission.mutex);
    if (event.conference != admission.conference || admission.verdict != 0) return;
    admission.verdict = event.kind == zel::EVENT_JOINED ? 1 : -1;
    admission.changed.broadcast();
}

}  // namespace tqr
