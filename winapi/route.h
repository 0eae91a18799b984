// Windows: the two ways to a board behind the host link's calls.
//
// winapi.h maps CreateFileA, DeviceIoControl and CloseHandle onto these three
// for the host link. Opening "\\.\ezusb-N" asks kernel32 first, exactly as
// the call was written (so a PC with the EZ-USB general-purpose driver gets
// the same calls as always); only when that open fails does the router ask
// the WinUSB backend for board N (winusb_boards.h) and hand out a handle of
// its own for the connection (an event object of this process, so it can be
// no driver handle). Control and close calls on the router's handles go to
// the WinUSB backend, all others to kernel32 unchanged. One calling thread at
// a time. A listing (winapi/boards.h) calls kernel32 directly and asks the
// router for the WinUSB boards.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "winapi/winusb_boards.h"

#include <vector>

namespace winapi::route {

HANDLE create_file(LPCSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_length, LPVOID out, DWORD out_length,
                       LPDWORD returned, LPOVERLAPPED overlapped);
BOOL close_handle(HANDLE handle);

// The boards bound to WinUSB now, in the order device numbers take them.
std::vector<winusb::Listed> winusb_boards();

}  // namespace winapi::route
