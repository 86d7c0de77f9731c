// Kelvara's C interface for end-to-end tests, run in a library process of its
// own: each function here sends the call to the newest live LibraryProcess (a
// kelvara-host program, natively or under Wine) and hands back its results,
// and handlers installed here are called for the library's message boxes and
// notices there. The signatures are those of kelvara.h, so one scenario
// drives the library the same way on Linux and on Windows.
//
// The buffer of TS_ReadBlock and TS_WriteBlock must hold 264 bytes when the
// CRC flag is set or the length lies outside 0-264, and the length (at
// least 1) otherwise; text buffers hold what the library writes, as for the
// real interface. Local paths are translated for the host (runner::HostPath).
#pragma once

#include "tests/remote/HostSession.h"

#include <map>
#include <optional>
#include <string>

namespace kelvara::remote {

using wqn::host::Tokens;

using wqn::host::HostEnvironment;
using wqn::host::MapPort;
using wqn::host::ResetHostEnvironment;
using wqn::host::SetHostEnvironment;

// One process in which the library runs, from construction to Finish.
class LibraryProcess final : public wqn::host::HostedLibrary {
public:
    // `program`: the host program (default: kelvara-host of this build, or
    // under Wine kelvara-host.exe on Kelvara.dll), started in `directory`
    // (default: the current one).
    explicit LibraryProcess(const std::string &program = {}, const std::string &directory = {});

    // "event" lines of the host (posted messages' results, ...).
    const std::vector<Tokens> &Events() { return Host().Events(); }

    using BoxHandler = int (*)(void *ctx, const char *text, const char *caption, unsigned int type);
    using NoticeHandler = void (*)(void *ctx, int op, const char *text);
    // Installs (or with null removes) the test's handler of the library's
    // message boxes, connection notice or progress notice in this process.
    void SetBoxHandler(BoxHandler box, void *context);
    void SetNoticeHandler(NoticeHandler notice, void *context);
    void SetProgressHandler(NoticeHandler progress, void *context);
    using PagesHandler = void (*)(void *ctx, int done, int total);
    // The same for the page counts of the running export.
    void SetPagesHandler(PagesHandler pages, void *context);

    // The newest library process not yet finished, or null.
    static LibraryProcess *Current();

private:
    int OnEvent(const Tokens &event);
    void SendHandlers();

    BoxHandler box_ = nullptr;
    void *boxContext_ = nullptr;
    NoticeHandler notice_ = nullptr;
    void *noticeContext_ = nullptr;
    NoticeHandler progress_ = nullptr;
    void *progressContext_ = nullptr;
    PagesHandler pages_ = nullptr;
    void *pagesContext_ = nullptr;
};

// The settings as the OS keeps them (registry or settings file), read and
// written past the library through the current library process, or through
// a short-lived one when none runs.
void ClearSettings();
void StoreSetting(const std::string &name, int value);
void StoreSettingText(const std::string &name, const std::string &value);
std::optional<std::string> StoredSetting(const std::string &name);
// "dword" or "sz" under Windows, "ini" on Linux.
std::optional<std::string> StoredSettingType(const std::string &name);

// kelvara.h, remotely.
int TS_CheckKelvara();
void TS_ReleaseKelvara();
int TS_ReadBlock(int page, int offset, int length, unsigned char *buffer, unsigned char crc);
int TS_WriteBlock(int page, int offset, int length, unsigned char *buffer, unsigned char crc);
int TS_IcCardLock();
int TS_IcCardExit();
void TS_GetVersion(char *text);
void TS_SetPortSpeed(int unused);
int TS_FileTime(const char *name, char *time);
int TS_ReadIcFiles(const char *localDirectory, const char *cardPattern, char *readNames);
int KelvaraReadIcFilesBounded(const char *localDirectory, const char *cardPattern, char *out, int outSize, int *needed);
int KelvaraWaitForCard(int timeoutMs);
int KelvaraRenameIcFile(const char *from, const char *to);
int TS_WriteIcFiles(const char *cardDirectory, const char *localFiles);
int TS_DelIcFiles(const char *cardPattern);
int TS_IsFormat();
int TS_Format();
int TS_DirIcFiles(const char *outputPath);
int TS_Test();
int TS_GetBitTable(const char *outputPath);
void KelvaraSetMessageBoxHandler(int (*handler)(void *ctx, const char *text, const char *caption, unsigned int type),
                                 void *ctx);
void KelvaraSetNoticeHandler(void (*handler)(void *ctx, int op, const char *text), void *ctx);
void KelvaraSetProgressNoticeHandler(void (*handler)(void *ctx, int op, const char *text), void *ctx);
void KelvaraSetProgressHandler(void (*handler)(void *ctx, int done, int total), void *ctx);

} // namespace kelvara::remote
