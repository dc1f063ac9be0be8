// The inbound queue and its timed receive: order, time limits, wake-ups, the end of the link, and the
// wall-clock deadline arithmetic.
#include <sys/syscall.h>

#include "protocol/lock.h"
#include "test_support.h"

namespace {

using zel_test::wait_until;

// Appends as the reader does: under the queue lock, one signal per message. An empty `text` with
// `wake_only` signals without appending, as a spurious wake-up would.
void append(Caller& caller, const std::string& text, bool wake_only = false) {
    zel::MutexGuard guard(caller.m_queue_mutex);
    if (!wake_only) caller.m_queue.push_back(text);
    pthread_cond_broadcast(&caller.m_queue_cond);
}

// A receive on a thread of its own, so that the test can act while it waits.
struct Receiver {
    Caller& caller;
    std::string out = "before";
    std::atomic<int> result{-1};
    std::atomic<pid_t> tid{0};
    std::thread thread;

    Receiver(Caller& c, double timeout) : caller(c) {
        thread = std::thread([this, timeout] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            result = caller.receive(out, timeout);
        });
    }
    ~Receiver() { join(); }
    // Waits for the result; a receive still waiting is released so that a failed case ends soon.
    int join() {
        if (!thread.joinable()) return result;
        if (!wait_until([&] { return result != -1; })) append(caller, "");
        thread.join();
        return result;
    }
    // True while the receiving thread sleeps in its wait.
    bool waiting() {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t paren = line.rfind(')');
        return tid != 0 && result == -1 && paren != std::string::npos && paren + 2 < line.size() &&
               line[paren + 2] == 'S';
    }
};

TEST(QueueTest, QueuedMessagesComeOutInOrderAndATimeOutLeavesOutUnchanged) {
    zel_set_quiet(1);
    Caller caller;
    for (const char* text : {"first", "", "third"}) append(caller, text);
    std::string out;
    for (const char* expected : {"first", "", "third"}) {
        ASSERT_EQ(caller.receive(out, 0.0), 1);  // no wait while messages are queued
        EXPECT_EQ(out, expected);
    }
    zel_test::StderrCapture capture;
    out = "earlier";
    EXPECT_EQ(caller.receive(out, 0.0), 0);
    EXPECT_EQ(caller.receive(out, 0.05), 0);
    EXPECT_EQ(out, "earlier");
    EXPECT_NE(capture.text().find("caller timed out earlier\n"), std::string::npos);
}

TEST(QueueTest, AppendDuringAWaitEndsItAndAnEmptyWakeDoesNot) {
    zel_set_quiet(1);
    zel_test::WiredCaller link;
    ASSERT_NE(link.caller, nullptr);
    Receiver receiver(*link.caller, 60.0);
    ASSERT_TRUE(wait_until([&] { return receiver.waiting(); }));
    append(*link.caller, "", true);
    // Woken with nothing to take, the receiver sleeps again instead of returning.
    ASSERT_TRUE(wait_until([&] { return receiver.waiting(); }));
    ASSERT_TRUE(link.say(zel_test::nul("Adios 0x1 ")));
    EXPECT_EQ(receiver.join(), 1);
    EXPECT_EQ(receiver.out, "Adios 0x1 ");
}

TEST(QueueTest, DeadLinkWakesItsReceiverAfterQueuedMessages) {
    zel_set_quiet(1);
    zel_test::StderrCapture capture;
    {
        // A receiver already waiting when the peer goes away returns 0 at once.
        zel_test::WiredCaller link;
        ASSERT_NE(link.caller, nullptr);
        Receiver receiver(*link.caller, 500.0);
        ASSERT_TRUE(wait_until([&] { return receiver.waiting(); }));
        link.close_peer();
        ASSERT_TRUE(wait_until([&] { return receiver.result != -1; }));
        EXPECT_EQ(receiver.join(), 0);
        EXPECT_EQ(receiver.out, "before");
    }
    {
        // Messages that arrived before the end still come first; every later receive returns 0 at once.
        zel_test::WiredCaller link;
        ASSERT_NE(link.caller, nullptr);
        ASSERT_TRUE(link.say(std::string("a\0b\0", 4)));
        link.close_peer();
        ASSERT_TRUE(wait_until([&] { return link.caller->reader_done(); }));
        std::string out;
        for (const char* expected : {"a", "b"}) {
            ASSERT_EQ(link.caller->receive(out, 500.0), 1);
            EXPECT_EQ(out, expected);
        }
        EXPECT_EQ(link.caller->receive(out, 500.0), 0);
        EXPECT_EQ(link.caller->receive(out, 500.0), 0);
        EXPECT_EQ(out, "b");
    }
    EXPECT_EQ(capture.text().find("timed out"), std::string::npos);  // neither end was a time-out
}

TEST(QueueTest, DeadlineKeepsEveryTick) {
    constexpr uint64_t kUnixEpochTicks = 116444736000000000ULL;  // 1970-01-01 in 100 ns ticks since 1601
    struct Case {
        double seconds;
        uint64_t ticks_since_1970;
        time_t sec;
        long nsec;
    };
    const Case cases[] = {
        {2.5, 10000000007000000ULL, 1000000003, 200000000},         // 1,000,000,000.7 s: the fraction carries
        {1000000.0, 10000000001234567ULL, 1001000000, 123456700},  // no tick lost to rounding
        {0.0, 9999999ULL, 0, 999999900},
    };
    for (const Case& c : cases) {
        AbsTime deadline;
        const timespec* at = deadline.after_at(c.seconds, kUnixEpochTicks + c.ticks_since_1970);
        EXPECT_EQ(at->tv_sec, c.sec) << c.seconds;
        EXPECT_EQ(at->tv_nsec, c.nsec) << c.seconds;
        EXPECT_EQ(deadline.epoch, kUnixEpochTicks);
    }
}

}  // namespace
