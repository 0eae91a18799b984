// Set-up, reset and state access of the core, and the slow paths of its
// memory access (SFR side effects, handlers, unmapped accesses).
#include <cstdio>
#include <cstring>

#include "cpu/cpu.h"
#include "diag/diagnostics.h"

namespace vboard {

namespace {

bool is_core_sfr(std::uint8_t addr) {
    switch (addr) {
    case sfr::ACC: case sfr::B: case sfr::PSW: case sfr::SP: case sfr::DPL: case sfr::DPH:
    case sfr::DPL1: case sfr::DPH1: case sfr::DPS: case sfr::PCON: case sfr::CKCON:
    case sfr::IE: case sfr::IP: case sfr::EXIF: case sfr::EICON: case sfr::EIE: case sfr::EIP:
        return true;
    default:
        return false;
    }
}

// Registers with side effects on write (or a derived bit on read).
bool has_side_effects(std::uint8_t addr) {
    switch (addr) {
    case sfr::PSW: case sfr::DPS: case sfr::PCON: case sfr::IE: case sfr::IP:
    case sfr::EXIF: case sfr::EICON: case sfr::EIE: case sfr::EIP:
        return true;
    default:
        return false;
    }
}

std::uint8_t parity(std::uint8_t v) {
    v ^= static_cast<std::uint8_t>(v >> 4);
    v ^= static_cast<std::uint8_t>(v >> 2);
    v ^= static_cast<std::uint8_t>(v >> 1);
    return v & 1;
}

}  // namespace

void fill_power_on_pattern(std::uint8_t* mem, std::size_t size, std::uint64_t seed) {
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < size; i += 8) {
        // splitmix64
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) mem[i + k] = static_cast<std::uint8_t>(z >> (8 * k));
    }
}

Cpu::Cpu(Diagnostics* diag) : addr_flags_(new std::uint8_t[65536]()), diag_(diag) {
    zero_code_.reset(new std::uint8_t[65536]());
    code_ = fetch_ = zero_code_.get();
    std::memset(iram_, 0, sizeof iram_);
    std::memset(sfr_, 0, sizeof sfr_);
    std::memset(sfr_reset_, 0, sizeof sfr_reset_);
    std::memset(xpages_, 0, sizeof xpages_);
    std::memset(sfr_slots_, 0, sizeof sfr_slots_);
    for (int i = 0; i < 128; ++i) {
        const auto addr = static_cast<std::uint8_t>(0x80 + i);
        sfr_mode_[i] = is_core_sfr(addr) ? (has_side_effects(addr) ? sfr_core : sfr_plain) : sfr_unhandled;
    }
    sfr_reset_[sfr::SP - 0x80] = 0x07;
    sfr_reset_[sfr::CKCON - 0x80] = 0x01;  // MOVX stretch 1 at power-on
    set_movx_page_sfr(sfr::MPAGE);
    reset();
}

Cpu::~Cpu() = default;

// ---- snapshots -------------------------------------------------------------------------

// Taken between runs, where code fetch is always back on the code array
// (run_slice restores it), so the fetch view needs no saving.
Cpu::State Cpu::save_state() const {
    State s;
    s.cycles = cycles_;
    s.instructions = instructions_;
    s.pc = pc_;
    s.attn = static_cast<std::uint8_t>(attn_ & ~attn_fetch);
    std::memcpy(s.iram, iram_, sizeof iram_);
    std::memcpy(s.sfr, sfr_, sizeof sfr_);
    s.addr_flags.assign(addr_flags_.get(), addr_flags_.get() + 65536);
    s.ext_requests = ext_requests_;
    std::memcpy(s.raised_at, raised_at_, sizeof raised_at_);
    s.active_levels = active_levels_;
    s.isr_depth = isr_depth_;
    for (int i = 0; i < 3; ++i) {
        s.isr_vector[i] = isr_stack_[i].vector;
        s.isr_sp[i] = isr_stack_[i].sp;
        s.isr_acc[i] = isr_stack_[i].acc;
        s.isr_psw[i] = isr_stack_[i].psw;
    }
    return s;
}

