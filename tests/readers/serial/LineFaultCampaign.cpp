// serial_line_campaign: line faults against the serial reader, through the
// kelvara-serial-sim program on a pty, with the reader's own code.
//
// Each round arms one fault in the simulator (a late reply around the 20 ms
// and 200 ms rules, a gap between bytes, a dropped, inverted or inserted
// byte in either direction, the reply to another command, a hang-up
// mid-frame), runs one command that meets it, then a clean read. It checks:
// - every call returns within its time-out plus 50 ms: the time its bytes
//   take on the line, what the reader deliberately delayed (up to the 200 ms
//   silence rule), one silence of 200 ms, and after a failed call the
//   200 ms (at most 500 ms) the line is given to go quiet;
// - outcomes: a read that succeeds returns the page's bytes, a write that
//   succeeds is on the card, and each fault ends as its kind must (a
//   damaged reply is never taken, a reply late by 180 ms or less is);
// - the clean read after each fault succeeds;
// - the process holds as many descriptors at the end as at the start.
// Prints its figures; exits 0 when every check held.
//
// usage: serial_line_campaign [--faults N] [--seed S] [--speed BAUD] [--verbose]
#include "kelvara/readers/serial/LineTime.h"
#include "kelvara/readers/serial/SerialReader.h"
#include "kelvara/services/Settings.h"
#include "tests/support/ChildProgram.h"
#include "tests/support/ScratchDirectory.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using kelvara::SerialReader;
using Clock = std::chrono::steady_clock;

constexpr int kPageSize = 264;
constexpr int kFirstPage = 100;
constexpr int kPageCount = 8;
constexpr int kSilenceMs = 201; // "more than 200 ms"
constexpr int kSettleLimitMs = 500;
constexpr int kSettleQuietMs = 200;
constexpr int kMarginMs = 50;
constexpr int kSureSuccessMs = 180; // a delay this short must not fail a call
constexpr int kSureFailureMs = 220; // one this long must

int OpenDescriptors()
{
    int count = 0;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (const dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        ::closedir(dir);
        --count; // the directory's own
    }
    return count;
}

enum class Command { Stat, Lock, Read, Write };
const char *Mnemonic(Command c)
{
    switch (c) {
    case Command::Stat:
        return "STAT";
    case Command::Lock:
        return "LOCK";
    case Command::Read:
        return "READ";
    case Command::Write:
        return "WRTE";
    }
    return "?";
}

enum class Expect { Success, Failure, Either };

struct Round {
    std::string kind; // the fault's kind, for the figures
    std::string order; // the line that arms the fault in the simulator
    Command command = Command::Stat;
    int page = kFirstPage;
    int length = kPageSize;
    int delayMs = 0; // what the reader deliberately holds back
    Expect expect = Expect::Either;
};

// A delay this short cannot fail a call, one this long must.
Expect ByDelay(int ms)
{
    return ms <= kSureSuccessMs ? Expect::Success : ms >= kSureFailureMs ? Expect::Failure : Expect::Either;
}

struct Figures {
    int rounds = 0;
    int calls = 0;
    int overTime = 0;
    double worstOverMs = -1e9; // duration minus allowance, the worst seen
    double longestCallMs = 0;
    int wrongOutcome = 0;
    int wrongData = 0;
    int cleanFailures = 0;
    std::map<std::string, int> byKind;
    std::map<std::string, int> successesByKind;

    // Counts a call that took `ms` against what it was allowed; returns by
    // how much it overran (negative: time to spare).
    double Account(double ms, double allowanceMs)
    {
        ++calls;
        const double over = ms - allowanceMs;
        worstOverMs = std::max(worstOverMs, over);
        longestCallMs = std::max(longestCallMs, ms);
        if (over > 0)
            ++overTime;
        return over;
    }
};

class Campaign {
public:
    Campaign(unsigned seed, std::uint32_t speed, bool verbose)
        : random_(seed),
          speed_(speed),
          verbose_(verbose)
    {
    }

    bool Setup(std::string *error);
    void RunRound(Figures &figures);
    void Stop() { sim_.Terminate(); }

private:
    Round Choose();
    bool Arm(const std::string &order);
    enum class Outcome { Failed, Succeeded, WrongBytes };
    Outcome Call(const Round &round, double *ms);
    double AllowanceMs(const Round &round) const;
    // Records how a call ended: after a failure the next call may first
    // wait for the line to go quiet.
    void Ended(const Round &round, bool ok);
    // Reads `page` without a fault; false when the read failed.
    bool CleanRead(int page, Figures &figures);
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    std::vector<std::uint8_t> RandomPage()
    {
        std::vector<std::uint8_t> page(kPageSize);
        for (auto &b : page)
            b = std::uint8_t(Pick(0, 255));
        return page;
    }
    bool Matches(int page, const std::uint8_t *data, int length) const;

