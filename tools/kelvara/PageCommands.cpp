// Raw pages: reading and writing one page, and whole-card images.
#include "kelvara.h"
#include "kelvara/card/CardLayout.h"
#include "kelvara/card/PageCrc.h"
#include "tools/cardcheck/CardCheck.h"
#include "tools/kelvara/CardAccess.h"
#include "tools/kelvara/Tool.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace kelvara::tool {
namespace {

constexpr const char *kGroup = "Raw pages and card images";
constexpr std::size_t kImageBytes = static_cast<std::size_t>(card::kPageCount) * card::kPageSize;

bool ParseHex(const std::string &text, std::vector<unsigned char> &out)
{
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits.push_back(c);
        else if (c != ' ' && c != ':' && c != '\n')
            return false;
    }
    if (digits.size() % 2 != 0)
        return false;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return true;
}

void HexDump(const unsigned char *bytes, int length, int offset)
{
    for (int i = 0; i < length; i += 16) {
        std::printf("%03d:", offset + i);
        for (int j = i; j < i + 16 && j < length; ++j)
            std::printf(" %02X", bytes[j]);
        std::printf("\n");
    }
}

struct ReadArgs {
    int page = 0, offset = 0, length = card::kPageSize;
    bool crc = false;
};

int ReadPage(Session &session, const ReadArgs &a)
{
    PageDevice *device = session.Pages();
    if (device == nullptr)
        return kFailed;
    unsigned char buffer[card::kPageSize] = {};
    if (!session.Offline()) {
        // The export itself checks the checksum when asked (and says so).
        if (TS_ReadBlock(a.page, a.offset, a.length, buffer, a.crc ? 1 : 0) != 0) {
            std::fprintf(stderr, "kelvara: read-page: page %d could not be read from the %s\n", a.page,
                         DescribeReader().c_str());
            return kFailed;
        }
    } else {
        if (!device->ReadBlock(a.page, a.offset, a.length, buffer)) {
            std::fprintf(stderr, "kelvara: read-page: page %d could not be read from %s\n", a.page,
                         session.options().image.c_str());
            return kFailed;
        }
        if (a.crc && PageCrc().ComputeCrc(buffer, card::kCheckedBytes) != card::Get32(buffer + card::kCrcOffset))
            std::fprintf(stderr, "kelvara: page %d: the checksum does not match\n", a.page);
    }
    HexDump(buffer, a.length, a.offset);
    return kOk;
}

struct WriteArgs {
    int page = 0, offset = 0;
    std::vector<unsigned char> data;
    bool crc = false;
};

int WritePage(Session &session, WriteArgs a)
{
    PageDevice *device = session.Pages();
    if (device == nullptr)
        return kFailed;
    unsigned char buffer[card::kPageSize] = {};
    std::memcpy(buffer, a.data.data(), a.data.size());
    const int length = a.crc ? card::kPageSize : static_cast<int>(a.data.size());
    if (a.crc)
        card::Put32(buffer + card::kCrcOffset, PageCrc().ComputeCrc(buffer, card::kCheckedBytes));
    if (device->WriteBlock(a.page, a.offset, length, buffer))
        return kOk;
    std::fprintf(stderr, "kelvara: write-page: page %d could not be written on %s\n", a.page,
                 session.Offline() ? session.options().image.c_str() : ("the " + DescribeReader()).c_str());
    return kFailed;
}

// The whole card into a plain image file, page 0 first. Unreadable pages are
// zeros in it (so fsck marks them), are listed, and make the command fail:
// the image is then not a faithful copy.
int Dump(Session &session, const std::string &path, bool force)
{
    std::error_code ec;
    if (!force && std::filesystem::exists(path, ec)) {
        std::fprintf(stderr, "kelvara: %s exists (--force overwrites it)\n", path.c_str());
        return kNotWritten;
    }
    PageDevice *device = session.Pages();
    if (device == nullptr)
        return kFailed;
    check::DevicePages pages(*device);
    std::vector<int> unreadable;
    const std::vector<std::uint8_t> image = ReadWholeCard(session, pages, unreadable);
    if (!WriteWholeFile(path, std::string(image.begin(), image.end()))) {
        std::fprintf(stderr, "kelvara: cannot write %s\n", path.c_str());
        return kNotWritten;
    }
    if (!unreadable.empty()) {
        std::fprintf(stderr, "kelvara: %zu page(s) could not be read and are zeros in the image:", unreadable.size());
        for (int page : unreadable)
            std::fprintf(stderr, " %d", page);
        std::fprintf(stderr, "\n");
        return kFailed;
    }
    session.Log(1, "2048 pages written to " + path);
    return kOk;
}

