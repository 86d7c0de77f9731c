// The remote Kelvara interface of the end-to-end tests.
#include "tests/remote/RemoteKelvara.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace kelvara::remote {
namespace {

using namespace wqn::host;

Tokens Call(const Tokens &command) { return CallLibrary(LibraryProcess::Current(), command); }

int Number(const Tokens &tokens, std::size_t index, int failure)
{
    return index < tokens.size() ? std::atoi(tokens[index].c_str()) : failure;
}

std::string Text(const char *text) { return text != nullptr ? text : ""; }

// A local path argument as the host program names it.
std::string Path(const char *path) { return runner::HostPath(Text(path)); }

void CopyText(char *out, const Tokens &tokens, std::size_t index)
{
    if (out != nullptr && index < tokens.size())
        std::memcpy(out, tokens[index].c_str(), tokens[index].size() + 1);
}

int Block(const char *name, int page, int offset, int length, unsigned char *buffer, unsigned char crc)
{
    const std::size_t size = crc != 0 || length < 0 || length > 264 ? 264 : std::size_t(std::max(length, 1));
    const std::string before = buffer != nullptr ? ToHex(buffer, size) : std::string();
    const Tokens r =
        Call({name, std::to_string(page), std::to_string(offset), std::to_string(length), std::to_string(crc), before});
    std::vector<std::uint8_t> after;
    if (r.size() == 2 && buffer != nullptr && FromHex(r[1], &after) && after.size() == size)
        std::copy(after.begin(), after.end(), buffer);
    return Number(r, 0, -1);
}

// Runs `body` against the current library process, or a short-lived one.
template <class Body>
auto WithProcess(Body body)
{
    if (LibraryProcess::Current() != nullptr)
        return body();
    LibraryProcess temporary;
    auto result = body();
    temporary.Finish();
    return result;
}

std::optional<std::string> Dumped(const std::string &name, std::size_t field)
{
    const Tokens dump = WithProcess([] { return Call({"settings-dump"}); });
    for (std::size_t i = 0; i + 2 < dump.size(); i += 3) {
        if (dump[i] == name)
            return dump[i + field];
    }
    return std::nullopt;
}

} // namespace

LibraryProcess::LibraryProcess(const std::string &program, const std::string &directory)
    : HostedLibrary(program.empty() ? KELVARA_HOST_PATH : program,
                    program.empty() ? "tests/remote/kelvara-host.exe" : program, "kelvara", directory)
{
    Host().SetEventHandler([this](const Tokens &event) { return OnEvent(event); });
    // Nobody sits at the screen under Wine: boxes are answered as the Linux
    // build's default does, unless the test installs its own handler.
    if (Started() && runner::UnderWine())
        Host().Call({"handlers", "auto", "none"});
}

LibraryProcess *LibraryProcess::Current() { return dynamic_cast<LibraryProcess *>(HostedLibrary::Newest()); }

void LibraryProcess::SetBoxHandler(BoxHandler box, void *context)
{
    box_ = box;
    boxContext_ = box != nullptr ? context : nullptr;
    SendHandlers();
}

void LibraryProcess::SetNoticeHandler(NoticeHandler notice, void *context)
{
    notice_ = notice;
    noticeContext_ = notice != nullptr ? context : nullptr;
    SendHandlers();
}

void LibraryProcess::SetProgressHandler(NoticeHandler progress, void *context)
{
    progress_ = progress;
    progressContext_ = progress != nullptr ? context : nullptr;
    SendHandlers();
}

void LibraryProcess::SetPagesHandler(PagesHandler pages, void *context)
{
    pages_ = pages;
    pagesContext_ = pages != nullptr ? context : nullptr;
    SendHandlers();
}

void LibraryProcess::SendHandlers()
{
    const std::string quiet = runner::UnderWine() ? "auto" : "none";
    Host().Call({"handlers", box_ != nullptr ? "forward" : quiet, notice_ != nullptr ? "forward" : "none",
                 progress_ != nullptr ? "forward" : "none", pages_ != nullptr ? "forward" : "none"});
}

int LibraryProcess::OnEvent(const Tokens &event)
{
    if (event[0] == "box" && event.size() == 4) {
        const unsigned type = unsigned(std::strtoul(event[1].c_str(), nullptr, 0));
        if (box_ != nullptr)
            return box_(boxContext_, event[3].c_str(), event[2].c_str(), type);
        return (type & 0xF) == 0 ? 1 : 2;
    }
    if (event[0] == "notice" && event.size() == 3) {
        if (notice_ != nullptr)
            notice_(noticeContext_, std::atoi(event[1].c_str()), event[2].c_str());
        return 0;
    }
    if (event[0] == "progress" && event.size() == 3) {
        if (progress_ != nullptr)
            progress_(progressContext_, std::atoi(event[1].c_str()), event[2].c_str());
        return 0;
    }
    if (event[0] == "pages" && event.size() == 3) {
        if (pages_ != nullptr)
            pages_(pagesContext_, std::atoi(event[1].c_str()), std::atoi(event[2].c_str()));
        return 0;
    }
    ADD_FAILURE() << "unexpected event from the library host: " << JoinLine(event);
    return 0;
}

