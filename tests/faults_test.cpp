// Parties that vanish at every step of a rendezvous. An in-process coordinator serves raw TCP parties
// that speak the handshake and the named messages by hand, so that each can hang up right after any
// phrase or message; real Caller parties then show that the coordinator is still sound: no party,
// descriptor, thread or port is left behind, and a fresh rendezvous in the same conference completes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/conference.h"
#include "protocol/lock.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "test_support.h"
#include "tools/tqr/coordinator_server.h"

namespace {

using std::chrono::milliseconds;

const char* const kConference = "faults";
const char* const kKey = "faults-key";
// Seconds a sender's listener waits for its endstation here; an abandoned port returns this plus a
// margin later.
const char* const kListenTimeout = "1";
constexpr milliseconds kStep(10000);
constexpr milliseconds kPortsBack(15000);
constexpr int kRepetitions = 10;

// Bridge calls so far, on senders' listeners and on endstations' bridge threads.
std::atomic<int> g_bridged_senders{0};
std::atomic<int> g_bridged_endstations{0};

int pool_size() { return g_portmanager.top_port() - g_portmanager.coord_port(); }

bool in_pool(int port) { return port > g_portmanager.coord_port() && port <= g_portmanager.top_port(); }

// The sender's library closes its end when the callback returns; the endstation's end is the host's,
// and this host has no use for it.
void count_bridge(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    if (in_pool(ntohs(local.sin_port))) {
        ++g_bridged_senders;
    } else {
        close(fd);
        ++g_bridged_endstations;
    }
}

// A party that speaks the protocol by hand over a loopback socket.
class RawParty {
public:
    ~RawParty() { hang_up(); }

    bool connect_to(int port) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return m_fd >= 0 && connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    void say(const std::string& text) {
        std::string framed = text + '\0';
        ASSERT_EQ(send(m_fd, framed.data(), framed.size(), MSG_NOSIGNAL), static_cast<ssize_t>(framed.size())) << text;
    }
    // The next message, or "" when none comes within `limit` (or the link ends).
    std::string hear(milliseconds limit = kStep) {
        auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            size_t nul = m_pending.find('\0');
            if (nul != std::string::npos) {
                std::string message = m_pending.substr(0, nul);
                m_pending.erase(0, nul + 1);
                return message;
            }
            auto left = std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now());
            pollfd ready{m_fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return std::string();
            char chunk[1024];
            ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
            if (n <= 0) return std::string();
            m_pending.append(chunk, static_cast<size_t>(n));
        }
    }
    // The next message, which must start with `name`, decoded.
    DecodedMessage expect(const char* name) {
        std::string text = hear();
        DecodedMessage message;
        EXPECT_TRUE(text.compare(0, strlen(name), name) == 0) << "expected " << name << "got \"" << text << "\"";
        decode_message(text, &message);
        return message;
    }
    void hang_up() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    bool connected() const { return m_fd >= 0; }

private:
    int m_fd = -1;
    std::string m_pending;
};

std::string cookie_text(const void* cookie) {
    char text[32];
    snprintf(text, sizeof text, "%p", cookie);
    return text;
}

