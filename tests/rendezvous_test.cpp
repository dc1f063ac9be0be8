// Rendezvous end to end over loopback: a coordinator in this process, library parties on threads of
// their own, the bridge recorded.
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "common/zel_common.h"
#include "harness.h"
#include "protocol/activelist.h"
#include "protocol/conference.h"
#include "protocol/coordinator_host.h"
#include "protocol/host.h"
#include "protocol/key_check.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "protocol/socket_ops.h"
#include "protocol/threads.h"

using namespace harness;

namespace {

class RendezvousTest : public ::testing::Test {
protected:
    void SetUp() override {
        zel::set_quiet(1);
        set_bridge_callback(record_bridge);
        ASSERT_TRUE(coordinator.started);
    }
    void TearDown() override {
        close_bridged();
        coordinator.server.stop();
        // Every party gone, every port back: nothing is left for the next case.
        EXPECT_EQ(g_activelist.size(), 0u);
        EXPECT_EQ(g_portmanager.counts().free, g_portmanager.size());
    }
    // A sender of `conference` that has joined.
    void join_sender(CallerParty& sender, const std::string& conference, const std::string& key = "key") {
        size_t before = events.count(zel::EVENT_JOINED);
        sender.run(ROLE_SENDER, "s", conference, key);
        ASSERT_TRUE(events.wait_for(zel::EVENT_JOINED, before + 1));
    }
    Coordinator coordinator;
    EventLog events;
};

TEST_F(RendezvousTest, BridgesCarryBytesBothWaysAndThePortComesBack) {
    CallerParty sender;
    join_sender(sender, "both-ways");
    ASSERT_TRUE(rendezvous("both-ways", "key"));
    ASSERT_TRUE(wait_bridged(2));
    std::vector<Bridged> ends = take_bridged();
    ASSERT_EQ(ends.size(), 2u);
    ASSERT_NE(ends[0].sender_side, ends[1].sender_side);
    for (auto [from, to] : {std::pair{ends[0].fd, ends[1].fd}, std::pair{ends[1].fd, ends[0].fd}}) {
        char got[5] = {};
        EXPECT_EQ(write(from, "ping", 4), 4);
        EXPECT_EQ(recv(to, got, 4, MSG_WAITALL), 4);
        EXPECT_STREQ(got, "ping");
    }
    close(ends[0].fd);
    close(ends[1].fd);
    EXPECT_TRUE(events.wait_for(zel::EVENT_RENDEZVOUS_ENDED, 1, "ok"));
}

// Endstations in turn, then many at once with ten times as many endstations as ports: each is served,
// and no more ports are lent than the pool has.
TEST_F(RendezvousTest, EndstationsInTurnAndAtOnceAreAllServed) {
    CallerParty sender;
    join_sender(sender, "crowd");
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(rendezvous("crowd", "key")) << "endstation " << i;
    const size_t at_once = 10 * g_portmanager.size();
    std::vector<std::unique_ptr<CallerParty>> crowd;
    for (size_t i = 0; i < at_once; ++i) {
        crowd.emplace_back(new CallerParty);
        crowd.back()->run(ROLE_ENDSTATION, "e" + std::to_string(i), "crowd", "key");
    }
    for (auto& endstation : crowd) EXPECT_TRUE(endstation->wait_ended(milliseconds(60000)));
    EXPECT_TRUE(events.wait_for(zel::EVENT_RENDEZVOUS_ENDED, 30 + at_once, "ok"));
    std::vector<zel::PartyEvent> all = events.events();
    size_t lent = 0, most = 0;
    for (const zel::PartyEvent& e : all) {
        if (e.kind == zel::EVENT_PORT_LENT) most = std::max(most, ++lent);
        if (e.kind == zel::EVENT_RENDEZVOUS_ENDED) --lent;
    }
    EXPECT_LE(most, g_portmanager.size());
}

// Endstations that waited before their sender joined are nominated as fast as the sender answers, in
// the order they joined, not one per pass of a clock.
TEST_F(RendezvousTest, EndstationsThatWaitedForTheirSenderAreServedInJoiningOrder) {
    std::vector<std::unique_ptr<CallerParty>> waiting;
    for (int i = 0; i < 100; ++i) {
        waiting.emplace_back(new CallerParty);
        waiting.back()->run(ROLE_ENDSTATION, "w" + std::to_string(i), "backlog", "key");
        ASSERT_TRUE(events.wait_for(zel::EVENT_JOINED, static_cast<size_t>(i + 1)));
    }
    CallerParty sender;
    join_sender(sender, "backlog");
    for (auto& endstation : waiting) EXPECT_TRUE(endstation->wait_ended(milliseconds(20000)));
    std::vector<std::string> order;
    for (const zel::PartyEvent& e : events.events())
        if (e.kind == zel::EVENT_NOMINATED) order.push_back(e.nickname);
    ASSERT_EQ(order.size(), waiting.size());
    for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], "w" + std::to_string(i));
}

