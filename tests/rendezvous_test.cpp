// Whole rendezvous over loopback in one process: an in-process coordinator, senders and endstations
// running the same steps as their hosts would.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/lock.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "test_support.h"
#include "tools/tqr/coordinator_server.h"

namespace {

using namespace std::string_literals;

// A socket the bridge handed over, and whether it is the sender's end (accepted on a pool port).
struct Bridged {
    int fd;
    bool sender_side;
};
std::mutex g_bridged_mutex;
std::vector<Bridged> g_bridged;

void keep_socket(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    int port = ntohs(local.sin_port);
    bool sender_side = port > g_portmanager.coord_port() && port <= g_portmanager.top_port();
    // The sender's library closes its socket when the callback returns: keep a copy. The endstation's
    // socket is the host's from now on.
    std::lock_guard<std::mutex> guard(g_bridged_mutex);
    g_bridged.push_back({sender_side ? dup(fd) : fd, sender_side});
}

size_t bridged_count() {
    std::lock_guard<std::mutex> guard(g_bridged_mutex);
    return g_bridged.size();
}

std::vector<Bridged> take_bridged() {
    std::lock_guard<std::mutex> guard(g_bridged_mutex);
    std::vector<Bridged> taken;
    taken.swap(g_bridged);
    return taken;
}

void close_bridged() {
    for (const Bridged& b : take_bridged()) close(b.fd);
}

std::vector<std::string> free_ports() {
    g_portmanager.free_count();  // brings back abandoned ports whose time has come
    zel::MutexGuard guard(g_portmanager.m_mutex);
    std::vector<std::string> ports;
    for (PortEntry* entry : g_portmanager.m_free) ports.push_back(entry->text);
    return ports;
}

std::mutex g_reports_mutex;
std::vector<std::string> g_reports;  // "port outcome" per rendezvous ended on the coordinator

void record_report(const RendezvousReport& report) {
    std::lock_guard<std::mutex> guard(g_reports_mutex);
    g_reports.push_back(report.port + " " + report.outcome);
}

std::vector<std::string> reports() {
    std::lock_guard<std::mutex> guard(g_reports_mutex);
    return g_reports.empty() ? std::vector<std::string>{""} : g_reports;
}

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
    size_t count(const std::string& piece) {
        std::string all = text();
        size_t n = 0;
        for (size_t at = all.find(piece); at != std::string::npos; at = all.find(piece, at + 1)) ++n;
        return n;
    }

private:
    std::string m_path;
};

struct Party {
    Caller caller;
    std::thread thread;
    std::atomic<bool> negotiated{false};
    std::atomic<bool> ended{false};

    void run(int type, const char* nickname, const char* confid, const char* key,
             int port = zel_test::coordinator_port()) {
        thread = std::thread([=] {
            if (caller.connect(port, "127.0.0.1", type, nickname, confid, key) != 1) return;
            caller.startreadthread();
            if (caller.negotiate(1, type, ROLE_COORDINATOR) != 1) return;
            negotiated = true;
            caller.process();
            ended = true;
        });
    }
    ~Party() { stop(); }
    void stop() {
        if (caller.m_conn->fd()) shutdown(caller.m_conn->fd(), SHUT_RDWR);
        if (thread.joinable()) thread.join();
    }
    // One endstation's whole rendezvous: true once its loop has ended (on "Adios ").
    bool rendezvous(const char* confid, const char* key) {
        run(ROLE_ENDSTATION, "e", confid, key);
        bool done = zel_test::wait_until([&] { return ended.load(); });
        stop();
        return done;
    }
};

// A party that is no library Caller: it speaks its handshake and then whatever a case needs.
struct RawParty {
    int fd = -1;
    RawParty(int role, const std::string& confid) {
        sockaddr_in coordinator{};
        coordinator.sin_family = AF_INET;
        coordinator.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        coordinator.sin_port = htons(static_cast<uint16_t>(zel_test::coordinator_port()));
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&coordinator), sizeof coordinator) != 0) return;
        for (const std::string& line : role == ROLE_SENDER
                 ? std::vector<std::string>{"TQR Caller is Sender", "TQR Sender 1.2", "From Sender join " + confid}
                 : std::vector<std::string>{"TQR Caller is Endstation", "TQR Endstation 1.2",
                                            "From Endstation name raw", "From Endstation join " + confid})
            say(line);
    }
    ~RawParty() { close(fd); }
    void say(const std::string& text) { send(fd, text.c_str(), text.size() + 1, MSG_NOSIGNAL); }
    // The next message that starts with `prefix`; "" when none comes in time.
    std::string next(const std::string& prefix) {
        std::string text;
        char byte;
        pollfd ready{fd, POLLIN, 0};
        while (poll(&ready, 1, 10000) > 0 && read(fd, &byte, 1) == 1) {
            if (byte != '\0') {
                text += byte;
            } else if (text.rfind(prefix, 0) == 0) {
                return text;
            } else {
                text.clear();
            }
        }
        return "";
    }
};

