// I/O-error loops over every file export: the n-th page transfer (read or
// write) fails, for n = 1, 2, ... up to one past the last transfer, once or
// from then on, with the user answering the retry prompts with Cancel or with
// Retry. Whatever fails must reach the caller as the export's failure value,
// a success must be the whole success, the card must load as the old or the
// new directory, no local file may be left half written and no descriptor may
// stay open.
#include "tests/storage/CardFixture.h"

#include <functional>
#include <map>
#include <optional>

namespace kelvara::testing {
namespace {

using wqn::sim::FlashCard;

// Passes transfers on to a card, failing the n-th one (counting reads and
// writes from 1), and with `always` every one after it too. A failed write
// lands nothing.
class FaultyCard final : public PageDevice {
public:
    FaultyCard(FlashCard &card, long long failAt, bool always)
        : card_(card),
          failAt_(failAt),
          always_(always)
    {
    }
    bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) override
    {
        return !Fails() && card_.ReadBlock(page, offset, length, buffer);
    }
    bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) override
    {
        return !Fails() && card_.WriteBlock(page, offset, length, buffer);
    }
    long long Transfers() const { return transfers_; }
    long long Injected() const { return injected_; }

private:
    bool Fails()
    {
        ++transfers_;
        const bool fail = transfers_ == failAt_ || (always_ && transfers_ > failAt_);
        injected_ += fail ? 1 : 0;
        return fail;
    }

    FlashCard &card_;
    long long failAt_;
    bool always_;
    long long transfers_ = 0;
    long long injected_ = 0;
};

// What an export gave its caller.
struct Outcome {
    int result = 0;
    std::string text; // read names, file time, or the text of the card-test box
    std::map<std::string, std::string> localFiles; // the output directory afterwards

    bool operator==(const Outcome &) const = default;
};

using Call =
    std::function<int(CardFileSystem &, const ScratchDirectory &in, const ScratchDirectory &out, std::string &text)>;

struct Scenario {
    std::string what;
    Call run;
    bool blankCard = false; // start from a never-formatted card instead of the populated one
    int success = 0; // the export's success value
    std::vector<int> failures{-1}; // its failure values
};

