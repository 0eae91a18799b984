// The WinUSB and SetupAPI calls the WinUSB backend makes, as one narrow seam.
//
// On Windows, winusb_windows.cpp makes them for real (it is the one file that
// includes <winusb.h> and <setupapi.h>); elsewhere a test puts a recording
// fake with a virtual board behind it, so the mapping in winusb_boards.cpp
// is the same code on both. Each call names the Windows calls it stands for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winapi::winusb {

// One present board bound to WinUSB with our device interface.
struct Interface {
    std::string path;  // the device interface path, to open it by
    std::string key;   // its stable key: the first location path, else the device instance id
};

// WINUSB_SETUP_PACKET.
struct Setup {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
};

// The seam's name for an open board (file handle and WinUSB interface handle).
using Device = std::uint64_t;

class Calls {
public:
    virtual ~Calls() = default;

    // SetupDiGetClassDevs(our interface GUID, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
    // SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetail and, for
    // the key, SetupDiGetDeviceRegistryProperty(SPDRP_LOCATION_PATHS) or
    // SetupDiGetDeviceInstanceId. In the order the system lists them.
    virtual std::vector<Interface> interfaces() = 0;
    // CreateFile(path, overlapped I/O) and WinUsb_Initialize; nothing when either fails.
    virtual std::optional<Device> open(const std::string& path) = 0;
    // WinUsb_Free and CloseHandle.
    virtual void close(Device device) = 0;
    // WinUsb_QueryPipe(alternate setting 0, index): the endpoint address, or
    // nothing past the last endpoint.
    virtual std::optional<std::uint8_t> pipe(Device device, std::uint8_t index) = 0;
    // WinUsb_SetPipePolicy(PIPE_TRANSFER_TIMEOUT).
    virtual bool set_timeout(Device device, std::uint8_t endpoint, std::uint32_t milliseconds) = 0;
    // WinUsb_ControlTransfer: `data` holds setup.length bytes (sent or filled).
    virtual bool control(Device device, const Setup& setup, std::uint8_t* data, std::uint32_t& transferred) = 0;
    // WinUsb_ReadPipe and WinUsb_WritePipe, synchronous.
    virtual bool read(Device device, std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length,
                      std::uint32_t& transferred) = 0;
    virtual bool write(Device device, std::uint8_t endpoint, const std::uint8_t* data, std::uint32_t length,
                       std::uint32_t& transferred) = 0;
    // WinUsb_ResetPipe.
    virtual bool reset_pipe(Device device, std::uint8_t endpoint) = 0;
};

// The real calls (Windows builds only).
Calls& system_calls();

}  // namespace winapi::winusb
