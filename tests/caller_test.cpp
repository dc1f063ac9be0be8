// Caller basics: what construction and destruction log and close, linking with connect, listen and
// accept over loopback, and the bridge hook.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/phrase.h"
#include "test_support.h"

namespace {

using zel_test::open_fds;
using zel_test::port;

// exit() from inside the library would end this executable with status 0, which reads as a pass:
// make any exit before the last case has run a failure.
class ExitGuard : public ::testing::Environment {
public:
    void SetUp() override {
        std::atexit([] {
            if (s_done) return;
            fputs("the process ended inside a test case\n", stdout);
            fflush(stdout);
            _exit(1);
        });
    }
    void TearDown() override { s_done = true; }
    static inline std::atomic<bool> s_done{false};
};
const auto* const g_exit_guard = ::testing::AddGlobalTestEnvironment(new ExitGuard);

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(CallerTest, ConstructionLogsItsLinesAndDestructionClosesOnlyOwnSocket) {
    zel_set_quiet(0);
    int before = open_fds();
    {
        zel_test::StderrCapture capture;
        auto* caller = new Caller();
        EXPECT_EQ(capture.text(), "caller no-arg constructor\ncaller mutex inited\n");
        ASSERT_NE(caller->m_conn, nullptr);
        EXPECT_EQ(caller->m_conn->fd(), 0);
        EXPECT_EQ(caller->m_sender_conn, nullptr);
        EXPECT_EQ(caller->m_status, "");
        EXPECT_TRUE(caller->m_queue.empty());
        EXPECT_EQ(caller->m_stopread.load(), 0);
        EXPECT_EQ(caller->m_joined, 0);
        delete caller;
        EXPECT_EQ(capture.text(), "caller no-arg constructor\ncaller mutex inited\n");
    }
    EXPECT_EQ(open_fds(), before);

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    {
        zel_test::StderrCapture capture;
        auto* caller = new Caller(pair[0]);
        EXPECT_EQ(capture.text(), "caller fd constructor\ncaller mutex inited\n");
        EXPECT_EQ(caller->m_conn->fd(), pair[0]);
        delete caller;
        EXPECT_EQ(capture.text(), "caller fd constructor\ncaller mutex inited\n");
    }
    EXPECT_FALSE(is_open(pair[0]));
    EXPECT_TRUE(is_open(pair[1]));
    close(pair[1]);
    EXPECT_EQ(open_fds(), before);
}

TEST(CallerTest, FailedConnectKeepsTheIdentity) {
    zel_set_quiet(0);
    int before = open_fds();
    {
        Caller caller;
        EXPECT_EQ(caller.connect(port(0), "127.0.0.1", ROLE_ENDSTATION, "nick", "conf-7", "key-7"), 0);
        EXPECT_EQ(caller.m_nickname, "nick");
        EXPECT_EQ(caller.m_host, "127.0.0.1");
        EXPECT_EQ(caller.m_confid, "conf-7");
        EXPECT_EQ(caller.m_key, "key-7");
        EXPECT_EQ(caller.m_type, ROLE_ENDSTATION);
        EXPECT_EQ(caller.m_conn->fd(), 0);

        // A host that does not resolve is a failure like any other, not the end of the process.
        zel_test::StderrCapture capture;
        EXPECT_EQ(caller.connect(port(0), "no-such-host.invalid", ROLE_SENDER, "s", "conf-8", "key-8"), 0);
        EXPECT_NE(capture.text().find("TQR: unable to resolve host, gethostbyname(no-such-host.invalid) failed\n"),
                  std::string::npos);
        EXPECT_EQ(caller.m_host, "no-such-host.invalid");
        EXPECT_EQ(caller.m_confid, "conf-8");
        EXPECT_EQ(caller.m_type, ROLE_SENDER);
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(CallerTest, ListenAcceptAndHandOverToPartyCaller) {
    zel_set_quiet(1);
    int before = open_fds();
    {
        auto* listening = new Caller();
        int listener = listening->listen(port(1), 5, 0);
        ASSERT_GT(listener, 0);
        EXPECT_EQ(listening->m_status, "error/timeout");

        Caller refused;
        EXPECT_EQ(refused.listen(port(1), 5, 0), 0);
        EXPECT_EQ(refused.m_status, "error/timeout");

        // A second Caller can listen on the same socket; it neither makes nor closes one.
        auto* sharing = new Caller();
        int with_listener = open_fds();
        EXPECT_EQ(sharing->listen(listener, 5, 1), listener);
        EXPECT_EQ(open_fds(), with_listener);

        Caller sender;
        ASSERT_EQ(sender.connect(port(1), "127.0.0.1", ROLE_SENDER, "s", "conf", "key"), 1);
        int accepted = sharing->accept(0);
        ASSERT_GT(accepted, 0);
        delete sharing;
        EXPECT_TRUE(is_open(listener));

        Caller endstation;
        ASSERT_EQ(endstation.connect(port(1), "127.0.0.1", ROLE_ENDSTATION, "e", "conf", "key"), 1);
        int party_fd = listening->accept(0);
        ASSERT_GT(party_fd, 0);
        EXPECT_NE(party_fd, accepted);
        EXPECT_EQ(listening->m_conn->fd(), 0);  // the party's socket is not the listener's to close
        auto* party = new Caller(party_fd);
        auto* first = new Caller(accepted);

        char hello[] = "hello";
        ASSERT_EQ(endstation.m_conn->send(hello, sizeof hello), static_cast<int>(sizeof hello));
        char buf[16] = {};
        EXPECT_EQ(party->m_conn->recv(buf, sizeof buf), static_cast<int>(sizeof hello));
        EXPECT_STREQ(buf, "hello");

        listening->m_conn->close_listener();
        delete listening;
        EXPECT_FALSE(is_open(listener));
        EXPECT_TRUE(is_open(party_fd));
        EXPECT_TRUE(is_open(accepted));
        delete party;
        delete first;
        EXPECT_FALSE(is_open(party_fd));
        EXPECT_FALSE(is_open(accepted));
    }
    zel_set_quiet(0);
    EXPECT_EQ(open_fds(), before);
}

void bridge_one(int) {}
void bridge_two(int) {}

TEST(CallerTest, BridgeCallbackIsReplaced) {
    EXPECT_EQ(set_bridge_callback(bridge_one), 0);
    EXPECT_EQ(g_bridge.load(), &bridge_one);
    EXPECT_EQ(set_bridge_callback(bridge_two), 0);
    EXPECT_EQ(g_bridge.load(), &bridge_two);
    EXPECT_EQ(set_bridge_callback(nullptr), 0);
    EXPECT_EQ(g_bridge.load(), nullptr);
}

}  // namespace
