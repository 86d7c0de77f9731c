// The simulated flash card: bounds, image files and injected faults.
#include "sim/card/FlashCard.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

namespace wqn::sim {
namespace {

std::vector<std::uint8_t> Filled(std::uint8_t value) { return std::vector<std::uint8_t>(FlashCard::kPageSize, value); }

TEST(FlashCard, BlankCardReadsErasedAndChecksBounds)
{
    FlashCard card;
    std::vector<std::uint8_t> buffer(264, 0);
    ASSERT_TRUE(card.ReadBlock(2047, 0, 264, buffer.data()));
    EXPECT_EQ(buffer, Filled(0xFF));
    EXPECT_FALSE(card.ReadBlock(2048, 0, 1, buffer.data()));
    EXPECT_FALSE(card.ReadBlock(-1, 0, 1, buffer.data()));
    EXPECT_FALSE(card.ReadBlock(0, 200, 65, buffer.data()));
    EXPECT_FALSE(card.WriteBlock(0, 264, 1, buffer.data()));
    const std::vector<std::uint8_t> zeros(14, 0);
    EXPECT_TRUE(card.WriteBlock(3, 250, 14, zeros.data()));
    EXPECT_EQ(card.Page(3)[249], 0xFF);
    EXPECT_EQ(card.Page(3)[250], 0x00);
}

TEST(FlashCard, ImageFileSurvivesBetweenRuns)
{
    const auto path =
        std::filesystem::temp_directory_path() / ("flashcard-" + std::to_string(std::random_device()()) + ".img");
    std::filesystem::remove(path);
    {
        FlashCard card(path.string());
        EXPECT_EQ(std::filesystem::file_size(path), FlashCard::kImageSize);
        const auto page = Filled(0x5A);
        ASSERT_TRUE(card.WriteBlock(7, 0, 264, page.data()));
    }
    {
        FlashCard card(path.string());
        EXPECT_EQ(card.Page(7)[0], 0x5A);
        EXPECT_EQ(card.Page(7)[263], 0x5A);
        EXPECT_EQ(card.Page(6)[0], 0xFF);
    }
    std::filesystem::resize_file(path, 100);
    EXPECT_THROW(FlashCard card(path.string()), std::runtime_error);
    std::filesystem::remove(path);
}

TEST(FlashCard, WriteFailsWhenTheImageFileCannotTakeIt)
{
    const auto path =
        std::filesystem::temp_directory_path() / ("flashcard-" + std::to_string(std::random_device()()) + ".img");
    std::filesystem::remove(path);
    FlashCard card(path.string());
    // The image file goes away and a directory takes its name: the page
    // cannot reach the file, so the write must not count as done.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    const auto page = Filled(0x3C);
    EXPECT_FALSE(card.WriteBlock(9, 0, 264, page.data()));
    std::filesystem::remove(path);
}

TEST(FlashCard, FailingPagesOnceOrAlways)
{
    FlashCard card;
    auto page = Filled(1);
    card.FailWrites(5, FlashCard::Repeat::Once);
    EXPECT_FALSE(card.WriteBlock(5, 0, 264, page.data()));
    EXPECT_TRUE(card.WriteBlock(5, 0, 264, page.data()));
    card.FailReads(5, FlashCard::Repeat::Always);
    EXPECT_FALSE(card.ReadBlock(5, 0, 264, page.data()));
    EXPECT_FALSE(card.ReadBlock(5, 0, 264, page.data()));
    EXPECT_TRUE(card.ReadBlock(6, 0, 264, page.data()));
    EXPECT_EQ(card.Reads(5), 2);
    EXPECT_EQ(card.Writes(5), 2);
    card.ClearFaults();
    EXPECT_TRUE(card.ReadBlock(5, 0, 264, page.data()));
}

TEST(FlashCard, PowerCutKeepsEarlierWritesAndTearsTheCutOne)
{
    FlashCard card;
    const auto ones = Filled(0x11), twos = Filled(0x22);
    card.CutPowerAfter(2, 10);
    EXPECT_TRUE(card.WriteBlock(1, 0, 264, ones.data()));
    EXPECT_TRUE(card.WriteBlock(2, 0, 264, ones.data()));
    EXPECT_FALSE(card.WriteBlock(3, 0, 264, twos.data())); // torn: 10 bytes land
    EXPECT_FALSE(card.WriteBlock(4, 0, 264, twos.data()));
    EXPECT_TRUE(card.PowerCut());
    EXPECT_EQ(card.Page(2)[263], 0x11);
    EXPECT_EQ(card.Page(3)[9], 0x22);
    EXPECT_EQ(card.Page(3)[10], 0xFF);
    EXPECT_EQ(card.Page(4)[0], 0xFF);
    EXPECT_EQ(card.WriteLog(), (std::vector<int>{1, 2, 3, 4}));
    card.RestorePower();
    EXPECT_TRUE(card.WriteBlock(4, 0, 264, twos.data()));
}

TEST(FlashCard, PowerCutCountsOnlyWritesThatLanded)
{
    FlashCard card;
    const auto ones = Filled(0x11);
    card.CutPowerAfter(2);
    card.FailWrites(5, FlashCard::Repeat::Once);
    EXPECT_FALSE(card.WriteBlock(5, 0, 264, ones.data())); // injected fault: nothing landed
    EXPECT_FALSE(card.WriteBlock(0, 264, 1, ones.data())); // out of range: nothing landed
    EXPECT_TRUE(card.WriteBlock(1, 0, 264, ones.data()));
    EXPECT_TRUE(card.WriteBlock(2, 0, 264, ones.data()));
    EXPECT_FALSE(card.PowerCut());
    EXPECT_FALSE(card.WriteBlock(3, 0, 264, ones.data()));
    EXPECT_TRUE(card.PowerCut());
    EXPECT_EQ(card.Page(5)[0], 0xFF);
    EXPECT_EQ(card.Page(3)[0], 0xFF);
}

TEST(FlashCard, CorruptPageFlipsOneByte)
{
    FlashCard card;
    card.CorruptPage(9, 263);
    EXPECT_EQ(card.Page(9)[263], 0x00);
    EXPECT_EQ(card.Page(9)[262], 0xFF);
}

} // namespace
} // namespace wqn::sim
