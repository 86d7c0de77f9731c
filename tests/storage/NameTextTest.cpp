// Names with double-byte characters: separators are found only at character
// boundaries and case rules leave double-byte characters alone. The
// double-byte cases run where the system code page has them (the Windows
// build under a code page 936 locale); elsewhere they are skipped.
#include "tests/storage/CardFixture.h"

#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"
#include "kelvara/services/NameText.h"

namespace kelvara::testing {
namespace {

// A GBK character whose trail byte is '\', and one whose trail byte is 'A'.
const std::string kBackslashTrail = "\xB0\x5C";
const std::string kLetterTrail = "\xB0\x41";

bool DoubleByteCodePage() { return CharLengthAt(kBackslashTrail, 0) == 2; }

TEST(NameText, SingleByteSearches)
{
    EXPECT_EQ(name_text::Find("\\a\\b\\*.*", "\\*.*"), 4u);
    EXPECT_EQ(name_text::Find("\\a\\b", "\\", 1), 2u);
    EXPECT_EQ(name_text::Find("\\a", "\\", 1), name_text::npos);
    EXPECT_EQ(name_text::FindLastOf("\\a\\b", "\\"), 2u);
    EXPECT_EQ(name_text::FindFirstOf("ab/c\\", "/\\"), 2u);
    EXPECT_TRUE(name_text::EndsWith("dir\\", '\\'));
    EXPECT_FALSE(name_text::EndsWith("", '\\'));
    EXPECT_EQ(CardFileSystem::FileNameOf("\\dir\\c:name.txt"), "name.txt");
}

TEST(NameText, TrailBytesAreNeverSeparators)
{
    if (!DoubleByteCodePage())
        GTEST_SKIP() << "the system code page has no double-byte characters";
    const std::string name = kBackslashTrail + ".txt";
    EXPECT_EQ(CardFileSystem::FileNameOf("\\dir\\" + name), name);
    EXPECT_EQ(name_text::FindLastOf("\\" + kBackslashTrail, "\\"), 0u);
    EXPECT_FALSE(name_text::EndsWith("dir" + kBackslashTrail, '\\'));
    EXPECT_EQ(name_text::Find(kBackslashTrail + "*.*", "\\*.*"), name_text::npos);
}

TEST(NameText, CaseRulesLeaveDoubleByteCharactersAlone)
{
    if (!DoubleByteCodePage())
        GTEST_SKIP() << "the system code page has no double-byte characters";
    EXPECT_EQ(LowerText(kLetterTrail + "ABC"), kLetterTrail + "abc");
    EXPECT_FALSE(EqualsNoCase(kLetterTrail, "\xB0\x61"));
    EXPECT_TRUE(EqualsNoCase(kLetterTrail + "X", kLetterTrail + "x"));
}

class DoubleByteNames : public CardTest {};

TEST_F(DoubleByteNames, DirectoryEndingInATrailBackslashKeepsItsOwnSeparator)
{
    if (!DoubleByteCodePage())
        GTEST_SKIP() << "the system code page has no double-byte characters";
    // A card directory ending in the double-byte character still gets its
    // separator, and the files under it are found by the directory pattern.
    const std::string dir = "\\tax" + kBackslashTrail;
    ASSERT_EQ(Put(dir, "a.txt", "A"), 0);
    ASSERT_EQ(Put("\\tax", "b.txt", "B"), 0);
    ASSERT_TRUE(fs.LoadIndex());
    EXPECT_EQ(fs.FileEntries().front().name, dir + "\\a.txt");
    std::string names;
    ASSERT_EQ(Get(dir + "\\*.*", names), 0);
    EXPECT_EQ(names, "a.txt");
    ASSERT_EQ(Get("\\tax\\*.*", names), 0);
    EXPECT_EQ(names, "b.txt");
}

} // namespace
} // namespace kelvara::testing
