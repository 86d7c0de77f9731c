// The explanations of the library's prompts.
#include "tools/kelvara/LibraryPrompts.h"

#include "kelvara/services/PromptTexts.h"
#include "tools/common/Messages.h"

namespace kelvara::tool {
namespace {

struct Explanation {
    std::string_view text;
    const char *meaning; // the msgid
};

// The Chinese catalogue translates each meaning back into the prompt's own
// words, so under a zh locale the prompt stands alone.
constexpr Explanation kExplanations[] = {
    {prompt::kOutOfMemory, N_("Out of memory.")},
    {prompt::kCardReversed, N_("The card may be inserted the wrong way round, or it was never initialised.")},
    {prompt::kInsertCard, N_("Please put the IC card into the reader.")},
    {prompt::kConnectFailed,
     N_("Could not connect to the reader; for a USB reader, unplug the cable and plug it in again. Retry?")},
    {prompt::kCrcError, N_("Checksum (CRC) error.")},
    {prompt::kReadError, N_("Reading the card failed. Retry?")},
    {prompt::kWriteError, N_("Writing the card failed. Retry?")},
    {prompt::kNoSpace, N_("Not enough space on the IC card.")},
    {prompt::kPathTooLong, N_("The file path is too long for the IC card.")},
    {prompt::kDamagedCard, N_("The IC card's format information is damaged; repair it first.")},
    {prompt::kConnecting, N_("Connecting to the reader, please wait...")},
    {prompt::kConnectingGc481, N_("Connecting to the GC481 reader, please wait...")},
    {prompt::kConnectingMcs, N_("Connecting to the MCS-C reader, please wait...")},
    {prompt::kConnectingWqn, N_("Connecting to the Wqn reader, please wait...")},
};

} // namespace

std::string Explained(std::string_view text)
{
    for (const Explanation &e : kExplanations) {
        if (e.text != text)
            continue;
        const std::string_view meaning = _(e.meaning);
        if (meaning == text)
            break;
        return std::string(text) + " \u2014 " + std::string(meaning);
    }
    return std::string(text);
}

} // namespace kelvara::tool
