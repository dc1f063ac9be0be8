// Whole rendezvous over loopback in one process: an in-process coordinator, senders and endstations
// running the same steps as their hosts would, and raw parties where a case needs a party that lies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>

#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/lock.h"
#include "protocol/portmanager.h"
#include "raw_party.h"
#include "tools/tqr/coordinator_server.h"

namespace {

using namespace zel_test;
using namespace std::string_literals;

// The free ports, oldest first.
std::vector<std::string> free_ports() {
    g_portmanager.free_count();  // brings back abandoned ports whose time has come
    zel::MutexGuard guard(g_portmanager.m_mutex);
    std::vector<std::string> ports;
    for (PortEntry* entry : g_portmanager.m_free) ports.push_back(entry->text);
    return ports;
}

// The word after `name` in a text: its cookie.
std::string cookie_of(const std::string& text, const std::string& name) {
    size_t at = text.find(name);
    if (at == std::string::npos) return "";
    at += name.size();
    return text.substr(at, text.find_first_of(" \n", at) - at);
}

// A sender that serves many endstations in turn through the pool of 20 ports: the first rendezvous
// in detail (each bridge gets its end of one link, "Adios " ends the endstation's loop, the lent port
// was the oldest free one and goes back to the end of the queue), then 49 more; then endstations whose
// keys differ, and one with no bridge installed: no bridge is called, and the loops still end.
TEST(RendezvousTest, OneSenderServesFiftyEndstationsInTurnOverLinksThatCarryBytes) {
    zel_set_quiet(1);
    set_bridge_callback(record_bridge);
    const int fds_before = open_fds();
    {
        const std::vector<std::string> pool_before = free_ports();
        ASSERT_EQ(pool_before.size(), 20u);
        CoordinatorServer server;
        ASSERT_TRUE(server.start(coordinator_port()));
        CallerParty sender;
        sender.run(ROLE_SENDER, "s", "turns", "secret");
        ASSERT_TRUE(wait_until([&] { return sender.negotiated.load(); }));
        {
            CallerParty endstation;
            ASSERT_TRUE(endstation.rendezvous("turns", "secret"));
        }
        ASSERT_TRUE(wait_until([] { return bridged_count() == 2; }));
        std::vector<Bridged> bridged = take_bridged();
        ASSERT_NE(bridged[0].sender_side, bridged[1].sender_side);
        int sender_end = bridged[bridged[0].sender_side ? 0 : 1].fd;
        int endstation_end = bridged[bridged[0].sender_side ? 1 : 0].fd;
        EXPECT_EQ(write(sender_end, "to endstation", 14), 14);
        EXPECT_EQ(read_frame(endstation_end), nul("to endstation"));
        EXPECT_EQ(write(endstation_end, "to sender", 10), 10);
        EXPECT_EQ(read_frame(sender_end), nul("to sender"));
        for (const Bridged& b : bridged) close(b.fd);
        EXPECT_TRUE(wait_until([&] { return free_ports().size() == pool_before.size(); }));
        EXPECT_EQ(free_ports().back(), pool_before.front());

        for (int i = 1; i < 50; ++i) {
            CallerParty endstation;
            ASSERT_TRUE(endstation.rendezvous("turns", "secret")) << "rendezvous " << i;
        }
        EXPECT_TRUE(wait_until([] { return bridged_count() == 98; }));
        close_bridged();
        {
            // Index 0 is checked by the endstation, index 5 by the sender: neither side bridges.
            StderrCapture captured;
            CallerParty endstation;
            EXPECT_TRUE(endstation.rendezvous("turns", "xecreT"));
            EXPECT_TRUE(wait_until([&] { return count(captured.text(), "TQR: keys do not match\n") == 2; }));
        }
        {
            set_bridge_callback(nullptr);
            StderrCapture captured;
            zel_set_quiet(0);
            CallerParty endstation;
            EXPECT_TRUE(endstation.rendezvous("turns", "secret"));
            EXPECT_NE(captured.text().find("no bridge!!!!!!!!!!!!\n"), std::string::npos);
            EXPECT_TRUE(wait_until([&] { return captured.text().find("no bridge for endstation\n") != std::string::npos; }));
            EXPECT_EQ(captured.text().find("keys do not match"), std::string::npos);
            zel_set_quiet(1);
            set_bridge_callback(record_bridge);
        }
        EXPECT_EQ(bridged_count(), 0u);
        EXPECT_TRUE(wait_until([&] { return free_ports().size() == pool_before.size(); }));
        sender.stop();
        server.stop();
        EXPECT_EQ(g_activelist.waiting("turns"), -1);
    }
    EXPECT_TRUE(wait_until([&] { return open_fds() == fds_before; })) << open_fds() << " open, " << fds_before << " before";
}

// A pool port held by another socket: the sender says "Port_In_Use ", the port is retired and the
// next one carries the rendezvous. A sender that says it listens and does not: its endstation says
// "Failed ", and the port comes back once a listener would have given up on it.
TEST(RendezvousTest, PortsThatCannotBeUsedAreRetiredOrReturnLater) {
    zel_set_quiet(1);
    set_bridge_callback(record_bridge);
    setenv("TQR_LISTEN_TIMEOUT", "1", 1);  // an abandoned port returns 1 + 2 seconds later
    const std::vector<std::string> pool = free_ports();
    int blocker = listen_on(atoi(pool.front().c_str()), 1);
    ASSERT_GE(blocker, 0);
    CoordinatorServer server;
    ASSERT_TRUE(server.start(coordinator_port()));
    CallerParty sender, endstation, stranded;
    sender.run(ROLE_SENDER, "s", "inuse", "key");
    ASSERT_TRUE(wait_until([&] { return sender.negotiated.load(); }));
    EXPECT_TRUE(endstation.rendezvous("inuse", "key"));
    EXPECT_TRUE(wait_until([] { return bridged_count() == 2; }));
    std::vector<std::string> after;
    EXPECT_TRUE(wait_until([&] { return (after = free_ports()).size() == pool.size() - 1; }));
    EXPECT_EQ(std::count(after.begin(), after.end(), pool.front()), 0);
    {
        zel::MutexGuard guard(g_portmanager.m_mutex);
        ASSERT_FALSE(g_portmanager.m_in_use.empty());
        EXPECT_EQ(g_portmanager.m_in_use.back()->text, pool.front());
    }
    close(blocker);
    g_portmanager.recycle_port(pool.front());

    RawParty liar, unused;
    ASSERT_NO_FATAL_FAILURE(liar.join(ROLE_SENDER, "failing"));
    stranded.run(ROLE_ENDSTATION, "e", "failing", "key");
    HandRendezvous walk(liar, unused, "e");
    ASSERT_NO_FATAL_FAILURE(walk.play(HandRendezvous::Nominate, HandRendezvous::Listening));
    // Had "Failed " not ended the lease, the port would stay out while the parties stay.
    EXPECT_TRUE(wait_until([] { return g_portmanager.returning_count() == 1; }));
    EXPECT_EQ(g_portmanager.lent_count(), 0u);
    EXPECT_TRUE(wait_until([&] { return free_ports().size() == pool.size(); }, std::chrono::seconds(15)));
    EXPECT_FALSE(stranded.ended.load());
    stranded.stop();
    sender.stop();
    server.stop();
    close_bridged();
    unsetenv("TQR_LISTEN_TIMEOUT");
}

TEST(RendezvousTest, ForgedAndForeignCookiesAreIgnored) {
    zel_set_quiet(1);
    set_bridge_callback(record_bridge);
    LogCapture log;
    CoordinatorServer server;
    ASSERT_TRUE(server.start(coordinator_port()));
    CallerParty sender;
    sender.run(ROLE_SENDER, "s", "honest", "key");
    ASSERT_TRUE(wait_until([&] { return sender.negotiated.load(); }));
    {
        CallerParty first;
        ASSERT_TRUE(first.rendezvous("honest", "key"));
    }
    // The honest sender's cookie, as the coordinator gave it to the endstation in "Connect ".
    const std::string honest_sender = cookie_of(log.text(), "received: Connect ");
    ASSERT_FALSE(honest_sender.empty());

    // A forger joins another conference as its sender and is nominated a real endstation; a second
    // forger joins it as an endstation.
    RawParty forger, accomplice;
    ASSERT_NO_FATAL_FAILURE(forger.join(ROLE_SENDER, "evil"));
    CallerParty victim;
    victim.run(ROLE_ENDSTATION, "victim", "evil", "key");
    const std::string victim_cookie = cookie_text(forger.expect("Nominate ").cookie);
    ASSERT_NO_FATAL_FAILURE(accomplice.join(ROLE_ENDSTATION, "evil", "accomplice"));
    forger.expect("Nominate ");
    ASSERT_TRUE(wait_until([] { return bridged_count() == 2; }));
    const size_t free_before = free_ports().size();
    const std::string port = free_ports().front();

    std::mt19937_64 random(20240601);
    for (int i = 0; i < 100; ++i) forger.say("Approve " + cookie_text(reinterpret_cast<void*>(random())) + " ");
    for (const std::string& cookie : {honest_sender, victim_cookie, "0x10"s}) {
        if (cookie != victim_cookie) forger.say("Approve " + cookie + " ");
        for (const char* name : {"Sender Happy ", "Listening ", "Port_In_Use ", "Connected "})  // the last not the sender's
            forger.say(name + cookie + " " + port);
        accomplice.say("Connected " + cookie + " " + port);
        accomplice.say("Approve " + cookie + " ");  // not the endstation's to say
    }
    forger.say("Approve nothing");
    forger.say("Listening " + victim_cookie);
    forger.say("Sender Happy " + victim_cookie + " ");
    // Every one of them is logged as ignored, and nothing else happens.
    const size_t forged = 100 + 2 + 3 * 4 + 3 * 2 + 3;
    EXPECT_TRUE(wait_until([&] { return count(log.text(), "TQR: ignoring ") == forged; })) << count(log.text(), "TQR: ignoring ");
    EXPECT_EQ(free_ports().size(), free_before);
    EXPECT_EQ(g_portmanager.lent_count(), 0u);
    EXPECT_EQ(count(log.text(), "received: Connect "), 1u);  // the first honest rendezvous only
    EXPECT_EQ(count(log.text(), "received: Adios "), 1u);
    EXPECT_FALSE(victim.ended.load());

    // The honest sender goes on serving as before.
    {
        CallerParty second;
        EXPECT_TRUE(second.rendezvous("honest", "key"));
    }
    EXPECT_TRUE(wait_until([] { return bridged_count() == 4; }));
    EXPECT_TRUE(wait_until([&] { return free_ports().size() == free_before; }));
    victim.stop();
    sender.stop();
    server.stop();
    close_bridged();
}

// A second sender for a conference is turned away ("RejectedSender "), and its loop returns; the first
// then bridges 200 endstations that all arrive at once through the pool of 20 ports.
TEST(RendezvousTest, ASecondSenderIsRejectedAndTheFirstBridgesTwoHundredAtOnce) {
    zel_set_quiet(1);
    set_bridge_callback(record_bridge);
    CoordinatorServer server;
    ASSERT_TRUE(server.start(coordinator_port()));
    CallerParty first, second;
    first.run(ROLE_SENDER, "s1", "crowd", "key");
    ASSERT_TRUE(wait_until([&] { return first.negotiated.load(); }));
    ASSERT_TRUE(wait_until([] { return g_activelist.waiting("crowd") == 0; }));
    {
        StderrCapture captured;
        zel_set_quiet(0);
        second.run(ROLE_SENDER, "s2", "crowd", "key");
        ASSERT_TRUE(wait_until([&] { return second.ended.load(); }));
        zel_set_quiet(1);
        EXPECT_TRUE(second.caller.rejected());
        EXPECT_FALSE(first.caller.rejected());
        std::string text = captured.text();
        size_t rejected = text.find("TQR: Sender is rejected by coordinator\n");
        size_t received = text.find("TQR: Sender received msg 12\n", rejected);
        EXPECT_NE(rejected, std::string::npos) << text;
        EXPECT_NE(text.find("TQR: terminating\n", received), std::string::npos);
    }
    second.stop();
    EXPECT_EQ(server.rejected_senders(), 1);

    const size_t free_before = g_portmanager.free_count();
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<CallerParty>> crowd;
    for (int i = 0; i < 200; ++i) {
        crowd.emplace_back(new CallerParty);
        crowd.back()->run(ROLE_ENDSTATION, "e", "crowd", "key");
    }
    EXPECT_TRUE(wait_until(
        [&] { return std::all_of(crowd.begin(), crowd.end(), [](auto& endstation) { return endstation->ended.load(); }); },
        std::chrono::seconds(120)));
    for (auto& endstation : crowd) endstation->stop();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("200 rendezvous through a pool of %zu ports in %.2f s\n", free_before, seconds);
    EXPECT_TRUE(wait_until([] { return bridged_count() == 400; }));
    EXPECT_TRUE(wait_until([&] { return g_portmanager.free_count() == free_before; }));
    first.stop();
    server.stop();
    close_bridged();
}

}  // namespace
