// The key check that a sender and an endstation run on their direct link: each side sends its key with
// every other character hidden and checks the characters the other side revealed. Each case runs the
// check on one end of a local socket pair, against the other side or a test that speaks raw.
#include "test_support.h"

namespace {

using namespace std::string_literals;
using zel_test::count;

// One side of a direct link: a Caller with a role and a key, checking on `fd` from construction on.
struct Side {
    Caller caller;
    Connection conn;
    int result = -1;
    std::thread thread;
    Side(int role, const char* key, int fd) : conn(fd) {
        caller.m_type = role;
        caller.m_key = key;
        thread = std::thread([this] { result = caller.check_keys(&conn); });
    }
    ~Side() { join(); }
    int join() {
        if (thread.joinable()) thread.join();
        return result;
    }
};

struct Pair {
    int fds[2] = {-1, -1};
    Pair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
};

TEST(KeycheckTest, EqualKeysMatchAndTheWireCarriesOnlyMaskedFrames) {
    zel_set_quiet(0);
    const int fds_before = zel_test::open_fds();
    struct Case {
        const char* key;
        std::string sender_frame;
        std::string endstation_frame;
    };
    const Case cases[] = {
        {"secret7", "s\xFF" "c\xFF" "e\xFF" "7\0"s, "\xFF" "e\xFF" "r\xFF" "t\xFF\0"s},
        {"abcdef", "a\xFF" "c\xFF" "e\xFF\0"s, "\xFF" "b\xFF" "d\xFF" "f\0"s},
        {"", "\0"s, "\0"s},
    };
    for (const Case& c : cases) {
        for (int role : {ROLE_SENDER, ROLE_ENDSTATION}) {
            SCOPED_TRACE(std::string(c.key) + " as " + std::to_string(role));
            const bool sender = role == ROLE_SENDER;
            Pair link;
            zel_test::StderrCapture captured;
            Side side(role, c.key, link.fds[0]);
            EXPECT_EQ(zel_test::read_frame(link.fds[1]), sender ? c.sender_frame : c.endstation_frame);
            const std::string& reply = sender ? c.endstation_frame : c.sender_frame;
            ASSERT_EQ(write(link.fds[1], reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
            EXPECT_EQ(side.join(), 1);
            const std::string text = captured.text();
            EXPECT_EQ(count(text, "comparing keys "s + c.key + "\n"), 1u) << text;
            EXPECT_EQ(count(text, "keys match\n"), 1u);
            EXPECT_EQ(count(text, "TQR: "), 0u);
            close(link.fds[1]);
        }
    }
    EXPECT_EQ(zel_test::open_fds(), fds_before);
}

TEST(KeycheckTest, ADifferenceIsCaughtByTheSideThatSeesIt) {
    zel_set_quiet(0);
    struct Case {
        const char* sender_key;
        const char* endstation_key;
        int sender_result;
        int endstation_result;
        std::string lines;  // the failure lines, in any order
    };
    // Index 2 is shown by the sender and hidden by the endstation; index 3 the other way round.
    const Case cases[] = {
        {"abcdef", "abXdef", 1, 0, "TQR: keys do not match\n"},
        {"abcdef", "abcXef", 0, 1, "TQR: keys do not match\n"},
        {"abcdef", "Xbcdef", 1, 0, "TQR: keys do not match\n"},
        {"abcdef", "abcdeX", 0, 1, "TQR: keys do not match\n"},
        {"abcdef", "abcdefgh", 0, 0,
         "TQR: keys different length incoming longer than local=6\nTQR: keys different length incoming = 6 local=8\n"},
        {"abcdefgh", "abcdef", 0, 0,
         "TQR: keys different length incoming longer than local=6\nTQR: keys different length incoming = 6 local=8\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.sender_key) + "/" + c.endstation_key);
        Pair link;
        zel_test::StderrCapture captured;
        {
            Side sender(ROLE_SENDER, c.sender_key, link.fds[0]);
            Side endstation(ROLE_ENDSTATION, c.endstation_key, link.fds[1]);
            EXPECT_EQ(sender.join(), c.sender_result);
            EXPECT_EQ(endstation.join(), c.endstation_result);
        }
        std::string text = captured.text();
        for (size_t at = 0, end; (end = c.lines.find('\n', at)) != std::string::npos; at = end + 1)
            EXPECT_EQ(count(text, c.lines.substr(at, end + 1 - at)), 1u) << text;
        EXPECT_EQ(count(text, "TQR: "), count(c.lines, "TQR: ")) << text;
    }
}

TEST(KeycheckTest, APeerThatClosesFailsAndAFrameInPiecesIsJudgedWhole) {
    zel_set_quiet(0);
    {
        // The peer takes the frame and closes without answering.
        Pair link;
        zel_test::StderrCapture captured;
        Side endstation(ROLE_ENDSTATION, "abcdef", link.fds[0]);
        EXPECT_EQ(zel_test::read_frame(link.fds[1]), "\xFF" "b\xFF" "d\xFF" "f\0"s);
        close(link.fds[1]);
        EXPECT_EQ(endstation.join(), 0);
        EXPECT_NE(captured.text().find("TQR: keys different length incoming = -1 local=6\n"), std::string::npos);
    }
    Pair link;
    Side endstation(ROLE_ENDSTATION, "abcdefgh", link.fds[0]);
    EXPECT_EQ(zel_test::read_frame(link.fds[1]), "\xFF" "b\xFF" "d\xFF" "f\xFF" "h\0"s);
    const std::string frame = "a\xFF" "c\xFF" "e\xFF" "g\xFF\0"s;
    ASSERT_EQ(write(link.fds[1], frame.data(), 4), 4);
    // The first piece has been taken by the check before the rest is sent.
    EXPECT_TRUE(zel_test::wait_until([&] { return zel_test::unread(link.fds[0]) == 0; }));
    // The host's first bytes follow the frame at once; they belong to the host.
    const std::string rest = frame.substr(4) + "host data";
    ASSERT_EQ(write(link.fds[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    EXPECT_EQ(endstation.join(), 1);
    EXPECT_EQ(zel_test::drain(link.fds[0]), "host data");
    close(link.fds[1]);
}

}  // namespace
