// The process check on real processes: a waiting program started under a
// name no other process has, once and twice.
#include "kelvara/app/ProcessCheck.h"
#include "tests/support/ChildProgram.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kelvara {
namespace {

namespace fs = std::filesystem;

class ProcessCheck : public ::testing::Test {
protected:
    ProcessCheck()
    {
        // A name of this test run alone, so no other process matches it.
        name = "kvprobe" + std::to_string(::getpid()) + ".exe";
        fs::copy_file(KELVARA_PROCESS_PROBE_PATH, dir / name);
        fs::permissions(dir / name, fs::perms::owner_all);
    }

    void StartProbe()
    {
        auto probe = std::make_unique<testing::ChildProgram>();
        ASSERT_TRUE(probe->Start({(dir / name).string()}));
        std::string line;
        ASSERT_TRUE(probe->ReadLine(&line, 30000)); // it runs under its name
        ASSERT_EQ(line, "ready");
        probes.push_back(std::move(probe));
    }

    testing::ScratchDirectory scratch{"kelvara-proc"};
    const fs::path dir = scratch.path();
    std::string name;
    std::vector<std::unique_ptr<testing::ChildProgram>> probes;
};

TEST_F(ProcessCheck, OneProcessIsNotEnoughTwoAre)
{
    EXPECT_FALSE(IsProcessRunningTwice(name));
    StartProbe();
    EXPECT_FALSE(IsProcessRunningTwice(name));
    StartProbe();
    EXPECT_TRUE(IsProcessRunningTwice(name));
    probes.back()->Kill();
    EXPECT_FALSE(IsProcessRunningTwice(name));
}

// A lone instance asking about its own name is counted once: /proc/self and
// /proc/thread-self lead to it again but are no processes of their own.
TEST_F(ProcessCheck, ALoneInstanceAskingAboutItselfIsCountedOnce)
{
    const auto ask = [&] {
        testing::ChildProgram probe;
        std::string line;
        EXPECT_TRUE(probe.Start({(dir / name).string(), "check", name}));
        EXPECT_TRUE(probe.ReadLine(&line, 30000));
        return line;
    };
    EXPECT_EQ(ask(), "once");
    StartProbe();
    EXPECT_EQ(ask(), "twice");
}

TEST_F(ProcessCheck, CapitalsMatchButADirectoryOrAPartialNameNever)
{
    StartProbe();
    StartProbe();
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    EXPECT_TRUE(IsProcessRunningTwice(upper));
    EXPECT_FALSE(IsProcessRunningTwice((dir / name).string()));
    EXPECT_FALSE(IsProcessRunningTwice("C:\\probes\\" + name));
    EXPECT_FALSE(IsProcessRunningTwice(name.substr(0, name.size() - 4))); // without ".exe"
    EXPECT_FALSE(IsProcessRunningTwice(name.substr(2)));
    EXPECT_FALSE(IsProcessRunningTwice(""));
}

TEST(ProcessImage, OnlyThePartAfterTheLastBackslashCountsWholeAndIgnoringCase)
{
    EXPECT_TRUE(ProcessImageMatches("C:\\Program Files\\Wqn\\TAXFILER.EXE", "taxfiler.exe"));
    EXPECT_TRUE(ProcessImageMatches("taxfiler.exe", "TaxFiler.Exe"));
    EXPECT_FALSE(ProcessImageMatches("C:\\Wqn\\taxfiler.exe", "Wqn\\taxfiler.exe"));
    EXPECT_FALSE(ProcessImageMatches("C:\\Wqn\\taxfiler.exe", "taxfiler"));
    EXPECT_FALSE(ProcessImageMatches("C:\\Wqn\\taxfiler.exe", "*.exe"));
    EXPECT_FALSE(ProcessImageMatches("C:\\Wqn\\taxfiler.exe.bak", "taxfiler.exe"));
    EXPECT_TRUE(ProcessImageMatches("报税.exe", "报税.EXE"));
}

} // namespace
} // namespace kelvara
