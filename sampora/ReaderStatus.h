// What the results of the Sampora exports mean in words: the reader's status
// bytes and the library's own negative results. The sampora tool prints these
// texts and the reader simulator answers with these codes and lists them in
// its help, so both read this one table.
#pragma once

#include <cstdint>

namespace sampora::status {

// The status bytes the reader answers with (1 is success).
enum ReaderStatus : std::uint8_t {
    kOk = 1,
    kNoCard = 2,
    kNotSelected = 3,
    kAuthFailed = 4, // the reader's key for the sector and selector (0 key A, 1 key B) is not the card's
    // Payload length, block or sector out of range, a sector trailer or the
    // maker's block 0 given to WriteBlock.
    kBadParameter = 5,
    kNoSam = 6,
    kUnknownCommand = 7,
    kDeepNotAllowed = 8,
    kNoSuchFile = 9, // the file number is not the directory entry of the sector the index names
    kNothingToResend = 10,
    kLastKnown = kNothingToResend,
};

// The library's own results, never sent by the reader: -1 no reply, -2 to -4
// an argument out of range (sampora.h tells which for each call), -5 a null
// pointer.
enum LibraryResult : int {
    kNoReply = -1,
    kArgumentFirst = -2,
    kArgumentLast = -4,
    kNullPointer = -5,
};

struct Meaning {
    int code;
    const char *text; // English; the tools translate it through gettext
};

inline constexpr Meaning kMeanings[] = {
    {kNoReply, "no reply from the reader in time"},
    {kArgumentFirst, "an argument is out of range"},
    {kNullPointer, "a data or output pointer is missing"},
    {kOk, "success"},
    {kNoCard, "no card in the field"},
    {kNotSelected, "card not selected: open the card first (closing it deselects)"},
    {kAuthFailed, "authentication failed: the reader's key for the sector differs from the card's"},
    {kBadParameter, "bad parameter"},
    {kNoSam, "SAM not selected: select the SAM catalogue first"},
    {kUnknownCommand, "unknown command"},
    {kDeepNotAllowed, "deep operations not allowed: allow them first"},
    {kNoSuchFile, "no such card file: no directory entry names it (set it up first)"},
    {kNothingToResend, "nothing to resend yet"},
};

// The meaning of a result, or null for a status byte the reader is not known
// to send. The argument checks -2 to -4 share one text.
inline const char *MeaningOf(int code)
{
    if (code <= kArgumentFirst && code >= kArgumentLast)
        code = kArgumentFirst;
    for (const Meaning &m : kMeanings)
        if (m.code == code)
            return m.text;
    return nullptr;
}

} // namespace sampora::status
