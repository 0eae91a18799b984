// The router between kernel32's driver calls and the WinUSB backend.

#include "winapi/route.h"

#include "winapi/device_path.h"
#include "winapi/winusb_boards.h"

#include <cstdint>
#include <map>

namespace {

struct Router {
    winapi::winusb::Boards boards{winapi::winusb::system_calls()};
    std::map<HANDLE, winapi::winusb::Boards::Connection> open;  // the router's handles
};

Router& router()
{
    static Router r;
    return r;
}

}  // namespace

namespace winapi::route {

HANDLE create_file(LPCSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE template_file)
{
    const HANDLE handle = ::CreateFileA(path, access, share_mode, security, disposition, flags, template_file);
    const int device = device_number(path);
    if (handle != INVALID_HANDLE_VALUE || device < 0)
        return handle;

    const DWORD error = GetLastError();  // the driver's answer stays the caller's
    Router& r = router();
    const auto connection = r.boards.open(device);
    if (!connection) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE own = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (own == nullptr) {
        r.boards.close(*connection);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    r.open.emplace(own, *connection);
    return own;
}

BOOL device_io_control(HANDLE device, DWORD code, LPVOID in, DWORD in_length, LPVOID out, DWORD out_length,
                       LPDWORD returned, LPOVERLAPPED overlapped)
{
    Router& r = router();
    const auto it = r.open.find(device);
    if (it == r.open.end())
        return ::DeviceIoControl(device, code, in, in_length, out, out_length, returned, overlapped);
    if (overlapped != nullptr || returned == nullptr)
        return FALSE;
    std::uint32_t count = 0;
    const bool ok = r.boards.io_control(it->second, code, in, in_length, out, out_length, count);
    *returned = count;
    return ok ? TRUE : FALSE;
}

BOOL close_handle(HANDLE handle)
{
    Router& r = router();
    const auto it = r.open.find(handle);
    if (it == r.open.end())
        return ::CloseHandle(handle);
    r.boards.close(it->second);
    r.open.erase(it);
    return ::CloseHandle(handle);
}

std::vector<winusb::Listed> winusb_boards()
{
    return router().boards.list();
}

}  // namespace winapi::route
