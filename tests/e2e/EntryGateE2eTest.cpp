// The entry gate of libkelvara.so: a call that comes back into the library
// from one of its own handlers is refused and changes nothing; calls from two
// threads never interleave their page transfers.
#include "tests/e2e/E2eSupport.h"

#include <atomic>
#include <cstring>
#include <thread>

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
        std::atomic<int> failures{0};
        auto worker = [&](int id) {
            const auto dir = scratch.path() / ("t" + std::to_string(id));
            const std::string name = "own" + std::to_string(id) + ".dat";
            for (int round = 0; round < 4; ++round) {
                std::string content(700 + 97 * id + round, static_cast<char>('a' + id * 8 + round));
                WriteFile(dir / name, content);
                const std::string card = "\\t" + std::to_string(id);
                if (TS_WriteIcFiles(card.c_str(), (dir / name).c_str()) != 0)
                    ++failures;
                std::filesystem::remove(dir / name);
                char names[512] = {};
                if (TS_ReadIcFiles((dir.string() + "/").c_str(), (card + "\\*.*").c_str(), names) != 0)
                    ++failures;
                if (ReadFile(dir / name) != content)
                    ++failures;
            }
        };
        std::thread a(worker, 0), b(worker, 1);
        a.join();
        b.join();
        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(TS_IsFormat(), 0);
        TS_ReleaseKelvara();
    });
}

// Handlers are set from any thread, also while an export calls them: each
// call must reach a handler together with its own context, never one half of
// the old setting and one half of the new.
struct HandlerTag {
    std::atomic<int> calls{0};
    std::atomic<int> foreign{0};
};
HandlerTag g_tagA, g_tagB;

template <HandlerTag *Own>
void Notice(void *ctx, int, const char *)
{
    ++Own->calls;
    if (ctx != Own)
        ++Own->foreign;
}

template <HandlerTag *Own>
int Box(void *ctx, const char *, const char *, unsigned)
{
    ++Own->calls;
    if (ctx != Own)
        ++Own->foreign;
    return 1; // OK
}

TEST_F(EntryGateE2e, HandlersSetFromAnotherThreadKeepTheirContexts)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    InFreshProcess([&] {
        ASSERT_EQ(TS_CheckKelvara(), 0);
        unsigned char page[264] = {1, 2, 3};
        ASSERT_EQ(TS_WriteBlock(6, 0, 264, page, 0), 0); // no checksum: a checked read shows a box
        std::atomic<bool> done{false};
        std::thread setter([&] {
            while (!done.load()) {
                KelvaraSetNoticeHandler(&Notice<&g_tagA>, &g_tagA);
                KelvaraSetMessageBoxHandler(&Box<&g_tagA>, &g_tagA);
                KelvaraSetNoticeHandler(&Notice<&g_tagB>, &g_tagB);
                KelvaraSetMessageBoxHandler(&Box<&g_tagB>, &g_tagB);
            }
        });
        for (int round = 0; round < 20; ++round) {
            TS_ReleaseKelvara();
            EXPECT_EQ(TS_CheckKelvara(), 0); // the connection notice
            unsigned char back[264];
            TS_ReadBlock(6, 0, 264, back, 1); // the checksum box
        }
        done.store(true);
        setter.join();
        KelvaraSetNoticeHandler(nullptr, nullptr);
        KelvaraSetMessageBoxHandler(nullptr, nullptr);
        EXPECT_GT(g_tagA.calls + g_tagB.calls, 0);
        EXPECT_EQ(g_tagA.foreign + g_tagB.foreign, 0);
    });
}

} // namespace
} // namespace kelvara::e2e