// Descriptors this process holds now; -1 where the system does not list them.
long long OpenDescriptors()
{
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/self/fd", ec);
    if (ec)
        return -1;
    long long n = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

class IoErrorLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteLocal(in.path() / "a.txt", Pattern(600, 1));
        WriteLocal(in.path() / "b.txt", Pattern(2000, 2));
        WriteLocal(in.path() / std::string(150, 'c'), "");
        WriteLocal(in.path() / "d.txt", Pattern(300, 4));
        WriteLocal(in.path() / "new.bin", Pattern(1000, 5));
        std::filesystem::create_directory(in.path() / "batch");
        WriteLocal(in.path() / "batch" / "one.dat", Pattern(700, 6));
        WriteLocal(in.path() / "batch" / "two.dat", Pattern(10, 7));
        WriteLocal(in.path() / "batch" / "skip.txt", "no");

        // The populated card: four files, an index of two pages.
        CardFileSystem fs;
        fs.BindReader(&card);
        fs.SetMessageBox(&box);
        fs.SetTimeSource([] { return std::string("20240102030405"); });
        ASSERT_EQ(fs_calls::Format(fs), 0);
        ASSERT_EQ(fs_calls::WriteIcFiles(fs, "\\tax", (in.path() / "a.txt").string()), 0);
        ASSERT_EQ(fs_calls::WriteIcFiles(fs, "\\tax\\2024", (in.path() / "b.txt").string()), 0);
        ASSERT_EQ(fs_calls::WriteIcFiles(fs, "", (in.path() / std::string(150, 'c')).string()), 0);
        ASSERT_EQ(fs_calls::WriteIcFiles(fs, "", (in.path() / "d.txt").string()), 0);
        ASSERT_TRUE(fs.LoadIndex());
        ASSERT_EQ(fs.StoredChainPages().size(), 2u);
        populated = card.Image();
    }

    static std::map<std::string, std::string> Files(const ScratchDirectory &dir)
    {
        std::map<std::string, std::string> files;
        for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
            files[entry.path().filename().string()] = ReadLocal(entry.path());
        return files;
    }

    std::optional<std::list<FileEntry>> Directory(const std::vector<std::uint8_t> &image)
    {
        FlashCard copy;
        copy.SetImage(image);
        CardFileSystem fs;
        fs.BindReader(&copy);
        fs.SetMessageBox(&box);
        if (!fs.LoadIndex())
            return std::nullopt;
        return fs.FileEntries();
    }

    // Runs the scenario on `start` with the transfer `failAt` failing; the
    // retry prompts get `retries` Retry answers, then Cancel.
    Outcome Run(const Scenario &scenario, const std::vector<std::uint8_t> &start, long long failAt, bool always,
                int retries)
    {
        card.SetImage(start);
        ScratchDirectory out;
        ScriptedMessageBox prompts;
        for (int i = 0; i < retries; ++i)
            prompts.Answer({mb::kIdRetry});
        faulty.emplace(card, failAt, always);
        CardFileSystem fs;
        fs.BindReader(&*faulty);
        fs.SetMessageBox(&prompts);
        fs.SetTimeSource([] { return std::string("20250607080910"); });
        Outcome outcome;
        outcome.result = scenario.run(fs, in, out, outcome.text);
        outcome.localFiles = Files(out);
        return outcome;
    }

    void Loop(const Scenario &scenario)
    {
        const std::vector<std::uint8_t> start = scenario.blankCard ? FlashCard().Image() : populated;
        const Outcome reference = Run(scenario, start, -1, false, 0);
        const long long transfers = faulty->Transfers();
        ASSERT_EQ(reference.result, scenario.success) << scenario.what;
        const auto oldDirectory = Directory(start);
        const auto newDirectory = Directory(card.Image());
        ASSERT_TRUE(newDirectory) << scenario.what;

        int runs = 0;
        for (long long n = 1; n <= transfers + 1; ++n) {
            for (const bool always : {false, true}) {
                for (const int retries : {0, 3}) {
                    const std::string context = scenario.what + ": transfer " + std::to_string(n) + " of " +
                        std::to_string(transfers) + (always ? " and every later one" : " once") + " fails, " +
                        (retries > 0 ? "Retry three times" : "Cancel");
                    const long long descriptors = OpenDescriptors();
                    const Outcome outcome = Run(scenario, start, n, always, retries);
                    ++runs;
                    EXPECT_EQ(OpenDescriptors(), descriptors) << context;
                    const auto directory = Directory(card.Image());
                    ASSERT_TRUE(directory) << context << ": the card no longer loads";
                    const bool isOld = oldDirectory && *directory == *oldDirectory;
                    const bool isNew = *directory == *newDirectory;
                    EXPECT_TRUE(isOld || isNew) << context << ": neither the old nor the new directory";
                    if (faulty->Injected() == 0 || (!always && retries > 0)) {
                        // No fault, or one that a Retry heals: the whole success.
                        EXPECT_EQ(outcome, reference) << context;
                        EXPECT_TRUE(isNew) << context;
                    } else if (outcome.result == scenario.success) {
                        // A fault the export could ride out (a backup copy, a
                        // repair): nothing may be missing from the success.
                        EXPECT_EQ(outcome, reference) << context;
                        EXPECT_TRUE(isNew) << context;
                    } else {
                        EXPECT_NE(std::find(scenario.failures.begin(), scenario.failures.end(), outcome.result),
                                  scenario.failures.end())
                            << context << ": result " << outcome.result;
                        // A copy cut short leaves no half-written local file.
                        for (const auto &[name, content] : outcome.localFiles) {
                            const auto whole = reference.localFiles.find(name);
                            EXPECT_TRUE(whole != reference.localFiles.end() && whole->second == content)
                                << context << ": local file " << name;
                        }
                    }
                }
            }
        }
        totalRuns += runs;
    }

    void TearDown() override { RecordProperty("runs", totalRuns); }

    FlashCard card;
    std::optional<FaultyCard> faulty; // the device of the last run
    ScriptedMessageBox box;
    ScratchDirectory in;
    std::vector<std::uint8_t> populated;
    int totalRuns = 0;
};

