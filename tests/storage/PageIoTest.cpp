// Page images, backups, repairs and the retry prompts of whole-page I/O.
#include "tests/storage/CardFixture.h"

#include "kelvara/card/PageCrc.h"

namespace kelvara::testing {
namespace {

using card::kPageSize;
using wqn::sim::FlashCard;

std::uint32_t StoredCrc(const std::vector<std::uint8_t> &page) { return card::Get32(page.data() + 260); }
std::uint32_t ComputedCrc(const std::vector<std::uint8_t> &page) { return PageCrc().ComputeCrc(page.data(), 260); }

class PageIo : public CardTest {};

TEST_F(PageIo, DataPageImageHoldsBytesZerosLengthAndCrc)
{
    const std::uint8_t data[5] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_TRUE(fs.WriteDataPage(7, data, 5));
    const auto page = PageBytes(7);
    EXPECT_EQ(std::string(page.begin(), page.begin() + 5), "hello");
    for (int i = 5; i < 258; ++i)
        ASSERT_EQ(page[i], 0) << i;
    EXPECT_EQ(page[258], 0x05);
    EXPECT_EQ(page[259], 0x00);
    EXPECT_EQ(StoredCrc(page), ComputedCrc(page));

    std::uint8_t buffer[258];
    std::uint16_t length = 0;
    ASSERT_TRUE(fs.ReadDataPage(7, buffer, length));
    EXPECT_EQ(length, 5);
    EXPECT_EQ(std::string(buffer, buffer + 5), "hello");
}

TEST_F(PageIo, DataPageLengthOutOfRangeWritesNothing)
{
    const std::uint8_t data[259] = {};
    EXPECT_FALSE(fs.WriteDataPage(7, data, 0));
    EXPECT_FALSE(fs.WriteDataPage(7, data, 259));
    EXPECT_EQ(card.TotalWrites(), 0);
    EXPECT_TRUE(box.calls.empty());
}

TEST_F(PageIo, UnboundReaderFailsEveryOperationSilently)
{
    OpenCardFileSystem unbound;
    unbound.SetMessageBox(&box);
    IndexChunk chunk;
    std::uint8_t buffer[258];
    std::uint16_t length;
    EXPECT_FALSE(unbound.ReadBitTablePage());
    EXPECT_FALSE(unbound.WriteBitTablePage());
    EXPECT_FALSE(unbound.ReadIndexPage(3, chunk, 0));
    EXPECT_FALSE(unbound.WriteIndexPage(3, chunk, 0, 0));
    EXPECT_FALSE(unbound.ReadDataPage(3, buffer, length));
    EXPECT_FALSE(unbound.WriteDataPage(3, buffer, 1));
    EXPECT_FALSE(unbound.LoadIndex());
    EXPECT_TRUE(box.calls.empty());
}

TEST_F(PageIo, IndexPageBackupsCoverChainPositionsZeroToFourteen)
{
    IndexChunk chunk;
    chunk.length = 3;
    chunk.data[0] = 'x';
    ASSERT_TRUE(fs.WriteIndexPage(10, chunk, 11, 14));
    EXPECT_EQ(PageBytes(2046), PageBytes(10));
    EXPECT_EQ(card::Get16(card.Page(10) + 256), 3);
    EXPECT_EQ(card::Get16(card.Page(10) + 258), 11);

    card.ResetCounters();
    ASSERT_TRUE(fs.WriteIndexPage(12, chunk, 0, 15));
    EXPECT_EQ(card.Writes(12), 1);
    EXPECT_EQ(card.TotalWrites(), 1); // position 15 has no backup; 2047 stays the bit table's
}

TEST_F(PageIo, BitTableIsRepairedFromItsBackup)
{
    ASSERT_TRUE(fs.FormatCard());
    const auto good = PageBytes(0);
    card.FailReads(0, FlashCard::Repeat::Once);
    ASSERT_TRUE(fs.ReadBitTablePage());
    EXPECT_TRUE(fs.IsFormatted());
    EXPECT_EQ(card.Writes(0), 2); // format, then the repair
    EXPECT_EQ(PageBytes(0), good);

    card.CorruptPage(0, 100);
    ASSERT_TRUE(fs.ReadBitTablePage());
    EXPECT_TRUE(fs.IsFormatted());
    EXPECT_EQ(PageBytes(0), good);
    EXPECT_TRUE(box.calls.empty());
}

TEST_F(PageIo, BothBitTableCopiesDamagedMeansNotFormatted)
{
    ASSERT_TRUE(fs.FormatCard());
    card.CorruptPage(0, 5);
    card.CorruptPage(2047, 5);
    card.ResetCounters();
    ASSERT_TRUE(fs.ReadBitTablePage());
    EXPECT_FALSE(fs.IsFormatted());
    EXPECT_EQ(fs.FirstIndexPage(), 0);
    EXPECT_EQ(card.TotalWrites(), 0);
    EXPECT_TRUE(box.calls.empty());
}

TEST_F(PageIo, UnreadableBitTablePromptsUntilCancel)
{
    card.FailReads(0, FlashCard::Repeat::Always);
    card.FailReads(2047, FlashCard::Repeat::Always);
    box.Answer({mb::kIdRetry, mb::kIdRetry, mb::kIdCancel});
    EXPECT_FALSE(fs.ReadBitTablePage());
    ASSERT_EQ(box.calls.size(), 3u);
    EXPECT_EQ(box.calls[0].text, "读卡出错! 重试?");
    EXPECT_EQ(box.calls[0].caption, "提示");
    EXPECT_EQ(box.calls[0].type, mb::kRetryCancel | mb::kIconQuestion | mb::kSystemModal);
    EXPECT_EQ(card.Reads(0), 3);
}

TEST_F(PageIo, RetryAfterAReadErrorSucceeds)
{
    ASSERT_TRUE(fs.FormatCard());
    card.FailReads(0, FlashCard::Repeat::Once);
    card.FailReads(2047, FlashCard::Repeat::Once);
    box.Answer({mb::kIdRetry});
    ASSERT_TRUE(fs.ReadBitTablePage());
    EXPECT_TRUE(fs.IsFormatted());
    EXPECT_EQ(box.calls.size(), 1u);
}

TEST_F(PageIo, IndexPageFallsBackToItsBackup)
{
    IndexChunk chunk;
    chunk.length = 2;
    chunk.data[0] = 'a';
    chunk.data[1] = 'b';
    ASSERT_TRUE(fs.WriteIndexPage(9, chunk, 0, 1));
    card.CorruptPage(9, 0);
    IndexChunk read;
    ASSERT_TRUE(fs.ReadIndexPage(9, read, 1));
    EXPECT_EQ(read.length, 2);
    EXPECT_EQ(read.data[0], 'a');
    EXPECT_EQ(PageBytes(9), PageBytes(2033)); // repaired from the sound backup
}

TEST_F(PageIo, DamagedBackupIsTakenButNeverCopiedBack)
{
    IndexChunk chunk;
    chunk.length = 1;
    chunk.data[0] = 'q';
    ASSERT_TRUE(fs.WriteIndexPage(9, chunk, 0, 0));
    card.CorruptPage(9, 200);
    card.CorruptPage(2032, 200);
    card.ResetCounters();
    IndexChunk read;
    ASSERT_TRUE(fs.ReadIndexPage(9, read, 0));
    EXPECT_EQ(read.data[0], 'q');
    EXPECT_EQ(card.Writes(9), 0);
    EXPECT_TRUE(box.calls.empty());
}

TEST_F(PageIo, IndexPageWithoutBackupPrompts)
{
    IndexChunk chunk;
    chunk.length = 1;
    ASSERT_TRUE(fs.WriteIndexPage(9, chunk, 0, 20));
    card.CorruptPage(9, 0);
    IndexChunk read;
    EXPECT_FALSE(fs.ReadIndexPage(9, read, 20));
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"读卡出错! 重试?"});
}

