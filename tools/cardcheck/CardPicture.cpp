// Drawing the card map.
#include "tools/cardcheck/CardPicture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <vector>

namespace kelvara::check {

using namespace card;

namespace {

constexpr int kColumns = 64;
constexpr int kCell = 12; // cell pitch; the square is one pixel smaller
constexpr int kLeft = 44; // room for the row labels
constexpr int kTop = 40; // room for the title
constexpr int kGridWidth = kColumns * kCell;
constexpr int kGridHeight = (kPageCount / kColumns) * kCell;

struct RoleStyle {
    Role role;
    const char *colour;
    const char *label;
};

constexpr RoleStyle kRoleStyles[] = {
    {Role::BitTable, "#1f3a93", "bit table (page 0)"},
    {Role::BitTableBackup, "#6c8cf5", "bit table backup (page 2047)"},
    {Role::Index, "#e08e00", "index chain"},
    {Role::IndexBackup, "#f5cf6e", "index backups"},
    {Role::SpareBackup, "#d5d0c4", "backup area, unused"},
    {Role::Free, "#f6f6f6", "free"},
    {Role::Leaked, "#262626", "leaked (in use, owned by nothing)"},
    {Role::Unknown, "#9e9e9e", "unknown (no bit table)"},
};

const char *RoleColour(Role role)
{
    for (const RoleStyle &style : kRoleStyles) {
        if (style.role == role)
            return style.colour;
    }
    return "#ffffff";
}

// XML text: the five special characters escaped, the rest made printable,
// and U+FFFE and U+FFFF, which XML forbids although they are printable
// UTF-8, replaced by U+FFFD.
std::string Xml(const std::string &text)
{
    std::string printable = Printable(text);
    for (std::size_t at = 0; (at = printable.find("\xEF\xBF", at)) != std::string::npos; at += 3) {
        if (at + 2 < printable.size() && (printable[at + 2] == '\xBE' || printable[at + 2] == '\xBF'))
            printable[at + 2] = '\xBD';
    }
    std::string out;
    for (char c : printable) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::string DamageWords(unsigned marks)
{
    std::string out;
    const auto add = [&](unsigned mark, const char *words) {
        if ((marks & mark) != 0)
            out += (out.empty() ? "" : ", ") + std::string(words);
    };
    add(damage::kUnreadable, "unreadable");
    add(damage::kBadChecksum, "bad checksum");
    add(damage::kBadLength, "bad length");
    add(damage::kDiffers, "differs from its primary");
    add(damage::kShared, "shared");
    add(damage::kMarkedFree, "owned but marked free");
    add(damage::kBadLink, "bad chain link");
    add(damage::kBadRecord, "a record here cannot be parsed");
    return out;
}

} // namespace

std::string FileColour(int file)
{
    // Twelve colours that stay clear of the role colours (blues for the bit
    // table, ambers for the index, near-black for leaked, greys); further
    // files take the same twelve, darker each round.
    static constexpr unsigned kPalette[] = {0x2e9d5b, 0xd1495b, 0x00a6a6, 0x8c6d31, 0xe377c2, 0x7f9c23,
                                            0x17becf, 0xb5523b, 0x59a14f, 0xa05195, 0x4e8f8f, 0x9c755f};
    constexpr int kCount = static_cast<int>(std::size(kPalette));
    const int index = file < 0 ? 0 : file;
    const unsigned rgb = kPalette[index % kCount];
    const double shade = std::max(0.45, 1.0 - 0.18 * (index / kCount));
    char hex[8];
    std::snprintf(hex, sizeof hex, "#%02x%02x%02x", static_cast<unsigned>(std::lround(((rgb >> 16) & 0xFF) * shade)),
                  static_cast<unsigned>(std::lround(((rgb >> 8) & 0xFF) * shade)),
                  static_cast<unsigned>(std::lround((rgb & 0xFF) * shade)));
    return hex;
}

std::string DrawCard(const CardReport &report, const PictureOptions &options)
{
    constexpr int kMaxListedFiles = 24;
    const int listedFiles = std::min<int>(static_cast<int>(report.files.size()), kMaxListedFiles);
    const int legendTop = kTop + kGridHeight + 24;
    const int legendRows = static_cast<int>(std::size(kRoleStyles)) + 1 + listedFiles +
        (static_cast<int>(report.files.size()) > listedFiles ? 1 : 0);
    const int width = kLeft + kGridWidth + 16;
    const int height = legendTop + std::max(legendRows, 7) * 16 + 24;

    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << ' ' << height << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
        << "<title>" << Xml(options.title) << "</title>\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n"
        << "<text x=\"" << kLeft << "\" y=\"24\" font-size=\"16\" font-weight=\"bold\">" << Xml(options.title)
        << "</text>\n";

    // Row labels: the first page of every fourth row.
    svg << "<g fill=\"#555555\" text-anchor=\"end\">\n";
    for (int row = 0; row < kPageCount / kColumns; row += 4)
        svg << "<text x=\"" << kLeft - 6 << "\" y=\"" << kTop + row * kCell + 9 << "\">" << row * kColumns
            << "</text>\n";
    svg << "</g>\n";

    // The cells.
    svg << "<g id=\"pages\" stroke=\"#c8c8c8\" stroke-width=\"0.5\">\n";
    std::ostringstream marks;
    for (int p = 0; p < kPageCount; ++p) {
        const PageInfo &info = report.pages[static_cast<std::size_t>(p)];
        const int x = kLeft + (p % kColumns) * kCell, y = kTop + (p / kColumns) * kCell;
        const bool isFile = info.role == Role::File && info.file >= 0;
        const FileReport *file = isFile ? &report.files[static_cast<std::size_t>(info.file)] : nullptr;
        const std::string colour = isFile ? FileColour(info.file) : RoleColour(info.role);
        const bool damaged = options.showDamage && info.damage != 0;

        std::string hover = "page " + std::to_string(p) + ": ";
        if (file != nullptr)
            hover += file->name + " (part " + std::to_string(info.part + 1) + " of " +
                std::to_string(file->pages.size()) + ")";
        else
            hover += RoleName(info.role);
        if (damaged)
            hover += " - " + DamageWords(info.damage);

        svg << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << kCell - 1 << "\" height=\"" << kCell - 1
            << "\" fill=\"" << colour << "\" data-page=\"" << p << "\" data-role=\"" << RoleName(info.role) << '"';
        if (file != nullptr)
            svg << " data-file=\"" << Xml(file->name) << '"';
        if (damaged)
            svg << " data-damage=\"" << Xml(DamageWords(info.damage)) << '"';
        svg << "><title>" << Xml(hover) << "</title></rect>\n";
        if (damaged)
            marks << "<path d=\"M" << x + 1 << ' ' << y + 1 << "l" << kCell - 3 << ' ' << kCell - 3 << "M"
                  << x + kCell - 2 << ' ' << y + 1 << "l-" << kCell - 3 << ' ' << kCell - 3 << "\"/>\n";
    }
    svg << "</g>\n";
    if (options.showDamage)
        svg << "<g id=\"damage\" stroke=\"#d50000\" stroke-width=\"2\" fill=\"none\">\n" << marks.str() << "</g>\n";

    // The legend: roles, then the files.
    svg << "<g id=\"legend\">\n";
    int row = 0;
    const auto swatch = [&](const std::string &colour, const std::string &label, bool cross = false) {
        const int y = legendTop + row * 16;
        svg << "<rect x=\"" << kLeft << "\" y=\"" << y << "\" width=\"11\" height=\"11\" fill=\"" << colour
            << "\" stroke=\"#888888\" stroke-width=\"0.5\"/>";
        if (cross)
            svg << "<path d=\"M" << kLeft + 1 << ' ' << y + 1 << "l9 9M" << kLeft + 10 << ' ' << y + 1
                << "l-9 9\" stroke=\"#d50000\" stroke-width=\"2\"/>";
        svg << "<text x=\"" << kLeft + 18 << "\" y=\"" << y + 10 << "\">" << Xml(label) << "</text>\n";
        ++row;
    };
    for (const RoleStyle &style : kRoleStyles)
        swatch(style.colour, style.label);
    if (options.showDamage)
        swatch("#ffffff", "damaged", true);
    for (int i = 0; i < listedFiles; ++i) {
        const FileReport &f = report.files[static_cast<std::size_t>(i)];
        swatch(FileColour(i),
               f.name + " (" + GroupDigits(f.size) + " bytes, " + std::to_string(f.pages.size()) +
                   (f.pages.size() == 1 ? " page)" : " pages)"));
    }
    if (static_cast<int>(report.files.size()) > listedFiles)
        swatch("#ffffff",
               "and " + std::to_string(report.files.size() - static_cast<std::size_t>(listedFiles)) +
                   " more files (their names show on hover)");
    svg << "</g>\n";

    // The df figures beside the legend.
    const Figures &f = report.figures;
    const int fx = kLeft + kGridWidth / 2 + 40;
    std::vector<std::string> lines;
    if (report.formatted) {
        lines = {
            "pages for files: " + GroupDigits(f.totalPages) + " (" + GroupDigits(f.totalPages * 258LL) + " bytes)",
            "used: " + Counted(f.usedPages, "page"),
            "free: " + Counted(f.freePages, "page") + " (" + GroupDigits(f.freePages * 258LL) + " bytes)",
            "in the index: " + Counted(f.files, "file") + ", " + Counted(f.fileBytes, "byte") + " in " +
                Counted(f.filePages, "page"),
            "index chain: " + Counted(f.indexPages, "page"),
        };
    } else {
        lines = {"no sound, formatted bit table: the card's contents are unknown"};
    }
    if (options.showDamage)
        lines.push_back(report.Clean() ? "no damage found"
                                       : Counted(report.DamageCount(), "problem") + " found (see fsck)");
    svg << "<g id=\"figures\">\n";
    for (std::size_t i = 0; i < lines.size(); ++i)
        svg << "<text x=\"" << fx << "\" y=\"" << legendTop + 10 + static_cast<int>(i) * 16 << "\">" << Xml(lines[i])
            << "</text>\n";
    svg << "</g>\n</svg>\n";
    return svg.str();
}

} // namespace kelvara::check
