// The session the commands of one command line share.
#include "tools/kelvara/CardAccess.h"
#include "tools/kelvara/Tool.h"

#include "kelvara.h"
#include "kelvara/card/CardLayout.h"
#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/Progress.h"
#include "tools/cardcheck/CardCheck.h"
#include "tools/kelvara/ProgressBar.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kelvara::tool {

namespace {

void FileProgress(void *session, int done, int total)
{
    static_cast<const Session *>(session)->Progress("copying files", done, total, Session::kFileBytesPerPage);
}

} // namespace

Session::Session(Options options)
    : options_(std::move(options))
{
    // The library's file copies, and the same card file system linked into
    // the tool for card images.
    KelvaraSetProgressHandler(FileProgress, this);
    SetProgressHandler(FileProgress, this);
}

Session::~Session()
{
    KelvaraSetProgressHandler(nullptr, nullptr);
    SetProgressHandler(nullptr, nullptr);
}

CardAccess &Session::Card()
{
    if (!card_) {
        card_ = Offline() ? MakeImageCard(options_.image) : MakeLibraryCard();
        Log(1, Offline() ? "card image " + options_.image : "reader: " + DescribeReader());
    }
    return *card_;
}

PageDevice *Session::Pages()
{
    std::string why;
    if (!Card().Open(why)) {
        std::fprintf(stderr, "kelvara: %s\n", why.c_str());
        return nullptr;
    }
    return &Card().Pages();
}

void Session::Log(int level, const std::string &text) const
{
    if (options_.verbosity >= level)
        std::fprintf(stderr, "kelvara: %s\n", text.c_str());
}

void Session::Progress(const std::string &what, int done, int total, int bytesPerPage) const
{
    if (::isatty(2)) {
        using namespace std::chrono;
        const double now = duration<double>(steady_clock::now().time_since_epoch()).count();
        if (bar_ == nullptr || what != barWhat_ || bytesPerPage != barBytes_) {
            bar_ = std::make_unique<ProgressBar>(bytesPerPage);
            barWhat_ = what;
            barBytes_ = bytesPerPage;
        }
        if (const auto line = bar_->Update(what, done, total, now)) {
            std::fprintf(stderr, "\r\033[K%s%s", line->c_str(), bar_->Finished() ? "\n" : "");
            std::fflush(stderr);
        }
        return;
    }
    // Without a terminal, -v reports every 256 pages.
    if (options_.verbosity >= 1 && (done % 256 == 0 || done == total))
        std::fprintf(stderr, "kelvara: %s: %d of %d pages\n", what.c_str(), done, total);
}

void Session::PrintJson(const nlohmann::json &document) const
{
    // Card names need not be UTF-8; such bytes become U+FFFD rather than an error.
    std::printf("%s\n", document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

const char *ToolVersion() { return KELVARA_TOOL_VERSION; }

std::string ScratchPath(const std::string &what)
{
    return (std::filesystem::temp_directory_path() /
            ("kelvara-" + what + "-" + std::to_string(static_cast<long>(::getpid()))))
        .string();
}

std::string ReadWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> ReadWholeCard(Session &session, check::DevicePages &pages, std::vector<int> &unreadable)
{
    std::vector<std::uint8_t> image(static_cast<std::size_t>(card::kPageCount) * card::kPageSize, 0);
    for (int page = 0; page < card::kPageCount; ++page) {
        if (const std::uint8_t *bytes = pages.Page(page)) {
            std::copy_n(bytes, card::kPageSize, image.begin() + static_cast<long>(page) * card::kPageSize);
        } else {
            unreadable.push_back(page);
            session.Log(1, "page " + std::to_string(page) + " cannot be read");
        }
        session.Progress("reading the card", page + 1, card::kPageCount);
    }
    return image;
}

bool WriteWholeFile(const std::string &path, const std::string &bytes)
{
    const std::string partial = path + ".partial";
    std::error_code ec;
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::filesystem::remove(partial, ec);
            return false;
        }
    }
    std::filesystem::rename(partial, path, ec);
    if (ec) {
        std::filesystem::remove(partial, ec);
        return false;
    }
    return true;
}

std::string FileStamp()
{
    const std::string t = LocalTimeStamp(); // YYYYMMDDhhmmss
    return t.substr(0, 8) + "-" + t.substr(8);
}

} // namespace kelvara::tool
