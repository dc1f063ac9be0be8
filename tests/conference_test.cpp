// The conference registry and its conferences: who is filed where, who is nominated to the sender and
// in which order, and what becomes of a conference once its entry is erased. The registry is the
// library's own g_activelist; members are Callers with their role set, the sender's link a local pair
// whose other end the test reads.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/conference.h"
#include "protocol/live_callers.h"
#include "protocol/lock.h"
#include "protocol/phrase.h"
#include "test_support.h"

namespace {

// Opens the library's log stream on a file of its own for one case.
class LogCapture {
public:
    LogCapture() {
        char path[] = "/tmp/zel_log_XXXXXX";
        close(mkstemp(path));
        m_path = path;
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        g_logmsg.open(m_path);
    }
    ~LogCapture() {
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        g_logmsg.close();
        unlink(m_path.c_str());
    }
    std::string text() {
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        std::ifstream in(m_path);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    std::string m_path;
};

Caller* endstation(Caller& caller, const char* nickname) {
    caller.m_type = ROLE_ENDSTATION;
    caller.m_nickname = nickname;
    return &caller;
}

// An endstation that the conference may nominate: only live Callers (as the join step files them) are
// nominated. The Caller's destructor takes it out again.
Caller* live(Caller& caller, const char* nickname, const std::string& confid) {
    g_live_callers.add(endstation(caller, nickname), ROLE_ENDSTATION, confid);
    return &caller;
}

// A sender whose coordinator link is one end of a local pair; `peer` is what the sender would read.
struct Sender {
    int peer = -1;
    Caller* caller;
    Sender() {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        peer = fds[1];
        caller = new Caller(fds[0]);
        caller->m_type = ROLE_SENDER;
    }
    ~Sender() {
        delete caller;
        close(peer);
    }
    // The next message written to the sender, without its NUL; "" when none comes within `ms`.
    std::string next(int ms = 5000) {
        std::string text;
        char byte;
        pollfd ready{peer, POLLIN, 0};
        while (poll(&ready, 1, ms) > 0 && read(peer, &byte, 1) == 1) {
            if (byte == '\0') return text;
            text += byte;
        }
        return "";
    }
    bool quiet() {
        char byte;
        return recv(peer, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }
};

std::string nominate(Caller& receiver) {
    char text[64];
    snprintf(text, sizeof text, "Nominate %p %s", static_cast<void*>(&receiver), receiver.m_nickname.c_str());
    return text;
}

// Erases a conference when the case ends, before the Callers it points to are destroyed.
struct Erase {
    std::string confid;
    ~Erase() { g_activelist.remove(confid); }
};

size_t count(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

Conference* conference_of(const std::string& confid) {
    zel::MutexGuard guard(g_activelist.m_mutex);
    auto found = g_activelist.m_conferences.find(confid);
    return found == g_activelist.m_conferences.end() ? nullptr : found->second;
}

TEST(ConferenceTest, EndstationsWaitForASenderAndAreNominatedOldestFirst) {
    zel_set_quiet(0);
    LogCapture log;
    Caller e1, e2;
    Sender sender;
    Erase erase{"early"};
    zel_test::StderrCapture captured;
    EXPECT_TRUE(g_activelist.addcaller("early", live(e1, "first", "early")));
    EXPECT_TRUE(g_activelist.addcaller("early", live(e2, "second", "early")));
    g_activelist.signal("early");
    // Without a sender nobody is nominated, however often the thread runs.
    EXPECT_FALSE(zel_test::wait_until([] { return g_activelist.waiting("early") != 2; },
                                      std::chrono::milliseconds(300)));

    EXPECT_TRUE(g_activelist.addcaller("early", sender.caller));
    g_activelist.signal("early");
    EXPECT_EQ(sender.next(), nominate(e1));
    // The next one on a later pass, without another signal.
    EXPECT_EQ(sender.next(), nominate(e2));
    EXPECT_EQ(g_activelist.waiting("early"), 0);

    std::string text = captured.text();
    EXPECT_NE(text.find("adding conference for early\n"), std::string::npos) << text;
    EXPECT_EQ(count(text, "adding caller to conference early\n"), 2u);
    std::string logged = log.text();
    size_t pending = logged.find("sender exists and receiver pending \n");
    size_t sending = logged.find(" sending Nominate ", pending);
    size_t nominated = logged.find("nominating caller \n", sending);
    EXPECT_NE(nominated, std::string::npos) << logged;
    EXPECT_NE(logged.find("signalling conference early\n"), std::string::npos);
}

TEST(ConferenceTest, ASecondSenderIsRefusedAndTheFirstKeepsItsConference) {
    zel_set_quiet(0);
    LogCapture log;
    Caller e;
    Sender first, second;
    Erase erase{"refuse"};
    zel_test::StderrCapture captured;
    EXPECT_TRUE(g_activelist.addcaller("refuse", first.caller));
    EXPECT_FALSE(g_activelist.addcaller("refuse", second.caller));
    EXPECT_NE(captured.text().find("NOT adding caller to conference refuse\n"), std::string::npos);
    EXPECT_NE(log.text().find("attempt to add second sender to conference refuse ignored\n"), std::string::npos);
    EXPECT_TRUE(g_activelist.addcaller("refuse", live(e, "e", "refuse")));
    g_activelist.signal("refuse");
    EXPECT_EQ(first.next(), nominate(e));
    EXPECT_TRUE(second.quiet());
}

TEST(ConferenceTest, ReceiversAreDroppedAndEmptyConferencesForgotten) {
    zel_set_quiet(0);
    LogCapture log;
    Caller e, other, e3;
    Sender sender;
    Erase erase_kept{"kept"}, erase_upper{"Case"}, erase_lower{"case"};
    const size_t filed = g_activelist.size();
    zel_test::StderrCapture captured;

    // The same receiver twice is listed twice, and one drop takes both.
    endstation(e, "e");
    EXPECT_TRUE(g_activelist.addcaller("dup", &e));
    EXPECT_TRUE(g_activelist.addcaller("dup", &e));
    EXPECT_EQ(g_activelist.waiting("dup"), 2);
    EXPECT_TRUE(g_activelist.dropreceiver("dup", endstation(other, "other")));
    EXPECT_EQ(g_activelist.waiting("dup"), 2);
    EXPECT_EQ(count(captured.text(), "dropping disconnecting receiver from list of receivers\n"), 1u);
    EXPECT_TRUE(g_activelist.dropreceiver("dup", &e));
    EXPECT_EQ(g_activelist.waiting("dup"), -1);
    EXPECT_NE(captured.text().find("deleted conference dup from active list\n"), std::string::npos);
    EXPECT_FALSE(g_activelist.dropreceiver("dup", &e));

    // A conference with a sender stays filed when its last receiver leaves; remove always succeeds.
    EXPECT_TRUE(g_activelist.addcaller("kept", sender.caller));
    EXPECT_TRUE(g_activelist.dropreceiver("kept", &e));
    EXPECT_EQ(g_activelist.waiting("kept"), 0);
    EXPECT_TRUE(g_activelist.remove("kept"));
    EXPECT_TRUE(g_activelist.remove("kept"));
    EXPECT_EQ(count(captured.text(), "deleted conference kept from active list\n"), 2u);
    EXPECT_EQ(g_activelist.waiting("kept"), -1);

    // Identifiers are case-sensitive, and an erased identifier starts a new conference.
    EXPECT_TRUE(g_activelist.addcaller("Case", &e));
    EXPECT_TRUE(g_activelist.addcaller("case", &other));
    EXPECT_EQ(g_activelist.size(), filed + 2);
    EXPECT_TRUE(g_activelist.remove("Case"));
    EXPECT_EQ(g_activelist.waiting("case"), 1);
    EXPECT_TRUE(g_activelist.addcaller("Case", endstation(e3, "e3")));
    EXPECT_EQ(count(captured.text(), "adding conference for Case\n"), 2u);
    EXPECT_EQ(g_activelist.waiting("Case"), 1);

    g_activelist.signal("nowhere");
    EXPECT_NE(log.text().find("error: conference nowhere does not exist\n"), std::string::npos);
}

TEST(ConferenceTest, AnErasedConferenceTakesItsThreadWithIt) {
    zel_set_quiet(1);
    Caller e;
    endstation(e, "e");
    const int threads = zel_test::thread_count();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(g_activelist.addcaller("thread" + std::to_string(i), &e));
    EXPECT_TRUE(zel_test::wait_until([&] { return zel_test::thread_count() == threads + 10; }));
    // Half go by remove, half because their last receiver left.
    for (int i = 0; i < 10; i += 2) g_activelist.remove("thread" + std::to_string(i));
    for (int i = 1; i < 10; i += 2) g_activelist.dropreceiver("thread" + std::to_string(i), &e);
    EXPECT_TRUE(zel_test::wait_until([&] { return zel_test::thread_count() == threads; }));
}

TEST(ConferenceTest, ASignalGivenWhileTheThreadIsBusyIsNotLost) {
    zel_set_quiet(1);
    LogCapture log;
    Caller e1, e2, e3;
    Sender sender;
    Erase erase{"busy"};
    ASSERT_TRUE(g_activelist.addcaller("busy", sender.caller));
    ASSERT_TRUE(g_activelist.addcaller("busy", live(e1, "e1", "busy")));
    g_activelist.signal("busy");
    ASSERT_EQ(sender.next(), nominate(e1));
    Conference* conference = conference_of("busy");
    ASSERT_NE(conference, nullptr);

    // Stall the thread in its next nomination, then let a third endstation join and signal.
    pthread_mutex_lock(&sender.caller->m_send_mutex);
    EXPECT_TRUE(g_activelist.addcaller("busy", live(e2, "e2", "busy")));
    g_activelist.signal("busy");
    bool busy = zel_test::wait_until([] { return g_activelist.waiting("busy") == 0; });
    EXPECT_TRUE(g_activelist.addcaller("busy", live(e3, "e3", "busy")));
    g_activelist.signal("busy");
    pthread_mutex_unlock(&sender.caller->m_send_mutex);
    EXPECT_TRUE(busy);
    EXPECT_EQ(sender.next(), nominate(e2));
    std::string third = sender.next(200);
    if (third.empty()) {
        // The signal was lost and the thread waits for its one-second tick. Wake it as a spurious
        // wake-up would, so that the case ends quickly and the log shows the wait.
        zel::MutexGuard io(conference->m_io_mutex);
        pthread_cond_signal(&conference->m_io_conditional);
    }
    if (third.empty()) third = sender.next();
    EXPECT_EQ(third, nominate(e3));

    // Between the two nominations the thread never waited: the signal it was given while busy counted.
    std::string logged = log.text();
    size_t second = logged.find(" sending " + nominate(e2));
    size_t next = logged.find(" sending " + nominate(e3), second);
    ASSERT_NE(next, std::string::npos) << logged;
    EXPECT_EQ(logged.substr(second, next - second).find("Conference io_conditional signalled"), std::string::npos)
        << logged;
}

}  // namespace
