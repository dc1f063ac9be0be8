// The handshake: two real Callers walking the script over loopback TCP, and a coordinator or a party
// driven phrase by phrase from a raw socket.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/lock.h"
#include "protocol/phrase.h"
#include "test_support.h"

namespace {

using zel_test::wait_until;

std::string nul(const std::string& text) { return text + std::string(1, '\0'); }

// The next NUL-terminated text on `fd`, or "<none>" when none is complete within a few seconds.
std::string next_text(int fd) {
    std::string text;
    char byte;
    while (true) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 5000) != 1 || recv(fd, &byte, 1, 0) != 1) return "<none>";
        if (byte == '\0') return text;
        text.push_back(byte);
    }
}

// negotiate() on a thread of its own, with a bounded wait for its result.
struct Negotiation {
    std::atomic<int> result{-1};
    std::thread thread;
    Caller& caller;

    Negotiation(Caller& c, int script, int iAm, int itIs) : caller(c) {
        thread = std::thread([this, script, iAm, itIs] { result = caller.negotiate(script, iAm, itIs); });
    }
    ~Negotiation() { finish(); }
    // Waits a few seconds for the result; a walk still waiting then is released so the thread can end.
    int finish() {
        if (!thread.joinable()) return result;
        bool ended = wait_until([&] { return result != -1; });
        if (!ended) {
            zel::MutexGuard guard(caller.m_queue_mutex);
            for (int i = 0; i < 8; ++i) caller.m_queue.push_back("");
            pthread_cond_broadcast(&caller.m_queue_cond);
        }
        thread.join();
        return ended ? result.load() : -2;
    }
};

// A party's Caller connected over loopback TCP to a coordinator's accepted Caller(fd).
struct TcpPair {
    Caller listener;
    Caller party;
    Caller* coordinator = nullptr;

    TcpPair(int port, int type, const char* nickname, const char* confid) {
        zel_set_quiet(1);
        if (listener.listen(port, 5, 0) == 0) return;
        if (party.connect(port, "127.0.0.1", type, nickname, confid, "key") != 1) return;
        int fd = listener.accept(0);
        if (fd <= 0) return;
        coordinator = new Caller(fd);
        coordinator->startreadthread();
        party.startreadthread();
    }
    ~TcpPair() {
        listener.m_conn->close_listener();
        // The party leaves first, so that the coordinator's side of the port has no TIME_WAIT.
        if (int fd = party.m_conn->fd()) shutdown(fd, SHUT_RDWR);
        if (coordinator) wait_until([&] { return coordinator->reader_done(); });
        delete coordinator;
    }
};

TEST(HandshakeTest, SenderOverTcp) {
    TcpPair pair(zel_test::port(0), ROLE_SENDER, "sam", "conf-7");
    ASSERT_NE(pair.coordinator, nullptr);
    Negotiation sender(pair.party, 1, ROLE_SENDER, ROLE_COORDINATOR);
    EXPECT_EQ(pair.coordinator->negotiate(1, ROLE_COORDINATOR, ROLE_CALLER), 1);
    EXPECT_EQ(sender.finish(), 1);
    EXPECT_EQ(pair.coordinator->m_type, ROLE_SENDER);
    EXPECT_EQ(pair.coordinator->m_confid, "conf-7");
    EXPECT_EQ(pair.coordinator->m_nickname, "");  // a sender does not tell its nickname
    EXPECT_EQ(pair.coordinator->m_version, 1.2);
    EXPECT_EQ(pair.party.m_version, 1.2);
    // Both walks took exactly the other's phrases: nothing is left over.
    EXPECT_EQ(pair.coordinator->has_message(), 0);
    EXPECT_EQ(pair.party.has_message(), 0);
}

TEST(HandshakeTest, EndstationOverTcp) {
    TcpPair pair(zel_test::port(1), ROLE_ENDSTATION, "eve the second", "conf 9");
    ASSERT_NE(pair.coordinator, nullptr);
    Negotiation endstation(pair.party, 1, ROLE_ENDSTATION, ROLE_COORDINATOR);
    EXPECT_EQ(pair.coordinator->negotiate(1, ROLE_COORDINATOR, ROLE_CALLER), 1);
    EXPECT_EQ(endstation.finish(), 1);
    EXPECT_EQ(pair.coordinator->m_type, ROLE_ENDSTATION);
    EXPECT_EQ(pair.coordinator->m_nickname, "eve the second");
    EXPECT_EQ(pair.coordinator->m_confid, "conf 9");
    EXPECT_EQ(pair.coordinator->has_message(), 0);
}

// A Caller on one end of a socket pair with its reader running; the test speaks raw on the other end.
struct Raw {
    Caller* caller = nullptr;
    int peer = -1;
    Raw() {
        zel_set_quiet(1);
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
        peer = fds[1];
        caller = new Caller(fds[0]);
    }
    ~Raw() {
        close_peer();
        delete caller;
    }
    void close_peer() {
        if (peer >= 0) close(peer);
        peer = -1;
    }
    void say(const std::string& texts) { send(peer, texts.data(), texts.size(), MSG_NOSIGNAL); }
    int unread() {
        int bytes = -1;
        ioctl(peer, FIONREAD, &bytes);
        return bytes;
    }
};

