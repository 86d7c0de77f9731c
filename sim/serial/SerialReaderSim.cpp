// The serial reader simulator's engine: the reader's commands, the timed line
// in both directions, the host's opens and closes, and the faults.
#include "sim/serial/SerialReaderSim.h"

#include "kelvara/readers/protocol/LineSpeeds.h"
#include "sim/serial/PtySpeed.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

namespace wqn::sim {
namespace {

constexpr std::size_t kFrameSize = 12;
constexpr std::int64_t kIdleWakeUs = 20000;
// The host's UART hands received bytes over when its FIFO holds 14 of them
// (a 16550's highest trigger level), or once 4 character times passed after
// the last one.
constexpr std::size_t kFifoTrigger = 14;
constexpr std::int64_t kFifoTimeoutChars = 4;
// The reader takes what arrived at most this long after it arrived; its
// replies are timed from the arrival itself.
constexpr std::int64_t kTakeBatchUs = 1000;
constexpr std::uint8_t kStrayByte = 0xA5;
constexpr auto &kSpeeds = kelvara::kLineSpeeds;

std::int64_t NowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
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

const std::map<std::string, SerialFault::Kind> &FaultNames()
{
    using K = SerialFault::Kind;
    static const std::map<std::string, K> names = {
        {"silence", K::Silence}, {"garble", K::Garble}, {"short", K::Short},   {"badcheck", K::BadCheck},
        {"refuse", K::Refuse},   {"late", K::Late},     {"gap", K::Gap},       {"drop", K::Drop},
        {"flip", K::Flip},       {"insert", K::Insert}, {"other", K::Other},   {"repeat", K::Repeat},
        {"hangup", K::HangUp},   {"indrop", K::InDrop}, {"inflip", K::InFlip}, {"ininsert", K::InInsert},
    };
    return names;
}

std::string FaultName(SerialFault::Kind kind)
{
    for (const auto &[name, k] : FaultNames()) {
        if (k == kind) {
            return name;
        }
    }
    return "?";
}

bool IsInbound(SerialFault::Kind kind)
{
    using K = SerialFault::Kind;
    return kind == K::InDrop || kind == K::InFlip || kind == K::InInsert;
}

bool Number(const std::string &s, long low, long high, int *out)
{
    char *end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < low || v > high) {
        return false;
    }
    *out = int(v);
    return true;
}

// Where a fault strikes in `size` bytes: its own position, or the middle.
std::size_t Position(const SerialFault &f, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    return f.at >= 0 ? std::min(std::size_t(f.at), size - 1) : size / 2;
}

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
    if (parts.empty() || parts.size() > 5) {
        return false;
    }
    using K = SerialFault::Kind;
    SerialFault f;
    const auto kind = FaultNames().find(parts[0]);
    if (kind == FaultNames().end()) {
        return false;
    }
    f.kind = kind->second;
    if (parts.size() > 1) {
        f.command = parts[1];
        if (!f.command.empty() && f.command.size() != 4) {
            return false;
        }
        if (IsInbound(f.kind) && !f.command.empty() && f.command != "DATA") {
            return false; // what the host sends is known only as a frame or a data phase
        }
    }
    if (parts.size() > 2 && !Number(parts[2], 0, 1000000, &f.skip)) {
        return false;
    }
    if (parts.size() > 3 && !Number(parts[3], -1, 1000000, &f.count)) {
        return false;
    }
    const bool timed = f.kind == K::Late || f.kind == K::Gap || f.kind == K::HangUp;
    const bool placed = f.kind == K::Gap || f.kind == K::HangUp || f.kind == K::Drop || f.kind == K::Flip ||
        f.kind == K::Insert || IsInbound(f.kind);
    if (parts.size() > 4) {
        std::string arg = parts[4];
        if (timed) {
            const auto atSign = arg.find('@');
            if (atSign != std::string::npos) {
                if (!placed || !Number(arg.substr(atSign + 1), 0, 1100, &f.at)) {
                    return false;
                }
                arg.resize(atSign);
            }
            if (!Number(arg, 0, 600000, &f.ms)) {
                return false;
            }
        } else if (f.kind == K::Repeat) {
            if (!Number(arg, 1, 1000, &f.copies)) {
                return false;
            }
        } else if (!placed || !Number(arg, 0, 1100, &f.at)) {
            return false;
        }
    } else if (timed) {
        return false; // a delay needs its length
    }
    *fault = f;
    return true;
}

