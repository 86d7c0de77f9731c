// Mending a card from what the card itself proves, and saving what can be
// read before anything is written.
//
// The plan only ever:
// - restores a damaged bit-table or index page from its intact backup (an
//   index page only when the file system then loads the index),
// - rewrites a damaged or differing backup from its intact primary,
// - rebuilds the bitmap from a wholly readable index: leaked pages become
//   free, pages a file owns become used.
// Everything else (a lost index, bad records, bad data pages, shared pages)
// is left as it is and reported.
#pragma once

#include "tools/cardcheck/CardCheck.h"

#include <string>
#include <vector>

namespace kelvara::check {

struct PageWrite {
    int page = 0;
    PageImage bytes{};
    std::string what; // "page 0 (the bit table) restored from its backup in page 2047"
};

// The writes, in the order they must reach the card: index pages, their
// backups, then page 0 (which makes the new state current) and page 2047.
struct RepairPlan {
    std::vector<PageWrite> writes;
    std::vector<std::string> declined; // mends considered and refused, with the reason
};

RepairPlan PlanRepair(PageSource &pages);

struct WriteOutcome {
    int page = 0;
    bool written = false; // the device confirmed the write
    bool verified = false; // and reading it back gave the same bytes
};

// Writes the plan through `device` page by page, reading each page back.
// Stops at the first page that is not written and verified, since later
// writes rely on earlier ones. `onWrite` hears of each page as it is done.
std::vector<WriteOutcome> ApplyRepair(PageDevice &device, const RepairPlan &plan,
                                      const std::function<void(const WriteOutcome &)> &onWrite = {});

// Copies every file whose record could be read into `directory`, each under
// its card path (card directories become local ones; unsafe names are made
// safe). A damaged data page is written as zeros and reported; a name that
// is taken or too long locally is changed and reported.
struct SalvageRename {
    std::string file; // card path
    std::string local; // the local path it was saved under
    std::string why;
};
struct SalvageHole {
    std::string file; // card path
    int page = 0;
    long long first = 0; // the file's bytes that are zeros in the copy
    long long last = 0;
    std::string why; // "has a bad checksum", ...
};
struct SalvageResult {
    std::vector<std::string> saved; // local paths written
    std::vector<std::string> skipped; // card paths not copied, with the reason
    std::vector<SalvageRename> renamed;
    std::vector<SalvageHole> holes;
    bool ok = true; // false when the directory itself could not be made
};
SalvageResult SalvageFiles(PageSource &pages, const CardReport &report, const std::string &directory);

// The local path, relative to the salvage directory, for a card path.
std::string SalvagePath(const std::string &cardPath);

} // namespace kelvara::check
