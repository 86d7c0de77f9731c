// The library's one application object: the card file system and the reader
// manager, the connection prompt loop and the end of a connection. Created
// when the library loads; nothing touches a reader until the first check.
#pragma once

#include "kelvara/services/MessageBox.h"
#include "kelvara/frame/ReaderManager.h"
#include "kelvara/storage/CardFileSystem.h"

#include <memory>

namespace kelvara {

class CardApp {
public:
    static CardApp &Instance();

    CardApp();
    ~CardApp(); // drops the reader manager without the final read
    CardApp(const CardApp &) = delete;
    CardApp &operator=(const CardApp &) = delete;

    bool HasReader() const { return reader_ != nullptr; }
    ReaderManager *Reader() { return reader_.get(); }
    CardFileSystem &FileSystem() { return fileSystem_; }

    // Creates the reader manager when there is none and connects, asking the
    // user to insert the card or to retry until a card is ready or the user
    // cancels. The manager stays even when this fails.
    bool CheckReader();
    // Reads 16 bytes of the last page once, then closes every reader.
    void ReleaseReader();

private:
    CardFileSystem fileSystem_;
    std::unique_ptr<ReaderManager> reader_;
};

} // namespace kelvara
