// Parties that vanish at every step, and parties that say what only the other role says. Raw parties
// speak the handshake and the named messages by hand, so that each can hang up right after any
// phrase or message; a fresh library rendezvous then shows the coordinator is sound, and nothing (no
// party, descriptor, thread or port) is left behind.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "common/zel_common.h"
#include "harness.h"
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
        zel_set_quiet(1);
        set_bridge_callback(record_bridge);
        g_deadlines.schedule(0, [] {});
    }
    void TearDown() override { close_bridged(); }
    EventLog events;
};

TEST_F(FaultsTest, PartiesVanishingAtEveryStepLeaveNothingBehind) {
    const int fds = descriptors(), threads_before = threads();
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
        size_t joined = events.count(EVENT_JOINED);
        sender.run(ROLE_SENDER, "s", "after-" + std::to_string(point), "key");
        ASSERT_TRUE(events.wait_for(EVENT_JOINED, joined + 1));
        EXPECT_TRUE(rendezvous("after-" + std::to_string(point), "key", milliseconds(30000))) << "point " << point;
    }
    EXPECT_TRUE(g_portmanager.wait_until([](const Portmanager::Counts& c) { return c.free == g_portmanager.size(); },
                                         2 * zel::settings().unheard_listener_margin()));
    coordinator.reset();
    close_bridged();
    EXPECT_EQ(g_activelist.size(), 0u);
    EXPECT_EQ(descriptors(), fds);
    // Parked threads of the pools are let go; then the count is exact.
    zel::library_threads().trim();
    zel::host_threads().trim();
    EXPECT_EQ(threads(), threads_before);
}

// Cookies are no secret: each party says, with every cookie it has heard, what only the other role
// says. None of it acts, and the rendezvous goes on as if nothing had been said.
TEST_F(FaultsTest, APartyCannotSpeakForTheOtherRole) {
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
    EXPECT_TRUE(events.wait_for(EVENT_RENDEZVOUS_ENDED, 1, "ok"));
    EXPECT_EQ(events.count(EVENT_PORT_SET_ASIDE), 0u);
}

}  // namespace
