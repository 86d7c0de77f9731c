// Commands on the card's files: format, copy in and out, show, rename,
// delete, list, file times, the bitmap and the space figures.
#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"
#include "kelvara/services/NameText.h"
#include "kelvara/storage/CardFileSystem.h"
#include "tools/cardcheck/CardCheck.h"
#include "tools/kelvara/CardAccess.h"
#include "tools/kelvara/Tool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
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
    if ((path.empty() && emptyIsRoot) || (!path.empty() && path.front() == '\\')) {
        const std::size_t slash = name_text::FindLastOf(path, "\\");
        if (slash != name_text::npos && path.substr(0, slash).find_first_of("*?") != std::string::npos)
            throw CLI::ValidationError(
                command, "card path '" + path + "': the wildcards * and ? stand only in its last part, the file name");
        return;
    }
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

// Whether `name` matches `pattern`, where * stands for any run of
// characters and ? for one, under the card's case rules (a double-byte
// character is one character, its trail byte never a letter).
bool WildcardMatch(const std::string &pattern, const std::string &name)
{
    const std::string p = LowerText(pattern), n = LowerText(name);
    std::size_t s = 0, i = 0, star = std::string::npos, resume = 0;
    while (i < n.size()) {
        const std::size_t length = CharLengthAt(n, i);
        if (s < p.size() && p[s] == '?') {
            ++s;
            i += length;
        } else if (s < p.size() && p[s] == '*') {
            star = ++s;
            resume = i;
        } else if (s + length <= p.size() && p.compare(s, length, n, i, length) == 0) {
            s += length;
            i += length;
        } else if (star != std::string::npos) {
            // Let the last star take one more character and try again.
            resume += CharLengthAt(n, resume);
            i = resume;
            s = star;
        } else {
            return false;
        }
    }
    while (s < p.size() && p[s] == '*')
        ++s;
    return s == p.size();
}

// A card path split at its last backslash: the directory (no backslash at
// its end, "" for the root) and the last part.
std::pair<std::string, std::string> SplitCardPath(const std::string &path)
{
    const std::size_t slash = name_text::FindLastOf(path, "\\");
    if (slash == name_text::npos)
        return {"", path};
    return {path.substr(0, slash), path.substr(slash + 1)};
}

// DIR\*.* keeps the library's meaning; other patterns with * or ? are
// matched here.
bool IsWildcardPattern(const std::string &pattern)
{
    return pattern.find(kAllFiles) == std::string::npos && pattern.find_first_of("*?") != std::string::npos;
}

// The files a card pattern names: DIR\*.* is every file under DIR (deeper
// ones too), as the library reads it; * and ? in the last part match the
// files of that one directory; anything else is one path.
std::vector<std::string> Matching(const std::vector<std::string> &paths, const std::string &pattern)
{
    std::vector<std::string> found;
    const std::size_t all = pattern.find(kAllFiles);
    const bool wildcards = IsWildcardPattern(pattern);
    const auto [directory, last] = SplitCardPath(pattern);
    for (const std::string &path : paths) {
        if (wildcards) {
            const auto [pathDirectory, name] = SplitCardPath(path);
            if (EqualsNoCase(pathDirectory, directory) && WildcardMatch(last, name))
                found.push_back(path);
            continue;
        }
        if (all == std::string::npos) {
            if (EqualsNoCase(path, pattern))
                found.push_back(path);
            continue;
        }
        const std::string prefix = pattern.substr(0, all);
        if (path.size() > prefix.size() && path[prefix.size()] == '\\' &&
            EqualsNoCase(path.substr(0, prefix.size()), prefix))
            found.push_back(path);
    }
    return found;
}

