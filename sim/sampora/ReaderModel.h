// The simulated Sampora reader: a contactless card of 16 sectors x 4 blocks
// of 16 bytes, the reader's key store and a SAM. Pure: a command payload
// goes in, a reply payload (status byte and data) comes out.
//
// Status codes of the simulated reader:
//   1  success
//   2  no card in the field
//   3  card not selected (OpenCard first; CloseCard deselects)
//   4  authentication failed: the reader's key for the sector and selector
//      (0 key A, 1 key B) differs from the card's
//   5  bad parameter (payload length, block or sector out of range, a
//      sector trailer or the maker's block 0 given to WriteBlock)
//   6  SAM not selected (SelectSAMCatalog first)
//   7  unknown command
//   8  deep operations not allowed (AllowDeep first)
//   9  no such card file: the file number is not the directory entry of
//      the sector named by the index
//  10  nothing to resend yet
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace sampora_sim {

using Bytes = std::vector<std::uint8_t>;

enum Status : std::uint8_t {
    kOk = 1,
    kNoCard = 2,
    kNotSelected = 3,
    kAuthFailed = 4,
    kBadParameter = 5,
    kNoSam = 6,
    kUnknownCommand = 7,
    kDeepNotAllowed = 8,
    kNoSuchFile = 9,
    kNothingToResend = 10,
};

struct Answer {
    Bytes payload; // status byte, then data
    unsigned workMs = 0; // how long the reader takes before answering
};

class ReaderModel {
public:
    ReaderModel();

    Answer Handle(const Bytes &command);

    // Records what was really sent when a fault replaced the model's answer,
    // so a later ReSend repeats that.
    void RememberAnswer(const Bytes &payload) { lastReply_ = payload; }

    void SetCardPresent(bool present);
    bool CardPresent() const { return cardPresent_; }
    void SetUid(std::uint32_t uid);

    using Block = std::array<std::uint8_t, 16>;
    const Block &CardBlock(unsigned block) const { return blocks_[block]; }
    const Bytes &LastMac() const { return lastMac_; }
    // The card file number the directory holds for a sector (1 to 15).
    unsigned DirectoryEntry(unsigned sector) const;

private:
    Answer Dispatch(const Bytes &c);
    std::uint8_t CardReady() const;
    bool Authenticated(unsigned selector, unsigned sector) const;
    // What a card-file command finds before it touches the sector: a card
    // selected, the directory naming `file` there, key A of it loaded.
    std::uint8_t CardFileReady(unsigned file, unsigned sector) const;
    void BlankSector(unsigned sector, std::uint8_t fill);
    Block ReadVisible(unsigned block) const;

    std::array<Block, 64> blocks_{};
    std::array<std::array<std::array<std::uint8_t, 6>, 16>, 2> readerKeys_{};
    std::uint32_t uid_ = 0x78563412;
    bool cardPresent_ = true;
    bool selected_ = false;
    bool samSelected_ = false;
    bool deepAllowed_ = false;
    Bytes lastReply_;
    Bytes lastMac_;
};

} // namespace sampora_sim