// A listening socket on 127.0.0.1, as a sender's listener would hold on a lent port.
int listen_on(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A real party: a Caller running the host's steps on a thread of its own.
struct RealParty {
    Caller caller;
    std::thread thread;
    std::atomic<bool> ended{false};

    void run(int type, const char* nickname) {
        thread = std::thread([this, type, nickname] {
            if (caller.connect(zel_test::coordinator_port(), "127.0.0.1", type, nickname, kConference, kKey) == 1) {
                caller.startreadthread();
                if (caller.negotiate(1, type, ROLE_COORDINATOR) == 1) caller.process();
            }
            ended = true;
        });
    }
    void stop() {
        if (int fd = caller.m_conn->fd()) shutdown(fd, SHUT_RDWR);
        if (thread.joinable()) thread.join();
    }
};

// Every step after which a party may hang up: the handshake phrases (both parties walk the script
// side by side), then the named messages of one rendezvous.
enum Step {
    CoordinatorPhrase,   // 1 "TQR Coordinator ", heard by both
    CallerIsPhrase,      // 2 "TQR Caller is ", said by both
    EndstationPhrase,    // 3 "TQR Endstation "
    SenderPhrase,        // 4 "TQR Sender "
    NamePhrase,          // 5 "From Endstation name "
    EndstationJoinPhrase,  // 6 "From Endstation join ": the endstation is filed
    SenderJoinPhrase,    // 7 "From Sender join ": the sender is filed
    NominateMessage,
    ApproveMessage,
    ListenMessage,
    ListeningMessage,
    ConnectMessage,
    ConnectedMessage,
    EndstationHappyMessage,
    SenderHappyMessage,
    AdiosMessage,
    StepCount
};

const char* const kStepNames[StepCount] = {
    "TQR Coordinator", "TQR Caller is", "TQR Endstation", "TQR Sender", "From Endstation name",
    "From Endstation join", "From Sender join", "Nominate", "Approve", "Listen", "Listening", "Connect",
    "Connected", "Endstation Happy", "Sender Happy", "Adios",
};

enum Vanishing { SenderVanishes, EndstationVanishes, BothVanish };
const char* const kVanishingNames[] = {"sender", "endstation", "both"};

// Failures recorded so far in the running test.
int failures() { return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); }

class FaultsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        zel_set_quiet(1);
        // Read per listener and per abandoned port, so it must be set before the first rendezvous.
        setenv("TQR_LISTEN_TIMEOUT", kListenTimeout, 1);
        set_bridge_callback(count_bridge);
        s_server = new CoordinatorServer();
        ASSERT_TRUE(s_server->start(zel_test::coordinator_port()));
    }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(s_server, nullptr);
        // One whole rendezvous first, so that what the process opens once (resolver files, the
        // coordinator's threads) is in the baseline.
        take_baseline();
    }

    // Waits until the coordinator serves no party but `staying` (a sender that stays, or none) and
    // files no conference but the staying sender's.
    bool settled(int staying = 0) {
        return zel_test::wait_until([&] { return s_server->parties() == staying; }, kStep) &&
               zel_test::wait_until([&] { return g_activelist.size() == static_cast<size_t>(staying); }, kStep);
    }

    // A real endstation meets a real sender (`sender`, or a new one) in the conference, and both are
    // bridged to each other.
    bool fresh_rendezvous(RealParty* sender = nullptr) {
        int senders = g_bridged_senders.load();
        int endstations = g_bridged_endstations.load();
        std::unique_ptr<RealParty> own_sender;
        if (sender == nullptr) {
            own_sender = std::make_unique<RealParty>();
            own_sender->run(ROLE_SENDER, "fresh-sender");
        }
        auto endstation = std::make_unique<RealParty>();
        endstation->run(ROLE_ENDSTATION, "fresh-endstation");
        // Waits long enough for a port held back by a failed rendezvous to come back.
        bool ended = zel_test::wait_until([&] { return endstation->ended.load(); }, kPortsBack);
        bool both_bridged = zel_test::wait_until(
            [&] { return g_bridged_senders.load() > senders && g_bridged_endstations.load() > endstations; }, kStep);
        endstation->stop();
        if (own_sender) own_sender->stop();
        EXPECT_TRUE(ended) << "the fresh endstation was never sent \"Adios \"";
        EXPECT_TRUE(both_bridged) << "the fresh parties were not both bridged";
        return ended && both_bridged;
    }

    // Takes the baseline of descriptors and threads, with `sender` (if any) in its conference.
    void take_baseline(RealParty* sender = nullptr) {
        ASSERT_TRUE(fresh_rendezvous(sender));
        ASSERT_TRUE(settled(sender ? 1 : 0));
        m_fds = zel_test::open_fds();
        m_threads = zel_test::thread_count();
    }

    // What every round must leave behind: nothing but the sender that stays, if any.
    void expect_nothing_left(const std::string& round, RealParty* sender = nullptr) {
        SCOPED_TRACE(round);
        const int staying = sender ? 1 : 0;
        ASSERT_TRUE(settled(staying)) << s_server->parties() << " parties still served, " << g_activelist.size()
                                      << " conferences filed";
        // Every lent port has come back or is on its way back; none is lent to parties that are gone.
        // (A staying sender may still be finishing the last message of the round.)
        EXPECT_TRUE(zel_test::wait_until(
            [] {
                return g_portmanager.lent_count() == 0 &&
                       g_portmanager.free_count() + g_portmanager.returning_count() == static_cast<size_t>(pool_size());
            },
            kStep))
            << g_portmanager.lent_count() << " ports lent, " << g_portmanager.free_count() << " free, "
            << g_portmanager.returning_count() << " returning, of " << pool_size();
        // With a sender that stays, its listeners for vanished endstations may wait out their time
        // limit meanwhile: their threads and sockets are counted once per step instead.
        if (!sender) expect_resources_back();
        EXPECT_TRUE(fresh_rendezvous(sender));
        EXPECT_TRUE(settled(staying));
    }

    // Descriptors and threads back to the baseline.
    void expect_resources_back() {
        EXPECT_TRUE(zel_test::wait_until([&] { return zel_test::open_fds() <= m_fds; }, kStep))
            << zel_test::open_fds() << " descriptors open, " << m_fds << " before";
        EXPECT_TRUE(zel_test::wait_until([&] { return zel_test::thread_count() <= m_threads; }, kStep))
            << zel_test::thread_count() << " threads, " << m_threads << " before";
    }

    // Every port of the pool is free again (ports of failed rendezvous come back after a delay).
    void expect_pool_full(const std::string& what) {
        EXPECT_TRUE(zel_test::wait_until([] { return g_portmanager.free_count() == static_cast<size_t>(pool_size()); },
                                         kPortsBack))
            << what << ": " << g_portmanager.free_count() << " of " << pool_size() << " ports free, "
            << g_portmanager.lent_count() << " lent, " << g_portmanager.returning_count() << " returning";
    }

    int m_fds = 0;
    int m_threads = 0;
    static CoordinatorServer* s_server;
};

