// Commands on the card's files: format, copy in and out, delete, list, file
// times, the bitmap and the space figures.
#include "tools/cardcheck/CardCheck.h"
#include "tools/kelvara/CardAccess.h"
#include "tools/kelvara/Tool.h"

#include <cstdio>
#include <filesystem>
#include <memory>

namespace kelvara::tool {
namespace {

constexpr const char *kGroup = "Card files";

int Result(int r) { return r == 0 ? kOk : kFailed; }

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
    const std::string out = file.empty() ? ScratchPath("dir") : file;
    const int r = session.Card().List(out);
    if (r == 0)
        return kNotWritten;
    if (r != 1)
        return kFailed;
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
            std::printf("%-19s  %s\n", ShownTime(stamp).c_str(), path.c_str());
        }
    }
    if (session.options().json)
        session.PrintJson({{"files", files}});
    return kOk;
}

int Bitmap(Session &session, const std::string &file)
{
    const std::string out = file.empty() ? ScratchPath("bits") : file;
    if (session.Card().BitTable(out) != 1)
        return kNotWritten;
    if (!file.empty())
        return kOk;
    const std::string bits = ReadWholeFile(out);
    std::filesystem::remove(out);
    std::size_t free = 0;
    for (char c : bits)
        free += c == '1' ? 1 : 0;
    if (session.options().json) {
        session.PrintJson({{"pages", bits.size()}, {"free", free}, {"used", bits.size() - free}, {"bits", bits}});
        return kOk;
    }
    std::printf("pages free: %zu of %zu ('.' free, '#' in use; 64 pages a line)\n", free, bits.size());
    for (std::size_t i = 0; i < bits.size(); i += 64) {
        std::printf("%4zu ", i);
        for (std::size_t j = i; j < i + 64 && j < bits.size(); ++j)
            std::putchar(bits[j] == '1' ? '.' : '#');
        std::putchar('\n');
    }
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
        put->callback([&step, a] { step = [a](Session &s) { return Result(s.Card().Put(a->directory, a->files)); }; });
    }
    {
        struct Args {
            std::string directory, pattern;
        };
        auto a = std::make_shared<Args>();
        CLI::App *get = app.add_subcommand("get", "copy a card file (or CARD_DIR\\*.*) into a local directory");
        get->group(kGroup);
        get->add_option("local-dir", a->directory, "local directory")->required();
        get->add_option("card-path", a->pattern, "card path, or CARD_DIR\\*.*")->required();
        get->callback([&step, a] {
            step = [a](Session &s) {
                std::string directory = a->directory;
                if (!directory.empty() && directory.back() != '/')
                    directory.push_back('/');
                std::string names;
                const int r = s.Card().Get(directory, a->pattern, names);
                if (r == 0 && !names.empty())
                    std::printf("%s\n", names.c_str());
                return Result(r);
            };
        });
    }
    {
        auto pattern = std::make_shared<std::string>();
        CLI::App *rm = app.add_subcommand("rm", "delete a card file (or CARD_DIR\\*.*)");
        rm->group(kGroup);
        rm->add_option("card-path", *pattern, "card path, or CARD_DIR\\*.*")->required();
        rm->callback([&step, pattern] { step = [pattern](Session &s) { return Result(s.Card().Remove(*pattern)); }; });
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
