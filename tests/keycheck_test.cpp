// The key check that a sender and an endstation run on their direct link: each side sends its key with
// every other character hidden and checks the characters the other side revealed. Both ends run at
// once over real sockets, as the listener thread and the endstation's loop do.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <utility>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/phrase.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;

// A connected pair of local stream sockets: a written piece is queued at the other end before write()
// returns, so a case can hand the check its frame in pieces it chooses. The rendezvous cases run the
// same check over loopback TCP.
std::pair<int, int> unix_pair() {
    int fds[2] = {-1, -1};
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    return {fds[0], fds[1]};
}

// One side of a direct link: a Caller with a role and a key, and its end of the link.
struct Side {
    Caller caller;
    Connection conn;
    int result = -1;
    Side(int role, const char* key, int fd) : conn(fd) {
        caller.m_type = role;
        caller.m_key = key;
    }
    std::thread check() {
        return std::thread([this] { result = caller.check_keys(&conn); });
    }
};

// Reads one key frame (up to and including its NUL, at most `limit` bytes); bounded by `ms`.
std::string read_frame(int fd, size_t limit, int ms = 10000) {
    std::string frame;
    char byte;
    pollfd ready{fd, POLLIN, 0};
    while (frame.size() < limit && poll(&ready, 1, ms) > 0 && read(fd, &byte, 1) == 1) {
        frame += byte;
        if (byte == '\0') break;
    }
    return frame;
}

void write_all(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

size_t count(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
}

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
        SCOPED_TRACE(c.key);
        // sender <-> relay <-> endstation: the relay records what each side puts on the wire.
        auto to_sender = unix_pair();
        auto to_endstation = unix_pair();
        zel_test::StderrCapture captured;
        Side sender(ROLE_SENDER, c.key, to_sender.first);
        Side endstation(ROLE_ENDSTATION, c.key, to_endstation.first);
        std::thread s = sender.check();
        std::thread e = endstation.check();
        std::string from_sender = read_frame(to_sender.second, 1000);
        std::string from_endstation = read_frame(to_endstation.second, 1000);
        write_all(to_endstation.second, from_sender);
        write_all(to_sender.second, from_endstation);
        s.join();
        e.join();
        EXPECT_EQ(from_sender, c.sender_frame);
        EXPECT_EQ(from_endstation, c.endstation_frame);
        EXPECT_EQ(sender.result, 1);
        EXPECT_EQ(endstation.result, 1);
        std::string text = captured.text();
        EXPECT_EQ(count(text, "keys match\n"), 2u) << text;
        EXPECT_EQ(count(text, "comparing keys "s + c.key + "\n"), 2u);
        EXPECT_EQ(text.find("TQR: "), std::string::npos);
        close(to_sender.second);
        close(to_endstation.second);
    }
    EXPECT_EQ(zel_test::open_fds(), fds_before);
}

TEST(KeycheckTest, ADifferenceIsCaughtOnlyByTheSideThatSeesIt) {
    zel_set_quiet(0);
    struct Case {
        const char* endstation_key;
        int sender_result;
        int endstation_result;
    };
    // Index 2 is shown by the sender and hidden by the endstation; index 3 the other way round.
    const Case cases[] = {{"abXdef", 1, 0}, {"abcXef", 0, 1}, {"Xbcdef", 1, 0}, {"abcdeX", 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.endstation_key);
        auto link = unix_pair();
        zel_test::StderrCapture captured;
        Side sender(ROLE_SENDER, "abcdef", link.first);
        Side endstation(ROLE_ENDSTATION, c.endstation_key, link.second);
        std::thread s = sender.check();
        std::thread e = endstation.check();
        s.join();
        e.join();
        EXPECT_EQ(sender.result, c.sender_result);
        EXPECT_EQ(endstation.result, c.endstation_result);
        std::string text = captured.text();
        EXPECT_EQ(count(text, "TQR: keys do not match\n"), 1u) << text;
        EXPECT_EQ(count(text, "keys match\n"), 1u);
    }
}

TEST(KeycheckTest, LengthsThatDifferAndAPeerThatClosesFailWithTheirLines) {
    zel_set_quiet(0);
    {
        auto link = unix_pair();
        zel_test::StderrCapture captured;
        Side sender(ROLE_SENDER, "abcdef", link.first);
        Side endstation(ROLE_ENDSTATION, "abcdefgh", link.second);
        std::thread s = sender.check();
        std::thread e = endstation.check();
        s.join();
        e.join();
        EXPECT_EQ(sender.result, 0);
        EXPECT_EQ(endstation.result, 0);
        std::string text = captured.text();
        EXPECT_NE(text.find("TQR: keys different length incoming longer than local=6\n"), std::string::npos) << text;
        EXPECT_NE(text.find("TQR: keys different length incoming = 6 local=8\n"), std::string::npos) << text;
    }
    {
        // The peer takes the frame and closes without answering.
        auto link = unix_pair();
        zel_test::StderrCapture captured;
        Side endstation(ROLE_ENDSTATION, "abcdef", link.first);
        std::thread e = endstation.check();
        EXPECT_EQ(read_frame(link.second, 1000), "\xFF" "b\xFF" "d\xFF" "f\0"s);
        close(link.second);
        e.join();
        EXPECT_EQ(endstation.result, 0);
        EXPECT_NE(captured.text().find("TQR: keys different length incoming = -1 local=6\n"), std::string::npos);
    }
}

TEST(KeycheckTest, AFrameDeliveredInPiecesIsJudgedWholeAndNothingBeyondItIsRead) {
    zel_set_quiet(1);
    auto link = unix_pair();
    Side endstation(ROLE_ENDSTATION, "abcdefgh", link.first);
    std::thread e = endstation.check();
    EXPECT_EQ(read_frame(link.second, 1000), "\xFF" "b\xFF" "d\xFF" "f\xFF" "h\0"s);
    const std::string frame = "a\xFF" "c\xFF" "e\xFF" "g\xFF\0"s;
    write_all(link.second, frame.substr(0, 4));
    // The first piece has been taken by the check before the rest is sent.
    EXPECT_TRUE(zel_test::wait_until([&] {
        int queued = -1;
        return ioctl(link.first, FIONREAD, &queued) == 0 && queued == 0;
    }));
    // The host's first bytes follow the frame at once; they belong to the host.
    write_all(link.second, frame.substr(4) + "host data");
    e.join();
    EXPECT_EQ(endstation.result, 1);
    char rest[32] = {};
    EXPECT_EQ(recv(link.first, rest, sizeof rest, MSG_DONTWAIT), 9);
    EXPECT_STREQ(rest, "host data");
    close(link.second);
}

}  // namespace
