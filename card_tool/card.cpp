// The card commands: bus set-up with card detection, and the ID read.

#include "card_tool/card_bus.h"
#include "card_tool/card_tool.h"

#include <cstdio>
#include <cstring>

namespace {

// Port C: all inputs; card enable (PC2) high; PC0-PC2 driven; strobe timing
// 0xF1 with mode 0x12; reply with the pin levels.
constexpr unsigned char setup_script[] = {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24};

// Command 0x90 (ID read), address 0x00, three bytes in, card deselected.
constexpr unsigned char id_script[] = {0x31, 0x90, 0x32, 0x00, 0x40, 0x40, 0x40, 0x14};
// Command 0x91, address 0x00, one byte in, card deselected.
constexpr unsigned char ext_id_script[] = {0x31, 0x91, 0x32, 0x00, 0x40, 0x14};
constexpr unsigned char has_ext_id = 0xC0;

// A reply is one packet: it is read with room for the longest, so that a
// reply of another length shows as such (instead of overrunning a smaller
// read) and is refused.
int read_reply()
{
    return usb_rpipe_read(buf, sizeof buf);
}

// Sends a script from buf and reads its reply over it: true when both
// succeed and the reply has exactly `reply_length` bytes.
template <std::size_t N>
bool exchange(const unsigned char (&script)[N], int reply_length)
{
    std::memcpy(buf, script, N);
    if (usb_cpipe_write(buf, N) != 0)
        return false;
    return read_reply() == reply_length;
}

}  // namespace

int sm_init()
{
    if (ezusb_init() != 0)
        return 1;
    // A failed or empty read leaves the script's first byte (0x00) in place:
    // "No Media". A reply of more than the one byte is not this script's.
    std::memcpy(buf, setup_script, sizeof setup_script);
    usb_cpipe_write(buf, sizeof setup_script);
    if (read_reply() > 1) {
        std::fputs("Setup reply err.\n", stdout);
        return 1;
    }
    if (buf[0] & card_present)
        return 0;
    std::fputs("No Media\n", stdout);
    return 1;
}

int sm_idread(unsigned char* maker, unsigned char* device, unsigned char* opt1,
              unsigned char* opt2, unsigned char* ext)
{
    *maker = *device = *opt1 = *opt2 = *ext = 0;
    if (!exchange(id_script, 3))
        return 1;
    *maker = buf[0];
    *device = buf[1];
    *opt1 = buf[2];
    *opt2 = buf[2];
    // Sent only once the ID script has answered with exactly its three
    // bytes, and believed only when it answers with exactly its one.
    if (*opt2 == has_ext_id) {
        if (!exchange(ext_id_script, 1))
            return 1;
        *ext = buf[0];
    }
    return 0;
}

void sm_end()
{
    ezusb_end();
}
