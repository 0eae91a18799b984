// Decode and execution of the core: the opcode switch, the run loop and the
// interrupt system.
#include <cstdio>
#include <string>

#include "cpu/cpu.h"
#include "diag/diagnostics.h"

#include "cpu/memory.inl"
#include "cpu/alu.inl"

namespace vboard {

namespace {

constexpr std::uint16_t vectors[irq_count] = {0x0033, 0x0003, 0x000B, 0x0013, 0x001B, 0x0023, 0x002B,
                                              0x003B, 0x0043, 0x004B, 0x0053, 0x005B, 0x0063};

std::string hex2(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
    return buf;
}

}  // namespace

std::uint16_t irq_vector(Irq irq) { return vectors[static_cast<int>(irq)]; }

// ---- decode ------------------------------------------------------------------------
// One line per opcode group; the mnemonic is the comment. Cycles are charged
// by the run loop from the opcode table; MOVX adds the CKCON stretch here.
// `pc` and `cycles` are the run loop's registers: the members pc_ and cycles_
// keep the instruction's address and start cycle while it executes (for
// handlers) and get the new values at its end.
[[gnu::always_inline]] inline void Cpu::execute(std::uint16_t& pc, std::uint64_t& cycles) {
    const std::uint8_t* const code = fetch_;
    const auto fetch = [&]() { return code[pc++]; };
    const auto jump_rel = [&](std::uint8_t rel) { pc = static_cast<std::uint16_t>(pc + static_cast<std::int8_t>(rel)); };
    const std::uint8_t op = fetch();
    switch (op) {
    // -- arithmetic ----------------------------------------------------------------
    case 0x24: add_a(fetch(), false); break;                          // ADD A,#data
    case 0x25: add_a(read_direct(fetch()), false); break;             // ADD A,direct
    case 0x26: case 0x27: add_a(at_ri(op & 1), false); break;         // ADD A,@Ri
    case 0x28 ... 0x2F: add_a(rn(op & 7), false); break;              // ADD A,Rn
    case 0x34: add_a(fetch(), carry()); break;                        // ADDC A,#data
    case 0x35: add_a(read_direct(fetch()), carry()); break;           // ADDC A,direct
    case 0x36: case 0x37: add_a(at_ri(op & 1), carry()); break;       // ADDC A,@Ri
    case 0x38 ... 0x3F: add_a(rn(op & 7), carry()); break;            // ADDC A,Rn
    case 0x94: subb_a(fetch()); break;                                // SUBB A,#data
    case 0x95: subb_a(read_direct(fetch())); break;                   // SUBB A,direct
    case 0x96: case 0x97: subb_a(at_ri(op & 1)); break;               // SUBB A,@Ri
    case 0x98 ... 0x9F: subb_a(rn(op & 7)); break;                    // SUBB A,Rn
    case 0x04: ++acc_ref(); break;                                    // INC A
    case 0x05: {                                                      // INC direct (read-modify-write)
        const std::uint8_t d = fetch();
        write_direct(d, static_cast<std::uint8_t>(read_direct(d) + 1));
        break;
    }
    case 0x06: case 0x07: ++at_ri(op & 1); break;                     // INC @Ri
    case 0x08 ... 0x0F: ++rn(op & 7); break;                          // INC Rn
    case 0x14: --acc_ref(); break;                                    // DEC A
    case 0x15: {                                                      // DEC direct (read-modify-write)
        const std::uint8_t d = fetch();
        write_direct(d, static_cast<std::uint8_t>(read_direct(d) - 1));
        break;
    }
    case 0x16: case 0x17: --at_ri(op & 1); break;                     // DEC @Ri
    case 0x18 ... 0x1F: --rn(op & 7); break;                          // DEC Rn
    case 0xA3: set_dptr(static_cast<std::uint16_t>(dptr() + 1)); break;  // INC DPTR
    case 0xA4: mul_ab(); break;                                       // MUL AB
    case 0x84: div_ab(); break;                                       // DIV AB
    case 0xD4: da_a(); break;                                         // DA A

    // -- logic -----------------------------------------------------------------------
    case 0x52: { const std::uint8_t d = fetch(); write_direct(d, read_direct(d) & acc_ref()); break; }  // ANL direct,A
    case 0x53: {                                                      // ANL direct,#data
        const std::uint8_t d = fetch();
        const std::uint8_t v = fetch();
        write_direct(d, read_direct(d) & v);
        break;
    }
    case 0x54: acc_ref() &= fetch(); break;                           // ANL A,#data
    case 0x55: acc_ref() &= read_direct(fetch()); break;              // ANL A,direct
    case 0x56: case 0x57: acc_ref() &= at_ri(op & 1); break;          // ANL A,@Ri
    case 0x58 ... 0x5F: acc_ref() &= rn(op & 7); break;               // ANL A,Rn
    case 0x42: { const std::uint8_t d = fetch(); write_direct(d, read_direct(d) | acc_ref()); break; }  // ORL direct,A
    case 0x43: {                                                      // ORL direct,#data
        const std::uint8_t d = fetch();
        const std::uint8_t v = fetch();
        write_direct(d, read_direct(d) | v);
        break;
    }
    case 0x44: acc_ref() |= fetch(); break;                           // ORL A,#data
    case 0x45: acc_ref() |= read_direct(fetch()); break;              // ORL A,direct
    case 0x46: case 0x47: acc_ref() |= at_ri(op & 1); break;          // ORL A,@Ri
    case 0x48 ... 0x4F: acc_ref() |= rn(op & 7); break;               // ORL A,Rn
    case 0x62: { const std::uint8_t d = fetch(); write_direct(d, read_direct(d) ^ acc_ref()); break; }  // XRL direct,A
    case 0x63: {                                                      // XRL direct,#data
        const std::uint8_t d = fetch();
        const std::uint8_t v = fetch();
        write_direct(d, read_direct(d) ^ v);
        break;
    }
    case 0x64: acc_ref() ^= fetch(); break;                           // XRL A,#data
    case 0x65: acc_ref() ^= read_direct(fetch()); break;              // XRL A,direct
    case 0x66: case 0x67: acc_ref() ^= at_ri(op & 1); break;          // XRL A,@Ri
    case 0x68 ... 0x6F: acc_ref() ^= rn(op & 7); break;               // XRL A,Rn
    case 0xE4: acc_ref() = 0; break;                                  // CLR A
    case 0xF4: acc_ref() = static_cast<std::uint8_t>(~acc_ref()); break;  // CPL A
    case 0x23: {                                                      // RL A
        const std::uint8_t a = acc_ref();
        acc_ref() = static_cast<std::uint8_t>((a << 1) | (a >> 7));
        break;
    }
    case 0x03: {                                                      // RR A
        const std::uint8_t a = acc_ref();
        acc_ref() = static_cast<std::uint8_t>((a >> 1) | (a << 7));
        break;
    }
    case 0x33: {                                                      // RLC A
        const std::uint8_t a = acc_ref();
        acc_ref() = static_cast<std::uint8_t>((a << 1) | (carry() ? 1 : 0));
        set_carry(a & 0x80);
        break;
    }
    case 0x13: {                                                      // RRC A
        const std::uint8_t a = acc_ref();
        acc_ref() = static_cast<std::uint8_t>((a >> 1) | (carry() ? 0x80 : 0));
        set_carry(a & 0x01);
        break;
    }
    case 0xC4: {                                                      // SWAP A
        const std::uint8_t a = acc_ref();
        acc_ref() = static_cast<std::uint8_t>((a << 4) | (a >> 4));
        break;
    }

    // -- data transfer ---------------------------------------------------------------
    case 0x74: acc_ref() = fetch(); break;                            // MOV A,#data
    case 0xE5: acc_ref() = read_direct(fetch()); break;               // MOV A,direct
    case 0xE6: case 0xE7: acc_ref() = at_ri(op & 1); break;           // MOV A,@Ri
    case 0xE8 ... 0xEF: acc_ref() = rn(op & 7); break;                // MOV A,Rn
    case 0x75: {                                                      // MOV direct,#data
        const std::uint8_t d = fetch();
        const std::uint8_t v = fetch();
        write_direct(d, v);
        break;
    }
    case 0x85: {                                                      // MOV direct,direct (source byte first)
        const std::uint8_t src = fetch();
        const std::uint8_t dst = fetch();
        write_direct(dst, read_direct(src));
        break;
    }
    case 0x86: case 0x87: write_direct(fetch(), at_ri(op & 1)); break;   // MOV direct,@Ri
    case 0x88 ... 0x8F: write_direct(fetch(), rn(op & 7)); break;        // MOV direct,Rn
    case 0xF5: write_direct(fetch(), acc_ref()); break;                  // MOV direct,A
    case 0x76: case 0x77: at_ri(op & 1) = fetch(); break;                // MOV @Ri,#data
    case 0xA6: case 0xA7: at_ri(op & 1) = read_direct(fetch()); break;   // MOV @Ri,direct
    case 0xF6: case 0xF7: at_ri(op & 1) = acc_ref(); break;              // MOV @Ri,A
    case 0x78 ... 0x7F: rn(op & 7) = fetch(); break;                     // MOV Rn,#data
    case 0xA8 ... 0xAF: rn(op & 7) = read_direct(fetch()); break;        // MOV Rn,direct
    case 0xF8 ... 0xFF: rn(op & 7) = acc_ref(); break;                   // MOV Rn,A
    case 0x90: {                                                      // MOV DPTR,#data16
        const std::uint8_t hi = fetch();
        const std::uint8_t lo = fetch();
        set_dptr(static_cast<std::uint16_t>((hi << 8) | lo));
        break;
    }
    case 0x93: acc_ref() = code_[static_cast<std::uint16_t>(dptr() + acc_ref())]; break;  // MOVC A,@A+DPTR
    case 0x83: acc_ref() = code_[static_cast<std::uint16_t>(pc + acc_ref())]; break;     // MOVC A,@A+PC
    case 0xE0:                                                        // MOVX A,@DPTR
        acc_ref() = read_xdata(dptr());
        cycles += sfr_[sfr::CKCON - 0x80] & sfr::CKCON_MD;
        break;
    case 0xE2: case 0xE3:                                             // MOVX A,@Ri
        acc_ref() = read_xdata(movx_ri_addr(op & 1));
        cycles += sfr_[sfr::CKCON - 0x80] & sfr::CKCON_MD;
        break;
    case 0xF0:                                                        // MOVX @DPTR,A
        write_xdata(dptr(), acc_ref());
        cycles += sfr_[sfr::CKCON - 0x80] & sfr::CKCON_MD;
        break;
    case 0xF2: case 0xF3:                                             // MOVX @Ri,A
        write_xdata(movx_ri_addr(op & 1), acc_ref());
        cycles += sfr_[sfr::CKCON - 0x80] & sfr::CKCON_MD;
        break;
    case 0xC0: {                                                      // PUSH direct (SP is incremented first)
        const std::uint8_t d = fetch();
        std::uint8_t& sp = sp_ref();
        if (sp == 0xFF) stack_wrapped(true);
        ++sp;
        iram_[sp] = read_direct(d);
        break;
    }
    case 0xD0: {                                                      // POP direct (SP decremented before the write)
        const std::uint8_t d = fetch();
        write_direct(d, pop());
        break;
    }
    case 0xC5: {                                                      // XCH A,direct
        const std::uint8_t d = fetch();
        const std::uint8_t v = read_direct(d);
        write_direct(d, acc_ref());
        acc_ref() = v;
        break;
    }
    case 0xC6: case 0xC7: {                                           // XCH A,@Ri
        std::uint8_t& m = at_ri(op & 1);
        const std::uint8_t v = m;
        m = acc_ref();
        acc_ref() = v;
        break;
    }
    case 0xC8 ... 0xCF: {                                             // XCH A,Rn
        std::uint8_t& r = rn(op & 7);
        const std::uint8_t v = r;
        r = acc_ref();
        acc_ref() = v;
        break;
    }
    case 0xD6: case 0xD7: {                                           // XCHD A,@Ri (low nibbles)
        std::uint8_t& m = at_ri(op & 1);
        const std::uint8_t v = m;
        m = static_cast<std::uint8_t>((v & 0xF0) | (acc_ref() & 0x0F));
        acc_ref() = static_cast<std::uint8_t>((acc_ref() & 0xF0) | (v & 0x0F));
        break;
    }

    // -- boolean -----------------------------------------------------------------------
    case 0xC3: set_carry(false); break;                               // CLR C
    case 0xD3: set_carry(true); break;                                // SETB C
    case 0xB3: set_carry(!carry()); break;                            // CPL C
    case 0xC2: write_bit(fetch(), false); break;                      // CLR bit
    case 0xD2: write_bit(fetch(), true); break;                       // SETB bit
    case 0xB2: { const std::uint8_t bit = fetch(); write_bit(bit, !read_bit(bit)); break; }  // CPL bit
    case 0x82: { const bool v = read_bit(fetch()); set_carry(carry() && v); break; }     // ANL C,bit
    case 0xB0: { const bool v = read_bit(fetch()); set_carry(carry() && !v); break; }    // ANL C,/bit
    case 0x72: { const bool v = read_bit(fetch()); set_carry(carry() || v); break; }     // ORL C,bit
    case 0xA0: { const bool v = read_bit(fetch()); set_carry(carry() || !v); break; }    // ORL C,/bit
    case 0xA2: set_carry(read_bit(fetch())); break;                   // MOV C,bit
    case 0x92: write_bit(fetch(), carry()); break;                    // MOV bit,C

    // -- branches ------------------------------------------------------------------------
    case 0x01: case 0x21: case 0x41: case 0x61:
    case 0x81: case 0xA1: case 0xC1: case 0xE1: {                     // AJMP addr11 (page of the next instruction)
        const std::uint8_t lo = fetch();
        pc = static_cast<std::uint16_t>((pc & 0xF800) | ((op & 0xE0) << 3) | lo);
        break;
    }
    case 0x11: case 0x31: case 0x51: case 0x71:
    case 0x91: case 0xB1: case 0xD1: case 0xF1: {                     // ACALL addr11
        const std::uint8_t lo = fetch();
        push(static_cast<std::uint8_t>(pc));
        push(static_cast<std::uint8_t>(pc >> 8));
        pc = static_cast<std::uint16_t>((pc & 0xF800) | ((op & 0xE0) << 3) | lo);
        break;
    }
    case 0x02: {                                                      // LJMP addr16
        const std::uint8_t hi = fetch();
        const std::uint8_t lo = fetch();
        pc = static_cast<std::uint16_t>((hi << 8) | lo);
        break;
    }
    case 0x12: {                                                      // LCALL addr16
        const std::uint8_t hi = fetch();
        const std::uint8_t lo = fetch();
        push(static_cast<std::uint8_t>(pc));
        push(static_cast<std::uint8_t>(pc >> 8));
        pc = static_cast<std::uint16_t>((hi << 8) | lo);
        break;
    }
    case 0x22: {                                                      // RET
        const std::uint8_t hi = pop();
        const std::uint8_t lo = pop();
        pc = static_cast<std::uint16_t>((hi << 8) | lo);
        break;
    }
    case 0x32: leave_interrupt(); pc = pc_; break;                              // RETI
    case 0x73: pc = static_cast<std::uint16_t>(dptr() + acc_ref()); break;  // JMP @A+DPTR
    case 0x80: { const std::uint8_t rel = fetch(); jump_rel(rel); break; }  // SJMP rel
    case 0x40: { const std::uint8_t rel = fetch(); if (carry()) jump_rel(rel); break; }   // JC rel
    case 0x50: { const std::uint8_t rel = fetch(); if (!carry()) jump_rel(rel); break; }  // JNC rel
    case 0x60: { const std::uint8_t rel = fetch(); if (acc_ref() == 0) jump_rel(rel); break; }  // JZ rel
    case 0x70: { const std::uint8_t rel = fetch(); if (acc_ref() != 0) jump_rel(rel); break; }  // JNZ rel
    case 0x20: {                                                      // JB bit,rel
        const std::uint8_t bit = fetch();
        const std::uint8_t rel = fetch();
        if (read_bit(bit)) jump_rel(rel);
        break;
    }
    case 0x30: {                                                      // JNB bit,rel
        const std::uint8_t bit = fetch();
        const std::uint8_t rel = fetch();
        if (!read_bit(bit)) jump_rel(rel);
        break;
    }
    case 0x10: {                                                      // JBC bit,rel (clears the bit when set)
        const std::uint8_t bit = fetch();
        const std::uint8_t rel = fetch();
        if (read_bit(bit)) {
            write_bit(bit, false);
            jump_rel(rel);
        }
        break;
    }
    case 0xB4: {                                                      // CJNE A,#data,rel
        const std::uint8_t v = fetch();
        const std::uint8_t rel = fetch();
        if (cjne(acc_ref(), v)) jump_rel(rel);
        break;
    }
    case 0xB5: {                                                      // CJNE A,direct,rel
        const std::uint8_t v = read_direct(fetch());
        const std::uint8_t rel = fetch();
        if (cjne(acc_ref(), v)) jump_rel(rel);
        break;
    }
    case 0xB6: case 0xB7: {                                           // CJNE @Ri,#data,rel
        const std::uint8_t v = fetch();
        const std::uint8_t rel = fetch();
        if (cjne(at_ri(op & 1), v)) jump_rel(rel);
        break;
    }
    case 0xB8 ... 0xBF: {                                             // CJNE Rn,#data,rel
        const std::uint8_t v = fetch();
        const std::uint8_t rel = fetch();
        if (cjne(rn(op & 7), v)) jump_rel(rel);
        break;
    }
    case 0xD5: {                                                      // DJNZ direct,rel (read-modify-write)
        const std::uint8_t d = fetch();
        const std::uint8_t rel = fetch();
        const auto v = static_cast<std::uint8_t>(read_direct(d) - 1);
        write_direct(d, v);
        if (v != 0) jump_rel(rel);
        break;
    }
    case 0xD8 ... 0xDF: {                                             // DJNZ Rn,rel
        const std::uint8_t rel = fetch();
        if (--rn(op & 7) != 0) jump_rel(rel);
        break;
    }
    case 0x00: break;                                                 // NOP
    case 0xA5:                                                        // reserved: runs as NOP, reported
        if (wants_report(static_cast<int>(FindingKind::reserved_opcode)))
            report(static_cast<int>(FindingKind::reserved_opcode), "reserved opcode 0xA5 executed");
        break;
    }
    cycles += opcode_cycles.v[op];
    pc_ = pc;
    cycles_ = cycles;
}

// ---- run loop ------------------------------------------------------------------------

StopReason Cpu::run(std::uint64_t until_cycle) { return run_slice(until_cycle, true); }

std::uint64_t Cpu::step() {
    const std::uint64_t before = cycles_;
    run_slice(cycles_ + 1, true);
    return cycles_ - before;
}

StopReason Cpu::run_slice(std::uint64_t until_cycle, bool first_slice) {
    limit_ = until_cycle;
    stop_requested_ = false;
    skip_break_ = first_slice;
    run_start_pc_ = pc_;
    run_start_instructions_ = instructions_;
    const StopReason r = counts_ ? (trace_ ? run_loop<true, true>() : run_loop<false, true>())
                                 : (trace_ ? run_loop<true, false>() : run_loop<false, false>());
    if (attn_ & attn_fetch) {
        fetch_ = code_;
        attn_ &= static_cast<std::uint8_t>(~attn_fetch);
    }
    return r;
}

template <bool Traced, bool Counted>
StopReason Cpu::run_loop() {
    // The instruction count is kept in a local and added up when the loop
    // ends (or before a trace hook looks at it).
    std::uint64_t executed = 0;
    StopReason why = StopReason::cycles;
    // PC and the cycle counter also live in locals across instructions, so
    // that neither passes through memory from one instruction to the next.
    // execute() stores both back after each instruction (handlers, hooks and
    // the slow paths read the members); whatever may change the members
    // (interrupt entry, idle, reset) runs in boundary(), after which the
    // locals are reloaded.
    std::uint16_t pc = pc_;
    std::uint64_t cycles = cycles_;
    while (cycles < limit_) {
        if (attn_) [[unlikely]] {
            const bool run_now = boundary();
            pc = pc_;
            cycles = cycles_;
            if (!run_now) continue;
        }
        if (addr_flags_[pc]) [[unlikely]] {
            if (!prepare_flagged(pc, executed)) {
                why = StopReason::breakpoint;
                break;
            }
        }
        if constexpr (Traced) {
            instructions_ += executed;
            executed = 0;
            trace_(trace_ctx_, *this);
        }
        if constexpr (Counted) {
            const std::uint16_t at = pc;
            const std::uint16_t next = static_cast<std::uint16_t>(at + opcode_table[fetch_[at]].length);
            execute(pc, cycles);
            ++counts_->executed[at];
            if (pc != next) ++counts_->jumped[at];
        } else {
            execute(pc, cycles);
        }
        ++executed;
    }
    instructions_ += executed;
    if (why == StopReason::cycles && stop_requested_) why = StopReason::stopped;
    return why;
}

template StopReason Cpu::run_loop<true, true>();
template StopReason Cpu::run_loop<false, true>();
template StopReason Cpu::run_loop<true, false>();
template StopReason Cpu::run_loop<false, false>();

// Work at an instruction boundary that the fast path skips: restoring code
// fetch after a hooked instruction, reset, interrupts, idle.
bool Cpu::boundary() {
    if (attn_ & attn_fetch) {
        fetch_ = code_;
        attn_ &= static_cast<std::uint8_t>(~attn_fetch);
    }
    if (attn_ & attn_reset) {
        cycles_ = limit_;
        return false;
    }
    const bool blocked = attn_ & attn_block;
    attn_ &= static_cast<std::uint8_t>(~attn_block);
    if ((attn_ & attn_irq) && !blocked && take_interrupt()) return false;
    if (attn_ & attn_idle) {
        idle_wait();
        return false;
    }
    return true;
}

// Breakpoints, fill and fetch hooks of the instruction at `pc`. Returns false
// to stop at a breakpoint.
int Cpu::prepare_flagged(std::uint16_t pc, std::uint64_t executed) {
    const std::uint8_t flags = addr_flags_[pc];
    if (flags & af_break) {
        if (!(skip_break_ && pc == run_start_pc_ && instructions_ + executed == run_start_instructions_)) {
            limit_ = 0;
            return 0;
        }
    }
    if (flags & af_fill) {
        if (wants_report(static_cast<int>(FindingKind::fill_execution)))
            report_at(static_cast<int>(FindingKind::fill_execution), pc, "instruction fetched from fill at",
                      "instructions fetched from fill at");
    }
    if (flags & af_hook) {
        // Build the fetch view of the up to three bytes this instruction may
        // fetch, with the hooked bytes substituted.
        for (int k = 0; k < 3; ++k) {
            const auto a = static_cast<std::uint16_t>(pc + k);
            shadow_[a] = code_[a];
        }
        for (const FetchHookEntry& h : fetch_hooks_) {
            const auto off = static_cast<std::uint16_t>(h.addr - pc);
            if (off < 3) shadow_[h.addr] = h.hook(h.ctx, h.addr, code_[h.addr]);
        }
        fetch_ = shadow_.get();
        attn_ |= attn_fetch;
    }
    return 1;
}

// ---- interrupt system ------------------------------------------------------------------

// Enabled requests, one bit per source in natural order.
std::uint16_t Cpu::pending_interrupts() const {
    const std::uint8_t ie = sfr_[sfr::IE - 0x80];
    if (!(ie & sfr::IE_EA)) return 0;
    const std::uint8_t exif = sfr_[sfr::EXIF - 0x80];
    const std::uint8_t eicon = sfr_[sfr::EICON - 0x80];
    const std::uint8_t eie = sfr_[sfr::EIE - 0x80];
    std::uint16_t p = 0;
    if ((eicon & sfr::EICON_RESI) && (eicon & sfr::EICON_ERESI)) p |= 1u << 0;
    p |= static_cast<std::uint16_t>((ext_requests_ & (ie << 1)) & 0xFE);  // int0..serial1 <- IE.0..IE.6
    p |= static_cast<std::uint16_t>(((exif >> 4) & eie & 0x0F) << 8);    // usb, i2c, int4, int5 <- EIE.0..3
    if ((eicon & sfr::EICON_INT6) && (eie & 0x10)) p |= 1u << 12;
    return p;
}

int Cpu::irq_level(int src) const {
    if (src == 0) return 2;
    if (src < 8) return (sfr_[sfr::IP - 0x80] >> (src - 1)) & 1;
    return (sfr_[sfr::EIP - 0x80] >> (src - 8)) & 1;
}

int Cpu::active_level() const {
    if (active_levels_ & 4) return 2;
    if (active_levels_ & 2) return 1;
    if (active_levels_ & 1) return 0;
    return -1;
}

// Takes the most urgent request that was sampled before this boundary and
// outranks the handler in progress.
bool Cpu::take_interrupt() {
    const std::uint16_t pending = pending_interrupts();
    if (!pending) {
        attn_ &= static_cast<std::uint8_t>(~attn_irq);
        return false;
    }
    const int current = active_level();
    int best = -1;
    int best_level = current;
    for (int src = 0; src < irq_count; ++src) {
        if (!(pending & (1u << src))) continue;
        const int level = irq_level(src);
        if (level > best_level && raised_at_[src] < cycles_) {
            best = src;
            best_level = level;
        }
    }
    if (best < 0) return false;
    enter_interrupt(best);
    return true;
}

// Idle: nothing executes; time passes until a request can be taken.
void Cpu::idle_wait() {
    std::uint64_t wake = limit_;
    const std::uint16_t pending = pending_interrupts();
    const int current = active_level();
    for (int src = 0; src < irq_count; ++src) {
        if ((pending & (1u << src)) && irq_level(src) > current) {
            const std::uint64_t at = raised_at_[src] + 1;
            if (at < wake) wake = at;
        }
    }
    if (wake <= cycles_) wake = cycles_ + 1;  // defensive: always progress
    const std::uint64_t until = wake < limit_ ? wake : limit_;
    if (until > cycles_) idle_cycles_ += until - cycles_;
    cycles_ = until;
}

// The hardware call: 4 cycles, PC pushed low byte first.
void Cpu::enter_interrupt(int src) {
    const std::uint16_t vector = vectors[src];
    if (attn_ & attn_idle) {
        attn_ &= static_cast<std::uint8_t>(~attn_idle);
        sfr_[sfr::PCON - 0x80] &= static_cast<std::uint8_t>(~sfr::PCON_IDLE);
    }
    push(static_cast<std::uint8_t>(pc_));
    push(static_cast<std::uint8_t>(pc_ >> 8));
    pc_ = vector;
    cycles_ += 4;
    active_levels_ |= static_cast<std::uint8_t>(1u << irq_level(src));
    if (isr_depth_ < 3) isr_stack_[isr_depth_] = IsrEntry{vector, sp(), acc(), psw()};
    ++isr_depth_;
    if (irq_ack_) irq_ack_(irq_ack_ctx_, static_cast<Irq>(src));
}

// RETI: returns, ends the highest level in progress, checks that the handler
// left SP, ACC and PSW as it found them, and lets one more instruction run
// before the next interrupt.
void Cpu::leave_interrupt() {
    if (isr_depth_ > 0) {
        --isr_depth_;
        if (isr_depth_ < 3) {
            const IsrEntry& e = isr_stack_[isr_depth_];
            const bool changed = sp() != e.sp || acc() != e.acc || psw() != e.psw;
            if (changed && wants_report(static_cast<int>(FindingKind::isr_state))) {
                std::string what;
                if (sp() != e.sp) what += " SP " + hex2(sp()) + " (entered with " + hex2(e.sp) + ")";
                if (acc() != e.acc) what += " ACC " + hex2(acc()) + " (entered with " + hex2(e.acc) + ")";
                if (psw() != e.psw) what += " PSW " + hex2(psw()) + " (entered with " + hex2(e.psw) + ")";
                char head[64];
                std::snprintf(head, sizeof head, "handler at 0x%04X returned with", e.vector);
                report(static_cast<int>(FindingKind::isr_state), head + what);
            }
        }
        const int level = active_level();
        if (level >= 0) active_levels_ &= static_cast<std::uint8_t>(~(1u << level));
    }
    const std::uint8_t hi = pop();
    const std::uint8_t lo = pop();
    pc_ = static_cast<std::uint16_t>((hi << 8) | lo);
    attn_ |= attn_irq | attn_block;
}

void Cpu::set_interrupt(Irq irq, bool on) {
    const int src = static_cast<int>(irq);
    std::uint8_t* flag_reg = nullptr;
    std::uint8_t mask = 0;
    switch (irq) {
    case Irq::resume: flag_reg = &sfr_[sfr::EICON - 0x80]; mask = sfr::EICON_RESI; break;
    case Irq::int6: flag_reg = &sfr_[sfr::EICON - 0x80]; mask = sfr::EICON_INT6; break;
    case Irq::usb: case Irq::i2c: case Irq::int4: case Irq::int5:
        flag_reg = &sfr_[sfr::EXIF - 0x80];
        mask = static_cast<std::uint8_t>(0x10u << (src - 8));
        break;
    default: break;
    }
    bool was;
    if (flag_reg) {
        was = *flag_reg & mask;
        *flag_reg = static_cast<std::uint8_t>(on ? *flag_reg | mask : *flag_reg & ~mask);
    } else {
        was = ext_requests_ & (1u << src);
        ext_requests_ = static_cast<std::uint16_t>(on ? ext_requests_ | (1u << src) : ext_requests_ & ~(1u << src));
    }
    if (on && !was) raised_at_[src] = cycles_;
    attn_ |= attn_irq;
}

bool Cpu::interrupt_flag(Irq irq) const {
    const int src = static_cast<int>(irq);
    switch (irq) {
    case Irq::resume: return sfr_[sfr::EICON - 0x80] & sfr::EICON_RESI;
    case Irq::int6: return sfr_[sfr::EICON - 0x80] & sfr::EICON_INT6;
    case Irq::usb: case Irq::i2c: case Irq::int4: case Irq::int5:
        return sfr_[sfr::EXIF - 0x80] & (0x10u << (src - 8));
    default: return ext_requests_ & (1u << src);
    }
}

// Flags that the firmware itself sets in EXIF/EICON count as raised now.
void Cpu::raise_flags_at(std::uint16_t before, std::uint16_t after) {
    const std::uint16_t rose = static_cast<std::uint16_t>(after & ~before);
    for (int src = 0; src < irq_count; ++src)
        if (rose & (1u << src)) raised_at_[src] = cycles_;
}

}  // namespace vboard