// Exactly `n` bytes from `fd`, or what came before the wait ran out.
std::string read_exactly(int fd, size_t n) {
    std::string got;
    char chunk[64];
    pollfd ready{fd, POLLIN, 0};
    while (got.size() < n && poll(&ready, 1, 10000) > 0) {
        ssize_t r = read(fd, chunk, std::min(sizeof chunk, n - got.size()));
        if (r <= 0) break;
        got.append(chunk, static_cast<size_t>(r));
    }
    return got;
}

// The word after `name` in a message text: its cookie.
std::string cookie_of(const std::string& text, const std::string& name) {
    size_t at = text.find(name);
    if (at == std::string::npos) return "";
    at += name.size();
    return text.substr(at, text.find_first_of(" \n", at) - at);
}

TEST(RendezvousTest, SenderServesEndstationsOneAfterAnother) {
    zel_set_quiet(1);
    set_bridge_callback(keep_socket);
    CoordinatorServer server;
    ASSERT_TRUE(server.start(zel_test::coordinator_port()));
    Party sender;
    sender.run(ROLE_SENDER, "s", "conf", "secret");
    ASSERT_TRUE(zel_test::wait_until([&] { return sender.negotiated.load(); }));
    size_t free_before = g_portmanager.free_count();
    for (int i = 0; i < 50; ++i) {
        Party endstation;
        endstation.run(ROLE_ENDSTATION, "e", "conf", "secret");
        ASSERT_TRUE(zel_test::wait_until([&] { return endstation.ended.load(); })) << "rendezvous " << i;
        endstation.thread.join();
    }
    EXPECT_TRUE(zel_test::wait_until([&] { return g_portmanager.free_count() == free_before; }));
    EXPECT_TRUE(zel_test::wait_until([] { return bridged_count() == 100; }));
    sender.stop();
    server.stop();
    EXPECT_EQ(bridged_count(), 100u);
    close_bridged();
}

TEST(RendezvousTest, ACoordinatorRunByHandCarriesARendezvousEndToEnd) {
    zel_set_quiet(1);
    set_bridge_callback(keep_socket);
    const int fds_before = zel_test::open_fds();
    {
        const std::vector<std::string> pool_before = free_ports();
        ASSERT_FALSE(pool_before.empty());
        Caller listener;
        const int port = zel_test::port(1);
        ASSERT_NE(listener.listen(port, 8, 0), 0);

        // Each party is taken through the coordinator's steps as a host would: accept, Caller(fd),
        // reader, handshake. The join step follows for both, and the conference thread it starts sends
        // "Nominate " by itself. Nominating by hand as well would start a second rendezvous for the same
        // endstation, and a nomination is only acted on when its cookie names a joined Caller, so the
        // join step is what a hand-driven coordinator must run, and the nomination is left to it.
        Party sender, endstation;
        sender.run(ROLE_SENDER, "s", "manual", "k3y!", port);
        Caller coord_sender(listener.accept(0));
        coord_sender.startreadthread();
        ASSERT_EQ(coord_sender.negotiate(1, ROLE_COORDINATOR, ROLE_CALLER), 1);
        endstation.run(ROLE_ENDSTATION, "e", "manual", "k3y!", port);
        Caller coord_endstation(listener.accept(0));
        coord_endstation.startreadthread();
        ASSERT_EQ(coord_endstation.negotiate(1, ROLE_COORDINATOR, ROLE_CALLER), 1);
        EXPECT_EQ(coord_sender.m_type, ROLE_SENDER);
        EXPECT_EQ(coord_endstation.m_nickname, "e");
        ASSERT_TRUE(coord_sender.joinconference());
        ASSERT_TRUE(coord_endstation.joinconference());
        std::thread sender_loop([&] { coord_sender.process(); });
        std::thread endstation_loop([&] { coord_endstation.process(); });

        // "Adios " ends the endstation's loop once its bridge has the socket.
        EXPECT_TRUE(zel_test::wait_until([&] { return endstation.ended.load(); }));
        EXPECT_TRUE(zel_test::wait_until([] { return bridged_count() == 2; }));
        std::vector<Bridged> bridged = take_bridged();
        EXPECT_EQ(bridged.size(), 2u);
        if (bridged.size() == 2) {
            int sender_end = bridged[0].sender_side ? bridged[0].fd : bridged[1].fd;
            int endstation_end = bridged[0].sender_side ? bridged[1].fd : bridged[0].fd;
            EXPECT_NE(bridged[0].sender_side, bridged[1].sender_side);
            EXPECT_EQ(write(sender_end, "to endstation", 13), 13);
            EXPECT_EQ(read_exactly(endstation_end, 13), "to endstation");
            EXPECT_EQ(write(endstation_end, "to sender", 9), 9);
            EXPECT_EQ(read_exactly(sender_end, 9), "to sender");
        }
        for (const Bridged& b : bridged) close(b.fd);

        // The lent port was the oldest free one, and it is back at the end of the queue.
        const std::vector<std::string> pool_after = free_ports();
        EXPECT_EQ(pool_after.size(), pool_before.size());
        EXPECT_EQ(pool_after.back(), pool_before.front());

        sender.stop();
        endstation.stop();
        sender_loop.join();
        endstation_loop.join();
        // The loops return once the links have ended; the readers' leave steps then empty the registry.
        EXPECT_TRUE(zel_test::wait_until([&] { return coord_sender.reader_done() && coord_endstation.reader_done(); }));
        EXPECT_EQ(g_activelist.waiting("manual"), -1);
        listener.m_conn->close_listener();
    }
    EXPECT_EQ(zel_test::open_fds(), fds_before);
}

