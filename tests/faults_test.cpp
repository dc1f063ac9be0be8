// Parties that vanish at every step of a rendezvous. An in-process coordinator serves raw parties that
// speak the handshake and the named messages by hand, so that each can hang up right after any phrase
// or message; real Caller parties then show that the coordinator is still sound: no party, descriptor,
// thread or port is left behind, and a fresh rendezvous in the same conference completes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/conference.h"
#include "protocol/lock.h"
#include "protocol/portmanager.h"
#include "raw_party.h"
#include "tools/tqr/coordinator_server.h"

namespace {

using namespace zel_test;
using Hand = HandRendezvous;

const char* const kConference = "faults";
const char* const kKey = "faults-key";
// An abandoned port returns a listener time limit (TQR_LISTEN_TIMEOUT, 1 s here) plus 2 s later.
constexpr milliseconds kPortsBack(15000);
// Rounds per case: 3 in the everyday run, ZEL_FAULT_ROUNDS (e.g. 10) for a longer one.
const int kRepetitions = getenv("ZEL_FAULT_ROUNDS") ? std::max(1, atoi(getenv("ZEL_FAULT_ROUNDS"))) : 3;

// The points after which a party may vanish: the handshake phrases (both parties walk their scripts
// side by side, the endstation ahead: at point i the sender has said min(i, 2) lines, the endstation
// min(i, 4)), then the named messages (point kFirstMessage + s follows Hand::Step s).
const char* const kStepNames[] = {"TQR Coordinator", "TQR Caller is", "TQR Endstation/TQR Sender",
                                  "From Endstation name", "From Endstation join", "From Sender join + Nominate",
                                  "Approve", "Listen", "Listening", "Connect", "Connected", "Endstation Happy",
                                  "Sender Happy", "Adios"};
constexpr int kStepCount = sizeof kStepNames / sizeof kStepNames[0];
constexpr int kFirstMessage = 5;

enum Vanishing { SenderVanishes, EndstationVanishes, BothVanish };
const char* const kVanishingNames[] = {"sender", "endstation", "both"};

int failures() { return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }
int pool_size() { return pool_top() - coordinator_port(); }

class FaultsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        zel_set_quiet(1);
        // Read per listener and per abandoned port, so it must be set before the first rendezvous.
        setenv("TQR_LISTEN_TIMEOUT", "1", 1);
        set_bridge_callback(record_bridge);
        s_server = new CoordinatorServer();
        ASSERT_TRUE(s_server->start(coordinator_port()));
    }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }
    // One whole rendezvous first, so that what the process opens once (the coordinator's threads,
    // resolver files) is in the baseline.
    void SetUp() override { take_baseline(); }

    // Waits until the coordinator serves no party but `staying` and files no other conference.
    bool settled(int staying = 0) {
        return wait_until([&] { return s_server->parties() == staying; }) &&
               wait_until([&] { return g_activelist.size() == static_cast<size_t>(staying); });
    }

    // A real endstation meets a real sender (`sender`, or a new one) in the conference, and both are
    // bridged; waits long enough for a port held back by a failed rendezvous to come back.
    bool fresh_rendezvous(CallerParty* sender = nullptr) {
        int senders = g_bridged_senders.load(), endstations = g_bridged_endstations.load();
        std::unique_ptr<CallerParty> own_sender;
        if (sender == nullptr) {
            own_sender = std::make_unique<CallerParty>();
            own_sender->run(ROLE_SENDER, "fresh-sender", kConference, kKey);
        }
        CallerParty endstation;
        endstation.run(ROLE_ENDSTATION, "fresh-endstation", kConference, kKey);
        bool ended = wait_until([&] { return endstation.ended.load(); }, kPortsBack);
        bool bridged = wait_until([&] { return g_bridged_senders > senders && g_bridged_endstations > endstations; });
        endstation.stop();
        if (own_sender) own_sender->stop();
        close_bridged();
        EXPECT_TRUE(ended && bridged) << "the fresh rendezvous " << (ended ? "bridged no one" : "never ended");
        return ended && bridged;
    }

    void take_baseline(CallerParty* sender = nullptr) {
        ASSERT_TRUE(fresh_rendezvous(sender));
        ASSERT_TRUE(settled(sender ? 1 : 0));
        m_fds = open_fds();
        m_threads = thread_count();
    }

    // What every round must leave behind: nothing but the sender that stays, if any.
    void expect_nothing_left(CallerParty* sender = nullptr) {
        const int staying = sender ? 1 : 0;
        ASSERT_TRUE(settled(staying)) << s_server->parties() << " parties served, " << g_activelist.size()
                                      << " conferences filed";
        // Every lent port has come back or is on its way back; none is lent to parties that are gone.
        EXPECT_TRUE(wait_until([] {
            return g_portmanager.lent_count() == 0 &&
                   g_portmanager.free_count() + g_portmanager.returning_count() == static_cast<size_t>(pool_size());
        })) << g_portmanager.lent_count() << " lent, " << g_portmanager.free_count() << " free, "
            << g_portmanager.returning_count() << " returning, of " << pool_size();
        // A sender that stays may still wait out its listeners for vanished endstations: its threads and
        // descriptors are counted once at the end.
        if (!sender) expect_resources_back();
        EXPECT_TRUE(fresh_rendezvous(sender));
        EXPECT_TRUE(settled(staying));
    }

    void expect_resources_back() {
        EXPECT_TRUE(wait_until([&] { return open_fds() <= m_fds; })) << open_fds() << " descriptors, " << m_fds << " before";
        EXPECT_TRUE(wait_until([&] { return thread_count() <= m_threads; }))
            << thread_count() << " threads, " << m_threads << " before";
    }

    // Every port of the pool is free again: those of failed rendezvous too, once their time has come.
    void expect_pool_full() {
        EXPECT_TRUE(wait_until([] { return g_portmanager.free_count() == static_cast<size_t>(pool_size()); }, kPortsBack))
            << g_portmanager.free_count() << " of " << pool_size() << " ports free";
    }

    // Runs `round` kRepetitions times, or until it fails (its repetitions would only fail the same
    // way), and names the case that failed. After three failing cases the rest are skipped: a
    // coordinator left unsound fails them all alike.
    template <typename Round>
    void repeat(const std::string& name, Round round) {
        int before = failures();
        for (int i = 0; i < kRepetitions && failures() == before && m_failed_cases < 3; ++i) {
            SCOPED_TRACE(name + ", round " + std::to_string(i));
            round();
        }
        if (failures() != before) ADD_FAILURE() << "failing case: " << name << (++m_failed_cases == 3 ? "; the rest skipped" : "");
    }

    int m_failed_cases = 0;
    int m_fds = 0;
    int m_threads = 0;
    static CoordinatorServer* s_server;
};

