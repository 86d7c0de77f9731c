// fsck and map: the card checked page by page, mended where the card itself
// proves how, and drawn.
//
// On a card the pages are read through the library's raw page export into
// memory once and checked there; mends go back through the raw page export.
#include "tools/cardcheck/CardCheck.h"
#include "tools/cardcheck/CardPicture.h"
#include "tools/cardcheck/CardRepair.h"
#include "tools/kelvara/CardAccess.h"
#include "tools/kelvara/Tool.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace kelvara::tool {
namespace {

using namespace check;

constexpr const char *kGroup = "Checking and repairing";

bool WriteText(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return static_cast<bool>(out);
}

nlohmann::json FindingsJson(const CardReport &report)
{
    nlohmann::json list = nlohmann::json::array();
    for (const Finding &f : report.findings) {
        nlohmann::json item{{"kind", KindName(f.kind)}, {"text", f.text}, {"pages", f.pages}, {"mendable", f.mendable}};
        item["file"] = f.file.empty() ? nlohmann::json(nullptr) : nlohmann::json(f.file);
        list.push_back(item);
    }
    return list;
}

void PrintFindings(const CardReport &report, const char *heading)
{
    if (report.findings.empty())
        return;
    std::printf("%s\n", heading);
    for (const Finding &f : report.findings)
        std::printf("  - %s%s\n", f.text.c_str(),
                    f.kind == Kind::NotFormatted || f.mendable ? "" : " (cannot be mended from the card)");
}

struct FsckArgs {
    bool dryRun = false;
    bool repair = false;
    std::string backup; // image written before anything is mended
    std::string salvage; // directory for the files that can be read
    std::string map; // SVG picture with the damage marked
};

// The index is damaged when it does not read as a whole, or when one of its
// pages is read from a backup: a repair then rewrites index pages, and the
// files it names are saved first.
bool IndexDamaged(const CardReport &report)
{
    return !report.indexSound ||
        std::any_of(report.chain.begin(), report.chain.end(), [](const ChainLink &l) { return !l.primarySound; });
}

int Salvage(Session &session, PageSource &pages, const CardReport &report, const std::string &directory,
            nlohmann::json &doc)
{
    const SalvageResult saved = SalvageFiles(pages, report, directory);
    if (session.options().json) {
        nlohmann::json renamed = nlohmann::json::array(), holes = nlohmann::json::array();
        for (const SalvageRename &r : saved.renamed)
            renamed.push_back({{"file", r.file}, {"saved", r.local}, {"why", r.why}});
        for (const SalvageHole &h : saved.holes)
            holes.push_back({{"file", h.file}, {"page", h.page}, {"bytes", {h.first, h.last}}, {"why", h.why}});
        doc["salvage"] = {{"directory", directory},
                          {"saved", saved.saved},
                          {"skipped", saved.skipped},
                          {"renamed", renamed},
                          {"zero_filled", holes}};
    } else {
        std::printf("salvaged %zu file(s) into %s\n", saved.saved.size(), directory.c_str());
        for (const SalvageRename &r : saved.renamed)
            std::printf("  renamed: %s saved as %s (%s)\n", r.file.c_str(), r.local.c_str(), r.why.c_str());
        for (const SalvageHole &h : saved.holes)
            std::printf("  zero-filled: %s: page %d (bytes %lld to %lld) %s\n", h.file.c_str(), h.page, h.first, h.last,
                        h.why.c_str());
        for (const std::string &s : saved.skipped)
            std::printf("  not salvaged: %s\n", s.c_str());
    }
    if (!saved.ok) {
        std::fprintf(stderr, "kelvara: cannot make the salvage directory %s\n", directory.c_str());
        return kCheckFailed;
    }
    return kOk;
}

int Fsck(Session &session, const FsckArgs &a)
{
    const bool json = session.options().json;
    PageDevice *device = session.Pages();
    if (device == nullptr)
        return kCheckFailed;
    DevicePages pages(*device, [&](int page) { session.Log(2, "read page " + std::to_string(page)); });
    // A repair starts from a backup image, which needs every page; a check
    // alone reads only the pages the file system uses.
    std::vector<std::uint8_t> whole;
    std::vector<int> unreadable;
    if (a.repair)
        whole = ReadWholeCard(session, pages, unreadable);
    const CardReport report = CheckCard(pages);
    nlohmann::json doc{{"clean", report.Clean()}, {"formatted", report.formatted}, {"findings", FindingsJson(report)}};
    if (!json) {
        if (report.Clean())
            std::printf("%s\n", report.formatted ? "the card is sound" : "no damage found");
        PrintFindings(report, report.Clean() ? "notes:" : "found:");
    }
    if (!a.map.empty()) {
        if (!WriteText(a.map, DrawCard(report, {"Kelvara card: fsck", true}))) {
            std::fprintf(stderr, "kelvara: cannot write %s\n", a.map.c_str());
            return kCheckFailed;
        }
    }
    const auto finish = [&](int code) {
        doc["exit"] = code;
        if (json)
            session.PrintJson(doc);
        return code;
    };
    if (!a.salvage.empty() && !a.repair) {
        const int r = Salvage(session, pages, report, a.salvage, doc);
        if (r != kOk)
            return finish(r);
    }
    if (!a.repair)
        return finish(report.Clean() ? kOk : kDamageLeft);

    const RepairPlan plan = PlanRepair(pages);
    doc["declined"] = plan.declined;
    if (!json) {
        for (const std::string &d : plan.declined)
            std::printf("not mended: %s\n", d.c_str());
    }
    if (plan.writes.empty()) {
        if (!json && !report.Clean())
            std::printf("nothing on the card proves how to mend it; nothing was written\n");
        return finish(report.Clean() ? kOk : kDamageLeft);
    }

    // Before the first write: the backup image, then the files that a
    // damaged index still names.
    const std::string backup = a.backup.empty() ? "kelvara-backup-" + FileStamp() + ".img" : a.backup;
    std::error_code ec;
    if (std::filesystem::exists(backup, ec)) {
        std::fprintf(stderr, "kelvara: the backup image %s exists already; nothing was written\n", backup.c_str());
        return finish(kCheckFailed);
    }
    if (!WriteWholeFile(backup, std::string(whole.begin(), whole.end()))) {
        std::fprintf(stderr, "kelvara: cannot write the backup image %s; nothing was written\n", backup.c_str());
        return finish(kCheckFailed);
    }
    doc["backup"] = backup;
    if (!json) {
        std::printf("backup image: %s", backup.c_str());
        if (!unreadable.empty())
            std::printf(" (%zu unreadable page(s) are zeros in it)", unreadable.size());
        std::printf("\n");
    }
    if (IndexDamaged(report)) {
        const std::string directory = a.salvage.empty() ? "kelvara-salvage-" + FileStamp() : a.salvage;
        if (Salvage(session, pages, report, directory, doc) != kOk) {
            std::fprintf(stderr, "kelvara: nothing was written\n");
            return finish(kCheckFailed);
        }
    }

    bool stopped = false;
    nlohmann::json changes = nlohmann::json::array();
    const std::vector<WriteOutcome> outcomes = ApplyRepair(*device, plan, [&](const WriteOutcome &o) {
        session.Log(2, "wrote page " + std::to_string(o.page) + (o.verified ? "" : " - failed"));
    });
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const PageWrite &w = plan.writes[i];
        const WriteOutcome &o = outcomes[i];
        changes.push_back({{"page", w.page}, {"what", w.what}, {"written", o.written}, {"verified", o.verified}});
        if (!json) {
            if (o.verified)
                std::printf("mended: %s\n", w.what.c_str());
            else
                std::printf("FAILED: page %d %s: %s\n", w.page, o.written ? "read back differently" : "not written",
                            w.what.c_str());
        }
        stopped = stopped || !o.verified;
    }
    doc["changes"] = changes;
    const bool wroteSomething = !outcomes.empty() && outcomes.front().written;

