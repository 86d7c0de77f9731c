// The exported C interface. Every export runs inside the export frame (one
// call at a time, no re-entry, no exception leaves it); null texts count as
// empty, and each result is the documented failure value when anything goes
// wrong.
#include "kelvara.h"

#include "kelvara/api/ExportFrame.h"
#include "kelvara/api/FileSystemCalls.h"
#include "kelvara/app/CardApp.h"
#include "kelvara/card/CardLayout.h"
#include "kelvara/card/PageCrc.h"
#include "kelvara/services/MessageBox.h"
#include "kelvara/services/PromptTexts.h"
#include "kelvara/ui/ReaderSettingsDialog.h"

#include <cstring>
#include <string>

using namespace kelvara;

namespace {

std::string Text(const char *text) { return text != nullptr ? std::string(text) : std::string(); }

void CopyOut(char *out, const std::string &text)
{
    if (out != nullptr)
        std::memcpy(out, text.c_str(), text.size() + 1);
}

// The frame of the file-system exports: connect when there is no reader
// manager yet, then work on the application's file system.
template <class Body>
int WithFileSystem(int noReader, Body body)
{
    CardApp &app = CardApp::Instance();
    if (!app.HasReader() && !app.CheckReader())
        return noReader;
    CardFileSystem &fs = app.FileSystem();
    // The export reloads (or replaces) the in-memory index, whatever the
    // Java methods held there.
    app.SetIndexInMemory(false);
    return body(fs);
}

// The read of TS_ReadIcFiles and KelvaraReadIcFilesBounded: the names of
// the files copied, separated by ",".
int ReadIcFiles(const char *localDirectory, const char *cardPattern, std::string &names)
{
    if (!CardApp::Instance().HasReader())
        return -1; // reading never connects by itself
    return WithFileSystem(-1, [&](CardFileSystem &fs) {
        return fs_calls::ReadIcFiles(fs, Text(localDirectory), Text(cardPattern), names);
    });
}

// The list is never longer than the card's index text, whose chain has at
// most one page of text for each allocatable page.
static_assert(KELVARA_READ_NAMES_MAX ==
              (card::kLastAllocatablePage - card::kFirstAllocatablePage + 1) * card::kIndexBytes);

} // namespace

