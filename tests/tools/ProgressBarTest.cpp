// The tool's progress bar: when it shows, what it says.
#include "tools/kelvara/ProgressBar.h"

#include <gtest/gtest.h>

namespace kelvara::tool {
namespace {

TEST(ProgressBar, StaysQuietForTheFirstSecondThenShowsBytesRateAndTimeLeft)
{
    ProgressBar bar(264);
    EXPECT_FALSE(bar.Update("reading the card", 0, 2048, 100.0));
    EXPECT_FALSE(bar.Update("reading the card", 100, 2048, 100.9));
    // 512 pages of 264 bytes in 2 s: 67.6 kB/s, 1536 pages (405.5 kB) left, 6 s.
    const auto line = bar.Update("reading the card", 512, 2048, 102.0);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "reading the card [######..................] 25% 135.2 kB of 540.7 kB, 67.6 kB/s, 0:06 left");
    EXPECT_TRUE(bar.Shown());
    // Redrawn at most ten times a second.
    EXPECT_FALSE(bar.Update("reading the card", 513, 2048, 102.05));
    EXPECT_TRUE(bar.Update("reading the card", 520, 2048, 102.11));
    // The last update always draws, with the time it took.
    const auto last = bar.Update("reading the card", 2048, 2048, 102.12);
    ASSERT_TRUE(last);
    EXPECT_NE(last->find("100% 540.7 kB of 540.7 kB"), std::string::npos) << *last;
    EXPECT_NE(last->find("took 0:02"), std::string::npos) << *last;
    EXPECT_TRUE(bar.Finished());
}

TEST(ProgressBar, AShortTransferNeverShowsAndANewOneStartsAfresh)
{
    ProgressBar bar(258);
    EXPECT_FALSE(bar.Update("copying files", 1, 2, 5.0));
    EXPECT_FALSE(bar.Update("copying files", 2, 2, 5.5)) << "done within a second: nothing to clear";
    EXPECT_FALSE(bar.Shown());
    // The next transfer's clock starts at its own first report.
    EXPECT_FALSE(bar.Update("copying files", 1, 100, 9.0));
    EXPECT_FALSE(bar.Update("copying files", 2, 100, 9.9));
    EXPECT_TRUE(bar.Update("copying files", 3, 100, 10.1));
}

TEST(ProgressBar, BytesAndDurationsReadAsPeopleWriteThem)
{
    EXPECT_EQ(ProgressBar::Bytes(264), "264 B");
    EXPECT_EQ(ProgressBar::Bytes(540672), "540.7 kB");
    EXPECT_EQ(ProgressBar::Bytes(2500000), "2.5 MB");
    EXPECT_EQ(ProgressBar::Duration(65), "1:05");
    EXPECT_EQ(ProgressBar::Duration(3723), "1:02:03");
    EXPECT_EQ(ProgressBar::Duration(-3), "0:00");
}

} // namespace
} // namespace kelvara::tool
