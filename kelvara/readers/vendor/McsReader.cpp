// McsReader: connection search, page transfers and write verification over
// the MCS-C vendor library.
#include "kelvara/readers/vendor/McsReader.h"

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

std::int32_t CardAddress(int page, int offset) { return std::int32_t(page) * card::kPageSize + offset; }

} // namespace

std::string McsLibraryPath()
{
    return DirectoryOf(ExecutableFileName()) + vendor_library::kPathSeparator + vendor_library::kMcsFileName;
}

McsReader::McsReader(std::string library)
    : libraryOverride_(std::move(library))
{
}

McsReader::~McsReader() { Close(); }

void McsReader::Close()
{
    if (library_.IsLoaded()) {
        if (exitComm_ != nullptr)
            exitComm_();
        library_.Free();
        connected_ = 0;
    }
    initComm_ = nullptr;
    exitComm_ = nullptr;
    autoTest_ = nullptr;
    openCard_ = nullptr;
    led_ = nullptr;
    closeCard_ = nullptr;
    bundleWrite_ = nullptr;
    bundleRead_ = nullptr;
}

int McsReader::Connect()
{
    const std::string path = libraryOverride_.empty() ? McsLibraryPath() : libraryOverride_;
    Close();
    if (!library_.Load(path))
        return 0;
    bool complete = Lookup(library_, "MCS_InitComm", initComm_);
    complete = Lookup(library_, "MCS_ExitComm", exitComm_) && complete;
    complete = Lookup(library_, "MCS_AutoTest", autoTest_) && complete;
    complete = Lookup(library_, "AT45D_OpenCard", openCard_) && complete;
    complete = Lookup(library_, "MCS_LED", led_) && complete;
    complete = Lookup(library_, "AT45D_CloseCard", closeCard_) && complete;
    complete = Lookup(library_, "AT45D_BundleWriteChar", bundleWrite_) && complete;
    complete = Lookup(library_, "AT45D_BundleReadChar", bundleRead_) && complete;
    if (!complete) {
        // MCS_ExitComm may be among the missing: Close calls it only if found.
        Close();
        return 0;
    }

    const int stored = ReadSettingInt(setting::kComPortID, setting::kComPortIDDefault);
    const int candidates[] = {stored, 0, 1};
    for (std::size_t i = 0; i < std::size(candidates); ++i) {
        const int port = candidates[i];
        if (i > 0 && port == stored)
            continue;
        PumpMessages();
        if (!OpenAtSpeed(port))
            continue;
        std::uint8_t type = mcs::kCardType;
        const std::int16_t s = trace::Vendor("mcs", "MCS_AutoTest", {"port", port}, [&] { return autoTest_(&type); });
        int result = 0;
        if (s == 0)
            result = 2;
        else if (s == mcs::kNoCard || s == mcs::kNoCardOther)
            result = 1;
        if (result == 0) {
            exitComm_();
            continue;
        }
        connected_ = 1;
        RecordFound(setting::kComPortID, port);
        return result;
    }
    Close();
    return 0;
}

bool McsReader::OpenAtSpeed(int port)
{
    const auto open = [&](int index) {
        const std::uint32_t baud = kLineSpeeds[std::size_t(index)];
        if (trace::Vendor("mcs", "MCS_InitComm", {"port", port, "speed", long(baud)},
                          [&] { return initComm_(static_cast<std::uint8_t>(port), baud); }) == 0) {
            RecordFound(setting::kBaudRateIndex, index);
            return true;
        }
        exitComm_();
        return false;
    };
    const int first =
        static_cast<std::uint8_t>(ReadSettingInt(setting::kBaudRateIndex, setting::kBaudRateIndexDefault));
    if (first <= 6 && open(first))
        return true;
    for (int i = 6; i >= 2; --i) {
        char text[96];
        std::snprintf(text, sizeof text, "正在连接MCS-C,com口:%d 波特率:%d", port + 1,
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

bool McsReader::ReadBlock(int page, int offset, int length, std::uint8_t *buffer)
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
    openCard_(mcs::kCardType);
    led_(mcs::kLedBusy);
    const std::int16_t r =
        trace::Vendor("mcs", "AT45D_BundleReadChar", {"page", page, "offset", offset, "length", length},
                      [&] { return bundleRead_(CardAddress(page, offset), length, buffer); });
    led_(mcs::kLedIdle);
    closeCard_();
    return r == 0;
}

bool McsReader::WriteBlock(int page, int offset, int length, const std::uint8_t *buffer)
{
    if (!vendor_page::InRange(page, offset, length))
        return false;
    if (length == 0)
        return true;
    if (!connected_ || buffer == nullptr)
        return false;
    vendor_page::Scratch scratch{};
    const std::int32_t address = CardAddress(page, offset);
    openCard_(mcs::kCardType);
    led_(mcs::kLedBusy);
    const trace::Args args{"page", page, "offset", offset, "length", length};
    const std::int16_t written =
        trace::Vendor("mcs", "AT45D_BundleWriteChar", args, [&] { return bundleWrite_(address, length, buffer); });
    const std::int16_t readBack = trace::Vendor("mcs", "AT45D_BundleReadChar", args,
                                                [&] { return bundleRead_(address, length, scratch.data()); });
    led_(mcs::kLedIdle);
    closeCard_();
    return written == 0 && readBack == 0 && vendor_page::CarriesValidChecksum(crc_, scratch);
}

} // namespace kelvara
