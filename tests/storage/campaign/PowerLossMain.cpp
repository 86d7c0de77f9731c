// The full power-loss campaign, run by hand (it takes a while):
//   storage_power_loss [sequences [first seed [every-split sequences]]]
// Defaults: 500 sequences from seed 1, torn at the field boundaries, the
// first 20 of them torn at every byte. Prints the figures; exit status 1 when
// a cut lost anything.
#include "tests/storage/PowerLoss.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace kelvara::testing::power_loss;

int main(int argc, char **argv)
{
    const long sequences = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 500;
    const long firstSeed = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1;
    const long everySplit = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 20;
    const auto start = std::chrono::steady_clock::now();
    Figures total;
    for (long i = 0; i < sequences; ++i) {
        Options options;
        options.splits = i < everySplit ? EverySplit() : FieldBoundarySplits();
        const Figures figures = RunSequence(static_cast<std::uint32_t>(firstSeed + i), options);
        total.Add(figures);
        std::printf("seed %ld: %lld operations, %lld cuts, %lld torn, %lld failures\n", firstSeed + i,
                    figures.operations, figures.cuts, figures.tornCuts, figures.failures);
        std::fflush(stdout);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("\nsequences %lld, operations %lld, page writes %lld\n", total.sequences, total.operations,
                total.pageWrites);
    std::printf("cuts %lld, torn cuts %lld, real-cut cross-checks %lld, probes %lld\n", total.cuts, total.tornCuts,
                total.crossChecks, total.probes);
    std::printf("full-card deletes %lld, writes refused for space %lld, deletes refused for space %lld\n",
                total.fullCardDeletes, total.refusedForSpace, total.deletesRefusedForSpace);
    std::printf("failures %lld (%.0f s)\n", total.failures, seconds);
    for (const std::string &note : total.notes)
        std::printf("  %s\n", note.c_str());
    return total.failures == 0 ? 0 : 1;
}
