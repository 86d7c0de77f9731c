// One log line appended with a single write to a file opened O_APPEND, so
// lines of several processes never mix.
#include "sim/vendor/VendorSimSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace wqn::sim::vendor {

void AppendLine(const std::string &path, const std::string &line)
{
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return;
    const std::string text = line + "\n";
    ssize_t n = 0;
    do {
        n = ::write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    ::close(fd);
}

} // namespace wqn::sim::vendor
