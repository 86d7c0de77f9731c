// The serial reader simulator's engine.
#include "sim/serial/SerialReaderSim.h"

#include "sim/serial/PtySpeed.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace wqn::sim {
namespace {

constexpr std::size_t kFrameSize = 12;
constexpr std::int64_t kFrameGapUs = 500000; // a partial frame older than this is dropped
constexpr std::int64_t kPaceChunkUs = 4000;
const std::uint32_t kSpeeds[] = {4800, 9600, 14400, 19200, 38400, 57600, 115200};

std::int64_t NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void SleepUntilUs(std::int64_t whenUs)
{
    const std::int64_t left = whenUs - NowUs();
    if (left > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(left));
    }
}

std::string Hex(const std::uint8_t *bytes, std::size_t count)
{
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += buf;
    }
    return out;
}

void AppendChecks(std::vector<std::uint8_t> &bytes)
{
    std::uint8_t sum = 0, x = 0;
    for (std::uint8_t b : bytes) {
        sum = std::uint8_t(sum + b);
        x = std::uint8_t(x ^ b);
    }
    bytes.push_back(sum);
    bytes.push_back(x);
}

bool ChecksHold(const std::uint8_t *bytes, std::size_t count, std::uint8_t sum, std::uint8_t x)
{
    std::uint8_t s = 0, e = 0;
    for (std::size_t i = 0; i < count; ++i) {
        s = std::uint8_t(s + bytes[i]);
        e = std::uint8_t(e ^ bytes[i]);
    }
    return s == sum && e == x;
}

int Le16(const std::uint8_t *p) { return p[0] | (p[1] << 8); }

} // namespace

bool ParseSerialFault(const std::string &text, SerialFault *fault)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    if (parts.empty() || parts.size() > 4) {
        return false;
    }
    SerialFault f;
    const std::string &kind = parts[0];
    if (kind == "silence")
        f.kind = SerialFault::Kind::Silence;
    else if (kind == "garble")
        f.kind = SerialFault::Kind::Garble;
    else if (kind == "short")
        f.kind = SerialFault::Kind::Short;
    else if (kind == "badcheck")
        f.kind = SerialFault::Kind::BadCheck;
    else if (kind == "refuse")
        f.kind = SerialFault::Kind::Refuse;
    else
        return false;
    if (parts.size() > 1) {
        f.command = parts[1];
        if (!f.command.empty() && f.command.size() != 4) {
            return false;
        }
    }
    auto number = [](const std::string &s, int *out) {
        char *end = nullptr;
        const long v = std::strtol(s.c_str(), &end, 10);
        if (s.empty() || *end != '\0' || v < -1 || v > 1000000) {
            return false;
        }
        *out = int(v);
        return true;
    };
    if (parts.size() > 2 && !number(parts[2], &f.skip)) {
        return false;
    }
    if (parts.size() > 3 && !number(parts[3], &f.count)) {
        return false;
    }
    *fault = f;
    return true;
}

SerialReaderSim::SerialReaderSim(SerialSimOptions options)
    : options_(std::move(options)),
      failingPages_(options_.failingPages.begin(), options_.failingPages.end()),
      faultSeen_(options_.faults.size(), 0),
      faultApplied_(options_.faults.size(), 0),
      speed_(options_.speed),
      noCard_(options_.noCard)
{
}

SerialReaderSim::~SerialReaderSim()
{
    Stop();
    if (masterFd_ >= 0)
        ::close(masterFd_);
    if (slaveFd_ >= 0)
        ::close(slaveFd_);
    if (logFile_ != nullptr)
        std::fclose(logFile_);
}

