// The kelvara tool as a user runs it: chained commands against the simulator,
// its output and its exit codes.
#include "tests/e2e/E2eSupport.h"
#include "tests/support/ToolRun.h"

#include <set>

namespace kelvara::e2e {
namespace {

using kelvara::testing::ToolRun;

ToolRun RunTool(const Scratch &scratch, std::vector<std::string> args)
{
    // The tool finds the settings and ports where the library hosts do.
    return kelvara::testing::RunProgram(KELVARA_TOOL_PATH, std::move(args), scratch.path(), HostEnvironment());
}

class ToolE2e : public E2eTest {};

TEST_F(ToolE2e, CopiesFilesOntoTheCardAndBack)
{
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    std::filesystem::create_directories(scratch.path() / "in");
    WriteFile(scratch.path() / "in" / "Return.xml", "<return/>");
    const std::string in = (scratch.path() / "in" / "*.xml").string();

    ToolRun run = RunTool(scratch, {"check", "--", "format", "--", "put", "\\tax", in, "--", "ls"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\\tax\\return.xml"), std::string::npos) << run.out;

    run = RunTool(scratch, {"get", scratch.path().string(), "\\tax\\*.*"});
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "return.xml\n");
    EXPECT_EQ(ReadFile(scratch.path() / "return.xml"), "<return/>");

    // The rename through KelvaraRenameIcFile, the sizes through the raw pages.
    run = RunTool(scratch, {"mv", "\\tax\\return.xml", "\\old\\", "--", "ls", "-l", "--", "cat", "\\old\\r*"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("         9  "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  \\old\\return.xml\n<return/>"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\\tax\\"), std::string::npos) << run.out;

    run = RunTool(scratch, {"bitmap"});
    ASSERT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("pages free: 2029 of 2031 for files"), std::string::npos) << run.out;

    run = RunTool(scratch, {"settings"});
    EXPECT_NE(run.out.find("PortMode=1\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ComPortName=com1\n"), std::string::npos) << run.out;
}

TEST_F(ToolE2e, ExitCodesTellWhatWentWrong)
{
    EXPECT_EQ(RunTool(scratch, {}).status, 2);
    EXPECT_EQ(RunTool(scratch, {"put", "only-one-argument"}).status, 2);
    EXPECT_EQ(RunTool(scratch, {"settings", "set", "NoSuchValue", "1"}).status, 2);
    ASSERT_EQ(RunTool(scratch, {"settings", "set", "BaudRateMax", "4"}).status, 0);
    EXPECT_EQ(Setting("BaudRateMax"), "4");
    // No reader anywhere: the prompt is cancelled without a terminal, and
    // the tool says what it tried.
    const ToolRun none = RunTool(scratch, {"check"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no reader with a card ready: tried the"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("up to 38400 bps (BaudRateMax 4)"), std::string::npos) << none.err;

    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    EXPECT_EQ(RunTool(scratch, {"put", "", scratch.File("missing.txt")}).status, 1);
    EXPECT_EQ(RunTool(scratch, {"ls", scratch.File("no/such/dir.txt")}).status, 3);
    const ToolRun page = RunTool(scratch, {"-v", "read-page", "2047", "0", "16"});
    EXPECT_EQ(page.status, 0);
    EXPECT_EQ(page.out.rfind("000: ", 0), 0u) << page.out;
    EXPECT_NE(page.err.find("reader: "), std::string::npos) << page.err;
    EXPECT_NE(page.err.find("port com1 = " + sim.Path() + ", up to 38400 bps"), std::string::npos) << page.err;
}

// The page of every write sent to the card, in order, from the simulator's
// log of received frames.
std::vector<int> PageWrites(const std::string &log)
{
    std::vector<int> pages;
    for (const std::string &frame : ReceivedFrames(log)) {
        if (frame.rfind("57 52 54 45", 0) == 0) // "WRTE", then the page, low byte first
            pages.push_back(std::stoi(frame.substr(12, 2), nullptr, 16) |
                            std::stoi(frame.substr(15, 2), nullptr, 16) << 8);
    }
    return pages;
}

// A card image with two files, made by the tool without a reader.
void MakeCard(const Scratch &scratch, const std::string &image)
{
    std::filesystem::create_directories(scratch.path() / "in");
    WriteFile(scratch.path() / "in" / "return.xml", std::string(600, 'r'));
    WriteFile(scratch.path() / "in" / "notes.txt", "notes");
    const ToolRun run = RunTool(scratch,
                                {"--image", image, "format", "--", "put", "\\tax", scratch.File("in/return.xml"), "--",
                                 "put", "", scratch.File("in/notes.txt")});
    ASSERT_EQ(run.status, 0) << run.err;
}

TEST_F(ToolE2e, WholeCardImagesGoThroughTheRawPages)
{
    MakeCard(scratch, image);
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);
    ToolRun run = RunTool(scratch, {"--batch", "image", "dump", scratch.File("dump.img")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFile(scratch.File("dump.img")), ReadFile(image));

    // Another card's image, written back to this card and read back.
    std::filesystem::copy_file(scratch.File("dump.img"), scratch.File("other.img"));
    WriteFile(scratch.path() / "in" / "new.txt", "new");
    ASSERT_EQ(RunTool(scratch,
                      {"--image", scratch.File("other.img"), "rm", "\\tax\\return.xml", "--", "put", "\\new",
                       scratch.File("in/new.txt")})
                  .status,
              0);
    run = RunTool(scratch, {"--batch", "image", "restore", scratch.File("other.img")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFile(image), ReadFile(scratch.File("other.img")));
    // Every page once; a write sent again after a late reply counts once.
    const std::vector<int> writes = PageWrites(log);
    const std::set<int> pages(writes.begin(), writes.end());
    EXPECT_EQ(pages.size(), 2048u);
    EXPECT_EQ(*pages.rbegin(), 2047);
    run = RunTool(scratch, {"--batch", "ls"});
    EXPECT_NE(run.out.find("\\new\\new.txt"), std::string::npos) << run.out;

    // An image of the wrong size is refused before the card is touched.
    const std::size_t writesBefore = writes.size();
    WriteFile(scratch.path() / "long.img", std::string(540673, '\0'));
    run = RunTool(scratch, {"--batch", "image", "restore", scratch.File("long.img")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(PageWrites(log).size(), writesBefore);
}

TEST_F(ToolE2e, FsckChecksTheCardInTheReaderAndMendsItThroughTheRawPages)
{
    MakeCard(scratch, image);
    // Page 0 damaged: its backup in page 2047 is intact.
    std::string bytes = ReadFile(image);
    bytes[10] = static_cast<char>(bytes[10] ^ 0x40);
    WriteFile(image, bytes);
    SerialSim sim(SimArgs());
    UseReaderOn(1, sim);

    ToolRun run = RunTool(scratch, {"--batch", "fsck", "-n", "--map", scratch.File("fsck.svg")});
    EXPECT_EQ(run.status, 4) << run.out << run.err;
    EXPECT_NE(run.out.find("page 0 (the bit table) has a bad checksum; its backup in page 2047 is intact"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(ReadFile(image), bytes) << "a check alone writes nothing";
    EXPECT_EQ(PageWrites(log).size(), 0u);
    EXPECT_NE(ReadFile(scratch.File("fsck.svg")).find("data-page=\"0\" data-role=\"bit-table\" data-damage"),
              std::string::npos);

    run = RunTool(scratch, {"--batch", "df"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("in the index:  2 files, 605 bytes in 4 pages"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("the card shows damage"), std::string::npos) << run.err;
    EXPECT_EQ(RunTool(scratch, {"--batch", "map", scratch.File("card.svg")}).status, 0);

    run = RunTool(scratch, {"--batch", "fsck", "--repair", "--backup", scratch.File("backup.img")});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_EQ(ReadFile(scratch.File("backup.img")), bytes);
    EXPECT_EQ(PageWrites(log), std::vector<int>{0}) << "one page mended";
    const std::string mended = ReadFile(image);
    EXPECT_EQ(mended.substr(0, 264), mended.substr(2047 * 264, 264));
    EXPECT_EQ(RunTool(scratch, {"--batch", "fsck"}).status, 0);
}

TEST_F(ToolE2e, PagesTheReaderCannotReadAreReportedNotHidden)
{
    MakeCard(scratch, image);
    const std::string bytes = ReadFile(image);
    // Page 0 and the second data page of \tax\return.xml fail to read and write.
    SerialSim sim(SimArgs({"--fail-page", "0", "--fail-page", "2"}));
    UseReaderOn(1, sim);

    ToolRun run = RunTool(scratch, {"--batch", "image", "dump", scratch.File("dump.img")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("2 page(s) could not be read and are zeros in the image: 0 2"), std::string::npos)
        << run.err;
    const std::string dump = ReadFile(scratch.File("dump.img"));
    ASSERT_EQ(dump.size(), bytes.size());
    EXPECT_EQ(dump.substr(0, 264), std::string(264, '\0'));
    EXPECT_EQ(dump.substr(2 * 264, 264), std::string(264, '\0'));
    EXPECT_EQ(dump.substr(264, 264), bytes.substr(264, 264));
    EXPECT_EQ(dump.substr(3 * 264), bytes.substr(3 * 264));

    run = RunTool(scratch, {"--batch", "fsck", "-n"});
    EXPECT_EQ(run.status, 4);
    EXPECT_NE(run.out.find("page 0 (the bit table) cannot be read; its backup in page 2047 is intact"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\\tax\\return.xml: page 2 (part 2 of 3, bytes 258 to 515) cannot be read"),
              std::string::npos)
        << run.out;

    // The mend of page 0 is not taken by the card: reported, and the codes add up.
    run = RunTool(scratch, {"--batch", "fsck", "--repair", "--backup", scratch.File("backup.img")});
    EXPECT_EQ(run.status, 4 + 8) << run.out << run.err;
    EXPECT_NE(run.out.find("FAILED: page 0 not written"), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(scratch.File("backup.img")), dump);
    EXPECT_EQ(ReadFile(image), bytes);
}

} // namespace
} // namespace kelvara::e2e
