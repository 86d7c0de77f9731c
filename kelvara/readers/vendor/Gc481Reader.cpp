// Gc481Reader: connection search, page transfers and write verification
// over the GC481 vendor library.
#include "kelvara/readers/vendor/Gc481Reader.h"

#include "kelvara/readers/vendor/VendorPage.h"
#include "kelvara/services/MessagePump.h"
#include "kelvara/services/ReaderOverrides.h"
#include "kelvara/services/Settings.h"
#include "kelvara/services/Trace.h"

#include <cstdio>
#include <utility>

namespace kelvara {
namespace {

template <class Function>
bool Lookup(const DynamicLibrary &library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(library.Symbol(name));
    return function != nullptr;
}

} // namespace

Gc481Reader::Gc481Reader(std::string library)
    : libraryName_(std::move(library))
{
}

Gc481Reader::~Gc481Reader() { Close(); }

void Gc481Reader::Close()
{
    if (library_.IsLoaded()) {
        if (handle_ != 0 && exitComm_ != nullptr)
            exitComm_(handle_);
        handle_ = 0;
        library_.Free();
        connected_ = 0;
    }
    initCommBaud_ = nullptr;
    exitComm_ = nullptr;
    status_ = nullptr;
    down_ = nullptr;
    initType_ = nullptr;
    whatIsType_ = nullptr;
    directRead_ = nullptr;
    directWrite_ = nullptr;
}

int Gc481Reader::Connect()
{
    Close();
    // A bare name is the installed library, never one planted in the current directory.
    const bool loaded =
        DirectoryOf(libraryName_).empty() ? library_.LoadInstalled(libraryName_) : library_.Load(libraryName_);
    if (!loaded)
        return 0;
    bool complete = Lookup(library_, "IC_InitComm_Baud", initCommBaud_);
    complete = Lookup(library_, "IC_ExitComm", exitComm_) && complete;
    complete = Lookup(library_, "IC_Status", status_) && complete;
    down_ = library_.Symbol("IC_Down");
    complete = Lookup(library_, "IC_InitType", initType_) && complete;
    whatIsType_ = library_.Symbol("IC_WhatIsType");
    complete = Lookup(library_, "IC_DirectRead", directRead_) && complete;
    complete = Lookup(library_, "IC_DirectWrite", directWrite_) && complete;
    if (!complete) { // IC_Down and IC_WhatIsType may be missing: never called
        Close();
        return 0;
    }

    const int stored = ReadSettingInt(setting::kComPortID, setting::kComPortIDDefault);
    const int candidates[] = {stored, 0, 1};
    for (std::size_t i = 0; i < std::size(candidates); ++i) {
        const int port = candidates[i];
        if (i > 0 && port == stored)
            continue;
        if (!OpenAtSpeed(port))
            continue;
        initType_(handle_, gc481::kCardType);
        const std::int16_t s = trace::Vendor("gc481", "IC_Status", {"port", port}, [&] { return status_(handle_); });
        int result = 0;
        if (s == 0)
            result = 2;
        else if (s == gc481::kNoCard || s == gc481::kNoCardOther)
            result = 1;
        if (result == 0) {
            exitComm_(handle_);
            handle_ = 0; // exited: Close must not exit it a second time
            continue;
        }
        connected_ = 1;
        RecordFound(setting::kComPortID, port);
        return result;
    }
    Close();
    return 0;
}

bool Gc481Reader::OpenAtSpeed(int port)
{
    const auto open = [&](int index) {
        const auto baud = std::int32_t(kLineSpeeds[std::size_t(index)]);
        const std::int32_t h = trace::Vendor("gc481", "IC_InitComm_Baud", {"port", port, "speed", baud},
                                             [&] { return initCommBaud_(static_cast<std::int16_t>(port), baud); });
        if (h == gc481::kOpenFailed)
            return false;
        handle_ = h;
        RecordFound(setting::kBaudRateIndex, index);
        return true;
    };
    const int first =
        static_cast<std::uint8_t>(ReadSettingInt(setting::kBaudRateIndex, setting::kBaudRateIndexDefault));
    if (first <= 6 && open(first))
        return true;
    for (int i = 6; i >= 2; --i) {
        char text[96];
        std::snprintf(text, sizeof text, "正在连接GC481,com口:%d 波特率:%d", port + 1,
                      int(kLineSpeeds[std::size_t(i)]));
        TellSearch(text);
        if (i == first)
            continue;
        PumpMessages();
        if (open(i))
            return true;
    }
    return false;
}

bool Gc481Reader::ReadBlock(int page, int offset, int length, std::uint8_t *buffer)
{
    if (buffer == nullptr)
        return false;
    buffer[0] = 0;
    if (!vendor_page::InRange(page, offset, length))
        return false;
    if (length == 0)
        return true;
    if (!connected_)
        return false;
    return trace::Vendor("gc481", "IC_DirectRead", {"page", page, "offset", offset, "length", length}, [&] {
               return directRead_(handle_, std::int16_t(page), std::int16_t(offset), std::int16_t(length), buffer);
           }) == 0;
}

bool Gc481Reader::WriteBlock(int page, int offset, int length, const std::uint8_t *buffer)
{
    if (!vendor_page::InRange(page, offset, length))
        return false;
    if (length == 0)
        return true;
    if (!connected_ || buffer == nullptr)
        return false;
    const trace::Args args{"page", page, "offset", offset, "length", length};
    if (trace::Vendor("gc481", "IC_DirectWrite", args, [&] {
            return directWrite_(handle_, std::int16_t(page), std::int16_t(offset), std::int16_t(length), buffer);
        }) != 0)
        return false;
    vendor_page::Scratch scratch{};
    if (trace::Vendor("gc481", "IC_DirectRead", args, [&] {
            return directRead_(handle_, std::int16_t(page), std::int16_t(offset), std::int16_t(length), scratch.data());
        }) != 0)
        return false;
    return vendor_page::CarriesValidChecksum(crc_, scratch);
}

} // namespace kelvara
