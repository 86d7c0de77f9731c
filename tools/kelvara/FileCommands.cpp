// Commands on the card's files: format, copy in and out, delete, list, file
// times, the bitmap and the space figures.
#include "kelvara/services/LocalFiles.h"
#include "kelvara/storage/CardFileSystem.h"
#include "tools/cardcheck/CardCheck.h"
#include "tools/kelvara/CardAccess.h"
#include "tools/kelvara/Tool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

namespace kelvara::tool {
namespace {

constexpr const char *kGroup = "Card files";
constexpr const char *kAllFiles = "\\*.*";

int Result(int r) { return r == 0 ? kOk : kFailed; }

void Say(const char *command, const std::string &text)
{
    std::fprintf(stderr, "kelvara: %s: %s\n", command, text.c_str());
}

// A card path starts with a backslash; without one the shell most likely
// ate it (an unquoted \tax is "tax"), and a file stored under it would never
// be found again.
void CheckCardPath(const char *command, const std::string &path, bool emptyIsRoot)
{
    if ((path.empty() && emptyIsRoot) || (!path.empty() && path.front() == '\\'))
        return;
    throw CLI::ValidationError(command,
                               "card path '" + path +
                                   "' does not start with a backslash; quote card paths in the shell, "
                                   "e.g. '\\tax\\a.xml'");
}

// Why the card cannot serve a file command: no reader, no image, or no
// readable file system on it.
std::string CardTrouble(Session &session)
{
    std::string why;
    if (!session.Card().Open(why))
        return why;
    if (session.Card().IsFormat() != 0)
        return "the card is not formatted, or its index cannot be read (kelvara fsck tells more)";
    return "";
}

// The card's files, from the library's listing; false after saying why.
bool CardFiles(Session &session, const char *command, std::vector<std::string> &paths)
{
    std::string why;
    if (!session.Card().Open(why)) {
        Say(command, why);
        return false;
    }
    const std::string out = ScratchPath("files");
    const int r = session.Card().List(out);
    const std::string listing = ReadWholeFile(out);
    std::filesystem::remove(out);
    if (r != 1) {
        why = CardTrouble(session);
        Say(command, why.empty() ? "the card's file list could not be read" : why);
        return false;
    }
    std::size_t start = 0;
    for (std::size_t comma; (comma = listing.find(',', start)) != std::string::npos; start = comma + 1) {
        const std::string entry = listing.substr(start, comma - start); // path*YYYYMMDDhhmmss
        paths.push_back(entry.substr(0, entry.find('*')));
    }
    return true;
}

bool SameNoCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The files a card pattern names, as the library reads it: DIR\*.* is every
// file under DIR (deeper ones too), anything else one path.
std::vector<std::string> Matching(const std::vector<std::string> &paths, const std::string &pattern)
{
    std::vector<std::string> found;
    const std::size_t all = pattern.find(kAllFiles);
    for (const std::string &path : paths) {
        if (all == std::string::npos) {
            if (SameNoCase(path, pattern))
                found.push_back(path);
            continue;
        }
        const std::string prefix = pattern.substr(0, all);
        if (path.size() > prefix.size() && path[prefix.size()] == '\\' &&
            SameNoCase(path.substr(0, prefix.size()), prefix))
            found.push_back(path);
    }
    return found;
}

std::string NoMatch(const std::string &pattern)
{
    return "no file on the card matches '" + check::Printable(pattern) + "' (kelvara ls lists them; a pattern is " +
        "a whole path or DIR\\*.*)";
}

// Why `directory` cannot take new files, or "".
std::string LocalDirectoryTrouble(const std::string &directory)
{
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0)
        return std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return std::strerror(ENOTDIR);
    if (::access(directory.c_str(), W_OK | X_OK) != 0)
        return std::strerror(errno);
    return "";
}

// Why the local side of a put names no file to copy, or "".
std::string LocalFilesTrouble(const std::string &files)
{
    if (files.find_first_of("*?") != std::string::npos) {
        const std::size_t slash = files.rfind('/');
        if (slash != std::string::npos) {
            const std::string directory = files.substr(0, slash == 0 ? 1 : slash);
            if (directory.find_first_of("*?") == std::string::npos) {
                struct stat st {};
                if (::stat(directory.c_str(), &st) != 0)
                    return directory + ": " + std::strerror(errno);
            }
        }
        for (const FoundFile &found : FindFiles(files)) {
            if (!found.isDirectory)
                return "";
        }
        return "no local file matches '" + files + "'";
    }
    struct stat st {};
    if (::stat(files.c_str(), &st) != 0)
        return files + ": " + std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return files + ": is a directory (put copies files; '" + files + "/*' takes the files in it)";
    if (!S_ISREG(st.st_mode))
        return files + ": not a regular file";
    if (::access(files.c_str(), R_OK) != 0)
        return files + ": " + std::strerror(errno);
    return "";
}

// "YYYY-MM-DD hh:mm:ss" for a stored 14-digit time, else the stored text.
std::string ShownTime(const std::string &t)
{
    if (t.size() != 14)
        return t;
    return t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + " " + t.substr(8, 2) + ":" + t.substr(10, 2) +
        ":" + t.substr(12, 2);
}

int Listing(Session &session, const std::string &file)
{
    if (!file.empty()) {
        const std::filesystem::path parent = std::filesystem::path(file).parent_path();
        const std::string why = LocalDirectoryTrouble(parent.empty() ? "." : parent.string());
        if (!why.empty()) {
            Say("ls", "cannot write " + file + ": " + why);
            return kNotWritten;
        }
    }
    std::string why;
    if (!session.Card().Open(why)) {
        Say("ls", why);
        return kFailed;
    }
    const std::string out = file.empty() ? ScratchPath("dir") : file;
    const int r = session.Card().List(out);
    if (r == 0) {
        Say("ls", "cannot write " + out);
        return kNotWritten;
    }
    if (r != 1) {
        why = CardTrouble(session);
        Say("ls", why.empty() ? "the card's file list could not be read" : why);
        return kFailed;
    }
    if (!file.empty())
        return kOk;
    const std::string listing = ReadWholeFile(out);
    std::filesystem::remove(out);
    // path*YYYYMMDDhhmmss, every entry ending in ","
    nlohmann::json files = nlohmann::json::array();
    std::size_t start = 0;
    for (std::size_t comma; (comma = listing.find(',', start)) != std::string::npos; start = comma + 1) {
        const std::string entry = listing.substr(start, comma - start);
        const std::size_t star = entry.find('*');
        const std::string path = entry.substr(0, star);
        const std::string stamp = star == std::string::npos ? "" : entry.substr(star + 1);
        if (session.options().json) {
            nlohmann::json item{{"path", path}, {"stamp", stamp}, {"time", nullptr}};
            if (stamp.size() == 14) {
                std::string iso = ShownTime(stamp);
                iso[10] = 'T';
                item["time"] = iso;
            }
            files.push_back(item);
        } else {
            std::printf("%-19s  %s\n", ShownTime(stamp).c_str(), check::Printable(path).c_str());
        }
    }
    if (session.options().json)
        session.PrintJson({{"files", files}});
    return kOk;
}

int Bitmap(Session &session, const std::string &file)
{
    const std::string out = file.empty() ? ScratchPath("bits") : file;
    if (session.Card().BitTable(out) != 1) {
        std::string why;
        Say("bitmap", !session.Card().Open(why) ? why : "the bit table could not be read, or " + out + " not written");
        return kNotWritten;
    }
    if (!file.empty())
        return kOk;
    const std::string bits = ReadWholeFile(out);
    std::filesystem::remove(out);
    // Free are the pages a file may be given: page 0 holds the bit table and
    // the pages above 2031 the backups, whatever their bits say (df counts
    // the same pages).
    const auto allocatable = [](std::size_t page) {
        return page >= static_cast<std::size_t>(card::kFirstAllocatablePage) &&
            page <= static_cast<std::size_t>(card::kLastAllocatablePage);
    };
    std::size_t free = 0, pages = 0;
    for (std::size_t i = 0; i < bits.size(); ++i) {
        pages += allocatable(i) ? 1 : 0;
        free += allocatable(i) && bits[i] == '1' ? 1 : 0;
    }
    if (session.options().json) {
        session.PrintJson({{"pages", pages}, {"free", free}, {"used", pages - free}, {"bits", bits}});
        return kOk;
    }
    std::printf("pages free: %zu of %zu for files ('.' free, '#' in use, '-' the bit table and the backups; "
                "64 pages a line)\n",
                free, pages);
    for (std::size_t i = 0; i < bits.size(); i += 64) {
        std::printf("%4zu ", i);
        for (std::size_t j = i; j < i + 64 && j < bits.size(); ++j)
            std::putchar(!allocatable(j) ? '-' : bits[j] == '1' ? '.' : '#');
        std::putchar('\n');
    }
    return kOk;
}

int Put(Session &session, const std::string &directory, const std::string &files)
{
    const std::string local = LocalFilesTrouble(files);
    if (!local.empty()) {
        Say("put", local);
        return kFailed;
    }
    std::string why;
    if (!session.Card().Open(why)) {
        Say("put", why);
        return kFailed;
    }
    if (session.Card().Put(directory, files) == 0)
        return kOk;
    why = CardTrouble(session);
    Say("put",
        "copying " + files + " into '" + check::Printable(directory) +
            "' failed: " + (why.empty() ? "the card may be full (kelvara df) or a page failed (kelvara fsck)" : why));
    return kFailed;
}

struct GetArgs {
    std::string directory, pattern;
    bool noClobber = false;
};

int Get(Session &session, const GetArgs &a)
{
    const std::string local = LocalDirectoryTrouble(a.directory);
    if (!local.empty()) {
        Say("get", "cannot write into " + a.directory + ": " + local);
        return kNotWritten;
    }
    std::vector<std::string> paths;
    if (!CardFiles(session, "get", paths))
        return kFailed;
    const std::vector<std::string> matches = Matching(paths, a.pattern);
    if (matches.empty()) {
        Say("get", NoMatch(a.pattern));
        return kFailed;
    }
    // Every file gets its own local name, or nothing is copied.
    std::map<std::string, std::string> byName;
    for (const std::string &path : matches) {
        const std::string name = CardFileSystem::FileNameOf(path);
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
            Say("get", "'" + check::Printable(path) + "' has no name a local file can take; nothing copied");
            return kFailed;
        }
        const auto [at, fresh] = byName.emplace(name, path);
        if (!fresh) {
            Say("get",
                "'" + check::Printable(at->second) + "' and '" + check::Printable(path) + "' would both become " +
                    check::Printable(name) + "; nothing copied (get them into separate directories)");
            return kFailed;
        }
    }
    std::string directory = a.directory;
    if (directory.back() != '/')
        directory.push_back('/');
    for (const std::string &path : matches) {
        const std::string target = directory + CardFileSystem::FileNameOf(path);
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) {
            if (a.noClobber) {
                Say("get", check::Printable(target) + " exists: kept (--no-clobber)");
                continue;
            }
            Say("get", check::Printable(target) + " exists: overwritten");
        }
        std::string names;
        if (session.Card().Get(directory, path, names) != 0 || names.empty()) {
            const std::string why = CardTrouble(session);
            Say("get",
                "'" + check::Printable(path) + "' not copied: " +
                    (why.empty() ? "a page of it could not be read, or " + check::Printable(target) +
                             " not written (kelvara fsck tells more)"
                                 : why));
            return kFailed;
        }
        std::printf("%s\n", check::Printable(names).c_str());
    }
    return kOk;
}

