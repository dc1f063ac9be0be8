// The conference registry and its conferences: who is filed where, who is nominated to the sender and
// in which order, and what becomes of a conference once its entry is erased. The registry is the
// library's own g_activelist; members are Callers with their role set, the sender's link a local pair
// whose other end the test reads.
#include "protocol/activelist.h"
#include "protocol/conference.h"
#include "protocol/live_callers.h"
#include "protocol/lock.h"
#include "test_support.h"

namespace {

using zel_test::count;

Caller* endstation(Caller& caller, const char* nickname) {
    caller.m_type = ROLE_ENDSTATION;
    caller.m_nickname = nickname;
    return &caller;
}

// An endstation that the conference may nominate: only live Callers (as the join step files them) are
// nominated. The Caller's destructor takes it out again.
Caller* live(Caller& caller, const char* nickname, const std::string& confid) {
    g_live_callers.add(endstation(caller, nickname), ROLE_ENDSTATION, confid);
    return &caller;
}

// A sender whose coordinator link is one end of a local pair; the test reads what it is sent.
struct Sender : zel_test::WiredCaller {
    Sender() : zel_test::WiredCaller(false) { caller->m_type = ROLE_SENDER; }
};

std::string nominate(Caller& receiver) {
    char text[64];
    snprintf(text, sizeof text, "Nominate %p %s", static_cast<void*>(&receiver), receiver.m_nickname.c_str());
    return text;
}

// Erases a conference when the case ends, before the Callers it points to are destroyed.
struct Erase {
    std::string confid;
    ~Erase() { g_activelist.remove(confid); }
};

TEST(ConferenceTest, EndstationsWaitForASenderAreNominatedOldestFirstAndASecondSenderIsRefused) {
    zel_set_quiet(0);
    zel_test::LogCapture log;
    Caller e1, e2;
    Sender sender, second;
    Erase erase{"early"};
    zel_test::StderrCapture captured;
    EXPECT_TRUE(g_activelist.addcaller("early", live(e1, "first", "early")));
    EXPECT_TRUE(g_activelist.addcaller("early", live(e2, "second", "early")));
    g_activelist.signal("early");
    // Without a sender nobody is nominated, however often the thread runs.
    EXPECT_FALSE(zel_test::wait_until([] { return g_activelist.waiting("early") != 2; },
                                      std::chrono::milliseconds(300)));

    EXPECT_TRUE(g_activelist.addcaller("early", sender.caller));
    EXPECT_FALSE(g_activelist.addcaller("early", second.caller));
    g_activelist.signal("early");
    EXPECT_EQ(sender.next(), nominate(e1));
    EXPECT_EQ(sender.next(), nominate(e2));  // on a later pass, without another signal
    EXPECT_EQ(g_activelist.waiting("early"), 0);
    EXPECT_EQ(second.written(), "");
    const std::string text = captured.text();
    EXPECT_EQ(count(text, "adding conference for early\n"), 1u);
    EXPECT_EQ(count(text, "NOT adding caller to conference early\n"), 1u);
    // The first member makes the conference; the refused sender's line holds the same words.
    EXPECT_EQ(count(text, "adding caller to conference early\n"), 3u);
    EXPECT_NE(log.text().find("attempt to add second sender to conference early ignored\n"), std::string::npos);
}

TEST(ConferenceTest, ReceiversAreDroppedAndEmptyConferencesForgotten) {
    zel_set_quiet(0);
    Caller e, other, e3;
    Sender sender;
    Erase erase_kept{"kept"}, erase_upper{"Case"}, erase_lower{"case"};
    zel_test::StderrCapture captured;

    // The same receiver twice is listed twice, and one drop takes both.
    endstation(e, "e");
    EXPECT_TRUE(g_activelist.addcaller("dup", &e));
    EXPECT_TRUE(g_activelist.addcaller("dup", &e));
    EXPECT_EQ(g_activelist.waiting("dup"), 2);
    EXPECT_TRUE(g_activelist.dropreceiver("dup", endstation(other, "other")));
    EXPECT_EQ(g_activelist.waiting("dup"), 2);
    EXPECT_TRUE(g_activelist.dropreceiver("dup", &e));
    EXPECT_EQ(g_activelist.waiting("dup"), -1);
    EXPECT_NE(captured.text().find("deleted conference dup from active list\n"), std::string::npos);
    EXPECT_FALSE(g_activelist.dropreceiver("dup", &e));

    // A conference with a sender stays filed when its last receiver leaves; remove always succeeds.
    EXPECT_TRUE(g_activelist.addcaller("kept", sender.caller));
    EXPECT_TRUE(g_activelist.dropreceiver("kept", &e));
    EXPECT_EQ(g_activelist.waiting("kept"), 0);
    EXPECT_TRUE(g_activelist.remove("kept"));
    EXPECT_TRUE(g_activelist.remove("kept"));
    EXPECT_EQ(g_activelist.waiting("kept"), -1);

    // Identifiers are case-sensitive, and an erased identifier starts a new conference.
    EXPECT_TRUE(g_activelist.addcaller("Case", &e));
    EXPECT_TRUE(g_activelist.addcaller("case", &other));
    EXPECT_TRUE(g_activelist.remove("Case"));
    EXPECT_EQ(g_activelist.waiting("case"), 1);
    EXPECT_TRUE(g_activelist.addcaller("Case", endstation(e3, "e3")));
    EXPECT_EQ(count(captured.text(), "adding conference for Case\n"), 2u);
    EXPECT_EQ(g_activelist.waiting("Case"), 1);
}

TEST(ConferenceTest, AnErasedConferenceTakesItsThreadWithIt) {
    zel_set_quiet(1);
    Caller e;
    endstation(e, "e");
    const int threads = zel_test::thread_count();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(g_activelist.addcaller("thread" + std::to_string(i), &e));
    EXPECT_TRUE(zel_test::wait_until([&] { return zel_test::thread_count() == threads + 10; }));
    // Half go by remove, half because their last receiver left.
    for (int i = 0; i < 10; i += 2) g_activelist.remove("thread" + std::to_string(i));
    for (int i = 1; i < 10; i += 2) g_activelist.dropreceiver("thread" + std::to_string(i), &e);
    EXPECT_TRUE(zel_test::wait_until([&] { return zel_test::thread_count() == threads; }));
}

TEST(ConferenceTest, ASignalGivenWhileTheThreadIsBusyIsNotLost) {
    zel_set_quiet(1);
    zel_test::LogCapture log;
    Caller e1, e2, e3;
    Sender sender;
    Erase erase{"busy"};
    ASSERT_TRUE(g_activelist.addcaller("busy", sender.caller));
    ASSERT_TRUE(g_activelist.addcaller("busy", live(e1, "e1", "busy")));
    g_activelist.signal("busy");
    ASSERT_EQ(sender.next(), nominate(e1));
    Conference* conference = nullptr;
    {
        zel::MutexGuard guard(g_activelist.m_mutex);
        conference = g_activelist.m_conferences.at("busy");
    }

    // Stall the thread in its next nomination, then let a third endstation join and signal.
    pthread_mutex_lock(&sender.caller->m_send_mutex);
    EXPECT_TRUE(g_activelist.addcaller("busy", live(e2, "e2", "busy")));
    g_activelist.signal("busy");
    bool busy = zel_test::wait_until([] { return g_activelist.waiting("busy") == 0; });
    EXPECT_TRUE(g_activelist.addcaller("busy", live(e3, "e3", "busy")));
    g_activelist.signal("busy");
    pthread_mutex_unlock(&sender.caller->m_send_mutex);
    EXPECT_TRUE(busy);
    EXPECT_EQ(sender.next(), nominate(e2));
    std::string third = sender.next(200);
    if (third == "<none>") {
        // The signal was lost and the thread waits for its one-second tick. Wake it as a spurious
        // wake-up would, so that the case ends quickly and the log shows the wait.
        zel::MutexGuard io(conference->m_io_mutex);
        pthread_cond_signal(&conference->m_io_conditional);
    }
    EXPECT_EQ(third == "<none>" ? sender.next() : third, nominate(e3));

    // Between the two nominations the thread never waited: the signal it was given while busy counted.
    std::string logged = log.text();
    size_t second = logged.find(" sending " + nominate(e2));
    size_t next = logged.find(" sending " + nominate(e3), second);
    ASSERT_NE(next, std::string::npos) << logged;
    EXPECT_EQ(logged.substr(second, next - second).find("Conference io_conditional signalled"), std::string::npos)
        << logged;
}

}  // namespace
