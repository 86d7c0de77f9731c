// The library's own message boxes in the Windows build, with no handler
// installed: real MessageBoxW windows (under Wine on an X server of the test
// run's own). A thread of the library process finds the box, reads its
// title, text and buttons through Win32 and presses one.
#include "tests/e2e/E2eSupport.h"

#include <set>

namespace kelvara::e2e {
namespace {

class MessageBoxE2e : public E2eTest {
protected:
    struct Seen {
        std::string caption, text;
        bool topmost = false;
        std::set<int> buttons;
    };

    // Runs `call` with the library's own boxes; the box it shows is answered
    // with button `press`.
    template <class Call>
    Seen Watch(int press, Call call)
    {
        wqn::host::HostProcess &host = LibraryProcess::Current()->Host();
        host.Call({"handlers", "none", "none"});
        host.Call({"watch-box", std::to_string(press)});
        call();
        const Tokens seen = host.Call({"watch-result"});
        Seen box;
        EXPECT_GE(seen.size(), 4u);
        if (seen.size() < 4 || seen[0] != "1") {
            ADD_FAILURE() << "no message box appeared";
            return box;
        }
        box.caption = seen[1];
        box.text = seen[2];
        box.topmost = seen[3] == "1";
        for (std::size_t i = 4; i < seen.size(); ++i)
            box.buttons.insert(std::atoi(seen[i].c_str()));
        return box;
    }
};

TEST_F(MessageBoxE2e, ConnectionPromptIsASystemModalRetryCancelBox)
{
    if (!wqn::host::runner::UnderWine())
        GTEST_SKIP() << "MessageBoxW exists in the Windows build";
    InFreshProcess([&] {
        const Seen box = Watch(2, [] { EXPECT_EQ(TS_CheckKelvara(), -1); }); // Cancel
        EXPECT_EQ(box.caption, "提示");
        EXPECT_EQ(box.text, "连接读卡器失败,USB设备请重新拔插连接线,重试？");
        EXPECT_EQ(box.buttons, (std::set<int>{4, 2})); // Retry, Cancel
        EXPECT_TRUE(box.topmost) << "a system-modal box stays on top";
    });
}

TEST_F(MessageBoxE2e, CardListingShowsChineseNamesAsTheirCharacters)
{
    if (!wqn::host::runner::UnderWine())
        GTEST_SKIP() << "MessageBoxW exists in the Windows build";
    using wqn::host::runner::SystemText;
    std::filesystem::create_directories(scratch.path() / "in");
    WriteFile(scratch.path() / "in" / "申报表.xml", std::string(300, 'x'));
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        ASSERT_EQ(TS_Format(), 0);
        const std::string local = SystemText((scratch.path() / "in" / "申报表.xml").string());
        ASSERT_EQ(TS_WriteIcFiles(SystemText("\\税务").c_str(), local.c_str()), 0);
        const std::string dir = scratch.File("dir.txt");
        ASSERT_EQ(TS_DirIcFiles(dir.c_str()), 1);
        const std::string listing = wqn::host::runner::Utf8Text(ReadFile(dir));
        ASSERT_NE(listing.find("\\税务\\申报表.xml*"), std::string::npos) << listing;

        const Seen box = Watch(1, [] { EXPECT_EQ(TS_Test(), 0); }); // OK
        EXPECT_EQ(box.text, listing);
        EXPECT_EQ(box.caption, listing);
        EXPECT_EQ(box.buttons, std::set<int>{1});
        EXPECT_FALSE(box.topmost);
    });
}

} // namespace
} // namespace kelvara::e2e
