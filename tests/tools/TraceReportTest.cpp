// Reading traces back: lines of any length are joined whole or left out,
// and lines carrying numbers no tracer writes are counted as malformed
// instead of spoiling the figures.
#include "tools/kelvara/TraceReport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace kelvara::tool {
namespace {

// A READ of `length` bytes and its successful reply.
std::string Read(const std::string &length, const std::string &time = "0.5")
{
    return time + " serial > READ page=1 offset=0 length=" + length + "\n" + time + " serial < READ status=P\n";
}

TEST(TraceReport, LinesWithNumbersNoTraceHoldsAreLeftOutAndCounted)
{
    const std::string longest = std::to_string(2147483647);
    const struct {
        const char *name;
        std::string text;
        long long malformed;
        long long firstMalformed;
        long long reads;
        long long bytes;
        std::size_t hex = 0; // the longest bytes part read
    } cases[] = {
        {"lengths that add up past any total", Read("9223372036854775807") + Read("9223372036854775807"), 2, 1, 0, 0},
        {"a negative length", Read("264") + Read("-264"), 1, 3, 1, 264},
        {"a length with more after it", Read("12abc"), 1, 1, 0, 0},
        {"the largest length, twice", Read(longest) + Read(longest), 0, 0, 2, 4294967294LL},
        {"a negative time", Read("264", "-1.5"), 2, 1, 0, 0},
        {"a time that is not a number", Read("264", "nan") + Read("264", "inf") + Read("8"), 4, 1, 1, 8},
        {"a negative duration", "0.1 gc481 = IC_DirectRead page=1 offset=0 length=8 result=0 us=-40\n", 1, 1, 0, 0},
        {"a line longer than any trace line",
         "0.1 serial > READ page=1 offset=0 length=8 | " + std::string(70000, 'A') + "\n" + Read("8"), 1, 1, 1, 8},
        {"a long line a trace may hold, the last without a newline",
         "0.1 serial > READ page=1 offset=0 length=8 | " + std::string(20000, 'A') + "\n0.2 serial < READ status=P", 0,
         0, 1, 8, 20000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::istringstream in(c.text);
        TraceReader reader(in);
        TraceStatsBuilder builder;
        std::size_t longestHex = 0;
        for (TraceLine line; reader.Next(line);) {
            longestHex = std::max(longestHex, line.hex.size());
            builder.Add(line);
        }
        const TraceStats stats = builder.Finish();
        EXPECT_EQ(reader.Malformed(), c.malformed);
        EXPECT_EQ(reader.FirstMalformed(), c.firstMalformed);
        EXPECT_EQ(stats.pageReads, c.reads);
        EXPECT_EQ(stats.bytesRead, c.bytes);
        EXPECT_GE(stats.seconds, 0.0);
        EXPECT_EQ(longestHex, c.hex) << "a line read in pieces is joined whole";
    }
}

} // namespace
} // namespace kelvara::tool
