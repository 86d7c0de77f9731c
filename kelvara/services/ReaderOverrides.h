// The reader of one run, given outside the stored settings: KELVARA_READER
// names the reader mode (mcs, serial, gc481, usb or the PortMode number 0-3)
// and KELVARA_PORT the serial reader's port (comN or a device path). While
// either is set the reader search tries only what they name and records none
// of what it finds (PortMode, ComPortName, BaudRateIndex stay as stored), so
// a program can use another reader for one call without editing the
// settings.
#pragma once

#include <string>
#include <string_view>

namespace kelvara {

inline constexpr const char *kReaderVariable = "KELVARA_READER";
inline constexpr const char *kPortVariable = "KELVARA_PORT";

// The PortMode of a reader name or number; -1 when `name` names none.
int ReaderModeByName(std::string_view name);
// The short name of a PortMode ("mcs", "serial", "gc481", "usb"); "" for none.
std::string_view ReaderModeName(int mode);

namespace reader_override {
inline constexpr int kNone = -1; // nothing given: the stored settings hold
inline constexpr int kUnknown = -2; // KELVARA_READER names no reader: none is tried
} // namespace reader_override

// The reader mode given for this run: KELVARA_READER's, else the serial
// reader when only KELVARA_PORT is given, else reader_override::kNone.
int ReaderModeOverride();
// KELVARA_PORT, or "" when it is not set.
std::string PortOverride();
// Whether either variable is set: the search then stores nothing.
bool ReaderOverridden();

// While one exists, on this thread or any, the search records nothing
// either: a listing of the readers asks them without changing the settings.
class ProbeScope {
public:
    ProbeScope();
    ~ProbeScope();
    ProbeScope(const ProbeScope &) = delete;
    ProbeScope &operator=(const ProbeScope &) = delete;
};

// What the reader search found (port, speed, reader mode), stored unless a
// reader is given for the run or a ProbeScope exists. True when stored.
bool RecordFound(std::string_view name, int value);
bool RecordFound(std::string_view name, std::string_view value);

} // namespace kelvara
