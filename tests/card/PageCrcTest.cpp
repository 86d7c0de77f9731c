// The page checksum against its golden values.
#include "kelvara/card/PageCrc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvara {
namespace {

std::uint32_t CrcOf(const std::string &text)
{
    return PageCrc().ComputeCrc(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

TEST(PageCrc, TableIsTheReflectedCrc32Table)
{
    PageCrc crc;
    EXPECT_EQ(crc.TableEntry(0), 0u);
    EXPECT_EQ(crc.TableEntry(1), 0x77073096u);
    EXPECT_EQ(crc.TableEntry(128), 0xEDB88320u);
    EXPECT_EQ(crc.TableEntry(255), 0x2D02EF8Du);
}

TEST(PageCrc, GoldenValues)
{
    EXPECT_EQ(CrcOf("abc"), 0x00616263u); // the first four bytes pass in unchanged
    EXPECT_EQ(CrcOf("123456789"), 0x4D3A139Eu);
    EXPECT_EQ(CrcOf(""), 0u);
    const std::vector<std::uint8_t> zeros(260, 0x00), ones(260, 0xFF);
    EXPECT_EQ(PageCrc().ComputeCrc(zeros.data(), zeros.size()), 0u);
    EXPECT_EQ(PageCrc().ComputeCrc(ones.data(), ones.size()), 0xB71179D1u);
}

TEST(PageCrc, SeesEverySingleBitFlipOfAPage)
{
    std::vector<std::uint8_t> page(260);
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(i * 7 + 3);
    PageCrc crc;
    const std::uint32_t good = crc.ComputeCrc(page.data(), page.size());
    for (std::size_t i = 0; i < page.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            page[i] ^= static_cast<std::uint8_t>(1u << bit);
            ASSERT_NE(crc.ComputeCrc(page.data(), page.size()), good) << "byte " << i << " bit " << bit;
            page[i] ^= static_cast<std::uint8_t>(1u << bit);
        }
    }
}

} // namespace
} // namespace kelvara
