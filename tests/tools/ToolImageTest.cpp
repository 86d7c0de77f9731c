// The kelvara tool run as a program on card images: the offline commands go
// through the card file system, --json documents parse and agree, fsck finds
// every kind of damage without writing a byte under -n and mends what it can
// with --repair, and the command line refuses what it cannot do before
// touching anything.
#include "tests/support/ScopedEnv.h"
#include "tests/support/ToolRun.h"
#include "tests/tools/HostileCards.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace kelvara::testing {
namespace {

class ToolOnImages : public ::testing::Test {
protected:
    ToolRun Tool(std::vector<std::string> args) { return RunProgram(KELVARA_TOOL_PATH, std::move(args), dir.path()); }
    ToolRun OnImage(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--batch", "--image", image});
        return Tool(std::move(args));
    }
    std::string File(const std::string &name) const { return (dir.path() / name).string(); }
    std::string Bytes(const std::string &path) const { return ReadLocal(path); }

    ScratchDirectory dir;
    ScopedEnv settings{"KELVARA_SETTINGS", dir.File("settings.ini")};
    const std::string image = dir.File("card.img");
};

TEST_F(ToolOnImages, FileCommandsWorkOnAnImageThroughTheCardFileSystem)
{
    WriteLocal(dir.path() / "Return.xml", Pattern(700, 4));
    WriteLocal(dir.path() / "notes.txt", "notes");
    ToolRun run = OnImage({"ls"});
    EXPECT_EQ(run.status, 1) << "no image yet";
    EXPECT_NE(run.err.find("does not exist"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(image)) << "only format makes an image";

    run = OnImage({"format", "--", "put", "\\tax", File("*.xml"), "--", "put", "", File("notes.txt"), "--", "ls"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(std::filesystem::file_size(image), 540672u);
    EXPECT_NE(run.out.find("  \\tax\\return.xml\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  \\notes.txt\n"), std::string::npos) << run.out;

    // The card file system itself finds the files in the image.
    {
        wqn::sim::FlashCard card(image);
        CardFileSystem fs;
        ScriptedMessageBox box;
        fs.BindReader(&card);
        fs.SetMessageBox(&box);
        ASSERT_TRUE(fs.LoadIndex());
        EXPECT_TRUE(fs.FileExists("\\tax\\return.xml"));
        EXPECT_TRUE(fs.FileExists("\\notes.txt"));
    }

    std::filesystem::create_directory(dir.path() / "out");
    run = OnImage(
        {"get", File("out"), "\\tax\\*.*", "--", "time", "return.xml", "--", "rm", "\\notes.txt", "--", "isformat"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadLocal(dir.path() / "out" / "return.xml"), Pattern(700, 4));
    EXPECT_EQ(run.out.substr(0, 11), "return.xml\n");
    EXPECT_NE(run.out.find("\nformatted\n"), std::string::npos);

    run = OnImage({"ls", "--", "df", "--", "bitmap"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("notes.txt"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" 4 pages (1,032 bytes)\nfree:"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("in the index:  1 file, 700 bytes in 3 pages; the index takes 1 page"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("pages free: 2027 of 2031 for files"), std::string::npos) << run.out;
    EXPECT_EQ(OnImage({"time", "no-such-file"}).status, 1);
}

TEST_F(ToolOnImages, JsonDocumentsParseAndAgreeWithEachOther)
{
    WriteLocal(dir.path() / "a.bin", Pattern(1000, 5));
    ASSERT_EQ(OnImage({"format", "--", "put", "\\d", File("a.bin")}).status, 0);
    const ToolRun run = OnImage({"--json", "ls", "--", "df", "--", "bitmap", "--", "fsck", "--", "settings"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<nlohmann::json> docs;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        docs.push_back(nlohmann::json::parse(line)); // throws, failing the test, on anything but JSON
    ASSERT_EQ(docs.size(), 5u) << run.out;
    const nlohmann::json &ls = docs[0], &df = docs[1], &bitmap = docs[2], &fsck = docs[3], &settings = docs[4];
    ASSERT_EQ(ls["files"].size(), 1u);
    EXPECT_EQ(ls["files"][0]["path"], "\\d\\a.bin");
    EXPECT_EQ(ls["files"][0]["stamp"].get<std::string>().size(), 14u);
    EXPECT_EQ(ls["files"][0]["size"], 1000);
    EXPECT_EQ(df["files"], 1);
    EXPECT_EQ(df["bytes"]["files"], 1000);
    EXPECT_EQ(df["pages"]["files"], 4);
    EXPECT_EQ(df["pages"]["index"], 1);
    EXPECT_EQ(df["pages"]["used"], 5);
    EXPECT_EQ(df["pages"]["free"].get<int>() + df["pages"]["used"].get<int>(), df["pages"]["total"].get<int>());
    EXPECT_EQ(df["bytes"]["free"], df["pages"]["free"].get<int>() * 258);
    // Both count the pages a file may be given (not page 0, not the backups).
    EXPECT_EQ(bitmap["free"], df["pages"]["free"]);
    EXPECT_EQ(bitmap["pages"], df["pages"]["total"]);
    EXPECT_EQ(bitmap["bits"].get<std::string>().size(), 2048u);
    EXPECT_EQ(fsck["clean"], true);
    EXPECT_EQ(fsck["exit"], 0);
    EXPECT_TRUE(fsck["findings"].empty());
    EXPECT_EQ(settings["settings"]["PortMode"], 0);
    EXPECT_EQ(settings["settings"]["ComPortName"], "com1");

    const ToolRun version = Tool({"version", "--json", "--image", image});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.err, "");
    const nlohmann::json v = nlohmann::json::parse(version.out);
    EXPECT_EQ(v["tool"], KELVARA_TOOL_VERSION);
    EXPECT_TRUE(v["reader"].is_null()) << "no reader behind an image";
}

TEST_F(ToolOnImages, FsckFindsEveryKindOfDamageAndWritesNothingUnlessAskedTo)
{
    for (const Hostile &h : HostileCards()) {
        SCOPED_TRACE(h.name);
        SampleCard s;
        h.damage(s);
        ASSERT_TRUE(s.card.SaveImage(image));
        const std::string before = Bytes(image);

        ToolRun run = OnImage({"fsck", "-n"});
        EXPECT_EQ(run.status, 4) << run.out << run.err;
        EXPECT_NE(run.out.find(h.words), std::string::npos) << run.out;
        run = OnImage({"fsck", "--json", "--map", File("damage.svg")});
        EXPECT_EQ(run.status, 4);
        const nlohmann::json doc = nlohmann::json::parse(run.out);
        EXPECT_EQ(doc["clean"], false);
        EXPECT_TRUE(std::any_of(doc["findings"].begin(), doc["findings"].end(), [&](const nlohmann::json &f) {
            return f["kind"] == check::KindName(h.kind);
        })) << run.out;
        const std::string svg = Bytes(File("damage.svg"));
        EXPECT_TRUE(svg.find("data-damage=") != std::string::npos ||
                    svg.find("data-role=\"leaked\"") != std::string::npos);
        EXPECT_EQ(Bytes(image), before) << "fsck without --repair wrote to the image";

        // And the repair: a backup first, then only what the card proves.
        const std::string backup = File("backup-" + h.name + ".img");
        run = OnImage({"fsck", "--repair", "--backup", backup, "--salvage", File("saved-" + h.name)});
        EXPECT_EQ(run.status, h.repairExit) << run.out << run.err;
        if (h.repairExit == 4) {
            EXPECT_EQ(Bytes(image), before) << "nothing to mend, nothing written";
            EXPECT_FALSE(std::filesystem::exists(backup));
        } else {
            EXPECT_EQ(Bytes(backup), before) << "the backup holds the card as it was";
            EXPECT_NE(run.out.find("mended: "), std::string::npos) << run.out;
        }
        EXPECT_EQ(OnImage({"fsck", "-n"}).status, h.repairExit == 1 ? 0 : 4);
    }
}

TEST_F(ToolOnImages, RepairSavesTheFilesOfADamagedIndexFirst)
{
    SampleCard s;
    s.card.CorruptPage(s.IndexPage(), 3); // read from, and restored from, its backup
    ASSERT_TRUE(s.card.SaveImage(image));
    const std::filesystem::path work = dir.path() / "work";
    std::filesystem::create_directory(work);
    std::filesystem::current_path(work);
    const ToolRun run = OnImage({"fsck", "--repair"});
    std::filesystem::current_path(dir.path());
    ASSERT_EQ(run.status, 1) << run.out << run.err;
    // The default names: a backup image and a salvage directory, both stamped.
    std::string backup, salvage;
    for (const auto &entry : std::filesystem::directory_iterator(work)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("kelvara-backup-", 0) == 0)
            backup = entry.path().string();
        if (name.rfind("kelvara-salvage-", 0) == 0)
            salvage = entry.path().string();
    }
    ASSERT_FALSE(backup.empty());
    ASSERT_FALSE(salvage.empty());
    EXPECT_EQ(std::filesystem::file_size(backup), 540672u);
    EXPECT_EQ(ReadLocal(std::filesystem::path(salvage) / "tax" / "return.xml"), s.contents["\\tax\\return.xml"]);
    EXPECT_EQ(ReadLocal(std::filesystem::path(salvage) / "notes.txt"), s.contents["\\notes.txt"]);
    EXPECT_LT(run.out.find("salvaged 3 file(s)"), run.out.find("mended: ")) << run.out;

    // A second repair on the mended card finds nothing to do.
    EXPECT_EQ(OnImage({"fsck", "--repair", "--backup", File("unused.img")}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(File("unused.img")));
    // An existing backup file is never overwritten.
    s.card.CorruptPage(2047, 3);
    ASSERT_TRUE(s.card.SaveImage(image));
    const std::string before = Bytes(image);
    WriteLocal(dir.path() / "taken.img", "keep me");
    EXPECT_EQ(OnImage({"fsck", "--repair", "--backup", File("taken.img")}).status, 8);
    EXPECT_EQ(Bytes(File("taken.img")), "keep me");
    EXPECT_EQ(Bytes(image), before);
}

// A salvage that has to rename a file or fill a page with zeros says so,
// in text and in JSON, and the mend goes on (-y and -p repair as --repair).
TEST_F(ToolOnImages, RepairGoesOnPastFilesSalvagedInPart)
{
    SampleCard s;
    s.RenameRecord(0, "\\tax"); // a file where the directory of receipts.bin goes
    const int bad = s.PagesOf("\\notes.txt")[0];
    s.card.CorruptPage(bad, 5);
    s.card.CorruptPage(s.IndexPage(), 3);
    ASSERT_TRUE(s.card.SaveImage(image));
    const std::string damaged = Bytes(image);

    ToolRun run = OnImage({"fsck", "-y", "--backup", File("a.img"), "--salvage", File("text")});
    EXPECT_EQ(run.status, 5) << run.out << run.err; // the index page mended, the data page left
    EXPECT_NE(run.out.find("renamed: \\tax\\receipts.bin saved as " + File("text/tax.1/receipts.bin")),
              std::string::npos)
        << run.out;
    EXPECT_NE(
        run.out.find("zero-filled: \\notes.txt: page " + std::to_string(bad) + " (bytes 0 to 257) has a bad checksum"),
        std::string::npos)
        << run.out;

    WriteLocal(image, damaged);
    run = OnImage({"--json", "fsck", "-p", "--backup", File("b.img"), "--salvage", File("json")});
    EXPECT_EQ(run.status, 5) << run.err;
    const nlohmann::json salvage = nlohmann::json::parse(run.out)["salvage"];
    ASSERT_EQ(salvage["renamed"].size(), 1u) << run.out;
    EXPECT_EQ(salvage["renamed"][0]["saved"], File("json/tax.1/receipts.bin"));
    ASSERT_EQ(salvage["zero_filled"].size(), 1u) << run.out;
    EXPECT_EQ(salvage["zero_filled"][0]["page"], bad);
    EXPECT_EQ(salvage["zero_filled"][0]["bytes"], nlohmann::json::array({0, 257}));
}

// Every failure names the object and the cause, a command that finds
// nothing to do fails, and none of them changes the image.
TEST_F(ToolOnImages, FailuresSayWhyAndChangeNothing)
{
    SampleCard s;
    ASSERT_TRUE(s.card.SaveImage(image));
    std::filesystem::create_directory(dir.path() / "out");
    std::filesystem::create_directory(dir.path() / "folder");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {{"put", "\\tax", File("nofile.xml")}, 1, "nofile.xml: No such file or directory"},
        {{"put", "\\tax", File("*.nope")}, 1, "no local file matches"},
        {{"put", "\\tax", File("no/such/*.xml")}, 1, "no/such: No such file or directory"},
        {{"put", "\\tax", File("folder")}, 1, "folder: is a directory"},
        {{"put", "tax", File("card.img")}, 2, "does not start with a backslash; quote card paths"},
        {{"get", File("missing"), "\\notes.txt"}, 3, "missing: No such file or directory"},
        {{"get", File("card.img"), "\\notes.txt"}, 3, "card.img: Not a directory"},
        {{"get", File("out"), "\\tax\\nope.xml"}, 1, "no file on the card matches '\\tax\\nope.xml'"},
        {{"get", File("out"), "\\tax\\*.txt"}, 1, "no file on the card matches"},
        {{"get", File("out"), "\\nope\\*.*"}, 1, "no file on the card matches"},
        {{"rm", "\\tax\\nope.xml"}, 1, "no file on the card matches"},
        {{"rm", "taxa.xml"}, 2, "does not start with a backslash"},
        {{"ls", File("no/such/list.txt")}, 3, "cannot write " + File("no/such/list.txt") + ": No such file"},
        {{"read-page", "5", "300", "16"}, 2, "run past the page's 264 bytes"},
        {{"write-page", "5", "0102", "263"}, 2, "run past the page's 264 bytes"},
        {{"settings", "set", "PortMode", "9"}, 2, "PortMode is 0 to 3"},
        {{"settings", "set", "ComPortID", "6"}, 2, "ComPortID is 0 to 5"},
        {{"settings", "set", "BaudRateIndex", "-1"}, 2, "BaudRateIndex is 0 to 6"},
        {{"settings", "set", "BaudRateMax", "7"}, 2, "BaudRateMax is 0 to 6"},
        {{"trace", File("card.img")}, 1, "card.img holds no trace lines"},
        {{"--json", "trace", "--stats", File("card.img")}, 1, "card.img holds no trace lines"},
    };
    const std::string before = Bytes(image);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const ToolRun run = OnImage(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(Bytes(image) == before) << "the image changed";
        EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "out"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "settings.ini")) << "a refused setting is not stored";
    const ToolRun missing = Tool({"--image", File("none.img"), "check"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("none.img does not exist"), std::string::npos) << missing.err;
}

// What get does with the local side: two card files of one name are an
// error, an existing file is overwritten on a word, or kept with -n.
TEST_F(ToolOnImages, GetNeverLosesAFileSilently)
{
    std::filesystem::create_directories(dir.path() / "in" / "a");
    std::filesystem::create_directories(dir.path() / "in" / "b");
    WriteLocal(dir.path() / "in" / "a" / "same.txt", "from a");
    WriteLocal(dir.path() / "in" / "b" / "same.txt", "from b");
    ASSERT_EQ(
        OnImage({"format", "--", "put", "\\d\\a", File("in/a/same.txt"), "--", "put", "\\d\\b", File("in/b/same.txt")})
            .status,
        0);
    const std::filesystem::path out = dir.path() / "out";
    struct Case {
        std::vector<std::string> args;
        std::string existing; // out/same.txt before, "" for none
        int status;
        std::string says, after; // out/same.txt after, "" for none
    } cases[] = {
        {{"get", out.string(), "\\d\\*.*"},
         "",
         1,
         "'\\d\\a\\same.txt' and '\\d\\b\\same.txt' would both become same.txt",
         ""},
        {{"get", out.string(), "\\d\\b\\same.txt"}, "", 0, "", "from b"},
        {{"get", out.string(), "\\d\\b\\same.txt"}, "old", 0, "same.txt exists: overwritten", "from b"},
        {{"get", "-n", out.string(), "\\d\\b\\same.txt"}, "old", 0, "same.txt exists: kept (--no-clobber)", "old"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.says);
        std::filesystem::remove_all(out);
        std::filesystem::create_directory(out);
        if (!c.existing.empty())
            WriteLocal(out / "same.txt", c.existing);
        const ToolRun run = OnImage(c.args);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.says.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        }
        EXPECT_EQ(std::filesystem::exists(out / "same.txt") ? ReadLocal(out / "same.txt") : "", c.after);
    }
}

// The file commands mtools users reach for, each on a fresh copy of the
// sample card (\tax\return.xml 600 bytes, \tax\receipts.bin 300, \notes.txt
// 10, all written 2024-01-02 03:04:05); a row may chain commands to show
// what the first one did.
TEST_F(ToolOnImages, FileCommandsAsMtoolsUsersExpectThem)
{
    SampleCard s;
    ASSERT_TRUE(s.card.SaveImage(image));
    const std::string sample = Bytes(image);
    WriteLocal(dir.path() / "stdin.bin", Pattern(1000, 9));
    std::filesystem::create_directories(dir.path() / "tree" / "sub" / "deeper");
    std::filesystem::create_directories(dir.path() / "empty");
    WriteLocal(dir.path() / "tree" / "a.txt", "A");
    WriteLocal(dir.path() / "tree" / "sub" / "b.txt", "B");
    WriteLocal(dir.path() / "tree" / "sub" / "deeper" / "c.txt", "C");
    const std::string t = "2024-01-02 03:04:05  ";
    const std::string out = File("out");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out; // all of stdout
        std::string says; // in stderr
        std::map<std::string, std::string> local = {}; // files under out/ afterwards
        std::string input = "/dev/null";
    } cases[] = {
        {{"ls", "-l"},
         0,
         "       600  " + t + "\\tax\\return.xml\n       300  " + t + "\\tax\\receipts.bin\n        10  " + t +
             "\\notes.txt\n",
         ""},
        {{"ls", "\\tax\\re*"}, 0, t + "\\tax\\return.xml\n" + t + "\\tax\\receipts.bin\n", ""},
        {{"ls", "-l", "\\TAX\\*.b?n", "\\*.txt"},
         0,
         "       300  " + t + "\\tax\\receipts.bin\n        10  " + t + "\\notes.txt\n",
         ""},
        {{"ls", "\\*.*"}, 0, t + "\\tax\\return.xml\n" + t + "\\tax\\receipts.bin\n" + t + "\\notes.txt\n", ""},
        {{"ls", "\\tax\\*.*"}, 0, t + "\\tax\\return.xml\n" + t + "\\tax\\receipts.bin\n", ""},
        {{"ls", "\\tax\\*.txt"}, 1, "", "no file on the card matches '\\tax\\*.txt'"},
        {{"ls", "\\*.xml"}, 1, "", "no file on the card matches '\\*.xml'"}, // not the files of \tax
        {{"ls", "\\t?x\\*.xml"}, 2, "", "the wildcards * and ? stand only in its last part"},
        {{"cat", "\\notes.txt"}, 0, Pattern(10, 3), ""},
        {{"cat", "\\tax\\r*", "\\notes.txt"}, 0, Pattern(600, 1) + Pattern(300, 2) + Pattern(10, 3), ""},
        {{"cat", "\\nope*"}, 1, "", "no file on the card matches '\\nope*'"},
        {{"get", out, "\\tax\\*.bin"}, 0, "receipts.bin\n", "", {{"receipts.bin", Pattern(300, 2)}}},
        {{"get", "-d", out, "\\*.*"},
         0,
         "tax/return.xml\ntax/receipts.bin\nnotes.txt\n",
         "",
         {{"tax/return.xml", Pattern(600, 1)}, {"tax/receipts.bin", Pattern(300, 2)}, {"notes.txt", Pattern(10, 3)}}},
        {{"get", out, "\\tax\\*.b"}, 1, "", "no file on the card matches '\\tax\\*.b'"},
        {{"rm", "\\tax\\re*.xml", "--", "ls"}, 0, t + "\\tax\\receipts.bin\n" + t + "\\notes.txt\n", ""},
        {{"rm", "\\?otes.txt", "--", "ls"}, 0, t + "\\tax\\return.xml\n" + t + "\\tax\\receipts.bin\n", ""},
        {{"rm", "\\tax\\*.xm"}, 1, "", "no file on the card matches"},
        {{"mv", "\\tax\\return.xml", "\\old\\R.xml", "--", "cat", "\\old\\r.xml", "--", "ls", "\\tax\\*.xml"},
         1,
         Pattern(600, 1),
         "no file on the card matches '\\tax\\*.xml'"},
        {{"mv", "\\notes.txt", "\\tax\\", "--", "ls"},
         0,
         t + "\\tax\\return.xml\n" + t + "\\tax\\receipts.bin\n" + t + "\\tax\\notes.txt\n",
         ""},
        {{"mv", "\\notes.txt", "\\tax\\Return.xml"}, 1, "", "'\\tax\\return.xml' exists already; nothing renamed"},
        {{"mv", "\\nope.txt", "\\x.txt"}, 1, "", "no file on the card matches '\\nope.txt'"},
        {{"mv", "\\notes.txt", "\\a*b"}, 2, "", "'\\a*b' is no path a card file can take"},
        {{"mv", "\\*.txt", "\\x\\"}, 2, "", "mv renames one file"},
        {{"put", "\\in", "-", "--name", "Std.bin", "--", "cat", "\\in\\std.bin"},
         0,
         Pattern(1000, 9),
         "",
         {},
         File("stdin.bin")},
        {{"put", "\\in", "-"}, 2, "", "standard input needs --name NAME"},
        {{"put", "\\in", "-", "--name", "a/b"}, 2, "", "standard input needs --name NAME"},
        {{"put", "-r", "\\t", File("tree"), "--", "cat", "\\t\\a.txt", "\\t\\sub\\b.txt", "\\t\\sub\\deeper\\c.txt"},
         0,
         "ABC",
         ""},
        {{"put", "-r", "\\t", File("empty")}, 1, "", "no file under " + File("empty")},
        {{"put", "-r", "\\t", File("tree/a.txt")}, 1, "", "a.txt: not a directory"},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const std::string &arg : c.args)
            line += arg + " ";
        SCOPED_TRACE(line);
        WriteLocal(image, sample);
        std::filesystem::remove_all(out);
        std::filesystem::create_directory(out);
        std::vector<std::string> args{"--batch", "--image", image};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = RunProgram(KELVARA_TOOL_PATH, args, dir.path(), {}, c.input);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_TRUE(run.out == c.out) << run.out;
        if (c.says.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        }
        std::map<std::string, std::string> local;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(out)) {
            if (entry.is_regular_file())
                local[entry.path().lexically_relative(out).generic_string()] = ReadLocal(entry.path());
        }
        EXPECT_EQ(local, c.local);
        if (c.status == 2) {
            EXPECT_TRUE(Bytes(image) == sample) << "a refused command line changed the image";
        }
    }
}

// Reading commands leave the image as it is, even where the card file system
// mends as it reads; a chain goes on after a repair; names from the card
// reach the terminal escaped; prompts in a pipe hold no escape codes.
TEST_F(ToolOnImages, OutputAndImageStayAsTheyShould)
{
    SampleCard s;
    s.card.CorruptPage(card::kBitTablePage, 5); // read from its backup
    ASSERT_TRUE(s.card.SaveImage(image));
    const std::string before = Bytes(image);
    std::filesystem::create_directory(dir.path() / "out");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"ls"}, {"isformat"}, {"time", "notes.txt"}, {"bitmap"}, {"get", File("out"), "\\notes.txt"}, {"test"}}) {
        SCOPED_TRACE(args[0]);
        const ToolRun run = OnImage(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Bytes(image) == before) << "a reading command wrote the image";
        if (args[0] != "bitmap") {
            EXPECT_NE(run.err.find("page 0 read from its backup and mended in memory only"), std::string::npos)
                << run.err;
        }
        EXPECT_EQ(run.err.find('\033'), std::string::npos) << "escape codes in a pipe";
    }

    ToolRun run = OnImage({"fsck", "--repair", "--backup", File("b.img"), "--", "ls"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.out.find("\\notes.txt"), std::string::npos) << "ls ran after the repair: " << run.out;

    const std::string evil = "a\x1B]0;owned\x07\xC2\x9B.txt";
    WriteLocal(dir.path() / evil, "x");
    ASSERT_EQ(OnImage({"put", "\\e", File(evil)}).status, 0);
    run = OnImage({"ls", "--", "get", File("out"), "\\e\\*.*"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find('\x1B'), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('\x07'), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\\e\\a\\x1B]0;owned\\x07\\xC2\\x9B.txt"), std::string::npos) << run.out;
    EXPECT_EQ(ReadLocal(dir.path() / "out" / evil), "x") << "the local file keeps the card's name";
}

TEST_F(ToolOnImages, ImagesAreCopiedWholeAndWrongSizesRefused)
{
    SampleCard s;
    ASSERT_TRUE(s.card.SaveImage(image));
    const std::string copy = File("copy.img");
    ASSERT_EQ(OnImage({"image", "dump", copy}).status, 0);
    EXPECT_EQ(Bytes(copy), Bytes(image));
    EXPECT_EQ(OnImage({"image", "dump", copy}).status, 3) << "an existing file is kept";
    EXPECT_EQ(OnImage({"image", "dump", "--force", copy}).status, 0);

    const std::string before = Bytes(image);
    WriteLocal(dir.path() / "short.img", std::string(540671, '\0'));
    ToolRun run = OnImage({"image", "restore", File("short.img")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is 540671 bytes; a card image is 540672 bytes"), std::string::npos) << run.err;
    EXPECT_EQ(Bytes(image), before);

    // A wrong-sized image is not taken as a card either.
    run = Tool({"--image", File("short.img"), "ls"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is not 540672 bytes"), std::string::npos) << run.err;
}

TEST_F(ToolOnImages, TheMapShowsEveryPage)
{
    SampleCard s;
    ASSERT_TRUE(s.card.SaveImage(image));
    ASSERT_EQ(OnImage({"map", File("card.svg")}).status, 0);
    const std::string svg = Bytes(File("card.svg"));
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    std::size_t cells = 0;
    for (std::size_t at = 0; (at = svg.find("data-page=", at)) != std::string::npos; ++at)
        ++cells;
    EXPECT_EQ(cells, 2048u);
    EXPECT_NE(svg.find("data-file=\"\\tax\\return.xml\""), std::string::npos);
    EXPECT_EQ(svg.find("data-damage="), std::string::npos);
    EXPECT_EQ(OnImage({"map", File("no/such/dir/card.svg")}).status, 3);
}

TEST_F(ToolOnImages, TheCommandLineIsCheckedBeforeAnythingRuns)
{
    EXPECT_EQ(Tool({}).status, 2);
    EXPECT_EQ(Tool({"no-such-command"}).status, 2);
    EXPECT_EQ(Tool({"put", "only-one-argument"}).status, 2);
    EXPECT_EQ(Tool({"fsck", "-n", "--repair"}).status, 2);
    EXPECT_EQ(Tool({"read-page", "2048"}).status, 2);
    EXPECT_EQ(Tool({"read-page", "1", "0"}).status, 2) << "OFFSET without LENGTH";
    EXPECT_EQ(Tool({"write-page", "1", "zz"}).status, 2);
    EXPECT_EQ(Tool({"image"}).status, 2);
    EXPECT_EQ(Tool({"--image", "a.img", "ls", "--", "--image", "b.img", "ls"}).status, 2);
    // A bad command late in the chain stops the whole chain: no image is made.
    EXPECT_EQ(OnImage({"format", "--", "put", "x"}).status, 2);
    EXPECT_FALSE(std::filesystem::exists(image));

    // Help for the tool and for every command, and the version.
    ToolRun run = Tool({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Exit codes:"), std::string::npos);
    for (const char *command :
         {"check", "release", "lock",   "exit", "version",   "format",     "isformat", "put",  "get", "rm",      "ls",
          "time",  "test",    "bitmap", "df",   "read-page", "write-page", "image",    "fsck", "map", "settings"}) {
        run = Tool({command, "--help"});
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_NE(run.out.find(std::string("Usage: kelvara ") + command), std::string::npos) << run.out;
    }
    run = Tool({"image", "restore", "--help"});
    EXPECT_NE(run.out.find("540,672"), std::string::npos) << run.out;
    run = Tool({"fsck", "--help"});
    EXPECT_NE(run.out.find("4 damage is left"), std::string::npos) << run.out;
    run = Tool({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string("kelvara ") + KELVARA_TOOL_VERSION + "\n");
}

TEST_F(ToolOnImages, VerboseSaysWhatHappens)
{
    SampleCard s;
    ASSERT_TRUE(s.card.SaveImage(image));
    EXPECT_EQ(OnImage({"image", "dump", File("quiet.img")}).err, "");
    const ToolRun one = OnImage({"-v", "image", "dump", File("one.img")});
    EXPECT_NE(one.err.find("reading the card: 2048 of 2048 pages"), std::string::npos) << one.err;
    EXPECT_EQ(one.err.find("running image dump"), std::string::npos);
    const ToolRun two = OnImage({"-vv", "image", "dump", File("two.img")});
    EXPECT_NE(two.err.find("running image dump"), std::string::npos) << two.err;
}

// The library's prompts are Chinese: beside each the tool prints its meaning
// in the user's language, and under a Chinese locale the prompt stands alone.
// The tool's own messages follow the locale too.
TEST_F(ToolOnImages, PromptsAreExplainedInTheUsersLanguage)
{
#ifndef WQN_TOOLS_LOCALE_DIR
    GTEST_SKIP() << "built without gettext";
#else
    ASSERT_EQ(OnImage({"format"}).status, 0);
    const std::string local = File("a.xml");
    WriteLocal(local, "<a/>");
    // A card path so long the file's index record cannot hold it.
    const std::string longDirectory = "\\" + std::string(4100, 'd');
    const std::string prompt = "[提示] IC卡文件路径过长!";
    struct Case {
        std::map<std::string, std::string> environment;
        std::string shown; // the prompt's line
        std::string failed;
    };
    const Case cases[] = {
        {{{"LC_ALL", "C"}, {"LANGUAGE", ""}},
         prompt + " — The file path is too long for the IC card.\n",
         "kelvara: put failed\n"},
        {{{"LC_ALL", "zh_CN.UTF-8"}, {"LANGUAGE", ""}}, prompt + "\n", "kelvara: put 失败\n"},
        {{{"LC_ALL", "C.UTF-8"}, {"LANGUAGE", "zh_CN"}}, prompt + "\n", "kelvara: put 失败\n"},
    };
    for (const Case &c : cases) {
        std::map<std::string, std::string> environment = c.environment;
        environment["KELVARA_LOCALEDIR"] = WQN_TOOLS_LOCALE_DIR;
        const ToolRun run = RunProgram(KELVARA_TOOL_PATH, {"--batch", "--image", image, "put", longDirectory, local},
                                       dir.path(), environment);
        const std::string where = c.environment.begin()->second + " " + c.environment.rbegin()->second;
        EXPECT_EQ(run.status, 1) << where << "\n" << run.err;
        EXPECT_NE(run.err.find(c.shown), std::string::npos) << where << "\n" << run.err;
        EXPECT_NE(run.err.find(c.failed), std::string::npos) << where << "\n" << run.err;
    }
#endif
}

} // namespace
} // namespace kelvara::testing