CoordinatorServer* FaultsTest::s_server = nullptr;

// A raw sender and a raw endstation walk one rendezvous up to and including `last`; then the party or
// parties that vanish hang up, and the other once the coordinator has let the first go. Ports of failed
// rendezvous come back only later: fresh rendezvous wait for them whenever the pool runs dry.
TEST_F(FaultsTest, PartiesVanishingAtEveryStepLeaveNothingBehind) {
    for (int last = 0; last < kStepCount; ++last) {
        for (int vanishing = SenderVanishes; vanishing <= BothVanish; ++vanishing) {
            repeat(std::string("after \"") + kStepNames[last] + "\", " + kVanishingNames[vanishing] + " vanishing", [&] {
                RawParty sender, endstation;
                auto walk = [&] {
                    ASSERT_NO_FATAL_FAILURE(sender.join(ROLE_SENDER, kConference, "", true, std::min(last, 2)));
                    ASSERT_NO_FATAL_FAILURE(endstation.join(ROLE_ENDSTATION, kConference, "hand", true, std::min(last, 4)));
                    if (last >= 4) {
                        ASSERT_TRUE(wait_until([] { return g_activelist.waiting(kConference) == 1; }));
                    }
                    if (last < kFirstMessage) return;
                    // Filing the sender nominates the endstation at once.
                    sender.say(std::string("From Sender join ") + kConference);
                    Hand(sender, endstation, "hand").play(Hand::Nominate, static_cast<Hand::Step>(last - kFirstMessage));
                };
                int before = failures();
                walk();
                if (failures() != before) return;
                if (vanishing != EndstationVanishes) sender.hang_up();
                if (vanishing != SenderVanishes) endstation.hang_up();
                int staying = sender.connected() + endstation.connected();
                EXPECT_TRUE(wait_until([&] { return s_server->parties() == staying; }))
                    << s_server->parties() << " parties served, " << staying << " still connected";
                sender.hang_up();
                endstation.hang_up();
                expect_nothing_left();
            });
        }
    }
    expect_pool_full();
}