// The card files `pattern` matches among `paths`; none is a failure of
// `command`, said on stderr.
bool MatchOrSay(const char *command, const std::vector<std::string> &paths, const std::string &pattern,
                std::vector<std::string> &matches)
{
    matches = Matching(paths, pattern);
    if (matches.empty())
        Say(command,
            "no file on the card matches '" + check::Printable(pattern) +
                "' (kelvara ls lists them; a pattern is a whole path, DIR\\*.* or a file name with * and ?)");
    return !matches.empty();
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

// A scratch directory of its own, removed with everything in it at the end
// of the scope; empty when it could not be made.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string &what)
    {
        // A name nobody has taken: create_directory fails on one that exists.
        std::random_device random;
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const std::string candidate = ScratchPath(what) + "-" + std::to_string(random() % 1000000);
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) {
                std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::replace, ec);
                path_ = candidate;
            } else if (ec) {
                why_ = ec.message();
                return;
            }
        }
        if (path_.empty())
            why_ = "every name tried was taken";
    }
    ~ScratchDirectory()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    ScratchDirectory(const ScratchDirectory &) = delete;
    ScratchDirectory &operator=(const ScratchDirectory &) = delete;

    const std::string &path() const { return path_; }
    const std::string &why() const { return why_; } // when path() is empty

private:
    std::string path_;
    std::string why_;
};

struct LsArgs {
    std::vector<std::string> args; // card patterns (a backslash first) and at most one listing file
    bool longFormat = false;
    std::vector<std::string> patterns;
    std::string file;
};

// The size in bytes of every file of the card whose data pages are all sound,
// counted from those pages as df counts them; false after saying why.
bool FileSizes(Session &session, std::map<std::string, long long> &sizes)
{
    PageDevice *device = session.Pages();
    if (device == nullptr)
        return false;
    check::DevicePages pages(*device);
    const check::CardReport report = check::CheckCard(pages);
    for (const check::FileReport &file : report.files) {
        if (file.pagesKnown && file.intact)
            sizes[file.name] = file.size;
    }
    return true;
}