// A sender that is slow to answer delays the queue but never holds it: the next endstation is nominated
// a second after the one before, until a bounded number wait for an answer.
TEST_F(RendezvousTest, ASenderThatDoesNotAnswerIsNominatedTheNextUpToABound) {
    RawParty sender;
    ASSERT_TRUE(sender.join(ROLE_SENDER, "slow"));
    std::vector<std::unique_ptr<RawParty>> waiting;
    for (size_t i = 0; i < Conference::kMostUnanswered + 2; ++i) {
        waiting.emplace_back(new RawParty);
        ASSERT_TRUE(waiting.back()->join(ROLE_ENDSTATION, "slow", "w" + std::to_string(i)));
    }
    for (size_t i = 0; i < Conference::kMostUnanswered; ++i)
        EXPECT_EQ(sender.expect("Nominate ").type, MSG_NOMINATE) << "nomination " << i;
    EXPECT_EQ(sender.expect("Nominate ", milliseconds(2500)).type, -1) << "more unanswered than the bound";
}

// One address keeps to its share of the party slots and of the conferences that wait for a sender;
// honest parties from another address meet beside it.
TEST(AdmissionTest, OneAddressKeepsToItsShareAndOthersMeetBesideIt) {
    zel::set_quiet(1);
    set_bridge_callback(record_bridge);
    EventLog events;
    AdmissionLimits limits;
    limits.max_parties = 64;
    limits.max_per_source = 4;
    limits.max_waiting_conferences = 2;
    Coordinator coordinator(limits);
    ASSERT_TRUE(coordinator.started);
    // Waiting in w0, w1 and w0 again: the third conference without a sender is one too many.
    RawParty w[4], fourth, fifth;
    // Each of the first two is filed before the next comes, so that the third conference is w2's.
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(w[i].join(ROLE_ENDSTATION, "w" + std::to_string(i % 3), "e", 4, false, "127.0.0.2"));
        if (i < 2) {
            ASSERT_TRUE(events.wait_for(zel::EVENT_JOINED, static_cast<size_t>(i + 1)));
        }
    }
    EXPECT_TRUE(w[2].wait_end() && events.wait_for(zel::EVENT_DROPPED, 1, "waiting_conferences"));
    EXPECT_TRUE(events.wait_for(zel::EVENT_JOINED, 3));
    // The dropped one's slot is free once its party thread has ended.
    EXPECT_TRUE(coordinator.server.wait_parties(3, 10.0));
    // Four slots for the address of w0, w1 and w0 again: the fourth connection is the last it gets.
    EXPECT_TRUE(fourth.connect(coordinator_port(), false, "127.0.0.2") && !fourth.hear().empty());
    EXPECT_TRUE(fifth.connect(coordinator_port(), false, "127.0.0.2") && fifth.hear().empty() && fifth.wait_end());
    EXPECT_TRUE(events.wait_for(zel::EVENT_REFUSED, 1, "max_per_source"));
    CallerParty sender;
    sender.run(ROLE_SENDER, "s", "beside", "key");
    EXPECT_TRUE(events.wait_for(zel::EVENT_JOINED, 4));
    EXPECT_TRUE(rendezvous("beside", "key"));
    close_bridged();
    // Loopback and the machine's own addresses are its host; a documentation address is not.
    EXPECT_TRUE(zel::net::is_own_address(0x7f000001u) && zel::net::is_own_address(0x7f000002u));
    EXPECT_FALSE(zel::net::is_own_address(0xc0000201u));
}