    std::mt19937 random_;
    std::uint32_t speed_;
    bool verbose_;
    kelvara::testing::ScratchDirectory scratch_{"kelvara-campaign"};
    const std::filesystem::path dir_ = scratch_.path();
    kelvara::testing::ChildProgram sim_; // ends before the directory goes
    std::optional<SerialReader> reader_;
    // What each page holds; after a failed write, the old or the new bytes.
    std::array<std::vector<std::uint8_t>, kPageCount> pages_;
    std::array<std::optional<std::vector<std::uint8_t>>, kPageCount> maybe_;
    double settleBoundMs_ = 0;
};

bool Campaign::Setup(std::string *error)
{
    if (dir_.empty()) {
        *error = "no scratch directory";
        return false;
    }
    ::setenv("KELVARA_SETTINGS", (dir_ / "settings.ini").c_str(), 1);
    ::setenv("WQN_COM2", (dir_ / "absent").c_str(), 1);
    const std::vector<std::string> argv = {
        KELVARA_SERIAL_SIM_PATH,     "--control", "--pace", "--speed", std::to_string(speed_), "--image",
        (dir_ / "card.img").string()};
    std::string port;
    if (!sim_.Start(argv) || !sim_.ReadLine(&port, 10000)) {
        *error = "the simulator did not start (" KELVARA_SERIAL_SIM_PATH ")";
        return false;
    }
    ::setenv("WQN_COM1", port.c_str(), 1);
    const auto index = std::find(kelvara::kLineSpeeds.begin(), kelvara::kLineSpeeds.end(), speed_);
    if (index == kelvara::kLineSpeeds.end()) {
        *error = "not a speed of the table";
        return false;
    }
    kelvara::WriteSettingInt(kelvara::setting::kBaudRateMax, int(index - kelvara::kLineSpeeds.begin()));
    kelvara::WriteSettingInt(kelvara::setting::kBaudRateIndex, int(index - kelvara::kLineSpeeds.begin()));
    reader_.emplace();
    if (reader_->Connect() != kelvara::serial_connect::kReady) {
        *error = "the reader did not connect";
        return false;
    }
    for (int i = 0; i < kPageCount; ++i) {
        pages_[std::size_t(i)] = RandomPage();
        if (!reader_->WriteBlock(kFirstPage + i, 0, kPageSize, pages_[std::size_t(i)].data())) {
            *error = "the pages could not be prepared";
            return false;
        }
    }
    return true;
}

bool Campaign::Arm(const std::string &order)
{
    std::string answer;
    return sim_.WriteLine(order) && sim_.ReadLine(&answer, 5000) && answer == "ok";
}

Round Campaign::Choose()
{
    Round r;
    const int which = Pick(0, 9);
    r.command = which < 2 ? Command::Stat : which < 3 ? Command::Lock : which < 6 ? Command::Read : Command::Write;
    r.page = kFirstPage + Pick(0, kPageCount - 1);
    r.length = r.command == Command::Read ? (Pick(0, 1) == 0 ? kPageSize : Pick(1, kPageSize)) : kPageSize;
    // A write has two replies: the frame's ("WRTE") and the data's ("DATA").
    const bool dataPhase = r.command == Command::Write && Pick(0, 1) == 1;
    const std::string target = dataPhase ? "DATA" : Mnemonic(r.command);
    const int replySize = r.command == Command::Read ? r.length + 7 : 7;

    const int roll = Pick(0, 99);
    char order[128];
    if (roll < 25) {
        // Late: mostly around the 200 ms rule, some around the 20 ms rule.
        r.kind = "late";
        r.delayMs = Pick(0, 3) == 0 ? Pick(0, 40) : Pick(100, 350);
        std::snprintf(order, sizeof order, "late:%s:0:1:%d", target.c_str(), r.delayMs);
        r.expect = ByDelay(r.delayMs);
    } else if (roll < 40) {
        r.kind = "gap";
        r.delayMs = Pick(0, 2) == 0 ? Pick(5, 40) : Pick(100, 300);
        std::snprintf(order, sizeof order, "gap:%s:0:1:%d@%d", target.c_str(), r.delayMs, Pick(0, replySize - 2));
        r.expect = ByDelay(r.delayMs);
    } else if (roll < 50) {
        r.kind = "drop";
        std::snprintf(order, sizeof order, "drop:%s:0:1:%d", target.c_str(), Pick(0, replySize - 1));
        r.expect = Expect::Failure;
    } else if (roll < 60) {
        r.kind = "flip";
        std::snprintf(order, sizeof order, "flip:%s:0:1:%d", target.c_str(), Pick(0, replySize - 1));
        r.expect = Expect::Failure;
    } else if (roll < 68) {
        r.kind = "insert";
        std::snprintf(order, sizeof order, "insert:%s:0:1:%d", target.c_str(), Pick(0, replySize - 1));
        r.expect = Expect::Failure;
    } else if (roll < 76) {
        r.kind = "other";
        std::snprintf(order, sizeof order, "other:%s:0:1", target.c_str());
        r.expect = Expect::Failure;
    } else if (roll < 84) {
        r.kind = "hangup";
        std::snprintf(order, sizeof order, "hangup:%s:0:1:%d@%d", target.c_str(), Pick(50, 300),
                      Pick(1, replySize - 1));
        r.expect = Expect::Failure;
    } else {
        // What the host sends: a command frame, or a write's data phase.
        static const char *kinds[] = {"indrop", "inflip", "ininsert"};
        r.kind = kinds[Pick(0, 2)];
        const int size = dataPhase ? kPageSize + 2 : 12;
        const int at = Pick(0, size - 1);
        std::snprintf(order, sizeof order, "%s:%s:0:1:%d", r.kind.c_str(), dataPhase ? "DATA" : "", at);
        // A stray byte before a frame is skipped by the reader's search.
        r.expect = r.kind == "ininsert" && !dataPhase && at == 0 ? Expect::Either : Expect::Failure;
    }
    r.order = std::string("fault ") + order;
    return r;
}