int Listing(Session &session, const LsArgs &a)
{
    const std::string &file = a.file;
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
    std::vector<std::pair<std::string, std::string>> entries; // path, stamp
    std::size_t start = 0;
    for (std::size_t comma; (comma = listing.find(',', start)) != std::string::npos; start = comma + 1) {
        const std::string entry = listing.substr(start, comma - start);
        const std::size_t star = entry.find('*');
        entries.emplace_back(entry.substr(0, star), star == std::string::npos ? "" : entry.substr(star + 1));
    }
    if (!a.patterns.empty()) {
        std::vector<std::string> paths;
        for (const auto &entry : entries)
            paths.push_back(entry.first);
        std::set<std::string> chosen;
        for (const std::string &pattern : a.patterns) {
            std::vector<std::string> matches;
            if (!MatchOrSay("ls", paths, pattern, matches))
                return kFailed;
            chosen.insert(matches.begin(), matches.end());
        }
        std::erase_if(entries, [&](const auto &entry) { return chosen.count(entry.first) == 0; });
    }
    std::map<std::string, long long> sizes;
    if ((a.longFormat || session.options().json) && !FileSizes(session, sizes))
        return kFailed;
    nlohmann::json files = nlohmann::json::array();
    for (const auto &[path, stamp] : entries) {
        const auto size = sizes.find(path);
        if (session.options().json) {
            nlohmann::json item{{"path", path}, {"stamp", stamp}, {"time", nullptr}, {"size", nullptr}};
            if (stamp.size() == 14) {
                std::string iso = ShownTime(stamp);
                iso[10] = 'T';
                item["time"] = iso;
            }
            if (size != sizes.end())
                item["size"] = size->second;
            files.push_back(item);
        } else if (a.longFormat) {
            std::printf("%10s  %-19s  %s\n", size != sizes.end() ? std::to_string(size->second).c_str() : "?",
                        ShownTime(stamp).c_str(), check::Printable(path).c_str());
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

std::string CopyTrouble(Session &session)
{
    const std::string why = CardTrouble(session);
    return why.empty() ? "the card may be full (kelvara df) or a page failed (kelvara fsck)" : why;
}

struct PutArgs {
    std::string directory, files, name;
    bool recursive = false;
};

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
    Say("put", "copying " + files + " into '" + check::Printable(directory) + "' failed: " + CopyTrouble(session));
    return kFailed;
}

// put CARD_DIR - --name NAME: standard input, read to its end, becomes one
// card file. Nothing reaches the card when the input fails.
int PutStandardInput(Session &session, const PutArgs &a)
{
    std::string content;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0;)
        content.append(buffer, n);
    if (std::ferror(stdin)) {
        Say("put", std::string("standard input: ") + std::strerror(errno) + "; nothing copied");
        return kFailed;
    }
    const ScratchDirectory scratch("stdin");
    if (scratch.path().empty()) {
        Say("put", "no scratch directory for standard input: " + scratch.why());
        return kFailed;
    }
    const std::string file = scratch.path() + "/" + a.name;
    if (!WriteWholeFile(file, content)) {
        Say("put", "standard input could not be kept in " + file + "; nothing copied");
        return kFailed;
    }
    std::string why;
    if (!session.Card().Open(why)) {
        Say("put", why);
        return kFailed;
    }
    if (session.Card().Put(a.directory, file) == 0) {
        session.Log(1,
                    "copied " + check::Counted(static_cast<long long>(content.size()), "byte") +
                        " of standard input to '" + check::Printable(a.directory) + "\\" + a.name + "'");
        return kOk;
    }
    Say("put",
        "copying standard input as '" + check::Printable(a.directory) + "\\" + a.name +
            "' failed: " + CopyTrouble(session));
    return kFailed;
}

// put -r CARD_DIR LOCAL_DIR: every file of the local tree, each into the card
// directory its local directory becomes. The tree is checked whole before
// the first file is copied.
int PutTree(Session &session, const PutArgs &a)
{
    namespace fs = std::filesystem;
    struct stat st {};
    if (::stat(a.files.c_str(), &st) != 0) {
        Say("put", a.files + ": " + std::strerror(errno));
        return kFailed;
    }
    if (!S_ISDIR(st.st_mode)) {
        Say("put", a.files + ": not a directory (put -r copies a directory tree)");
        return kFailed;
    }
    std::string base = a.directory;
    while (!base.empty() && base.back() == '\\')
        base.pop_back();
    std::vector<std::pair<std::string, std::string>> copies; // local file, card directory
    std::error_code ec;
    for (fs::recursive_directory_iterator it(a.files, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        if (!it->is_regular_file(kind)) {
            if (!it->is_directory(kind))
                session.Log(1, "skipped " + it->path().string() + ": not a regular file");
            continue;
        }
        const fs::path relative = it->path().lexically_relative(a.files);
        std::string directory = base;
        for (const fs::path &part : relative) {
            const std::string name = part.string();
            if (name.find_first_of("\\*?") != std::string::npos) {
                Say("put", it->path().string() + ": a name with \\, * or ? cannot go onto the card; nothing copied");
                return kFailed;
            }
            if (part != relative.filename())
                directory += "\\" + name;
        }
        copies.emplace_back(it->path().string(), directory);
    }
    if (ec) {
        Say("put", a.files + ": " + ec.message() + "; nothing copied");
        return kFailed;
    }
    if (copies.empty()) {
        Say("put", "no file under " + a.files);
        return kFailed;
    }
    std::sort(copies.begin(), copies.end());
    std::string why;
    if (!session.Card().Open(why)) {
        Say("put", why);
        return kFailed;
    }
    std::size_t done = 0;
    for (const auto &[local, directory] : copies) {
        if (session.Card().Put(directory, local) != 0) {
            Say("put",
                "copying " + local + " into '" + check::Printable(directory) + "' failed: " + CopyTrouble(session) +
                    "; " + check::Counted(static_cast<long long>(done), "file") + " copied before it");
            return kFailed;
        }
        session.Log(1, "copied " + local + " into '" + check::Printable(directory) + "'");
        ++done;
    }
    return kOk;
}

struct GetArgs {
    std::string directory, pattern;
    bool noClobber = false;
    bool keepDirs = false; // card directories below the pattern's become local ones
};

// The local directory a card file goes into under --keep-dirs: its card
// directories below `base` as local ones; false when one of them cannot be a
// local name.
bool LocalDirectoryOf(const std::string &directory, const std::string &base, const std::string &path,
                      std::string &local)
{
    local = directory;
    const std::string cardDirectory = SplitCardPath(path).first;
    const std::string below = cardDirectory.substr(std::min(base.size(), cardDirectory.size()));
    std::size_t start = below.empty() || below.front() != '\\' ? 0 : 1;
    while (start < below.size()) {
        std::size_t slash = name_text::Find(below, "\\", start);
        if (slash == name_text::npos)
            slash = below.size();
        const std::string part = below.substr(start, slash - start);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos)
            return false;
        local += part + "/";
        start = slash + 1;
    }
    return true;
}

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
    std::vector<std::string> matches;
    if (!MatchOrSay("get", paths, a.pattern, matches))
        return kFailed;
    std::string directory = a.directory;
    if (directory.back() != '/')
        directory.push_back('/');
    const std::size_t all = a.pattern.find(kAllFiles);
    const std::string base = all != std::string::npos ? a.pattern.substr(0, all) : SplitCardPath(a.pattern).first;
    // Every file gets its own local name, or nothing is copied.
    std::map<std::string, std::string> byName; // local path -> card path
    std::vector<std::string> targets; // the local directory of each match
    for (const std::string &path : matches) {
        const std::string name = CardFileSystem::FileNameOf(path);
        std::string target = directory;
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
            (a.keepDirs && !LocalDirectoryOf(directory, base, path, target))) {
            Say("get", "'" + check::Printable(path) + "' has no name a local file can take; nothing copied");
            return kFailed;
        }
        targets.push_back(target);
        const auto [at, fresh] = byName.emplace(target + name, path);
        if (!fresh) {
            Say("get",
                "'" + check::Printable(at->second) + "' and '" + check::Printable(path) + "' would both become " +
                    check::Printable(name) + "; nothing copied (get them into separate directories, or -d)");
            return kFailed;
        }
    }
    for (std::size_t i = 0; i < matches.size(); ++i) {
        const std::string &path = matches[i];
        const std::string target = targets[i] + CardFileSystem::FileNameOf(path);
        std::error_code ec;
        if (a.keepDirs && !std::filesystem::create_directories(targets[i], ec) && ec) {
            Say("get", "cannot make " + check::Printable(targets[i]) + ": " + ec.message());
            return kNotWritten;
        }
        if (std::filesystem::exists(std::filesystem::symlink_status(target, ec))) {
            if (a.noClobber) {
                Say("get", check::Printable(target) + " exists: kept (--no-clobber)");
                continue;
            }
            Say("get", check::Printable(target) + " exists: overwritten");
        }
        std::string names;
        if (session.Card().Get(targets[i], path, names) != 0 || names.empty()) {
            const std::string why = CardTrouble(session);
            Say("get",
                "'" + check::Printable(path) + "' not copied: " +
                    (why.empty() ? "a page of it could not be read, or " + check::Printable(target) +
                             " not written (kelvara fsck tells more)"
                                 : why));
            return kFailed;
        }
        std::printf("%s\n", check::Printable(a.keepDirs ? target.substr(directory.size()) : names).c_str());
    }
    return kOk;
}

