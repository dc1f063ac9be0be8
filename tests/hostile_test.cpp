// Hostile parties (attacks.h) against a coordinator in this process, one attack per row. Each attack
// runs while an honest rendezvous in another conference completes; the coordinator must report what it
// did about the attacker; an honest rendezvous completes after it too. Memory stays bounded, and when
// the suite ends every thread, descriptor and port is back where it was.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "attacks.h"
#include "common/zel_common.h"
#include "protocol/activelist.h"
#include "protocol/deadlines.h"
#include "protocol/portmanager.h"
#include "protocol/settings.h"
#include "protocol/threads.h"

using namespace harness;

namespace {

// How much the process may grow while an attack runs.
constexpr long kGrowthKib = 16 * 1024;

bool honest_rendezvous(const std::string& conference, EventLog& events) {
    HonestSender sender(conference, events);
    return rendezvous(conference, kHonestKey, milliseconds(20000));
}

TEST(HostileTest, EachAttackIsBoundedAndHonestPartiesMeetDuringAndAfterIt) {
    zel_set_quiet(1);
    set_bridge_callback(record_bridge);
    ASSERT_EQ(zel::settings().listen_timeout, 2) << "the build sets the small time limits";
    // The deadline thread starts on first use and stays: it is counted from the start.
    g_deadlines.schedule(0, [] {});
    const int fds = descriptors(), threads_before = threads();
    EventLog events(false);
    std::unique_ptr<Coordinator> coordinator(new Coordinator);
    ASSERT_TRUE(coordinator->started);
    ASSERT_TRUE(honest_rendezvous("warm-up", events));
    const long resident = resident_kib();
    int round = 0;
    for (const Attack& attack : attacks()) {
        SCOPED_TRACE(attack.name);
        Arena arena{{false}, events};
        const size_t told = events.count(attack.told, attack.what);
        bool sound = false;
        std::thread attacker([&] { sound = attack.run(arena); });
        EXPECT_TRUE(honest_rendezvous("during-" + std::to_string(round), events));
        EXPECT_TRUE(events.wait_for(attack.told, told + 1, attack.what, milliseconds(30000)));
        arena.stop = true;
        attacker.join();
        EXPECT_TRUE(sound);
#ifndef ZEL_SANITIZED  // a sanitizer keeps freed memory aside: it would measure itself
        EXPECT_LT(resident_kib() - resident, kGrowthKib);
#endif
        EXPECT_TRUE(honest_rendezvous("after-" + std::to_string(round++), events));
        close_bridged();
    }
    // Every port comes back once no listener can hold it any more.
    EXPECT_TRUE(g_portmanager.wait_until([](const Portmanager::Counts& c) { return c.free == g_portmanager.size(); },
                                         2 * zel::settings().unheard_listener_margin()));
    coordinator.reset();
    EXPECT_EQ(g_activelist.size(), 0u);
    EXPECT_EQ(descriptors(), fds);
    // Parked threads of the pools are let go; then the count is exact.
    zel::library_threads().trim();
    zel::host_threads().trim();
    EXPECT_EQ(threads(), threads_before);
}

}  // namespace