void Campaign::Ended(const Round &round, bool ok)
{
    if (ok) {
        settleBoundMs_ = 0;
        return;
    }
    const std::uint64_t replyBytes = round.command == Command::Read ? std::uint64_t(round.length) + 7 : 7;
    const double replyMs = double(kelvara::LineTimeUs(replyBytes, speed_, 8, 0, 0)) / 1000.0;
    settleBoundMs_ = std::max<double>(kSettleLimitMs, 2 * kSettleQuietMs + std::ceil(replyMs));
}

double Campaign::AllowanceMs(const Round &round) const
{
    // Bytes on the line: the frame, a write's data and check bytes, and the
    // replies (a write has two), with the simulator's stray byte if any.
    std::uint64_t bytes = 12 + (round.command == Command::Read ? std::uint64_t(round.length) + 7 : 7) + 1;
    if (round.command == Command::Write)
        bytes += kPageSize + 2 + 7;
    const double lineMs = double(kelvara::LineTimeUs(bytes, speed_, 8, 0, 0)) / 1000.0;
    return settleBoundMs_ + lineMs + std::min(round.delayMs, kSilenceMs) + kSilenceMs + kMarginMs;
}

bool Campaign::Matches(int page, const std::uint8_t *data, int length) const
{
    const auto i = std::size_t(page - kFirstPage);
    if (std::equal(data, data + length, pages_[i].begin()))
        return true;
    return maybe_[i] && std::equal(data, data + length, maybe_[i]->begin());
}

Campaign::Outcome Campaign::Call(const Round &round, double *ms)
{
    const auto start = Clock::now();
    bool ok = false;
    std::vector<std::uint8_t> buffer(kPageSize + 1, 0xEE);
    const auto i = std::size_t(round.page - kFirstPage);
    switch (round.command) {
    case Command::Stat:
        ok = reader_->QueryStatus() == kelvara::reply::kDone;
        break;
    case Command::Lock:
        ok = reader_->CardLock();
        break;
    case Command::Read:
        ok = reader_->ReadBlock(round.page, 0, round.length, buffer.data());
        break;
    case Command::Write: {
        auto fresh = RandomPage();
        ok = reader_->WriteBlock(round.page, 0, kPageSize, fresh.data());
        if (ok) {
            pages_[i] = fresh;
            maybe_[i].reset();
        } else {
            maybe_[i] = fresh; // the reader may have stored it
        }
        break;
    }
    }
    *ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (ok && round.command == Command::Read && !Matches(round.page, buffer.data(), round.length))
        return Outcome::WrongBytes;
    return ok ? Outcome::Succeeded : Outcome::Failed;
}

