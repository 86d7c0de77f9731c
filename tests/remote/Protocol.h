// The line protocol between an end-to-end test and a library host program
// (kelvara-host, sampora-host), the process in which the library under test
// runs: natively, or as a Windows program under Wine.
//
// One line per message, tokens separated by single spaces. A token carries
// any bytes: bytes up to the space, '%' and bytes from 0x7F on are written
// as %XX; the empty token is a lone '%'. So texts in any code page, with
// spaces or line breaks, travel unchanged.
//
// The test sends a command (its name, then its arguments); the host runs it
// and answers "ok" followed by the results, or "error" and a reason. While a
// command runs, the host may report an event that needs an answer: "box
// <type> <caption> <text>" (a message box of the library), "notice <op>
// <text>" (the connection notice) or "progress <op> <text>" (the progress
// notice). For these the host then reads lines again: further commands,
// which it runs inside the handler (so the test can call back into the
// library from a handler, as a host application's window procedure would),
// until "answer <n>" ends the handler. Events that need no answer start with
// "event".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wqn::host {

using Tokens = std::vector<std::string>;

std::string Encode(std::string_view bytes);
// False when `token` is not a well-formed encoding.
bool Decode(std::string_view token, std::string *bytes);

// A line of encoded tokens, without the line end.
std::string JoinLine(const Tokens &tokens);
// The decoded tokens of a line (the line end already removed); false when
// one of them is malformed.
bool SplitLine(std::string_view line, Tokens *tokens);

// Bytes as hex ("" for none) and back; false for anything but pairs of hex
// digits.
std::string ToHex(const std::uint8_t *bytes, std::size_t count);
bool FromHex(std::string_view hex, std::vector<std::uint8_t> *bytes);

// The marker of a null pointer argument or result.
inline constexpr std::string_view kNull = "null";

} // namespace wqn::host
