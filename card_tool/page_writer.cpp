// Page program (0x80 ... 0x10) and block erase (0x60 ... 0xD0), each ending
// with the status register (0x70).
#include "card_tool/page_writer.h"

#include "card_tool/card_bus.h"
#include "card_tool/card_tool.h"
#include "cusb/cusb.h"

#include <cstddef>

namespace {

// Status register: bit 7 not write-protected, bit 6 ready, bit 0 failed;
// bits 5-1 are 0 on every card, so a byte with any of them set is the bus's
// pull-ups (no card) or noise.
constexpr unsigned char status_not_protected = 0x80, status_ready = 0x40, status_failed = 0x01;
constexpr unsigned char status_always_zero = 0x3E;

// Each op_ctl takes the firmware 51 cycles of 4 clocks at 24 MHz, 8.5 us.
// Programming takes 250 us typically (data sheets: at most 1 ms), an erase
// 2 ms (at most 10 ms). The first status read comes after 260 us of waiting
// (program) or 2.0 ms (erase); a busy card is asked again every 57 waits
// (485 us), up to 64 times (31 ms) before the run gives up on it.
constexpr int program_waits = 29;
constexpr int erase_waits = 236;
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

sm_op_result judge_status(unsigned char status)
{
    if ((status & status_always_zero) != 0 || (status & status_ready) == 0)
        return sm_op_result::no_card;
    if ((status & status_not_protected) == 0)
        return sm_op_result::protected_card;
    return (status & status_failed) ? sm_op_result::fail : sm_op_result::pass;
}

// Reads the status again while the card is busy (it is still in status
// mode), then judges it.
sm_op_result poll_status(unsigned char status)
{
    unsigned char poll[poll_waits + 2];
    int m = 0;
    for (int i = 0; i < poll_waits; ++i)
        poll[m++] = op_ctl;
    poll[m++] = op_read;
    poll[m++] = op_ctl | deselected;
    for (int i = 0; i < max_polls && (status & (status_ready | status_always_zero)) == 0; ++i)
        if (usb_cpipe_write(poll, m) != 0 || usb_rpipe_read(&status, 1) != 1)
            return sm_op_result::no_card;
    return judge_status(status);
}

// Sends a script whose reply is the status byte and judges it.
sm_op_result run_status_script(const unsigned char* script, int n)
{
    unsigned char status = 0;
    if (usb_cpipe_write(script, n) != 0 || usb_rpipe_read(&status, 1) != 1)
        return sm_op_result::no_card;
    return poll_status(status);
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

namespace {

// Programs pages from column 0 of the data area (`spare_only` false: whole
// pages) or of the spare area (true: the spare bytes alone).
sm_op_result program_run(const sm_geometry& g, uint32_t first_page, uint32_t count, const unsigned char* bytes,
                         const std::function<void()>& on_page, bool spare_only)
{
    const int length = static_cast<int>(spare_only ? g.spare_bytes : g.page_bytes());
    unsigned char script[64];
    // Pointer to column 0, program command, column and page address, and
    // the stream header, from script[n] on.
    auto add_setup = [&](int n, uint32_t i) {
        if (i == 0) {  // later set-ups follow a program: the pointer stays where it is
            script[n++] = op_write | cle;
            script[n++] = spare_only ? spare_command : read_command;
        }
        script[n++] = op_write | cle;
        script[n++] = program_command;
        script[n++] = op_write | ale;
        script[n++] = 0;  // column
        n = add_page_address(g, script, n, first_page + i);
        script[n++] = op_stream_out;  // both latches closed, card selected for the stream
        script[n++] = static_cast<unsigned char>(length & 0x3F);
        script[n++] = static_cast<unsigned char>((length >> 6) & 0xFF);
        script[n++] = static_cast<unsigned char>((length >> 14) & 0xFF);
        return n;
    };
    auto data_out = [&](uint32_t i) {
        return usb_bulk_write(&usb_h, stream_pipe, bytes + size_t(i) * length, length) == 0;
    };
    auto passed = [&] {
        if (on_page)
            on_page();
    };
    if (count == 0)
        return sm_op_result::pass;
    if (usb_cpipe_write(script, add_setup(0, 0)) != 0 || !data_out(0))
        return sm_op_result::no_card;
    // Page i: its confirm, a wait, the status read and the next page's
    // set-up in one script; the status of page i - 1 is read while that
    // script waits, then page i + 1's data go out.
    for (uint32_t i = 0; i < count; ++i) {
        const bool last = i + 1 == count;
        int n = 0;
        script[n++] = op_write | cle;
        script[n++] = program_confirm;
        for (int w = 0; w < program_waits; ++w)
            script[n++] = op_ctl;
        n = add_status_read(script, n);
        if (!last)
            n = add_setup(n - 1, i + 1);  // in place of the deselect
        if (usb_cpipe_write(script, n) != 0)
            return sm_op_result::no_card;
        if (i > 0) {
            unsigned char status = 0;
            if (usb_rpipe_read(&status, 1) != 1)
                return sm_op_result::no_card;
            if ((status & (status_ready | status_always_zero)) == 0) {
                // Read while page i - 1 still programmed: the card ignored
                // page i's set-up, or took it after all. Once it is ready,
                // pages i - 1 and i are programmed again one at a time (the
                // same bytes again leave a page as it is) and the rest
                // follows.
                const unsigned char ask[] = {op_write | cle, status_command, op_read, op_ctl | deselected};
                if (usb_rpipe_read(&status, 1) != 1 || usb_cpipe_write(ask, sizeof ask) != 0 ||
                    usb_rpipe_read(&status, 1) != 1)
                    return sm_op_result::no_card;
                if (const sm_op_result r = poll_status(status); r != sm_op_result::pass && r != sm_op_result::fail)
                    return r;
                for (const uint32_t k : {i - 1, i}) {
                    if (const sm_op_result r =
                            program_run(g, first_page + k, 1, bytes + size_t(k) * length, nullptr, spare_only);
                        r != sm_op_result::pass)
                        return r;
                    passed();
                }
                return program_run(g, first_page + i + 1, count - i - 1, bytes + size_t(i + 1) * length, on_page,
                                   spare_only);
            }
            if (const sm_op_result r = judge_status(status); r != sm_op_result::pass) {
                // Later pages' set-up and data may wait in the card unconfirmed: reset drops them.
                unsigned char reset[] = {op_write | cle, reset_command, op_ctl | deselected};
                usb_rpipe_read(&status, 1);  // the reply of the script just sent
                if (!last)
                    data_out(i + 1);  // the stream it announced
                usb_cpipe_write(reset, sizeof reset);
                return r;
            }
            passed();
        }
        if (!last && !data_out(i + 1))
            return sm_op_result::no_card;
    }
    unsigned char status = 0;
    if (usb_rpipe_read(&status, 1) != 1)
        return sm_op_result::no_card;
    const sm_op_result r = poll_status(status);
    if (r == sm_op_result::pass)
        passed();
    return r;
}

}  // namespace

sm_op_result sm_program_pages(const sm_geometry& g, uint32_t first_page, uint32_t count, const unsigned char* bytes,
                              const std::function<void()>& on_page)
{
    return program_run(g, first_page, count, bytes, on_page, false);
}

sm_op_result sm_program_spares(const sm_geometry& g, uint32_t first_page, uint32_t count, const unsigned char* spares)
{
    return program_run(g, first_page, count, spares, nullptr, true);
}

sm_op_result sm_program_page(const sm_geometry& g, uint32_t page, const unsigned char* bytes)
{
    return sm_program_pages(g, page, 1, bytes, nullptr);
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
    // Scripts without a reply follow one another as fast as the firmware
    // takes them: waits up to the erase time, then the status.
    int waits = erase_waits;
    for (;;) {
        while (n < int(sizeof script) - 4 && waits > 0) {
            script[n++] = op_ctl;
            --waits;
        }
        if (waits == 0)
            break;
        if (usb_cpipe_write(script, n) != 0)
            return sm_op_result::no_card;
        n = 0;
    }
    n = add_status_read(script, n);
    return run_status_script(script, n);
}
