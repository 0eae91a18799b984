// Page reads: command 0x00, column 0 and the page address with the address
// latch open, a pause, and a stream of the whole page with both latches
// closed and the card selected.
#include "card_tool/page_reader.h"

#include "card_tool/card_bus.h"
#include "card_tool/card_tool.h"

#include <cstddef>

namespace {

// The card needs up to 10 us after the last address byte to move the page
// into its data register (R/B# low; this board does not wire R/B#). The
// firmware takes at least 51 cycles of 4 clocks at 24 MHz (8.5 us) for each
// op_ctl and more than that for the stream header after it, so one op_ctl
// that keeps the latches closed gives well over 10 us before the first
// read strobe. On the virtual board reads pass with page loads up to 43 us
// (up to 34 us without this op_ctl): margin for slower parts (25 us).
constexpr int wait_ops = 1;

// A paced stream: bit 7 of the header's first length byte, and right after
// the header three bytes of 0x70 + 7 bits each: the stride (high, low 7
// bits) and the pause in microseconds.
constexpr unsigned char pace_bit = 0x80;
constexpr unsigned char pace_base = 0x70;
// The page load takes 10 us at most on the cards' data sheets, 25 us on
// some parts: the firmware leaves at least this long between the last read
// strobe of a page and the first of the next.
constexpr unsigned page_load_pause_us = 25;

// The script that starts a read with `command` (the page or its spare
// area): command, column 0 and the page address, and the wait for the page
// load. Returns its length.
int start_read(const sm_geometry& g, unsigned char command, uint32_t page, unsigned char* script)
{
    int n = 0;
    script[n++] = op_write | cle;
    script[n++] = command;
    script[n++] = op_write | ale;
    script[n++] = 0;  // column
    for (unsigned i = 0; i < g.address_cycles; ++i) {
        script[n++] = op_write | ale;
        script[n++] = static_cast<unsigned char>(page >> (8 * i));
    }
    for (int i = 0; i < wait_ops; ++i)
        script[n++] = op_ctl;
    return n;
}

// A bus-to-host stream header of `length` bytes at script[n]; returns the new length.
int stream_header(unsigned length, unsigned char first_byte_bits, unsigned char* script, int n)
{
    script[n++] = op_stream_in;  // both latches closed, card selected for the stream
    script[n++] = static_cast<unsigned char>((length & 0x3F) | first_byte_bits);
    script[n++] = static_cast<unsigned char>((length >> 6) & 0xFF);
    script[n++] = static_cast<unsigned char>((length >> 14) & 0xFF);
    return n;
}

int read_from(const sm_geometry& g, unsigned char command, unsigned length, uint32_t page, unsigned char* out,
              bool follows)
{
    unsigned char script[24];
    // Following on needs no wait here: the host has had the previous page's
    // last packet, a whole 50 us transaction slot, before this script goes out.
    int n = follows ? 0 : start_read(g, command, page, script);
    n = stream_header(length, 0, script, n);
    if (usb_cpipe_write(script, n) != 0)
        return -1;
    return usb_rpipe_read(out, static_cast<int>(length)) == static_cast<int>(length) ? 0 : -1;
}

}  // namespace

int sm_read_page(const sm_geometry& g, uint32_t page, unsigned char* out, bool follows)
{
    return read_from(g, read_command, g.page_bytes(), page, out, follows);
}

int sm_read_spare(const sm_geometry& g, uint32_t page, unsigned char* out)
{
    return read_from(g, spare_command, g.spare_bytes, page, out, false);
}

int sm_read_pages(const sm_geometry& g, uint32_t first, unsigned pages, unsigned char* out)
{
    if (!ezusb_paced_streams()) {
        for (unsigned p = 0; p < pages; ++p)
            if (sm_read_page(g, first + p, out + std::size_t(p) * g.page_bytes(), p > 0) != 0)
                return -1;
        return 0;
    }
    // The card reads straight on across page boundaries (sequential row
    // read) and is busy loading each next page meanwhile: the firmware
    // pauses for that after every page.
    const unsigned stride = g.page_bytes();
    const unsigned length = pages * stride;
    unsigned char script[32];
    int n = start_read(g, read_command, first, script);
    n = stream_header(length, pace_bit, script, n);
    script[n++] = static_cast<unsigned char>(pace_base + (stride >> 7));
    script[n++] = static_cast<unsigned char>(pace_base + (stride & 0x7F));
    script[n++] = static_cast<unsigned char>(pace_base + page_load_pause_us);
    if (usb_cpipe_write(script, n) != 0)
        return -1;
    return usb_rpipe_read(out, static_cast<int>(length)) == static_cast<int>(length) ? 0 : -1;
}

int sm_pins(unsigned char* levels)
{
    const unsigned char script[] = {static_cast<unsigned char>(op_pins | deselected)};
    unsigned char reply[1] = {};
    if (usb_cpipe_write(script, sizeof script) != 0 || usb_rpipe_read(reply, 1) != 1)
        return -1;
    *levels = reply[0];
    return 0;
}

void sm_deselect()
{
    const unsigned char script[] = {static_cast<unsigned char>(op_ctl | deselected)};
    usb_cpipe_write(script, sizeof script);
}