void Cpu::restore_state(const State& s) {
    cycles_ = s.cycles;
    instructions_ = s.instructions;
    pc_ = s.pc;
    attn_ = s.attn;
    fetch_ = code_;
    std::memcpy(iram_, s.iram, sizeof iram_);
    std::memcpy(sfr_, s.sfr, sizeof sfr_);
    if (s.addr_flags.size() == 65536) std::memcpy(addr_flags_.get(), s.addr_flags.data(), 65536);
    ext_requests_ = s.ext_requests;
    std::memcpy(raised_at_, s.raised_at, sizeof raised_at_);
    active_levels_ = s.active_levels;
    isr_depth_ = s.isr_depth;
    for (int i = 0; i < 3; ++i) isr_stack_[i] = IsrEntry{s.isr_vector[i], s.isr_sp[i], s.isr_acc[i], s.isr_psw[i]};
    limit_ = 0;
    stop_requested_ = false;
}

// ---- bus set-up ------------------------------------------------------------------------

void Cpu::set_code(const std::uint8_t* code) {
    code_ = code ? code : zero_code_.get();
    fetch_ = code_;
    attn_ &= static_cast<std::uint8_t>(~attn_fetch);
}

void Cpu::map_xdata_memory(std::uint16_t base, std::uint32_t size, std::uint8_t* mem) {
    for (std::uint32_t off = 0; off < size && base + off < 0x10000; off += 256)
        xpages_[(base + off) >> 8] = XPage{mem + off, nullptr, nullptr, nullptr};
}

void Cpu::map_xdata_handler(std::uint16_t base, std::uint32_t size, XRead read, XWrite write, void* ctx) {
    for (std::uint32_t off = 0; off < size && base + off < 0x10000; off += 256)
        xpages_[(base + off) >> 8] = XPage{nullptr, read, write, ctx};
}

void Cpu::unmap_xdata(std::uint16_t base, std::uint32_t size) {
    for (std::uint32_t off = 0; off < size && base + off < 0x10000; off += 256)
        xpages_[(base + off) >> 8] = XPage{nullptr, nullptr, nullptr, nullptr};
}

void Cpu::attach_sfr(std::uint8_t addr, SfrRead read, SfrWrite write, void* ctx) {
    if (addr < 0x80 || is_core_sfr(addr) || addr == movx_page_sfr_) return;
    sfr_slots_[addr - 0x80] = SfrSlot{read, write, ctx};
    sfr_mode_[addr - 0x80] = sfr_handler;
}

void Cpu::attach_sfr_register(std::uint8_t addr, std::uint8_t reset_value) {
    if (addr < 0x80 || is_core_sfr(addr)) return;
    sfr_mode_[addr - 0x80] = sfr_plain;
    sfr_reset_[addr - 0x80] = reset_value;
    sfr_[addr - 0x80] = reset_value;
}

void Cpu::set_movx_page_sfr(std::uint8_t addr) {
    if (addr < 0x80 || is_core_sfr(addr)) return;
    movx_page_sfr_ = addr;
    if (sfr_mode_[addr - 0x80] != sfr_plain) attach_sfr_register(addr, 0x00);
}

void Cpu::set_fetch_hook(std::uint16_t addr, FetchHook hook, void* ctx) {
    clear_fetch_hook(addr);
    if (!hook) return;
    if (!shadow_) shadow_.reset(new std::uint8_t[65536]());
    fetch_hooks_.push_back(FetchHookEntry{addr, hook, ctx});
    for (int k = 0; k < 3; ++k) addr_flags_[static_cast<std::uint16_t>(addr - k)] |= af_hook;
}

void Cpu::clear_fetch_hook(std::uint16_t addr) {
    std::erase_if(fetch_hooks_, [addr](const FetchHookEntry& h) { return h.addr == addr; });
    for (int k = 0; k < 3; ++k) addr_flags_[static_cast<std::uint16_t>(addr - k)] &= static_cast<std::uint8_t>(~af_hook);
    for (const FetchHookEntry& h : fetch_hooks_)
        for (int k = 0; k < 3; ++k) addr_flags_[static_cast<std::uint16_t>(h.addr - k)] |= af_hook;
}

