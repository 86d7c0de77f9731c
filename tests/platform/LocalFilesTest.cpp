// The Linux file search: Windows find-file wildcards over a file system
// whose names are case-sensitive UTF-8.
#include "kelvara/services/LocalFiles.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kelvara {
namespace {

class FileSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        for (const char *file : {"Data.TXT", "data.txt", "\xC3\xA9.txt", "ab.txt", "README", ".hidden"})
            std::ofstream(dir_ / file) << "x";
    }

    std::vector<std::string> Names(const std::string &pattern) const
    {
        std::vector<std::string> names;
        for (const FoundFile &file : FindFiles((dir_ / pattern).string())) {
            EXPECT_EQ(file.path.rfind(dir_.string() + "/", 0), 0u) << file.path;
            const std::string name = std::filesystem::path(file.path).filename().string();
            if (name != "." && name != "..")
                names.push_back(name);
        }
        return names;
    }

    testing::ScratchDirectory scratch_{"kelvara-search"};
    const std::filesystem::path dir_ = scratch_.path();
};

TEST_F(FileSearch, CaseCountsAsTheFileSystemHasIt)
{
    EXPECT_EQ(Names("*.txt"), (std::vector<std::string>{"ab.txt", "data.txt", "\xC3\xA9.txt"}));
    EXPECT_EQ(Names("Data.*"), std::vector<std::string>{"Data.TXT"});
    EXPECT_TRUE(Names("readme").empty());
}

TEST_F(FileSearch, QuestionMarkIsOneCharacterEvenWhenItTakesSeveralBytes)
{
    EXPECT_EQ(Names("?.txt"), std::vector<std::string>{"\xC3\xA9.txt"});
    EXPECT_EQ(Names("??.txt"), std::vector<std::string>{"ab.txt"});
}

TEST_F(FileSearch, StarDotStarIsEveryName)
{
    EXPECT_EQ(Names("*.*"),
              (std::vector<std::string>{".hidden", "Data.TXT", "README", "ab.txt", "data.txt", "\xC3\xA9.txt"}));
    EXPECT_EQ(Names("*"), Names("*.*"));
    EXPECT_EQ(Names("R*.*"), std::vector<std::string>{"README"});
    EXPECT_EQ(Names("README.*"), std::vector<std::string>{"README"});
    EXPECT_TRUE(Names("*.zip").empty());
}

} // namespace
} // namespace kelvara