TEST_F(PageIo, IndexLengthAbove256Fails)
{
    std::vector<std::uint8_t> page(kPageSize, 0);
    card::Put16(page.data() + 256, 257);
    card::Put32(page.data() + 260, PageCrc().ComputeCrc(page.data(), 260));
    card.SetPage(9, page.data());
    IndexChunk read;
    EXPECT_FALSE(fs.ReadIndexPage(9, read, 0));
    EXPECT_TRUE(box.calls.empty());
}

TEST_F(PageIo, DataPageCrcErrorShowsOneBoxAndNoRetry)
{
    const std::uint8_t data[3] = {1, 2, 3};
    ASSERT_TRUE(fs.WriteDataPage(4, data, 3));
    card.CorruptPage(4, 1);
    card.ResetCounters();
    box.SetFallback(mb::kIdOk);
    std::uint8_t buffer[258];
    std::uint16_t length = 0;
    EXPECT_FALSE(fs.ReadDataPage(4, buffer, length));
    ASSERT_EQ(box.calls.size(), 1u);
    EXPECT_EQ(box.calls[0].text, "CRC校验出错!");
    EXPECT_EQ(box.calls[0].type, mb::kOk | mb::kIconQuestion | mb::kSystemModal);
    EXPECT_EQ(card.Reads(4), 1);
}

TEST_F(PageIo, WriteRetriedOnceWritesPageThenBackup)
{
    card.FailWrites(5, FlashCard::Repeat::Once);
    box.Answer({mb::kIdRetry});
    IndexChunk chunk;
    chunk.length = 1;
    ASSERT_TRUE(fs.WriteIndexPage(5, chunk, 0, 0));
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"写卡出错! 重试?"});
    EXPECT_EQ(card.Writes(5), 2);
    EXPECT_EQ(card.Writes(2032), 1);
    EXPECT_EQ(PageBytes(5), PageBytes(2032));
}

TEST_F(PageIo, CancelledWriteFails)
{
    card.FailWrites(0, FlashCard::Repeat::Always);
    EXPECT_FALSE(fs.FormatCard());
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"写卡出错! 重试?"});
    EXPECT_EQ(card.Writes(2047), 0);
}

TEST_F(PageIo, NoSpaceBoxGoesOn)
{
    box.SetFallback(mb::kIdOk);
    EXPECT_TRUE(fs.AskCardError(CardError::NoSpace));
    EXPECT_EQ(box.Texts(), std::vector<std::string>{"IC卡空间不足!"});
}

} // namespace
} // namespace kelvara::testing