void ClearSettings()
{
    WithProcess([] { return Call({"settings-clear"}); });
}

void StoreSetting(const std::string &name, int value)
{
    WithProcess([&] { return Call({"settings-int", name, std::to_string(value)}); });
}

void StoreSettingText(const std::string &name, const std::string &value)
{
    WithProcess([&] { return Call({"settings-text", name, value}); });
}

std::optional<std::string> StoredSetting(const std::string &name) { return Dumped(name, 2); }
std::optional<std::string> StoredSettingType(const std::string &name) { return Dumped(name, 1); }

int TS_CheckKelvara() { return Number(Call({"CheckKelvara"}), 0, -1); }
void TS_ReleaseKelvara() { Call({"ReleaseKelvara"}); }

int TS_ReadBlock(int page, int offset, int length, unsigned char *buffer, unsigned char crc)
{
    return Block("ReadBlock", page, offset, length, buffer, crc);
}

int TS_WriteBlock(int page, int offset, int length, unsigned char *buffer, unsigned char crc)
{
    return Block("WriteBlock", page, offset, length, buffer, crc);
}

int TS_IcCardLock() { return Number(Call({"IcCardLock"}), 0, 0); }
int TS_IcCardExit() { return Number(Call({"IcCardExit"}), 0, 0); }

void TS_GetVersion(char *text)
{
    const Tokens r = Call({"GetVersion", Text(text)});
    CopyText(text, r, 0);
}

void TS_SetPortSpeed(int unused) { Call({"SetPortSpeed", std::to_string(unused)}); }

int TS_FileTime(const char *name, char *time)
{
    const Tokens r = Call({"FileTime", Text(name), Text(time)});
    CopyText(time, r, 1);
    return Number(r, 0, -1);
}

int TS_ReadIcFiles(const char *localDirectory, const char *cardPattern, char *readNames)
{
    const Tokens r = Call({"ReadIcFiles", Path(localDirectory), Text(cardPattern), Text(readNames)});
    CopyText(readNames, r, 1);
    return Number(r, 0, -1);
}

int KelvaraReadIcFilesBounded(const char *localDirectory, const char *cardPattern, char *out, int outSize, int *needed)
{
    const Tokens r =
        Call({"ReadIcFilesBounded", Path(localDirectory), Text(cardPattern), std::to_string(std::max(outSize, 0))});
    if (out != nullptr && outSize > 0 && r.size() > 1) {
        const std::size_t n = std::min(r[1].size(), std::size_t(outSize) - 1);
        std::memcpy(out, r[1].data(), n);
        out[n] = '\0';
    }
    if (needed != nullptr)
        *needed = Number(r, 2, 0);
    return Number(r, 0, -1);
}

int KelvaraWaitForCard(int timeoutMs) { return Number(Call({"WaitForCard", std::to_string(timeoutMs)}), 0, -1); }

int KelvaraRenameIcFile(const char *from, const char *to)
{
    return Number(Call({"RenameIcFile", Text(from), Text(to)}), 0, -1);
}

int TS_WriteIcFiles(const char *cardDirectory, const char *localFiles)
{
    return Number(Call({"WriteIcFiles", Text(cardDirectory), Path(localFiles)}), 0, -1);
}

int TS_DelIcFiles(const char *cardPattern) { return Number(Call({"DelIcFiles", Text(cardPattern)}), 0, -1); }
int TS_IsFormat() { return Number(Call({"IsFormat"}), 0, -1); }
int TS_Format() { return Number(Call({"Format"}), 0, -1); }
int TS_DirIcFiles(const char *outputPath) { return Number(Call({"DirIcFiles", Path(outputPath)}), 0, -1); }
int TS_Test() { return Number(Call({"Test"}), 0, -1); }
int TS_GetBitTable(const char *outputPath) { return Number(Call({"GetBitTable", Path(outputPath)}), 0, 0); }

void KelvaraSetMessageBoxHandler(int (*handler)(void *ctx, const char *text, const char *caption, unsigned int type),
                                 void *ctx)
{
    if (LibraryProcess *process = LibraryProcess::Current())
        process->SetBoxHandler(handler, ctx);
}

void KelvaraSetNoticeHandler(void (*handler)(void *ctx, int op, const char *text), void *ctx)
{
    if (LibraryProcess *process = LibraryProcess::Current())
        process->SetNoticeHandler(handler, ctx);
}

void KelvaraSetProgressNoticeHandler(void (*handler)(void *ctx, int op, const char *text), void *ctx)
{
    if (LibraryProcess *process = LibraryProcess::Current())
        process->SetProgressHandler(handler, ctx);
}

void KelvaraSetProgressHandler(void (*handler)(void *ctx, int done, int total), void *ctx)
{
    if (LibraryProcess *process = LibraryProcess::Current())
        process->SetPagesHandler(handler, ctx);
}

} // namespace kelvara::remote
