// The USB reader stand-in: the checked system calls and the simulator device.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/remote/win32/UsbDeviceStandIn.h"

#include "kelvara/platform/win32/UsbDeviceApi.h"
#include "kelvara/readers/usb/UsbChannel.h"
#include "kelvara/readers/usb/UsbSocketWire.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wqn::host::usb {
namespace {

using kelvara::usb_request::kRecover;

// {C9EC84C2-4333-44AA-B82E-B3DA46DB33FB}, written out here on its own.
const GUID kCardReader = {0xC9EC84C2, 0x4333, 0x44AA, {0xB8, 0x2E, 0xB3, 0xDA, 0x46, 0xDB, 0x33, 0xFB}};
const char kPath[] = "\\\\?\\usb#vid_5751&pid_0626#wqn0001#{c9ec84c2-4333-44aa-b82e-b3da46db33fb}";

struct State {
    Device *device = nullptr;
    int lists = 0; // device-information lists not yet destroyed
    bool open = false;
    // The request that failed last, which the recovery request must repeat.
    bool recoveryDue = false;
    DWORD failedSize = 0;
    const void *failedIn = nullptr;
    const void *failedOut = nullptr;
    std::vector<std::string> calls;
    std::vector<std::string> breaches;
};

State g_state;
char g_listToken;
char g_handleToken;

HDEVINFO ListHandle() { return reinterpret_cast<HDEVINFO>(&g_listToken); }
HANDLE DeviceHandle() { return reinterpret_cast<HANDLE>(&g_handleToken); }

void Breach(const std::string &what) { g_state.breaches.push_back(what); }

std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(value));
    return text;
}

// A call that is not the recovery request owed after a failure.
void CheckNoRecoveryDue(const char *call)
{
    if (g_state.recoveryDue) {
        Breach(std::string(call) + " instead of the recovery request after a failed request");
        g_state.recoveryDue = false;
    }
}

HDEVINFO WINAPI GetClassDevs(const GUID *classGuid, PCSTR enumerator, HWND parent, DWORD flags)
{
    CheckNoRecoveryDue("list");
    g_state.calls.push_back("list");
    if (classGuid == nullptr || !IsEqualGUID(*classGuid, kCardReader))
        Breach("the device list asked for another interface class");
    if (enumerator != nullptr || parent != nullptr)
        Breach("the device list asked with an enumerator or a window");
    if (flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE))
        Breach("the device list asked with flags " + Hex(flags));
    ++g_state.lists;
    ::SetLastError(ERROR_SUCCESS);
    return ListHandle();
}

