// The inbound queue and its timed receive: order, time limits, wake-ups, the end of the link, and the
// wall-clock deadline arithmetic.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/lock.h"
#include "test_support.h"

namespace {

using zel_test::wait_until;

constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;  // 1970-01-01 in 100 ns ticks since 1601

// Appends as the reader does: under the queue lock, one signal per message.
void append(Caller& caller, const std::string& text) {
    zel::MutexGuard guard(caller.m_queue_mutex);
    caller.m_queue.push_back(text);
    pthread_cond_broadcast(&caller.m_queue_cond);
}

// True while the thread `tid` of this process is asleep (blocked in its wait).
bool asleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S';
}

// A receive on a thread of its own, so that the test can act while it waits.
struct Receiver {
    std::string out = "before";
    std::atomic<int> result{-1};
    std::atomic<pid_t> tid{0};
    std::thread thread;

    Caller& caller;

    Receiver(Caller& c, double timeout) : caller(c) {
        thread = std::thread([this, timeout] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            result = caller.receive(out, timeout);
        });
    }
    ~Receiver() {
        if (!thread.joinable()) return;
        if (!finished()) append(caller, "");  // a failed case must not hold the test until the deadline
        thread.join();
    }
    bool waiting() { return tid != 0 && result == -1 && asleep(tid); }
    bool finished() { return result != -1; }
};

// A Caller whose reader runs on one end of a socket pair.
struct Link {
    Caller* caller = nullptr;
    int peer = -1;
    Link() {
        zel_set_quiet(1);
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
        peer = fds[1];
        caller = new Caller(fds[0]);
        caller->startreadthread();
    }
    ~Link() {
        if (peer >= 0) close(peer);
        delete caller;
    }
};

TEST(QueueTest, QueuedMessagesComeOutInOrderWithoutAWait) {
    Caller caller;
    append(caller, "first");
    append(caller, "");
    append(caller, "third");
    std::string out;
    for (const char* expected : {"first", "", "third"}) {
        ASSERT_EQ(caller.receive(out, 0.0), 1);
        EXPECT_EQ(out, expected);
    }
    EXPECT_EQ(caller.has_message(), 0);
}

TEST(QueueTest, TimeOutLeavesOutUnchanged) {
    zel_set_quiet(1);
    Caller caller;
    zel_test::StderrCapture capture;
    std::string out = "earlier";
    EXPECT_EQ(caller.receive(out, 0.0), 0);
    EXPECT_EQ(out, "earlier");
    EXPECT_EQ(caller.receive(out, 0.05), 0);
    EXPECT_EQ(out, "earlier");
    EXPECT_NE(capture.text().find("caller timed out earlier\n"), std::string::npos);
}

TEST(QueueTest, AppendDuringAWaitEndsIt) {
    Link link;
    ASSERT_NE(link.caller, nullptr);
    Receiver receiver(*link.caller, 60.0);
    ASSERT_TRUE(wait_until([&] { return receiver.waiting(); }));
    ASSERT_EQ(send(link.peer, "Adios 0x1 ", 11, MSG_NOSIGNAL), 11);
    ASSERT_TRUE(wait_until([&] { return receiver.finished(); }));
    receiver.thread.join();
    EXPECT_EQ(receiver.result, 1);
    EXPECT_EQ(receiver.out, "Adios 0x1 ");
}

TEST(QueueTest, WakeWithEmptyQueueKeepsWaiting) {
    Caller caller;
    Receiver receiver(caller, 60.0);
    ASSERT_TRUE(wait_until([&] { return receiver.waiting(); }));
    {
        zel::MutexGuard guard(caller.m_queue_mutex);
        pthread_cond_broadcast(&caller.m_queue_cond);
    }
    // Woken with nothing to take, the receiver sleeps again instead of returning.
    ASSERT_TRUE(wait_until([&] { return receiver.waiting(); }));
    EXPECT_FALSE(receiver.finished());
    append(caller, "Listen 0x2 7203");
    ASSERT_TRUE(wait_until([&] { return receiver.finished(); }));
    receiver.thread.join();
    EXPECT_EQ(receiver.result, 1);
    EXPECT_EQ(receiver.out, "Listen 0x2 7203");
}

TEST(QueueTest, DeadLinkWakesItsReceiverAfterQueuedMessages) {
    zel_test::StderrCapture capture;
    {
        // A receiver already waiting when the peer goes away returns 0 at once.
        Link link;
        ASSERT_NE(link.caller, nullptr);
        Receiver receiver(*link.caller, 500.0);
        ASSERT_TRUE(wait_until([&] { return receiver.waiting(); }));
        close(link.peer);
        link.peer = -1;
        ASSERT_TRUE(wait_until([&] { return receiver.finished(); }));
        receiver.thread.join();
        EXPECT_EQ(receiver.result, 0);
        EXPECT_EQ(receiver.out, "before");
        EXPECT_TRUE(link.caller->reader_done());
    }
    {
        // Messages that arrived before the end still come first; every later receive returns 0 at once.
        Link link;
        ASSERT_NE(link.caller, nullptr);
        ASSERT_EQ(send(link.peer, "a\0b\0", 4, MSG_NOSIGNAL), 4);
        close(link.peer);
        link.peer = -1;
        ASSERT_TRUE(wait_until([&] { return link.caller->reader_done(); }));
        std::string out;
        ASSERT_EQ(link.caller->receive(out, 500.0), 1);
        EXPECT_EQ(out, "a");
        ASSERT_EQ(link.caller->receive(out, 500.0), 1);
        EXPECT_EQ(out, "b");
        EXPECT_EQ(link.caller->receive(out, 500.0), 0);
        EXPECT_EQ(link.caller->receive(out, 500.0), 0);
        EXPECT_EQ(out, "b");
    }
    // Neither end was a time-out.
    EXPECT_EQ(capture.text().find("timed out"), std::string::npos);
}

TEST(QueueTest, DeadlineCarriesTheFractionIntoTheSeconds) {
    AbsTime deadline;
    const uint64_t now = kUnixEpochTicks + 10000000007000000ULL;  // 1,000,000,000.7 s after 1970
    const timespec* at = deadline.after_at(2.5, now);
    EXPECT_EQ(at->tv_sec, 1000000003);
    EXPECT_EQ(at->tv_nsec, 200000000);
    EXPECT_EQ(deadline.epoch, kUnixEpochTicks);

    AbsTime far;
    const uint64_t odd = kUnixEpochTicks + 10000000001234567ULL;  // 1,000,000,000.1234567 s
    at = far.after_at(1000000.0, odd);
    EXPECT_EQ(at->tv_sec, 1000000000 + 1000000);
    EXPECT_EQ(at->tv_nsec, 123456700);

    AbsTime zero;
    at = zero.after_at(0.0, kUnixEpochTicks + 9999999ULL);  // just short of a whole second
    EXPECT_EQ(at->tv_sec, 0);
    EXPECT_EQ(at->tv_nsec, 999999900);
}

}  // namespace