TEST(RendezvousTest, APortHeldElsewhereIsRetiredAndAnotherLent) {
    zel_set_quiet(1);
    set_bridge_callback(keep_socket);
    set_rendezvous_observer(record_report);
    const std::vector<std::string> pool = free_ports();
    const std::string taken = pool.front();
    int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;  // earlier links on that port may linger in TIME_WAIT
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(atoi(taken.c_str())));
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(listen(blocker, 1), 0);

    LogCapture log;
    CoordinatorServer server;
    ASSERT_TRUE(server.start(zel_test::coordinator_port()));
    Party sender, endstation;
    sender.run(ROLE_SENDER, "s", "inuse", "key");
    ASSERT_TRUE(zel_test::wait_until([&] { return sender.negotiated.load(); }));
    EXPECT_TRUE(endstation.rendezvous("inuse", "key"));
    EXPECT_TRUE(zel_test::wait_until([] { return bridged_count() == 2; }));
    EXPECT_EQ(log.count("received: Port_In_Use "), 1u);
    EXPECT_EQ(log.count("received: Listening "), 1u);
    std::vector<std::string> after = free_ports();
    EXPECT_EQ(after.size(), pool.size() - 1);
    EXPECT_EQ(std::count(after.begin(), after.end(), taken), 0);
    {
        zel::MutexGuard guard(g_portmanager.m_mutex);
        ASSERT_FALSE(g_portmanager.m_in_use.empty());
        EXPECT_EQ(g_portmanager.m_in_use.back()->text, taken);
    }
    EXPECT_EQ(reports().back(), pool[1] + " ok");

    sender.stop();
    server.stop();
    close(blocker);
    g_portmanager.recycle_port(taken);  // the next case gets the whole pool
    close_bridged();
    set_rendezvous_observer(nullptr);
}

TEST(RendezvousTest, AnEndstationThatCannotReachItsSenderReportsFailed) {
    zel_set_quiet(1);
    set_rendezvous_observer(record_report);
    setenv("TQR_LISTEN_TIMEOUT", "1", 1);  // the abandoned port returns 1 + 2 seconds later
    const size_t free_before = free_ports().size();
    LogCapture log;
    CoordinatorServer server;
    ASSERT_TRUE(server.start(zel_test::coordinator_port()));
    // A sender that says it listens and does not.
    RawParty liar(ROLE_SENDER, "failing");
    Party endstation;
    endstation.run(ROLE_ENDSTATION, "e", "failing", "key");
    std::string nomination = liar.next("Nominate ");
    std::string cookie = cookie_of(nomination, "Nominate ");
    ASSERT_FALSE(cookie.empty()) << nomination;
    liar.say("Approve " + cookie + " ");
    std::string listen = liar.next("Listen ");
    std::string port = listen.substr(listen.rfind(' ') + 1);
    ASSERT_EQ(listen, "Listen " + cookie + " " + port);
    liar.say("Listening " + cookie + " " + port);

    // The coordinator hears "Failed " and reports the rendezvous as failed.
    EXPECT_TRUE(zel_test::wait_until([&] { return reports().back() == port + " connect_failed"; }));
    EXPECT_EQ(log.count("received: Failed "), 1u);
    EXPECT_FALSE(endstation.ended.load());
    EXPECT_EQ(free_ports().size(), free_before - 1);
    // The port comes back once a listener would have given up on it.
    EXPECT_TRUE(zel_test::wait_until([&] { return free_ports().size() == free_before; },
                                     std::chrono::milliseconds(15000)));
    endstation.stop();
    server.stop();
    unsetenv("TQR_LISTEN_TIMEOUT");
    set_rendezvous_observer(nullptr);
}

