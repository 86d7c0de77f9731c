// The simulated Sampora reader: a contactless card of 16 sectors x 4 blocks
// of 16 bytes, the reader's key store and a SAM. Pure: a command payload
// goes in, a reply payload (status byte and data) comes out.
//
// It answers with the status bytes of sampora/ReaderStatus.h (their meanings
// are there too).
#pragma once

#include "sampora/ReaderStatus.h"

#include <array>
#include <cstdint>
#include <vector>

namespace sampora_sim {

using Bytes = std::vector<std::uint8_t>;

using Status = sampora::status::ReaderStatus;
using enum sampora::status::ReaderStatus;

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
