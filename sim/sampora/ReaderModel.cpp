// Behaviour of the simulated reader, command by command.
#include "ReaderModel.h"

#include <algorithm>

namespace sampora_sim {

namespace {

constexpr std::array<std::uint8_t, 6> kTransportKey{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::array<std::uint8_t, 4> kTransportAccess{0xFF, 0x07, 0x80, 0x69};

bool IsTrailer(unsigned block) { return block % 4 == 3; }

Answer Reply(std::uint8_t status) { return Answer{{status}, 0}; }

} // namespace

ReaderModel::ReaderModel()
{
    for (unsigned s = 0; s < 16; ++s)
        BlankSector(s, 0x00);
    for (auto &perSelector : readerKeys_)
        for (auto &key : perSelector)
            key = kTransportKey;
    SetUid(uid_);
}

void ReaderModel::SetUid(std::uint32_t uid)
{
    uid_ = uid;
    Block &b = blocks_[0];
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<std::uint8_t>(uid >> (8 * i));
    b[4] = b[0] ^ b[1] ^ b[2] ^ b[3];
}

void ReaderModel::SetCardPresent(bool present)
{
    cardPresent_ = present;
    if (!present)
        selected_ = false;
}

void ReaderModel::BlankSector(unsigned sector, std::uint8_t fill)
{
    for (unsigned i = 0; i < 3; ++i) {
        const unsigned block = sector * 4 + i;
        if (block == 0)
            continue; // the maker's block stays
        blocks_[block].fill(fill);
    }
    Block &trailer = blocks_[sector * 4 + 3];
    std::copy(kTransportKey.begin(), kTransportKey.end(), trailer.begin());
    std::copy(kTransportAccess.begin(), kTransportAccess.end(), trailer.begin() + 6);
    std::copy(kTransportKey.begin(), kTransportKey.end(), trailer.begin() + 10);
}

unsigned ReaderModel::DirectoryEntry(unsigned sector) const
{
    // The directory lives in blocks 1 and 2: two bytes per sector at offset
    // 2 x sector of those 32 bytes (high byte first).
    const unsigned offset = 2 * sector;
    auto byte = [this](unsigned at) { return blocks_[1 + at / 16][at % 16]; };
    return static_cast<unsigned>(byte(offset)) << 8 | byte(offset + 1);
}

std::uint8_t ReaderModel::CardReady() const
{
    if (!cardPresent_)
        return kNoCard;
    if (!selected_)
        return kNotSelected;
    return kOk;
}

std::uint8_t ReaderModel::CardFileReady(unsigned file, unsigned sector) const
{
    if (auto s = CardReady(); s != kOk)
        return s;
    if (DirectoryEntry(sector) != file)
        return kNoSuchFile;
    if (!Authenticated(0, sector))
        return kAuthFailed;
    return kOk;
}

bool ReaderModel::Authenticated(unsigned selector, unsigned sector) const
{
    const Block &trailer = blocks_[sector * 4 + 3];
    const auto &key = readerKeys_[selector][sector];
    return std::equal(key.begin(), key.end(), trailer.begin() + (selector == 0 ? 0 : 10));
}

ReaderModel::Block ReaderModel::ReadVisible(unsigned block) const
{
    Block b = blocks_[block];
    if (IsTrailer(block))
        std::fill(b.begin(), b.begin() + 6, 0); // key A never reads back
    return b;
}

Answer ReaderModel::Handle(const Bytes &command)
{
    Answer answer = Dispatch(command);
    if (!command.empty() && command[0] != 0xE0)
        lastReply_ = answer.payload;
    return answer;
}

Answer ReaderModel::Dispatch(const Bytes &c)
{
    if (c.empty())
        return Reply(kBadParameter);
    const std::size_t n = c.size();
    switch (c[0]) {
    case 0x31: { // OpenCard
        if (n != 1)
            return Reply(kBadParameter);
        if (!cardPresent_)
            return Reply(kNoCard);
        selected_ = true;
        Answer a = Reply(kOk);
        for (int i = 0; i < 4; ++i)
            a.payload.push_back(blocks_[0][i]);
        return a;
    }
    case 0x38: // CloseCard
        selected_ = false;
        return Reply(kOk);
    case 0x35: // OpenReader
        return Reply(n == 8 ? kOk : kBadParameter);
    case 0x36: // CloseReader
        selected_ = false;
        return Reply(kOk);
    case 0x32: { // ReadBlock: selector, block
        if (n != 3 || c[1] > 1 || c[2] > 63)
            return Reply(kBadParameter);
        if (auto s = CardReady(); s != kOk)
            return Reply(s);
        if (!Authenticated(c[1], c[2] / 4))
            return Reply(kAuthFailed);
        Answer a = Reply(kOk);
        const Block b = ReadVisible(c[2]);
        a.payload.insert(a.payload.end(), b.begin(), b.end());
        return a;
    }
    case 0x33: { // WriteBlock: selector, block, 16 bytes
        if (n != 19 || c[1] > 1 || c[2] > 63 || c[2] == 0 || IsTrailer(c[2]))
            return Reply(kBadParameter);
        if (auto s = CardReady(); s != kOk)
            return Reply(s);
        if (!Authenticated(c[1], c[2] / 4))
            return Reply(kAuthFailed);
        std::copy(c.begin() + 3, c.end(), blocks_[c[2]].begin());
        return Reply(kOk);
    }
    case 0x3B: { // ReadCardFile: file high, file low, index (sector), first block, count
        if (n != 6)
            return Reply(kBadParameter);
        const unsigned file = static_cast<unsigned>(c[1]) << 8 | c[2];
        const unsigned sector = c[3], first = c[4], count = c[5];
        if (sector < 1 || sector > 15 || count < 1 || first + count > 4)
            return Reply(kBadParameter);
        if (auto s = CardFileReady(file, sector); s != kOk)
            return Reply(s);
        Answer a = Reply(kOk);
        for (unsigned i = 0; i < count; ++i) {
            const Block b = ReadVisible(sector * 4 + first + i);
            a.payload.insert(a.payload.end(), b.begin(), b.end());
        }
        return a;
    }
    case 0x39: { // WriteCardFile: file high, file low, index, first block, 0, length, bytes
        if (n < 7 || n != 7u + c[6])
            return Reply(kBadParameter);
        const unsigned file = static_cast<unsigned>(c[1]) << 8 | c[2];
        const unsigned sector = c[3], first = c[4], length = c[6];
        if (sector < 1 || sector > 15 || first > 2 || length > (3 - first) * 16)
            return Reply(kBadParameter);
        if (auto s = CardFileReady(file, sector); s != kOk)
            return Reply(s);
        for (unsigned i = 0; i < length; ++i)
            blocks_[sector * 4 + first + i / 16][i % 16] = c[7 + i];
        return Reply(kOk);
    }
    case 0x34: { // DownSecret: selector, sector, 6 key bytes
        if (n != 9 || c[1] > 1 || c[2] > 15)
            return Reply(kBadParameter);
        std::copy(c.begin() + 3, c.end(), readerKeys_[c[1]][c[2]].begin());
        return Reply(kOk);
    }
    case 0x37: // SelectSAMCatalog
        samSelected_ = true;
        return Reply(kOk);
    case 0x3A: { // WriteSecret: selector, sector, 16 trailer bytes
        if (n != 19 || c[1] > 1 || c[2] > 15)
            return Reply(kBadParameter);
        if (!samSelected_)
            return Reply(kNoSam);
        if (auto s = CardReady(); s != kOk)
            return Reply(s);
        if (!Authenticated(c[1], c[2]))
            return Reply(kAuthFailed);
        std::copy(c.begin() + 3, c.end(), blocks_[c[2] * 4 + 3].begin());
        return Reply(kOk);
    }
    case 0x3C: { // WriteMAC: length, first value (2), second value (2), bytes
        if (n < 6 || c[1] < 1 || c[1] > 7 || n != 6u + c[1])
            return Reply(kBadParameter);
        if (!samSelected_)
            return Reply(kNoSam);
        // The SAM's MAC: four bytes mixing the two values and the message.
        Bytes mac{c[2], c[3], c[4], c[5]};
        for (unsigned i = 0; i < c[1]; ++i) {
            mac[i % 4] ^= c[6 + i];
            mac[(i + 1) % 4] = static_cast<std::uint8_t>(mac[(i + 1) % 4] + mac[i % 4]);
        }
        lastMac_ = mac;
        Answer a = Reply(kOk);
        a.payload.insert(a.payload.end(), mac.begin(), mac.end());
        return a;
    }
    case 0x3D: { // SetMAD: cluster, application, sector -> directory entry
        if (n != 4 || c[1] < 1 || c[1] > 7 || c[2] < 1 || c[2] > 7 || c[3] < 1 || c[3] > 14)
            return Reply(kBadParameter);
        if (auto s = CardReady(); s != kOk)
            return Reply(s);
        if (!Authenticated(0, 0))
            return Reply(kAuthFailed);
        const unsigned offset = 2u * c[3];
        blocks_[1 + offset / 16][offset % 16] = c[1];
        blocks_[1 + (offset + 1) / 16][(offset + 1) % 16] = c[2];
        return Reply(kOk);
    }
    case 0x3E: { // RestoreCard: first sector, count, one fill byte per sector
        if (n < 3 || n != 3u + c[2] || c[1] < 1 || c[1] > 14 || c[2] < 1 || c[1] + c[2] > 15)
            return Reply(kBadParameter);
        if (auto s = CardReady(); s != kOk)
            return Reply(s);
        std::uint8_t restored = 0, last = 0;
        for (unsigned i = 0; i < c[2]; ++i) {
            const unsigned sector = c[1] + i;
            if (!Authenticated(0, sector))
                continue;
            BlankSector(sector, c[3 + i]);
            const unsigned offset = 2 * sector;
            blocks_[1 + offset / 16][offset % 16] = 0;
            blocks_[1 + (offset + 1) / 16][(offset + 1) % 16] = 0;
            ++restored;
            last = static_cast<std::uint8_t>(sector);
        }
        // Data: sectors restored, first sector, count, last sector restored.
        return Answer{{kOk, restored, c[1], c[2], last}, 0};
    }
    case 0x08:
        deepAllowed_ = true;
        return Reply(kOk);
    case 0x09:
        deepAllowed_ = false;
        return Reply(kOk);
    case 0x0A:
    case 0x0B:
        if (!deepAllowed_)
            return Reply(kDeepNotAllowed);
        return Answer{{kOk}, 50}; // the deep operations take the reader a while
    case 0xE0: // ReSend: the reader repeats its last answer
        if (lastReply_.empty())
            return Reply(kNothingToResend);
        return Answer{lastReply_, 0};
    default:
        return Reply(kUnknownCommand);
    }
}

} // namespace sampora_sim
