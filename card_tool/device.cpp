// Device start and end, the tool's state, and the pipe operations.

#include "card_tool/card_tool.h"

#include "cusb/cusb.h"
#include "nebu.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

HANDLE usb_h = nullptr;
unsigned char buf[64] = {};

namespace {

int device_number = 0;
constexpr char identity1[] = "NEBU";
constexpr char identity2[] = "Z100";
constexpr unsigned char stream_op = 0x50;

static_assert(sizeof fw_bin == cusb::image_size, "the firmware image fills 0x0000-0x0FFF");

// The port engine and the three pipes as after start-up: a program that
// died before us may have left replies unread, a stream outstanding, a
// script parked, port C and the strobe timing set for itself, or a pipe
// halted. The pipe resets come after the engine reset and put both ends'
// data toggles back to DATA0.
int engine_afresh()
{
    if (usb_engine_reset(&usb_h, nullptr) != 0)
        return -1;
    for (const int pipe : {command_pipe, stream_pipe, reply_pipe})
        if (usb_resetpipe(&usb_h, pipe) != 0)
            return -1;
    return 0;
}

// A board that names itself with our strings but does not answer the engine
// reset (an older image of ours, or a foreground that no longer serves
// requests) gets our image afresh; the controller's loader always answers.
int engine_start()
{
    if (engine_afresh() == 0)
        return 0;
    if (cusb_reload(device_number, &usb_h, fw_bin) != 0)
        return -1;
    return engine_afresh();
}

}  // namespace

int ezusb_init()
{
    std::fputs("Setup EZ-USB\n", stdout);
    const bool opened = cusb_init(device_number, &usb_h, fw_bin, identity1, identity2) == 0;
    if (!opened || engine_start() != 0) {
        if (opened)
            usb_close(&usb_h);  // the engine could not be started afresh
        usb_h = nullptr;
        std::fputs("Can't found EZ-USB\n", stdout);
        return 2;
    }
    return 0;
}

void ezusb_end()
{
    if (usb_h != nullptr)
        usb_close(&usb_h);
}

int usb_cpipe_write(const unsigned char* data, int length)
{
    return usb_bulk_write(&usb_h, command_pipe, data, length);
}

int usb_rpipe_read(unsigned char* data, int length)
{
    return usb_bulk_read(&usb_h, reply_pipe, data, length);
}

int usb_fwrite(int mode, const unsigned char* data, int length)
{
    // The header carries 22 bits of length; a longer stream would be clocked
    // out past its announced end.
    if (length < 0 || length > max_stream_length)
        return -1;
    const unsigned char header[4] = {
        static_cast<unsigned char>(stream_op | (mode & 0x0F)),
        static_cast<unsigned char>(length & 0x3F),          // bytes after the whole packets
        static_cast<unsigned char>((length >> 6) & 0xFF),   // 64-byte packets, low byte
        static_cast<unsigned char>((length >> 14) & 0xFF),  // 64-byte packets, high byte
    };
    usb_cpipe_write(header, sizeof header);
    return usb_bulk_write(&usb_h, stream_pipe, data, length);
}

void card_tool_use_board(int device)
{
    device_number = device;
}

void card_tool_reset()
{
    usb_h = nullptr;
    device_number = 0;
    std::memset(buf, 0, sizeof buf);
}
