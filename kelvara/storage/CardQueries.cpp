// The query side of the card file system: listing, file times, bitmap report.
#include "kelvara/storage/CardFileSystem.h"

#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"

namespace kelvara {

using namespace card;

std::string CardFileSystem::ListFiles() const
{
    std::string text;
    for (const FileEntry &entry : fileEntries_) {
        text += entry.name;
        text.push_back('*');
        text += entry.time;
        text.push_back(',');
    }
    return text;
}

std::string CardFileSystem::GetFileTime(std::string_view name) const
{
    const std::string wanted = LowerText(name);
    if (!formatted_)
        return {};
    const std::string listing = ListFiles();
    // The listing is walked as text, so a path holding "," or "*" splits in
    // the wrong place, as it always has for callers of this listing.
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = listing.find(',', start);
        if (comma == std::string::npos)
            return {};
        std::size_t star = listing.find('*', start);
        if (star == std::string::npos || star > comma)
            star = comma;
        const std::string path = LowerText(std::string_view(listing).substr(start, star - start));
        if (path.find(wanted) != std::string::npos) {
            const std::string time = star < comma ? listing.substr(star + 1, comma - star - 1) : std::string();
            return time.size() < 12 ? std::string("000101010101") : time.substr(0, 12);
        }
        start = comma + 1;
    }
}

std::string CardFileSystem::BitmapReport() const
{
    std::string report(kPageCount, '0');
    for (int p = 0; p < kPageCount; ++p) {
        if (pageState_[p] == 1)
            report[p] = '1';
    }
    return report;
}

} // namespace kelvara