CoordinatorServer* FaultsTest::s_server = nullptr;

// Walks one rendezvous by hand with a raw sender and a raw endstation, up to and including `last`,
// then hangs up the party or parties that vanish; the other hangs up once the coordinator has seen
// the first go.
class HandDrivenRendezvous {
public:
    HandDrivenRendezvous(Step last, Vanishing vanishing) : m_last(last), m_vanishing(vanishing) {}
    ~HandDrivenRendezvous() {
        if (m_listener >= 0) close(m_listener);
    }

    // Runs the steps (a step the coordinator does not play is a test failure), then the hang-ups.
    void run(const CoordinatorServer& server) {
        int before = failures();
        walk();
        if (failures() != before) return;
        // A party takes its direct-link end (and a sender its listener) with it.
        if (m_vanishing != EndstationVanishes) {
            m_sender.hang_up();
            m_sender_direct.hang_up();
            if (m_listener >= 0) close(m_listener);
            m_listener = -1;
        }
        if (m_vanishing != SenderVanishes) {
            m_endstation.hang_up();
            m_endstation_direct.hang_up();
        }
        // The coordinator lets the vanished party go while the other is still there.
        int staying = (m_sender.connected() ? 1 : 0) + (m_endstation.connected() ? 1 : 0);
        EXPECT_TRUE(zel_test::wait_until([&] { return server.parties() == staying; }, kStep))
            << server.parties() << " parties served, " << staying << " still connected";
        m_sender.hang_up();
        m_endstation.hang_up();
        m_sender_direct.hang_up();
        m_endstation_direct.hang_up();
        if (m_listener >= 0) close(m_listener);
        m_listener = -1;
    }

private:
    // true when the walk goes on after `step`.
    bool past(Step step) const { return step < m_last; }