void Cpu::mark_fill(std::uint16_t base, std::uint32_t size, bool fill) {
    for (std::uint32_t off = 0; off < size && base + off < 0x10000; ++off) {
        std::uint8_t& f = addr_flags_[base + off];
        f = static_cast<std::uint8_t>(fill ? f | af_fill : f & ~af_fill);
    }
}

void Cpu::set_breakpoint(std::uint16_t addr, bool on) {
    std::uint8_t& f = addr_flags_[addr];
    f = static_cast<std::uint8_t>(on ? f | af_break : f & ~af_break);
}

void Cpu::clear_breakpoints() {
    for (std::uint32_t a = 0; a < 0x10000; ++a) addr_flags_[a] &= static_cast<std::uint8_t>(~af_break);
}

void Cpu::set_trace(TraceHook hook, void* ctx) {
    trace_ = hook;
    trace_ctx_ = ctx;
}

void Cpu::set_irq_ack(IrqAck ack, void* ctx) {
    irq_ack_ = ack;
    irq_ack_ctx_ = ctx;
}

// ---- reset and power ------------------------------------------------------------------

void Cpu::power_on(std::uint64_t seed) {
    fill_power_on_pattern(iram_, sizeof iram_, seed);
    reset();
}

void Cpu::reset() {
    for (int i = 0; i < 128; ++i)
        if (sfr_mode_[i] == sfr_plain || sfr_mode_[i] == sfr_core) sfr_[i] = sfr_reset_[i];
    pc_ = 0;
    active_levels_ = 0;
    isr_depth_ = 0;
    fetch_ = code_;
    attn_ = static_cast<std::uint8_t>((attn_ & attn_reset) | attn_irq);
}

void Cpu::set_reset_held(bool held) {
    if (held) {
        reset();
        attn_ |= attn_reset;
    } else {
        attn_ &= static_cast<std::uint8_t>(~attn_reset);
    }
}

// ---- state access -----------------------------------------------------------------------

std::uint8_t Cpu::psw() const {
    return static_cast<std::uint8_t>((sfr_[sfr::PSW - 0x80] & ~sfr::PSW_P) | parity(acc()));
}

std::uint16_t Cpu::dptr0() const {
    return static_cast<std::uint16_t>(sfr_[sfr::DPL - 0x80] | (sfr_[sfr::DPH - 0x80] << 8));
}

std::uint16_t Cpu::dptr1() const {
    return static_cast<std::uint16_t>(sfr_[sfr::DPL1 - 0x80] | (sfr_[sfr::DPH1 - 0x80] << 8));
}

std::uint8_t Cpu::sfr(std::uint8_t addr) const {
    if (addr < 0x80) return 0;
    if (addr == sfr::PSW) return psw();
    const int i = addr - 0x80;
    return (sfr_mode_[i] == sfr_plain || sfr_mode_[i] == sfr_core) ? sfr_[i] : 0;
}

void Cpu::set_sfr(std::uint8_t addr, std::uint8_t value) {
    if (addr < 0x80) return;
    const int i = addr - 0x80;
    if (sfr_mode_[i] != sfr_plain && sfr_mode_[i] != sfr_core) return;
    const std::uint8_t ex = sfr_[sfr::EXIF - 0x80];
    const std::uint8_t ei = sfr_[sfr::EICON - 0x80];
    sfr_[i] = addr == sfr::DPS ? value & 1 : value;
    if (addr == sfr::EXIF) raise_flags_at(static_cast<std::uint16_t>((ex >> 4) << 8), static_cast<std::uint16_t>((value >> 4) << 8));
    if (addr == sfr::EICON) {
        const auto f = [](std::uint8_t v) {
            return static_cast<std::uint16_t>(((v & sfr::EICON_RESI) ? 1u : 0u) | ((v & sfr::EICON_INT6) ? 1u << 12 : 0u));
        };
        raise_flags_at(f(ei), f(value));
    }
    attn_ |= attn_irq;
}

