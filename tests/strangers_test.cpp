// The stranger table (strangers.h): each attack on `tqr` from its own loopback address, with an honest
// transfer during it and after it.
#include <gtest/gtest.h>

#include "protocol/threads.h"
#include "strangers.h"

namespace harness {

const std::vector<StrangerAttack>& stranger_attacks() {
    static const std::vector<StrangerAttack> table = [] {
        std::vector<StrangerAttack> all;
        for (auto rows : {code_attacks, coordinator_attacks, text_attacks}) {
            std::vector<StrangerAttack> some = rows();
            all.insert(all.end(), some.begin(), some.end());
        }
        return all;
    }();
    return table;
}

}  // namespace harness

using namespace harness;

namespace {

class StrangersTest : public testing::TestWithParam<size_t> {};

TEST_P(StrangersTest, HonestTransfersGoThroughDuringAndAfter) {
    const StrangerAttack& attack = stranger_attacks()[GetParam()];
    SCOPED_TRACE(attack.name);
    TempDir dir;
    EXPECT_TRUE(attack.run(dir)) << attack.name;
    EXPECT_TRUE(honest_transfer(dir)) << "after: " << attack.name;
    // A row that ran a coordinator in this process leaves its pools' threads parked: they are let go.
    zel::library_threads().trim();
    zel::host_threads().trim();
}

INSTANTIATE_TEST_SUITE_P(EachAttack, StrangersTest, testing::Range<size_t>(0, stranger_attacks().size()),
                         [](const testing::TestParamInfo<size_t>& row) { return "row" + std::to_string(row.param); });

}  // namespace