    void walk() {
        ASSERT_TRUE(m_sender.connect_to(zel_test::coordinator_port()));
        ASSERT_TRUE(m_endstation.connect_to(zel_test::coordinator_port()));
        // The handshake, phrase by phrase in script order, each party doing its part.
        m_sender.expect("TQR Coordinator ");
        m_endstation.expect("TQR Coordinator ");
        if (!past(CoordinatorPhrase)) return;
        m_sender.say("TQR Caller is Sender");
        m_endstation.say("TQR Caller is Endstation");
        if (!past(CallerIsPhrase)) return;
        m_endstation.say("TQR Endstation 1.2");
        if (!past(EndstationPhrase)) return;
        m_sender.say("TQR Sender 1.2");
        if (!past(SenderPhrase)) return;
        m_endstation.say("From Endstation name hand");
        if (!past(NamePhrase)) return;
        m_endstation.say(std::string("From Endstation join ") + kConference);
        ASSERT_TRUE(zel_test::wait_until([] { return g_activelist.waiting(kConference) == 1; }, kStep));
        if (!past(EndstationJoinPhrase)) return;
        m_sender.say(std::string("From Sender join ") + kConference);
        // Filing the sender starts the nomination at once.
        DecodedMessage nominate = m_sender.expect("Nominate ");
        ASSERT_TRUE(nominate.has_cookie);
        EXPECT_EQ(nominate.info, "hand");
        const std::string endstation_cookie = cookie_text(nominate.cookie);
        if (!past(NominateMessage)) return;

        m_sender.say("Approve " + endstation_cookie + " ");
        if (!past(ApproveMessage)) return;
        DecodedMessage listen = m_sender.expect("Listen ");
        ASSERT_EQ(cookie_text(listen.cookie), endstation_cookie);
        const std::string port = listen.info;
        ASSERT_TRUE(in_pool(port_of(port))) << port;
        if (!past(ListenMessage)) return;

        m_listener = listen_on(port_of(port));
        ASSERT_GE(m_listener, 0) << "cannot listen on lent port " << port;
        m_sender.say("Listening " + endstation_cookie + " " + port);
        if (!past(ListeningMessage)) return;
        DecodedMessage connect = m_endstation.expect("Connect ");
        ASSERT_TRUE(connect.has_cookie);
        ASSERT_EQ(connect.info, port);
        const std::string sender_cookie = cookie_text(connect.cookie);
        if (!past(ConnectMessage)) return;

        // The direct link; what crosses it is none of the coordinator's business.
        ASSERT_TRUE(m_endstation_direct.connect_to(port_of(port)));
        int accepted = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(accepted, 0);
        m_sender_direct.adopt(accepted);
        close(m_listener);
        m_listener = -1;
        m_endstation.say("Connected " + sender_cookie + " " + port);
        if (!past(ConnectedMessage)) return;
        DecodedMessage happy = m_sender.expect("Endstation Happy ");
        ASSERT_EQ(cookie_text(happy.cookie), endstation_cookie);
        ASSERT_EQ(happy.info, port);
        if (!past(EndstationHappyMessage)) return;
        m_sender.say("Sender Happy " + endstation_cookie + " " + port);
        if (!past(SenderHappyMessage)) return;
        DecodedMessage adios = m_endstation.expect("Adios ");
        ASSERT_EQ(cookie_text(adios.cookie), endstation_cookie);
    }

    // A raw socket end that this walk owns.
    class Direct {
    public:
        ~Direct() { hang_up(); }
        bool connect_to(int port) { return m_party.connect_to(port); }
        void adopt(int fd) { m_fd = fd; }
        void hang_up() {
            m_party.hang_up();
            if (m_fd >= 0) close(m_fd);
            m_fd = -1;
        }
        bool connected() const { return m_party.connected() || m_fd >= 0; }

    private:
        RawParty m_party;
        int m_fd = -1;
    };

    Step m_last;
    Vanishing m_vanishing;
    RawParty m_sender;
    RawParty m_endstation;
    Direct m_sender_direct;
    Direct m_endstation_direct;
    int m_listener = -1;
};

