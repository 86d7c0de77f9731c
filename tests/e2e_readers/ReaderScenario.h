// One end-to-end scenario: a scratch directory with its own settings file,
// card image and shared reader log; the driver program copied into it (so
// "the executable's directory" is the scenario's own); and whichever
// readers the scenario wants, present or absent: the USB reader simulator
// program, the serial reader simulator program or a silent serial line,
// and the two simulated vendor libraries. Every reader simulator appends to
// the one log, so the order of the connection attempts can be read there.
#pragma once

#include "sim/common/ChildProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace kelvara::testing {

class ReaderScenario : public ::testing::Test {
protected:
    ReaderScenario();
    ~ReaderScenario() override;

    std::filesystem::path Dir() const { return dir_; }
    std::string Image() const { return (dir_ / "card.img").string(); }
    std::string LogPath() const { return (dir_ / "readers.log").string(); }

    // Settings the library finds at start (through the scenario's file).
    void Store(const char *name, int value);
    int Stored(const char *name, int fallback) const;

    // The MCS-C library beside the driver, with a reader on `ports` ("none": none).
    void WithMcs(const std::string &ports, const std::string &autoTest = "0");
    // The GC481 library on the loader's path, with a reader on `ports`.
    void WithGc481(const std::string &ports, const std::string &status = "0");
    // The USB reader simulator with extra options (e.g. "--status", "T").
    void WithUsb(const std::vector<std::string> &options = {});
    void StopUsb();
    // The serial reader simulator on COM1.
    void WithSerialSim();
    void StopSerialSim();
    // A line on COM1 where nothing answers; what the host sends is logged
    // as "serial rx <bytes>".
    void WithSilentSerial();

    struct Run {
        bool finished = false;
        std::vector<std::string> lines; // the driver's stdout
        std::string Line(const std::string &command) const; // first line starting with it
        bool Saw(const std::string &text) const;
    };
    Run RunDriver(const std::vector<std::string> &commands, int timeoutMs = 60000);

    // The log's lines, and the connection attempts they show in order:
    // "usb" (one per connection opened), "serial", "gc481", "mcs" (one per
    // run of consecutive lines).
    std::vector<std::string> LogLines() const;
    std::vector<std::string> Attempts() const;

private:
    void SilentLoop(int master);

    std::filesystem::path dir_;
    std::filesystem::path bin_;
    std::map<std::string, std::string> env_;
    wqn::sim::ChildProcess usb_;
    wqn::sim::ChildProcess serial_;
    std::atomic<bool> stopLine_{false};
    std::thread line_;
    int lineMaster_ = -1;
    int lineSlave_ = -1;
};

} // namespace kelvara::testing
