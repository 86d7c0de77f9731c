// Frame building for commands.
#include "sampora/Frame.h"

namespace sampora {

std::vector<std::uint8_t> BuildFrame(const std::uint8_t *payload, std::size_t length)
{
    std::vector<std::uint8_t> frame;
    frame.reserve(length + 4);
    frame.push_back(kStartMark);
    frame.push_back(static_cast<std::uint8_t>(length));
    frame.insert(frame.end(), payload, payload + length);
    std::uint8_t check = 0;
    for (std::uint8_t b : frame)
        check ^= b;
    frame.push_back(check);
    frame.push_back(kEndMark);
    return frame;
}

} // namespace sampora
