// The Java native methods of libkelvara.so, called as a JVM calls them (with
// an environment that offers only the three JNI functions the library may
// use), each scenario in a fresh library process against the serial reader
// simulator: the calling order, what happens before CheckKelvara, the case
// rules, the format a forgotten ReadIcFileIndex must not cause, and the
// methods that need no reader.
#include "kelvara/host/JavaExports.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/host/FakeJvm.h"

#include <algorithm>

#define JAVA(method) Java_wqn_vorn_icnative_NativeClass_##method

namespace kelvara {
namespace {

using e2e::InFreshProcess;
using e2e::ReadFile;
using e2e::SerialSim;
using e2e::WriteFile;
using host_test::FakeJvm;

std::string Content(std::size_t size, int seed)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed)) & 0xFF);
    return s;
}

// Message boxes and notices go into the environment's event list, so a
// test sees whether a string was still held while the library worked.
void RecordUser(FakeJvm &jvm)
{
    KelvaraSetMessageBoxHandler(
        [](void *ctx, const char *text, const char *, unsigned type) {
            static_cast<FakeJvm *>(ctx)->events.push_back(std::string("box ") + text);
            return (type & 0xF) == 0 ? 1 : 2;
        },
        &jvm);
    KelvaraSetProgressNoticeHandler(
        [](void *ctx, int op, const char *text) {
            static_cast<FakeJvm *>(ctx)->events.push_back("progress " + std::to_string(op) + " " + text);
        },
        &jvm);
}

std::vector<std::string> Matching(const std::vector<std::string> &events, const std::string &prefix)
{
    std::vector<std::string> out;
    std::copy_if(events.begin(), events.end(), std::back_inserter(out),
                 [&](const std::string &e) { return e.rfind(prefix, 0) == 0; });
    return out;
}

// Every string was released right after it was taken, before anything else.
void ExpectStringsReleasedAtOnce(const FakeJvm &jvm)
{
    EXPECT_EQ(jvm.strayCalls, 0) << "a JNI function other than the three was called";
    EXPECT_EQ(jvm.Outstanding(), 0u);
    for (std::size_t i = 0; i < jvm.events.size(); ++i) {
        const std::string &e = jvm.events[i];
        if (e.rfind("get ", 0) != 0)
            continue;
        ASSERT_LT(i + 1, jvm.events.size());
        EXPECT_EQ(jvm.events[i + 1], "release " + e.substr(4)) << "event " << i;
    }
}

class JavaMethods : public e2e::E2eTest {
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
        FakeJvm jvm;
        JNIEnv *env = jvm.Env();
        RecordUser(jvm);

        // Nothing connects by itself: no prompt, no reader traffic.
        EXPECT_EQ(FakeJvm::Text(JAVA(ReadIC)(env, nullptr, jvm.String("\\tax\\*.*"), jvm.String(Out()))), "");
        EXPECT_FALSE(JAVA(WriteIC)(env, nullptr, jvm.String(In("a.txt")), jvm.String("")));
        EXPECT_FALSE(JAVA(ReadIcFileIndex)(env, nullptr));
        EXPECT_FALSE(JAVA(WriteIcFileIndex)(env, nullptr));
        EXPECT_FALSE(JAVA(ICFileDel)(env, nullptr, jvm.String("\\a.txt")));
        EXPECT_FALSE(JAVA(ICFormat)(env, nullptr));
        EXPECT_EQ(FakeJvm::Text(JAVA(ICFileTime)(env, nullptr, jvm.String("a.txt"))), "");
        EXPECT_TRUE(Matching(jvm.events, "box ").empty());
        EXPECT_TRUE(e2e::ReceivedFrames(log).empty());