int Cat(Session &session, const std::vector<std::string> &patterns)
{
    std::vector<std::string> paths;
    if (!CardFiles(session, "cat", paths))
        return kFailed;
    std::vector<std::string> files;
    for (const std::string &pattern : patterns) {
        std::vector<std::string> matches;
        if (!MatchOrSay("cat", paths, pattern, matches))
            return kFailed;
        files.insert(files.end(), matches.begin(), matches.end());
    }
    // Each file goes through a directory of the tool's own: the card file
    // system writes whole local files only.
    const ScratchDirectory scratch("cat");
    if (scratch.path().empty()) {
        Say("cat", "no scratch directory: " + scratch.why());
        return kFailed;
    }
    for (const std::string &path : files) {
        std::string names;
        if (session.Card().Get(scratch.path() + "/", path, names) != 0 || names.empty()) {
            const std::string why = CardTrouble(session);
            Say("cat",
                "'" + check::Printable(path) +
                    "' not read: " + (why.empty() ? "a page of it could not be read (kelvara fsck tells more)" : why));
            return kFailed;
        }
        const std::string local = scratch.path() + "/" + names;
        const std::string content = ReadWholeFile(local);
        std::error_code ec;
        std::filesystem::remove(local, ec); // the scratch directory goes at the end anyway
        if (std::fwrite(content.data(), 1, content.size(), stdout) != content.size() || std::fflush(stdout) != 0) {
            Say("cat", std::string("standard output: ") + std::strerror(errno));
            return kFailed;
        }
    }
    return kOk;
}

