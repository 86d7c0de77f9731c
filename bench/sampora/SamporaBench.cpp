// Sampora benchmarks: the latency of an exchange from the reply's last byte
// reaching the port to the export returning (target: median under 2 ms),
// and the CPU the idle worker uses (target: near zero).
//
// A responder thread in this process plays the reader on the master side of
// a pty and notes when it has handed the reply's last byte to the pty.
#include "sampora.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

class Responder {
public:
    // Without `answer` nothing runs on the master side: a pty that stays quiet.
    explicit Responder(bool answer = true)
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return;
        path_ = ::ptsname(master_);
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        ::tcgetattr(slave_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave_, TCSANOW, &tio);
        if (answer)
            thread_ = std::thread([this] { Loop(); });
    }
    ~Responder()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
    }
    const std::string &Path() const { return path_; }
    Clock::time_point LastReplyWritten() const { return Clock::time_point(Clock::duration(written_.load())); }

private:
    void Loop()
    {
        std::vector<unsigned char> input;
        const unsigned char reply[] = {0x60, 0x01, 0x01, 0x60, 0x03};
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            unsigned char buf[256];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                continue;
            input.insert(input.end(), buf, buf + n);
            // Answer each complete command frame (every byte after the start
            // mark is counted by the length byte plus check and end mark).
            while (input.size() >= 2 && input.size() >= static_cast<std::size_t>(input[1]) + 4) {
                input.erase(input.begin(), input.begin() + input[1] + 4);
                if (::write(master_, reply, sizeof reply) == static_cast<ssize_t>(sizeof reply))
                    written_.store(Clock::now().time_since_epoch().count());
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<Clock::rep> written_{0};
};

// Runs in a fresh directory so no stray sampora.ini changes the port.
void EnterEmptyDirectory()
{
    static bool done = false;
    if (done)
        return;
    char templ[] = "/tmp/sampora-bench-XXXXXX";
    if (::mkdtemp(templ) != nullptr && ::chdir(templ) == 0)
        done = true;
}

void BM_ExchangeLatency(benchmark::State &state)
{
    EnterEmptyDirectory();
    Responder responder;
    ::setenv("WQN_COM1", responder.Path().c_str(), 1);
    if (Init() != 0) {
        state.SkipWithError("Init failed");
        return;
    }
    std::vector<double> samples;
    for (auto _ : state) {
        const short r = CloseCard();
        const Clock::time_point returned = Clock::now();
        if (r != 1) {
            state.SkipWithError("exchange failed");
            break;
        }
        const double seconds = std::chrono::duration<double>(returned - responder.LastReplyWritten()).count();
        samples.push_back(seconds);
        state.SetIterationTime(seconds);
    }
    Close();
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    state.counters["median_ms"] = samples[samples.size() / 2] * 1e3;
    state.counters["p90_ms"] = samples[samples.size() * 9 / 10] * 1e3;
    state.counters["max_ms"] = samples.back() * 1e3;
}
BENCHMARK(BM_ExchangeLatency)->UseManualTime()->Iterations(500)->Unit(benchmark::kMicrosecond);

double ProcessCpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The worker alone: the calling thread sleeps while the library is open.
void BM_IdleWorkerCpu(benchmark::State &state)
{
    EnterEmptyDirectory();
    Responder quiet_port(false);
    ::setenv("WQN_COM1", quiet_port.Path().c_str(), 1);
    if (Init() != 0) {
        state.SkipWithError("Init failed");
        return;
    }
    const double idle_seconds = 3.0;
    double cpu = 0;
    for (auto _ : state) {
        const double before = ProcessCpuSeconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(idle_seconds));
        cpu = ProcessCpuSeconds() - before;
    }
    Close();
    state.counters["cpu_ms_per_s"] = cpu * 1e3 / idle_seconds;
    state.counters["cpu_percent"] = cpu * 100 / idle_seconds;
}
BENCHMARK(BM_IdleWorkerCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
