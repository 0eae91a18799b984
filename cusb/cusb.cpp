// The host link over the EZ-USB general-purpose driver.

#include "cusb/cusb.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// Whoever shows the progress of a firmware load; the only state the host
// link has, set once by a program that talks to a person.
cusb_progress_fn progress = nullptr;

// The driver reports success in the low byte of the result.
bool succeeded(BOOL result)
{
    return (static_cast<unsigned>(result) & 0xFFu) != 0;
}

BOOL control(HANDLE* handle, DWORD code, const void* in, DWORD in_length, void* out,
             DWORD out_length, DWORD* returned)
{
    // The driver takes its input as a plain pointer but only reads it.
    return DeviceIoControl(*handle, code, const_cast<void*>(in), in_length, out, out_length,
                           returned, nullptr);
}

// Vendor request on the default pipe writing one byte into CPUCS.
bool write_cpucs(HANDLE* handle, std::uint8_t value)
{
    const std::array<unsigned char, 10> record{
        cusb::loader_request,
        0,                                       // alignment
        cusb::CPUCS & 0xFF, cusb::CPUCS >> 8,    // value: the register address
        0, 0,                                    // index
        1, 0,                                    // length
        0,                                       // direction: host to device
        value,                                   // data
    };
    DWORD returned = 0;
    return succeeded(control(handle, cusb::ioctl_vendor_request, record.data(), record.size(),
                             nullptr, 0, &returned));
}

std::array<unsigned char, 4> pipe_record(int pipe)
{
    const auto p = static_cast<std::uint32_t>(pipe);
    return {static_cast<unsigned char>(p), static_cast<unsigned char>(p >> 8),
            static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 24)};
}

int chunk_of(int remaining)
{
    return remaining > cusb::max_chunk ? cusb::max_chunk : remaining;
}

}  // namespace

void cusb_set_progress(cusb_progress_fn report)
{
    progress = report;
}

int usb_open(int device, HANDLE* handle)
{
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\ezusb-%d", device);
    *handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    return *handle == INVALID_HANDLE_VALUE ? -1 : 0;
}

int usb_close(HANDLE* handle)
{
    CloseHandle(*handle);
    return 0;
}

int usb_halt(HANDLE* handle)
{
    if (!write_cpucs(handle, 1)) {
        std::fputs("i8051 halt err.\n", stdout);
        return -1;
    }
    return 0;
}

int usb_run(HANDLE* handle)
{
    if (!write_cpucs(handle, 0)) {
        std::fputs("i8051 run err.\n", stdout);
        return -1;
    }
    return 0;
}

int usb_dwnload(HANDLE* handle, const unsigned char* image, int length)
{
    DWORD returned = 0;
    if (length < 0 || !succeeded(control(handle, cusb::ioctl_download, image,
                                         static_cast<DWORD>(length), nullptr, 0, &returned))) {
        std::fputs("usb dwnload err.\n", stdout);
        return -1;
    }
    return 0;
}

int usb_resetpipe(HANDLE* handle, int pipe)
{
    const auto record = pipe_record(pipe);
    DWORD returned = 0;
    return succeeded(control(handle, cusb::ioctl_reset_pipe, record.data(), record.size(), nullptr,
                             0, &returned))
               ? 0
               : -1;
}

int usb_engine_reset(HANDLE* handle, unsigned char* found)
{
    const std::array<unsigned char, 10> record{
        cusb::engine_reset_request,
        0,                                                               // alignment
        cusb::engine_reset_value & 0xFF, cusb::engine_reset_value >> 8,  // value
        0, 0,                                                            // index
        1, 0,                                                            // length
        1,                                                               // direction: device to host
        0,                                                               // data (unused)
    };
    unsigned char reply = 0;
    DWORD returned = 0;
    if (!succeeded(control(handle, cusb::ioctl_vendor_request, record.data(), record.size(), &reply,
                           sizeof reply, &returned)) ||
        returned != sizeof reply)
        return -1;
    if (found != nullptr)
        *found = reply;
    return 0;
}

int usb_get_string(HANDLE* handle, int index, char* text)
{
    const std::array<unsigned char, 4> request{
        static_cast<unsigned char>(index), 0,
        cusb::string_language & 0xFF, cusb::string_language >> 8};
    std::array<unsigned char, cusb::string_reply_size> reply{};
    DWORD returned = 0;
    if (!succeeded(control(handle, cusb::ioctl_get_string, request.data(), request.size(),
                           reply.data(), reply.size(), &returned)))
        return -1;

    // Characters come from whole UTF-16 units that the driver reported as
    // returned and that lie inside the reply; the length byte may claim more.
    const int received = returned < reply.size() ? static_cast<int>(returned) : cusb::string_reply_size;
    int count = reply[0] / 2 - 1;
    const int whole_units = (received - 2) / 2;
    if (count > whole_units)
        count = whole_units;
    int k = 0;
    for (; k < count; ++k)
        text[k] = static_cast<char>(reply[2 + 2 * k]);
    text[k] = '\0';
    return 0;
}

int usb_bulk_write(HANDLE* handle, int pipe, const unsigned char* data, int length)
{
    const auto record = pipe_record(pipe);
    for (int offset = 0; offset < length;) {
        const int chunk = chunk_of(length - offset);
        DWORD returned = 0;
        // The driver takes the data to send in the output-buffer argument.
        if (!succeeded(control(handle, cusb::ioctl_bulk_write, record.data(), record.size(),
                               const_cast<unsigned char*>(data + offset),
                               static_cast<DWORD>(chunk), &returned)))
            return -1;
        offset += chunk;
    }
    return 0;
}

int usb_bulk_read(HANDLE* handle, int pipe, unsigned char* data, int length)
{
    const auto record = pipe_record(pipe);
    int total = 0;
    while (total < length) {
        const int chunk = chunk_of(length - total);
        DWORD returned = 0;
        if (!succeeded(control(handle, cusb::ioctl_bulk_read, record.data(), record.size(),
                               data + total, static_cast<DWORD>(chunk), &returned)))
            return -1;
        // A driver never fills more than it was given room for.
        const int received = returned < static_cast<DWORD>(chunk) ? static_cast<int>(returned) : chunk;
        total += received;
        if (received < chunk)
            break;  // a short chunk ends the transfer
    }
    return total;
}

int cusb_init(int device, HANDLE* handle, const unsigned char* image, const char* id1,
              const char* id2)
{
    if (usb_open(device, handle) != 0)
        return -1;

    char string1[128];
    char string2[128];
    if (usb_get_string(handle, 1, string1) != 0 || usb_get_string(handle, 2, string2) != 0)
        return -1;
    if (std::strcmp(id1, string1) == 0 && std::strcmp(id2, string2) == 0)
        return 0;

    return cusb_reload(device, handle, image);
}

int cusb_reload(int device, HANDLE* handle, const unsigned char* image)
{
    if (progress != nullptr)
        progress(cusb_stage::download, 0);
    if (usb_halt(handle) != 0 || usb_dwnload(handle, image, cusb::image_size) != 0 ||
        usb_run(handle) != 0)
        return -1;

    // Released, the firmware makes the board leave the bus and rejoin it under
    // its own descriptors: the old handle is dead. Wait for the new one; the
    // user ends the program if the board never comes back.
    usb_close(handle);
    unsigned long waited_ms = 0;
    do {
        if (progress != nullptr)
            progress(cusb_stage::wait, waited_ms);
        Sleep(cusb::reopen_wait_ms);
        waited_ms += cusb::reopen_wait_ms;
    } while (usb_open(device, handle) != 0);
    return 0;
}