extern "C" {

int KELVARA_CALL TS_CheckKelvara(void)
{
    return RunExport(-1, [] { return CardApp::Instance().CheckReader() ? 0 : -1; });
}

void KELVARA_CALL TS_ReleaseKelvara(void)
{
    RunExportVoid([] { CardApp::Instance().ReleaseReader(); });
}

int KELVARA_CALL TS_ReadBlock(int page, int offset, int length, unsigned char *buffer, unsigned char crc)
{
    return RunExport(-1, [&] {
        CardApp &app = CardApp::Instance();
        if (!app.HasReader() || !app.Reader()->ReadBlock(page, offset, length, buffer))
            return -1;
        if (crc != 0 && buffer != nullptr) {
            const std::uint32_t computed = PageCrc().ComputeCrc(buffer, card::kCheckedBytes);
            if (computed != card::Get32(buffer + card::kCrcOffset))
                SystemMessageBox().Show(prompt::kCrcError, kNoticeTitle, mb::kOk | mb::kIconInformation);
        }
        return 0;
    });
}

int KELVARA_CALL TS_WriteBlock(int page, int offset, int length, unsigned char *buffer, unsigned char crc)
{
    return RunExport(-1, [&] {
        CardApp &app = CardApp::Instance();
        if (!app.HasReader())
            return -1;
        if (crc != 0 && buffer != nullptr) {
            card::Put32(buffer + card::kCrcOffset, PageCrc().ComputeCrc(buffer, card::kCheckedBytes));
        }
        return app.Reader()->WriteBlock(page, offset, length, buffer) ? 0 : -1;
    });
}

int KELVARA_CALL TS_IcCardLock(void)
{
    return RunExport(0, [] {
        CardApp &app = CardApp::Instance();
        return app.HasReader() && app.Reader()->CardLock() ? 1 : 0;
    });
}

int KELVARA_CALL TS_IcCardExit(void)
{
    return RunExport(0, [] {
        CardApp &app = CardApp::Instance();
        return app.HasReader() && app.Reader()->CardExit() ? 1 : 0;
    });
}

void KELVARA_CALL TS_GetVersion(char *text)
{
    RunExportVoid([&] {
        CopyOut(text, "");
        CardApp &app = CardApp::Instance();
        if (app.HasReader())
            CopyOut(text, app.Reader()->GetVersion());
    });
}

void KELVARA_CALL TS_SetPortSpeed(int)
{
    RunExportVoid([] { RunReaderSettingsDialog(CardApp::Instance().MainWindow()); });
}

int KELVARA_CALL TS_FileTime(const char *name, char *time)
{
    return RunExport(-1, [&] {
        CopyOut(time, "");
        return WithFileSystem(-1, [&](CardFileSystem &fs) {
            std::string result;
            const int r = fs_calls::FileTime(fs, Text(name), result);
            CopyOut(time, result.substr(0, 12));
            return r;
        });
    });
}

int KELVARA_CALL TS_ReadIcFiles(const char *localDirectory, const char *cardPattern, char *readNames)
{
    return RunExport(-1, [&] {
        CopyOut(readNames, "");
        std::string names;
        const int r = ReadIcFiles(localDirectory, cardPattern, names);
        if (r == 0)
            CopyOut(readNames, names);
        return r;
    });
}

int KelvaraReadIcFilesBounded(const char *localDirectory, const char *cardPattern, char *out, int outSize, int *needed)
{
    return RunExport(-1, [&] {
        if (needed != nullptr)
            *needed = 0;
        if (out != nullptr && outSize > 0)
            out[0] = '\0';
        std::string names;
        if (ReadIcFiles(localDirectory, cardPattern, names) != 0)
            return -1;
        const std::size_t size = names.size() + 1;
        if (needed != nullptr)
            *needed = static_cast<int>(size);
        // Never a cut list: a name cut short would name another file.
        if (out == nullptr || outSize <= 0 || size > static_cast<std::size_t>(outSize))
            return -1;
        std::memcpy(out, names.c_str(), size);
        return 0;
    });
}

int KelvaraWaitForCard(int timeoutMs)
{
    return RunExport(-1, [&] {
        if (timeoutMs < 0)
            return -1;
        return CardApp::Instance().WaitForCard(timeoutMs);
    });
}

int KELVARA_CALL TS_WriteIcFiles(const char *cardDirectory, const char *localFiles)
{
    return RunExport(-1, [&] {
        return WithFileSystem(
            -1, [&](CardFileSystem &fs) { return fs_calls::WriteIcFiles(fs, Text(cardDirectory), Text(localFiles)); });
    });
}

int KELVARA_CALL TS_DelIcFiles(const char *cardPattern)
{
    return RunExport(-1, [&] {
        return WithFileSystem(-1, [&](CardFileSystem &fs) { return fs_calls::DelIcFiles(fs, Text(cardPattern)); });
    });
}

int KelvaraRenameIcFile(const char *from, const char *to)
{
    return RunExport(-1, [&] {
        return WithFileSystem(-1, [&](CardFileSystem &fs) { return fs_calls::RenameIcFile(fs, Text(from), Text(to)); });
    });
}

int KELVARA_CALL TS_IsFormat(void)
{
    return RunExport(-1, [] { return WithFileSystem(-1, [](CardFileSystem &fs) { return fs_calls::IsFormat(fs); }); });
}

int KELVARA_CALL TS_Format(void)
{
    return RunExport(-1, [] { return WithFileSystem(-1, [](CardFileSystem &fs) { return fs_calls::Format(fs); }); });
}

int KELVARA_CALL TS_DirIcFiles(const char *outputPath)
{
    return RunExport(-1, [&] {
        return WithFileSystem(-1, [&](CardFileSystem &fs) { return fs_calls::DirIcFiles(fs, Text(outputPath)); });
    });
}

int KELVARA_CALL TS_Test(void)
{
    return RunExport(-1, [] {
        return WithFileSystem(-1, [](CardFileSystem &fs) { return fs_calls::Test(fs, SystemMessageBox()); });
    });
}

int KELVARA_CALL TS_GetBitTable(const char *outputPath)
{
    return RunExport(0, [&] {
        return WithFileSystem(0, [&](CardFileSystem &fs) { return fs_calls::GetBitTable(fs, Text(outputPath)); });
    });
}

} // extern "C"
