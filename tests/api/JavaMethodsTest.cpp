// The Java native methods of Kelvara, called as a JVM calls them (with an
// environment that offers only the three JNI functions the library may use),
// each scenario in a fresh library process against the serial reader
// simulator: the calling order, what happens before CheckKelvara, the case
// rules, the format a forgotten ReadIcFileIndex must not cause, and the
// methods that need no reader. Natively on libkelvara.so; under Wine on the
// 64-bit Kelvara.dll (scripts/wine-tests.sh).
#include "tests/e2e/E2eSupport.h"
#include "tests/remote/RemoteJava.h"

#include <algorithm>
#include <functional>

namespace kelvara::e2e {
namespace {

namespace java = kelvara::remote::java;
using java::JString;

std::string Content(std::size_t size, int seed)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed)) & 0xFF);
    return s;
}

// The user answers every question with Cancel (OK when it is the only
// button), and the boxes and progress notices join the JNI trail, so a
// test sees whether a string was still held while the library worked.
void RecordUser()
{
    KelvaraSetMessageBoxHandler(
        [](void *, const char *, const char *, unsigned type) { return (type & 0xF) == 0 ? 1 : 2; }, nullptr);
    KelvaraSetProgressNoticeHandler([](void *, int, const char *) {}, nullptr);
}

std::vector<std::string> Matching(const std::vector<std::string> &events, const std::string &prefix)
{
    std::vector<std::string> out;
    std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                 [&](const std::string &e) { return e.rfind(prefix, 0) == 0; });
    return out;
}

// Every string was released right after it was taken, before anything else.
void ExpectStringsReleasedAtOnce(const java::JniTrail &jvm)
{
    EXPECT_EQ(jvm.strayCalls, 0) << "a JNI function other than the three was called";
    EXPECT_EQ(jvm.outstanding, 0);
    for (std::size_t i = 0; i < jvm.events.size(); ++i) {
        const std::string &e = jvm.events[i];
        if (e.rfind("get ", 0) != 0)
            continue;
        ASSERT_LT(i + 1, jvm.events.size());
        EXPECT_EQ(jvm.events[i + 1], "release " + e.substr(4)) << "event " << i;
    }
}

class JavaMethods : public E2eTest {
protected:
    void SetUp() override
    {
        E2eTest::SetUp();
        std::filesystem::create_directories(scratch.path() / "In");
        std::filesystem::create_directories(scratch.path() / "Out");
        WriteFile(scratch.path() / "In" / "Return2024.xml", Content(700, 1));
        WriteFile(scratch.path() / "In" / "a.txt", Content(300, 2));
        WriteFile(scratch.path() / "In" / "b.txt", Content(40, 3));
        WriteFile(scratch.path() / "In" / "c.txt", Content(1000, 4));
    }
    std::string In(const std::string &name) const { return (scratch.path() / "In" / name).string(); }
    std::string Out() const { return (scratch.path() / "Out").string() + "/"; }
    std::string Listing()
    {
        const std::string path = scratch.File("listing.txt");
        std::filesystem::remove(path);
        InFreshProcess([&] { EXPECT_EQ(TS_DirIcFiles(path.c_str()), 1); });
        return ReadFile(path);
    }
};