TEST_F(FaultsTest, PartiesVanishingAtEveryStepLeaveNothingBehind) {
    for (int step = 0; step < StepCount; ++step) {
        // Ports of failed rendezvous come back a listener time limit later: they are awaited once per
        // step. Meanwhile a drained pool makes fresh rendezvous wait for them, which must work too.
        for (int vanishing = SenderVanishes; vanishing <= BothVanish; ++vanishing) {
            std::string name = std::string("after \"") + kStepNames[step] + "\", " + kVanishingNames[vanishing] +
                               " vanishing";
            int before = failures();
            // A case that fails once is not repeated: its rounds would only fail the same way.
            for (int round = 0; round < kRepetitions && failures() == before; ++round) {
                SCOPED_TRACE(name + ", round " + std::to_string(round));
                HandDrivenRendezvous rendezvous(static_cast<Step>(step), static_cast<Vanishing>(vanishing));
                rendezvous.run(*s_server);
                expect_nothing_left(name);
            }
            if (failures() != before) ADD_FAILURE() << "failing case: " << name;
        }
        expect_pool_full(std::string("after \"") + kStepNames[step] + "\"");
    }
}

// A party that says what only the other role says. Cookies are no secret (a party hears some, and
// they are addresses), so the coordinator must act on a message only from the role that sends it: an
// endstation that approves another endstation, claims its port is in use or reports it happy could
// otherwise take ports, retire them, or send that endstation "Adios " before its rendezvous, and one
// that says "Listen " could make the coordinator listen on a port of its choosing.
TEST_F(FaultsTest, PartiesCannotSpeakForAnotherRole) {
    auto victim = std::make_unique<RealParty>();
    victim->run(ROLE_ENDSTATION, "victim");
    ASSERT_TRUE(zel_test::wait_until([] { return g_activelist.waiting(kConference) == 1; }, kStep));
    const void* victim_cookie = nullptr;
    {
        // The coordinator's Caller of the victim, as a rogue could guess or hear it.
        zel::MutexGuard registry(g_activelist.m_mutex);
        Conference* conference = g_activelist.m_conferences.at(kConference);
        zel::MutexGuard list(conference->m_list_mutex);
        victim_cookie = conference->m_receivers.front();
    }

    RawParty rogue;
    ASSERT_TRUE(rogue.connect_to(zel_test::coordinator_port()));
    rogue.expect("TQR Coordinator ");
    rogue.say("TQR Caller is Endstation");
    rogue.say("TQR Endstation 1.2");
    rogue.say("From Endstation name rogue");
    rogue.say(std::string("From Endstation join ") + kConference);
    ASSERT_TRUE(zel_test::wait_until([] { return g_activelist.waiting(kConference) == 2; }, kStep));

    const std::string victim_text = cookie_text(victim_cookie);
    const int free_port = zel_test::port(0);
    std::vector<std::string> answers;
    rogue.say("Approve " + victim_text + " ");
    // Were the approval taken, the rogue would learn the victim's port here and end its rendezvous.
    std::string answer = rogue.hear(milliseconds(300));
    DecodedMessage listen;
    std::string port = std::to_string(g_portmanager.coord_port() + 1);
    if (!answer.empty()) {
        answers.push_back(answer);
        if (decode_message(answer, &listen) && listen.type == MSG_LISTEN) port = listen.info;
    }
    rogue.say("Listening " + victim_text + " " + port);
    rogue.say("Sender Happy " + victim_text + " " + port);
    rogue.say("Port_In_Use " + victim_text + " " + port);
    rogue.say("Listen " + victim_text + " " + std::to_string(free_port));
    rogue.say("Nominate " + victim_text + " rogue");
    rogue.say("Endstation Happy " + victim_text + " " + port);
    rogue.say("Adios " + victim_text + " ");
    for (answer = rogue.hear(milliseconds(300)); !answer.empty(); answer = rogue.hear(milliseconds(300)))
        answers.push_back(answer);
    EXPECT_TRUE(answers.empty()) << "the coordinator answered messages that endstations never send, first: "
                                 << answers.front();
    EXPECT_EQ(g_portmanager.lent_count(), 0u);
    EXPECT_EQ(s_server->parties(), 2) << "the rogue's link was ended";

    // No listener of the coordinator's took the port the rogue named.
    RawParty knock;
    EXPECT_FALSE(knock.connect_to(free_port)) << "the coordinator listens on port " << free_port;
    knock.hang_up();

    // The victim still meets its sender.
    int senders = g_bridged_senders.load();
    int endstations = g_bridged_endstations.load();
    auto sender = std::make_unique<RealParty>();
    sender->run(ROLE_SENDER, "sender");
    EXPECT_TRUE(zel_test::wait_until([&] { return victim->ended.load(); }, kPortsBack));
    EXPECT_TRUE(zel_test::wait_until(
        [&] { return g_bridged_senders.load() > senders && g_bridged_endstations.load() > endstations; }, kStep));
    rogue.hang_up();
    victim->stop();
    sender->stop();
    EXPECT_TRUE(settled());
    expect_pool_full("after the rogue endstation");
}