int Move(Session &session, const std::string &from, std::string to)
{
    std::vector<std::string> paths;
    if (!CardFiles(session, "mv", paths))
        return kFailed;
    std::vector<std::string> source;
    if (!MatchOrSay("mv", paths, from, source))
        return kFailed;
    if (to.back() == '\\')
        to += SplitCardPath(source.front()).second;
    for (const std::string &path : paths) {
        if (EqualsNoCase(path, to)) {
            Say("mv", "'" + check::Printable(path) + "' exists already; nothing renamed (kelvara rm deletes it)");
            return kFailed;
        }
    }
    if (session.Card().Rename(source.front(), to) != 0) {
        const std::string why = CardTrouble(session);
        Say("mv",
            "renaming '" + check::Printable(source.front()) + "' to '" + check::Printable(to) +
                "' failed: " + (why.empty() ? "the card's index could not be written (kelvara fsck tells more)" : why));
        return kFailed;
    }
    session.Log(1, "renamed '" + check::Printable(source.front()) + "' to '" + check::Printable(to) + "'");
    return kOk;
}

int Remove(Session &session, const std::string &pattern)
{
    std::vector<std::string> paths;
    if (!CardFiles(session, "rm", paths))
        return kFailed;
    std::vector<std::string> matches;
    if (!MatchOrSay("rm", paths, pattern, matches))
        return kFailed;
    // The library deletes DIR\*.* and single paths itself; the files other
    // wildcards match go one by one.
    const std::vector<std::string> removals = IsWildcardPattern(pattern) ? matches : std::vector{pattern};
    for (std::size_t i = 0; i < removals.size(); ++i) {
        if (session.Card().Remove(removals[i]) != 0) {
            const std::string why = CardTrouble(session);
            Say("rm",
                "'" + check::Printable(removals[i]) + "' not deleted: the card's index could not be written" +
                    (why.empty() ? std::string(" (kelvara fsck)") : ": " + why) +
                    (i > 0 ? "; " + check::Counted(static_cast<long long>(i), "file") + " deleted before it"
                           : std::string()));
            return kFailed;
        }
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
        auto a = std::make_shared<PutArgs>();
        CLI::App *put = app.add_subcommand(
            "put",
            "copy local files (wildcards * and ?) into a card directory; '-' with --name: standard input; "
            "-r: a local directory tree");
        put->group(kGroup);
        put->add_option("card-dir", a->directory, "card directory, e.g. '\\tax' ('' for the root)")->required();
        put->add_option("local-files", a->files,
                        "local file, a pattern with * and ?, '-' for standard input, or with -r a local directory")
            ->required();
        put->add_option("--name", a->name, "the card file's name for standard input (put CARD_DIR - --name NAME)");
        put->add_flag("-r,--recursive", a->recursive,
                      "copy every file under the local directory; its subdirectories become card directories "
                      "below CARD_DIR");
        put->callback([&step, a] {
            CheckCardPath("put", a->directory, true);
            if (a->files == "-") {
                if (a->recursive)
                    throw CLI::ValidationError("put", "-r takes a local directory, not standard input");
                const std::string &n = a->name;
                if (n.empty() || n == "." || n == ".." || n.find_first_of("/\\*?") != std::string::npos)
                    throw CLI::ValidationError("put",
                                               "standard input needs --name NAME, a file name without /, \\, "
                                               "* and ? (put '\\tax' - --name a.xml)");
                step = [a](Session &s) { return PutStandardInput(s, *a); };
                return;
            }
            if (!a->name.empty())
                throw CLI::ValidationError("put", "--name names standard input ('-'); a local file keeps its name");
            if (a->recursive)
                step = [a](Session &s) { return PutTree(s, *a); };
            else
                step = [a](Session &s) { return Put(s, a->directory, a->files); };
        });
    }
    {
        auto a = std::make_shared<GetArgs>();
        CLI::App *get = app.add_subcommand(
            "get",
            "copy card files (a path, CARD_DIR\\*.*, or * and ? in the file name) into a local directory; an "
            "existing file is overwritten (said on stderr) unless -n");
        get->group(kGroup);
        get->add_option("local-dir", a->directory, "local directory")->required();
        get->add_option("card-path", a->pattern, "card path, CARD_DIR\\*.*, or CARD_DIR\\pattern with * and ?")
            ->required();
        get->add_flag("-n,--no-clobber", a->noClobber, "keep local files that exist (said on stderr)");
        get->add_flag("-d,--keep-dirs", a->keepDirs,
                      "make the card directories below the pattern's local directories, so files of one name in "
                      "different card directories do not collide");
        get->callback([&step, a] {
            CheckCardPath("get", a->pattern, false);
            step = [a](Session &s) { return Get(s, *a); };
        });
    }
    {
        auto patterns = std::make_shared<std::vector<std::string>>();
        CLI::App *cat = app.add_subcommand("cat", "write card files' bytes to standard output, one after another");
        cat->group(kGroup);
        cat->add_option("card-path", *patterns, "card path, CARD_DIR\\*.*, or CARD_DIR\\pattern with * and ?")
            ->required();
        cat->callback([&step, patterns] {
            for (const std::string &pattern : *patterns)
                CheckCardPath("cat", pattern, false);
            step = [patterns](Session &s) { return Cat(s, *patterns); };
        });
    }
    {
        struct Args {
            std::string from, to;
        };
        auto a = std::make_shared<Args>();
        CLI::App *mv = app.add_subcommand(
            "mv", "rename a card file (only its index record is rewritten; a target ending in \\ keeps the name)");
        mv->group(kGroup);
        mv->add_option("card-path", a->from, "the file's card path")->required();
        mv->add_option("new-card-path", a->to, "its new card path, or a card directory ending in \\")->required();
        mv->callback([&step, a] {
            CheckCardPath("mv", a->from, false);
            CheckCardPath("mv", a->to, false);
            if (a->from.find_first_of("*?") != std::string::npos)
                throw CLI::ValidationError("mv", "mv renames one file: no wildcards in '" + a->from + "'");
            if (!CardFileSystem::IsValidCardPath(a->to.back() == '\\' ? a->to + "x" : a->to))
                throw CLI::ValidationError("mv",
                                           "'" + a->to +
                                               "' is no path a card file can take (no *, no empty "
                                               "directory, a file name after the last backslash)");
            step = [a](Session &s) { return Move(s, a->from, a->to); };
        });
    }
    {
        auto pattern = std::make_shared<std::string>();
        CLI::App *rm =
            app.add_subcommand("rm", "delete card files (a path, CARD_DIR\\*.*, or * and ? in the file name)");
        rm->group(kGroup);
        rm->add_option("card-path", *pattern, "card path, CARD_DIR\\*.*, or CARD_DIR\\pattern with * and ?")
            ->required();
        rm->callback([&step, pattern] {
            CheckCardPath("rm", *pattern, false);
            step = [pattern](Session &s) { return Remove(s, *pattern); };
        });
    }
    {
        auto a = std::make_shared<LsArgs>();
        CLI::App *ls = app.add_subcommand(
            "ls", "list the card's files, or those card patterns name (or write the library's listing to FILE)");
        ls->group(kGroup);
        ls->add_option("patterns-or-file", a->args,
                       "card paths and patterns (a backslash first: a path, CARD_DIR\\*.*, or * and ? in the "
                       "file name), or FILE: write the listing text to this file instead");
        ls->add_flag("-l,--long", a->longFormat, "one line a file: size in bytes, write time, path");
        ls->callback([&step, a] {
            a->patterns.clear();
            a->file.clear();
            for (const std::string &arg : a->args) {
                if (!arg.empty() && arg.front() == '\\') {
                    CheckCardPath("ls", arg, false);
                    a->patterns.push_back(arg);
                } else if (a->file.empty()) {
                    a->file = arg;
                } else {
                    throw CLI::ValidationError("ls",
                                               "one listing file only ('" + a->file + "', '" + arg +
                                                   "'); quote card paths, e.g. '\\tax\\*.xml'");
                }
            }
            if (!a->file.empty() && (!a->patterns.empty() || a->longFormat))
                throw CLI::ValidationError("ls",
                                           "the listing file takes the library's listing of the whole card; "
                                           "patterns and -l are for the terminal");
            step = [a](Session &s) { return Listing(s, *a); };
        });
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
