// Connection over real loopback sockets: linking, accepting, moving bytes, closing, and that no
// descriptor is leaked or closed twice.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/syscall.h>

#include <cerrno>
#include <csignal>

#include "protocol/connection.h"
#include "test_support.h"

namespace {

using zel_test::is_open;
using zel_test::open_fds;
using zel_test::port;

const bool g_exit_guard = zel_test::fail_on_early_exit();

int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    return getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

TEST(ConnectionTest, ConnectAcceptExchangeAndClose) {
    int before = open_fds();
    {
        Connection listener, client;
        int listening = listener.listen(port(0), 5, 0);
        ASSERT_GT(listening, 0);
        ASSERT_EQ(client.connect(port(0), "127.0.0.1", 1048576), 1);

        // A closed client link resets at once instead of lingering, and small writes leave at once.
        linger zero{};
        socklen_t length = sizeof zero;
        ASSERT_EQ(getsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &zero, &length), 0);
        EXPECT_EQ(zero.l_onoff, 1);
        EXPECT_EQ(zero.l_linger, 0);
        EXPECT_EQ(int_option(client.fd(), IPPROTO_TCP, TCP_NODELAY), 1);

        // The kernel's accept takes the lowest free number; the connection lives on under a duplicate.
        int kernel = dup(0);
        close(kernel);
        int accepted = listener.accept(0, 0);
        ASSERT_GT(accepted, 0);
        EXPECT_NE(accepted, kernel);
        EXPECT_FALSE(is_open(kernel));
        EXPECT_EQ(listener.fd(), accepted);

        char buf[32] = {};
        EXPECT_EQ(client.send("hello", 6), 6);
        EXPECT_EQ(listener.recv(buf, sizeof buf), 6);
        EXPECT_STREQ(buf, "hello");
        EXPECT_EQ(client.Close(), 0);
        EXPECT_LE(listener.recv(buf, sizeof buf), 0);
        listener.close_listener();
        EXPECT_FALSE(is_open(listening));
    }
    EXPECT_EQ(open_fds(), before);
}

TEST(ConnectionTest, FailedConnectAndListenLeakNothingAndAdoptedListenerOutlivesItsConnection) {
    zel_set_quiet(0);
    int before = open_fds();
    {
        Connection connection;
        zel_test::StderrCapture capture;
        EXPECT_EQ(connection.connect(port(2), "no-such-host.invalid", 1048576), 0);
        EXPECT_EQ(capture.text(), "TQR: unable to resolve host, gethostbyname(no-such-host.invalid) failed\n");
        EXPECT_EQ(connection.connect(port(2), "127.0.0.1", 1048576), 0);  // nothing listens there
        EXPECT_NE(capture.text().find("connection to host 127.0.0.1 failed\n"), std::string::npos);
        EXPECT_EQ(connection.fd(), 0);
    }
    EXPECT_EQ(open_fds(), before);
    {
        Connection owner, second, client;
        int listening = owner.listen(port(4), 5, 0);
        ASSERT_GT(listening, 0);
        int with_listener = open_fds();
        EXPECT_EQ(second.listen(port(4), 5, 0), 0);
        auto* adopter = new Connection();
        EXPECT_EQ(adopter->listen(listening, 5, 1), listening);
        EXPECT_EQ(open_fds(), with_listener);
        delete adopter;
        ASSERT_EQ(client.connect(port(4), "127.0.0.1", 1048576), 1);
        EXPECT_GT(owner.accept(0, 0), 0);
        owner.close_listener();
    }
    EXPECT_EQ(open_fds(), before);
}

// True while thread `tid` of this process sits in a recv system call.
bool in_recv(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return (in >> number) && number == SYS_recvfrom;
}

TEST(ConnectionTest, CloseWakesBlockedRecvNeverClosesTwiceAndThePeerSendFailsWithoutSignal) {
    signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end this test process
    int before = open_fds();
    {
        Connection listener, client;
        ASSERT_GT(listener.listen(port(5), 5, 0), 0);
        ASSERT_EQ(client.connect(port(5), "127.0.0.1", 1048576), 1);
        int accepted = listener.accept(0, 0);
        ASSERT_GT(accepted, 0);
        listener.release();
        auto* server = new Connection(accepted);
        listener.close_listener();
        std::atomic<pid_t> tid{0};
        std::atomic<bool> returned{false};
        int result = 1;
        std::thread reader([&] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            char buf[8];
            result = server->recv(buf, sizeof buf);
            returned = true;
        });
        EXPECT_TRUE(zel_test::wait_until([&] { return tid != 0 && in_recv(tid); }));
        int fd = server->fd();
        int closed = -1;
        std::thread closer([&] { closed = server->Close(); });
        bool woke = zel_test::wait_until([&] { return returned.load(); });
        if (!woke) shutdown(client.fd(), SHUT_RDWR);  // frees the reader so the test can end
        reader.join();
        closer.join();
        EXPECT_TRUE(woke);
        EXPECT_EQ(closed, 0);
        EXPECT_LE(result, 0);

        // The freed number goes to a new owner at once; closing again must leave it alone.
        int reused = fcntl(0, F_DUPFD, fd);
        EXPECT_EQ(reused, fd);
        EXPECT_EQ(server->Close(), 0);
        delete server;
        EXPECT_TRUE(is_open(reused));
        close(reused);
        char buf[4];
        EXPECT_LT(Connection().recv(buf, sizeof buf), 0);  // no socket: a failure, not a read of fd 0

        // The first write to the closed peer may still be taken by the kernel; the reset fails a later one.
        int error = 0;
        EXPECT_TRUE(zel_test::wait_until([&] { return client.send("ping", 5) < 0 && (error = errno); }));
        EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
    }
    EXPECT_EQ(open_fds(), before);
}

}  // namespace