    // The check again, from the card as it is now.
    DevicePages fresh(*device);
    const CardReport after = CheckCard(fresh);
    doc["after"] = {{"clean", after.Clean()}, {"findings", FindingsJson(after)}};
    if (!json) {
        if (after.Clean())
            std::printf("checked again: the card is sound\n");
        else
            PrintFindings(after, "checked again, still found:");
    }
    int code = (wroteSomething ? kFailed : kOk) | (after.Clean() ? 0 : kDamageLeft);
    if (stopped) {
        std::fprintf(stderr, "kelvara: a mend could not be written; the backup image is %s\n", backup.c_str());
        code |= kCheckFailed;
    }
    return finish(code);
}

int Map(Session &session, const std::string &path)
{
    PageDevice *device = session.Pages();
    if (device == nullptr)
        return kFailed;
    DevicePages pages(*device);
    const CardReport report = CheckCard(pages);
    if (!WriteText(path, DrawCard(report, {"Kelvara card", false}))) {
        std::fprintf(stderr, "kelvara: cannot write %s\n", path.c_str());
        return kNotWritten;
    }
    session.Log(1, "card map written to " + path);
    return kOk;
}

} // namespace

void AddCheckCommands(CLI::App &app, Step &step)
{
    auto a = std::make_shared<FsckArgs>();
    CLI::App *fsck =
        app.add_subcommand("fsck", "check the card's pages and index (--repair: mend what the card proves)");
    fsck->group(kGroup);
    CLI::Option *dryRun = fsck->add_flag("-n,--dry-run", a->dryRun, "only report (the default): nothing is written");
    CLI::Option *repair = fsck->add_flag(
        "-y,-p,--repair", a->repair,
        "write a backup image, salvage what a damaged index still names, then restore pages from intact backups, "
        "rebuild the bitmap from the index and free leaked pages; check again (-y and -p as in e2fsck)");
    dryRun->excludes(repair);
    fsck->add_option("--backup", a->backup, "backup image to write before repairing (default kelvara-backup-TIME.img)")
        ->type_name("FILE");
    fsck->add_option("--salvage", a->salvage,
                     "copy the files that can be read into DIR (with --repair: default kelvara-salvage-TIME when "
                     "the index is damaged)")
        ->type_name("DIR");
    fsck->add_option("--map", a->map, "also draw the card with the damage marked (SVG)")->type_name("FILE");
    fsck->footer("Exit codes: 0 the card is sound, 1 damage was repaired, 4 damage is left (5: some repaired, some "
                 "left), 8 the card could not be checked or a mend not written, 2 usage.");
    fsck->callback([&step, a] { step = [a](Session &s) { return Fsck(s, *a); }; });

    auto path = std::make_shared<std::string>();
    CLI::App *map = app.add_subcommand("map", "draw the card's 2048 pages as an SVG picture");
    map->group(kGroup);
    map->add_option("file", *path, "SVG file to write")->required();
    map->callback([&step, path] { step = [path](Session &s) { return Map(s, *path); }; });
}

} // namespace kelvara::tool