        ASSERT_TRUE(JAVA(CheckKelvara)(env, nullptr));
        ASSERT_TRUE(JAVA(ICFormat)(env, nullptr));
        ASSERT_TRUE(JAVA(ReadIcFileIndex)(env, nullptr));
        // Reversed argument order; the card directory in capitals.
        EXPECT_TRUE(JAVA(WriteIC)(env, nullptr, jvm.String(In("Return2024.xml")), jvm.String("\\TAX")));
        EXPECT_TRUE(JAVA(WriteIC)(env, nullptr, jvm.String(In("a.txt")), jvm.String("\\TAX")));
        const std::string time = FakeJvm::Text(JAVA(ICFileTime)(env, nullptr, jvm.String("RETURN2024.XML")));
        EXPECT_EQ(time.size(), 12u);
        // The card path pattern is lower-cased, the local directory (with
        // its capital) used as it is.
        EXPECT_EQ(FakeJvm::Text(JAVA(ReadIC)(env, nullptr, jvm.String("\\TAX\\*.*"), jvm.String(Out()))),
                  "return2024.xml,a.txt");
        EXPECT_EQ(ReadFile(Out() + "return2024.xml"), Content(700, 1));
        EXPECT_TRUE(JAVA(ICFileDel)(env, nullptr, jvm.String("\\TAX\\A.TXT")));
        EXPECT_EQ(FakeJvm::Text(JAVA(ICFileTime)(env, nullptr, jvm.String("a.txt"))), "");
        EXPECT_TRUE(JAVA(WriteIcFileIndex)(env, nullptr));
        JAVA(ReleaseKelvara)(env, nullptr);

        ExpectStringsReleasedAtOnce(jvm);
        EXPECT_TRUE(Matching(jvm.events, "box ").empty());
        EXPECT_EQ(Matching(jvm.events, "new ").size(), 5u); // every string result is a new string
    });
    // A fresh process reads what the first one saved.
    std::filesystem::remove(Out() + "return2024.xml");
    InFreshProcess([&] {
        FakeJvm jvm;
        JNIEnv *env = jvm.Env();
        ASSERT_TRUE(JAVA(CheckKelvara)(env, nullptr));
        ASSERT_TRUE(JAVA(ReadIcFileIndex)(env, nullptr));
        EXPECT_EQ(FakeJvm::Text(JAVA(ReadIC)(env, nullptr, jvm.String("\\tax\\return2024.xml"), jvm.String(Out()))),
                  "return2024.xml");
        EXPECT_EQ(ReadFile(Out() + "return2024.xml"), Content(700, 1));
        EXPECT_EQ(FakeJvm::Text(JAVA(ReadIC)(env, nullptr, jvm.String("\\tax\\a.txt"), jvm.String(Out()))), "");
        JAVA(ReleaseKelvara)(env, nullptr);
        ExpectStringsReleasedAtOnce(jvm);
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
        FakeJvm jvm;
        JNIEnv *env = jvm.Env();
        ASSERT_TRUE(JAVA(CheckKelvara)(env, nullptr));
        EXPECT_TRUE(JAVA(WriteIC)(env, nullptr, jvm.String(In("c.txt")), jvm.String("\\tax")));
        EXPECT_TRUE(JAVA(ICFileDel)(env, nullptr, jvm.String("\\tax\\a.txt")));
        EXPECT_TRUE(JAVA(WriteIcFileIndex)(env, nullptr));
        JAVA(ReleaseKelvara)(env, nullptr);
    });
    const std::string listing = Listing();
    EXPECT_EQ(listing.find("\\tax\\a.txt*"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\\tax\\b.txt*"), std::string::npos) << listing;
    EXPECT_NE(listing.find("\\tax\\c.txt*"), std::string::npos) << listing;
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
        FakeJvm jvm;
        JNIEnv *env = jvm.Env();
        ASSERT_TRUE(JAVA(CheckKelvara)(env, nullptr));
        ASSERT_TRUE(JAVA(ReadIcFileIndex)(env, nullptr));
        JAVA(ReleaseKelvara)(env, nullptr);
        // The user changes cards; the program does not read the index again.
        UseReaderOn(1, other);
        ASSERT_TRUE(JAVA(CheckKelvara)(env, nullptr));
        EXPECT_TRUE(JAVA(WriteIC)(env, nullptr, jvm.String(In("c.txt")), jvm.String("\\tax")));
        EXPECT_TRUE(JAVA(WriteIcFileIndex)(env, nullptr));
        JAVA(ReleaseKelvara)(env, nullptr);
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
            FakeJvm jvm;
            JNIEnv *env = jvm.Env();
            ASSERT_TRUE(JAVA(CheckKelvara)(env, nullptr));
            EXPECT_TRUE(JAVA(WriteIC)(env, nullptr, jvm.String(In("b.txt")), jvm.String("")));
            EXPECT_TRUE(JAVA(WriteIcFileIndex)(env, nullptr));
            JAVA(ReleaseKelvara)(env, nullptr);
        });
        EXPECT_NE(Listing().find("\\b.txt*"), std::string::npos);
    }
    std::filesystem::remove(image);
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        FakeJvm jvm;
        JNIEnv *env = jvm.Env();
        ASSERT_TRUE(JAVA(CheckKelvara)(env, nullptr));
        EXPECT_EQ(TS_IsFormat(), -1);
        EXPECT_TRUE(JAVA(ICFileDel)(env, nullptr, jvm.String("\\nothing.txt")));
        EXPECT_EQ(TS_IsFormat(), 0);
        JAVA(ReleaseKelvara)(env, nullptr);
    });
}

