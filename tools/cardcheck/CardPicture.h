// A picture of the card as SVG: one cell a page, 64 pages a row, coloured by
// what the page holds, each file in a colour of its own with its name on
// hover, a legend and the df figures underneath.
//
// Every cell is a <rect> carrying data-page, data-role and, for a file page,
// data-file (the card path); a damaged page, when damage is drawn, also
// carries data-damage and a red cross. Programs can read the picture back.
#pragma once

#include "tools/cardcheck/CardCheck.h"

#include <string>

namespace kelvara::check {

struct PictureOptions {
    std::string title = "Kelvara card";
    bool showDamage = false; // mark damaged pages (fsck's picture)
};

std::string DrawCard(const CardReport &report, const PictureOptions &options = {});

// The colour a file's cells are drawn in ("#rrggbb"), the same for the same
// position in the index; neighbours in the index differ.
std::string FileColour(int file);

} // namespace kelvara::check