// A real sender stays while endstations vanish at each of their steps; it goes on serving the next.
TEST_F(FaultsTest, SenderOutlivesEndstationsVanishingAtEveryStep) {
    auto sender = std::make_unique<CallerParty>();
    sender->run(ROLE_SENDER, "staying-sender", kConference, kKey);
    ASSERT_TRUE(wait_until([] { return g_activelist.size() == 1; }));
    take_baseline(sender.get());
    const char* const names[] = {"TQR Coordinator", "TQR Caller is", "TQR Endstation", "From Endstation name",
                                 "From Endstation join", "Connect", "linked to the sender, silent", "Connected", "Adios"};
    for (int last = 0; last < 9; ++last) {
        repeat(std::string("endstation vanishing after \"") + names[last] + "\"", [&] {
            RawParty endstation, direct;
            auto walk = [&] {
                ASSERT_NO_FATAL_FAILURE(endstation.join(ROLE_ENDSTATION, kConference, "hand", true, std::min(last, 4)));
                // Filed and, with the sender there, nominated at once: the sender is lent a port for it.
                if (last == 4) {
                    EXPECT_TRUE(wait_until([] { return g_portmanager.lent_count() == 1; }));
                }
                if (last <= 4) return;
                DecodedMessage connect = endstation.expect("Connect ");
                ASSERT_TRUE(connect.has_cookie);
                if (last == 5) return;
                ASSERT_TRUE(direct.connect(port_of(connect.info)));
                if (last == 6) return;
                // The endstation's key frame: odd indices in clear, even ones hidden.
                std::string frame = kKey;
                for (size_t i = 0; i < frame.size(); i += 2) frame[i] = static_cast<char>(0xFF);
                int senders = g_bridged_senders.load();
                direct.say(frame);
                endstation.say("Connected " + cookie_text(connect.cookie) + " " + connect.info);
                EXPECT_TRUE(wait_until([&] { return g_bridged_senders > senders; })) << "the sender refused the key";
                if (last == 7) return;
                endstation.expect("Adios ");
            };
            walk();
            endstation.hang_up();
            direct.hang_up();
            expect_nothing_left(sender.get());
        });
    }
    expect_pool_full();
    close_bridged();
    expect_resources_back();
    EXPECT_FALSE(sender->ended.load()) << "the sender's message loop ended";
    sender->stop();
    EXPECT_TRUE(settled());
}

// A party that says what only the other role says. Cookies are no secret (a party hears some, and
// they are addresses), so the coordinator must act on a message only from the role that sends it: an
// endstation that approves another endstation, claims its port is in use or reports it happy could
// otherwise take ports, retire them, or send that endstation "Adios " before its rendezvous, and one
// that says "Listen " could make the coordinator listen on a port of its choosing.
TEST_F(FaultsTest, PartiesCannotSpeakForAnotherRole) {
    auto victim = std::make_unique<CallerParty>();
    victim->run(ROLE_ENDSTATION, "victim", kConference, kKey);
    ASSERT_TRUE(wait_until([] { return g_activelist.waiting(kConference) == 1; }));
    std::string victim_cookie;
    {
        // The coordinator's Caller of the victim, as a rogue could guess or hear it.
        zel::MutexGuard registry(g_activelist.m_mutex);
        Conference* conference = g_activelist.m_conferences.at(kConference);
        zel::MutexGuard list(conference->m_list_mutex);
        victim_cookie = cookie_text(conference->m_receivers.front());
    }
    RawParty rogue;
    ASSERT_NO_FATAL_FAILURE(rogue.join(ROLE_ENDSTATION, kConference, "rogue"));
    ASSERT_TRUE(wait_until([] { return g_activelist.waiting(kConference) == 2; }));

    const int free_port = zel_test::port(0);
    const std::string port = std::to_string(coordinator_port() + 1);
    for (const std::string& message :
         {"Approve " + victim_cookie + " ", "Listening " + victim_cookie + " " + port,
          "Sender Happy " + victim_cookie + " " + port, "Port_In_Use " + victim_cookie + " " + port,
          "Listen " + victim_cookie + " " + std::to_string(free_port), "Nominate " + victim_cookie + " rogue",
          "Endstation Happy " + victim_cookie + " " + port, "Adios " + victim_cookie + " "})
        rogue.say(message);
    // Were any taken, the rogue would hear of it (the victim's port, for one) within moments.
    std::string answer = rogue.hear(milliseconds(500));
    EXPECT_EQ(answer, "") << "the coordinator answered a message that endstations never send";
    EXPECT_EQ(g_portmanager.lent_count(), 0u);
    EXPECT_EQ(s_server->parties(), 2) << "the rogue's link was ended";
    int knock = connect_to(free_port);
    EXPECT_LT(knock, 0) << "the coordinator listens on port " << free_port;
    if (knock >= 0) close(knock);

    // The victim still meets its sender.
    int senders = g_bridged_senders.load(), endstations = g_bridged_endstations.load();
    auto sender = std::make_unique<CallerParty>();
    sender->run(ROLE_SENDER, "sender", kConference, kKey);
    EXPECT_TRUE(wait_until([&] { return victim->ended.load(); }, kPortsBack));
    EXPECT_TRUE(wait_until([&] { return g_bridged_senders > senders && g_bridged_endstations > endstations; }));
    rogue.hang_up();
    victim->stop();
    sender->stop();
    close_bridged();
    EXPECT_TRUE(settled());
    expect_pool_full();
}

}  // namespace