// An image back onto the card: every page written, read back and compared.
int Restore(Session &session, const std::string &path)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) {
        std::fprintf(stderr, "kelvara: cannot read %s\n", path.c_str());
        return kFailed;
    }
    if (size != kImageBytes) {
        std::fprintf(stderr, "kelvara: %s is %llu bytes; a card image is %zu bytes (2048 pages of 264): refused\n",
                     path.c_str(), static_cast<unsigned long long>(size), kImageBytes);
        return kFailed;
    }
    const std::string bytes = ReadWholeFile(path);
    if (bytes.size() != kImageBytes) {
        std::fprintf(stderr, "kelvara: cannot read %s\n", path.c_str());
        return kFailed;
    }
    PageDevice *device = session.Pages();
    if (device == nullptr)
        return kFailed;
    std::vector<int> failed;
    for (int page = 0; page < card::kPageCount; ++page) {
        const auto *want =
            reinterpret_cast<const std::uint8_t *>(bytes.data()) + static_cast<std::size_t>(page) * card::kPageSize;
        std::uint8_t back[card::kPageSize] = {};
        const bool ok = device->WriteBlock(page, 0, card::kPageSize, want) &&
            device->ReadBlock(page, 0, card::kPageSize, back) && std::memcmp(back, want, card::kPageSize) == 0;
        if (!ok) {
            failed.push_back(page);
            session.Log(1, "page " + std::to_string(page) + " did not take the image");
        }
        session.Progress("writing the card", page + 1, card::kPageCount);
    }
    if (!failed.empty()) {
        std::fprintf(stderr, "kelvara: %zu page(s) were not written or read back differently:", failed.size());
        for (int page : failed)
            std::fprintf(stderr, " %d", page);
        std::fprintf(stderr, "\n");
        return kFailed;
    }
    session.Log(1, "2048 pages written and verified");
    return kOk;
}

} // namespace

void AddPageCommands(CLI::App &app, Step &step)
{
    {
        auto a = std::make_shared<ReadArgs>();
        auto offset = std::make_shared<std::vector<int>>();
        CLI::App *read = app.add_subcommand("read-page", "print a page (0-2047, 264 bytes) in hex");
        read->group(kGroup);
        read->add_option("page", a->page, "page number")->required()->check(CLI::Range(0, card::kPageCount - 1));
        read->add_option("offset-length", *offset, "OFFSET LENGTH: a part of the page")->expected(0, 2);
        read->add_flag("--crc", a->crc, "check the page's checksum");
        read->callback([&step, a, offset] {
            if (offset->size() == 1)
                throw CLI::ValidationError("read-page", "give both OFFSET and LENGTH");
            if (offset->size() == 2) {
                a->offset = (*offset)[0];
                a->length = (*offset)[1];
            }
            if (a->length < 0 || a->length > card::kPageSize)
                throw CLI::ValidationError("read-page", "LENGTH is 0 to 264");
            if (a->offset < 0 || a->offset + a->length > card::kPageSize)
                throw CLI::ValidationError("read-page",
                                           "OFFSET " + std::to_string(a->offset) + " and LENGTH " +
                                               std::to_string(a->length) + " run past the page's 264 bytes");
            step = [a](Session &s) { return ReadPage(s, *a); };
        });
    }
    {
        auto a = std::make_shared<WriteArgs>();
        auto data = std::make_shared<std::string>();
        CLI::App *write = app.add_subcommand("write-page", "write bytes to a page");
        write->group(kGroup);
        write->add_option("page", a->page, "page number")->required()->check(CLI::Range(0, card::kPageCount - 1));
        write->add_option("data", *data, "hex bytes (blanks or colons allowed), or @FILE")->required();
        write->add_option("offset", a->offset, "where in the page to start");
        write->add_flag("--crc", a->crc, "seal the page with its checksum (writes all 264 bytes)");
        write->callback([&step, a, data] {
            a->data.clear();
            if (data->rfind("@", 0) == 0) {
                const std::string bytes = ReadWholeFile(data->substr(1));
                a->data.assign(bytes.begin(), bytes.end());
            } else if (!ParseHex(*data, a->data)) {
                throw CLI::ValidationError("write-page", "DATA is hex bytes or @FILE");
            }
            if (a->data.size() > static_cast<std::size_t>(card::kPageSize))
                throw CLI::ValidationError("write-page", "DATA is at most 264 bytes");
            const std::size_t length = a->crc ? card::kPageSize : a->data.size();
            if (a->offset < 0 || a->offset + length > static_cast<std::size_t>(card::kPageSize))
                throw CLI::ValidationError("write-page",
                                           "OFFSET " + std::to_string(a->offset) + " and " + std::to_string(length) +
                                               " bytes run past the page's 264 bytes");
            step = [a](Session &s) { return WritePage(s, *a); };
        });
    }
    CLI::App *image = app.add_subcommand("image", "copy the whole card to an image file and back");
    image->group(kGroup);
    image->require_subcommand(1, 1);
    {
        auto path = std::make_shared<std::string>();
        auto force = std::make_shared<bool>(false);
        CLI::App *dump = image->add_subcommand("dump", "read all 2048 pages into a 540,672-byte image file");
        dump->add_option("file", *path, "image file to write")->required();
        dump->add_flag("--force", *force, "overwrite an existing file");
        dump->callback([&step, path, force] { step = [path, force](Session &s) { return Dump(s, *path, *force); }; });
    }
    {
        auto path = std::make_shared<std::string>();
        CLI::App *restore = image->add_subcommand(
            "restore", "write an image file back to all 2048 pages, reading each back to verify it");
        restore->add_option("file", *path, "image file of exactly 540,672 bytes")->required();
        restore->callback([&step, path] { step = [path](Session &s) { return Restore(s, *path); }; });
    }
}

} // namespace kelvara::tool