int Remove(Session &session, const std::string &pattern)
{
    std::vector<std::string> paths;
    if (!CardFiles(session, "rm", paths))
        return kFailed;
    const std::vector<std::string> matches = Matching(paths, pattern);
    if (matches.empty()) {
        Say("rm", NoMatch(pattern));
        return kFailed;
    }
    if (session.Card().Remove(pattern) != 0) {
        const std::string why = CardTrouble(session);
        Say("rm",
            "the card's index could not be written" + (why.empty() ? std::string(" (kelvara fsck)") : ": " + why));
        return kFailed;
    }
    session.Log(1, "deleted " + check::Counted(static_cast<long long>(matches.size()), "file"));
    return kOk;
}

int Df(Session &session)
{
    PageDevice *device = session.Pages();
    if (device == nullptr)
        return kFailed;
    check::DevicePages pages(*device);
    const check::CardReport report = check::CheckCard(pages);
    const check::Figures &f = report.figures;
    const long long pageBytes = card::kDataBytes;
    if (session.options().json) {
        nlohmann::json doc{{"formatted", report.formatted}, {"damage", report.DamageCount()}};
        if (report.formatted) {
            doc["files"] = f.files;
            doc["pages"] = {{"card", f.cardPages}, {"total", f.totalPages}, {"used", f.usedPages},
                            {"free", f.freePages}, {"files", f.filePages},  {"index", f.indexPages}};
            doc["bytes"] = {{"card", f.cardPages * static_cast<long long>(card::kPageSize)},
                            {"total", f.totalPages * pageBytes},
                            {"used", f.usedPages * pageBytes},
                            {"free", f.freePages * pageBytes},
                            {"files", f.fileBytes}};
        }
        session.PrintJson(doc);
    } else if (report.formatted) {
        using check::GroupDigits;
        std::printf("card:          %6s pages of %d bytes (%s bytes)\n", GroupDigits(f.cardPages).c_str(),
                    card::kPageSize, GroupDigits(f.cardPages * static_cast<long long>(card::kPageSize)).c_str());
        std::printf("for files:     %6s pages (%s bytes)\n", GroupDigits(f.totalPages).c_str(),
                    GroupDigits(f.totalPages * pageBytes).c_str());
        std::printf("used:          %6s pages (%s bytes)\n", GroupDigits(f.usedPages).c_str(),
                    GroupDigits(f.usedPages * pageBytes).c_str());
        std::printf("free:          %6s pages (%s bytes)\n", GroupDigits(f.freePages).c_str(),
                    GroupDigits(f.freePages * pageBytes).c_str());
        std::printf("in the index:  %s, %s in %s; the index takes %s\n", check::Counted(f.files, "file").c_str(),
                    check::Counted(f.fileBytes, "byte").c_str(), check::Counted(f.filePages, "page").c_str(),
                    check::Counted(f.indexPages, "page").c_str());
    }
    if (!report.formatted) {
        std::fprintf(stderr, "kelvara: the card is not formatted, or its bit table is lost (kelvara fsck)\n");
        return kFailed;
    }
    if (!report.Clean())
        std::fprintf(stderr, "kelvara: the card shows damage; kelvara fsck tells more\n");
    return kOk;
}

} // namespace