TEST(RendezvousTest, WithoutABridgeOrWithKeysThatDifferTheLoopStillReachesAdios) {
    zel_set_quiet(1);
    const size_t free_before = free_ports().size();
    CoordinatorServer server;
    ASSERT_TRUE(server.start(zel_test::coordinator_port()));
    Party sender;
    sender.run(ROLE_SENDER, "s", "nobridge", "abcdef");
    ASSERT_TRUE(zel_test::wait_until([&] { return sender.negotiated.load(); }));
    {
        // Index 0 is checked by the endstation, index 5 by the sender: neither side bridges.
        set_bridge_callback(keep_socket);
        zel_test::StderrCapture captured;
        Party endstation;
        EXPECT_TRUE(endstation.rendezvous("nobridge", "xbcdeY"));
        EXPECT_TRUE(zel_test::wait_until([&] {
            std::string text = captured.text();
            size_t first = text.find("TQR: keys do not match\n");
            return first != std::string::npos && text.find("TQR: keys do not match\n", first + 1) != std::string::npos;
        }));
        EXPECT_EQ(bridged_count(), 0u);
    }
    {
        set_bridge_callback(nullptr);
        zel_test::StderrCapture captured;
        zel_set_quiet(0);
        Party endstation;
        EXPECT_TRUE(endstation.rendezvous("nobridge", "abcdef"));
        EXPECT_NE(captured.text().find("no bridge!!!!!!!!!!!!\n"), std::string::npos);
        EXPECT_TRUE(zel_test::wait_until([&] { return captured.text().find("no bridge for endstation\n") != std::string::npos; }));
        EXPECT_EQ(captured.text().find("keys do not match"), std::string::npos);
        zel_set_quiet(1);
    }
    EXPECT_TRUE(zel_test::wait_until([&] { return free_ports().size() == free_before; }));
    sender.stop();
    server.stop();
}

TEST(RendezvousTest, ForgedAndForeignCookiesAreIgnored) {
    zel_set_quiet(1);
    set_bridge_callback(keep_socket);
    LogCapture log;
    CoordinatorServer server;
    ASSERT_TRUE(server.start(zel_test::coordinator_port()));
    Party sender;
    sender.run(ROLE_SENDER, "s", "honest", "key");
    ASSERT_TRUE(zel_test::wait_until([&] { return sender.negotiated.load(); }));
    {
        Party first;
        ASSERT_TRUE(first.rendezvous("honest", "key"));
    }
    // The honest sender's cookie, as the coordinator gave it to the endstation in "Connect ".
    const std::string honest_sender = cookie_of(log.text(), "received: Connect ");
    ASSERT_FALSE(honest_sender.empty());

    // A forger joins another conference as its sender and is nominated a real endstation; a second
    // forger joins it as an endstation.
    RawParty forger(ROLE_SENDER, "evil");
    Party victim;
    victim.run(ROLE_ENDSTATION, "victim", "evil", "key");
    const std::string victim_cookie = cookie_of(forger.next("Nominate "), "Nominate ");
    ASSERT_FALSE(victim_cookie.empty());
    RawParty accomplice(ROLE_ENDSTATION, "evil");
    ASSERT_FALSE(forger.next("Nominate ").empty());
    ASSERT_TRUE(zel_test::wait_until([] { return bridged_count() == 2; }));
    const size_t free_before = free_ports().size();
    const std::string port = free_ports().front();

    std::mt19937_64 random(20240601);
    for (int i = 0; i < 100; ++i) {
        char cookie[32];
        snprintf(cookie, sizeof cookie, "%p", reinterpret_cast<void*>(random()));
        forger.say("Approve "s + cookie + " ");
    }
    for (const std::string& cookie : {honest_sender, victim_cookie, "0x10"s}) {
        if (cookie != victim_cookie) forger.say("Approve " + cookie + " ");
        forger.say("Sender Happy " + cookie + " " + port);
        forger.say("Listening " + cookie + " " + port);
        forger.say("Port_In_Use " + cookie + " " + port);
        forger.say("Connected " + cookie + " " + port);  // not the sender's to say
        accomplice.say("Connected " + cookie + " " + port);
        accomplice.say("Approve " + cookie + " ");  // not the endstation's to say
    }
    forger.say("Approve nothing");
    forger.say("Listening " + victim_cookie);
    forger.say("Sender Happy " + victim_cookie + " ");
    // Every one of them is logged as ignored, and nothing else happens.
    const size_t forged = 100 + 2 + 3 * 3 + 3 + 3 * 2 + 3;
    EXPECT_TRUE(zel_test::wait_until([&] { return log.count("TQR: ignoring ") == forged; }));
    EXPECT_EQ(log.count("TQR: ignoring "), forged);
    EXPECT_EQ(free_ports().size(), free_before);
    EXPECT_EQ(g_portmanager.lent_count(), 0u);
    EXPECT_EQ(log.count("received: Connect "), 1u);  // the first honest rendezvous only
    EXPECT_EQ(log.count("received: Endstation Happy "), 1u);
    EXPECT_EQ(log.count("received: Adios "), 1u);
    EXPECT_FALSE(victim.ended.load());

    // The honest sender goes on serving as before.
    {
        Party second;
        EXPECT_TRUE(second.rendezvous("honest", "key"));
    }
    EXPECT_TRUE(zel_test::wait_until([] { return bridged_count() == 4; }));
    EXPECT_TRUE(zel_test::wait_until([&] { return free_ports().size() == free_before; }));
    victim.stop();
    sender.stop();
    server.stop();
    close_bridged();
}

