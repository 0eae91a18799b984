// The Windows-call stand-in: routes the four calls to the installed backend.

#include "winapi/backend.h"
#include "winapi/default_backend.h"
#include "winapi/device_path.h"
#include "winapi/winapi.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace {

class NoBoard final : public winapi::Backend {
public:
    std::optional<winapi::Connection> open(const winapi::OpenRequest&) override { return std::nullopt; }
    BOOL io_control(winapi::Connection, DWORD, const void*, DWORD, void*, DWORD, DWORD*) override
    {
        return 0;
    }
    void close(winapi::Connection) override {}
    void sleep(DWORD milliseconds) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

struct OpenHandle {
    winapi::Backend* backend;
    winapi::Connection connection;
};

struct Registry {
    std::mutex mutex;
    winapi::Backend* backend = &winapi::default_backend();
    std::unordered_map<std::uintptr_t, OpenHandle> handles;
    // Handle values are never reused, so a closed handle stays invalid. They
    // step by 4 from 0x100 as Windows' do, away from 0 and from the invalid value.
    std::uintptr_t next_handle = 0x100;
};

Registry& registry()
{
    static Registry r;
    return r;
}

// The backend and connection behind a handle, if it is one of ours and open.
std::optional<OpenHandle> lookup(HANDLE handle, bool forget)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == r.handles.end())
        return std::nullopt;
    OpenHandle found = it->second;
    if (forget)
        r.handles.erase(it);
    return found;
}

}  // namespace

namespace winapi {

Backend& no_board_backend()
{
    static NoBoard backend;
    return backend;
}

Backend* install_backend(Backend* backend)
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    Backend* previous = r.backend;
    r.backend = backend != nullptr ? backend : &no_board_backend();
    r.handles.clear();
    return previous;
}

std::vector<BoardEntry> list_boards()
{
    Registry& r = registry();
    Backend* backend;
    {
        std::lock_guard lock(r.mutex);
        backend = r.backend;
    }
    return backend->list();
}

}  // namespace winapi

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE)
{
    const int device = winapi::device_number(lpFileName);
    if (device < 0)
        return INVALID_HANDLE_VALUE;

    Registry& r = registry();
    winapi::Backend* backend;
    {
        std::lock_guard lock(r.mutex);
        backend = r.backend;
    }
    const winapi::OpenRequest request{device, lpFileName, dwDesiredAccess, dwShareMode,
                                      dwCreationDisposition, dwFlagsAndAttributes};
    const std::optional<winapi::Connection> connection = backend->open(request);
    if (!connection)
        return INVALID_HANDLE_VALUE;

    std::lock_guard lock(r.mutex);
    const std::uintptr_t value = r.next_handle;
    r.next_handle += 4;
    r.handles.emplace(value, OpenHandle{backend, *connection});
    return reinterpret_cast<HANDLE>(value);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped != nullptr || lpBytesReturned == nullptr)
        return 0;
    const std::optional<OpenHandle> open = lookup(hDevice, false);
    if (!open)
        return 0;
    *lpBytesReturned = 0;
    return open->backend->io_control(open->connection, dwIoControlCode, lpInBuffer, nInBufferSize,
                                     lpOutBuffer, nOutBufferSize, lpBytesReturned);
}

BOOL CloseHandle(HANDLE hObject)
{
    const std::optional<OpenHandle> open = lookup(hObject, true);
    if (!open)
        return 0;
    open->backend->close(open->connection);
    return 1;
}

void Sleep(DWORD dwMilliseconds)
{
    Registry& r = registry();
    winapi::Backend* backend;
    {
        std::lock_guard lock(r.mutex);
        backend = r.backend;
    }
    backend->sleep(dwMilliseconds);
}