BOOL WINAPI EnumDeviceInterfaces(HDEVINFO list, PSP_DEVINFO_DATA device, const GUID *classGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data)
{
    g_state.calls.push_back("enum " + std::to_string(index));
    if (list != ListHandle())
        Breach("an interface looked up in a list not obtained");
    if (device != nullptr || classGuid == nullptr || !IsEqualGUID(*classGuid, kCardReader))
        Breach("an interface looked up with a device filter or another class");
    if (index != 0)
        Breach("interface member " + std::to_string(index) + " looked up; only member 0 is the reader");
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        Breach("the interface data's size field is not the structure's size");
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (int(index) >= g_state.device->Plugged()) {
        ::SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = kCardReader;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index + 1;
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI GetDeviceInterfaceDetail(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, PDWORD requiredSize,
                                     PSP_DEVINFO_DATA device)
{
    const DWORD required = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + sizeof kPath);
    if (list != ListHandle() || data == nullptr || data->Reserved == 0 || device != nullptr)
        Breach("interface details asked for an interface not enumerated");
    if (detail == nullptr) {
        g_state.calls.push_back("detail size");
        if (detailSize != 0 || requiredSize == nullptr)
            Breach("the size query passed a size or no place for the answer");
        if (requiredSize != nullptr)
            *requiredSize = required;
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    g_state.calls.push_back("detail");
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        Breach("the detail's size field is " + std::to_string(detail->cbSize) + ", not the fixed part's size " +
               std::to_string(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
    if (detailSize < required) {
        Breach("the detail buffer has " + std::to_string(detailSize) + " bytes, " + std::to_string(required) +
               " are needed");
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, kPath, sizeof kPath);
    if (requiredSize != nullptr)
        *requiredSize = required;
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI DestroyDeviceInfoList(HDEVINFO list)
{
    g_state.calls.push_back("destroy");
    if (list != ListHandle() || g_state.lists <= 0) {
        Breach("a device list destroyed that was not obtained");
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --g_state.lists;
    return TRUE;
}

HANDLE WINAPI CreateFileStandIn(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile)
{
    CheckNoRecoveryDue("open");
    g_state.calls.push_back("open");
    if (name == nullptr || std::strcmp(name, kPath) != 0) {
        Breach(std::string("opened ") + (name != nullptr ? name : "(null)") + ", not the reader's device path");
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (access != (GENERIC_READ | GENERIC_WRITE) || share != (FILE_SHARE_READ | FILE_SHARE_WRITE) ||
        security != nullptr || disposition != OPEN_EXISTING || flags != FILE_ATTRIBUTE_NORMAL ||
        templateFile != nullptr)
        Breach("the reader opened with other access, sharing or flags");
    if (g_state.open)
        Breach("the reader opened again while open");
    const DWORD error = g_state.device->Open();
    if (error != 0) {
        ::SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    g_state.open = true;
    ::SetLastError(ERROR_SUCCESS);
    return DeviceHandle();
}

BOOL WINAPI DeviceIoControlStandIn(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                   LPDWORD returned, LPOVERLAPPED overlapped)
{
    const bool recovery = code == kRecover;
    g_state.calls.push_back((recovery ? "recover " : "request " + Hex(code) + " ") + std::to_string(inSize));
    if (recovery) {
        if (!g_state.recoveryDue)
            Breach("a recovery request without a failed request before it");
        else if (in != g_state.failedIn || out != g_state.failedOut || inSize != g_state.failedSize)
            Breach("the recovery request did not carry the failed request's buffers and lengths");
        g_state.recoveryDue = false;
    } else {
        CheckNoRecoveryDue("a request");
        if (code != kelvara::usb_request::kReceiveLegacy && code != kelvara::usb_request::kSendLegacy &&
            code != kelvara::usb_request::kReceive && code != kelvara::usb_request::kSend)
            Breach("request code " + Hex(code) + " is not one of the driver's");
    }
    if (in == nullptr || out == nullptr || inSize != outSize)
        Breach("a request whose input and output buffers are missing or differ in size");
    if (returned == nullptr || overlapped != nullptr)
        Breach("a request without a count of returned bytes, or overlapped");

    DWORD error = 0;
    DWORD moved = 0;
    if (handle != DeviceHandle() || !g_state.open)
        error = ERROR_INVALID_HANDLE;
    else if (in == nullptr || out == nullptr)
        error = ERROR_INVALID_PARAMETER;
    else
        error = g_state.device->Request(code, static_cast<const std::uint8_t *>(in), inSize,
                                        static_cast<std::uint8_t *>(out), &moved);
    if (returned != nullptr)
        *returned = error == 0 ? moved : 0;
    if (error != 0 && !recovery) {
        g_state.recoveryDue = true;
        g_state.failedIn = in;
        g_state.failedOut = out;
        g_state.failedSize = inSize;
    }
    ::SetLastError(error);
    return error == 0;
}

BOOL WINAPI CloseHandleStandIn(HANDLE handle)
{
    CheckNoRecoveryDue("close");
    g_state.calls.push_back("close");
    if (handle != DeviceHandle() || !g_state.open) {
        Breach("closed a handle that is not the open reader's");
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_state.open = false;
    g_state.device->Close();
    return TRUE;
}

const kelvara::UsbDeviceApi kStandInApi = {&GetClassDevs,          &EnumDeviceInterfaces, &GetDeviceInterfaceDetail,
                                           &DestroyDeviceInfoList, &CreateFileStandIn,    &DeviceIoControlStandIn,
                                           &CloseHandleStandIn};

} // namespace

StandIn::StandIn(Device &device)
{
    g_state = State{};
    g_state.device = &device;
    kelvara::ReplaceUsbDeviceApi(&kStandInApi);
}

StandIn::~StandIn()
{
    kelvara::ReplaceUsbDeviceApi(nullptr);
    if (g_state.open)
        g_state.device->Close();
    g_state = State{};
}

const std::vector<std::string> &StandIn::Calls() const { return g_state.calls; }
const std::vector<std::string> &StandIn::Breaches() const { return g_state.breaches; }

void StandIn::Clear()
{
    g_state.calls.clear();
    g_state.breaches.clear();
}

const char *StandIn::DevicePath() { return kPath; }

// --- the simulator behind the relay ------------------------------------------

namespace {

constexpr int kAnswerTimeoutMs = 3000;

bool SendAll(SOCKET s, const std::uint8_t *bytes, std::size_t count)
{
    while (count > 0) {
        const int n = ::send(s, reinterpret_cast<const char *>(bytes), int(count), 0);
        if (n <= 0)
            return false;
        bytes += n;
        count -= std::size_t(n);
    }
    return true;
}

// 0, or the Windows error code of what went wrong.
DWORD ReceiveAll(SOCKET s, std::uint8_t *bytes, std::size_t count)
{
    while (count > 0) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait{kAnswerTimeoutMs / 1000, (kAnswerTimeoutMs % 1000) * 1000};
        const int ready = ::select(0, &readable, nullptr, nullptr, &wait);
        if (ready == 0)
            return ERROR_SEM_TIMEOUT; // the driver gives up on a silent reader
        const int n = ready > 0 ? ::recv(s, reinterpret_cast<char *>(bytes), int(count), 0) : -1;
        if (n <= 0)
            return ERROR_DEVICE_NOT_CONNECTED;
        bytes += n;
        count -= std::size_t(n);
    }
    return 0;
}

} // namespace

SimulatorDevice::SimulatorDevice()
    : socket_(INVALID_SOCKET)
{
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    if (const char *address = std::getenv("WQN_USB_READER_TCP"))
        address_ = address;
}

SimulatorDevice::~SimulatorDevice()
{
    Close();
    ::WSACleanup();
}

int SimulatorDevice::Plugged() { return address_.empty() ? 0 : 1; }

DWORD SimulatorDevice::Open()
{
    Close();
    const auto colon = address_.rfind(':');
    if (colon == std::string::npos)
        return ERROR_FILE_NOT_FOUND;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(std::atoi(address_.c_str() + colon + 1)));
    peer.sin_addr.s_addr = ::inet_addr(address_.substr(0, colon).c_str());
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (::connect(s, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
        ::closesocket(s);
        return ERROR_FILE_NOT_FOUND;
    }
    const BOOL noDelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&noDelay), sizeof noDelay);
    socket_ = s;
    return 0;
}

void SimulatorDevice::Close()
{
    if (socket_ != INVALID_SOCKET) {
        ::closesocket(SOCKET(socket_));
        socket_ = INVALID_SOCKET;
    }
}

DWORD SimulatorDevice::Request(DWORD code, const std::uint8_t *in, DWORD size, std::uint8_t *out, DWORD *moved)
{
    namespace wire = kelvara::usb_wire;
    const SOCKET s = SOCKET(socket_);
    if (s == INVALID_SOCKET)
        return ERROR_INVALID_HANDLE;
    if (size > wire::kMaxPayload)
        return ERROR_INVALID_PARAMETER;
    const std::uint32_t sequence = ++sequence_;
    const wire::Header request = wire::Pack(code, sequence, size);
    if (!SendAll(s, request.data(), request.size()) ||
        (wire::CarriesRequestBytes(code) && size > 0 && !SendAll(s, in, size)))
        return ERROR_DEVICE_NOT_CONNECTED;
    for (;;) {
        wire::Header answer{};
        if (const DWORD e = ReceiveAll(s, answer.data(), answer.size()))
            return e;
        const std::uint32_t status = wire::Field(answer, 1);
        const std::uint32_t count = wire::Field(answer, 2);
        std::vector<std::uint8_t> bytes;
        if (wire::CarriesAnswerBytes(code) && count > 0) {
            if (count > wire::kMaxPayload)
                return ERROR_GEN_FAILURE;
            bytes.resize(count);
            if (const DWORD e = ReceiveAll(s, bytes.data(), count))
                return e;
        }
        if (wire::Field(answer, 0) != sequence)
            continue; // the late answer to a request given up on
        if (status != 0)
            return status;
        const DWORD n = std::min<DWORD>(count, size);
        if (!bytes.empty())
            std::memcpy(out, bytes.data(), n);
        *moved = n;
        return 0;
    }
}

} // namespace wqn::host::usb
