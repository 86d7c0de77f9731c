// Sampora's worker thread and the exchanges of the calling thread share one
// port, one receive ring and one reply slot. Here a peer on a pty answers
// every exchange with garbage in front and the reply cut into random pieces,
// and sprays garbage (with false start marks) between exchanges, while a
// worker that polls every millisecond competes for the port. Every exchange
// must get its own reply: none lost, none taken twice or by another
// exchange. Built for ThreadSanitizer too, where it must run without report.
#include "sampora/Frame.h"
#include "sampora/Reader.h"
#include "tests/readers/serial/PtyTestSupport.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <random>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using sampora::kEndMark;
using sampora::kStartMark;
constexpr std::uint8_t kCommand = 0x77;

// The data the peer answers exchange `seq` with: the number, then bytes
// that depend on it, 2 to 62 of them.
Bytes ReplyData(unsigned seq)
{
    Bytes data{std::uint8_t(seq >> 8), std::uint8_t(seq)};
    const unsigned extra = seq % 61;
    for (unsigned i = 0; i < extra; ++i)
        data.push_back(std::uint8_t(seq * 7 + i * 13));
    return data;
}

// The far end of the port: reads command frames, answers them in pieces.
class Peer {
public:
    explicit Peer(unsigned seed)
        : random_(seed),
          master_(pty_.Master())
    {
    }
    ~Peer() { Stop(); }
    void Stop()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
    }
    const std::string &Path() const { return pty_.SlavePath(); }
    void Start()
    {
        thread_ = std::thread([this] { Run(); });
    }
    int Answered() const { return answered_.load(); }

private:
    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    // Random bytes that can never start or end a frame.
    Bytes Noise(int count)
    {
        Bytes b;
        while (int(b.size()) < count) {
            const auto v = std::uint8_t(Pick(0, 255));
            if (v != kStartMark && v != kEndMark)
                b.push_back(v);
        }
        return b;
    }

    // Writes `bytes` in random pieces with short pauses between them.
    void SendInPieces(const Bytes &bytes)
    {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const std::size_t piece = std::min<std::size_t>(bytes.size() - at, std::size_t(Pick(1, 9)));
            std::size_t done = 0;
            while (done < piece) {
                const ssize_t n = ::write(master_, bytes.data() + at + done, piece - done);
                if (n > 0)
                    done += std::size_t(n);
                else if (n < 0 && errno != EINTR && errno != EAGAIN)
                    return;
            }
            at += piece;
            if (Pick(0, 3) == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(Pick(50, 1500)));
        }
    }

    void Answer(const Bytes &command)
    {
        if (command.size() != 3 || command[0] != kCommand)
            return;
        const unsigned seq = unsigned(command[1]) << 8 | command[2];
        Bytes reply{1};
        const Bytes data = ReplyData(seq);
        reply.insert(reply.end(), data.begin(), data.end());
        Bytes out = Noise(Pick(0, 40));
        const Bytes frame = sampora::BuildFrame(reply.data(), reply.size());
        out.insert(out.end(), frame.begin(), frame.end());
        SendInPieces(out);
        answered_.fetch_add(1);
    }

    // Between exchanges: plain noise, or a false start mark with a length
    // and more than a frame's worth of noise after it, so that the parser
    // gives it up before a real reply comes.
    void Spray()
    {
        Bytes out;
        if (Pick(0, 1) == 0) {
            out = Noise(Pick(1, 60));
        } else {
            out = {kStartMark, std::uint8_t(Pick(0, 255))};
            const Bytes rest = Noise(Pick(75, 120));
            out.insert(out.end(), rest.begin(), rest.end());
        }
        SendInPieces(out);
    }

    void Run()
    {
        Bytes in;
        while (!stop_.load()) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 2) > 0) {
                std::uint8_t buf[256];
                const ssize_t n = ::read(master_, buf, sizeof buf);
                if (n > 0)
                    in.insert(in.end(), buf, buf + n);
            } else if (Pick(0, 7) == 0) {
                Spray();
            }
            // Commands are well formed: the library sends nothing else.
            while (in.size() >= 2 && in.size() >= std::size_t(in[1]) + 4) {
                const std::size_t length = in[1];
                Answer(Bytes(in.begin() + 2, in.begin() + 2 + std::ptrdiff_t(length)));
                in.erase(in.begin(), in.begin() + std::ptrdiff_t(length + 4));
            }
        }
    }

    kelvara::testing::BarePty pty_; // holds the slave open: the line stays up
    std::mt19937 random_;
    int master_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

// Runs the test in a directory without a sampora.ini, with COM1 on the peer.
class WorkerHammer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        ASSERT_FALSE(peer_.Path().empty());
        com1_.emplace("WQN_COM1", peer_.Path());
    }
    void TearDown() override { std::filesystem::current_path(old_); }

    Peer peer_{20240607};
    kelvara::testing::ScratchDirectory dir_{"sampora-hammer"};
    std::filesystem::path old_;
    std::optional<kelvara::testing::ScopedEnv> com1_;
};

TEST_F(WorkerHammer, EveryExchangeGetsItsOwnReplyWhileTheWorkerPolls)
{
    constexpr unsigned kExchanges = 1500;
    sampora::Reader reader(1); // the worker polls every millisecond while idle
    ASSERT_EQ(reader.Init(), 0);
    peer_.Start();
    std::mt19937 pause(7);
    int lost = 0, wrong = 0;
    std::set<unsigned> seen;
    for (unsigned seq = 1; seq <= kExchanges; ++seq) {
        const std::uint8_t payload[3] = {kCommand, std::uint8_t(seq >> 8), std::uint8_t(seq)};
        std::array<std::uint8_t, 64> data{};
        const int status = reader.Exchange(payload, sizeof payload, 2000, data);
        if (status == -1) {
            ++lost;
            continue;
        }
        const Bytes expected = ReplyData(seq);
        const unsigned got = unsigned(data[0]) << 8 | data[1];
        if (status != 1 || !std::equal(expected.begin(), expected.end(), data.begin()) ||
            !std::all_of(data.begin() + std::ptrdiff_t(expected.size()), data.end(), [](auto b) { return b == 0; }) ||
            !seen.insert(got).second)
            ++wrong;
        // Now and then leave the worker a moment with the port.
        if (pause() % 4 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(pause() % 3000));
    }
    reader.Close();
    peer_.Stop(); // it counts a reply once its last piece is out
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(seen.size(), kExchanges);
    EXPECT_EQ(peer_.Answered(), int(kExchanges));
}

} // namespace
