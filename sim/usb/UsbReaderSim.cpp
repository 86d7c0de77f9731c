// The USB reader simulator: socket serving, the reader's command sets and
// its faults.
#include "sim/usb/UsbReaderSim.h"

#include "kelvara/readers/protocol/ReaderFrame.h"
#include "kelvara/readers/usb/UsbSocketWire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace wqn::sim {

using namespace kelvara;

namespace {

constexpr std::size_t kFrameSize = 12;
constexpr int kLegacyPiece = 57;

std::string Hex(const std::uint8_t *bytes, std::size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

const char *RequestName(std::uint32_t code)
{
    switch (code) {
    case usb_request::kSend:
        return "SEND";
    case usb_request::kSendLegacy:
        return "SEND_LEGACY";
    case usb_request::kReceive:
        return "RECEIVE";
    case usb_request::kReceiveLegacy:
        return "RECEIVE_LEGACY";
    case usb_request::kRecover:
        return "RECOVER";
    default:
        return "UNKNOWN";
    }
}

int Get16(const std::vector<std::uint8_t> &f, std::size_t at) { return f[at] | (f[at + 1] << 8); }

bool WriteAll(int fd, const std::uint8_t *bytes, std::size_t count)
{
    while (count > 0) {
        const ssize_t n = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        count -= std::size_t(n);
    }
    return true;
}

} // namespace

bool IsSendFault(UsbFault::Kind kind)
{
    return kind == UsbFault::Kind::SendFail || kind == UsbFault::Kind::Lose || kind == UsbFault::Kind::Corrupt;
}

bool ParseUsbFault(const std::string &text, UsbFault *fault)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');)
        parts.push_back(part);
    if (parts.empty() || parts.size() > 4)
        return false;
    static const std::map<std::string, UsbFault::Kind> kinds = {
        {"sendfail", UsbFault::Kind::SendFail}, {"recvfail", UsbFault::Kind::ReceiveFail},
        {"silence", UsbFault::Kind::Silence},   {"badcheck", UsbFault::Kind::BadCheck},
        {"refuse", UsbFault::Kind::Refuse},     {"empty", UsbFault::Kind::Empty},
        {"lose", UsbFault::Kind::Lose},         {"corrupt", UsbFault::Kind::Corrupt}};
    const auto kind = kinds.find(parts[0]);
    if (kind == kinds.end())
        return false;
    UsbFault f;
    f.kind = kind->second;
    if (parts.size() > 1)
        f.command = parts[1];
    try {
        if (parts.size() > 2)
            f.skip = std::stoi(parts[2]);
        if (parts.size() > 3)
            f.count = std::stoi(parts[3]);
    } catch (...) {
        return false;
    }
    if (f.skip < 0 || f.count < -1)
        return false;
    *fault = f;
    return true;
}

// One host connection: one opened device, with the reader's exchange state.
struct UsbReaderSim::Connection {
    int fd = -1;
    std::vector<std::uint8_t> in; // bytes received, not yet a whole request
    std::vector<std::uint8_t> reply; // the reader's next reply
    std::string replyCommand; // the command it answers
    bool hasReply = false;
    // A write waiting for its data.
    bool dataPhase = false;
    std::string dataCommand;
    int dataPage = 0, dataOffset = 0, dataLength = 0;
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> dataEcho;
    // A legacy read continued with PART.
    std::vector<std::uint8_t> legacyRead;
    ~Connection()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

UsbReaderSim::UsbReaderSim(UsbSimOptions options)
    : options_(std::move(options)),
      status_(options_.status),
      faultSeen_(options_.faults.size(), 0),
      faultApplied_(options_.faults.size(), 0)
{
}

UsbReaderSim::~UsbReaderSim()
{
    Stop();
    connections_.clear();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(options_.socketPath.c_str());
    }
}

