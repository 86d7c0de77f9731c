// The command loop of a library host program: reads commands from stdin,
// runs them and writes the answers to stdout (Protocol.h). Each host
// program registers its commands; library callbacks report events through
// AwaitAnswer and may see further commands run inside them.
#pragma once

#include "tests/remote/Protocol.h"

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace wqn::host {

// Thrown by a command for a malformed call; answered with "error".
struct CommandError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Host {
public:
    // Runs a command: its arguments in, its results (after "ok") out.
    using Command = std::function<Tokens(const Tokens &args)>;

    void Add(const std::string &name, Command command) { commands_[name] = std::move(command); }

    // Serves commands until "quit" or the end of the input; the exit code.
    int Run();

    // Reports `event` (which must start with its kind, "box" or "notice")
    // and serves commands until the test answers; the answer.
    int AwaitAnswer(const Tokens &event);

    // Reports an event that needs no answer ("event" and `tokens`).
    void Event(const Tokens &tokens);

    // Runs one command line as the test would have sent it; the answer line
    // ("ok ..." or "error ...").
    Tokens Execute(const Tokens &command);

    // Argument helpers for commands.
    static long Number(const Tokens &args, std::size_t index);
    static const std::string &Text(const Tokens &args, std::size_t index);

private:
    bool ReadCommand(Tokens *tokens);
    void Write(const Tokens &tokens);

    std::map<std::string, Command> commands_;
    bool quit_ = false;
};

// A buffer of the caller, given in hex (or "null" for a null pointer), with
// guard bytes behind it that the library must leave alone.
class GuardedBuffer {
public:
    static constexpr std::size_t kGuardBytes = 32;
    static constexpr std::uint8_t kGuard = 0xA5;

    explicit GuardedBuffer(const std::string &hex);
    // Null for a null pointer.
    unsigned char *Data() { return null_ ? nullptr : bytes_.data(); }
    // The buffer after the call in hex ("null" for a null pointer); throws
    // when the library wrote into the guard bytes.
    std::string Checked() const;

private:
    bool null_ = false;
    std::vector<std::uint8_t> bytes_;
    std::size_t size_ = 0;
};

} // namespace wqn::host