void AddFileCommands(CLI::App &app, Step &step)
{
    app.add_subcommand("format", "write an empty file system to the card (--image: a missing image is made)")
        ->group(kGroup)
        ->callback([&step] { step = [](Session &s) { return Result(s.Card().Format()); }; });

    app.add_subcommand("isformat", "whether the card is formatted")->group(kGroup)->callback([&step] {
        step = [](Session &s) {
            const int r = s.Card().IsFormat();
            std::printf("%s\n", r == 0 ? "formatted" : "not formatted (or not readable)");
            return Result(r);
        };
    });

    {
        struct Args {
            std::string directory, files;
        };
        auto a = std::make_shared<Args>();
        CLI::App *put = app.add_subcommand("put", "copy local files (wildcards * and ?) into a card directory");
        put->group(kGroup);
        put->add_option("card-dir", a->directory, "card directory, e.g. '\\tax' ('' for the root)")->required();
        put->add_option("local-files", a->files, "local file, or a pattern with * and ?")->required();
        put->callback([&step, a] {
            CheckCardPath("put", a->directory, true);
            step = [a](Session &s) { return Put(s, a->directory, a->files); };
        });
    }
    {
        auto a = std::make_shared<GetArgs>();
        CLI::App *get = app.add_subcommand(
            "get",
            "copy a card file (or CARD_DIR\\*.*) into a local directory; an existing file is overwritten "
            "(said on stderr) unless -n");
        get->group(kGroup);
        get->add_option("local-dir", a->directory, "local directory")->required();
        get->add_option("card-path", a->pattern, "card path, or CARD_DIR\\*.*")->required();
        get->add_flag("-n,--no-clobber", a->noClobber, "keep local files that exist (said on stderr)");
        get->callback([&step, a] {
            CheckCardPath("get", a->pattern, false);
            step = [a](Session &s) { return Get(s, *a); };
        });
    }
    {
        auto pattern = std::make_shared<std::string>();
        CLI::App *rm = app.add_subcommand("rm", "delete a card file (or CARD_DIR\\*.*)");
        rm->group(kGroup);
        rm->add_option("card-path", *pattern, "card path, or CARD_DIR\\*.*")->required();
        rm->callback([&step, pattern] {
            CheckCardPath("rm", *pattern, false);
            step = [pattern](Session &s) { return Remove(s, *pattern); };
        });
    }
    {
        auto file = std::make_shared<std::string>();
        CLI::App *ls = app.add_subcommand("ls", "list the card's files (or write the library's listing to FILE)");
        ls->group(kGroup);
        ls->add_option("file", *file, "write the listing text to this file instead");
        ls->callback([&step, file] { step = [file](Session &s) { return Listing(s, *file); }; });
    }
    {
        auto name = std::make_shared<std::string>();
        CLI::App *time = app.add_subcommand("time", "a file's write time, YYYYMMDDhhmm");
        time->group(kGroup);
        time->add_option("name", *name, "card path, or a part of it")->required();
        time->callback([&step, name] {
            step = [name](Session &s) {
                std::string text;
                const int r = s.Card().FileTime(*name, text);
                if (r == 0)
                    std::printf("%s\n", !text.empty() ? text.c_str() : "(no such file)");
                if (r != 0) {
                    const std::string why = CardTrouble(s);
                    Say("time", why.empty() ? "the card's index could not be read" : why);
                }
                return r == 0 && !text.empty() ? kOk : kFailed;
            };
        });
    }
    app.add_subcommand("test", "show the listing in a message box")->group(kGroup)->callback([&step] {
        step = [](Session &s) { return Result(s.Card().Test()); };
    });
    {
        auto file = std::make_shared<std::string>();
        CLI::App *bitmap = app.add_subcommand("bitmap", "the allocation bitmap, one character a page");
        bitmap->group(kGroup);
        bitmap->add_option("file", *file, "write the library's report (2048 characters) to this file instead");
        bitmap->callback([&step, file] { step = [file](Session &s) { return Bitmap(s, *file); }; });
    }
    app.add_subcommand("df", "pages and bytes: total, used, free, and what the index holds")
        ->group(kGroup)
        ->callback([&step] { step = Df; });
}

} // namespace kelvara::tool
