// Cutting the power at every page write of a sequence of card operations,
// with whole and torn writes: afterwards the card must hold either the whole
// old or the whole new directory, and every file must read back exactly.
#include "tests/storage/CardFixture.h"

#include <functional>
#include <map>
#include <set>

namespace kelvara::testing {
namespace {

using wqn::sim::FlashCard;

struct Snapshot {
    bool formatted = false;
    std::string listing;
    std::map<std::string, std::string> files; // card path -> content
};

struct Step {
    std::string what;
    std::function<int(CardFileSystem &, const ScratchDirectory &)> run;
};

class PowerCut : public ::testing::Test {
protected:
    // Reads the whole directory and every file's content off `card` (a file
    // in `harmable` that cannot be read counts as empty), and checks that the
    // card keeps its directory through a save and a load.
    Snapshot Capture(FlashCard &card, const std::set<std::string> &harmable = {})
    {
        ExpectSaveLoadKeepsDirectory(card, "recovered card");
        CardFileSystem fs;
        fs.BindReader(&card);
        fs.SetMessageBox(&box);
        Snapshot snap;
        EXPECT_TRUE(fs.LoadIndex());
        snap.formatted = fs.IsFormatted();
        snap.listing = fs.ListFiles();
        const std::vector<FileEntry> entries(fs.FileEntries().begin(), fs.FileEntries().end());
        for (const FileEntry &entry : entries) {
            ScratchDirectory out;
            std::string names;
            const int read = fs_calls::ReadIcFiles(fs, out.WithSlash(), entry.name, names);
            if (harmable.count(entry.name) == 0) {
                EXPECT_EQ(read, 0) << entry.name;
            }
            snap.files[entry.name] = ReadLocal(out.path() / CardFileSystem::FileNameOf(entry.name));
        }
        return snap;
    }

    int Run(FlashCard &card, const Step &step)
    {
        CardFileSystem fs;
        fs.BindReader(&card);
        fs.SetMessageBox(&box);
        fs.SetTimeSource([] { return std::string("20240102030405"); });
        return step.run(fs, local);
    }

    // After recovery the card must also take new files without harming old ones.
    void ProbeStillSound(FlashCard &card, const Snapshot &expected, const std::set<std::string> &harmable,
                         const std::string &context)
    {
        const Step probe{"probe", [](CardFileSystem &fs, const ScratchDirectory &dir) {
                             return fs_calls::WriteIcFiles(fs, "\\probe", (dir.path() / "probe.bin").string());
                         }};
        {
            CardFileSystem fs;
            fs.BindReader(&card);
            if (fs.LoadIndex() && !fs.HasSpace("\\probe\\probe.bin", 1500))
                return; // a full card, as it was before the step
        }
        ASSERT_EQ(Run(card, probe), 0) << context;
        Snapshot after = Capture(card, harmable);
        EXPECT_EQ(after.files["\\probe\\probe.bin"], Pattern(1500, 99)) << context;
        after.files.erase("\\probe\\probe.bin");
        EXPECT_EQ(after.files, expected.files) << context;
    }

    void SetUp() override
    {
        WriteLocal(local.path() / "a.txt", Pattern(600, 1));
        WriteLocal(local.path() / "a2.txt", Pattern(900, 2));
        WriteLocal(local.path() / "b.bin", Pattern(2000, 3));
        WriteLocal(local.path() / "empty", "");
        WriteLocal(local.path() / "probe.bin", Pattern(1500, 99));
        for (int i = 0; i < 6; ++i)
            WriteLocal(local.path() / (std::string(90, 'n') + std::to_string(i)), Pattern(300 + 50 * i, 10 + i));
    }

