// The reader's port settings, read from the settings file (section "reader"),
// and their translation into line settings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sampora {

// The five values as the profile reader returns them (a missing key gives
// its default). Only the low byte counts for port, paritybit, databit and
// stopbit.
struct ReaderSettings {
    unsigned port = 1;
    unsigned baud = 9600;
    unsigned paritybit = 0;
    unsigned databit = 8;
    unsigned stopbit = 1;
};

// What the port is opened with.
struct LineSettings {
    unsigned port = 1; // COM port number, 1 to 6 after the range check
    unsigned baud = 9600;
    unsigned dataBits = 8;
    bool oddParity = false;
    bool twoStopBits = false;
};

// Applies the low-byte rules: 'O' or 'o' selects odd parity, everything else
// (even 'E') none; stop bit 2 gives two stop bits, any other value one.
LineSettings ToLineSettings(const ReaderSettings &settings);

// True when the port number's low byte names COM1 to COM6.
bool IsValidPortNumber(unsigned port);

// The settings file: the path in $SAMPORA_SETTINGS when set; else
// "sampora.ini" in the current directory when it exists; else, on Linux,
// sampora/sampora.ini under $XDG_CONFIG_HOME (default ~/.config). Empty when
// no place is left (the defaults apply then). Implemented per OS.
std::string SettingsFilePath();

// Reads the settings from SettingsFilePath(); missing file, section or key
// give the defaults. Implemented per OS (the Windows build asks
// GetPrivateProfileIntA, the Linux build parses the file with ProfileInt
// below).
ReaderSettings LoadReaderSettings();

// Looks up an integer in INI text the way GetPrivateProfileIntA does:
// section and key names compare case-insensitively, surrounding blanks are
// ignored, the value is read as a decimal number (or hexadecimal after
// "0x") with an optional sign up to the first non-digit; a value without
// digits is 0; a missing section or key gives `fallback`.
unsigned ProfileInt(std::string_view text, std::string_view section, std::string_view key, unsigned fallback);

} // namespace sampora
