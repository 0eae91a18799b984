// The four Windows calls the host link makes, and the names they use.
//
// On Windows this is <windows.h>, with CreateFileA, DeviceIoControl and
// CloseHandle routed (winapi/route.h): the EZ-USB driver's device path first,
// as written, then a board bound to WinUSB. Only the winapi module includes
// <windows.h> otherwise. Elsewhere it declares the same names with the same
// parameter lists, and the calls are served by a pluggable board backend
// (winapi/backend.h), so the host link compiles unchanged on both.
#pragma once

#ifdef _WIN32

#include "winapi/route.h"  // <windows.h> whole, before the names are mapped

#define CreateFileA ::winapi::route::create_file
#define DeviceIoControl ::winapi::route::device_io_control
#define CloseHandle ::winapi::route::close_handle

#else

#include <cstdint>

using HANDLE = void*;
using DWORD = std::uint32_t;
using BOOL = int;
using LPVOID = void*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;

// Only ever passed as null pointers here.
struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPOVERLAPPED = OVERLAPPED*;

inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
inline constexpr DWORD OPEN_EXISTING = 3;
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

// Opens "\\.\ezusb-N" through the installed backend. Any other path, or a
// device that the backend does not answer for, gives INVALID_HANDLE_VALUE.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Synchronous only: a non-null lpOverlapped, a null lpBytesReturned or an
// unknown handle makes the call fail (result 0).
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);

// Fails (result 0) on a handle that is unknown or already closed.
BOOL CloseHandle(HANDLE hObject);

// Passed to the installed backend: tests record it, the virtual board counts
// it on its own clock, the no-board backend really sleeps.
void Sleep(DWORD dwMilliseconds);

#endif
