// The WinUSB backend's calls on Windows: SetupAPI finds the boards that our
// driver package bound to WinUSB, WinUSB moves the data. The only file of the
// product that includes <winusb.h> and <setupapi.h>.

#include "winapi/winusb_calls.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include "winapi/interface_guid.h"  // generated from windows/nebu-board.inf

#include <map>
#include <vector>

namespace winapi::winusb {

namespace {

constexpr GUID interface_guid = NEBU_INTERFACE_GUID;

// A string property of the device, the first string of a multi-string; empty
// when the device has none.
std::string registry_string(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD property)
{
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyA(set, &info, property, nullptr, nullptr, 0, &size);
    if (size == 0)
        return {};
    std::vector<char> text(size + 2, '\0');
    if (!SetupDiGetDeviceRegistryPropertyA(set, &info, property, nullptr, reinterpret_cast<BYTE*>(text.data()),
                                           size, nullptr))
        return {};
    return std::string(text.data());
}

std::string instance_id(HDEVINFO set, SP_DEVINFO_DATA& info)
{
    DWORD size = 0;
    SetupDiGetDeviceInstanceIdA(set, &info, nullptr, 0, &size);
    std::vector<char> text(size + 1, '\0');
    if (size == 0 || !SetupDiGetDeviceInstanceIdA(set, &info, text.data(), size, nullptr))
        return {};
    return std::string(text.data());
}

class SystemCalls final : public Calls {
public:
    std::vector<Interface> interfaces() override
    {
        std::vector<Interface> found;
        const HDEVINFO set = SetupDiGetClassDevsA(&interface_guid, nullptr, nullptr,
                                                  DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE)
            return found;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interface_guid, index, &data))
                break;
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
            if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
                continue;
            // DWORD elements: the detail record starts with a DWORD.
            std::vector<DWORD> space((size + sizeof(DWORD)) / sizeof(DWORD) + 1, 0);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(space.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            SP_DEVINFO_DATA info{};
            info.cbSize = sizeof info;
            if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, &info))
                continue;
            std::string key = registry_string(set, info, SPDRP_LOCATION_PATHS);
            if (key.empty())
                key = instance_id(set, info);
            found.push_back({detail->DevicePath, std::move(key)});
        }
        SetupDiDestroyDeviceInfoList(set);
        return found;
    }

    std::optional<Device> open(const std::string& path) override
    {
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return std::nullopt;
        WINUSB_INTERFACE_HANDLE usb = nullptr;
        if (!WinUsb_Initialize(file, &usb)) {
            CloseHandle(file);
            return std::nullopt;
        }
        const Device device = next_++;
        open_.emplace(device, Open{file, usb});
        return device;
    }

    void close(Device device) override
    {
        const auto it = open_.find(device);
        if (it == open_.end())
            return;
        WinUsb_Free(it->second.usb);
        CloseHandle(it->second.file);
        open_.erase(it);
    }

    std::optional<std::uint8_t> pipe(Device device, std::uint8_t index) override
    {
        WINUSB_PIPE_INFORMATION info{};
        const WINUSB_INTERFACE_HANDLE usb = handle(device);
        if (usb == nullptr || !WinUsb_QueryPipe(usb, 0, index, &info))
            return std::nullopt;
        return info.PipeId;
    }

    bool set_timeout(Device device, std::uint8_t endpoint, std::uint32_t milliseconds) override
    {
        ULONG value = milliseconds;
        const WINUSB_INTERFACE_HANDLE usb = handle(device);
        return usb != nullptr && WinUsb_SetPipePolicy(usb, endpoint, PIPE_TRANSFER_TIMEOUT, sizeof value, &value);
    }

    bool control(Device device, const Setup& setup, std::uint8_t* data, std::uint32_t& transferred) override
    {
        const WINUSB_INTERFACE_HANDLE usb = handle(device);
        if (usb == nullptr)
            return false;
        WINUSB_SETUP_PACKET packet{};
        packet.RequestType = setup.request_type;
        packet.Request = setup.request;
        packet.Value = setup.value;
        packet.Index = setup.index;
        packet.Length = setup.length;
        ULONG moved = 0;
        const BOOL ok = WinUsb_ControlTransfer(usb, packet, data, setup.length, &moved, nullptr);
        transferred = moved;
        return ok != FALSE;
    }

    bool read(Device device, std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length,
              std::uint32_t& transferred) override
    {
        const WINUSB_INTERFACE_HANDLE usb = handle(device);
        ULONG moved = 0;
        const bool ok = usb != nullptr && WinUsb_ReadPipe(usb, endpoint, data, length, &moved, nullptr);
        transferred = moved;
        return ok;
    }

    bool write(Device device, std::uint8_t endpoint, const std::uint8_t* data, std::uint32_t length,
               std::uint32_t& transferred) override
    {
        const WINUSB_INTERFACE_HANDLE usb = handle(device);
        ULONG moved = 0;
        // WinUsb_WritePipe only reads the buffer.
        const bool ok = usb != nullptr &&
                        WinUsb_WritePipe(usb, endpoint, const_cast<std::uint8_t*>(data), length, &moved, nullptr);
        transferred = moved;
        return ok;
    }

    bool reset_pipe(Device device, std::uint8_t endpoint) override
    {
        const WINUSB_INTERFACE_HANDLE usb = handle(device);
        return usb != nullptr && WinUsb_ResetPipe(usb, endpoint);
    }

private:
    struct Open {
        HANDLE file;
        WINUSB_INTERFACE_HANDLE usb;
    };

    WINUSB_INTERFACE_HANDLE handle(Device device) const
    {
        const auto it = open_.find(device);
        return it == open_.end() ? nullptr : it->second.usb;
    }

    std::map<Device, Open> open_;
    Device next_ = 1;
};

}  // namespace

Calls& system_calls()
{
    static SystemCalls calls;
    return calls;
}

}  // namespace winapi::winusb
