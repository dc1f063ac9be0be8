// The coordinator's port pool: where its ports come from, the order in which they are lent and taken
// back, ports that rest before they are lent again, and the share of the pool one conference may hold
// while another waits.
#include <gtest/gtest.h>

#include "common/zel_common.h"
#include "harness.h"
#include "protocol/clock.h"
#include "protocol/portmanager.h"

using namespace harness;

namespace {

std::string lend(Portmanager& pool, uint64_t holder) {
    const PortEntry* port = pool.lend(holder, Cookie(), "c");
    return port ? port->text : "<none>";
}

std::string port(int offset) { return std::to_string(coordinator_port() + offset); }

TEST(PoolTest, PortsAreLentOldestFirstAndComeBackAtTheEnd) {
    zel::set_quiet(1);
    Portmanager pool;
    ASSERT_EQ(pool.size(), static_cast<size_t>(pool_top() - coordinator_port()));
    EXPECT_EQ(lend(pool, 1), port(1));
    EXPECT_EQ(lend(pool, 1), port(2));
    EXPECT_EQ(pool.recycle_port(port(1)), 1);
    EXPECT_EQ(pool.recycle_port(port(1)), 0);  // a free port is not queued twice
    EXPECT_EQ(pool.recycle_port("0" + port(2)), 0);
    std::vector<std::string> rest;
    for (size_t i = 2; i < pool.size(); ++i) rest.push_back(lend(pool, 1));
    EXPECT_EQ(rest.back(), port(static_cast<int>(pool.size())));
    EXPECT_EQ(lend(pool, 1), port(1));
    EXPECT_EQ(lend(pool, 1), "<none>");
}

TEST(PoolTest, PortsThatRestComeBackAtTheirTime) {
    zel::set_quiet(1);
    Portmanager pool;
    std::string first = lend(pool, 1), second = lend(pool, 1);
    EXPECT_EQ(pool.mark_in_use(first, zel::now() + 0.2), 1);
    pool.return_at(pool.entry(second), zel::now() + 0.2);
    Portmanager::Counts counts = pool.counts();
    EXPECT_EQ(counts.set_aside, 1u);
    EXPECT_EQ(counts.returning, 1u);
    EXPECT_TRUE(pool.wait_until([](const Portmanager::Counts& c) { return c.set_aside + c.returning == 0; }, 10.0));
    EXPECT_EQ(pool.counts().free, pool.size());
}

// Ports that come back go to the conferences that wait for one, in the order they asked, each set
// apart for its conference; a conference that holds more than half of the pool is not lent a free
// port while another waits; one that gives up waiting passes its port on.
TEST(PoolTest, WaitingConferencesAreServedInOrderAndNoneHoldsMoreThanHalfMeanwhile) {
    zel::set_quiet(1);
    Portmanager pool;
    std::vector<std::string> first;
    for (size_t i = 0; i < pool.size(); ++i) first.push_back(lend(pool, 1));
    EXPECT_EQ(lend(pool, 2), "<none>");
    EXPECT_EQ(lend(pool, 3), "<none>");
    auto give_back = [&] {
        pool.recycle_port(first.back());
        first.pop_back();
    };
    give_back();
    EXPECT_EQ(lend(pool, 3), "<none>");  // conference 2 asked first
    EXPECT_NE(lend(pool, 2), "<none>");
    give_back();
    EXPECT_EQ(lend(pool, 1), "<none>");  // more than half, and 3 waits
    EXPECT_NE(lend(pool, 3), "<none>");
    EXPECT_EQ(lend(pool, 2), "<none>");
    give_back();
    EXPECT_EQ(pool.counts().reserved, 1u);
    pool.forget(2);
    EXPECT_NE(lend(pool, 1), "<none>");  // nobody else waits now
}

// The coordinator port and the pool, as `tqr coordinator` announces them, for each way of setting them.
TEST(PoolTest, SettingsDecideTheCoordinatorPortAndThePool) {
    const int base = free_port(0);
    struct Case {
        std::vector<std::string> env;
        std::string expected;
    };
    const std::string b = std::to_string(base);
    for (const Case& c : std::vector<Case>{
             {{"TQR_COORDINATOR_PORT=" + b, "TQR_TOP_PORT=" + std::to_string(base + 5)},
              "port=" + b + " pool=" + std::to_string(base + 1) + "-" + std::to_string(base + 5)},
             {{"TQR_COORDINATOR_PORT=" + b, "TQR_TOP_PORT=" + b}, "pool=" + std::to_string(base + 1) + "-" + std::to_string(base + 20)},
             {{"TQR_COORDINATOR_PORT=" + b, "TQR_TOP_PORT=0"}, "pool=" + std::to_string(base + 1) + "-" + std::to_string(base + 20)}}) {
        TqrProcess coordinator({"coordinator"}, ".", c.env);
        EXPECT_TRUE(coordinator.wait_for_err(c.expected)) << coordinator.err();
        coordinator.signal(SIGTERM);
        EXPECT_EQ(coordinator.wait(), 0);
    }
}

}  // namespace