bool UsbReaderSim::Open(std::string *error)
{
    try {
        card_ = options_.imagePath.empty() ? std::make_unique<FlashCard>()
                                           : std::make_unique<FlashCard>(options_.imagePath);
    } catch (const std::exception &e) {
        *error = e.what();
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (options_.socketPath.empty() || options_.socketPath.size() >= sizeof address.sun_path) {
        *error = "socket path missing or too long";
        return false;
    }
    std::strcpy(address.sun_path, options_.socketPath.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ::unlink(options_.socketPath.c_str());
    if (::bind(listenFd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        *error = "cannot listen on " + options_.socketPath + ": " + std::strerror(errno);
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    return true;
}

void UsbReaderSim::Start()
{
    stop_.store(false);
    thread_ = std::thread([this] { Run(stop_); });
}

void UsbReaderSim::Stop()
{
    stop_.store(true);
    if (thread_.joinable())
        thread_.join();
}

void UsbReaderSim::Run(const std::atomic<bool> &stop) { Serve(stop); }

void UsbReaderSim::Serve(const std::atomic<bool> &stop)
{
    while (!stop.load()) {
        std::vector<pollfd> fds;
        fds.push_back({listenFd_, POLLIN, 0});
        for (const auto &c : connections_)
            fds.push_back({c->fd, POLLIN, 0});
        const int ready = ::poll(fds.data(), fds.size(), 20);
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                auto c = std::make_unique<Connection>();
                c->fd = fd;
                connections_.push_back(std::move(c));
                AddLog("usb open");
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            Connection &c = *connections_[i - 1];
            if (!HandleInput(c)) {
                AddLog("usb close");
                ::close(c.fd);
                c.fd = -1;
            }
        }
        connections_.erase(
            std::remove_if(connections_.begin(), connections_.end(), [](const auto &c) { return c->fd < 0; }),
            connections_.end());
    }
}

// Reads what arrived and answers every whole request; false when the host
// closed the connection or broke the framing.
bool UsbReaderSim::HandleInput(Connection &c)
{
    std::uint8_t buffer[4096];
    ssize_t n = 0;
    do {
        n = ::recv(c.fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    c.in.insert(c.in.end(), buffer, buffer + n);
    for (;;) {
        if (c.in.size() < usb_wire::kHeaderSize)
            return true;
        usb_wire::Header header{};
        std::copy_n(c.in.begin(), usb_wire::kHeaderSize, header.begin());
        const std::uint32_t code = usb_wire::Field(header, 0);
        const std::uint32_t sequence = usb_wire::Field(header, 1);
        const std::uint32_t length = usb_wire::Field(header, 2);
        if (length > usb_wire::kMaxPayload)
            return false;
        const std::size_t payload = usb_wire::CarriesRequestBytes(code) ? length : 0;
        if (c.in.size() < usb_wire::kHeaderSize + payload)
            return true;
        const std::vector<std::uint8_t> bytes(c.in.begin() + usb_wire::kHeaderSize,
                                              c.in.begin() + long(usb_wire::kHeaderSize + payload));
        c.in.erase(c.in.begin(), c.in.begin() + long(usb_wire::kHeaderSize + payload));

        const Answer answer = HandleRequest(c, code, length, bytes);
        std::string line = std::string("usb ") + RequestName(code) + " " + std::to_string(length);
        if (!bytes.empty())
            line += " " + Hex(bytes.data(), bytes.size());
        line += answer.silent ? " -> silent" : " -> " + std::to_string(answer.status);
        if (!answer.bytes.empty())
            line += " " + Hex(answer.bytes.data(), answer.bytes.size());
        AddLog(line);
        if (answer.silent)
            continue;
        const usb_wire::Header out = usb_wire::Pack(sequence, answer.status, answer.count);
        if (!WriteAll(c.fd, out.data(), out.size()) ||
            (!answer.bytes.empty() && !WriteAll(c.fd, answer.bytes.data(), answer.bytes.size())))
            return false;
    }
}

UsbReaderSim::Answer UsbReaderSim::HandleRequest(Connection &c, std::uint32_t code, std::uint32_t length,
                                                 const std::vector<std::uint8_t> &in)
{
    switch (code) {
    case usb_request::kSend:
    case usb_request::kSendLegacy:
        return HandleSend(c, in);
    case usb_request::kReceive:
    case usb_request::kReceiveLegacy:
        return HandleReceive(c, length);
    case usb_request::kRecover:
        // The path is usable again: a half-received write is forgotten.
        c.dataPhase = false;
        return {};
    default: {
        Answer a;
        a.status = usb_error::kInvalidParameter;
        return a;
    }
    }
}

UsbReaderSim::Answer UsbReaderSim::HandleSend(Connection &c, const std::vector<std::uint8_t> &in)
{
    const std::string command = c.dataPhase ? std::string("DATA")
        : in.size() >= 4                    ? std::string(in.begin(), in.begin() + 4)
                                            : std::string();
    Answer a;
    std::vector<std::uint8_t> bytes = in;
    if (const UsbFault *f = TakeFault(command, true)) {
        if (f->kind == UsbFault::Kind::SendFail) {
            a.status = usb_error::kGenFailure;
            return a;
        }
        if (f->kind == UsbFault::Kind::Lose) {
            a.count = std::uint32_t(in.size()); // the host is told all went well
            return a;
        }
        if (!bytes.empty())
            bytes[bytes.size() / 2] = std::uint8_t(~bytes[bytes.size() / 2]);
    }
    a.count = std::uint32_t(in.size());
    if (c.dataPhase) {
        c.data.insert(c.data.end(), bytes.begin(), bytes.end());
        if (c.data.size() >= std::size_t(c.dataLength) + 2)
            HandleData(c);
        return a;
    }
    HandleFrame(c, bytes);
    return a;
}

UsbReaderSim::Answer UsbReaderSim::HandleReceive(Connection &c, std::uint32_t length)
{
    Answer a;
    if (!c.hasReply) {
        a.status = usb_error::kGenFailure; // nothing to say: the request fails
        return a;
    }
    std::vector<std::uint8_t> reply = c.reply;
    c.hasReply = false;
    if (const UsbFault *f = TakeFault(c.replyCommand, false)) {
        switch (f->kind) {
        case UsbFault::Kind::ReceiveFail:
            a.status = usb_error::kGenFailure;
            return a;
        case UsbFault::Kind::Silence:
            a.silent = true;
            return a;
        case UsbFault::Kind::Empty:
            return a;
        case UsbFault::Kind::BadCheck:
            reply[reply.size() - 2] = std::uint8_t(reply[reply.size() - 2] + 1);
            break;
        case UsbFault::Kind::Refuse:
            reply = Reply(reply.data(), 'R', nullptr, 0);
            c.dataPhase = false; // a refused write expects no data
            break;
        case UsbFault::Kind::SendFail:
        case UsbFault::Kind::Lose:
        case UsbFault::Kind::Corrupt:
            break;
        }
    }
    reply.resize(std::min<std::size_t>(reply.size(), length));
    a.count = std::uint32_t(reply.size());
    a.bytes = std::move(reply);
    return a;
}

std::vector<std::uint8_t> UsbReaderSim::Reply(const std::uint8_t *echo, char status, const std::uint8_t *data,
                                              std::size_t count) const
{
    std::vector<std::uint8_t> r(echo, echo + 4);
    r.push_back(std::uint8_t(status));
    if (data != nullptr)
        r.insert(r.end(), data, data + count);
    const CheckBytes check = ComputeCheckBytes(std::span(r.data(), r.size()));
    r.push_back(check.sum);
    r.push_back(check.xorValue);
    return r;
}

void UsbReaderSim::HandleFrame(Connection &c, const std::vector<std::uint8_t> &f)
{
    std::uint8_t echo[4] = {'?', '?', '?', '?'};
    std::copy_n(f.begin(), std::min<std::size_t>(4, f.size()), echo);
    const std::string command(echo, echo + 4);
    c.replyCommand = command;
    c.hasReply = true;
    const auto refuse = [&] { c.reply = Reply(echo, 'R', nullptr, 0); };
    if (f.size() != kFrameSize) {
        refuse();
        return;
    }
    const CheckBytes check = ComputeCheckBytes(std::span(f.data(), 10));
    if (f[10] != check.sum || f[11] != check.xorValue) {
        refuse();
        return;
    }
    if (command == "STAT" || command == "ST98") {
        c.reply = Reply(echo, status_.load(), nullptr, 0);
    } else if (command == "READ" || command == "RE98") {
        const int page = Get16(f, 4), offset = Get16(f, 6), length = Get16(f, 8);
        std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
        if (!card_->ReadBlock(page, offset, length, data.data())) {
            refuse();
        } else if (command == "READ") {
            c.reply = Reply(echo, 'P', data.data(), data.size());
        } else {
            c.legacyRead = data;
            c.reply = Reply(echo, 'P', data.data(), std::min<std::size_t>(data.size(), kLegacyPiece));
        }
    } else if (command == "PART") {
        const std::size_t start = std::size_t(f[4]) * kLegacyPiece;
        const std::size_t length = std::size_t(Get16(f, 8));
        if (start + length > c.legacyRead.size())
            refuse();
        else
            c.reply = Reply(echo, 'P', c.legacyRead.data() + start, length);
    } else if (command == "WRTE" || command == "WR98") {
        c.dataPhase = true;
        c.dataCommand = command;
        c.dataPage = Get16(f, 4);
        c.dataOffset = Get16(f, 6);
        c.dataLength = Get16(f, 8);
        c.data.clear();
        c.dataEcho.assign(echo, echo + 4);
        c.reply = Reply(echo, 'P', nullptr, 0);
    } else if (command == "GETV" || command == "GE98") {
        std::vector<std::uint8_t> data(52, 0); // two uninterpreted bytes, then the text
        data[0] = 0x01;
        std::copy_n(options_.version.begin(), std::min<std::size_t>(options_.version.size(), 50), data.begin() + 2);
        c.reply = Reply(echo, 'P', data.data(), data.size());
    } else if (command == "EXIT" || command == "LOCK") {
        c.reply = Reply(echo, 'P', nullptr, 0);
    } else {
        refuse();
    }
}

void UsbReaderSim::HandleData(Connection &c)
{
    c.dataPhase = false;
    const auto n = std::size_t(c.dataLength);
    const CheckBytes check = ComputeCheckBytes(std::span(c.data.data(), n));
    bool ok = c.data.size() == n + 2 && c.data[n] == check.sum && c.data[n + 1] == check.xorValue;
    if (ok && !options_.ignoreWrites)
        ok = card_->WriteBlock(c.dataPage, c.dataOffset, c.dataLength, c.data.data());
    c.replyCommand = "DATA";
    c.hasReply = true;
    c.reply = Reply(c.dataEcho.data(), ok ? 'P' : 'R', nullptr, 0);
}

const UsbFault *UsbReaderSim::TakeFault(const std::string &command, bool atSend)
{
    // Every fault counts the requests of its command, applied or not, so
    // SKIP always means "let this many of them through".
    const UsbFault *chosen = nullptr;
    for (std::size_t i = 0; i < options_.faults.size(); ++i) {
        const UsbFault &f = options_.faults[i];
        if (IsSendFault(f.kind) != atSend)
            continue;
        if (!f.command.empty() && f.command != command)
            continue;
        if (faultSeen_[i]++ < f.skip)
            continue;
        if (chosen != nullptr || (f.count >= 0 && faultApplied_[i] >= f.count))
            continue;
        ++faultApplied_[i];
        chosen = &f;
    }
    return chosen;
}

void UsbReaderSim::AddLog(const std::string &line)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back(line);
    }
    if (options_.logPath.empty())
        return;
    int fd = -1;
    do {
        fd = ::open(options_.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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

std::vector<std::string> UsbReaderSim::Log() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void UsbReaderSim::ClearLog()
{
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

} // namespace wqn::sim