TEST(RendezvousTest, OneSenderBridgesTwoHundredEndstationsArrivingAtOnce) {
    zel_set_quiet(1);
    set_bridge_callback(keep_socket);
    CoordinatorServer server;
    ASSERT_TRUE(server.start(zel_test::coordinator_port()));
    Party sender;
    sender.run(ROLE_SENDER, "s", "crowd", "key");
    ASSERT_TRUE(zel_test::wait_until([&] { return sender.negotiated.load(); }));
    const size_t free_before = g_portmanager.free_count();
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<Party>> crowd;
    for (int i = 0; i < 200; ++i) {
        crowd.emplace_back(new Party);
        crowd.back()->run(ROLE_ENDSTATION, "e", "crowd", "key");
    }
    for (auto& endstation : crowd) {
        EXPECT_TRUE(zel_test::wait_until([&] { return endstation->ended.load(); }, std::chrono::seconds(120)));
        endstation->stop();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("200 rendezvous through a pool of %zu ports in %.2f s\n", free_before, seconds);
    EXPECT_TRUE(zel_test::wait_until([] { return bridged_count() == 400; }));
    EXPECT_TRUE(zel_test::wait_until([&] { return g_portmanager.free_count() == free_before; }));
    sender.stop();
    server.stop();
    close_bridged();
}

TEST(RendezvousTest, ASecondSenderIsRejectedAndItsLoopReturns) {
    zel_set_quiet(1);
    set_bridge_callback(keep_socket);
    CoordinatorServer server;
    ASSERT_TRUE(server.start(zel_test::coordinator_port()));
    Party first, second;
    first.run(ROLE_SENDER, "s1", "rejecting", "key");
    ASSERT_TRUE(zel_test::wait_until([&] { return first.negotiated.load(); }));
    ASSERT_TRUE(zel_test::wait_until([] { return g_activelist.waiting("rejecting") == 0; }));
    {
        zel_test::StderrCapture captured;
        zel_set_quiet(0);
        second.run(ROLE_SENDER, "s2", "rejecting", "key");
        ASSERT_TRUE(zel_test::wait_until([&] { return second.ended.load(); }));
        EXPECT_TRUE(second.caller.rejected());
        EXPECT_FALSE(first.caller.rejected());
        zel_set_quiet(1);
        std::string text = captured.text();
        size_t rejected = text.find("TQR: Sender is rejected by coordinator\n");
        size_t received = text.find("TQR: Sender received msg 12\n", rejected);
        EXPECT_NE(rejected, std::string::npos) << text;
        EXPECT_NE(text.find("TQR: terminating\n", received), std::string::npos);
    }
    second.stop();
    EXPECT_EQ(server.rejected_senders(), 1);
    Party endstation;
    EXPECT_TRUE(endstation.rendezvous("rejecting", "key"));
    EXPECT_TRUE(zel_test::wait_until([] { return bridged_count() == 2; }));
    first.stop();
    server.stop();
    close_bridged();
}

}  // namespace