TEST_F(JavaMethods, DocumentedOrderTakesEachStringOnceAndUsesOnlyThreeJniFunctions)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        RecordUser();

        // Nothing connects by itself: no prompt, no reader traffic.
        EXPECT_EQ(java::ReadIC("\\tax\\*.*", Out()).value_or("<null>"), "");
        EXPECT_FALSE(java::WriteIC(In("a.txt"), ""));
        EXPECT_FALSE(java::ReadIcFileIndex());
        EXPECT_FALSE(java::WriteIcFileIndex());
        EXPECT_FALSE(java::ICFileDel("\\a.txt"));
        EXPECT_FALSE(java::ICFormat());
        EXPECT_EQ(java::ICFileTime("a.txt").value_or("<null>"), "");
        EXPECT_TRUE(Matching(java::Trail().events, "box ").empty());
        EXPECT_TRUE(ReceivedFrames(log).empty());

        ASSERT_TRUE(java::CheckKelvara());
        ASSERT_TRUE(java::ICFormat());
        ASSERT_TRUE(java::ReadIcFileIndex());
        // Reversed argument order; the card directory in capitals.
        EXPECT_TRUE(java::WriteIC(In("Return2024.xml"), "\\TAX"));
        EXPECT_TRUE(java::WriteIC(In("a.txt"), "\\TAX"));
        const std::string time = java::ICFileTime("RETURN2024.XML").value_or("<null>");
        EXPECT_EQ(time.size(), 12u);
        // The card path pattern is lower-cased, the local directory (with
        // its capital) used as it is.
        EXPECT_EQ(java::ReadIC("\\TAX\\*.*", Out()).value_or("<null>"), "return2024.xml,a.txt");
        EXPECT_EQ(ReadFile(Out() + "return2024.xml"), Content(700, 1));
        EXPECT_TRUE(java::ICFileDel("\\TAX\\A.TXT"));
        EXPECT_EQ(java::ICFileTime("a.txt").value_or("<null>"), "");
        EXPECT_TRUE(java::WriteIcFileIndex());
        java::ReleaseKelvara();

        ExpectStringsReleasedAtOnce(java::Trail());
        EXPECT_TRUE(Matching(java::Trail().events, "box ").empty());
        EXPECT_EQ(Matching(java::Trail().events, "new ").size(), 5u); // every string result is a new string
    });
    // A fresh process reads what the first one saved.
    std::filesystem::remove(Out() + "return2024.xml");
    InFreshProcess([&] {
        ASSERT_TRUE(java::CheckKelvara());
        ASSERT_TRUE(java::ReadIcFileIndex());
        EXPECT_EQ(java::ReadIC("\\tax\\return2024.xml", Out()).value_or("<null>"), "return2024.xml");
        EXPECT_EQ(ReadFile(Out() + "return2024.xml"), Content(700, 1));
        EXPECT_EQ(java::ReadIC("\\tax\\a.txt", Out()).value_or("<null>"), "");
        java::ReleaseKelvara();
        ExpectStringsReleasedAtOnce(java::Trail());
    });
}

// A name a C host wrote in its code page reaches Java as well-formed text:
// under Wine read in code page 936 (where C4 E3 is 你); natively, where the
// code page is UTF-8, with each stray byte as U+FFFD.
TEST_F(JavaMethods, CodePageNamesReachJavaAsWellFormedText)
{
    using wqn::host::runner::SystemText;
    const bool wine = wqn::host::runner::UnderWine();
    const std::string local = wine ? "你.txt" : "\xC4\xE3.txt";
    WriteFile(scratch.path() / "In" / local, Content(20, 5));
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        RecordUser();
        ASSERT_TRUE(java::CheckKelvara());
        ASSERT_TRUE(java::ICFormat());
        ASSERT_EQ(TS_WriteIcFiles("\\tax", SystemText(In(local)).c_str()), 0);
        ASSERT_TRUE(java::ReadIcFileIndex());
        EXPECT_EQ(java::ReadIC("\\tax\\*.*", Out()).value_or("<null>"),
                  wine ? "你.txt" : "\xEF\xBF\xBD\xEF\xBF\xBD.txt");
        java::ReleaseKelvara();
    });
}

TEST_F(JavaMethods, FormattedCardKeepsItsFilesWhenTheProgramForgetsReadIcFileIndex)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        ASSERT_EQ(TS_Format(), 0);
        ASSERT_EQ(TS_WriteIcFiles("\\tax", In("a.txt").c_str()), 0);
        ASSERT_EQ(TS_WriteIcFiles("\\tax", In("b.txt").c_str()), 0);
        TS_ReleaseKelvara();
    });
    InFreshProcess([&] {
        ASSERT_TRUE(java::CheckKelvara());
        EXPECT_TRUE(java::WriteIC(In("c.txt"), "\\tax"));
        EXPECT_TRUE(java::ICFileDel("\\tax\\a.txt"));
        EXPECT_TRUE(java::WriteIcFileIndex());
        java::ReleaseKelvara();
    });
    const std::string listing = Listing();
    EXPECT_EQ(listing.find("\\tax\\a.txt*"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\\tax\\b.txt*"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\\tax\\c.txt*"), std::string::npos) << listing;
}

