// The host programs' command loop.
#include "tests/remote/Host.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace wqn::host {

bool Host::ReadCommand(Tokens *tokens)
{
    std::string line;
    for (;;) {
        if (!std::getline(std::cin, line))
            return false;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (SplitLine(line, tokens))
            return true;
        Write({"error", "malformed line"});
    }
}

void Host::Write(const Tokens &tokens)
{
    const std::string line = JoinLine(tokens) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

long Host::Number(const Tokens &args, std::size_t index)
{
    if (index >= args.size())
        throw CommandError("missing argument " + std::to_string(index + 1));
    char *end = nullptr;
    const long value = std::strtol(args[index].c_str(), &end, 0);
    if (args[index].empty() || *end != '\0')
        throw CommandError("not a number: " + args[index]);
    return value;
}

const std::string &Host::Text(const Tokens &args, std::size_t index)
{
    if (index >= args.size())
        throw CommandError("missing argument " + std::to_string(index + 1));
    return args[index];
}

Tokens Host::Execute(const Tokens &command)
{
    if (command.empty())
        return {"error", "empty command"};
    if (command[0] == "quit") {
        quit_ = true;
        return {"ok"};
    }
    const auto it = commands_.find(command[0]);
    if (it == commands_.end())
        return {"error", "unknown command " + command[0]};
    try {
        Tokens answer = it->second(Tokens(command.begin() + 1, command.end()));
        answer.insert(answer.begin(), "ok");
        return answer;
    } catch (const std::exception &e) {
        return {"error", e.what()};
    }
}

int Host::Run()
{
    Tokens command;
    while (!quit_ && ReadCommand(&command))
        Write(Execute(command));
    return 0;
}

int Host::AwaitAnswer(const Tokens &event)
{
    Write(event);
    Tokens command;
    while (ReadCommand(&command)) {
        if (command[0] == "answer" && command.size() == 2)
            return static_cast<int>(std::strtol(command[1].c_str(), nullptr, 0));
        Write(Execute(command));
    }
    // The test is gone: nobody will answer; end the process.
    std::exit(3);
}

void Host::Event(const Tokens &tokens)
{
    Tokens line = tokens;
    line.insert(line.begin(), "event");
    Write(line);
}

GuardedBuffer::GuardedBuffer(const std::string &hex)
{
    if (hex == kNull) {
        null_ = true;
        return;
    }
    if (!FromHex(hex, &bytes_))
        throw CommandError("not hex: " + hex);
    size_ = bytes_.size();
    bytes_.resize(size_ + kGuardBytes, kGuard);
}

std::string GuardedBuffer::Checked() const
{
    if (null_)
        return std::string(kNull);
    for (std::size_t i = size_; i < bytes_.size(); ++i) {
        if (bytes_[i] != kGuard)
            throw CommandError("the library wrote past the end of the caller's buffer");
    }
    return ToHex(bytes_.data(), size_);
}

} // namespace wqn::host