SerialReaderSim::SerialReaderSim(SerialSimOptions options)
    : options_(std::move(options)),
      failingPages_(options_.failingPages.begin(), options_.failingPages.end()),
      speed_(options_.speed),
      noCard_(options_.noCard),
      faults_(options_.faults),
      faultSeen_(faults_.size(), 0),
      faultApplied_(faults_.size(), 0)
{
}

SerialReaderSim::~SerialReaderSim()
{
    Stop();
    for (int fd : {watchFd_, masterFd_, slaveFd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (logFile_ != nullptr) {
        std::fclose(logFile_);
    }
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
    WatchHost();
    return true;
}

void SerialReaderSim::WatchHost()
{
    // Our own open of the slave came before the watch, so every open and
    // close it reports is the host's.
    watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd_ >= 0 &&
        ::inotify_add_watch(watchFd_, slavePath_.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) >= 0) {
        hostOpen_ = false;
        return;
    }
    if (watchFd_ >= 0) {
        ::close(watchFd_);
        watchFd_ = -1;
    }
    AddLog("NOTE the host's opens and closes cannot be watched; its port counts as always open");
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

void SerialReaderSim::AddFault(const SerialFault &fault)
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    faults_.push_back(fault);
    faultSeen_.push_back(0);
    faultApplied_.push_back(0);
}

void SerialReaderSim::ClearFaults()
{
    std::lock_guard<std::mutex> lock(faultMutex_);
    faults_.clear();
    faultSeen_.clear();
    faultApplied_.clear();
}

std::int64_t SerialReaderSim::ByteTimeUs(std::uint32_t speed) const
{
    // 8-N-1: ten bits a byte. Without pacing bytes take no time.
    return options_.pace ? std::int64_t(10) * 1000000 / std::max<std::uint32_t>(speed, 1) : 0;
}

std::uint32_t SerialReaderSim::HostSpeed() const
{
    std::uint32_t speed = 0;
    return ReadPtySpeed(slaveFd_, speed) ? speed : 0;
}

std::int64_t SerialReaderSim::NextWakeUs() const
{
    std::int64_t wake = NowUs() + kIdleWakeUs;
    if (!outbound_.empty()) {
        std::int64_t at = outbound_.front().dueUs;
        std::size_t bytes = 0;
        bool onTime = false;
        for (const OutEvent &e : outbound_) {
            at = e.dueUs;
            if (e.speedChange || ++bytes == kFifoTrigger) {
                onTime = true; // a change of speed must not wait either
                break;
            }
        }
        if (!onTime) {
            at += kFifoTimeoutChars * ByteTimeUs(speed_.load());
        }
        wake = std::min(wake, at);
    }
    if (!inbound_.empty()) {
        const std::int64_t batch = std::min(inbound_.front().arrivalUs + kTakeBatchUs, inbound_.back().arrivalUs);
        wake = std::min(wake, std::max(batch, readyAtUs_));
    }
    return wake;
}

void SerialReaderSim::Serve(const std::atomic<bool> &stop)
{
    while (!stop.load()) {
        // To the microsecond: paced bytes are due a fraction of a millisecond
        // apart, and a wake-up rounded to whole milliseconds would stretch
        // every exchange.
        const std::int64_t waitUs = std::max<std::int64_t>(NextWakeUs() - NowUs(), 0);
        const timespec timeout{time_t(waitUs / 1000000), long(waitUs % 1000000) * 1000L};
        pollfd p[2] = {{masterFd_, POLLIN, 0}, {watchFd_, POLLIN, 0}};
        const int rc = ::ppoll(p, watchFd_ >= 0 ? 2 : 1, &timeout, nullptr);
        if (rc < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        // The host's opens and closes first: they came before the bytes it
        // sent after them.
        TakeHostEvents();
        const std::int64_t now = NowUs();
        ReadHost(now);
        ProcessArrived(now);
        SendDue(NowUs());
    }
}

void SerialReaderSim::TakeHostEvents()
{
    if (watchFd_ < 0) {
        return;
    }
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(watchFd_, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            if (event->mask & IN_OPEN) {
                ++hostOpens_;
            }
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                hostOpens_ = std::max(0, hostOpens_ - 1);
            }
            HostOpened(hostOpens_ > 0);
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}

void SerialReaderSim::HostOpened(bool open)
{
    if (open == hostOpen_) {
        return;
    }
    hostOpen_ = open;
    // A UART's receive queue dies with the port: what the host had received
    // and not read is gone, and a freshly opened port starts empty.
    ::tcflush(slaveFd_, TCIFLUSH);
    AddLog(open ? "HOST OPEN" : "HOST CLOSED");
}

void SerialReaderSim::ReadHost(std::int64_t nowUs)
{
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::read(masterFd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // EAGAIN; EIO cannot happen while we hold the slave
        }
        // The bytes left the host at its speed; they arrive one after the
        // other, each taking its line time.
        const std::uint32_t hostSpeed = HostSpeed();
        const std::int64_t byteUs = ByteTimeUs(hostSpeed);
        std::int64_t at = std::max(inboundFreeUs_, nowUs);
        for (ssize_t i = 0; i < n; ++i) {
            at += byteUs;
            inbound_.push_back({at, buffer[i], hostSpeed});
        }
        inboundFreeUs_ = at;
    }
}

void SerialReaderSim::ProcessArrived(std::int64_t nowUs)
{
    std::size_t lost = 0;
    std::uint32_t lostSpeed = 0;
    while (!inbound_.empty() && inbound_.front().arrivalUs <= nowUs && readyAtUs_ <= nowUs) {
        const InByte in = inbound_.front();
        inbound_.pop_front();
        if (in.arrivalUs < deafUntilUs_) {
            continue; // a hung-up reader hears nothing
        }
        takenAtUs_ = std::max(in.arrivalUs, readyAtUs_);
        if (in.hostSpeed != speed_.load()) {
            // Bytes at another speed arrive as noise; the reader drops them
            // together with any frame it was collecting.
            ++lost;
            lostSpeed = in.hostSpeed;
            ResetReceiver();
            continue;
        }
        TakeByte(in.byte, in.arrivalUs);
    }
    if (lost > 0) {
        AddLog("LOST " + std::to_string(lost) + " AT " + std::to_string(lostSpeed));
    }
}

void SerialReaderSim::ResetReceiver()
{
    rx_.clear();
    dataPhase_ = false;
    unitFaulted_ = false;
}

void SerialReaderSim::TakeByte(std::uint8_t byte, std::int64_t arrivalUs)
{
    const std::int64_t silentUs = arrivalUs - lastActivityUs_;
    if ((!rx_.empty() || dataPhase_) && silentUs > std::int64_t(options_.patienceMs) * 1000) {
        if (!rx_.empty()) {
            AddLog("BAD " + Hex(rx_.data(), rx_.size()));
        }
        AddLog(std::string("ABANDONED ") + (dataPhase_ ? "DATA" : "FRAME") + " AFTER " +
               std::to_string(silentUs / 1000));
        ResetReceiver();
    }
    lastActivityUs_ = arrivalUs;
    if (rx_.empty()) {
        // A new frame or data phase: faults on what the host sends pick it.
        unitIndex_ = 0;
        unitFaulted_ = TakeFault(dataPhase_ ? "DATA" : "", true, &unitFault_);
        if (unitFaulted_) {
            const std::size_t size = dataPhase_ ? std::size_t(dataLength_) + 2 : kFrameSize;
            unitFault_.at = int(Position(unitFault_, size));
            AddLog("FAULT " + FaultName(unitFault_.kind) + (dataPhase_ ? " DATA" : " FRAME"));
        }
    }
    const int index = unitIndex_++;
    if (unitFaulted_ && index == unitFault_.at) {
        unitFaulted_ = false;
        switch (unitFault_.kind) {
        case SerialFault::Kind::InDrop:
            return;
        case SerialFault::Kind::InFlip:
            byte = std::uint8_t(~byte);
            break;
        case SerialFault::Kind::InInsert:
            rx_.push_back(kStrayByte);
            break;
        default:
            break;
        }
    }
    rx_.push_back(byte);
    Parse();
}

void SerialReaderSim::Parse()
{
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
        // The new speed holds once the reply is out.
        outbound_.push_back({outFreeUs_, true, 0, kSpeeds[index]});
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

bool SerialReaderSim::TakeFault(const std::string &command, bool inbound, SerialFault *chosen)
{
    // Every fault counts the units it matches, applied or not, so SKIP
    // always means "let this many of them through".
    std::lock_guard<std::mutex> lock(faultMutex_);
    bool found = false;
    for (std::size_t i = 0; i < faults_.size(); ++i) {
        const SerialFault &f = faults_[i];
        if (IsInbound(f.kind) != inbound || (!f.command.empty() && f.command != command)) {
            continue;
        }
        if (faultSeen_[i]++ < f.skip || found || (f.count >= 0 && faultApplied_[i] >= f.count)) {
            continue;
        }
        ++faultApplied_[i];
        *chosen = f;
        found = true;
    }
    return found;
}

void SerialReaderSim::Reply(const std::string &command, std::vector<std::uint8_t> reply)
{
    using K = SerialFault::Kind;
    const std::int64_t now = takenAtUs_;
    std::int64_t delayUs = 0;
    std::size_t gapAfter = reply.size();
    std::int64_t gapUs = 0;
    std::int64_t hangUpUs = -1;
    SerialFault f;
    if (TakeFault(command, false, &f)) {
        AddLog("FAULT " + FaultName(f.kind) + " " + command);
        switch (f.kind) {
        case K::Silence:
            AddLog("SILENT " + command);
            lastActivityUs_ = now;
            return;
        case K::Garble:
            std::fill(reply.begin(), reply.begin() + 5, std::uint8_t('#'));
            break;
        case K::Short:
            reply.resize(std::max<std::size_t>(reply.size() / 2, 1));
            break;
        case K::BadCheck:
            reply[reply.size() - 2] = std::uint8_t(reply[reply.size() - 2] + 1);
            break;
        case K::Refuse:
            reply = ShortReply(reply.data(), 'R');
            break;
        case K::Late:
            delayUs = std::int64_t(f.ms) * 1000;
            break;
        case K::Gap:
            gapAfter = Position(f, reply.size());
            gapUs = std::int64_t(f.ms) * 1000;
            break;
        case K::Drop:
            reply.erase(reply.begin() + std::ptrdiff_t(Position(f, reply.size())));
            break;
        case K::Flip: {
            auto &b = reply[Position(f, reply.size())];
            b = std::uint8_t(~b);
            break;
        }
        case K::Insert:
            reply.insert(reply.begin() + std::ptrdiff_t(Position(f, reply.size())), kStrayByte);
            break;
        case K::Other: {
            static const std::uint8_t stat[4] = {'S', 'T', 'A', 'T'};
            static const std::uint8_t lock[4] = {'L', 'O', 'C', 'K'};
            reply = ShortReply(command == "STAT" ? lock : stat, 'P');
            break;
        }
        case K::Repeat: {
            const std::vector<std::uint8_t> once = reply;
            for (int i = 0; i < f.copies; ++i) {
                reply.insert(reply.end(), once.begin(), once.end());
            }
            break;
        }
        case K::HangUp:
            reply.resize(Position(f, reply.size()));
            hangUpUs = std::int64_t(f.ms) * 1000;
            break;
        case K::InDrop:
        case K::InFlip:
        case K::InInsert:
            break;
        }
    }
    AddLog("TX " + Hex(reply.data(), reply.size()));
    const std::int64_t byteUs = ByteTimeUs(speed_.load());
    const std::int64_t start = std::max(now + delayUs, outFreeUs_);
    std::int64_t at = start;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        if (i == gapAfter) {
            at += gapUs;
        }
        at += byteUs;
        outbound_.push_back({at, false, reply[i], 0});
    }
    outFreeUs_ = at;
    // The reader goes on with what arrives next once it has started to
    // answer; a late reply keeps it busy until then.
    readyAtUs_ = start;
    lastActivityUs_ = std::max(lastActivityUs_, at);
    if (hangUpUs >= 0) {
        // Cut off mid-reply: deaf and mute for a while, then it starts
        // afresh with no frame or data phase in hand.
        deafUntilUs_ = at + hangUpUs;
        outFreeUs_ = deafUntilUs_;
        readyAtUs_ = deafUntilUs_;
        ResetReceiver();
    }
}

void SerialReaderSim::SendDue(std::int64_t nowUs)
{
    std::vector<std::uint8_t> heard;
    std::size_t unheard = 0;
    const std::uint32_t hostSpeed = HostSpeed();
    while (!outbound_.empty() && outbound_.front().dueUs <= nowUs) {
        const OutEvent e = outbound_.front();
        outbound_.pop_front();
        if (e.speedChange) {
            speed_.store(e.speed);
            AddLog("SPEED " + std::to_string(e.speed));
            continue;
        }
        // Nobody hears the reader while the host's port is closed or set to
        // another speed.
        if (hostOpen_ && hostSpeed == speed_.load()) {
            heard.push_back(e.byte);
        } else {
            ++unheard;
        }
    }
    if (unheard > 0) {
        AddLog("UNHEARD " + std::to_string(unheard));
    }
    std::size_t done = 0;
    while (done < heard.size()) {
        const ssize_t n = ::write(masterFd_, heard.data() + done, heard.size() - done);
        if (n > 0) {
            done += std::size_t(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{masterFd_, POLLOUT, 0};
            ::poll(&p, 1, 10);
        } else {
            return;
        }
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
