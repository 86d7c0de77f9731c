// The processes of /proc: the file name of each one's executable (the link
// /proc/<pid>/exe), or its command name (/proc/<pid>/comm) where the link
// may not be read, as for other users' processes.
#include "kelvara/services/ProcessList.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <memory>
#include <string>

namespace kelvara {
namespace {

bool IsPid(const char *name)
{
    if (*name == '\0')
        return false;
    for (; *name != '\0'; ++name) {
        if (!std::isdigit(static_cast<unsigned char>(*name)))
            return false;
    }
    return true;
}

std::string ExeFileName(const std::string &dir)
{
    std::string target(4096, '\0');
    const ssize_t n = ::readlink((dir + "/exe").c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size())
        return {};
    target.resize(static_cast<std::size_t>(n));
    // An executable replaced while it runs (an update) still names the program.
    constexpr std::string_view kDeleted = " (deleted)";
    if (target.size() > kDeleted.size() && target.ends_with(kDeleted))
        target.resize(target.size() - kDeleted.size());
    const std::size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

std::string CommandName(const std::string &dir)
{
    std::ifstream in(dir + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

} // namespace

void ForEachProcessImage(const std::function<bool(std::string_view image)> &visit)
{
    std::unique_ptr<DIR, int (*)(DIR *)> proc(::opendir("/proc"), &::closedir);
    if (!proc)
        return;
    while (const dirent *entry = ::readdir(proc.get())) {
        if (!IsPid(entry->d_name))
            continue;
        const std::string dir = std::string("/proc/") + entry->d_name;
        std::string image = ExeFileName(dir);
        if (image.empty())
            image = CommandName(dir);
        if (image.empty())
            continue; // ended meanwhile
        if (!visit(image))
            return;
    }
}

} // namespace kelvara
