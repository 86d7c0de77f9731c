// The library's prompts and notices are Chinese. The tool prints each one it
// knows with its meaning in the user's language beside it.
#pragma once

#include <string>
#include <string_view>

namespace kelvara::tool {

// `text` followed by " — " and its explanation, through the message
// catalogue. An unknown text, or one whose explanation the catalogue renders
// as the very same words (the Chinese catalogue does), comes back alone.
std::string Explained(std::string_view text);

} // namespace kelvara::tool
