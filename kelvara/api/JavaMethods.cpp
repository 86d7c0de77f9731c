// The Java native methods over CardApp and its card file system.
#include "kelvara/api/JavaMethods.h"

#include "kelvara/app/CardApp.h"
#include "kelvara/app/ProcessCheck.h"
#include "kelvara/services/CodePageText.h"
#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"
#include "kelvara/ui/ReaderSettingsDialog.h"

namespace kelvara::java_methods {
namespace {

// The application's card file system, or null when there is no reader
// manager (the Java methods never connect by themselves).
CardFileSystem *BoundFileSystem()
{
    CardApp &app = CardApp::Instance();
    return app.HasReader() ? &app.FileSystem() : nullptr;
}

// Before a method uses the in-memory index: it must stand for the card in
// the reader, or a card never loaded in this process would count as
// unformatted and be formatted - wiping every file on it - and a previous
// card's directory would answer for this one. Loads it when nothing was
// loaded, formatted or changed for this card yet; false when that load fails.
bool IndexReady(CardFileSystem &fs)
{
    CardApp &app = CardApp::Instance();
    if (app.IndexInMemory())
        return true;
    const bool loaded = fs.LoadIndex();
    app.SetIndexInMemory(loaded);
    return loaded;
}

bool FormatKeepingTrack(CardFileSystem &fs)
{
    const bool formatted = fs.FormatCard();
    CardApp::Instance().SetIndexInMemory(formatted);
    return formatted;
}

// The format a change makes by itself: a damaged card that still holds its
// directory is refused (and memory no longer stands for it).
bool FormatBlankKeepingTrack(CardFileSystem &fs)
{
    const bool formatted = fs.FormatIfBlank();
    CardApp::Instance().SetIndexInMemory(formatted);
    return formatted;
}

} // namespace

bool CheckKelvara() { return CardApp::Instance().CheckReader(); }

void ReleaseKelvara() { CardApp::Instance().ReleaseReader(); }

bool ReadIcFileIndex()
{
    CardFileSystem *fs = BoundFileSystem();
    if (fs == nullptr)
        return false;
    const bool loaded = fs->LoadIndex();
    CardApp::Instance().SetIndexInMemory(loaded);
    return loaded;
}

bool WriteIcFileIndex()
{
    CardFileSystem *fs = BoundFileSystem();
    if (fs == nullptr)
        return false;
    // What memory holds is written only when it stands for the card in the
    // reader: an index never loaded in this process, left by a failed load
    // or loaded from the card before the last release would replace this
    // card's directory. An unformatted card has no index to save.
    if (!CardApp::Instance().IndexInMemory() || !fs->IsFormatted())
        return false;
    return fs->SaveIndex();
}

std::string ReadIC(const std::string &cardFiles, const std::string &localDirectory)
{
    CardFileSystem *fs = BoundFileSystem();
    if (fs == nullptr)
        return {};
    fs->ClearReadNames();
    // Another card's index would name pages of this one under its files.
    if (!IndexReady(*fs) || !fs->IsFormatted())
        return {};
    if (!fs->ReadFiles(localDirectory, LowerText(cardFiles)))
        return {};
    return fs->ReadNames();
}

bool WriteIC(const std::string &localFiles, const std::string &cardDirectory)
{
    CardFileSystem *fs = BoundFileSystem();
    if (fs == nullptr || !IndexReady(*fs))
        return false;
    if (!fs->IsFormatted() && !FormatBlankKeepingTrack(*fs))
        return false;
    // As for TS_WriteIcFiles: the local file is opened under the case given
    // (a Linux file system cares); the card path is lower-cased.
    return fs->WriteFiles(LowerText(cardDirectory), localFiles);
}

bool ICFileDel(const std::string &cardFiles)
{
    CardFileSystem *fs = BoundFileSystem();
    if (fs == nullptr || !IndexReady(*fs))
        return false;
    // Nothing to delete on an unformatted card: it is formatted, unless it
    // is a damaged one whose files a repair can bring back.
    if (!fs->IsFormatted())
        return FormatBlankKeepingTrack(*fs);
    return fs->DeleteFiles(LowerText(cardFiles));
}

bool ICFormat()
{
    CardFileSystem *fs = BoundFileSystem();
    return fs != nullptr && FormatKeepingTrack(*fs);
}

std::string ICFileTime(const std::string &name)
{
    CardFileSystem *fs = BoundFileSystem();
    if (fs == nullptr || !IndexReady(*fs))
        return {};
    return fs->GetFileTime(name); // compared without regard to case
}

bool IsProcessExist(const std::string &name) { return IsProcessRunningTwice(name); }

void ShowPro(const std::string &text) { CardApp::Instance().ShowProgress(CodePageFromUtf8(text)); }

void SetText(const std::string &text) { CardApp::Instance().SetProgressText(CodePageFromUtf8(text)); }

void HidePro() { CardApp::Instance().HideProgress(); }

void SetPortSpeed() { RunReaderSettingsDialog(nullptr); }

} // namespace kelvara::java_methods