std::string OutputPath(const ScratchDirectory &out, const char *name) { return (out.path() / name).string(); }

TEST_F(IoErrorLoop, ChangingExports)
{
    using Dir = const ScratchDirectory &;
    const Scenario scenarios[] = {
        {"format", [](CardFileSystem &fs, Dir, Dir, std::string &) { return fs_calls::Format(fs); }},
        {"write a new file",
         [](CardFileSystem &fs, Dir in, Dir, std::string &) {
             return fs_calls::WriteIcFiles(fs, "\\new", (in.path() / "new.bin").string());
         }},
        {"replace a file",
         [](CardFileSystem &fs, Dir in, Dir, std::string &) {
             return fs_calls::WriteIcFiles(fs, "\\tax", (in.path() / "b.txt").string());
         }},
        {"write matching files",
         [](CardFileSystem &fs, Dir in, Dir, std::string &) {
             return fs_calls::WriteIcFiles(fs, "\\in", (in.path() / "batch" / "*.dat").string());
         }},
        {"write to a blank card",
         [](CardFileSystem &fs, Dir in, Dir, std::string &) {
             return fs_calls::WriteIcFiles(fs, "", (in.path() / "a.txt").string());
         },
         true},
        {"delete a file",
         [](CardFileSystem &fs, Dir, Dir, std::string &) { return fs_calls::DelIcFiles(fs, "\\D.TXT"); }},
        {"delete a directory",
         [](CardFileSystem &fs, Dir, Dir, std::string &) { return fs_calls::DelIcFiles(fs, "\\tax\\*.*"); }},
    };
    for (const Scenario &scenario : scenarios)
        Loop(scenario);
}

TEST_F(IoErrorLoop, ReadingExports)
{
    using Dir = const ScratchDirectory &;
    const Scenario scenarios[] = {
        {"read a file",
         [](CardFileSystem &fs, Dir, Dir out, std::string &text) {
             return fs_calls::ReadIcFiles(fs, out.WithSlash(), "\\tax\\a.txt", text);
         }},
        {"read a directory",
         [](CardFileSystem &fs, Dir, Dir out, std::string &text) {
             return fs_calls::ReadIcFiles(fs, out.WithSlash(), "\\*.*", text);
         }},
        {"list the files",
         [](CardFileSystem &fs, Dir, Dir out, std::string &) {
             return fs_calls::DirIcFiles(fs, OutputPath(out, "dir.txt"));
         },
         false,
         1,
         {-1, 0}},
        {"file time",
         [](CardFileSystem &fs, Dir, Dir, std::string &text) { return fs_calls::FileTime(fs, "b.txt", text); }},
        {"is formatted", [](CardFileSystem &fs, Dir, Dir, std::string &) { return fs_calls::IsFormat(fs); }},
        {"card test",
         [](CardFileSystem &fs, Dir, Dir, std::string &text) {
             ScriptedMessageBox listing;
             const int result = fs_calls::Test(fs, listing);
             for (const auto &call : listing.calls)
                 text += call.text;
             return result;
         }},
        {"bit-table report",
         [](CardFileSystem &fs, Dir, Dir out, std::string &) {
             return fs_calls::GetBitTable(fs, OutputPath(out, "bits.txt"));
         },
         false,
         1,
         {0}},
    };
    for (const Scenario &scenario : scenarios)
        Loop(scenario);
}

} // namespace
} // namespace kelvara::testing
