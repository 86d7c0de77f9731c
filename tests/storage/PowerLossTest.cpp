// A sample of the power-loss campaign: seeded random sequences of card
// operations, cut at every page write and torn at the field boundaries of
// every page that holds the directory. The full campaign is the program
// storage_power_loss.
#include "tests/storage/PowerLoss.h"

#include <gtest/gtest.h>

namespace kelvara::testing::power_loss {
namespace {

class PowerLossSample : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(PowerLossSample, EveryCutLeavesTheOldOrTheNewDirectory)
{
    Options options;
    options.splits = FieldBoundarySplits();
    Figures total;
    for (std::uint32_t seed = GetParam(); seed < GetParam() + 5; ++seed)
        total.Add(RunSequence(seed, options));
    std::string notes;
    for (const std::string &note : total.notes)
        notes += note + "\n";
    EXPECT_EQ(total.failures, 0) << notes;
    EXPECT_EQ(total.operations, 5 * options.operations);
    EXPECT_GT(total.cuts, 1000);
    EXPECT_GT(total.tornCuts, 1000);
    EXPECT_GT(total.crossChecks, 10);
    EXPECT_GT(total.probes, 10);
    RecordProperty("cuts", std::to_string(total.cuts));
    RecordProperty("torn", std::to_string(total.tornCuts));
}

INSTANTIATE_TEST_SUITE_P(Seeds, PowerLossSample, ::testing::Values(1u, 6u, 11u, 16u));

} // namespace
} // namespace kelvara::testing::power_loss
