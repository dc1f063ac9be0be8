// Fuzz target: a live coordinator, an honest rendezvous under way, and a hostile party driven by the
// input.
//
// Per input: a coordinator in this process (harness::Coordinator) on TQR_COORDINATOR_PORT, with the
// short time limits that run.sh sets (the target sets them and runs itself again when the port is not
// set); in a conference of its own, a library endstation and a library sender
// (harness::CallerParty) meet through the coordinator, while a raw party joins, before or after the
// honest sender, as one of
//   0  an endstation of the same conference (nominated to the honest sender in its turn),
//   1  the sender of a conference of its own, where a raw helper endstation waits,
//   2  a second sender of the same conference (turned away),
// with a nickname of any length (up to and beyond the longest a "Nominate " carries, 969 bytes), and
// a handshake said in full or in part. It then sends named messages with forged or real cookies (the
// coordinator's own parties', those it heard) and infos (ports, texts as long as a reader takes, and
// one byte longer), repeats "Connected ", "Approve ", "Sender Happy " and their kin hundreds of times,
// floods bytes, hears, knocks on lent ports with forged key frames, or hangs up.
//
// Checks: the process survives (AddressSanitizer, UndefinedBehaviorSanitizer); the honest
// endstation's loop ends on "Adios "; once every raw party has hung up its sending side, the
// coordinator closes each link, every party that joined leaves, and no party, conference or lent
// port is left behind.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/lsan_interface.h>
#include <unistd.h>

#include <memory>

#include "common/zel_common.h"
#include "fuzz_support.h"
#include "hostile.h"
#include "protocol/activelist.h"
#include "protocol/party_registry.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"

namespace {

using harness::milliseconds;
using zel_fuzz::Hostile;
using zel_fuzz::KnownParties;
using zel_fuzz::Moves;

const char* const kKey = "fuzz-key";
// Limits that only a failure reaches: long enough for the pool to come back from earlier inputs.
constexpr milliseconds kHonestLimit(20000);
constexpr milliseconds kStepLimit(5000);
constexpr int kMaxMoves = 40;
constexpr int kHearBudgetMs = 40;

enum Mode { SameConferenceEndstation, OwnConferenceSender, SecondSender };

unsigned long g_run = 0;

class Run {
public:
    Run(FuzzedDataProvider& input, harness::EventLog& events)
        : m_in(input), m_events(events), m_moves(input, m_hostile, m_helper, m_known) {
        m_known.own = [this] { return own(); };
    }
    void go();
    void release(CoordinatorServer& server);
    void trace();

private:
    template <typename T>
    T range(T low, T high) { return m_in.ConsumeIntegralInRange<T>(low, high); }
    const void* joined(int role, const std::string& conference, const char* nickname);
    const void* own() const;
    void join_hostile();
    void finish_own();
    std::string state();

