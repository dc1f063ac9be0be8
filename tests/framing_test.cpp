// Framing over a real stream: a Caller's reader cuts NUL-terminated messages out of whatever pieces the
// socket delivers, and ends when the stream can deliver no more.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "test_support.h"

namespace {

using zel_test::wait_until;

std::string nul(const std::string& text) { return text + std::string(1, '\0'); }

// A reading Caller on one end of a socket pair; the test writes raw bytes on the other end.
struct Link {
    Caller* caller = nullptr;
    int own = -1;
    int peer = -1;

    Link() {
        zel_set_quiet(1);
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
        own = fds[0];
        peer = fds[1];
        caller = new Caller(own);
        caller->startreadthread();
    }
    ~Link() {
        close_peer();
        delete caller;  // stops a reader that is still running
    }
    void close_peer() {
        if (peer >= 0) close(peer);
        peer = -1;
    }
    bool write_all(const std::string& bytes) {
        return send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // True once the reader has taken every byte written so far out of the socket.
    bool consumed() {
        int unread = -1;
        return ioctl(own, FIONREAD, &unread) == 0 && unread == 0;
    }
    // Ends the stream, waits for the reader and returns everything it delivered, in order.
    std::vector<std::string> delivered() {
        close_peer();
        std::vector<std::string> out;
        if (!wait_until([&] { return caller->reader_done(); })) return out;
        while (caller->has_message()) out.push_back(caller->pop_message());
        return out;
    }
};

TEST(FramingTest, SeveralMessagesAndAnEmptyOneInOneWrite) {
    Link link;
    ASSERT_NE(link.caller, nullptr);
    ASSERT_TRUE(link.write_all(nul("Approve 0x1 ") + nul("") + nul("Adios 0x2 ")));
    EXPECT_EQ(link.delivered(), (std::vector<std::string>{"Approve 0x1 ", "", "Adios 0x2 "}));
}

TEST(FramingTest, MessageSplitOverThreeReads) {
    zel_test::StderrCapture capture;
    Link link;
    ASSERT_NE(link.caller, nullptr);
    for (const std::string piece : {"Listening 0x", "abc 72"}) {
        ASSERT_TRUE(link.write_all(piece));
        ASSERT_TRUE(wait_until([&] { return link.consumed(); }));
        EXPECT_EQ(link.caller->has_message(), 0);  // nothing before the terminator
    }
    ASSERT_TRUE(link.write_all(nul("05")));
    EXPECT_EQ(link.delivered(), std::vector<std::string>{"Listening 0xabc 7205"});
    EXPECT_EQ(capture.text().find("COPYING FRAGMENT"), std::string::npos);
}

TEST(FramingTest, FragmentAfterAMessageIsCarriedIntoTheNextRead) {
    zel_test::StderrCapture capture;
    Link link;
    ASSERT_NE(link.caller, nullptr);
    ASSERT_TRUE(link.write_all(nul("Approve 0x1 ") + "Listen 0x"));
    ASSERT_TRUE(wait_until([&] { return capture.text().find("TQR: COPYING FRAGMENT Listen 0x\n") != std::string::npos; }));
    EXPECT_EQ(link.caller->has_message(), 1);
    ASSERT_TRUE(link.write_all(nul("1 7205") + "Sender Hap"));
    ASSERT_TRUE(wait_until([&] { return capture.text().find("TQR: COPYING FRAGMENT Sender Hap\n") != std::string::npos; }));
    ASSERT_TRUE(link.write_all(nul("py 0x1 7205")));
    EXPECT_EQ(link.delivered(),
              (std::vector<std::string>{"Approve 0x1 ", "Listen 0x1 7205", "Sender Happy 0x1 7205"}));
}

TEST(FramingTest, LongestMessageIsDeliveredAndALongerOneEndsTheReader) {
    Link link;
    ASSERT_NE(link.caller, nullptr);
    const std::string longest = "Nominate 0x1 " + std::string(997 - 13, 'n');
    ASSERT_EQ(longest.size(), 997u);
    ASSERT_TRUE(link.write_all(nul(longest)));
    std::string out;
    ASSERT_EQ(link.caller->receive(out, 10.0), 1);
    EXPECT_EQ(out, longest);

    // 998 bytes and no terminator fill the window: the reader gives up on this stream while it is open.
    ASSERT_TRUE(link.write_all(nul(std::string(998, 'x')) + nul("Adios 0x1 ")));
    ASSERT_TRUE(wait_until([&] { return link.caller->reader_done(); }));
    zel_test::StderrCapture capture;
    out = "kept";
    EXPECT_EQ(link.caller->receive(out, 30.0), 0);
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(capture.text().find("timed out"), std::string::npos);  // ended by the link, not the clock
}

TEST(FramingTest, ByteByByteWriterDeliversEveryMessageOnceInOrder) {
    Link link;
    ASSERT_NE(link.caller, nullptr);
    std::vector<std::string> sent;
    for (int i = 0; i < 300; ++i) {
        char text[64];
        snprintf(text, sizeof text, "Sender Happy 0x%x %d", 0x1000 + i, 7200 + i % 20);
        sent.push_back(i % 50 == 7 ? std::string() : std::string(text));
    }
    std::thread writer([&] {
        for (const std::string& text : sent) {
            for (char byte : nul(text)) send(link.peer, &byte, 1, MSG_NOSIGNAL);
        }
    });
    std::vector<std::string> got;
    std::string out;
    while (got.size() < sent.size() && link.caller->receive(out, 20.0) == 1) got.push_back(out);
    writer.join();
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(link.delivered().empty());
}

TEST(FramingTest, ReaderEndsOnceItsOwnCallerClosedTheLink) {
    const int fds_before = zel_test::open_fds();
    {
        Link link;
        ASSERT_NE(link.caller, nullptr);
        // "Adios " makes the message loop close its link; the reader must end rather than read on.
        ASSERT_TRUE(link.write_all(nul("Adios 0x1 ")));
        EXPECT_EQ(link.caller->process(), 0);
        ASSERT_TRUE(wait_until([&] { return link.caller->reader_done(); }));
        char byte;
        EXPECT_EQ(recv(link.peer, &byte, 1, 0), 0);  // the peer sees the end of the stream
        std::string out = "kept";
        EXPECT_EQ(link.caller->receive(out, 30.0), 0);
        EXPECT_EQ(out, "kept");
    }
    EXPECT_EQ(zel_test::open_fds(), fds_before);
}

TEST(FramingTest, ReaderEndsOnAReadError) {
    {
        Link link;
        ASSERT_NE(link.caller, nullptr);
        // The peer closes with bytes unread: this end's read fails with a reset, not a clean end.
        ASSERT_GT(link.caller->send_text("unread"), 0);
        link.close_peer();
        ASSERT_TRUE(wait_until([&] { return link.caller->reader_done(); }));
    }
    // A descriptor that every read fails on (not a socket): the reader must not retry for ever.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Caller caller(fds[0]);
    caller.startreadthread();
    ASSERT_TRUE(wait_until([&] { return caller.reader_done(); }));
    std::string out = "kept";
    EXPECT_EQ(caller.receive(out, 30.0), 0);
    EXPECT_EQ(out, "kept");
    close(fds[1]);
}

}  // namespace
