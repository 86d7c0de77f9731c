// The parts of the dynamic-library service that do not depend on the OS.
#include "kelvara/services/DynamicLibrary.h"

#include "kelvara/services/LocalFiles.h"
#include "kelvara/services/NameText.h"

namespace kelvara {

DynamicLibrary &DynamicLibrary::operator=(DynamicLibrary &&other) noexcept
{
    if (this != &other) {
        Free();
        module_ = other.module_;
        other.module_ = nullptr;
    }
    return *this;
}

std::string DirectoryOf(std::string_view path)
{
    // A double-byte character's trail byte in the path is never a separator.
    const auto cut = name_text::FindLastOf(path, LocalPathSeparators());
    return cut == name_text::npos ? std::string() : std::string(path.substr(0, cut));
}

} // namespace kelvara
