// What the kelvara tool's command files share: the exit codes, the options
// that hold for a whole command line, the session the commands run in, and
// the way each file adds its commands to the parser.
//
// A command line is one or more commands separated by "--"; every command is
// parsed and checked before the first one runs, and they all share one
// connection (or one card image).
#pragma once

#include "kelvara/card/PageDevice.h"
#include "tools/common/ExitCodes.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kelvara::check {
class DevicePages;
}

namespace kelvara::tool {

// The codes both tools share, and fsck's own.
enum Exit {
    kOk = wqn::tools::kExitOk,
    kFailed = wqn::tools::kExitFailed, // the operation failed (fsck: damage was repaired)
    kUsage = wqn::tools::kExitUsage,
    kNotWritten = wqn::tools::kExitNotWritten, // an output file could not be written
    kDamageLeft = 4, // fsck: damage found and not (all) repaired
    kCheckFailed = 8, // fsck: the card could not be checked or mended as asked
};

// Options given anywhere on the command line; they hold for every command.
struct Options {
    bool batch = false; // never ask on the terminal: prompts are cancelled
    bool json = false;
    int verbosity = 0; // -v 1, -vv 2
    std::string image; // work on this card image instead of the card
    std::string reader; // --reader: the reader mode for this run only
    std::string port; // --port: the serial reader's port for this run only
};

class CardAccess;
class ProgressBar;

class Session {
public:
    explicit Session(Options options);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    const Options &options() const { return options_; }
    bool Offline() const { return !options_.image.empty(); }

    // The card (through libkelvara) or the image (through the card file
    // system linked into the tool); opened on first use.
    CardAccess &Card();
    // The card's pages, ready for raw access: the reader connected, or the
    // image opened. Null (after saying why on stderr) when that fails.
    PageDevice *Pages();

    // Messages on stderr for -v (level 1) and -vv (level 2).
    void Log(int level, const std::string &text) const;
    // Pages done of pages to do in a long transfer; `what` names it. On a
    // terminal a progress bar shows the bytes (`bytesPerPage` a page), the
    // rate and the time left once the transfer has run for a second.
    void Progress(const std::string &what, int done, int total, int bytesPerPage = kWholePageBytes) const;
    // One JSON document on one line of stdout.
    void PrintJson(const nlohmann::json &document) const;

    static constexpr int kWholePageBytes = 264;
    static constexpr int kFileBytesPerPage = 258; // a data page's share of a file

private:
    Options options_;
    std::unique_ptr<CardAccess> card_;
    // The progress bar of the transfer in progress (Progress is const: it
    // only reports).
    mutable std::unique_ptr<ProgressBar> bar_;
    mutable std::string barWhat_;
    mutable int barBytes_ = 0;
};

// One parsed command, ready to run.
using Step = std::function<int(Session &)>;

// Each command file adds its subcommands to `app`; a subcommand that is
// chosen stores its step in `step`.
void AddReaderCommands(CLI::App &app, Step &step); // check, release, lock, exit, version
void AddFileCommands(CLI::App &app, Step &step); // format, isformat, put, get, cat, mv, rm, ls, time, test, bitmap, df
void AddPageCommands(CLI::App &app, Step &step); // read-page, write-page, image dump|restore
void AddCheckCommands(CLI::App &app, Step &step); // fsck, map
void AddTraceCommands(CLI::App &app, Step &step); // trace
void AddReaderListCommand(CLI::App &app, Step &step); // readers
// settings show|set; returns the group, so more settings commands (an
// interactive editor) can join it from their own file.
CLI::App &AddSettingsCommands(CLI::App &app, Step &step);

// The version of the tools, as the project states it.
const char *ToolVersion();

// Every page of the card, read once through `pages`; pages that cannot be
// read are zeros in the copy (they fail their checksum) and listed in
// `unreadable`. Progress goes to the session.
std::vector<std::uint8_t> ReadWholeCard(Session &session, check::DevicePages &pages, std::vector<int> &unreadable);

// Writes `bytes` to `path` through a file beside it that is renamed into
// place, so a failed write never leaves a half file under the name asked for.
bool WriteWholeFile(const std::string &path, const std::string &bytes);

// A scratch file name for output the library writes to a file.
std::string ScratchPath(const std::string &what);
std::string ReadWholeFile(const std::string &path);
// The current local time as YYYYMMDD-hhmmss, for names of files the tool makes.
std::string FileStamp();

} // namespace kelvara::tool
