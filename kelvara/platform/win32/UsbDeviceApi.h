// The operating-system calls of the Windows USB transport (UsbTransport.cpp),
// gathered in one table: the Setup API enumeration of the reader's device
// interface, opening it, the driver's transfer requests and closing. The
// library always uses the system's functions; a test program that links the
// library's core statically may put a stand-in device behind the same calls
// and so drive the real transport code where no reader and no driver exist.
#pragma once

#include "common/win32/WindowsHeaders.h"

#include <setupapi.h>

namespace kelvara {

struct UsbDeviceApi {
    HDEVINFO(WINAPI *getClassDevs)(const GUID *classGuid, PCSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI *enumDeviceInterfaces)
    (HDEVINFO list, PSP_DEVINFO_DATA device, const GUID *classGuid, DWORD index, PSP_DEVICE_INTERFACE_DATA data);
    BOOL(WINAPI *getDeviceInterfaceDetail)
    (HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
     PDWORD requiredSize, PSP_DEVINFO_DATA device);
    BOOL(WINAPI *destroyDeviceInfoList)(HDEVINFO list);
    HANDLE(WINAPI *createFile)
    (LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
     HANDLE templateFile);
    BOOL(WINAPI *deviceIoControl)
    (HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
     LPOVERLAPPED overlapped);
    BOOL(WINAPI *closeHandle)(HANDLE handle);
};

// The calls in use: the system's unless a test replaced them.
const UsbDeviceApi &CurrentUsbDeviceApi();

// For tests: the calls of a stand-in device (null: the system's again).
// Returns the table in use before. The table must outlive its use.
const UsbDeviceApi *ReplaceUsbDeviceApi(const UsbDeviceApi *api);

} // namespace kelvara
