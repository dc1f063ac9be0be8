// A coordinator-side Caller's membership of its conference: the join step after the handshake and the
// leave step that its reader runs when the party's link ends. Each party is a raw local socket that
// speaks its handshake lines; the coordinator's Caller for it runs the library's reader and handshake.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/live_callers.h"
#include "protocol/phrase.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;

// One party as the coordinator sees it: `coord` is the coordinator's Caller for it, `peer` the party's
// own end of the link.
struct Party {
    int peer = -1;
    Caller* coord = nullptr;
    int negotiated = 0;

    Party(int role, const std::string& nickname, const std::string& confid) {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        peer = fds[1];
        coord = new Caller(fds[0]);
        std::string lines = role == ROLE_SENDER
                                ? "TQR Caller is Sender\0TQR Sender 1.2\0From Sender join "s + confid + '\0'
                                : "TQR Caller is Endstation\0TQR Endstation 1.2\0From Endstation name "s +
                                      nickname + '\0' + "From Endstation join " + confid + '\0';
        if (role == ROLE_CALLER) {
            // A party that never says what it is: the handshake has not got far, and never will.
            coord->m_type = ROLE_CALLER;
            coord->m_confid = confid;
            lines.clear();
        }
        if (write(peer, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) return;
        coord->startreadthread();
        if (role != ROLE_CALLER) negotiated = coord->negotiate(1, ROLE_COORDINATOR, ROLE_CALLER);
    }
    ~Party() {
        if (peer >= 0) close(peer);
        delete coord;
    }
    // The party's link ends; returns once the coordinator's reader has run the leave step.
    bool hang_up() {
        close(peer);
        peer = -1;
        return zel_test::wait_until([&] { return coord->reader_done(); });
    }
    // The next message to the party that starts with `prefix`; "" when none comes in time.
    std::string next(const std::string& prefix) {
        std::string text;
        char byte;
        pollfd ready{peer, POLLIN, 0};
        while (poll(&ready, 1, 5000) > 0 && read(peer, &byte, 1) == 1) {
            if (byte != '\0') {
                text += byte;
            } else if (text.rfind(prefix, 0) == 0) {
                return text;
            } else {
                text.clear();
            }
        }
        return "";
    }
};

TEST(MembershipTest, SendersJoinOnceAndTheirConferenceGoesWithThem) {
    zel_set_quiet(0);
    const size_t live = g_live_callers.size();
    Party first(ROLE_SENDER, "", "m1"), second(ROLE_SENDER, "", "m1");
    ASSERT_EQ(first.negotiated, 1);
    ASSERT_EQ(second.negotiated, 1);
    EXPECT_EQ(first.coord->m_type, ROLE_SENDER);
    EXPECT_EQ(first.coord->m_confid, "m1");
    zel_test::StderrCapture captured;

    EXPECT_TRUE(first.coord->joinconference());
    EXPECT_EQ(first.coord->m_joined, 1);
    EXPECT_EQ(g_live_callers.size(), live + 1);
    EXPECT_FALSE(second.coord->joinconference());
    EXPECT_EQ(second.coord->m_joined, 0);
    EXPECT_EQ(g_live_callers.size(), live + 1) << "a refused sender is no cookie anyone may name";
    std::string text = captured.text();
    EXPECT_NE(text.find("adding conference for m1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("NOT adding caller to conference m1\n"), std::string::npos);

    // The refused sender's leaving, and that of a party that never said what it is, touch nothing.
    ASSERT_TRUE(second.hang_up());
    EXPECT_EQ(g_activelist.waiting("m1"), 0);
    Party unknown(ROLE_CALLER, "", "m1");
    ASSERT_TRUE(unknown.hang_up());
    EXPECT_EQ(g_activelist.waiting("m1"), 0);

    // A nominated endstation has left the queue already: its leaving keeps the conference.
    Party endstation(ROLE_ENDSTATION, "e", "m1");
    ASSERT_EQ(endstation.negotiated, 1);
    EXPECT_EQ(endstation.coord->m_nickname, "e");
    EXPECT_TRUE(endstation.coord->joinconference());
    char nomination[64];
    snprintf(nomination, sizeof nomination, "Nominate %p e", static_cast<void*>(endstation.coord));
    EXPECT_EQ(first.next("Nominate "), nomination);
    ASSERT_TRUE(endstation.hang_up());
    EXPECT_EQ(g_activelist.waiting("m1"), 0);

    ASSERT_TRUE(first.hang_up());
    EXPECT_EQ(g_activelist.waiting("m1"), -1);
    EXPECT_NE(captured.text().find("deleted conference m1 from active list\n"), std::string::npos);
    EXPECT_EQ(g_live_callers.size(), live);
}

TEST(MembershipTest, ASenderThatLeavesErasesItsConferenceWithEndstationsWaiting) {
    zel_set_quiet(1);
    Party e1(ROLE_ENDSTATION, "e1", "m2"), e2(ROLE_ENDSTATION, "e2", "m2"), sender(ROLE_SENDER, "", "m2");
    ASSERT_TRUE(e1.negotiated && e2.negotiated && sender.negotiated);
    ASSERT_TRUE(e1.coord->joinconference());
    ASSERT_TRUE(e2.coord->joinconference());
    EXPECT_EQ(g_activelist.waiting("m2"), 2);

    // The conference thread stalls in its first nomination, so the second endstation stays queued.
    pthread_mutex_lock(&sender.coord->m_send_mutex);
    EXPECT_TRUE(sender.coord->joinconference());
    bool one_left = zel_test::wait_until([] { return g_activelist.waiting("m2") == 1; });
    close(sender.peer);
    sender.peer = -1;
    bool erased = zel_test::wait_until([] { return g_activelist.waiting("m2") == -1; });
    pthread_mutex_unlock(&sender.coord->m_send_mutex);
    EXPECT_TRUE(one_left);
    EXPECT_TRUE(erased);
    EXPECT_TRUE(zel_test::wait_until([&] { return sender.coord->reader_done(); }));

    // The endstations' own leaving finds no conference any more.
    ASSERT_TRUE(e2.hang_up());
    ASSERT_TRUE(e1.hang_up());
    EXPECT_EQ(g_activelist.waiting("m2"), -1);
}

TEST(MembershipTest, APartyWhoseLinkEndedBeforeItJoinedIsNeverFiled) {
    zel_set_quiet(1);
    const size_t live = g_live_callers.size();
    const size_t filed = g_activelist.size();
    for (int role : {ROLE_SENDER, ROLE_ENDSTATION}) {
        Party late(role, "late", "m3");
        ASSERT_EQ(late.negotiated, 1);
        ASSERT_TRUE(late.hang_up());
        EXPECT_FALSE(late.coord->joinconference());
        EXPECT_EQ(late.coord->m_joined, 0);
        EXPECT_EQ(g_activelist.waiting("m3"), -1);
        EXPECT_EQ(g_live_callers.size(), live);
    }
    // The link ends while the join step runs: whichever comes first, nothing stays filed.
    int joined = 0;
    for (int round = 0; round < 60; ++round) {
        Party party(round % 2 ? ROLE_SENDER : ROLE_ENDSTATION, "racer", "m4");
        ASSERT_EQ(party.negotiated, 1);
        std::thread ender([&] { close(party.peer); });
        joined += party.coord->joinconference() ? 1 : 0;
        ender.join();
        party.peer = -1;
        ASSERT_TRUE(zel_test::wait_until([&] { return party.coord->reader_done(); }));
        ASSERT_EQ(g_activelist.waiting("m4"), -1) << "round " << round;
        ASSERT_EQ(g_live_callers.size(), live);
    }
    EXPECT_EQ(g_activelist.size(), filed);
    printf("joined before the link ended in %d of 60 rounds\n", joined);
}

}  // namespace
