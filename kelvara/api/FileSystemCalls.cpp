// The bodies of the file-system exports, run inside the export frame.
#include "kelvara/api/FileSystemCalls.h"

#include "kelvara/services/CodePageText.h"
#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameCase.h"

namespace kelvara::fs_calls {
namespace {

bool WriteTextFile(const std::string &path, const std::string &text)
{
    LocalFile file;
    return file.Create(path) && file.Write(text.data(), text.size());
}

} // namespace

int Format(CardFileSystem &fs) { return fs.FormatCard() ? 0 : -1; }

int WriteIcFiles(CardFileSystem &fs, std::string_view cardDirectory, const std::string &localFiles)
{
    if (!fs.LoadIndex())
        return -1;
    if (!fs.IsFormatted() && !fs.FormatIfBlank())
        return -1;
    // The local files keeps its case (the local file system may
    // care); the card side is lower-cased.
    if (!fs.WriteFiles(LowerText(cardDirectory), localFiles))
        return -1;
    return fs.SaveIndex() ? 0 : -1;
}

int ReadIcFiles(CardFileSystem &fs, const std::string &localDirectory, std::string_view cardPattern,
                std::string &readNames)
{
    readNames.clear();
    fs.ClearReadNames();
    if (!fs.LoadIndex() || !fs.IsFormatted())
        return -1;
    if (!fs.ReadFiles(localDirectory, LowerText(cardPattern)))
        return -1;
    readNames = fs.ReadNames();
    return 0;
}

int DelIcFiles(CardFileSystem &fs, std::string_view cardPattern)
{
    if (!fs.LoadIndex())
        return -1;
    if (!fs.IsFormatted())
        return 0;
    if (!fs.DeleteFiles(LowerText(cardPattern)))
        return 0; // nothing matched: nothing is written
    return fs.SaveIndex() ? 0 : -1;
}

int RenameIcFile(CardFileSystem &fs, std::string_view from, std::string_view to)
{
    if (!fs.LoadIndex() || !fs.IsFormatted())
        return -1;
    return fs.RenameFile(LowerText(from), LowerText(to)) ? 0 : -1;
}

int DirIcFiles(CardFileSystem &fs, const std::string &outputPath)
{
    if (!fs.LoadIndex() || !fs.IsFormatted())
        return -1;
    return WriteTextFile(outputPath, fs.ListFiles()) ? 1 : 0;
}

int FileTime(CardFileSystem &fs, std::string_view name, std::string &time)
{
    time.clear();
    if (!fs.LoadIndex())
        return -1;
    time = fs.GetFileTime(name);
    return 0;
}

int IsFormat(CardFileSystem &fs)
{
    if (!fs.LoadIndex())
        return -1;
    return fs.IsFormatted() ? 0 : -1;
}

int Test(CardFileSystem &fs, MessageBoxService &box)
{
    if (!fs.LoadIndex() || !fs.IsFormatted())
        return -1;
    // The names are the card's text in the system code page; boxes take UTF-8.
    const std::string listing = Utf8FromCodePage(fs.ListFiles());
    box.Show(listing, listing, mb::kOk);
    return 0;
}

int GetBitTable(CardFileSystem &fs, const std::string &outputPath)
{
    if (!fs.ReadBitTablePage())
        return 0;
    fs.UnpackBitmap();
    return WriteTextFile(outputPath, fs.BitmapReport()) ? 1 : 0;
}

} // namespace kelvara::fs_calls
