// The process check over the platform's process list.
#include "kelvara/app/ProcessCheck.h"

#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"
#include "kelvara/services/NameText.h"
#include "kelvara/services/ProcessList.h"

namespace kelvara {

bool ProcessImageMatches(std::string_view image, std::string_view name)
{
    const std::size_t backslash = name_text::FindLastOf(image, "\\");
    if (backslash != name_text::npos)
        image.remove_prefix(backslash + 1);
    return EqualsNoCase(image, name);
}

bool IsProcessRunningTwice(std::string_view name)
{
    int matches = 0;
    ForEachProcessImage([&](std::string_view image) {
        if (ProcessImageMatches(image, name))
            ++matches;
        return matches < 2;
    });
    return matches >= 2;
}

} // namespace kelvara
