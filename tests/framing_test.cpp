// Framing over a real stream: a Caller's reader cuts NUL-terminated messages out of whatever pieces the
// socket delivers, and ends when the stream can deliver no more.
#include "test_support.h"

namespace {

using zel_test::nul;
using zel_test::wait_until;
using Messages = std::vector<std::string>;

// Takes `n` messages from the queue, waiting for each.
Messages take(Caller& caller, size_t n) {
    Messages out;
    for (std::string text; out.size() < n && caller.receive(text, 10.0) == 1;) out.push_back(text);
    return out;
}

TEST(FramingTest, MessagesAreCutOutOfAnyPiecesAndDeliveredOnce) {
    zel_set_quiet(1);
    zel_test::StderrCapture capture;
    zel_test::WiredCaller link;
    ASSERT_NE(link.caller, nullptr);
    // Several in one write, an empty one among them.
    ASSERT_TRUE(link.say(nul("Approve 0x1 ") + nul("") + nul("Adios 0x2 ")));
    EXPECT_EQ(take(*link.caller, 3), (Messages{"Approve 0x1 ", "", "Adios 0x2 "}));

    // One split over three reads: nothing before the terminator.
    for (const std::string piece : {"Listening 0x", "abc 72"}) {
        ASSERT_TRUE(link.say(piece));
        ASSERT_TRUE(wait_until([&] { return link.consumed(); }));
        EXPECT_EQ(link.caller->has_message(), 0);
    }
    ASSERT_TRUE(link.say(nul("05")));
    EXPECT_EQ(take(*link.caller, 1), Messages{"Listening 0xabc 7205"});
    EXPECT_EQ(capture.text().find("COPYING FRAGMENT"), std::string::npos);

    // A fragment after a message is carried into the next read.
    ASSERT_TRUE(link.say(nul("Approve 0x1 ") + "Listen 0x"));
    ASSERT_TRUE(wait_until([&] { return capture.text().find("TQR: COPYING FRAGMENT Listen 0x\n") != std::string::npos; }));
    EXPECT_EQ(link.caller->has_message(), 1);
    ASSERT_TRUE(link.say(nul("1 7205") + "Sender Hap"));
    ASSERT_TRUE(wait_until([&] { return capture.text().find("TQR: COPYING FRAGMENT Sender Hap\n") != std::string::npos; }));
    ASSERT_TRUE(link.say(nul("py 0x1 7205")));
    EXPECT_EQ(link.delivered(), (Messages{"Approve 0x1 ", "Listen 0x1 7205", "Sender Happy 0x1 7205"}));
}

TEST(FramingTest, LongestMessageIsDeliveredAndALongerOneEndsTheReader) {
    zel_set_quiet(1);
    zel_test::StderrCapture capture;
    zel_test::WiredCaller link;
    ASSERT_NE(link.caller, nullptr);
    const std::string longest = "Nominate 0x1 " + std::string(997 - 13, 'n');
    ASSERT_TRUE(link.say(nul(longest)));
    EXPECT_EQ(take(*link.caller, 1), Messages{longest});

    // 998 bytes and no terminator fill the window: the reader gives up on this stream while it is open.
    ASSERT_TRUE(link.say(nul(std::string(998, 'x')) + nul("Adios 0x1 ")));
    ASSERT_TRUE(wait_until([&] { return link.caller->reader_done(); }));
    std::string out = "kept";
    EXPECT_EQ(link.caller->receive(out, 30.0), 0);
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(capture.text().find("timed out"), std::string::npos);  // ended by the link, not the clock
}

TEST(FramingTest, ByteByByteWriterDeliversEveryMessageOnceInOrder) {
    zel_set_quiet(1);
    zel_test::WiredCaller link;
    ASSERT_NE(link.caller, nullptr);
    Messages sent;
    for (int i = 0; i < 300; ++i)
        sent.push_back(i % 50 == 7 ? "" : "Sender Happy 0x" + std::to_string(1000 + i) + " " + std::to_string(7200 + i % 20));
    std::thread writer([&] {
        for (const std::string& text : sent)
            for (char byte : nul(text)) send(link.peer, &byte, 1, MSG_NOSIGNAL);
    });
    Messages got = take(*link.caller, sent.size());
    writer.join();
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(link.delivered().empty());
}

TEST(FramingTest, ReaderEndsWhenItsCallerClosesOrReadsFail) {
    zel_set_quiet(1);
    const int fds_before = zel_test::open_fds();
    {
        // "Adios " makes the message loop close its link; the reader must end rather than read on.
        zel_test::WiredCaller link;
        ASSERT_NE(link.caller, nullptr);
        ASSERT_TRUE(link.say(nul("Adios 0x1 ")));
        EXPECT_EQ(link.caller->process(), 0);
        ASSERT_TRUE(wait_until([&] { return link.caller->reader_done(); }));
        char byte;
        EXPECT_EQ(recv(link.peer, &byte, 1, 0), 0);  // the peer sees the end of the stream
    }
    // A descriptor that every read fails on (not a socket): the reader must not retry for ever.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        Caller caller(fds[0]);
        caller.startreadthread();
        ASSERT_TRUE(wait_until([&] { return caller.reader_done(); }));
        std::string out = "kept";
        EXPECT_EQ(caller.receive(out, 30.0), 0);
        EXPECT_EQ(out, "kept");
    }
    close(fds[1]);
    EXPECT_EQ(zel_test::open_fds(), fds_before);
}

}  // namespace
