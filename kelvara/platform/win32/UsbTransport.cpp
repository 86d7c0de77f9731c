// UsbChannel on Windows: the reader's driver registers a device interface
// under GUID_DEVINTERFACE_CARD_READER; member 0 of that class is opened
// with CreateFileA and driven with buffered DeviceIoControl requests. Every
// call to the system goes through the table of UsbDeviceApi.h.
#include "kelvara/readers/usb/UsbChannel.h"

#include "kelvara/platform/win32/UsbDeviceApi.h"

#include <cstdlib>

namespace kelvara {
namespace {

// {C9EC84C2-4333-44AA-B82E-B3DA46DB33FB}
const GUID kCardReaderInterface = {0xC9EC84C2, 0x4333, 0x44AA, {0xB8, 0x2E, 0xB3, 0xDA, 0x46, 0xDB, 0x33, 0xFB}};

HANDLE H(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

const UsbDeviceApi kSystemApi = {&::SetupDiGetClassDevsA,
                                 &::SetupDiEnumDeviceInterfaces,
                                 &::SetupDiGetDeviceInterfaceDetailA,
                                 &::SetupDiDestroyDeviceInfoList,
                                 &::CreateFileA,
                                 &::DeviceIoControl,
                                 &::CloseHandle};
const UsbDeviceApi *g_api = &kSystemApi;

// Owns a device-information list.
class DeviceInfoList {
public:
    explicit DeviceInfoList(HDEVINFO list)
        : list_(list)
    {
    }
    ~DeviceInfoList()
    {
        if (Valid())
            CurrentUsbDeviceApi().destroyDeviceInfoList(list_);
    }
    DeviceInfoList(const DeviceInfoList &) = delete;
    DeviceInfoList &operator=(const DeviceInfoList &) = delete;
    bool Valid() const { return list_ != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const { return list_; }

private:
    HDEVINFO list_;
};

// Owns the interface-detail buffer.
struct DetailBuffer {
    explicit DetailBuffer(DWORD size)
        : data(static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(std::malloc(size)))
    {
    }
    ~DetailBuffer() { std::free(data); }
    DetailBuffer(const DetailBuffer &) = delete;
    DetailBuffer &operator=(const DetailBuffer &) = delete;
    SP_DEVICE_INTERFACE_DETAIL_DATA_A *data;
};

} // namespace

const UsbDeviceApi &CurrentUsbDeviceApi() { return *g_api; }

const UsbDeviceApi *ReplaceUsbDeviceApi(const UsbDeviceApi *api)
{
    const UsbDeviceApi *previous = g_api;
    g_api = api != nullptr ? api : &kSystemApi;
    return previous;
}

bool UsbNeedsLegacyTransfers()
{
    // Windows 98 (not 95, not Me, not NT) has only the legacy requests.
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = ::GetVersionExA(&info);
#pragma GCC diagnostic pop
    return known && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && info.dwMinorVersion == 10;
}

std::uint32_t UsbChannel::Open()
{
    const UsbDeviceApi &os = CurrentUsbDeviceApi();
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
    DeviceInfoList list(
        os.getClassDevs(&kCardReaderInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!list.Valid())
        return ::GetLastError();

    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!os.enumDeviceInterfaces(list.Get(), nullptr, &kCardReaderInterface, 0, &interfaceData))
        return ::GetLastError(); // ERROR_NO_MORE_ITEMS: no reader plugged in

    DWORD required = 0;
    os.getDeviceInterfaceDetail(list.Get(), &interfaceData, nullptr, 0, &required, nullptr);
    const DWORD sizing = ::GetLastError();
    if (sizing != ERROR_INSUFFICIENT_BUFFER)
        return sizing;

    DetailBuffer detail(required);
    if (detail.data == nullptr)
        return usb_error::kNotEnoughMemory;
    detail.data->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!os.getDeviceInterfaceDetail(list.Get(), &interfaceData, detail.data, required, nullptr, nullptr))
        return ::GetLastError();

    const HANDLE device =
        os.createFile(detail.data->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::uint32_t result = 0;
    if (device == INVALID_HANDLE_VALUE)
        result = ::GetLastError();
    handle_ = reinterpret_cast<std::intptr_t>(device);
    return result;
}

void UsbChannel::Close()
{
    const HANDLE h = H(handle_);
    if (handle_ != kNoHandle && h != INVALID_HANDLE_VALUE && h != nullptr)
        CurrentUsbDeviceApi().closeHandle(h);
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

bool UsbChannel::IsOpen() const
{
    const HANDLE h = H(handle_);
    return handle_ != kNoHandle && h != INVALID_HANDLE_VALUE && h != nullptr;
}

std::uint32_t UsbChannel::Transfer(std::uint32_t request, std::uint32_t length, const std::uint8_t *frame,
                                   std::uint8_t *reply)
{
    (void)answerTimeoutMs_; // the driver keeps its own time-outs
    (void)sequence_;
    const UsbDeviceApi &os = CurrentUsbDeviceApi();
    DWORD moved = 0;
    void *input = const_cast<std::uint8_t *>(frame);
    if (!os.deviceIoControl(H(handle_), request, input, length, reply, length, &moved, nullptr)) {
        const DWORD e = ::GetLastError();
        DWORD ignored = 0;
        os.deviceIoControl(H(handle_), usb_request::kRecover, input, length, reply, length, &ignored, nullptr);
        return e;
    }
    const bool legacy = request == usb_request::kSendLegacy || request == usb_request::kReceiveLegacy;
    return legacy && moved == 0 ? usb_error::kBufferOverflow : 0;
}

} // namespace kelvara