TEST_F(JavaMethods, CheckKelvaraIsFalseWhenTheUserCancelsTheInsertCardPrompt)
{
    SerialSim sim(SimArgs({"--no-card", "Q"}));
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        FakeJvm jvm;
        RecordUser(jvm); // cancels every question
        EXPECT_FALSE(JAVA(CheckKelvara)(jvm.Env(), nullptr));
        EXPECT_EQ(Matching(jvm.events, "box "), std::vector<std::string>{"box 请将IC卡插入读卡器中!"});
    });
}

TEST_F(JavaMethods, NoticeProcessAndSettingsMethodsNeedNoReaderAndNullStringsCountAsEmpty)
{
    InFreshProcess([&] {
        FakeJvm jvm;
        JNIEnv *env = jvm.Env();
        RecordUser(jvm);
        JAVA(HidePro)(env, nullptr); // nothing shown: nothing happens
        JAVA(SetText)(env, nullptr, jvm.String("nothing shown"));
        JAVA(ShowPro)(env, nullptr, jvm.String("正在读卡\r\n请稍候..."));
        JAVA(ShowPro)(env, nullptr, jvm.String("正在写卡"));
        JAVA(SetText)(env, nullptr, nullptr);
        JAVA(HidePro)(env, nullptr);
        JAVA(HidePro)(env, nullptr);
        EXPECT_EQ(Matching(jvm.events, "progress "),
                  (std::vector<std::string>{
                      "progress 0 ",
                      "progress 1 正在读卡\r\n请稍候...",
                      "progress 1 正在写卡",
                      "progress 1 ",
                      "progress 2 ",
                  }));

        // A name no process has; and null strings.
        EXPECT_FALSE(JAVA(IsProcessExist)(env, nullptr, jvm.String("no-such-program-anywhere.exe")));
        EXPECT_FALSE(JAVA(IsProcessExist)(env, nullptr, nullptr));
        EXPECT_FALSE(JAVA(WriteIC)(env, nullptr, nullptr, nullptr));
        EXPECT_EQ(FakeJvm::Text(JAVA(ReadIC)(env, nullptr, nullptr, nullptr)), "");
        EXPECT_EQ(FakeJvm::Text(JAVA(ICFileTime)(env, nullptr, nullptr)), "");

        // SetPortSpeed opens the settings dialog (here the handler) with no
        // reader at all.
        int dialogs = 0;
        KelvaraSetSettingsDialogHandler(
            [](void *ctx, KelvaraSettingsDialog *dialog) {
                ++*static_cast<int *>(ctx);
                dialog->reader = 1;
                return 1;
            },
            &dialogs);
        JAVA(SetPortSpeed)(env, nullptr);
        EXPECT_EQ(dialogs, 1);
        EXPECT_EQ(e2e::Setting(settings, "PortMode"), "1");
        EXPECT_TRUE(Matching(jvm.events, "box ").empty());
        ExpectStringsReleasedAtOnce(jvm);
    });
}

TEST_F(JavaMethods, AProgressNoticeLeftShownGoesDownWhenTheProcessEnds)
{
    const std::string notices = scratch.File("notices.log");
    std::fflush(stdout);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        static std::string path = notices;
        KelvaraSetProgressNoticeHandler(
            [](void *, int op, const char *) { std::ofstream(path, std::ios::app) << op << '\n'; }, nullptr);
        FakeJvm jvm;
        JAVA(ShowPro)(jvm.Env(), nullptr, jvm.String("正在写卡"));
        std::exit(0); // the library is unloaded with the notice shown
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "the process died on its way out";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(notices), "0\n1\n2\n");
}

} // namespace
} // namespace kelvara
