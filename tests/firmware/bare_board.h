// The firmware image on the bare 8051 core, with a register file standing
// in for the controller: endpoint buffers and registers as plain memory,
// plus the few register behaviours the routines under test depend on
// (AUTODATA strobes, write-1-to-clear request bits, the EP0 IN busy bit,
// the autovector byte). Enough to run single routines and interrupt
// handlers and to watch what they write; not a model of the controller.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "coverage/coverage.h"
#include "cpu/cpu.h"
#include "diag/diagnostics.h"
#include "link_map.h"

namespace fwtest {

// Controller registers and buffers used by the tests (as in ezusb.inc).
namespace reg {
inline constexpr uint16_t OUT2BUF = 0x7DC0, IN2BUF = 0x7E00, OUT1BUF = 0x7E40, IN0BUF = 0x7F00;
inline constexpr uint16_t CPUCS = 0x7F92, OUTC = 0x7F98, PINSC = 0x7F9B, OEC = 0x7F9E;
inline constexpr uint16_t IN07IRQ = 0x7FA9, OUT07IRQ = 0x7FAA, USBIRQ = 0x7FAB;
inline constexpr uint16_t IN07IEN = 0x7FAC, OUT07IEN = 0x7FAD, USBIEN = 0x7FAE, USBBAV = 0x7FAF;
inline constexpr uint16_t EP0CS = 0x7FB4, IN0BC = 0x7FB5, IN2CS = 0x7FB8, IN2BC = 0x7FB9;
inline constexpr uint16_t OUT1BC = 0x7FC7, OUT2BC = 0x7FC9, OUT4BC = 0x7FCD, OUT5BC = 0x7FCF;
inline constexpr uint16_t OUT6BC = 0x7FD1, OUT7BC = 0x7FD3;
inline constexpr uint16_t SUDPTRH = 0x7FD4, SUDPTRL = 0x7FD5, USBCS = 0x7FD6, TOGCTL = 0x7FD7;
inline constexpr uint16_t USBPAIR = 0x7FDD, IN07VAL = 0x7FDE, OUT07VAL = 0x7FDF;
inline constexpr uint16_t PORTACFG = 0x7F93, PORTBCFG = 0x7F94, PORTCCFG = 0x7F95;
inline constexpr uint16_t FASTXFR = 0x7FE2, AUTOPTRH = 0x7FE3, AUTOPTRL = 0x7FE4, AUTODATA = 0x7FE5;
inline constexpr uint16_t SETUPDAT = 0x7FE8;
}  // namespace reg

class BareBoard {
public:
    using Writes = std::vector<std::pair<uint16_t, uint8_t>>;

    BareBoard();
    BareBoard(const BareBoard&) = delete;
    BareBoard& operator=(const BareBoard&) = delete;

    const LinkMap& map() const { return map_; }
    uint16_t sym(const std::string& name) const { return static_cast<uint16_t>(map_.at(name)); }

    // Controller address space 0x7B00-0x7FFF (buffers and registers).
    uint8_t& x(uint16_t addr) { return xram_[addr]; }
    // Internal RAM, and the firmware's flags (bit n of byte 0x20).
    uint8_t& iram(uint8_t addr) { return cpu.iram()[addr]; }
    bool flag(int bit) const { return (cpu.iram()[0x20] >> bit) & 1; }
    void set_flag(int bit, bool on);
    // Points the three descriptor pointers at the table, as the main routine does.
    void set_descriptor_pointers();

    // Calls a routine from a stub (LCALL, then a breakpoint); returns the
    // cycles from the LCALL to the return, the LCALL's 4 included. A run
    // that does not return within `limit` cycles fails the test.
    uint64_t call(uint16_t addr, uint64_t limit = 50'000'000);
    uint64_t call(const std::string& routine, uint64_t limit = 50'000'000) { return call(sym(routine), limit); }

    // Raises the USB interrupt steered to the jump table entry `offset`
    // while the foreground spins with interrupts on, and runs until the
    // handler has returned. Returns the cycles from the request to RETI.
    uint64_t usb_interrupt(uint8_t offset, uint64_t limit = 1'000'000);
    // Only raises it, steered to `offset`; whatever runs is interrupted.
    void raise_usb(uint8_t offset);

    // Register writes to 0x7Fxx since the last clear, in order, and the
    // cycle at which each was made.
    Writes writes;
    std::vector<uint64_t> write_cycles;
    void clear_writes() {
        writes.clear();
        write_cycles.clear();
    }
    // Writes of `addr` only, from `writes`.
    std::vector<uint8_t> writes_to(uint16_t addr) const;
    // Bytes driven onto the data bus with FWR# (AUTODATA reads), and the
    // bytes the bus presents to FRD# (AUTODATA writes), used up in order.
    std::vector<uint8_t> strobed_out;
    std::deque<uint8_t> bus_in;
    size_t strobed_in = 0;
    // Packets armed on EP0 IN (IN0BC writes with the IN0BUF bytes).
    std::vector<std::vector<uint8_t>> ep0_packets;
    // When set, an armed EP0 IN packet stays in the buffer (EP0CS bit 2)
    // until the test takes it; otherwise the host takes it at once.
    bool ep0_host_slow = false;
    // CPUCS bit 3 reads 1.
    bool cpucs_slow = false;
    // A request register was written while USBINT (EXIF bit 4) was set.
    int acks_before_usbint_clear = 0;
    // Called after each register write has taken effect (host events
    // timed to a write).
    std::function<void(uint16_t addr, uint8_t value)> after_write;

    vboard::Diagnostics diag;
    vboard::Cpu cpu{&diag};

private:
    static uint8_t xread(void* ctx, uint16_t addr);
    static void xwrite(void* ctx, uint16_t addr, uint8_t value);
    static uint8_t vector_byte(void* ctx, uint16_t addr, uint8_t stored);
    uint16_t autoptr() const;
    void advance_autoptr();

    static constexpr uint16_t stub = 0xF000;
    LinkMap map_;
    std::unique_ptr<uint8_t[]> code_ = std::make_unique<uint8_t[]>(0x10000);
    std::unique_ptr<uint8_t[]> xram_ = std::make_unique<uint8_t[]>(0x10000);
    uint8_t vector_offset_ = 0;
    std::unique_ptr<vboard::coverage::Recorder> coverage_;  // NEBU_COVERAGE_DIR; last: goes first
};

}  // namespace fwtest