// What the endstation meets when the keys differ or no bridge takes the link: no bridge call, and the
// rendezvous still ends ("Adios "), so the endstation's loop returns and the port comes back.
TEST_F(RendezvousTest, MismatchedKeysOrNoBridgeStillEndTheRendezvous) {
    struct Case {
        const char* name;
        const char* endstation_key;
        bool bridge;
    };
    for (const Case& c : {Case{"keys differ", "other", true}, Case{"no bridge", "key", false}}) {
        SCOPED_TRACE(c.name);
        set_bridge_callback(c.bridge ? record_bridge : nullptr);
        CallerParty sender;
        join_sender(sender, c.name);
        size_t refused = events.count(zel::EVENT_KEY_REFUSED);
        EXPECT_TRUE(rendezvous(c.name, c.endstation_key));
        EXPECT_EQ(events.count(zel::EVENT_KEY_REFUSED) - refused, c.bridge ? 2u : 0u);
        EXPECT_EQ(take_bridged().size(), 0u);
        sender.stop();
    }
}

// A second sender is turned away and its host told so; the first goes on serving, and its conference
// outlives the second's leaving. Conferences of different identifiers do not meet.
TEST_F(RendezvousTest, ASecondSenderIsRejectedAndConferencesStayApart) {
    CallerParty first, second, other;
    join_sender(first, "one");
    second.run(ROLE_SENDER, "s2", "one", "key");
    ASSERT_TRUE(second.wait_ended());
    EXPECT_TRUE(second.caller.rejected());
    second.stop();
    join_sender(other, "One");
    EXPECT_TRUE(rendezvous("one", "key"));
    EXPECT_TRUE(rendezvous("One", "key"));
    EXPECT_EQ(events.count(zel::EVENT_REJECTED_SENDER), 1u);
    for (const zel::PartyEvent& e : events.events()) {
        if (e.kind == zel::EVENT_BRIDGED) {
            EXPECT_TRUE(e.conference == "one" || e.conference == "One");
        }
    }
}

// A sender that leaves hands the endstations it had not sent anywhere to the next sender of its
// conference, ahead of those that joined after them.
TEST_F(RendezvousTest, EndstationsOfASenderThatLeftGoToTheNextSender) {
    auto none = [](const std::string&, void*) { return false; };
    CallerParty declining;
    declining.caller.set_approval_policy(none, nullptr);
    join_sender(declining, "handover");
    CallerParty waiting;
    waiting.run(ROLE_ENDSTATION, "first", "handover", "key");
    ASSERT_TRUE(events.wait_for(zel::EVENT_NOMINATED, 1));
    declining.stop();
    ASSERT_TRUE(events.wait_for(zel::EVENT_RENDEZVOUS_ENDED, 1, "abandoned"));
    CallerParty later;
    later.run(ROLE_ENDSTATION, "second", "handover", "key");
    ASSERT_TRUE(events.wait_for(zel::EVENT_JOINED, 3));
    CallerParty next;
    join_sender(next, "handover");
    EXPECT_TRUE(waiting.wait_ended());
    EXPECT_TRUE(later.wait_ended());
    std::vector<std::string> order;
    for (const zel::PartyEvent& e : events.events())
        if (e.kind == zel::EVENT_NOMINATED) order.push_back(e.nickname);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "first", "second"}));
}

