// Connection over real loopback sockets: linking, accepting, moving bytes, closing, and that no
// descriptor is leaked or closed twice.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/zel_common.h"
#include "protocol/connection.h"
#include "test_support.h"

namespace {

using zel_test::open_fds;
using zel_test::port;
using zel_test::wait_until;

// A blocked recv() racing a Close() on another thread needs an atomic descriptor.
static_assert(std::is_same_v<decltype(Connection::m_fd), std::atomic<int>>);

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

// The number that the kernel hands out next.
int next_fd() {
    int fd = dup(0);
    close(fd);
    return fd;
}

int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

bool is_listening(int fd) { return int_option(fd, SOL_SOCKET, SO_ACCEPTCONN) == 1; }

// True while thread `tid` of this process sits in a recv system call.
bool in_recv(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return (in >> number) && number == SYS_recvfrom;
}

// A listener on port(n), a client connected to it and the accepted end in a Connection of its own.
struct Link {
    Connection listener, client;
    Connection* server = nullptr;
    explicit Link(int n) {
        if (listener.listen(port(n), 5, 0) <= 0) return;
        if (client.connect(port(n), "127.0.0.1", 1048576) != 1) return;
        int fd = listener.accept(0, 0);
        listener.release();
        if (fd > 0) server = new Connection(fd);
    }
    ~Link() {
        delete server;
        listener.close_listener();
    }
};

TEST(ConnectionTest, ConnectAcceptAndExchangeBytes) {
    int before = open_fds();
    {
        Connection listener, client;
        int listening = listener.listen(port(0), 5, 0);
        ASSERT_GT(listening, 0);
        EXPECT_TRUE(is_listening(listening));
        EXPECT_EQ(listener.fd(), 0);
        ASSERT_EQ(client.connect(port(0), "127.0.0.1", 1048576), 1);
        ASSERT_GT(client.fd(), 0);

        // A closed client link resets at once instead of lingering, and small writes leave at once.
        linger zero{};
        socklen_t length = sizeof zero;
        ASSERT_EQ(getsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &zero, &length), 0);
        EXPECT_EQ(zero.l_onoff, 1);
        EXPECT_EQ(zero.l_linger, 0);
        EXPECT_EQ(int_option(client.fd(), IPPROTO_TCP, TCP_NODELAY), 1);

        // The kernel's accept takes the lowest free number; the connection lives on under a duplicate.
        int kernel = next_fd();
        int accepted = listener.accept(0, 0);
        ASSERT_GT(accepted, 0);
        EXPECT_NE(accepted, kernel);
        EXPECT_FALSE(is_open(kernel));
        EXPECT_EQ(listener.fd(), accepted);
        EXPECT_EQ(int_option(accepted, SOL_SOCKET, SO_TYPE), SOCK_STREAM);

        char hello[] = "hello";
        EXPECT_EQ(client.send(hello, sizeof hello), static_cast<int>(sizeof hello));
        char buf[32] = {};
        EXPECT_EQ(listener.recv(buf, sizeof buf), static_cast<int>(sizeof hello));
        EXPECT_STREQ(buf, "hello");
        char reply[] = "welcome back";
        EXPECT_EQ(listener.send(reply, sizeof reply), static_cast<int>(sizeof reply));
        EXPECT_EQ(client.recv(buf, sizeof buf), static_cast<int>(sizeof reply));
        EXPECT_STREQ(buf, "welcome back");

        // The peer's end: a read sees the close.
        EXPECT_EQ(client.Close(), 0);
        EXPECT_LE(listener.recv(buf, sizeof buf), 0);
        listener.close_listener();
        EXPECT_FALSE(is_open(listening));
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(ConnectionTest, SendToClosedPeerFailsWithoutSignal) {
    signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end this test process
    int before = open_fds();
    {
        Link link(1);
        ASSERT_NE(link.server, nullptr);
        link.server->Close();
        char ping[] = "ping";
        int error = 0;
        // The first write may still be taken by the kernel; the peer's reset fails a later one.
        EXPECT_TRUE(wait_until([&] {
            if (link.client.send(ping, sizeof ping) >= 0) return false;
            error = errno;
            return true;
        }));
        EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(ConnectionTest, FailedConnectReturnsZeroAndKeepsNoSocket) {
    zel_set_quiet(0);
    int before = open_fds();
    Connection connection;
    {
        zel_test::StderrCapture capture;
        EXPECT_EQ(connection.connect(port(2), "no-such-host.invalid", 1048576), 0);
        EXPECT_EQ(capture.text(), "TQR: unable to resolve host, gethostbyname(no-such-host.invalid) failed\n");
    }
    EXPECT_EQ(connection.fd(), 0);
    {
        zel_test::StderrCapture capture;
        EXPECT_EQ(connection.connect(port(2), "127.0.0.1", 1048576), 0);  // nothing listens there
        EXPECT_NE(capture.text().find("connection to host 127.0.0.1 failed\n"), std::string::npos);
    }
    EXPECT_EQ(connection.fd(), 0);
    EXPECT_EQ(open_fds(), before);
}

TEST(ConnectionTest, ConnectsFromManyThreadsAtOnce) {
    zel_set_quiet(1);
    int before = open_fds();
    Connection listener;
    ASSERT_GT(listener.listen(port(3), 256, 0), 0);
    std::atomic<int> connected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                Connection client;  // "localhost" goes through the resolver, unlike a numeric address
                if (client.connect(port(3), "localhost", 1048576) == 1) ++connected;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(connected.load(), 160);
    listener.close_listener();
    zel_set_quiet(0);
    EXPECT_EQ(open_fds(), before);
}

TEST(ConnectionTest, TakenPortFailsAndAdoptedListenerOutlivesItsConnection) {
    int before = open_fds();
    {
        Connection owner;
        int listening = owner.listen(port(4), 5, 0);
        ASSERT_GT(listening, 0);
        int with_listener = open_fds();

        Connection second;
        EXPECT_EQ(second.listen(port(4), 5, 0), 0);
        EXPECT_EQ(open_fds(), with_listener);

        auto* adopter = new Connection();
        EXPECT_EQ(adopter->listen(listening, 5, 1), listening);
        EXPECT_EQ(open_fds(), with_listener);
        delete adopter;
        EXPECT_TRUE(is_listening(listening));

        Connection client;
        ASSERT_EQ(client.connect(port(4), "127.0.0.1", 1048576), 1);
        EXPECT_GT(owner.accept(0, 0), 0);
        owner.close_listener();
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(ConnectionTest, CloseWakesBlockedRecvAndNeverClosesTwice) {
    int before = open_fds();
    {
        Link link(5);
        ASSERT_NE(link.server, nullptr);
        std::atomic<pid_t> tid{0};
        std::atomic<bool> returned{false};
        int result = 1;
        std::thread reader([&] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            char buf[8];
            result = link.server->recv(buf, sizeof buf);
            returned = true;
        });
        EXPECT_TRUE(wait_until([&] { return tid != 0 && in_recv(tid); }));
        int fd = link.server->fd();
        int closed = -1;
        std::thread closer([&] { closed = link.server->Close(); });
        bool woke = wait_until([&] { return returned.load(); });
        if (!woke) shutdown(link.client.fd(), SHUT_RDWR);  // frees the reader so the test can end
        reader.join();
        closer.join();
        EXPECT_TRUE(woke);
        EXPECT_EQ(closed, 0);
        EXPECT_LE(result, 0);

        // The freed number goes to a new owner at once; closing again must leave it alone.
        int reused = fcntl(0, F_DUPFD, fd);
        EXPECT_EQ(reused, fd);
        EXPECT_EQ(link.server->Close(), 0);
        EXPECT_EQ(link.server->fd(), 0);
        delete link.server;
        link.server = nullptr;
        EXPECT_TRUE(is_open(reused));
        close(reused);

        Connection fresh;
        EXPECT_EQ(fresh.Close(), 0);
        EXPECT_EQ(fresh.fd(), 0);
        char buf[4];
        EXPECT_LT(fresh.recv(buf, sizeof buf), 0);
    }
    EXPECT_EQ(open_fds(), before);
}

}  // namespace
