// The card as the tool's commands see it: the file-system operations and raw
// pages, either of a card in a reader (through libkelvara's exports) or of a
// card image (through the same card file system code, linked into the tool).
// Results are those of the matching TS_ exports.
//
// On a card image the reading operations never write: what the card file
// system would mend as it reads (a page taken from its backup) is mended in
// memory only, and a line on stderr says so.
#pragma once

#include "kelvara/card/PageDevice.h"

#include <memory>
#include <string>

namespace kelvara::tool {

class CardAccess {
public:
    virtual ~CardAccess() = default;

    // Makes raw pages reachable: connects to the reader, or opens the image
    // (`create`: a missing image file is made as a blank card). False with
    // the reason in `why`.
    virtual bool Open(std::string &why, bool create = false) = 0;
    // Valid after a successful Open.
    virtual PageDevice &Pages() = 0;
    virtual bool IsImage() const = 0;

    virtual int Check() = 0; // 0 / -1
    virtual int Format() = 0; // 0 / -1
    virtual int IsFormat() = 0; // 0 / -1
    virtual int Put(const std::string &cardDirectory, const std::string &localFiles) = 0; // 0 / -1
    virtual int Get(const std::string &localDirectory, const std::string &cardPattern, std::string &names) = 0;
    virtual int Remove(const std::string &cardPattern) = 0; // 0 / -1
    virtual int Rename(const std::string &from, const std::string &to) = 0; // 0 / -1
    virtual int List(const std::string &outputPath) = 0; // 1 / 0 / -1
    virtual int FileTime(const std::string &name, std::string &time) = 0; // 0 / -1
    virtual int Test() = 0; // 0 / -1
    virtual int BitTable(const std::string &outputPath) = 0; // 1 / 0
};

// The reader the library tries first, from its stored settings: the kind of
// reader and, for the serial kinds, the port, its device and the highest
// speed, e.g. "WQN serial reader (PortMode 1), port com1 = /dev/ttyS0 (no
// such device), up to 115200 bps (BaudRateMax 6)".
std::string DescribeReader();
// Why no reader answered: what was tried, as far as the settings tell.
std::string NoReaderReason();

std::unique_ptr<CardAccess> MakeLibraryCard();
std::unique_ptr<CardAccess> MakeImageCard(const std::string &imagePath);

} // namespace kelvara::tool
