// The library's one application object: the card file system and the reader
// manager, the connection prompt loop and the end of a connection, and the
// progress notice a Java program drives. Created when the library loads;
// nothing touches a reader until the first check.
#pragma once

#include "kelvara/app/ReaderManager.h"
#include "kelvara/services/MessageBox.h"
#include "kelvara/storage/CardFileSystem.h"
#include "kelvara/ui/NoticeDialog.h"

#include <memory>

namespace kelvara {

class CardApp {
public:
    static CardApp &Instance();

    CardApp();
    // Drops the reader manager without the final read, then takes the
    // progress notice down.
    ~CardApp();
    CardApp(const CardApp &) = delete;
    CardApp &operator=(const CardApp &) = delete;

    bool HasReader() const { return reader_ != nullptr; }
    ReaderManager *Reader() { return reader_.get(); }
    // The card file system, bound to the reader manager while there is one.
    CardFileSystem &FileSystem() { return fileSystem_; }

    // Creates the reader manager when there is none and connects, asking the
    // user to insert the card or to retry until a card is ready or the user
    // cancels. The manager stays even when this fails.
    bool CheckReader();
    // ReaderManager::WaitForCard on the reader manager, created when there
    // is none; asks the user nothing.
    int WaitForCard(int timeoutMs);
    // Reads 16 bytes of the last page once, then closes every reader.
    void ReleaseReader();

    // The window the library's windows belong to. The library has no main
    // window of its own; it stands for the host application's, found by its
    // title (null when it is not open, and on Linux).
    WindowHandle MainWindow() const { return HostMainWindow(); }

    // The progress notice: created and shown over the main window by the
    // first ShowProgress, its text changed by later ones and by
    // SetProgressText, and deleted by HideProgress once its window is gone
    // (a notice whose window never came up stays). Texts are host text.
    void ShowProgress(const std::string &text);
    void SetProgressText(const std::string &text);
    void HideProgress();
    const NoticeDialog *ProgressNotice() const { return progress_.get(); }

    // Whether the card file system's in-memory index stands for the card:
    // set once the Java methods loaded, formatted or changed it, cleared
    // when a load or format failed, a C export replaced it or the reader was
    // released (the next card may be another one). Until it is set, the
    // Java methods that use the index load it first, so a program that
    // forgot ReadIcFileIndex does not format a card that holds files nor
    // read by another card's directory, and WriteIcFileIndex writes nothing.
    bool IndexInMemory() const { return indexInMemory_; }
    void SetIndexInMemory(bool current) { indexInMemory_ = current; }

private:
    // The reader manager, created when there is none; null when memory ran out.
    ReaderManager *EnsureReader();

    CardFileSystem fileSystem_;
    std::unique_ptr<ReaderManager> reader_;
    std::unique_ptr<NoticeDialog> progress_;
    bool indexInMemory_ = false;
};

} // namespace kelvara
