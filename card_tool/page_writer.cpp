// Page program (0x80 ... 0x10) and block erase (0x60 ... 0xD0), each ending
// with the status register (0x70).
#include "card_tool/page_writer.h"

#include "card_tool/card_tool.h"
#include "cusb/cusb.h"

namespace {

constexpr unsigned char op_ctl = 0x10;
constexpr unsigned char op_write = 0x30;
constexpr unsigned char op_read = 0x40;
constexpr unsigned char op_stream_out = 0x50;
constexpr unsigned char cle = 0x01, ale = 0x02, deselected = 0x04;

constexpr unsigned char read_command = 0x00;  // pointer to column 0 of the data area
constexpr unsigned char program_command = 0x80, program_confirm = 0x10;
constexpr unsigned char erase_command = 0x60, erase_confirm = 0xD0;
constexpr unsigned char status_command = 0x70;

// Status register: bit 7 not write-protected, bit 6 ready, bit 0 failed;
// bits 5-1 are 0 on every card, so a byte with any of them set is the bus's
// pull-ups (no card) or noise.
constexpr unsigned char status_not_protected = 0x80, status_ready = 0x40, status_failed = 0x01;
constexpr unsigned char status_always_zero = 0x3E;

// Each op_ctl takes the firmware 51 cycles of 4 clocks at 24 MHz, 8.5 us.
// Programming takes 250 us typically (data sheets: at most 1 ms), an erase
// 2 ms (at most 10 ms). The first status read comes after about 240 us of
// waiting; a busy card is asked again every 57 waits (485 us), up to 64
// times (31 ms) before the run gives up on it.
constexpr int program_waits = 28;
constexpr int poll_waits = 57;
constexpr int max_polls = 64;

// Ends a script with the status read: 0x70, one byte in, card deselected.
int add_status_read(unsigned char* script, int n)
{
    script[n++] = op_write | cle;
    script[n++] = status_command;
    script[n++] = op_read;
    script[n++] = op_ctl | deselected;
    return n;
}

// Sends a script whose reply is the status byte; polls while the card is
// busy, then judges the status.
sm_op_result run_status_script(const unsigned char* script, int n)
{
    unsigned char status = 0;
    if (usb_cpipe_write(script, n) != 0 || usb_rpipe_read(&status, 1) != 1)
        return sm_op_result::no_card;
    unsigned char poll[poll_waits + 2];
    int m = 0;
    for (int i = 0; i < poll_waits; ++i)
        poll[m++] = op_ctl;
    poll[m++] = op_read;  // the card is still in status mode
    poll[m++] = op_ctl | deselected;
    for (int i = 0; i < max_polls && (status & (status_ready | status_always_zero)) == 0; ++i)
        if (usb_cpipe_write(poll, m) != 0 || usb_rpipe_read(&status, 1) != 1)
            return sm_op_result::no_card;
    if ((status & status_always_zero) != 0 || (status & status_ready) == 0)
        return sm_op_result::no_card;
    if ((status & status_not_protected) == 0)
        return sm_op_result::protected_card;
    return (status & status_failed) ? sm_op_result::fail : sm_op_result::pass;
}

int add_page_address(const sm_geometry& g, unsigned char* script, int n, uint32_t page)
{
    for (unsigned i = 0; i < g.address_cycles; ++i) {
        script[n++] = op_write | ale;
        script[n++] = static_cast<unsigned char>(page >> (8 * i));
    }
    return n;
}

}  // namespace

sm_op_result sm_program_page(const sm_geometry& g, uint32_t page, const unsigned char* bytes)
{
    const unsigned length = g.page_bytes();
    unsigned char script[64];
    int n = 0;
    script[n++] = op_write | cle;
    script[n++] = read_command;
    script[n++] = op_write | cle;
    script[n++] = program_command;
    script[n++] = op_write | ale;
    script[n++] = 0;  // column
    n = add_page_address(g, script, n, page);
    script[n++] = op_stream_out;  // both latches closed, card selected for the stream
    script[n++] = static_cast<unsigned char>(length & 0x3F);
    script[n++] = static_cast<unsigned char>((length >> 6) & 0xFF);
    script[n++] = static_cast<unsigned char>((length >> 14) & 0xFF);
    if (usb_cpipe_write(script, n) != 0 ||
        usb_bulk_write(&usb_h, stream_pipe, bytes, static_cast<int>(length)) != 0)
        return sm_op_result::no_card;
    n = 0;
    script[n++] = op_write | cle;
    script[n++] = program_confirm;
    for (int i = 0; i < program_waits; ++i)
        script[n++] = op_ctl;
    n = add_status_read(script, n);
    return run_status_script(script, n);
}

sm_op_result sm_erase_block(const sm_geometry& g, uint32_t block)
{
    unsigned char script[64];
    int n = 0;
    script[n++] = op_write | cle;
    script[n++] = erase_command;
    n = add_page_address(g, script, n, block * g.pages_per_block);
    script[n++] = op_write | cle;
    script[n++] = erase_confirm;
    while (n < int(sizeof script) - 4)
        script[n++] = op_ctl;
    n = add_status_read(script, n);
    return run_status_script(script, n);
}