// The host's calls around one rendezvous: the sender's own bridge handler with its context, how each
// loop ended (the endstation on "Adios ", the sender at the host's word from another thread), a drain
// woken by the pool and one cut short, and a shutdown after which the library starts its threads anew.
TEST(HostApiTest, HandlersResultsDrainAndShutdown) {
    zel::set_quiet(1);
    set_bridge_callback(record_bridge);
    EventLog events;
    {
        zel::CoordinatorHost host;
        ASSERT_TRUE(host.start(coordinator_port(), zel::AdmissionLimits::from_settings()));
        // One listener a host, on a port that exists.
        EXPECT_FALSE(host.start(coordinator_port() + 1, zel::AdmissionLimits::from_settings()));
        zel::CoordinatorHost beyond;
        EXPECT_FALSE(beyond.start(65536 + coordinator_port(), zel::AdmissionLimits::from_settings()));
        // The sender's handler writes its context's byte; the library closes its end on return.
        static const char kMark = 'h';
        CallerParty sender;
        zel::set_bridge_handler(
            sender.caller, [](int fd, void* mark) { send(fd, mark, 1, MSG_NOSIGNAL); }, const_cast<char*>(&kMark));
        EXPECT_EQ(zel::process_result(sender.caller), zel::ProcessEnd::NOT_RUN);
        sender.run(ROLE_SENDER, "s", "host-api", "key");
        ASSERT_TRUE(events.wait_for(zel::EVENT_JOINED, 1));
        // The endstation's handler reads what came and owns the descriptor; its loop ends after it.
        std::string heard;
        CallerParty endstation;
        zel::set_bridge_handler(
            endstation.caller,
            [](int fd, void* into) {
                char got[2] = {};
                static_cast<std::string*>(into)->assign(got, std::max<ssize_t>(0, recv(fd, got, 2, MSG_WAITALL)));
                close(fd);
            },
            &heard);
        endstation.run(ROLE_ENDSTATION, "станция\xff", "host-api", "key");
        ASSERT_TRUE(endstation.wait_ended());
        EXPECT_EQ(zel::process_result(endstation.caller), zel::ProcessEnd::ADIOS);
        EXPECT_TRUE(zel::bridged(endstation.caller));
        EXPECT_EQ(heard, std::string(1, kMark));  // the mark, then the end of the link
        // A wrong key ends the rendezvous as well, with no link for the host.
        CallerParty wrong;
        wrong.run(ROLE_ENDSTATION, "w", "host-api", "other");
        ASSERT_TRUE(wrong.wait_ended());
        EXPECT_EQ(zel::process_result(wrong.caller), zel::ProcessEnd::ADIOS);
        EXPECT_FALSE(zel::bridged(wrong.caller));
        zel::close_link(sender.caller);
        ASSERT_TRUE(sender.wait_ended());
        EXPECT_EQ(zel::process_result(sender.caller), zel::ProcessEnd::CLOSED_BY_HOST);
        EXPECT_TRUE(zel::wait_link_ended(sender.caller, 0));
        EXPECT_EQ(host.counts().served, 3);

        host.stop_accepting();
        for (bool cut : {false, true}) {
            const PortEntry* lent = g_portmanager.lend(1, Cookie(), "drain");
            ASSERT_NE(lent, nullptr);
            bool drained = !cut;
            std::thread drainer([&] { drained = host.drain(cut ? 600 : 60); });
            if (cut) host.cut_drain();
            else g_portmanager.recycle_port(lent->text);
            drainer.join();
            EXPECT_EQ(drained, !cut);
            if (cut) g_portmanager.recycle_port(lent->text);
        }
        host.stop();
    }
    zel::shutdown();
    EXPECT_EQ(zel::library_threads().threads() + zel::host_threads().threads(), 0u);
    Coordinator again;
    ASSERT_TRUE(again.started);
    close_bridged();
    CallerParty sender;
    sender.run(ROLE_SENDER, "s", "host-api-again", "key");
    ASSERT_TRUE(events.wait_for(zel::EVENT_JOINED, 3));
    EXPECT_TRUE(rendezvous("host-api-again", "key"));
    // The sender's end may be handed over after the endstation's process returned: both are waited
    // for, or the next test would find it.
    EXPECT_TRUE(wait_bridged(2));
    close_bridged();
}

// A host that waited for the library's work finds its thread parked, where trim() ends it: the counts
// that hosts and tests compare hold at once, not after a thread's idle time.
TEST(HostApiTest, WorkToldDoneIsParkedWhereTrimEndsIt) {
    zel::ThreadPool& pool = zel::library_threads();
    pool.trim();
    const size_t busy = pool.threads();
    for (int i = 0; i < 200; ++i) {
        auto done = std::make_shared<zel::Completion>();
        ASSERT_TRUE(pool.run([](void*) -> void* { return nullptr; }, nullptr, done));
        done->wait();
        pool.trim();
        ASSERT_EQ(pool.threads(), busy) << "round " << i;
    }
    // Work nobody waits for is waited out by wait_idle(); work that does not return is reported.
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(pool.run([](void*) -> void* { return nullptr; }, nullptr));
        ASSERT_TRUE(pool.wait_idle(10));
        pool.trim();
        ASSERT_EQ(pool.threads(), busy) << "round " << i;
    }
    auto release = std::make_shared<zel::Completion>();
    ASSERT_TRUE(pool.run([](void* r) -> void* { static_cast<zel::Completion*>(r)->wait(); return nullptr; }, release.get()));
    EXPECT_FALSE(pool.wait_idle(0.05));
    release->done();
    EXPECT_TRUE(pool.wait_idle(10));
}

