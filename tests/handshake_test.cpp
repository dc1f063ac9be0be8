// The handshake: two real Callers walking the script over loopback TCP, and a coordinator or a party
// driven phrase by phrase from a raw socket.
#include "protocol/lock.h"
#include "test_support.h"

namespace {

using zel_test::nul;
using zel_test::wait_until;

// negotiate() on a thread of its own, with a bounded wait for its result.
struct Negotiation {
    Caller& caller;
    std::atomic<int> result{-1};
    std::thread thread;

    Negotiation(Caller& c, int iAm, int itIs) : caller(c) {
        thread = std::thread([this, iAm, itIs] { result = caller.negotiate(1, iAm, itIs); });
    }
    ~Negotiation() { finish(); }
    // The result within a few seconds, -2 when the walk still waited then (it is released to end).
    int finish() {
        if (!thread.joinable()) return result;
        bool ended = wait_until([&] { return result != -1; });
        if (!ended) {
            zel::MutexGuard guard(caller.m_queue_mutex);
            for (int i = 0; i < 8; ++i) caller.m_queue.push_back("");
            pthread_cond_broadcast(&caller.m_queue_cond);
        }
        thread.join();
        return ended ? result.load() : -2;
    }
};

TEST(HandshakeTest, SenderAndEndstationOverTcp) {
    zel_set_quiet(1);
    struct Case {
        int role;
        const char* nickname;
        const char* confid;
        const char* heard_nickname;  // a sender does not tell its nickname
    };
    const Case cases[] = {{ROLE_SENDER, "sam", "conf-7", ""},
                          {ROLE_ENDSTATION, "eve the second", "conf 9", "eve the second"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.role);
        const int port = zel_test::port(c.role);
        Caller listener, party;
        ASSERT_GT(listener.listen(port, 5, 0), 0);
        ASSERT_EQ(party.connect(port, "127.0.0.1", c.role, c.nickname, c.confid, "key"), 1);
        int fd = listener.accept(0);
        listener.m_conn->close_listener();
        ASSERT_GT(fd, 0);
        Caller coordinator(fd);
        coordinator.startreadthread();
        party.startreadthread();
        Negotiation walk(party, c.role, ROLE_COORDINATOR);
        EXPECT_EQ(coordinator.negotiate(1, ROLE_COORDINATOR, ROLE_CALLER), 1);
        EXPECT_EQ(walk.finish(), 1);
        EXPECT_EQ(coordinator.m_type, c.role);
        EXPECT_EQ(coordinator.m_confid, c.confid);
        EXPECT_EQ(coordinator.m_nickname, c.heard_nickname);
        EXPECT_EQ(coordinator.m_version, 1.2);
        EXPECT_EQ(party.m_version, 1.2);
        // Both walks took exactly the other's phrases: nothing is left over.
        EXPECT_EQ(coordinator.has_message(), 0);
        EXPECT_EQ(party.has_message(), 0);
        // The party leaves first, so that the coordinator's side of the port has no TIME_WAIT.
        shutdown(party.m_conn->fd(), SHUT_RDWR);
        EXPECT_TRUE(wait_until([&] { return coordinator.reader_done(); }));
    }
}

TEST(HandshakeTest, PartiesSpeakTheirPhrasesInOrder) {
    zel_set_quiet(1);
    struct Case {
        int role;
        std::vector<std::string> spoken;
    };
    // An empty nickname is spoken as the phrase text alone; a party of unknown type still answers.
    const Case cases[] = {
        {ROLE_SENDER, {"TQR Caller is Sender", "TQR Sender 1.2", "From Sender join c1"}},
        {ROLE_ENDSTATION,
         {"TQR Caller is Endstation", "TQR Endstation 1.2", "From Endstation name ", "From Endstation join c1"}},
        {ROLE_CALLER, {"TQR Caller is whatever"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.role);
        zel_test::WiredCaller raw;
        ASSERT_NE(raw.caller, nullptr);
        raw.caller->m_confid = "c1";
        Negotiation walk(*raw.caller, c.role, ROLE_COORDINATOR);
        raw.say(nul("TQR Coordinator 1.2"));
        for (const std::string& phrase : c.spoken) EXPECT_EQ(raw.next(), phrase);
        EXPECT_EQ(walk.finish(), 1);
        EXPECT_EQ(zel_test::unread(raw.peer), 0);
    }
}

TEST(HandshakeTest, CoordinatorIgnoresAnUnknownCallerTypeAndOtherScripts) {
    zel_set_quiet(1);
    zel_test::WiredCaller raw;
    ASSERT_NE(raw.caller, nullptr);
    Negotiation coordinator(*raw.caller, ROLE_COORDINATOR, ROLE_CALLER);
    EXPECT_EQ(raw.next(), "TQR Coordinator 1.2");
    raw.say(nul("TQR Caller is Robot") + nul("From Sender join c3"));
    EXPECT_EQ(coordinator.finish(), 1);
    // `itIs` stayed 1: phrases 3 to 7 involved the coordinator not at all, took nothing, set nothing.
    EXPECT_EQ(raw.caller->m_type, 0);
    EXPECT_EQ(raw.caller->m_confid, "");
    ASSERT_TRUE(wait_until([&] { return raw.caller->has_message() == 1; }));

    // Only script 1 exists: any other number walks nothing, reads nothing and writes nothing.
    raw.caller->m_version = 0;
    EXPECT_EQ(raw.caller->negotiate(2, ROLE_COORDINATOR, ROLE_CALLER), 1);
    EXPECT_EQ(raw.caller->negotiate(0, ROLE_SENDER, ROLE_COORDINATOR), 1);
    EXPECT_EQ(raw.caller->m_version, 1.2);
    EXPECT_EQ(raw.caller->pop_message(), "From Sender join c3");
    EXPECT_EQ(zel_test::unread(raw.peer), 0);
}

TEST(HandshakeTest, PeerThatLeavesMidHandshakeEndsTheWalkAtOnce) {
    zel_set_quiet(1);
    {
        zel_test::WiredCaller raw;
        ASSERT_NE(raw.caller, nullptr);
        Negotiation coordinator(*raw.caller, ROLE_COORDINATOR, ROLE_CALLER);
        EXPECT_EQ(raw.next(), "TQR Coordinator 1.2");
        raw.say(nul("TQR Caller is Endstation") + nul("TQR Endstation 1.2"));
        raw.close_peer();
        EXPECT_EQ(coordinator.finish(), 0);  // within the bounded wait, not after the phrase's 500 s
        EXPECT_EQ(raw.caller->m_type, ROLE_ENDSTATION);  // what was heard stays set
    }
    {
        zel_test::WiredCaller raw;
        ASSERT_NE(raw.caller, nullptr);
        Negotiation sender(*raw.caller, ROLE_SENDER, ROLE_COORDINATOR);
        raw.close_peer();
        EXPECT_EQ(sender.finish(), 0);
    }
}

}  // namespace