// ---- memory slow paths ---------------------------------------------------------------------

void Cpu::report(int kind, std::string message) {
    if (diag_) diag_->report(static_cast<FindingKind>(kind), pc_, cycles_, std::move(message));
}

void Cpu::stack_wrapped(bool push) {
    report(static_cast<int>(FindingKind::stack_wrap),
           push ? "push wrapped SP from 0xFF to 0x00" : "pop wrapped SP from 0x00 to 0xFF");
}

std::uint8_t Cpu::read_sfr_slow(std::uint8_t addr) {
    const int i = addr - 0x80;
    switch (sfr_mode_[i]) {
    case sfr_core:
        return addr == sfr::PSW ? psw() : sfr_[i];
    case sfr_handler:
        if (sfr_slots_[i].read) return sfr_slots_[i].read(sfr_slots_[i].ctx, addr);
        break;
    default:
        break;
    }
    char msg[48];
    std::snprintf(msg, sizeof msg, "read of unhandled SFR 0x%02X", addr);
    report(static_cast<int>(FindingKind::unhandled_sfr), msg);
    return 0xFF;
}

void Cpu::write_sfr_slow(std::uint8_t addr, std::uint8_t value) {
    const int i = addr - 0x80;
    switch (sfr_mode_[i]) {
    case sfr_core:
        core_sfr_write(addr, value);
        return;
    case sfr_handler:
        if (sfr_slots_[i].write) {
            sfr_slots_[i].write(sfr_slots_[i].ctx, addr, value);
            return;
        }
        break;
    default:
        break;
    }
    char msg[64];
    std::snprintf(msg, sizeof msg, "write of 0x%02X to unhandled SFR 0x%02X", value, addr);
    report(static_cast<int>(FindingKind::unhandled_sfr), msg);
}

void Cpu::core_sfr_write(std::uint8_t addr, std::uint8_t value) {
    std::uint8_t& reg = sfr_[addr - 0x80];
    switch (addr) {
    case sfr::PSW:
        reg = static_cast<std::uint8_t>(value & ~sfr::PSW_P);  // parity follows ACC
        break;
    case sfr::DPS:
        reg = value & 0x01;
        break;
    case sfr::PCON:
        reg = value;
        if (value & sfr::PCON_IDLE) attn_ |= attn_idle;
        break;
    case sfr::IE: case sfr::IP: case sfr::EIE: case sfr::EIP:
        // The instruction after a write to an enable or priority register
        // always runs before an interrupt is taken.
        reg = value;
        attn_ |= attn_irq | attn_block;
        break;
    case sfr::EXIF: case sfr::EICON:
        set_sfr(addr, value);
        break;
    default:
        reg = value;
        break;
    }
}

std::uint8_t Cpu::read_xdata_slow(std::uint16_t addr) {
    const XPage& page = xpages_[addr >> 8];
    if (page.read) return page.read(page.ctx, addr);
    char msg[48];
    std::snprintf(msg, sizeof msg, "MOVX read of unmapped 0x%04X", addr);
    report(static_cast<int>(FindingKind::unmapped_xdata), msg);
    return 0xFF;
}

void Cpu::write_xdata_slow(std::uint16_t addr, std::uint8_t value) {
    const XPage& page = xpages_[addr >> 8];
    if (page.write) {
        page.write(page.ctx, addr, value);
        return;
    }
    char msg[64];
    std::snprintf(msg, sizeof msg, "MOVX write of 0x%02X to unmapped 0x%04X", value, addr);
    report(static_cast<int>(FindingKind::unmapped_xdata), msg);
}

std::uint8_t Cpu::xdata_read(std::uint16_t addr) {
    const XPage& page = xpages_[addr >> 8];
    return page.mem ? page.mem[addr & 0xFF] : read_xdata_slow(addr);
}

void Cpu::xdata_write(std::uint16_t addr, std::uint8_t value) {
    const XPage& page = xpages_[addr >> 8];
    if (page.mem)
        page.mem[addr & 0xFF] = value;
    else
        write_xdata_slow(addr, value);
}

}  // namespace vboard