    static Step Write(const std::string &dir, const std::string &file)
    {
        return {"write " + file, [dir, file](CardFileSystem &fs, const ScratchDirectory &local) {
                    return fs_calls::WriteIcFiles(fs, dir, (local.path() / file).string());
                }};
    }
    static Step Replace(const std::string &dir, const std::string &from, const std::string &as)
    {
        // Copies local file `from` under the card name `as`.
        return {"replace " + as, [dir, from, as](CardFileSystem &fs, const ScratchDirectory &local) {
                    WriteLocal(local.path() / as, ReadLocal(local.path() / from));
                    return fs_calls::WriteIcFiles(fs, dir, (local.path() / as).string());
                }};
    }
    static Step Delete(const std::string &pattern)
    {
        return {"delete " + pattern,
                [pattern](CardFileSystem &fs, const ScratchDirectory &) { return fs_calls::DelIcFiles(fs, pattern); }};
    }

    std::vector<Step> Steps()
    {
        return {
            {"format", [](CardFileSystem &fs, const ScratchDirectory &) { return fs_calls::Format(fs); }},
            Write("", "a.txt"),
            Write("\\dir", "b.bin"),
            Write("\\dir", "empty"),
            {"write many",
             [](CardFileSystem &fs, const ScratchDirectory &local) {
                 // Long names: the index grows to three pages.
                 return fs_calls::WriteIcFiles(fs, "\\long", (local.path() / (std::string(90, 'n') + "*")).string());
             }},
            Replace("", "a2.txt", "a.txt"),
            Delete("\\dir\\*.*"),
            Replace("\\long", "b.bin", std::string(90, 'n') + "3"),
            Delete("\\a.txt"),
            {"rename",
             [](CardFileSystem &fs, const ScratchDirectory &) {
                 // A longer name: the record moves on to the index's next page.
                 return fs_calls::RenameIcFile(fs, "\\long\\" + std::string(90, 'n') + "0",
                                               "\\moved\\" + std::string(120, 'm'));
             }},
        };
    }

    // Runs every step, cutting the power at each of its page writes in turn
    // (`torn` bytes of the cut write landing, when given).
    void CutEverywhere(const std::vector<int> &tornSizes, bool tearOnlyVitalPages)
    {
        FlashCard reference;
        int runs = 0;
        for (const Step &step : Steps())
            runs += CutThroughStep(reference, step, tornSizes, tearOnlyVitalPages, {});
        RecordProperty("runs", runs);
        EXPECT_GT(runs, 50);
    }

    // Runs `step` on `reference`, and again on copies of the card as it was
    // before, cut at each page write. A file named in `harmable` is one the
    // step deletes: while the old directory is still in force it may read
    // back damaged (its pages may already hold the new index). Returns the
    // number of cuts tried.
    int CutThroughStep(FlashCard &reference, const Step &step, const std::vector<int> &tornSizes,
                       bool tearOnlyVitalPages, const std::set<std::string> &harmable)
    {
        int runs = 0;
        const Snapshot before = Capture(reference);
        const std::vector<std::uint8_t> imageBefore = reference.Image();
        reference.ResetCounters();
        EXPECT_EQ(Run(reference, step), 0) << step.what;
        const std::vector<int> writes = reference.WriteLog();
        const Snapshot after = Capture(reference);
        EXPECT_TRUE(before.listing != after.listing || before.formatted != after.formatted) << step.what;

        for (std::size_t n = 0; n < writes.size(); ++n) {
            const int page = writes[n];
            const bool vital = page == 0 || (page > 0 && page < 2047 && !IsDataPage(reference, page));
            std::vector<std::optional<int>> tears{std::nullopt};
            if (!tornSizes.empty() && (!tearOnlyVitalPages || vital))
                tears.assign(tornSizes.begin(), tornSizes.end());
            for (const std::optional<int> &torn : tears) {
                const std::string context = step.what + ", cut at write " + std::to_string(n) + " (page " +
                    std::to_string(page) + ")" + (torn ? ", torn after " + std::to_string(*torn) + " bytes" : "");
                FlashCard card;
                card.SetImage(imageBefore);
                card.CutPowerAfter(static_cast<int>(n), torn);
                const int result = Run(card, step);
                card.RestorePower();
                Snapshot recovered = Capture(card, harmable);
                const auto same = [&](const Snapshot &a) {
                    return recovered.formatted == a.formatted && recovered.listing == a.listing &&
                        recovered.files == a.files;
                };
                const bool isNew = same(after);
                Snapshot old = before;
                for (const std::string &name : harmable) {
                    if (old.files.count(name) != 0 && recovered.files.count(name) != 0)
                        old.files[name] = recovered.files[name];
                }
                const bool isOld = same(old);
                // Only the backup of page 0 may go missing without the step failing.
                if (result == 0) {
                    EXPECT_TRUE(isNew) << context;
                }
                EXPECT_TRUE(isOld || isNew) << context << "\n got: " << recovered.listing
                                            << "\n old: " << before.listing << "\n new: " << after.listing;
                if (!isOld && !isNew)
                    return runs;
                // The recovered card must also take new files without harming old ones.
                ProbeStillSound(card, recovered, harmable, context);
                ++runs;
            }
        }
        return runs;
    }

