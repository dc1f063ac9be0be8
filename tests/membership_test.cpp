// A coordinator-side Caller's membership of its conference: the join step after the handshake and the
// leave step that its reader runs when the party's link ends. Each party is the far end of a local
// socket pair that speaks its handshake lines; the coordinator's Caller for it runs the library's
// reader and handshake.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/live_callers.h"
#include "protocol/phrase.h"
#include "test_support.h"

namespace {

using namespace zel_test;

// One party as the coordinator sees it, its handshake walked.
struct Member : WiredCaller {
    int negotiated = 0;

    Member(int role, const std::string& nickname, const std::string& confid) {
        say(role == ROLE_SENDER ? nul("TQR Caller is Sender") + nul("TQR Sender 1.2") + nul("From Sender join " + confid)
                                : nul("TQR Caller is Endstation") + nul("TQR Endstation 1.2") +
                                      nul("From Endstation name " + nickname) + nul("From Endstation join " + confid));
        negotiated = caller->negotiate(1, ROLE_COORDINATOR, ROLE_CALLER);
    }
    // The party's link ends; true once the coordinator's reader has run the leave step.
    bool hang_up() {
        close_peer();
        return wait_until([&] { return caller->reader_done(); });
    }
};

// A joined sender that leaves erases its conference, even while endstations wait in it; a second
// sender is refused (no cookie anyone may name) and its leaving touches nothing.
TEST(MembershipTest, ASenderThatLeavesErasesItsConferenceWithEndstationsWaiting) {
    zel_set_quiet(1);
    const size_t live = g_live_callers.size();
    Member e1(ROLE_ENDSTATION, "e1", "m2"), e2(ROLE_ENDSTATION, "e2", "m2"), sender(ROLE_SENDER, "", "m2"),
        second(ROLE_SENDER, "", "m2");
    ASSERT_TRUE(e1.negotiated && e2.negotiated && sender.negotiated && second.negotiated);
    EXPECT_EQ(e1.caller->m_nickname, "e1");
    EXPECT_EQ(sender.caller->m_confid, "m2");
    ASSERT_TRUE(e1.caller->joinconference());
    ASSERT_TRUE(e2.caller->joinconference());
    EXPECT_EQ(g_activelist.waiting("m2"), 2);

    // The conference thread stalls in its first nomination, so the second endstation stays queued.
    pthread_mutex_lock(&sender.caller->m_send_mutex);
    EXPECT_TRUE(sender.caller->joinconference());
    bool one_left = wait_until([] { return g_activelist.waiting("m2") == 1; });
    EXPECT_FALSE(second.caller->joinconference());
    EXPECT_EQ(second.caller->m_joined, 0);
    EXPECT_EQ(g_live_callers.size(), live + 3);
    bool refused_left = second.hang_up();
    bool kept = g_activelist.waiting("m2") == 1;
    sender.close_peer();
    bool erased = wait_until([] { return g_activelist.waiting("m2") == -1; });
    pthread_mutex_unlock(&sender.caller->m_send_mutex);
    EXPECT_TRUE(one_left);
    EXPECT_TRUE(refused_left && kept);
    EXPECT_TRUE(erased);
    EXPECT_TRUE(wait_until([&] { return sender.caller->reader_done(); }));

    // The endstations' own leaving finds no conference any more.
    ASSERT_TRUE(e2.hang_up());
    ASSERT_TRUE(e1.hang_up());
    EXPECT_EQ(g_activelist.waiting("m2"), -1);
    EXPECT_EQ(g_live_callers.size(), live);
}

TEST(MembershipTest, APartyWhoseLinkEndedBeforeItJoinedIsNeverFiled) {
    zel_set_quiet(1);
    const size_t live = g_live_callers.size();
    const size_t filed = g_activelist.size();
    for (int role : {ROLE_SENDER, ROLE_ENDSTATION}) {
        Member late(role, "late", "m3");
        ASSERT_EQ(late.negotiated, 1);
        ASSERT_TRUE(late.hang_up());
        EXPECT_FALSE(late.caller->joinconference());
        EXPECT_EQ(late.caller->m_joined, 0);
        EXPECT_EQ(g_activelist.waiting("m3"), -1);
        EXPECT_EQ(g_live_callers.size(), live);
    }
    // The link ends while the join step runs: whichever comes first, nothing stays filed.
    int joined = 0;
    for (int round = 0; round < 60; ++round) {
        Member party(round % 2 ? ROLE_SENDER : ROLE_ENDSTATION, "racer", "m4");
        ASSERT_EQ(party.negotiated, 1);
        std::thread ender([&] { close(party.peer); });
        joined += party.caller->joinconference() ? 1 : 0;
        ender.join();
        party.peer = -1;
        ASSERT_TRUE(wait_until([&] { return party.caller->reader_done(); }));
        ASSERT_EQ(g_activelist.waiting("m4"), -1) << "round " << round;
        ASSERT_EQ(g_live_callers.size(), live);
    }
    EXPECT_EQ(g_activelist.size(), filed);
    printf("joined before the link ended in %d of 60 rounds\n", joined);
}

}  // namespace