// The pools' threads run batched (a woken loop does not preempt the thread that woke it), a bridge
// that changes its thread's policy does not hand that to the next job, and a host that runs its
// process under another policy keeps it for the threads it starts.
TEST(HostApiTest, ThePoolsRunBatchedUnlessTheHostRunsAnotherPolicy) {
    zel::ThreadPool& pool = zel::host_threads();
    pool.trim();
    auto policy_of = [&pool](bool go_idle) {
        struct Job {
            bool go_idle;
            int seen = -1;
        } job{go_idle};
        auto done = std::make_shared<zel::Completion>();
        auto entry = [](void* j) -> void* {
            Job* self = static_cast<Job*>(j);
            self->seen = sched_getscheduler(0);
            sched_param none{};
            if (self->go_idle) sched_setscheduler(0, SCHED_IDLE, &none);
            return nullptr;
        };
        if (!pool.run(entry, &job, done)) return -2;
        done->wait();
        return job.seen;
    };
    // The one parked thread is started from a library thread, as a reader starts a sender's listener.
    int first = -1;
    struct From {
        decltype(policy_of)* ask;
        int* seen;
    } from{&policy_of, &first};
    auto done = std::make_shared<zel::Completion>();
    ASSERT_TRUE(zel::library_threads().run([](void* f) -> void* {
        From* self = static_cast<From*>(f);
        *self->seen = (*self->ask)(true);
        return nullptr;
    }, &from, done));
    done->wait();
    EXPECT_EQ(first, SCHED_BATCH);
    EXPECT_EQ(policy_of(false), SCHED_BATCH) << "the last job's policy was kept";
    pool.trim();
    int seen = -1;
    std::thread idle_host([&] {
        sched_param none{};
        ASSERT_EQ(sched_setscheduler(0, SCHED_IDLE, &none), 0);
        seen = policy_of(false);
    });
    idle_host.join();
    EXPECT_EQ(seen, SCHED_IDLE);
    pool.trim();
}

// A coordinator of its own sends an endstation "Connect " to a port where nobody answers the key,
// then hangs up without "Adios ": the endstation has sent its own half of the key and nothing more,
// bridges nothing, and its teardown waits for the bridge thread that is still reading.
TEST(EndstationTest, ACoordinatorThatHangsUpDuringTheKeyCheckLeavesNoBridgeBehind) {
    zel::set_quiet(1);
    set_bridge_callback(record_bridge);
    auto accept_within = [](int listener) {
        pollfd ready{listener, POLLIN, 0};
        return poll(&ready, 1, static_cast<int>(kStep.count())) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    };
    const int front = listen_on(coordinator_port()), direct = listen_on(free_port(0));
    ASSERT_GE(front, 0);
    ASSERT_GE(direct, 0);
    const std::string key = "k-123456789", port = std::to_string(free_port(0));
    {
        CallerParty endstation;
        endstation.run(ROLE_ENDSTATION, "e", "hangs-up", key);
        RawParty coordinator, sender_side;
        coordinator.adopt(accept_within(front));
        ASSERT_TRUE(coordinator.say("TQR Coordinator 1.2"));
        for (const char* phrase : {"TQR Caller is Endstation", "TQR Endstation 1.2", "From Endstation name e",
                                   "From Endstation join hangs-up"})
            ASSERT_EQ(coordinator.hear(), phrase);
        ASSERT_TRUE(coordinator.say("Connect 0x1234 " + port));
        sender_side.adopt(accept_within(direct));
        EXPECT_EQ(sender_side.hear() + std::string(1, '\0'), zel::masked_key_frame(key, false));
        EXPECT_EQ(coordinator.hear(), "Connected 0x1234 " + port);
        coordinator.hang_up();
        ASSERT_TRUE(endstation.wait_ended());
        EXPECT_EQ(zel::process_result(endstation.caller), zel::ProcessEnd::LINK_ENDED);
    }
    EXPECT_TRUE(take_bridged().empty());
    close(front);
    close(direct);
}

}  // namespace