    // Whether `page` holds a file's data in the reference card's final state.
    static bool IsDataPage(FlashCard &card, int page)
    {
        CardFileSystem fs;
        fs.BindReader(&card);
        if (!fs.LoadIndex())
            return false;
        for (const FileEntry &entry : fs.FileEntries()) {
            for (std::uint16_t p : CardFileSystem::UnpackPages(entry.pages)) {
                if (p == page)
                    return true;
            }
        }
        return false;
    }

    ScratchDirectory local;
    ScriptedMessageBox box; // every retry prompt is cancelled
};

TEST_F(PowerCut, EveryWriteOfEveryStep) { CutEverywhere({}, false); }

TEST_F(PowerCut, TornWritesOfTheBitTableAndIndexPages)
{
    CutEverywhere({0, 1, 128, 255, 256, 258, 259, 260, 263}, true);
}

TEST_F(PowerCut, TornWritesOfDataPages) { CutEverywhere({1, 258, 263}, false); }

TEST_F(PowerCut, DeleteFromAFullCard)
{
    // A file of 30 pages and a small one, then the largest file that fits:
    // afterwards not even a chain the size of the current one is free, so
    // the delete's new chain must go into the deleted file's pages.
    const std::string doomed = std::string(60, 'd');
    WriteLocal(local.path() / doomed, Pattern(258 * 30, 5));
    WriteLocal(local.path() / "keep", Pattern(700, 6));
    FlashCard reference;
    for (const Step &step :
         {Step{"format", [](CardFileSystem &fs, const ScratchDirectory &) { return fs_calls::Format(fs); }},
          Write("\\d", doomed), Write("", "keep")})
        ASSERT_EQ(Run(reference, step), 0) << step.what;
    {
        CardFileSystem fs;
        fs.BindReader(&reference);
        ASSERT_TRUE(fs.LoadIndex());
        long long pages = fs.CountFreePages();
        while (pages > 0 && !fs.HasSpace("\\filler", 258 * pages))
            --pages;
        WriteLocal(local.path() / "filler", Pattern(static_cast<std::size_t>(258 * pages), 7));
    }
    ASSERT_EQ(Run(reference, Write("", "filler")), 0);
    {
        CardFileSystem fs;
        fs.BindReader(&reference);
        ASSERT_TRUE(fs.LoadIndex());
        ASSERT_LT(fs.CountFreePages(), static_cast<int>(fs.StoredChainPages().size()));
    }
    const std::string doomedPath = "\\d\\" + doomed;
    const int runs = CutThroughStep(reference, Delete(doomedPath), {0, 1, 128, 256, 258, 260, 263}, true, {doomedPath});
    RecordProperty("runs", runs);
    EXPECT_GT(runs, 20);
}

} // namespace
} // namespace kelvara::testing
