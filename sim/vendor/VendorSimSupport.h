// What the two simulated vendor libraries (libgcic32.so and libmcs_sr.so;
// Gcic32.dll and MCS_SR.DLL on Windows) share: reading their configuration
// from the environment, the card behind them, and the call log tests read to
// check call order and arguments.
#pragma once

#include "sim/card/FlashCard.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace wqn::sim::vendor {

// The value of environment variable `name`; empty when unset.
std::string EnvText(const char *name);

// A comma-separated list of integers ("0,1"); nullopt when malformed.
std::optional<std::set<long>> ParseNumbers(const std::string &text);

// Whether a reader answers on port index `port` at `baud`: the ports in
// <prefix>_PORTS (default "0", "none" for no port) and the speeds in
// <prefix>_SPEEDS (default all seven).
bool ReaderAt(const std::string &envPrefix, long port, long baud);

// A value that may differ per port: "N" for every port, or "P:N,P:N" for
// chosen ports with `fallback` for the others (both forms may be mixed:
// "5,0:0" means port 0 gives 0 and every other port 5).
struct PerPort {
    long fallback = 0;
    std::map<long, long> ports;
    long For(long port) const;
};
std::optional<PerPort> ParsePerPort(const std::string &text, long fallback);

// Appends one line to the log file named by environment variable `envName`
// (nothing when unset). Each line goes out in one append, so several
// simulators may share one log file and their lines keep the order of time.
void Log(const char *envName, const std::string &line);
// Appends `line` and a newline to the file at `path` in one write (one
// implementation per OS).
void AppendLine(const std::string &path, const std::string &line);

// The card behind a simulated library, loaded afresh from the image file
// named by `imageEnv` at every port open (a blank card in memory when the
// variable is unset) with read or write faults on the pages listed in
// `failReadEnv` / `failWriteEnv`. A page suffixed ":once" fails once.
class SimCard {
public:
    SimCard(const char *imageEnv, const char *failReadEnv, const char *failWriteEnv);
    // (Re)loads the card and its faults; false when the image is unusable.
    bool Load();
    void Unload() { card_.reset(); }
    bool Loaded() const { return card_ != nullptr; }
    // A transfer anywhere on the card, possibly spanning pages (the
    // MCS-C library addresses the card linearly).
    bool Read(long address, long length, std::uint8_t *buffer);
    bool Write(long address, long length, const std::uint8_t *buffer);

private:
    // Runs `transfer` over each page piece of [address, address + length).
    template <class Bytes, class PageTransfer>
    bool Walk(long address, long length, Bytes *buffer, PageTransfer transfer);

    const char *imageEnv_;
    const char *failReadEnv_;
    const char *failWriteEnv_;
    std::unique_ptr<FlashCard> card_;
};

// Hex of up to `limit` bytes, for log lines.
std::string Hex(const std::uint8_t *bytes, long count, long limit = 16);

} // namespace wqn::sim::vendor
