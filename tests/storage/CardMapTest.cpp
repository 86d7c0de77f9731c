// Formatting, the allocation bitmap and page allocation.
#include "tests/storage/CardFixture.h"

namespace kelvara::testing {
namespace {

class CardMap : public CardTest {};

TEST_F(CardMap, FormatWritesOnlyTheBitTableAndItsBackup)
{
    ASSERT_TRUE(fs.FormatCard());
    EXPECT_EQ(card.TotalWrites(), 2);
    EXPECT_EQ(card.Writes(0), 1);
    EXPECT_EQ(card.Writes(2047), 1);
    EXPECT_EQ(PageBytes(0), PageBytes(2047));
    const auto page = PageBytes(0);
    for (int b = 0; b < 254; ++b)
        ASSERT_EQ(page[b], 0xFF) << b;
    EXPECT_EQ(page[254], 0x00);
    EXPECT_EQ(page[255], 0x00);
    EXPECT_EQ(page[256], 0x00); // no index
    EXPECT_EQ(page[257], 0x00);
    EXPECT_EQ(page[258], 0xCD);
    EXPECT_EQ(page[259], 0xAB);
    EXPECT_EQ(fs.CountFreePages(), 2031);
}

TEST_F(CardMap, AllocationStartsAtPageOneAndReusesFreedPages)
{
    ASSERT_TRUE(fs.FormatCard());
    EXPECT_EQ(fs.AllocPage(), 1);
    EXPECT_EQ(fs.AllocPage(), 2);
    EXPECT_EQ(fs.AllocPage(), 3);
    for (int p = 4; p <= 10; ++p)
        ASSERT_EQ(fs.AllocPage(), p);
    fs.FreePage(5);
    EXPECT_EQ(fs.AllocPage(), 5);
    fs.FreePage(2048); // ignored
    fs.FreePage(-1);
    EXPECT_EQ(fs.AllocPage(), 11);
}

TEST_F(CardMap, AllocationNeverReachesPageZeroOrTheBackupArea)
{
    ASSERT_TRUE(fs.FormatCard());
    for (int p = 1; p <= 2031; ++p)
        ASSERT_EQ(fs.AllocPage(), p);
    fs.FreePage(2040); // even a backup page marked free is not handed out
    EXPECT_EQ(fs.AllocPage(), 0);
    EXPECT_TRUE(fs.PageIsFree(0));
}

TEST_F(CardMap, BitmapPacksAndUnpacksLeastSignificantBitFirst)
{
    ASSERT_TRUE(fs.FormatCard());
    for (int p = 1; p <= 16; ++p)
        fs.AllocPage();
    fs.FreePage(8);
    fs.FreePage(15);
    fs.PackBitmap();
    EXPECT_EQ(fs.Bitmap()[0], 0x01);
    EXPECT_EQ(fs.Bitmap()[1], 0x81);
    EXPECT_EQ(fs.Bitmap()[2], 0xFE);
    fs.UnpackBitmap();
    EXPECT_TRUE(fs.PageIsFree(8));
    EXPECT_TRUE(fs.PageIsFree(15));
    for (int p = 9; p <= 14; ++p)
        EXPECT_FALSE(fs.PageIsFree(p)) << p;
}

TEST_F(CardMap, LoadKeepsTheBackupAreaInUseWhateverTheCardSays)
{
    ASSERT_TRUE(fs.FormatCard());
    for (int p = 1; p <= 2031; ++p)
        fs.AllocPage();
    for (int p = 2032; p < 2048; ++p)
        fs.FreePage(p);
    fs.PackBitmap();
    ASSERT_TRUE(fs.WriteBitTablePage());
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.CountFreePages(), 0);
    EXPECT_EQ(fs.AllocPage(), 0);
}

TEST_F(CardMap, BlankCardLoadsAsUnformattedAndEmpty)
{
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_FALSE(fs.IsFormatted());
    EXPECT_TRUE(fs.FileEntries().empty());
    EXPECT_EQ(fs_calls::IsFormat(fs), -1);
    ASSERT_EQ(fs_calls::Format(fs), 0);
    EXPECT_EQ(fs_calls::IsFormat(fs), 0);
}

} // namespace
} // namespace kelvara::testing