TEST(HandshakeTest, PartiesSpeakTheirPhrasesInOrder) {
    {
        Raw raw;
        ASSERT_NE(raw.caller, nullptr);
        raw.caller->m_confid = "c1";
        raw.caller->startreadthread();
        Negotiation sender(*raw.caller, 1, ROLE_SENDER, ROLE_COORDINATOR);
        raw.say(nul("TQR Coordinator 1.2"));
        EXPECT_EQ(next_text(raw.peer), "TQR Caller is Sender");
        EXPECT_EQ(next_text(raw.peer), "TQR Sender 1.2");
        EXPECT_EQ(next_text(raw.peer), "From Sender join c1");
        EXPECT_EQ(sender.finish(), 1);
        EXPECT_EQ(raw.unread(), 0);
    }
    {
        // An empty nickname is spoken as the phrase text alone.
        Raw raw;
        ASSERT_NE(raw.caller, nullptr);
        raw.caller->m_confid = "c2";
        raw.caller->startreadthread();
        Negotiation endstation(*raw.caller, 1, ROLE_ENDSTATION, ROLE_COORDINATOR);
        raw.say(nul("TQR Coordinator 1.2"));
        EXPECT_EQ(next_text(raw.peer), "TQR Caller is Endstation");
        EXPECT_EQ(next_text(raw.peer), "TQR Endstation 1.2");
        EXPECT_EQ(next_text(raw.peer), "From Endstation name ");
        EXPECT_EQ(next_text(raw.peer), "From Endstation join c2");
        EXPECT_EQ(endstation.finish(), 1);
    }
    {
        // A party whose type is unknown to itself still answers the type phrase.
        Raw raw;
        ASSERT_NE(raw.caller, nullptr);
        raw.caller->startreadthread();
        Negotiation unknown(*raw.caller, 1, ROLE_CALLER, ROLE_COORDINATOR);
        raw.say(nul("TQR Coordinator 1.2"));
        EXPECT_EQ(next_text(raw.peer), "TQR Caller is whatever");
        EXPECT_EQ(unknown.finish(), 1);
    }
}

TEST(HandshakeTest, CoordinatorIgnoresAnUnknownCallerType) {
    Raw raw;
    ASSERT_NE(raw.caller, nullptr);
    raw.caller->startreadthread();
    Negotiation coordinator(*raw.caller, 1, ROLE_COORDINATOR, ROLE_CALLER);
    EXPECT_EQ(next_text(raw.peer), "TQR Coordinator 1.2");
    raw.say(nul("TQR Caller is Robot") + nul("From Sender join c3"));
    EXPECT_EQ(coordinator.finish(), 1);
    // The peer stayed a caller of no known type: phrases 3 to 7 took nothing and set nothing.
    EXPECT_EQ(raw.caller->m_type, 0);
    EXPECT_EQ(raw.caller->m_confid, "");
    ASSERT_TRUE(wait_until([&] { return raw.caller->has_message() == 1; }));
    EXPECT_EQ(raw.caller->pop_message(), "From Sender join c3");
    EXPECT_EQ(raw.unread(), 0);
}

TEST(HandshakeTest, OtherScriptNumbersWalkNothing) {
    Raw raw;
    ASSERT_NE(raw.caller, nullptr);
    raw.caller->startreadthread();
    raw.say(nul("TQR Caller is Sender"));
    ASSERT_TRUE(wait_until([&] { return raw.caller->has_message() == 1; }));
    EXPECT_EQ(raw.caller->negotiate(2, ROLE_COORDINATOR, ROLE_CALLER), 1);
    EXPECT_EQ(raw.caller->negotiate(0, ROLE_SENDER, ROLE_COORDINATOR), 1);
    EXPECT_EQ(raw.unread(), 0);
    EXPECT_EQ(raw.caller->has_message(), 1);
    EXPECT_EQ(raw.caller->m_type, 0);
    EXPECT_EQ(raw.caller->m_version, 1.2);

    // The scripts themselves: seven phrases and the end marker for 1.2/1, nothing otherwise.
    PhraseScript script(1.2, 1);
    int phrases = 0;
    Phrase* phrase;
    while ((phrase = script.next()) != nullptr && !phrase->endmarker) ++phrases;
    EXPECT_EQ(phrases, 7);
    ASSERT_NE(phrase, nullptr);
    EXPECT_EQ(script.next(), nullptr);
    EXPECT_EQ(PhraseScript(1.2, 2).next(), nullptr);
    EXPECT_EQ(PhraseScript(1.2000001, 1).next(), nullptr);
}

TEST(HandshakeTest, PeerThatLeavesMidHandshakeEndsTheWalk) {
    {
        Raw raw;
        ASSERT_NE(raw.caller, nullptr);
        raw.caller->startreadthread();
        Negotiation coordinator(*raw.caller, 1, ROLE_COORDINATOR, ROLE_CALLER);
        EXPECT_EQ(next_text(raw.peer), "TQR Coordinator 1.2");
        raw.say(nul("TQR Caller is Endstation") + nul("TQR Endstation 1.2"));
        raw.close_peer();
        EXPECT_EQ(coordinator.finish(), 0);  // at once, not after the phrase's 500 s
        EXPECT_EQ(raw.caller->m_type, ROLE_ENDSTATION);  // what was heard stays set
        EXPECT_EQ(raw.caller->m_nickname, "");
    }
    {
        Raw raw;
        ASSERT_NE(raw.caller, nullptr);
        raw.caller->startreadthread();
        Negotiation sender(*raw.caller, 1, ROLE_SENDER, ROLE_COORDINATOR);
        raw.close_peer();
        EXPECT_EQ(sender.finish(), 0);
    }
}

}  // namespace
