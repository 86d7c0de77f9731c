// The entry gate of libkelvara.so: a call that comes back into the library
// from one of its own handlers is refused and changes nothing; calls from two
// threads never interleave their page transfers.
#include "tests/e2e/E2eSupport.h"

#include <cstring>

namespace kelvara::e2e {
namespace {

class EntryGateE2e : public E2eTest {};

TEST_F(EntryGateE2e, CallsFromInsideAHandlerAreRefusedAndTouchNothing)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        ASSERT_EQ(TS_CheckKelvara(), 0);
        ASSERT_EQ(TS_Format(), 0);
        const std::string listing = scratch.File("dir.txt");
        struct Inside {
            std::vector<int> results;
            std::string listing;
        } inside{{}, listing};
        // The notice handler runs while TS_CheckKelvara searches for the
        // reader; every call from there must fail at once.
        KelvaraSetNoticeHandler(
            [](void *ctx, int op, const char *) {
                if (op != 0)
                    return;
                auto *in = static_cast<Inside *>(ctx);
                unsigned char page[264] = {};
                char text[64] = "unchanged";
                in->results.push_back(TS_ReadBlock(0, 0, 264, page, 0));
                in->results.push_back(TS_WriteBlock(5, 0, 264, page, 1));
                in->results.push_back(TS_Format());
                in->results.push_back(TS_DirIcFiles(in->listing.c_str()));
                in->results.push_back(TS_GetBitTable(in->listing.c_str()));
                in->results.push_back(TS_IcCardLock());
                TS_GetVersion(text);
                in->results.push_back(std::strcmp(text, "unchanged") == 0 ? 0 : 1);
                TS_ReleaseKelvara();
            },
            &inside);
        ASSERT_EQ(TS_CheckKelvara(), 0);
        KelvaraSetNoticeHandler(nullptr, nullptr);
        EXPECT_EQ(inside.results, (std::vector<int>{-1, -1, -1, -1, 0, 0, 0}));
        EXPECT_FALSE(std::filesystem::exists(listing));
        // The reader survived the refused release, and the card its format.
        EXPECT_EQ(TS_IsFormat(), 0);
        TS_ReleaseKelvara();
    });
}

TEST_F(EntryGateE2e, TwoThreadsWritingAndReadingTheirOwnFilesNeverInterleave)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    std::filesystem::create_directories(scratch.path() / "t0");
    std::filesystem::create_directories(scratch.path() / "t1");
    InFreshProcess([&] {
        ASSERT_EQ(TS_CheckKelvara(), 0);
        ASSERT_EQ(TS_Format(), 0);
        // Two threads of the library process, each copying a file of its own
        // onto the card and back four times.
        const Tokens failures = LibraryProcess::Current()->Host().Call(
            {"parallel-copy", wqn::host::runner::HostPath((scratch.path() / "t0").string()),
             wqn::host::runner::HostPath((scratch.path() / "t1").string()), "4"});
        EXPECT_EQ(failures, Tokens{"0"});
        EXPECT_EQ(TS_IsFormat(), 0);
        TS_ReleaseKelvara();
    });
}

// Handlers are set from any thread, also while an export calls them: each
// call must reach a handler together with its own context, never one half of
// the old setting and one half of the new. A thread of the library process
// swaps two handler pairs as fast as it can while its main thread connects
// (the connection notice) and reads a page without a valid checksum (a box).
TEST_F(EntryGateE2e, HandlersSetFromAnotherThreadKeepTheirContexts)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        ASSERT_EQ(TS_CheckKelvara(), 0);
        unsigned char page[264] = {1, 2, 3};
        ASSERT_EQ(TS_WriteBlock(6, 0, 264, page, 0), 0); // no checksum: a checked read shows a box
        const Tokens counts = LibraryProcess::Current()->Host().Call({"handler-churn", "6", "20"});
        ASSERT_EQ(counts.size(), 3u);
        EXPECT_EQ(counts[0], "0") << "connections that failed";
        EXPECT_GT(std::stoi(counts[1]), 0) << "handler calls";
        EXPECT_EQ(counts[2], "0") << "calls that reached a handler with the other's context";
    });
}

// Under Windows the connection's message pump dispatches the host's window
// messages: a window procedure that calls back into the library then is
// refused at once and touches nothing, and the connection goes on.
TEST_F(EntryGateE2e, WindowMessagesDispatchedWhileConnectingCannotReachTheLibrary)
{
    if (!wqn::host::runner::UnderWine())
        GTEST_SKIP() << "window messages exist in the Windows build";
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    const std::string listing = scratch.File("posted.txt");
    InFreshProcess([&] {
        wqn::host::HostProcess &host = LibraryProcess::Current()->Host();
        const std::string page(2 * 264, '0');
        host.Call({"post", "ReadBlock", "0", "0", "264", "0", page});
        host.Call({"post", "WriteBlock", "5", "0", "264", "1", page});
        host.Call({"post", "Format"});
        host.Call({"post", "DirIcFiles", wqn::host::runner::HostPath(listing)});
        host.Call({"post", "IcCardLock"});
        host.Call({"post", "ReleaseKelvara"});
        host.Call({"post", "CheckKelvara"});
        ASSERT_EQ(TS_CheckKelvara(), 0);

        // Every posted call ran while the connection was searched (the host
        // runs them only from the library's pump) and failed at once.
        std::vector<std::string> results;
        for (const Tokens &event : host.Events()) {
            if (!event.empty() && event[0] == "posted")
                results.push_back(wqn::host::JoinLine(
                    Tokens(event.begin() + 1, event.begin() + std::min<std::size_t>(3, event.size()))));
        }
        EXPECT_EQ(results, (std::vector<std::string>{"ok -1", "ok -1", "ok -1", "ok -1", "ok 0", "ok", "ok -1"}));
        EXPECT_FALSE(std::filesystem::exists(listing));
        // Nothing reached the reader for them: no write, no release read.
        const auto frames = ReceivedFrames(log);
        EXPECT_EQ(Count(frames, kReleaseReadFrame), 0);
        for (const std::string &frame : frames)
            EXPECT_NE(frame.rfind("57 52 54 45", 0), 0u) << "a write reached the reader: " << frame;
        // The reader manager survived the refused release.
        EXPECT_EQ(TS_IcCardLock(), 1);
        TS_ReleaseKelvara();
    });
    EXPECT_EQ(Count(ReceivedFrames(log), kReleaseReadFrame), 1);
}

} // namespace
} // namespace kelvara::e2e