// WriteIcFileIndex saves only an index loaded, formatted or changed for the
// card in the reader; otherwise it is false and the card keeps every byte.
TEST_F(JavaMethods, WriteIcFileIndexWritesNothingUnlessTheIndexStandsForTheCard)
{
    SerialSim other({"--image", scratch.File("other.img")});
    UseReaderOn(1, other);
    InFreshProcess([&] {
        ASSERT_EQ(TS_Format(), 0);
        ASSERT_EQ(TS_WriteIcFiles("\\other", In("b.txt").c_str()), 0);
    });
    // The bit table and its backup fail their checksums: not formatted.
    const auto damage = [] {
        for (int page : {0, 2047}) {
            unsigned char bytes[264];
            ASSERT_EQ(TS_ReadBlock(page, 0, 264, bytes, 0), 0);
            bytes[0] ^= 0xFF;
            ASSERT_EQ(TS_WriteBlock(page, 0, 264, bytes, 0), 0);
        }
    };
    struct Case {
        const char *name;
        std::vector<std::string> faults;
        std::function<void()> prepare; // on the card with its files
        std::function<void(const SerialSim &)> program;
    };
    const Case cases[] = {
        {"no index read", {}, {}, [](const SerialSim &) { ASSERT_TRUE(java::CheckKelvara()); }},
        // The index of the three files is page 8, its backup page 2032.
        {"the load failed",
         {"--fail-page", "8", "--fail-page", "2032"},
         {},
         [](const SerialSim &) {
             ASSERT_TRUE(java::CheckKelvara());
             EXPECT_FALSE(java::ReadIcFileIndex());
         }},
        {"index of the card before",
         {},
         {},
         [&](const SerialSim &self) {
             UseReaderOn(1, other);
             ASSERT_TRUE(java::CheckKelvara());
             ASSERT_TRUE(java::ReadIcFileIndex());
             java::ReleaseKelvara();
             UseReaderOn(1, self);
             ASSERT_TRUE(java::CheckKelvara());
         }},
        {"card not formatted",
         {},
         damage,
         [](const SerialSim &) {
             ASSERT_TRUE(java::CheckKelvara());
             ASSERT_TRUE(java::ReadIcFileIndex());
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(image);
        {
            SerialSim sim(SimArgs());
            UseReaderOn(1, sim);
            InFreshProcess([&] {
                ASSERT_EQ(TS_Format(), 0);
                ASSERT_EQ(TS_WriteIcFiles("\\tax", In("*.txt").c_str()), 0);
                if (c.prepare)
                    c.prepare();
                TS_ReleaseKelvara();
            });
        }
        const std::string before = ReadFile(image);
        SerialSim sim(SimArgs(c.faults));
        UseReaderOn(1, sim);
        InFreshProcess([&] {
            RecordUser();
            c.program(sim);
            EXPECT_FALSE(java::WriteIcFileIndex());
            java::ReleaseKelvara();
        });
        EXPECT_TRUE(ReadFile(image) == before) << "the card was written";
    }
}

TEST_F(JavaMethods, AfterReleaseAnotherCardIsNotGivenTheIndexOfTheFirst)
{
    const std::string second = scratch.File("second.img");
    SerialSim first(SimArgs());
    SerialSim other({"--image", second});
    UseReaderOn(1, other);
    InFreshProcess([&] {
        ASSERT_EQ(TS_Format(), 0);
        ASSERT_EQ(TS_WriteIcFiles("\\tax", In("b.txt").c_str()), 0);
        TS_ReleaseKelvara();
    });
    UseReaderOn(1, first);
    InFreshProcess([&] {
        ASSERT_EQ(TS_Format(), 0);
        ASSERT_EQ(TS_WriteIcFiles("\\tax", In("a.txt").c_str()), 0);
        TS_ReleaseKelvara();
    });
    InFreshProcess([&] {
        ASSERT_TRUE(java::CheckKelvara());
        ASSERT_TRUE(java::ReadIcFileIndex());
        java::ReleaseKelvara();
        // The user changes cards; the program does not read the index again.
        UseReaderOn(1, other);
        ASSERT_TRUE(java::CheckKelvara());
        // The queries answer from this card's index, not the first card's.
        EXPECT_EQ(java::ICFileTime("a.txt").value_or("<null>"), "");
        EXPECT_EQ(java::ReadIC("\\tax\\a.txt", Out()).value_or("<null>"), "");
        EXPECT_FALSE(std::filesystem::exists(Out() + "a.txt"));
        EXPECT_EQ(java::ReadIC("\\tax\\*.*", Out()).value_or("<null>"), "b.txt");
        EXPECT_TRUE(java::WriteIC(In("c.txt"), "\\tax"));
        EXPECT_TRUE(java::WriteIcFileIndex());
        java::ReleaseKelvara();
    });
    UseReaderOn(1, other);
    const std::string listing = Listing();
    EXPECT_EQ(listing.find("\\tax\\a.txt*"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\\tax\\b.txt*"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\\tax\\c.txt*"), std::string::npos) << listing;
}

TEST_F(JavaMethods, BlankCardIsStillFormattedByWriteIcAndByICFileDel)
{
    {
        SerialSim sim(SimArgs());
        UseReaderOn(1, sim);
        InFreshProcess([&] {
            ASSERT_TRUE(java::CheckKelvara());
            EXPECT_TRUE(java::WriteIC(In("b.txt"), ""));
            EXPECT_TRUE(java::WriteIcFileIndex());
            java::ReleaseKelvara();
        });
        EXPECT_NE(Listing().find("\\b.txt*"), std::string::npos);
    }
    std::filesystem::remove(image);
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        ASSERT_TRUE(java::CheckKelvara());
        EXPECT_EQ(TS_IsFormat(), -1);
        EXPECT_TRUE(java::ICFileDel("\\nothing.txt"));
        EXPECT_EQ(TS_IsFormat(), 0);
        java::ReleaseKelvara();
    });
}

