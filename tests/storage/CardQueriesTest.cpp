// Listing, file times, the card test box and the bitmap report.
#include "tests/storage/CardFixture.h"

namespace kelvara::testing {
namespace {

class CardQueries : public CardTest {};

TEST_F(CardQueries, EmptyFormattedCardListsNothing)
{
    ASSERT_EQ(fs_calls::Format(fs), 0);
    const auto listing = local.path() / "dir.txt";
    WriteLocal(listing, "old content");
    EXPECT_EQ(fs_calls::DirIcFiles(fs, listing.string()), 1);
    EXPECT_EQ(ReadLocal(listing), "");
    EXPECT_EQ(fs_calls::Test(fs, box), 0);
    ASSERT_EQ(box.calls.size(), 1u);
    EXPECT_EQ(box.calls[0].text, "");
    EXPECT_EQ(box.calls[0].caption, "");
    EXPECT_EQ(box.calls[0].type, mb::kOk);
}

TEST_F(CardQueries, ListingOfTwoFiles)
{
    ASSERT_EQ(Put("\\d", "one.txt", "1"), 0);
    now = "20241231235959";
    ASSERT_EQ(Put("", "two.txt", "2"), 0);
    const std::string expected = "\\d\\one.txt*20240102030405,\\two.txt*20241231235959,";
    const auto listing = local.path() / "dir.txt";
    EXPECT_EQ(fs_calls::DirIcFiles(fs, listing.string()), 1);
    EXPECT_EQ(ReadLocal(listing), expected);
    EXPECT_EQ(fs_calls::Test(fs, box), 0);
    EXPECT_EQ(box.calls.at(0).text, expected);
    EXPECT_EQ(fs_calls::DirIcFiles(fs, (local.path() / "no" / "such" / "dir.txt").string()), 0);
}

TEST_F(CardQueries, UnformattedCardIsRefusedByListingAndTest)
{
    EXPECT_EQ(fs_calls::DirIcFiles(fs, (local.path() / "dir.txt").string()), -1);
    EXPECT_EQ(fs_calls::Test(fs, box), -1);
    EXPECT_TRUE(box.calls.empty());
    std::string time = "stale";
    EXPECT_EQ(fs_calls::FileTime(fs, "a.txt", time), 0);
    EXPECT_EQ(time, "");
}

TEST_F(CardQueries, FileTimeIsTheMinuteOfTheFirstMatchingPath)
{
    ASSERT_EQ(Put("\\tax", "data.txt", "d"), 0);
    now = "20250607080910";
    ASSERT_EQ(Put("\\tax", "a.txt", "a"), 0);
    const struct {
        const char *path;
        const char *time;
    } lookups[] = {
        {"\\tax\\a.txt", "202506070809"},
        {"\\TAX\\A.TXT", "202506070809"},
        // A bare name is a substring search: data.txt comes first and contains a.txt.
        {"a.txt", "202401020304"},
        {"missing", ""},
    };
    for (const auto &lookup : lookups) {
        std::string time = "stale";
        ASSERT_EQ(fs_calls::FileTime(fs, lookup.path, time), 0) << lookup.path;
        EXPECT_EQ(time, lookup.time) << lookup.path;
    }
}

TEST_F(CardQueries, ShortStoredTimeGivesThePlaceholder)
{
    PlantIndex(card, Record("\\an-old-file.txt", "", "2024"), {3});
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.GetFileTime("old"), "000101010101");
}

TEST_F(CardQueries, BitTableReportAfterFormatAndAfterOneFile)
{
    const auto report = local.path() / "bits.txt";
    ASSERT_EQ(fs_calls::Format(fs), 0);
    ASSERT_EQ(fs_calls::GetBitTable(fs, report.string()), 1);
    EXPECT_EQ(ReadLocal(report), std::string(2032, '1') + std::string(16, '0'));

    ASSERT_EQ(Put("", "a.txt", Pattern(300)), 0);
    ASSERT_EQ(fs_calls::GetBitTable(fs, report.string()), 1);
    EXPECT_EQ(ReadLocal(report), "1000" + std::string(2028, '1') + std::string(16, '0'));
}

TEST_F(CardQueries, BitTableReportOfABlankCardIsAllZeros)
{
    const auto report = local.path() / "bits.txt";
    ASSERT_EQ(fs_calls::GetBitTable(fs, report.string()), 1);
    EXPECT_EQ(ReadLocal(report), std::string(2048, '0'));
    EXPECT_EQ(fs_calls::GetBitTable(fs, (local.path() / "x" / "y").string()), 0);
    card.FailReads(0, wqn::sim::FlashCard::Repeat::Always);
    card.FailReads(2047, wqn::sim::FlashCard::Repeat::Always);
    EXPECT_EQ(fs_calls::GetBitTable(fs, report.string()), 0);
}

TEST_F(CardQueries, NothingOfAnEarlierCardShowsOnAnUnformattedOrDamagedOne)
{
    ASSERT_EQ(Put("", "a.txt", Pattern(3000)), 0);
    ASSERT_TRUE(fs.LoadIndex());
    ASSERT_NE(fs.FirstIndexPage(), 0);
    const auto report = local.path() / "bits.txt";

    wqn::sim::FlashCard blank;
    wqn::sim::FlashCard damaged;
    damaged.SetImage(card.Image());
    damaged.CorruptPage(0, 100);
    damaged.CorruptPage(2047, 100);
    for (wqn::sim::FlashCard *other : {&blank, &damaged}) {
        fs.BindReader(&card);
        ASSERT_EQ(fs_calls::GetBitTable(fs, report.string()), 1);
        ASSERT_NE(ReadLocal(report), std::string(2048, '0'));

        fs.BindReader(other);
        ASSERT_EQ(fs_calls::GetBitTable(fs, report.string()), 1);
        EXPECT_EQ(ReadLocal(report), std::string(2048, '0'));
        EXPECT_FALSE(fs.IsFormatted());
        EXPECT_EQ(fs.FirstIndexPage(), 0);
        EXPECT_EQ(fs.Bitmap(), (std::array<std::uint8_t, card::kBitmapBytes>{}));

        fs.BindReader(&card);
        ASSERT_TRUE(fs.LoadIndex());
        fs.BindReader(other);
        ASSERT_TRUE(fs.LoadIndex());
        EXPECT_EQ(fs.FirstIndexPage(), 0);
        EXPECT_TRUE(fs.FileEntries().empty());
        EXPECT_EQ(fs.CountFreePages(), 0);
    }
    fs.BindReader(&card);
}

} // namespace
} // namespace kelvara::testing
