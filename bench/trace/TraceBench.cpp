// What the wire traces cost an exchange: the hooks one page read of the
// serial reader passes (the command frame sent, the reply judged), and those
// of one Sampora exchange (the command frame, the reply frame), with tracing
// off and with tracing on into a file.
//
// Off must be free: a load and a branch a hook, nothing measurable next to
// the milliseconds of the exchange itself (a page read takes 24.6 ms of line
// time at 115200 bit/s).
#include "kelvara/readers/protocol/FrameTrace.h"
#include "kelvara/readers/protocol/ReaderFrame.h"
#include "sampora/Frame.h"
#include "sampora/Trace.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string TraceFile(const char *which)
{
    return "/tmp/trace-bench-" + std::string(which) + "-" + std::to_string(::getpid());
}

void KelvaraHooks(benchmark::State &state)
{
    const bool on = state.range(0) != 0;
    const std::string path = TraceFile("kelvara");
    kelvara::trace::Begin(on ? path : std::string(), false);
    const kelvara::CommandFrame frame = kelvara::ReadFrame(5, 0, 264);
    kelvara::ReplyAssembler reply(5 + 264);
    std::vector<std::uint8_t> bytes(5 + 264 + 2, 0x5A);
    reply.Append(bytes);
    for (auto _ : state) {
        kelvara::trace::SerialCommand(frame);
        kelvara::trace::SerialReply(frame, reply.Bytes(), 5 + 264, 0);
        benchmark::ClobberMemory();
    }
    kelvara::trace::Begin(std::string(), false);
    std::remove(path.c_str());
    state.SetLabel(on ? "tracing on" : "tracing off");
}
BENCHMARK(KelvaraHooks)->Arg(0)->Arg(1);

void SamporaHooks(benchmark::State &state)
{
    const bool on = state.range(0) != 0;
    const std::string path = TraceFile("sampora");
    sampora::trace::Begin(on ? path : std::string(), false);
    const std::uint8_t payload[] = {0x34, 0x00, 0x03, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    const std::vector<std::uint8_t> frame = sampora::BuildFrame(payload, sizeof payload);
    sampora::Reply reply;
    reply.status = 1;
    for (auto _ : state) {
        sampora::trace::Command(frame.data(), frame.size());
        sampora::trace::Reply(reply);
        benchmark::ClobberMemory();
    }
    sampora::trace::Begin(std::string(), false);
    std::remove(path.c_str());
    state.SetLabel(on ? "tracing on" : "tracing off");
}
BENCHMARK(SamporaHooks)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();
