// One end-to-end scenario: a scratch directory with its own card image and
// shared reader log, the settings cleared; the library host program copied
// into it (so "the executable's directory" is the scenario's own); and
// whichever readers the scenario wants, present or absent: the USB reader
// simulator program, the serial reader simulator program or a silent serial
// line, and the two simulated vendor libraries. Every reader simulator
// appends to the one log, so the order of the connection attempts can be
// read there.
//
// Natively the host is kelvara-host on libkelvara.so. Under Wine it is
// kelvara-host-usb.exe with the library linked in and the USB reader
// stand-in behind its Windows USB transport, reaching the simulator through
// a TCP relay; MCS_SR.DLL is copied beside it and Gcic32.dll is found on the
// search path (tests/remote/HostProcess.h).
#pragma once

#include "tests/remote/TcpRelay.h"
#include "tests/support/ChildProgram.h"
#include "tests/support/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
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

    // Settings the library finds at start (as the OS keeps them).
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

    // Runs `commands` in a fresh library process, one after the other:
    //   check | version | lock | exit | format | release
    //   write CARD_DIRECTORY LOCAL_FILE | read LOCAL_DIRECTORY CARD_PATTERN
    //   mark TEXT   (appends "mark TEXT" to the log)
    // Each gives one line "<command> <result>[ <text>]". Message boxes give
    // "box <type> <text>" and are answered OK when OK is the only button and
    // Cancel otherwise (which ends a connection prompt); notices give
    // "notice <op> <text>".
    struct Run {
        bool finished = false; // the library process ended normally
        std::vector<std::string> lines;
        std::string Line(const std::string &command) const; // first line starting with it
        bool Saw(const std::string &text) const;
    };
    Run RunDriver(const std::vector<std::string> &commands);

    // The log's lines, and the connection attempts they show in order:
    // "usb" (one per connection opened), "serial", "gc481", "mcs" (one per
    // run of consecutive lines).
    std::vector<std::string> LogLines() const;
    std::vector<std::string> Attempts() const;

private:
    void SilentLoop(int master);

    // An environment variable of the library processes to come.
    void Env(const std::string &name, const std::string &value);
    std::string Host() const;

    ScratchDirectory scratch_{"kelvara-e2e-readers"};
    const std::filesystem::path dir_ = scratch_.path();
    std::filesystem::path bin_;
    std::unique_ptr<wqn::host::TcpRelay> relay_;
    ChildProgram usb_;
    ChildProgram serial_;
    std::atomic<bool> stopLine_{false};
    std::thread line_;
    int lineMaster_ = -1;
    int lineSlave_ = -1;
};

} // namespace kelvara::testing