bool SerialReaderSim::Open(std::string *error)
{
    try {
        card_ = options_.imagePath.empty() ? std::make_unique<FlashCard>()
                                           : std::make_unique<FlashCard>(options_.imagePath);
    } catch (const std::exception &e) {
        *error = e.what();
        return false;
    }
    if (!options_.logPath.empty()) {
        logFile_ = std::fopen(options_.logPath.c_str(), "w");
        if (logFile_ == nullptr) {
            *error = "cannot open log " + options_.logPath;
            return false;
        }
    }
    masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[256] = {};
    if (masterFd_ < 0 || ::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0 ||
        ::ptsname_r(masterFd_, name, sizeof name) != 0) {
        *error = std::string("cannot create a pty: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd_ < 0) {
        *error = "cannot open " + slavePath_;
        return false;
    }
    // Both ends raw, the line at the reader's speed, until the host sets it.
    for (int fd : {masterFd_, slaveFd_}) {
        termios t{};
        if (::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
    }
    WritePtySpeed(slaveFd_, speed_.load());
    ::fcntl(masterFd_, F_SETFL, ::fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
    return true;
}

void SerialReaderSim::Start()
{
    if (thread_.joinable()) {
        return;
    }
    stop_.store(false);
    thread_ = std::thread([this] { Run(stop_); });
}

void SerialReaderSim::Stop()
{
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SerialReaderSim::Run(const std::atomic<bool> &stop)
{
    try {
        Serve(stop);
    } catch (const std::exception &e) {
        AddLog(std::string("ERROR ") + e.what());
    }
}

void SerialReaderSim::Serve(const std::atomic<bool> &stop)
{
    std::uint8_t buffer[4096];
    while (!stop.load()) {
        pollfd p{masterFd_, POLLIN, 0};
        const int rc = ::poll(&p, 1, 20);
        if (rc < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (rc <= 0) {
            continue;
        }
        const ssize_t n = ::read(masterFd_, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            // EIO: no slave is open (cannot happen while we hold one).
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (n > 0) {
            HandleBytes(buffer, std::size_t(n), NowUs());
        }
    }
}

std::int64_t SerialReaderSim::ByteTimeUs() const
{
    // 8-N-1: ten bits a byte.
    return std::int64_t(10) * 1000000 / std::max<std::uint32_t>(speed_.load(), 1);
}

void SerialReaderSim::HandleBytes(const std::uint8_t *bytes, std::size_t count, std::int64_t nowUs)
{
    std::uint32_t hostSpeed = 0;
    const std::uint32_t ours = speed_.load();
    if (!ReadPtySpeed(slaveFd_, hostSpeed) || hostSpeed != ours) {
        // Bytes at another speed arrive as noise; the reader drops them
        // together with any frame it was collecting.
        AddLog("LOST " + std::to_string(count) + " AT " + std::to_string(hostSpeed));
        rx_.clear();
        dataPhase_ = false;
        return;
    }
    if (!rx_.empty() && nowUs - lastByteUs_ > kFrameGapUs) {
        AddLog("BAD " + Hex(rx_.data(), rx_.size()));
        rx_.clear();
        dataPhase_ = false;
    }
    lastByteUs_ = nowUs;
    rxDoneUs_ = std::max(rxDoneUs_, nowUs) + std::int64_t(count) * ByteTimeUs();
    rx_.insert(rx_.end(), bytes, bytes + count);

    for (;;) {
        if (dataPhase_) {
            if (rx_.size() < std::size_t(dataLength_) + 2) {
                return;
            }
            HandleData();
            continue;
        }
        if (rx_.size() < kFrameSize) {
            return;
        }
        if (!ChecksHold(rx_.data(), 10, rx_[10], rx_[11])) {
            AddLog("BAD " + Hex(rx_.data(), 1));
            rx_.erase(rx_.begin());
            continue;
        }
        std::uint8_t frame[kFrameSize];
        std::copy(rx_.begin(), rx_.begin() + kFrameSize, frame);
        rx_.erase(rx_.begin(), rx_.begin() + kFrameSize);
        HandleFrame(frame);
    }
}

std::vector<std::uint8_t> SerialReaderSim::ShortReply(const std::uint8_t *mnemonic, char status) const
{
    std::vector<std::uint8_t> r(mnemonic, mnemonic + 4);
    r.push_back(std::uint8_t(status));
    AppendChecks(r);
    return r;
}

void SerialReaderSim::HandleFrame(const std::uint8_t *frame)
{
    AddLog("RX " + Hex(frame, kFrameSize));
    const std::string command(reinterpret_cast<const char *>(frame), 4);
    const char noCard = noCard_.load();

    if (command == "STAT") {
        Reply(command, ShortReply(frame, noCard != 0 ? noCard : 'P'));
        return;
    }
    if (command == "BDRT") {
        const std::uint8_t index = frame[4];
        if (index >= std::size(kSpeeds)) {
            Reply(command, ShortReply(frame, 'R'));
            return;
        }
        Reply(command, ShortReply(frame, 'P'));
        speed_.store(kSpeeds[index]);
        AddLog("SPEED " + std::to_string(kSpeeds[index]));
        return;
    }
    if (command == "LOCK" || command == "EXIT") {
        Reply(command, ShortReply(frame, noCard != 0 ? noCard : 'P'));
        return;
    }
    if (command == "READ" || command == "WRTE") {
        const int page = Le16(frame + 4), offset = Le16(frame + 6), length = Le16(frame + 8);
        if (noCard != 0) {
            Reply(command, ShortReply(frame, noCard));
            return;
        }
        if (length == 0 || page >= FlashCard::kPageCount || offset + length > FlashCard::kPageSize ||
            failingPages_.count(page) != 0) {
            Reply(command, ShortReply(frame, 'R'));
            return;
        }
        if (command == "READ") {
            std::vector<std::uint8_t> r(frame, frame + 4);
            r.push_back('P');
            r.resize(5 + std::size_t(length));
            if (!card_->ReadBlock(page, offset, length, r.data() + 5)) {
                Reply(command, ShortReply(frame, 'R'));
                return;
            }
            AppendChecks(r);
            Reply(command, std::move(r));
            return;
        }
        dataPhase_ = true;
        dataPage_ = page;
        dataOffset_ = offset;
        dataLength_ = length;
        Reply(command, ShortReply(frame, 'P'));
        return;
    }
    Reply(command, ShortReply(frame, 'R'));
}

void SerialReaderSim::HandleData()
{
    const std::size_t n = std::size_t(dataLength_);
    AddLog("RXDATA " + Hex(rx_.data(), n + 2));
    const bool checks = ChecksHold(rx_.data(), n, rx_[n], rx_[n + 1]);
    const bool written = checks && card_->WriteBlock(dataPage_, dataOffset_, dataLength_, rx_.data());
    rx_.erase(rx_.begin(), rx_.begin() + std::ptrdiff_t(n + 2));
    dataPhase_ = false;
    const std::uint8_t wrte[4] = {'W', 'R', 'T', 'E'};
    Reply("DATA", ShortReply(wrte, written ? 'P' : 'R'));
}

void SerialReaderSim::Reply(const std::string &command, std::vector<std::uint8_t> reply)
{
    for (std::size_t i = 0; i < options_.faults.size(); ++i) {
        const SerialFault &f = options_.faults[i];
        if (!f.command.empty() && f.command != command) {
            continue;
        }
        if (faultSeen_[i]++ < f.skip || (f.count >= 0 && faultApplied_[i] >= f.count)) {
            continue;
        }
        ++faultApplied_[i];
        switch (f.kind) {
        case SerialFault::Kind::Silence:
            AddLog("SILENT " + command);
            return;
        case SerialFault::Kind::Garble:
            std::fill(reply.begin(), reply.begin() + 5, std::uint8_t('#'));
            break;
        case SerialFault::Kind::Short:
            reply.resize(std::max<std::size_t>(reply.size() / 2, 1));
            break;
        case SerialFault::Kind::BadCheck:
            reply[reply.size() - 2] = std::uint8_t(reply[reply.size() - 2] + 1);
            break;
        case SerialFault::Kind::Refuse:
            reply = ShortReply(reply.data(), 'R');
            break;
        }
        break; // one fault per reply
    }
    if (options_.pace) {
        WaitUntilReceived();
    }
    AddLog("TX " + Hex(reply.data(), reply.size()));
    WritePaced(reply);
}

void SerialReaderSim::WaitUntilReceived()
{
    // A reply starts only once the request's last byte would have arrived.
    SleepUntilUs(rxDoneUs_);
}

void SerialReaderSim::WritePaced(const std::vector<std::uint8_t> &bytes)
{
    const std::int64_t byteUs = ByteTimeUs();
    const std::size_t chunk = options_.pace
        ? std::size_t(std::max<std::int64_t>(1, kPaceChunkUs / std::max<std::int64_t>(byteUs, 1)))
        : bytes.size();
    const std::int64_t start = NowUs();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const std::size_t take = std::min(chunk, bytes.size() - sent);
        if (options_.pace) {
            SleepUntilUs(start + std::int64_t(sent + take) * byteUs);
        }
        std::size_t done = 0;
        while (done < take) {
            const ssize_t n = ::write(masterFd_, bytes.data() + sent + done, take - done);
            if (n > 0) {
                done += std::size_t(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{masterFd_, POLLOUT, 0};
                ::poll(&p, 1, 10);
            } else {
                return;
            }
        }
        sent += take;
    }
}

void SerialReaderSim::AddLog(const std::string &line)
{
    std::lock_guard<std::mutex> lock(logMutex_);
    // A reader left running for days must not grow without bound: the newest
    // lines are what tests and users look at.
    constexpr std::size_t kKeptLines = 100000;
    if (log_.size() >= kKeptLines)
        log_.erase(log_.begin(), log_.begin() + kKeptLines / 2);
    log_.push_back(line);
    if (logFile_ != nullptr) {
        std::fprintf(logFile_, "%s\n", line.c_str());
        std::fflush(logFile_);
    }
}

std::vector<std::string> SerialReaderSim::Log() const
{
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_;
}

void SerialReaderSim::ClearLog()
{
    std::lock_guard<std::mutex> lock(logMutex_);
    log_.clear();
}

std::vector<std::string> SerialReaderSim::ReceivedFrames() const
{
    std::vector<std::string> frames;
    for (const std::string &line : Log()) {
        if (line.rfind("RX ", 0) == 0) {
            frames.push_back(line.substr(3));
        }
    }
    return frames;
}

} // namespace wqn::sim
