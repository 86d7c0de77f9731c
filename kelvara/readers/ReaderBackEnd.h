// The one interface every reader back-end offers the reader manager: the
// maker's serial reader, the maker's USB reader and the GC481 and MCS-C
// readers through their vendors' libraries. The manager owns one object of
// each, picks the one that answered and from then on speaks to it only
// through this interface.
//
// Contract of each operation (all run on the caller's thread, block until
// done, never throw and never show a message box):
//
//   Connect      looks for the reader and its card; may take seconds (every
//                port and speed is tried). 0 no reader, 1 reader without a
//                ready card, 2 ready, 100 (USB reader only) a card that is
//                unusable. Non-zero leaves the reader open and IsConnected()
//                true; 0 leaves everything closed.
//   ReadBlock    `length` bytes from `offset` of `page` into `buffer`; one
//   WriteBlock   attempt, true on success. The manager has already checked
//                the transfer against the card's geometry and retries; a
//                back-end refuses, before any traffic, only what its own
//                protocol cannot carry. Length 0 succeeds without traffic.
//   CardLock     the reader's lock and exit commands, on readers whose
//   CardExit     HasCardCommands() is true.
//   GetVersion   the reader's version text into 51 bytes, on readers whose
//                HasVersion() is true.
//   PollCard     asks the connected reader about its card, as briefly as its
//                protocol allows: 2 ready, 1 no ready card, 0 no answer.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelvara {

// Where a back-end tells the user what it is trying while it searches (the
// connection notice's text, UTF-8).
class SearchNotice {
public:
    virtual void Tell(std::string_view text) = 0;

protected:
    ~SearchNotice() = default;
};

class ReaderBackEnd {
public:
    virtual ~ReaderBackEnd() = default;

    virtual int Connect() = 0;
    virtual bool IsConnected() const = 0;
    virtual bool ReadBlock(int page, int offset, int length, std::uint8_t *buffer) = 0;
    virtual bool WriteBlock(int page, int offset, int length, const std::uint8_t *buffer) = 0;
    virtual bool HasCardCommands() const { return false; }
    virtual bool CardLock() { return false; }
    virtual bool CardExit() { return false; }
    virtual bool HasVersion() const { return false; }
    virtual bool GetVersion(char *text)
    {
        (void)text;
        return false;
    }
    // Readers without a status request of their own search again.
    virtual int PollCard() { return Connect(); }
    // Whether a failed transfer waits a little before the next attempt (the
    // USB reader's driver has its own time-outs).
    virtual bool PausesBetweenAttempts() const { return true; }

    // The notice Connect writes into (none: the texts go nowhere).
    void SetSearchNotice(SearchNotice *notice) { notice_ = notice; }

protected:
    void TellSearch(std::string_view text)
    {
        if (notice_ != nullptr)
            notice_->Tell(text);
    }

private:
    SearchNotice *notice_ = nullptr;
};

} // namespace kelvara
