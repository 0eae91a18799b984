// The six control codes of the board's driver, as DeviceIoControl takes
// them: one list for every backend that answers them in the driver's place
// (libusb, WinUSB). cusb/cusb.h names the same values for the tool's side.
#pragma once

#include <cstdint>

namespace winapi::driver_code {

inline constexpr std::uint32_t vendor_request = 0x00222014;  // a vendor request record, 10 bytes
inline constexpr std::uint32_t download = 0x0022201C;        // image bytes, loaded from 0x0000
inline constexpr std::uint32_t reset_pipe = 0x00222035;      // a pipe number, 4 bytes
inline constexpr std::uint32_t get_string = 0x00222044;      // a string request, 4 bytes
inline constexpr std::uint32_t bulk_read = 0x0022204E;       // a pipe number; the space to fill
inline constexpr std::uint32_t bulk_write = 0x00222051;      // a pipe number; the data

}  // namespace winapi::driver_code