TEST_F(JavaMethods, CheckKelvaraIsFalseWhenTheUserCancelsTheInsertCardPrompt)
{
    SerialSim sim(SimArgs({"--no-card", "Q"}));
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        RecordUser(); // cancels every question
        EXPECT_FALSE(java::CheckKelvara());
        EXPECT_EQ(Matching(java::Trail().events, "box "), std::vector<std::string>{"box 请将IC卡插入读卡器中!"});
    });
}

TEST_F(JavaMethods, NoticeProcessAndSettingsMethodsNeedNoReaderAndNullStringsCountAsEmpty)
{
    InFreshProcess([&] {
        RecordUser();
        java::HidePro(); // nothing shown: nothing happens
        java::SetText("nothing shown");
        java::ShowPro("正在读卡\r\n请稍候...");
        java::ShowPro("正在写卡");
        java::SetText(std::nullopt);
        java::HidePro();
        java::HidePro();
        EXPECT_EQ(Matching(java::Trail().events, "progress "),
                  (std::vector<std::string>{
                      "progress 0 ",
                      "progress 1 正在读卡\r\n请稍候...",
                      "progress 1 正在写卡",
                      "progress 1 ",
                      "progress 2 ",
                  }));

        // A name no process has; and null strings.
        EXPECT_FALSE(java::IsProcessExist("no-such-program-anywhere.exe"));
        EXPECT_FALSE(java::IsProcessExist(std::nullopt));
        EXPECT_FALSE(java::WriteIC(std::nullopt, std::nullopt));
        EXPECT_EQ(java::ReadIC(std::nullopt, std::nullopt).value_or("<null>"), "");
        EXPECT_EQ(java::ICFileTime(std::nullopt).value_or("<null>"), "");

        // SetPortSpeed opens the settings dialog (here the handler) with no
        // reader at all.
        wqn::host::HostProcess &host = LibraryProcess::Current()->Host();
        host.Call({"dialog-handler", "choose", "1"});
        java::SetPortSpeed();
        EXPECT_EQ(host.Call({"dialog-calls"}), Tokens{"1"});
        EXPECT_EQ(Setting("PortMode"), "1");
        EXPECT_TRUE(Matching(java::Trail().events, "box ").empty());
        ExpectStringsReleasedAtOnce(java::Trail());
    });
}

TEST_F(JavaMethods, AProgressNoticeLeftShownGoesDownWhenTheProcessEnds)
{
    const std::string notices = scratch.File("notices.log");
    LibraryProcess process;
    process.Host().Call({"progress-log", wqn::host::runner::HostPath(notices)});
    java::ShowPro("正在写卡");
    // The library is unloaded with the notice shown.
    EXPECT_EQ(process.Finish(), 0) << "the process died on its way out";
    EXPECT_EQ(ReadFile(notices), "0\n1\n2\n");
}

} // namespace
} // namespace kelvara::e2e
