// The work of the file-system exports. The export layer runs each inside
// its frame (module state, reader check, BindReader) and maps texts to the
// caller's buffers; these functions do everything after that.
#pragma once

#include "kelvara/storage/CardFileSystem.h"

#include <string>
#include <string_view>

namespace kelvara::fs_calls {

int Format(CardFileSystem &fs); // 0 / -1
int WriteIcFiles(CardFileSystem &fs, std::string_view cardDirectory, const std::string &localFiles); // 0 / -1
int ReadIcFiles(CardFileSystem &fs, const std::string &localDirectory, std::string_view cardPattern,
                std::string &readNames); // 0 / -1
int DelIcFiles(CardFileSystem &fs, std::string_view cardPattern); // 0 / -1
// -1 also for an unformatted card, a missing `from`, an existing `to` or a
// path no file can take; both paths are lower-cased as every card path is.
int RenameIcFile(CardFileSystem &fs, std::string_view from, std::string_view to); // 0 / -1
int DirIcFiles(CardFileSystem &fs, const std::string &outputPath); // 1 / 0 / -1
int FileTime(CardFileSystem &fs, std::string_view name, std::string &time); // 0 / -1
int IsFormat(CardFileSystem &fs); // 0 / -1
int Test(CardFileSystem &fs, MessageBoxService &box); // 0 / -1
int GetBitTable(CardFileSystem &fs, const std::string &outputPath); // 1 / 0

} // namespace kelvara::fs_calls
