// Caller basics: what construction and destruction log and close, and linking with connect, listen
// and accept over loopback.
#include "test_support.h"

namespace {

using zel_test::is_open;
using zel_test::open_fds;
using zel_test::port;

const bool g_exit_guard = zel_test::fail_on_early_exit();

TEST(CallerTest, ConstructionLogsItsLinesAndDestructionClosesOnlyOwnSocket) {
    zel_set_quiet(0);
    int before = open_fds();
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    {
        zel_test::StderrCapture capture;
        delete new Caller();
        EXPECT_EQ(capture.text(), "caller no-arg constructor\ncaller mutex inited\n");
        auto* caller = new Caller(pair[0]);
        EXPECT_EQ(caller->m_conn->fd(), pair[0]);
        delete caller;
        EXPECT_EQ(capture.text(),
                  "caller no-arg constructor\ncaller mutex inited\ncaller fd constructor\ncaller mutex inited\n");
    }
    EXPECT_FALSE(is_open(pair[0]));
    EXPECT_TRUE(is_open(pair[1]));
    close(pair[1]);
    EXPECT_EQ(open_fds(), before);
}

TEST(CallerTest, FailedConnectKeepsTheIdentityAndTheProcess) {
    zel_set_quiet(0);
    int before = open_fds();
    {
        Caller caller;
        EXPECT_EQ(caller.connect(port(0), "127.0.0.1", ROLE_ENDSTATION, "nick", "conf-7", "key-7"), 0);
        zel_test::StderrCapture capture;
        EXPECT_EQ(caller.connect(port(0), "no-such-host.invalid", ROLE_SENDER, "s", "conf-8", "key-8"), 0);
        EXPECT_NE(capture.text().find("TQR: unable to resolve host, gethostbyname(no-such-host.invalid) failed\n"),
                  std::string::npos);
        EXPECT_EQ(caller.m_host, "no-such-host.invalid");
        EXPECT_EQ(caller.m_nickname, "s");
        EXPECT_EQ(caller.m_confid, "conf-8");
        EXPECT_EQ(caller.m_key, "key-8");
        EXPECT_EQ(caller.m_type, ROLE_SENDER);
        EXPECT_EQ(caller.m_conn->fd(), 0);
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(CallerTest, SharedListenerAcceptHandsThePartyOver) {
    zel_set_quiet(1);
    int before = open_fds();
    {
        auto* listening = new Caller();
        int listener = listening->listen(port(1), 5, 0);
        ASSERT_GT(listener, 0);
        Caller refused;
        EXPECT_EQ(refused.listen(port(1), 5, 0), 0);

        // A second Caller listens on the same socket; it neither makes nor closes one.
        auto* sharing = new Caller();
        int with_listener = open_fds();
        EXPECT_EQ(sharing->listen(listener, 5, 1), listener);
        EXPECT_EQ(open_fds(), with_listener);

        Caller party;
        ASSERT_EQ(party.connect(port(1), "127.0.0.1", ROLE_ENDSTATION, "e", "conf", "key"), 1);
        int accepted = sharing->accept(0);
        ASSERT_GT(accepted, 0);
        EXPECT_EQ(sharing->m_conn->fd(), 0);  // the party's socket is not the listener's to close
        delete sharing;
        EXPECT_TRUE(is_open(listener));
        listening->m_conn->close_listener();
        delete listening;
        EXPECT_FALSE(is_open(listener));
        ASSERT_TRUE(is_open(accepted));

        auto* accepted_party = new Caller(accepted);
        ASSERT_EQ(party.m_conn->send("hello", 6), 6);
        char buf[16] = {};
        EXPECT_EQ(accepted_party->m_conn->recv(buf, sizeof buf), 6);
        EXPECT_STREQ(buf, "hello");
        delete accepted_party;
        EXPECT_FALSE(is_open(accepted));
    }
    EXPECT_EQ(open_fds(), before);
}

}  // namespace