bool Campaign::CleanRead(int page, Figures &figures)
{
    Round clean;
    clean.command = Command::Read;
    clean.page = page;
    clean.length = kPageSize;
    std::vector<std::uint8_t> buffer(kPageSize);
    const auto start = Clock::now();
    const bool ok = reader_->ReadBlock(clean.page, 0, kPageSize, buffer.data());
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (const double over = figures.Account(ms, AllowanceMs(clean)); over > 0)
        std::printf("over time by %.1f ms: the read after a fault\n", over);
    Ended(clean, ok);
    if (!ok)
        return false;
    const auto i = std::size_t(clean.page - kFirstPage);
    if (!Matches(clean.page, buffer.data(), kPageSize)) {
        ++figures.wrongData;
        return true;
    }
    // Now known: settle what a failed write left open.
    if (maybe_[i] && std::equal(buffer.begin(), buffer.end(), maybe_[i]->begin()))
        pages_[i] = *maybe_[i];
    maybe_[i].reset();
    return true;
}

void Campaign::RunRound(Figures &figures)
{
    const Round round = Choose();
    ++figures.rounds;
    ++figures.byKind[round.kind];
    if (!Arm(round.order)) {
        std::printf("the simulator refused '%s'\n", round.order.c_str());
        ++figures.wrongOutcome;
        return;
    }
    double ms = 0;
    const Outcome outcome = Call(round, &ms);
    const bool ok = outcome != Outcome::Failed;
    if (outcome == Outcome::WrongBytes) {
        ++figures.wrongData;
        std::printf("wrong bytes taken: %s on page %d\n", round.order.c_str(), round.page);
    }
    Arm("faults clear");
    if (ok)
        ++figures.successesByKind[round.kind];
    const double allowance = AllowanceMs(round);
    if (const double over = figures.Account(ms, allowance); over > 0)
        std::printf("over time by %.1f ms: %s on %s\n", over, round.order.c_str(), Mnemonic(round.command));
    if ((round.expect == Expect::Success && !ok) || (round.expect == Expect::Failure && ok)) {
        ++figures.wrongOutcome;
        std::printf("%s: %s on %s (%d bytes)\n", ok ? "taken" : "failed", round.order.c_str(), Mnemonic(round.command),
                    round.length);
    }
    Ended(round, ok);
    // The page the command touched: a write that succeeded must be on it.
    if (!CleanRead(round.page, figures)) {
        ++figures.cleanFailures;
        std::printf("the read after '%s' on %s failed\n", round.order.c_str(), Mnemonic(round.command));
    }
    if (verbose_)
        std::printf("%-40s %-4s %s %7.1f ms (allowed %.1f)\n", round.order.c_str(), Mnemonic(round.command),
                    ok ? "ok  " : "fail", ms, allowance);
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    int faults = 1000;
    unsigned seed = 1;
    std::uint32_t speed = 115200;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--faults" && i + 1 < argc) {
            faults = std::atoi(argv[++i]);
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--speed" && i + 1 < argc) {
            speed = std::uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr, "usage: serial_line_campaign [--faults N] [--seed S] [--speed BAUD] [--verbose]\n");
            return 2;
        }
    }
    Figures figures;
    const auto start = Clock::now();
    int descriptorsBefore = 0;
    int descriptorsAfter = 0;
    {
        Campaign campaign(seed, speed, verbose);
        std::string error;
        if (!campaign.Setup(&error)) {
            std::fprintf(stderr, "serial_line_campaign: %s\n", error.c_str());
            return 1;
        }
        descriptorsBefore = OpenDescriptors();
        for (int i = 0; i < faults; ++i)
            campaign.RunRound(figures);
        descriptorsAfter = OpenDescriptors();
        campaign.Stop();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::printf("line-fault campaign: %d faults at %u bit/s, seed %u, %.0f s\n", figures.rounds, speed, seed, seconds);
    for (const auto &[kind, count] : figures.byKind)
        std::printf("  %-9s %4d faults, %4d calls succeeded\n", kind.c_str(), count, figures.successesByKind[kind]);
    std::printf("calls: %d; over their time-out plus 50 ms: %d; furthest past its time-out: %.1f ms; longest call "
                "%.1f ms\n",
                figures.calls, figures.overTime, figures.worstOverMs + kMarginMs, figures.longestCallMs);
    std::printf("outcomes against the fault's kind: %d wrong; reads with wrong bytes: %d\n", figures.wrongOutcome,
                figures.wrongData);
    std::printf("clean reads after a fault that failed: %d\n", figures.cleanFailures);
    std::printf("descriptors: %d before, %d after\n", descriptorsBefore, descriptorsAfter);
    const bool passed = figures.overTime == 0 && figures.wrongOutcome == 0 && figures.wrongData == 0 &&
        figures.cleanFailures == 0 && descriptorsAfter == descriptorsBefore;
    std::printf("%s\n", passed ? "PASSED" : "FAILED");
    return passed ? 0 : 1;
}
