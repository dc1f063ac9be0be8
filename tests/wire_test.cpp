// What travels on a link and how a Caller takes it in: the framing of the stream, the decoding and
// composing of named messages, the bounded inbound queue and its timed receive, the handshake walk,
// the key check, and the escaping of peer bytes in diagnostic lines.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "common/zel_common.h"
#include "harness.h"
#include "protocol/framing.h"
#include "protocol/key_check.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"

using namespace harness;

namespace {

// Cuts `stream` into reads of the given sizes (the last one repeated) and collects what the window
// delivers; "<end>" marks where it ended the stream.
std::vector<std::string> frame(const std::string& stream, std::vector<size_t> reads) {
    Framer framer;
    std::vector<std::string> out;
    for (size_t at = 0, i = 0; at < stream.size(); ++i) {
        size_t n = std::min({reads[std::min(i, reads.size() - 1)], stream.size() - at, static_cast<size_t>(framer.room())});
        memcpy(framer.space(), stream.data() + at, n);
        at += n;
        const char* fragment;
        if (!framer.take(static_cast<int>(n), [&](const char* text, size_t length) { out.emplace_back(text, length); },
                         &fragment)) {
            out.push_back("<end>");
            break;
        }
    }
    return out;
}

TEST(WireTest, MessagesAreCutWholeOutOfAnyPiecesAndAnOverlongOneEndsTheStream) {
    const std::string two = std::string("Approve 0x1 \0Listen 0x2 7201\0", 29);
    for (std::vector<size_t> reads : {std::vector<size_t>{998}, {1}, {5, 20}, {13}})
        EXPECT_EQ(frame(two, reads), (std::vector<std::string>{"Approve 0x1 ", "Listen 0x2 7201"}));
    EXPECT_EQ(frame(std::string("\0\0", 2), {1}), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(frame(std::string(997, 'x') + '\0', {400}), std::vector<std::string>{std::string(997, 'x')});
    EXPECT_EQ(frame(std::string(998, 'x') + '\0', {400}), std::vector<std::string>{"<end>"});
}

TEST(WireTest, DecodeTellsNamesApartAndComposeStaysWithinTheLimit) {
    struct Case {
        std::string text;
        int type;
        bool has_cookie, has_info;
        std::string info;
    };
    for (const Case& c : std::vector<Case>{{"Listening 0x10 7201", MSG_LISTENING, true, true, "7201"},
                                           {"Listen 0x10 7201", MSG_LISTEN, true, true, "7201"},
                                           {"Connected 0xab 7201", MSG_CONNECTED, true, true, "7201"},
                                           {"Approve 0x10 ", MSG_APPROVE, true, true, ""},
                                           {"Adios 0x10", MSG_ADIOS, true, false, ""},
                                           {"Nominate zz bob", MSG_NOMINATE, false, true, "bob"},
                                           {"Listen0x10", -1, false, false, ""},
                                           {"", -1, false, false, ""}}) {
        DecodedMessage m;
        EXPECT_EQ(decode_message(c.text, &m), c.type >= 0) << c.text;
        EXPECT_EQ(m.type, c.type) << c.text;
        EXPECT_EQ(m.has_cookie, c.has_cookie) << c.text;
        EXPECT_EQ(m.has_info, c.has_info) << c.text;
        EXPECT_EQ(m.info, c.info) << c.text;
    }
    // A cookie is written as "%p" writes it, and read back from a composed message.
    for (uintptr_t value : {uintptr_t{0}, uintptr_t{1}, uintptr_t{0xab}, uintptr_t{0x7f8bd8000df0}, ~uintptr_t{0}}) {
        char expected[32];
        snprintf(expected, sizeof expected, "%p", reinterpret_cast<void*>(value));
        Cookie cookie = Cookie::of(reinterpret_cast<void*>(value));
        EXPECT_EQ(cookie.text(), expected);
        std::string composed;
        DecodedMessage m;
        ASSERT_TRUE(compose_message(MSG_LISTEN, cookie, "7201", &composed));
        ASSERT_TRUE(decode_message(composed, &m)) << composed;
        EXPECT_TRUE(m.has_cookie) << composed;
        EXPECT_EQ(m.cookie, cookie) << composed;
        EXPECT_EQ(m.info, "7201");
    }
    std::string text;
    Cookie widest = Cookie::of(reinterpret_cast<void*>(~uintptr_t{0}));
    EXPECT_TRUE(compose_message(MSG_NOMINATE, widest, std::string(969, 'n').c_str(), &text));
    EXPECT_EQ(text.size(), kLongestMessage);
    EXPECT_FALSE(compose_message(MSG_NOMINATE, widest, std::string(970, 'n').c_str(), &text));
}

// A Caller on one end of a local socket pair, its reader running; the test writes the other end.
struct Wired {
    int peer = -1;
    std::unique_ptr<Caller> caller;
    Wired() {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        peer = fds[1];
        caller.reset(new Caller(fds[0]));
        caller->startreadthread();
    }
    ~Wired() {
        close(peer);
        caller.reset();
    }
    void say(const std::string& text) { ASSERT_EQ(send(peer, text.c_str(), text.size() + 1, MSG_NOSIGNAL), static_cast<ssize_t>(text.size() + 1)); }
};

TEST(WireTest, TheQueueKeepsOrderTimesOutAndEndsWithItsLink) {
    zel::set_quiet(1);
    Wired wired;
    for (const char* text : {"first", "", "third"}) wired.say(text);
    std::string out;
    for (const char* expected : {"first", "", "third"}) {
        ASSERT_EQ(wired.caller->receive(out, 5.0), 1);
        EXPECT_EQ(out, expected);
    }
    out = "before";
    EXPECT_EQ(wired.caller->receive(out, 0.05), 0);
    EXPECT_EQ(out, "before");
    std::thread later([&] { wired.say("late"); });
    EXPECT_EQ(wired.caller->receive(out, 5.0), 1);
    later.join();
    EXPECT_EQ(out, "late");
    shutdown(wired.peer, SHUT_RDWR);
    EXPECT_EQ(wired.caller->receive(out, 1000.0), 0);  // an ended link returns at once
    EXPECT_TRUE(wired.caller->wait_link_ended(5.0));
}

// A party that floods a Caller whose host takes no message: once the message loop has returned (here
// on "RejectedSender ") and the stream goes on, the reader holds no more than the queue's bound and
// stops reading, so TCP holds the peer back; nothing is lost once the host takes the messages. The
// empty messages cost three times the bound, and fit the socket's buffers.
TEST(WireTest, AFloodHeldByTheReaderNeverExceedsTheQueuesBoundAndLosesNothing) {
    zel::set_quiet(1);
    Wired wired;
    Caller& caller = *wired.caller;
    caller.m_type = ROLE_SENDER;
    std::string rejected;
    ASSERT_TRUE(compose_message(MSG_REJECTED_SENDER, Cookie(), "", &rejected));
    wired.say(rejected);
    EXPECT_EQ(caller.process(), 0);
    const size_t count = 3 * InboundQueue::kQueueBytes / InboundQueue::kMessageOverhead;
    const std::string frames(count, '\0');
    ASSERT_EQ(send(wired.peer, frames.data(), frames.size(), MSG_NOSIGNAL), static_cast<ssize_t>(count));
    {
        zel::MutexLock lock(caller.m_queue_mutex);
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 10;
        while (caller.m_queue.peak_bytes() + InboundQueue::kMessageOverhead <= InboundQueue::kQueueBytes &&
               caller.m_queue_cond.wait_until(caller.m_queue_mutex, until) == 0) {
        }
    }
    std::string out;
    size_t taken = 0;
    while (taken < count && caller.receive(out, 5.0) == 1) ++taken;
    EXPECT_EQ(taken, count);
    EXPECT_GT(caller.m_queue.peak_bytes(), InboundQueue::kQueueBytes - InboundQueue::kMessageOverhead);
    EXPECT_LE(caller.m_queue.peak_bytes(), InboundQueue::kQueueBytes);
}

TEST(WireTest, AbsTimeCarriesTicksIntoSeconds) {
    const uint64_t epoch = 116444736000000000ULL, second = 10000000ULL;
    AbsTime deadline;
    const timespec* at = deadline.after_at(2.5, epoch + 1000000000ULL * second + 7 * second / 10);
    EXPECT_EQ(at->tv_sec, 1000000003);
    EXPECT_EQ(at->tv_nsec, 200000000);
}

TEST(WireTest, PeerBytesNeverStartALineOfTheirOwn) {
    EXPECT_EQ(zel::printable("ok\nrendezvous outcome=ok\x1b[2J"), "ok\\x0arendezvous outcome=ok\\x1b[2J");
    EXPECT_EQ(zel::printable("a line\n", 7, true), "a line\n");
    EXPECT_EQ(zel::printable("caf\xc3\xa9"), "caf\xc3\xa9");
}

// The coordinator walks the script with whatever a party says; the walk ends within the handshake's
// time limit however slowly the party speaks.
TEST(WireTest, TheCoordinatorLearnsRoleNicknameAndConferenceOrGivesUp) {
    zel::set_quiet(1);
    struct Case {
        std::vector<std::string> said;
        int result, type;
        std::string nickname, confid;
    };
    for (const Case& c : std::vector<Case>{
             {{"TQR Caller is Sender", "TQR Sender 1.2", "From Sender join conf"}, 1, ROLE_SENDER, "", "conf"},
             {{"TQR Caller is Endstation", "TQR Endstation 1.2", "From Endstation name bob", "From Endstation join c"},
              1, ROLE_ENDSTATION, "bob", "c"},
             {{"TQR Caller is Robot"}, 1, 0, "", ""},
             {{"TQR Caller is Sender"}, 0, ROLE_SENDER, "", ""}}) {
        Wired wired;
        for (const std::string& line : c.said) wired.say(line);
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(wired.caller->negotiate(1, ROLE_COORDINATOR, ROLE_CALLER), c.result) << c.said[0];
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_EQ(wired.caller->m_type, c.type);
        EXPECT_EQ(wired.caller->m_nickname, c.nickname);
        EXPECT_EQ(wired.caller->m_confid, c.confid);
    }
    Wired other;
    EXPECT_EQ(other.caller->negotiate(2, ROLE_COORDINATOR, ROLE_CALLER), 1);
}

TEST(WireTest, TheKeyCheckJudgesOnlyTheHalfThePeerRevealed) {
    zel::set_quiet(1);
    struct Case {
        std::string mine, theirs;
        bool sender;
        int match;
    };
    // A sender checks the odd indices, which the endstation reveals; an endstation the even ones.
    for (const Case& c : std::vector<Case>{{"secret", "secret", true, 1},
                                           {"secret", "sXcret", true, 0},
                                           {"secret", "Xecret", true, 1},
                                           {"secret", "Xecret", false, 0},
                                           {"secret", "secre", true, 0},
                                           {"secret", "secrets", true, 0},
                                           {"", "", false, 1}}) {
        std::string frame = zel::masked_key_frame(c.theirs, !c.sender);
        EXPECT_EQ(zel::judge_key_frame(c.mine, c.sender, frame.data(), static_cast<int>(frame.size())), c.match)
            << c.mine << " " << c.theirs << " " << c.sender;
    }
    // A peer that says nothing is given up on at the time limit.
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    Connection link(fds[0]);
    EXPECT_EQ(zel::check_keys_on(link, "key", true, 0.2), 0);
    close(fds[1]);
}

}  // namespace
