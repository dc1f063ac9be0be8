// Parties that vanish at every step, parties that say what only the other role says, and hostile
// parties (attacks.h), against a coordinator in this process. Raw parties speak the handshake and the
// named messages by hand, so that each can hang up right after any phrase or message; a fresh library
// rendezvous then shows the coordinator is sound, and nothing (no party, descriptor, thread or port)
// is left behind.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "attacks.h"
#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/deadlines.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "protocol/settings.h"
#include "protocol/threads.h"

using namespace harness;

namespace {

// The points after which a party may vanish: the handshake lines (both parties speak their scripts
// side by side, so at point i the sender has said min(i, 3) lines and the endstation min(i, 4)), then
// the named messages (point kSteps + s follows HandRendezvous step s).
constexpr int kSteps = 5;
constexpr int kPoints = kSteps + HandRendezvous::Adios + 1;

enum Vanishing { SENDER, ENDSTATION, BOTH };

class FaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        zel::set_quiet(1);
        set_bridge_callback(record_bridge);
        // The deadline thread starts on first use and stays: it is counted from the start.
        g_deadlines.schedule(0, [] {});
        trim_threads();
        m_fds = descriptors();
        m_threads = threads();
    }
    // Work that returned may still be on its way to being parked (a reader whose link closed, with
    // nobody waiting for it): it is waited for, or counted.
    static void trim_threads() {
        for (zel::ThreadPool* pool : {&zel::library_threads(), &zel::host_threads()}) {
            EXPECT_TRUE(pool->wait_idle(kStep.count() / 1000.0));
            pool->trim();
        }
    }
    void TearDown() override { close_bridged(); }
    // Every port comes back once no listener can hold it any more; once the coordinator is gone, every
    // party, descriptor and thread is back where it was (the pools' parked threads let go, as at SetUp).
    void expect_nothing_left(std::unique_ptr<Coordinator>& coordinator) {
        EXPECT_TRUE(g_portmanager.wait_until([](const Portmanager::Counts& c) { return c.free == g_portmanager.size(); },
                                             2 * zel::settings().unheard_listener_margin()));
        coordinator.reset();
        close_bridged();
        EXPECT_EQ(g_activelist.size(), 0u);
        EXPECT_EQ(descriptors(), m_fds);
        trim_threads();
        EXPECT_EQ(threads(), m_threads);
    }
    int m_fds = 0, m_threads = 0;
};

TEST_F(FaultsTest, PartiesVanishingAtEveryStepLeaveNothingBehind) {
    EventLog events;
    std::unique_ptr<Coordinator> coordinator(new Coordinator);
    ASSERT_TRUE(coordinator->started);
    for (int point = 0; point < kPoints; ++point) {
        for (Vanishing vanishing : {SENDER, ENDSTATION, BOTH}) {
            SCOPED_TRACE("point " + std::to_string(point) + ", vanishing " + std::to_string(vanishing));
            const std::string conference = "vanish-" + std::to_string(point);
            RawParty sender, endstation;
            ASSERT_TRUE(sender.join(ROLE_SENDER, conference, "", static_cast<size_t>(std::min(point, 3))));
            ASSERT_TRUE(endstation.join(ROLE_ENDSTATION, conference, "e", static_cast<size_t>(std::min(point, 4))));
            if (point >= kSteps) {
                HandRendezvous hand{sender, endstation, "", "", ""};
                ASSERT_EQ(hand.play(HandRendezvous::Nominate, static_cast<HandRendezvous::Step>(point - kSteps)), -1);
            }
            if (vanishing != ENDSTATION) sender.hang_up();
            if (vanishing != SENDER) endstation.hang_up();
            ASSERT_TRUE(coordinator->server.wait_parties(vanishing == BOTH ? 0 : 1, 10.0));
            sender.hang_up();
            endstation.hang_up();
            ASSERT_TRUE(coordinator->server.wait_parties(0, 10.0));
        }
        CallerParty sender;
        size_t joined = events.count(zel::EVENT_JOINED);
        sender.run(ROLE_SENDER, "s", "after-" + std::to_string(point), "key");
        ASSERT_TRUE(events.wait_for(zel::EVENT_JOINED, joined + 1));
        EXPECT_TRUE(rendezvous("after-" + std::to_string(point), "key", milliseconds(30000))) << "point " << point;
    }
    expect_nothing_left(coordinator);
}

// Cookies are no secret: each party says, with every cookie it has heard, what only the other role
// says. None of it acts, and the rendezvous goes on as if nothing had been said.
TEST_F(FaultsTest, APartyCannotSpeakForTheOtherRole) {
    EventLog events;
    Coordinator coordinator;
    ASSERT_TRUE(coordinator.started);
    RawParty sender, endstation;
    ASSERT_TRUE(sender.join(ROLE_SENDER, "roles"));
    ASSERT_TRUE(endstation.join(ROLE_ENDSTATION, "roles"));
    HandRendezvous hand{sender, endstation, "", "", ""};
    ASSERT_EQ(hand.play(HandRendezvous::Nominate, HandRendezvous::Connect), -1);
    for (const std::string& cookie : {hand.endstation_cookie, hand.sender_cookie}) {
        for (const char* name : {"Approve ", "Listening ", "Port_In_Use ", "Sender Happy ", "Nominate ", "Adios "})
            endstation.say(name + cookie + " " + hand.port);
        for (const char* name : {"Connected ", "Failed ", "Connect ", "Listen "}) sender.say(name + cookie + " " + hand.port);
    }
    EXPECT_EQ(hand.play(HandRendezvous::Connected, HandRendezvous::Adios), -1);
    EXPECT_TRUE(events.wait_for(zel::EVENT_RENDEZVOUS_ENDED, 1, "ok"));
    EXPECT_EQ(events.count(zel::EVENT_PORT_SET_ASIDE), 0u);
}

// Each attack runs while an honest rendezvous in another conference completes; the coordinator must
// report what it did about the attacker; an honest rendezvous completes after it too, and memory stays
// bounded meanwhile.
TEST_F(FaultsTest, EachAttackIsBoundedAndHonestPartiesMeetDuringAndAfterIt) {
    ASSERT_EQ(zel::settings().listen_timeout, 2) << "the build sets the small time limits";
    EventLog events(false);
    auto honest_rendezvous = [&](const std::string& conference) {
        HonestSender sender(conference, events);
        return rendezvous(conference, kHonestKey, milliseconds(20000));
    };
    std::unique_ptr<Coordinator> coordinator(new Coordinator);
    ASSERT_TRUE(coordinator->started);
    ASSERT_TRUE(honest_rendezvous("warm-up"));
    const long resident = resident_kib();
    int round = 0;
    for (const Attack& attack : attacks()) {
        SCOPED_TRACE(attack.name);
        Arena arena(events);
        const size_t told = events.count(attack.told, attack.what);
        bool sound = false;
        std::thread attacker([&] { sound = attack.run(arena); });
        EXPECT_TRUE(honest_rendezvous("during-" + std::to_string(round)));
        EXPECT_TRUE(events.wait_for(attack.told, told + 1, attack.what, milliseconds(30000)));
        arena.halt();
        attacker.join();
        EXPECT_TRUE(sound);
#ifndef ZEL_SANITIZED  // a sanitizer keeps freed memory aside: it would measure itself
        EXPECT_LT(resident_kib() - resident, 16 * 1024);
#endif
        EXPECT_TRUE(honest_rendezvous("after-" + std::to_string(round++)));
        close_bridged();
    }
    expect_nothing_left(coordinator);
}

}  // namespace
