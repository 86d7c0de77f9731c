// Power-loss campaign: seeded random sequences of card operations (writes of
// 0 to 300 KiB, replaces, wildcard writes, deletes by name and by pattern,
// formats, cards filled to the brim), each operation cut at every page write
// and torn inside the pages that hold the directory. After every cut the card
// must load as the whole old or the whole new directory, every file it lists
// must read back exactly, and saving then loading must keep the directory.
//
// A cut after k writes leaves the card as it was before the operation plus
// the first k pages the uncut run wrote (the file system's behaviour up to a
// write does not depend on whether later writes land), so each operation runs
// once and its cuts are rebuilt from its write journal; a sample of cuts is
// run for real on a card with the power cut, to check that shortcut.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvara::testing::power_loss {

struct Options {
    // Split points of a torn write (bytes of the new page that land), tried
    // at every write of a page that is not a file's data page.
    std::vector<int> splits;
    int operations = 20;
    // Every n-th cut is also run for real, with the power cut on a simulated
    // card, and must leave the card exactly as rebuilt from the journal.
    int crossCheckEvery = 101;
    // Every n-th cut is followed by a write and a read of a new file.
    int probeEvery = 53;
};

// The byte positions where the fields of the bit-table, index and data pages
// meet, with their neighbours: the split points every run tries.
std::vector<int> FieldBoundarySplits();
// Every byte position from 1 to 263.
std::vector<int> EverySplit();

struct Figures {
    long long sequences = 0;
    long long operations = 0;
    long long pageWrites = 0; // writes of the uncut runs
    long long cuts = 0; // cuts at a page write, the write not landing
    long long tornCuts = 0; // cuts inside a write, part of the page landing
    long long crossChecks = 0;
    long long probes = 0;
    long long fullCardDeletes = 0; // deletes whose new chain had to reuse deleted pages
    long long refusedForSpace = 0; // writes refused by the space check
    // Deletes refused because the new index needs more pages than are free
    // together with the deleted files' own.
    long long deletesRefusedForSpace = 0;
    long long failures = 0;
    std::vector<std::string> notes; // the first failures, for the report

    void Add(const Figures &other);
};

// Runs one sequence from a blank card; its seed fixes every choice.
Figures RunSequence(std::uint32_t seed, const Options &options);

} // namespace kelvara::testing::power_loss
