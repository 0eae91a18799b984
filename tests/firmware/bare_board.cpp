#include "bare_board.h"

#include <algorithm>
#include <cstring>

#include "ihex.h"

namespace fwtest {

using vboard::Irq;
namespace sfr = vboard::sfr;

BareBoard::BareBoard() : map_(read_link_map(NEBU_FW_MAP)) {
    // The image's placed bytes; everything else is fill and must never run.
    std::memset(code_.get(), 0xAA, 0x1000);
    cpu.mark_fill(0x0000, 0x1000);
    for (const auto& chunk : fwimage::parse_ihex(slurp(NEBU_FW_IHX))) {
        std::copy(chunk.bytes.begin(), chunk.bytes.end(), code_.get() + chunk.address);
        cpu.mark_fill(static_cast<uint16_t>(chunk.address), static_cast<uint32_t>(chunk.bytes.size()), false);
    }
    cpu.set_code(code_.get());
    cpu.map_xdata_memory(0x7B00, 0x0400, xram_.get() + 0x7B00);
    cpu.map_xdata_handler(0x7F00, 0x0100, &BareBoard::xread, &BareBoard::xwrite, this);
    cpu.set_fetch_hook(0x0045, &BareBoard::vector_byte, this);
    cpu.power_on(1);
    std::memset(cpu.iram(), 0, 0x80);  // as the start-up leaves it
    cpu.set_sfr(sfr::SP, 0x3E);
    x(reg::EP0CS) = 0x02;  // HSNAK set, as after a SETUP packet
    if (vboard::coverage::Collection* into = vboard::coverage::environment_collection()) {
        coverage_ = std::make_unique<vboard::coverage::Recorder>(cpu, *into);
        coverage_->start(code_.get());
    }
}

void BareBoard::set_flag(int bit, bool on) {
    uint8_t& b = cpu.iram()[0x20];
    b = static_cast<uint8_t>(on ? b | (1u << bit) : b & ~(1u << bit));
}

void BareBoard::set_descriptor_pointers() {
    const struct {
        const char* ptr;
        const char* target;
    } ptrs[] = {{"device_descriptor_ptr", "device_descriptor"},
                {"config_descriptor_ptr", "config_descriptor"},
                {"string_descriptor_ptr", "string_descriptors"}};
    for (const auto& p : ptrs) {
        const uint16_t v = sym(p.target);
        iram(static_cast<uint8_t>(sym(p.ptr))) = static_cast<uint8_t>(v);
        iram(static_cast<uint8_t>(sym(p.ptr) + 1)) = static_cast<uint8_t>(v >> 8);
    }
}

uint64_t BareBoard::call(uint16_t addr, uint64_t limit) {
    code_[stub] = 0x12;  // lcall addr
    code_[stub + 1] = static_cast<uint8_t>(addr >> 8);
    code_[stub + 2] = static_cast<uint8_t>(addr);
    cpu.set_breakpoint(stub + 3);
    cpu.set_pc(stub);
    const uint64_t start = cpu.cycles();
    const auto why = cpu.run(start + limit);
    cpu.set_breakpoint(stub + 3, false);
    EXPECT_EQ(why, vboard::StopReason::breakpoint) << "routine 0x" << std::hex << addr << " did not return";
    EXPECT_EQ(cpu.pc(), stub + 3);
    return cpu.cycles() - start;
}

void BareBoard::raise_usb(uint8_t offset) {
    vector_offset_ = offset;
    cpu.set_interrupt(Irq::usb);
}

uint64_t BareBoard::usb_interrupt(uint8_t offset, uint64_t limit) {
    code_[stub] = 0x80;  // sjmp $
    code_[stub + 1] = 0xFE;
    cpu.set_pc(stub);
    cpu.set_sfr(sfr::IE, static_cast<uint8_t>(cpu.sfr(sfr::IE) | sfr::IE_EA));
    cpu.set_sfr(sfr::EIE, static_cast<uint8_t>(cpu.sfr(sfr::EIE) | 0x01));
    vector_offset_ = offset;
    // The interrupted foreground's registers, which the handler must keep.
    cpu.set_sfr(sfr::ACC, 0x5A);
    cpu.set_sfr(sfr::B, 0xA5);
    cpu.set_sfr(sfr::PSW, sfr::PSW_CY | sfr::PSW_AC | sfr::PSW_F0 | sfr::PSW_OV);  // bank 0
    cpu.set_sfr(sfr::DPL, 0x34);
    cpu.set_sfr(sfr::DPH, 0x12);
    for (int r = 0; r < 8; ++r) cpu.iram()[r] = static_cast<uint8_t>(0xB0 + r);
    const uint8_t sp = cpu.sp();
    const uint64_t start = cpu.cycles();
    cpu.set_interrupt(Irq::usb);
    bool entered = false;
    cpu.run_until(
        [&](const vboard::Cpu& c) {
            if (c.interrupts_in_service() > 0) entered = true;
            return entered && c.interrupts_in_service() == 0;
        },
        start + limit);
    EXPECT_TRUE(entered && cpu.interrupts_in_service() == 0) << "handler at offset " << int(offset) << " did not return";
    EXPECT_FALSE(cpu.interrupt_flag(Irq::usb)) << "USBINT left set by the handler at offset " << int(offset);
    EXPECT_EQ(cpu.sp(), sp);
    EXPECT_EQ(cpu.pc(), stub);
    EXPECT_EQ(cpu.acc(), 0x5A);
    EXPECT_EQ(cpu.b(), 0xA5);
    EXPECT_EQ(cpu.psw() & ~sfr::PSW_P, sfr::PSW_CY | sfr::PSW_AC | sfr::PSW_F0 | sfr::PSW_OV);
    EXPECT_EQ(cpu.dptr0(), 0x1234);
    EXPECT_EQ(cpu.sfr(sfr::DPS), 0);
    for (int r = 0; r < 8; ++r) EXPECT_EQ(cpu.iram()[r], 0xB0 + r) << "bank 0 register R" << r;
    return cpu.cycles() - start;
}

std::vector<uint8_t> BareBoard::writes_to(uint16_t addr) const {
    std::vector<uint8_t> v;
    for (const auto& [a, value] : writes)
        if (a == addr) v.push_back(value);
    return v;
}

uint16_t BareBoard::autoptr() const { return static_cast<uint16_t>(xram_[reg::AUTOPTRH] << 8 | xram_[reg::AUTOPTRL]); }

void BareBoard::advance_autoptr() {
    const uint16_t next = static_cast<uint16_t>(autoptr() + 1);
    xram_[reg::AUTOPTRH] = static_cast<uint8_t>(next >> 8);
    xram_[reg::AUTOPTRL] = static_cast<uint8_t>(next);
}

uint8_t BareBoard::xread(void* ctx, uint16_t addr) {
    auto& b = *static_cast<BareBoard*>(ctx);
    switch (addr) {
    case reg::AUTODATA: {
        const uint8_t v = b.xram_[b.autoptr()];
        b.strobed_out.push_back(v);
        b.advance_autoptr();
        return v;
    }
    case reg::CPUCS:
        return static_cast<uint8_t>(b.xram_[addr] | (b.cpucs_slow ? 0x08 : 0x00));
    default:
        return b.xram_[addr];
    }
}

void BareBoard::xwrite(void* ctx, uint16_t addr, uint8_t value) {
    auto& b = *static_cast<BareBoard*>(ctx);
    b.writes.emplace_back(addr, value);
    b.write_cycles.push_back(b.cpu.cycles());
    switch (addr) {
    case reg::AUTODATA: {
        uint8_t in = 0;
        if (!b.bus_in.empty()) {
            in = b.bus_in.front();
            b.bus_in.pop_front();
        }
        b.xram_[b.autoptr()] = in;
        ++b.strobed_in;
        b.advance_autoptr();
        break;
    }
    case reg::USBIRQ:
    case reg::IN07IRQ:
    case reg::OUT07IRQ:
        if (b.cpu.sfr(sfr::EXIF) & sfr::EXIF_USBINT) ++b.acks_before_usbint_clear;
        b.xram_[addr] = static_cast<uint8_t>(b.xram_[addr] & ~value);  // 1 clears
        break;
    case reg::IN0BC:
        b.xram_[addr] = value;
        b.ep0_packets.emplace_back(b.xram_.get() + reg::IN0BUF, b.xram_.get() + reg::IN0BUF + std::min<int>(value, 64));
        if (b.ep0_host_slow) b.xram_[reg::EP0CS] |= 0x04;
        break;
    case reg::USBCS:  // WAKESRC (bit 7): 1 clears it
        b.xram_[addr] = static_cast<uint8_t>(((b.xram_[addr] & ~value) & 0x80) | (value & 0x7F));
        break;
    case reg::EP0CS: {
        uint8_t v = static_cast<uint8_t>((b.xram_[addr] & 0x06) | (value & 0x01));  // stall bit written
        if (value & 0x02) v &= static_cast<uint8_t>(~0x02);                           // HSNAK: 1 clears
        b.xram_[addr] = v;
        break;
    }
    default:
        b.xram_[addr] = value;
        break;
    }
    if (b.after_write) b.after_write(addr, value);
}

uint8_t BareBoard::vector_byte(void* ctx, uint16_t, uint8_t) { return static_cast<BareBoard*>(ctx)->vector_offset_; }

}  // namespace fwtest
