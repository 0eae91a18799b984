// The host link: everything the host does through the EZ-USB general-purpose
// device driver. Blocking calls, no state of its own: the caller owns the
// handle variable and passes its address. Results are 0 (or a byte count) for
// success and -1 for failure; only the three firmware-load steps print.
#pragma once

#include "winapi/winapi.h"

#include <cstdint>

namespace cusb {

// Driver control codes (DeviceIoControl).
inline constexpr DWORD ioctl_vendor_request = 0x00222014;  // in: vendor request record, 10 bytes
inline constexpr DWORD ioctl_download = 0x0022201C;        // in: image bytes, loaded from 0x0000
inline constexpr DWORD ioctl_reset_pipe = 0x00222035;      // in: pipe number, 4 bytes
inline constexpr DWORD ioctl_get_string = 0x00222044;      // in: string request, 4 bytes; out: 130 bytes
inline constexpr DWORD ioctl_bulk_write = 0x00222051;      // in: pipe number; out argument: the data
inline constexpr DWORD ioctl_bulk_read = 0x0022204E;       // in: pipe number; out: the space to fill

// Vendor request 0xA0 reaches the controller's built-in RAM loader; with value
// CPUCS and one data byte it holds (1) or releases (0) the 8051.
inline constexpr std::uint8_t loader_request = 0xA0;
inline constexpr std::uint16_t CPUCS = 0x7F92;

// Our firmware's engine reset request (vendor, device to host, one byte):
// the port engine back to its start state, whatever an earlier program left
// behind. The reply byte says what was found (engine_found_*).
inline constexpr std::uint8_t engine_reset_request = 0xB0;
inline constexpr std::uint16_t engine_reset_value = 0x4E45;
inline constexpr std::uint8_t engine_found_stream = 0x01;  // a stream was outstanding
inline constexpr std::uint8_t engine_found_parked = 0x02;  // a script was parked
inline constexpr std::uint8_t engine_can_pace = 0x04;      // the image paces bus-to-host streams

inline constexpr std::uint16_t string_language = 0x001B;
inline constexpr int string_reply_size = 130;
inline constexpr int max_string_chars = (string_reply_size - 2) / 2;  // text buffers hold 65 bytes

inline constexpr int max_chunk = 0x8000;     // bytes per bulk driver call
inline constexpr int image_size = 4096;      // the firmware image, 8051 addresses 0x0000-0x0FFF
inline constexpr DWORD reopen_wait_ms = 2000;

}  // namespace cusb

// Opens "\\.\ezusb-<device>". The handle is stored even when the open fails
// (then INVALID_HANDLE_VALUE).
int usb_open(int device, HANDLE* handle);
// Closes the handle; the variable keeps its value. Always 0.
int usb_close(HANDLE* handle);
// Holds the 8051 in reset. Prints "i8051 halt err." on failure.
int usb_halt(HANDLE* handle);
// Lets the 8051 run. Prints "i8051 run err." on failure.
int usb_run(HANDLE* handle);
// Loads `length` bytes into the 8051's RAM from 0x0000. Prints "usb dwnload err." on failure.
int usb_dwnload(HANDLE* handle, const unsigned char* image, int length);
// Resets one pipe.
int usb_resetpipe(HANDLE* handle, int pipe);
// Puts the firmware's port engine back to its start state: streams
// cancelled, replies not yet read taken back, a parked script dropped, port
// C and the strobe timing as after start-up. 0 when the firmware answered
// with its one byte (stored in `found` unless null), else -1: a firmware
// without the request stalls it. Prints nothing.
int usb_engine_reset(HANDLE* handle, unsigned char* found);
// Reads string descriptor `index` into `text` as 8-bit characters (the low
// byte of each UTF-16 unit) with a terminating zero: at most 64 characters, so
// `text` holds at least 65 bytes. Nothing is written when the request fails.
int usb_get_string(HANDLE* handle, int index, char* text);
// Sends `length` bytes on a pipe in driver calls of at most 32,768 bytes.
// 0 or -1 at the first failed call; a length of 0 or less sends nothing.
int usb_bulk_write(HANDLE* handle, int pipe, const unsigned char* data, int length);
// Receives up to `length` bytes from a pipe in driver calls of at most
// 32,768 bytes. Returns the bytes received, or -1 at the first failed call.
// A chunk that comes back short ends the transfer, as a short packet does.
int usb_bulk_read(HANDLE* handle, int pipe, unsigned char* data, int length);
// Progress of a firmware load, for a caller that shows it to a person:
// called with `download` before the 8051 is held and with `wait` before each
// 2-second wait for the board to come back (`waited_ms` so far). The host
// link prints nothing itself; by default nobody is told.
enum class cusb_stage { download, wait };
using cusb_progress_fn = void (*)(cusb_stage stage, unsigned long waited_ms);
// Sets the process's progress reporter; nullptr for none.
void cusb_set_progress(cusb_progress_fn report);

// Holds the 8051, downloads the 4,096-byte image, releases it, closes the
// handle and reopens the board every 2 s until it is back under the new
// firmware. 0 with the handle open, or -1 (after the failed step's message).
int cusb_reload(int device, HANDLE* handle, const unsigned char* image);
// Opens the board and makes sure it runs the firmware that names itself with
// the two identity strings (string descriptors 1 and 2); otherwise holds the
// 8051, downloads the 4,096-byte image, releases it and reopens the board
// every 2 s until it is back. 0 with the handle open, or -1.
int cusb_init(int device, HANDLE* handle, const unsigned char* image, const char* id1,
              const char* id2);