// The endstation's side of a rendezvous by hand, up to and including `last`, against a real sender
// that stays; then the endstation hangs up.
void walk_endstation(Step last, const std::string& key) {
    RawParty endstation;
    ASSERT_TRUE(endstation.connect_to(zel_test::coordinator_port()));
    endstation.expect("TQR Coordinator ");
    if (last == CoordinatorPhrase) return;
    endstation.say("TQR Caller is Endstation");
    if (last == CallerIsPhrase) return;
    endstation.say("TQR Endstation 1.2");
    if (last == EndstationPhrase) return;
    endstation.say("From Endstation name hand");
    if (last == NamePhrase) return;
    endstation.say(std::string("From Endstation join ") + kConference);
    if (last == EndstationJoinPhrase) {
        // Filed and, with the sender there, nominated at once: the sender is lent a port for it.
        EXPECT_TRUE(zel_test::wait_until([] { return g_portmanager.lent_count() == 1; }, kStep));
        return;
    }
    DecodedMessage connect = endstation.expect("Connect ");
    ASSERT_TRUE(connect.has_cookie);
    if (last == ConnectMessage) return;

    RawParty direct;
    ASSERT_TRUE(direct.connect_to(port_of(connect.info)));
    if (last == ListeningMessage) return;  // linked to the sender's listener, but no key and no word
    // The endstation's key frame: odd indices in clear, even ones hidden, then the NUL.
    std::string frame = key;
    for (size_t i = 0; i < frame.size(); i += 2) frame[i] = static_cast<char>(0xFF);
    int senders = g_bridged_senders.load();
    direct.say(frame);
    endstation.say("Connected " + cookie_text(connect.cookie) + " " + connect.info);
    EXPECT_TRUE(zel_test::wait_until([&] { return g_bridged_senders.load() > senders; }, kStep))
        << "the sender did not take the endstation's key";
    if (last == ConnectedMessage) return;
    endstation.expect("Adios ");
}

// A real sender stays while endstations vanish at each of their steps; it goes on serving the next.
TEST_F(FaultsTest, SenderOutlivesEndstationsVanishingAtEveryStep) {
    auto sender = std::make_unique<RealParty>();
    sender->run(ROLE_SENDER, "staying-sender");
    ASSERT_TRUE(zel_test::wait_until([] { return g_activelist.size() == 1; }, kStep));
    take_baseline(sender.get());
    // ListeningMessage stands for "connected to the sender's listener, nothing said".
    const Step steps[] = {CoordinatorPhrase, CallerIsPhrase,  EndstationPhrase, NamePhrase,  EndstationJoinPhrase,
                          ConnectMessage,    ListeningMessage, ConnectedMessage, AdiosMessage};
    const char* const names[] = {"TQR Coordinator", "TQR Caller is", "TQR Endstation", "From Endstation name",
                                 "From Endstation join", "Connect", "linked to the sender, silent", "Connected",
                                 "Adios"};
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        std::string name = std::string("endstation vanishing after \"") + names[i] + "\"";
        int before = failures();
        for (int round = 0; round < kRepetitions && failures() == before; ++round) {
            SCOPED_TRACE(name + ", round " + std::to_string(round));
            walk_endstation(steps[i], kKey);
            expect_nothing_left(name, sender.get());
        }
        expect_pool_full(name);
        expect_resources_back();
        if (failures() != before) ADD_FAILURE() << "failing case: " << name;
    }
    EXPECT_FALSE(sender->ended.load()) << "the sender's message loop ended";
    sender->stop();
    EXPECT_TRUE(settled());
}

}  // namespace