    FuzzedDataProvider& m_in;
    harness::EventLog& m_events;
    const std::string m_conference = "fuzz-" + std::to_string(g_run);
    const std::string m_own_conference = "fuzz-own-" + std::to_string(g_run);
    int m_mode = SameConferenceEndstation;
    bool m_early = false;
    harness::CallerParty m_sender, m_endstation;
    Hostile m_hostile, m_helper;
    KnownParties m_known;  // the coordinator's Callers of the honest parties, and the hostile's
    Moves m_moves;
};

// The coordinator's Caller of the party of `role` that joined `conference` (with `nickname` when not
// null), once it has; null when it did not within the step limit.
const void* Run::joined(int role, const std::string& conference, const char* nickname) {
    const void* party = nullptr;
    m_events.wait_until([&] {
        for (const zel::PartyEvent& e : m_events.events())
            if (e.kind == zel::EVENT_JOINED && e.role == role && e.conference == conference && (!nickname || e.nickname == nickname))
                party = e.party;
        return party != nullptr;
    }, kStepLimit);
    return party;
}

// The coordinator's Caller of the hostile party, once it has joined.
const void* Run::own() const {
    for (const zel::PartyEvent& e : m_events.events())
        if (e.kind == zel::EVENT_JOINED && e.party != m_known.sender && e.party != m_known.endstation && e.nickname != "helper")
            return e.party;
    return nullptr;
}

void Run::join_hostile() {
    const int role = m_mode == SameConferenceEndstation ? ROLE_ENDSTATION : ROLE_SENDER;
    const std::string& conference = m_mode == OwnConferenceSender ? m_own_conference : m_conference;
    const std::string nickname = m_moves.nickname();
    // Half the time the whole handshake, else a part of it. The coordinator may end the link on any
    // line (one longer than a reader takes, say): the lines go out without waiting, and only the
    // greeting is owed.
    const size_t lines = m_in.ConsumeBool() ? 4 : range<size_t>(0, 3);
    ZEL_FUZZ_CHECK(m_hostile.link.join(role, conference, nickname, 0), "no greeting for the hostile party: %s", state().c_str());
    const std::vector<std::string> script =
        role == ROLE_SENDER ? std::vector<std::string>{"TQR Caller is Sender", "TQR Sender 1.2", "From Sender join " + conference}
                            : std::vector<std::string>{"TQR Caller is Endstation", "TQR Endstation 1.2",
                                                       "From Endstation name " + nickname, "From Endstation join " + conference};
    for (size_t i = 0; i < script.size() && i < lines; ++i) m_hostile.say(script[i]);
    if (m_mode == OwnConferenceSender)
        ZEL_FUZZ_CHECK(m_helper.link.join(ROLE_ENDSTATION, m_own_conference, "helper"), "no greeting for the helper: %s", state().c_str());
}

// What the hostile party owes, answered the honest way where it got that far, so that the ports of
// its rendezvous come back at once instead of after their rest.
void Run::finish_own() {
    const milliseconds a_moment(200);
    if (m_hostile.link.fd() < 0) return;
    if (m_mode == SameConferenceEndstation) {
        if (m_hostile.times[MSG_CONNECT] == 0 && !m_hostile.await(MSG_CONNECT, a_moment)) return;
        m_hostile.answer(MSG_CONNECTED, MSG_CONNECT);
        m_hostile.await(MSG_ADIOS, a_moment);
    } else if (m_mode == OwnConferenceSender) {
        if (m_hostile.times[MSG_NOMINATE] == 0 && !m_hostile.await(MSG_NOMINATE, a_moment)) return;
        m_hostile.say(std::string(g_message_names[MSG_APPROVE]) + m_hostile.heard[MSG_NOMINATE].cookie + " ");
        if (!m_hostile.await(MSG_LISTEN, a_moment)) return;
        m_hostile.answer(MSG_LISTENING, MSG_LISTEN);
        if (!m_helper.await(MSG_CONNECT, a_moment)) return;
        m_helper.answer(MSG_CONNECTED, MSG_CONNECT);
        if (!m_hostile.await(MSG_ENDSTATION_HAPPY, a_moment)) return;
        m_hostile.answer(MSG_SENDER_HAPPY, MSG_ENDSTATION_HAPPY);
        m_helper.await(MSG_ADIOS, a_moment);
    }
}

std::string Run::state() {
    const Portmanager::Counts ports = g_portmanager.counts();
    char text[512];
    snprintf(text, sizeof text,
             "run %lu, mode %d, %s the honest sender; events: %zu joined, %zu left, %zu dropped; %zu parties filed, "
             "%zu conferences; ports %zu free, %zu reserved, %zu lent, %zu returning, %zu set aside",
             g_run, m_mode, m_early ? "before" : "after", m_events.count(zel::EVENT_JOINED), m_events.count(zel::EVENT_LEFT),
             m_events.count(zel::EVENT_DROPPED), g_parties.size(), g_activelist.size(), ports.free, ports.reserved, ports.lent,
             ports.returning, ports.set_aside);
    return text;
}

void Run::go() {
    m_mode = range(0, 2);
    m_early = m_mode != SecondSender && m_in.ConsumeBool();
    m_endstation.run(ROLE_ENDSTATION, "honest-e", m_conference, kKey);
    m_known.endstation = joined(ROLE_ENDSTATION, m_conference, "honest-e");
    ZEL_FUZZ_CHECK(m_known.endstation, "the honest endstation did not join: %s", state().c_str());
    for (int step = 0; step < 2; ++step) {
        if (step == (m_early ? 1 : 0)) {
            m_sender.run(ROLE_SENDER, "honest-s", m_conference, kKey);
            m_known.sender = joined(ROLE_SENDER, m_conference, nullptr);
            ZEL_FUZZ_CHECK(m_known.sender, "the honest sender did not join: %s", state().c_str());
        } else {
            join_hostile();
            m_moves.play(kMaxMoves, kHearBudgetMs);
        }
    }
    finish_own();
    const bool ended = m_endstation.wait_ended(kHonestLimit) && m_endstation.caller.m_stopread.load() != 0;
    ZEL_FUZZ_CHECK(ended, "the honest endstation's loop did not end on \"Adios \": %s", state().c_str());
}

void Run::release(CoordinatorServer& server) {
    // The raw parties hang up their sending side and read until the coordinator lets them go.
    for (Hostile* raw : {&m_hostile, &m_helper}) {
        if (raw->link.fd() < 0) continue;
        shutdown(raw->link.fd(), SHUT_WR);
        ZEL_FUZZ_CHECK(raw->link.wait_end(kStepLimit), "the coordinator kept a raw party that hung up: %s", state().c_str());
    }
    m_sender.stop();
    m_endstation.stop();
    // A raw party that hung up is not waited for on its link: the coordinator may still read its lines,
    // join it and let it go after the others left. Every party's thread ends before the books are checked.
    const bool ended = server.wait_parties(0, static_cast<double>(kStepLimit.count()) / 1000);
    ZEL_FUZZ_CHECK(ended, "a party's thread did not end with its link: %s", state().c_str());
    const bool left = m_events.wait_until([&] { return m_events.count(zel::EVENT_LEFT) >= m_events.count(zel::EVENT_JOINED); }, kStepLimit);
    ZEL_FUZZ_CHECK(left, "a party that joined never left: %s", state().c_str());
    ZEL_FUZZ_CHECK(g_parties.size() == 0 && g_activelist.size() == 0, "a party or a conference was left behind: %s", state().c_str());
    // The port of a rendezvous that ended well goes back right after its "Adios ", on the sender's
    // loop, which may come after the parties have left.
    const bool ports_back = g_portmanager.wait_until([](const Portmanager::Counts& c) { return c.lent == 0 && c.reserved == 0; },
                                                     static_cast<double>(kStepLimit.count()) / 1000);
    ZEL_FUZZ_CHECK(ports_back, "a port is still lent or reserved with no party left: %s", state().c_str());
    harness::close_bridged();
}

// With ZEL_FUZZ_TRACE set: what became of each party in this run, for replaying one input.
void Run::trace() {
    if (getenv("ZEL_FUZZ_TRACE") == nullptr) return;
    zel_fuzz::report("run %lu: mode %d, %s the honest sender\n", g_run, m_mode, m_early ? "before" : "after");
    for (const zel::PartyEvent& e : m_events.events())
        zel_fuzz::report("  event %d role %d conference %s nickname of %zu bytes: %s %s\n", static_cast<int>(e.kind), e.role,
                         e.conference.c_str(), e.nickname.size(), e.what, e.detail);
}

// The coordinator's port and pool are read when the library loads, so they are set before: by run.sh,
// or here, running this program again.
void run_again_with_settings(char** argv) {
    if (getenv("TQR_COORDINATOR_PORT") != nullptr) return;
    setenv("TQR_COORDINATOR_PORT", "26000", 1);
    setenv("TQR_TOP_PORT", "26020", 1);
    for (const char* name : {"TQR_LISTEN_TIMEOUT", "TQR_HANDSHAKE_TIMEOUT", "TQR_KEYCHECK_TIMEOUT"}) setenv(name, "1", 0);
    execv("/proc/self/exe", argv);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
    run_again_with_settings(*argv);
    zel_fuzz::init_report();
    zel::set_quiet(1);
    set_bridge_callback(harness::record_bridge);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ++g_run;
    FuzzedDataProvider input(data, size);
    std::unique_ptr<harness::EventLog> events;
    {
        // The library keeps every observer it was given, on purpose: not a leak of this input.
        __lsan::ScopedDisabler kept;
        events.reset(new harness::EventLog);
    }
    // A coordinator of this input's own: once its parties were released, stopping it waits until
    // every party thread has returned, so that nothing of one input runs into the next.
    harness::Coordinator coordinator;
    ZEL_FUZZ_CHECK(coordinator.started, "cannot listen on port %d", harness::coordinator_port());
    Run run(input, *events);
    run.go();
    run.release(coordinator.server);
    run.trace();
    return 0;
}
