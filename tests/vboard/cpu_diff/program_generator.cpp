#include "program_generator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <random>
#include <stdexcept>

#include "opcode_facts.h"

namespace cpu_diff {
namespace {

constexpr uint8_t kPsw = 0xD0;
constexpr uint8_t kAcc = 0xE0;
constexpr uint8_t kCkcon = 0x8E;
constexpr uint8_t kRs0 = 0xD3, kRs1 = 0xD4;  // bit addresses of PSW.3, PSW.4
constexpr int kMaxCallDepth = 4;  // nested calls below the body; keeps the stack under 0xE0

// SFRs both simulators treat as plain registers: P0, P1, P3 (latches
// whose pins read high), SP, DPL, DPH, PSW, ACC, B. SP is read only: the
// generator keeps it fixed at unit boundaries. P2 stays 0: it pages
// MOVX @Ri, and page 0 is the part of external RAM that is compared.
// Left out: what s51 runs as peripherals (timers, serial port: TCON, TMOD,
// TLx/THx, SCON, SBUF, T2CON...), the interrupt system (IE, IP), PCON (idle
// stops for good when nothing can interrupt), and this core's own SFRs that
// s51's 8052 lacks (DPL1/DPH1/DPS, CKCON, EXIF, EICON, EIE, EIP).
constexpr uint8_t kP2 = 0xA0;
constexpr uint8_t kSfrRead[] = {0x80, 0x81, 0x82, 0x83, 0x90, 0xB0, kPsw, kAcc, 0xF0};
constexpr uint8_t kSfrWrite[] = {0x80, 0x82, 0x83, 0x90, 0xB0, kPsw, kAcc, 0xF0};
constexpr uint8_t kBitSfrs[] = {0x80, 0x90, 0xB0, kPsw, kAcc, 0xF0};
constexpr uint8_t kEdgeValues[] = {0x00, 0x01, 0x09, 0x0F, 0x10, 0x5A, 0x7F, 0x80,
                                   0x90, 0x99, 0x9A, 0xA5, 0xF0, 0xFF};

enum class Kind { Plain, CondBranch, Sjmp, Ajmp, Ljmp, JmpADptr, Acall, Lcall, Ret, Reti, Push, Pop };

Kind kind_of(uint8_t op) {
    if ((op & 0x1F) == 0x01) return Kind::Ajmp;
    if ((op & 0x1F) == 0x11) return Kind::Acall;
    switch (op) {
        case 0x02: return Kind::Ljmp;
        case 0x12: return Kind::Lcall;
        case 0x22: return Kind::Ret;
        case 0x32: return Kind::Reti;
        case 0x73: return Kind::JmpADptr;
        case 0x80: return Kind::Sjmp;
        case 0xC0: return Kind::Push;
        case 0xD0: return Kind::Pop;
        default: break;
    }
    return std::strchr(opcode_shape(op).operands, 'r') ? Kind::CondBranch : Kind::Plain;
}

bool indirect(uint8_t op) { return (op & 0x0E) == 0x06; }

// @Ri forms that store through the pointer: INC, DEC, MOV @Ri,#/direct/A, XCH, XCHD.
bool writes_indirect(uint8_t op) {
    if (!indirect(op)) return false;
    switch (op >> 4) {
        case 0x0: case 0x1: case 0x7: case 0xA: case 0xC: case 0xD: case 0xF: return true;
        default: return false;
    }
}

bool reads_indirect(uint8_t op) { return indirect(op) && !writes_indirect(op); }

class Generator {
public:
    explicit Generator(uint64_t seed) : rng_(seed), code_(0x10000, 0) {}

    Program build(const GeneratorOptions& options) {
        if (options.code_budget > 0xE000 || options.passes == 0)
            throw std::invalid_argument("generator: code budget above 0xE000 or no passes");
        op(0x75), byte(0x81), byte(kStackBase);             // mov sp,#kStackBase
        op(0x75), byte(kPassCounter), byte(options.passes);  // mov 0x7F,#passes
        op(0x75), byte(kP2), byte(0);                         // mov P2,#0
        for (uint8_t r = 0; r < 8; ++r) op(0x78 | r), byte(imm8());  // mov Rn,#data
        op(0x74), byte(imm8());                               // mov a,#data
        const uint32_t body = pos_;

        Block top;
        Scope scope{};
        while (pos_ < options.code_budget) unit(top, scope);
        resolve(top, pos_);

        op(0xD5), byte(kPassCounter), byte(0x02);  // djnz 0x7F,again
        op(0x80), byte(0x03);                      // sjmp halt
        op(0x02), byte(body >> 8), byte(body);     // again: ljmp body
        program_.halt = static_cast<uint16_t>(pos_);
        op(0x80), byte(0xFE);                      // halt: sjmp .
        // MOVC A,@A+PC near the end reads up to 255 bytes past it.
        for (int i = 0; i < 256; ++i) byte(below(256));
        program_.image.assign(code_.begin(), code_.begin() + pos_);
        return std::move(program_);
    }

private:
    // A run of units whose forward branches resolve among themselves.
    struct Fixup {
        enum class Type { Rel, Page, Abs, Computed } type;
        uint32_t at;     // address of the instruction to patch
        size_t unit;     // index of the unit holding it
        size_t ahead;    // target: the start of the unit this many after the next
        uint8_t a_value; // Computed: A at the JMP @A+DPTR
    };
    struct Block {
        std::vector<uint32_t> starts;
        std::vector<Fixup> fixups;
    };
    struct Scope {
        bool in_subroutine = false;
        int callee_depth = 0;  // deepest subroutine called from this scope
    };
    struct Subroutine {
        uint16_t entry;
        int depth;  // return addresses it stacks, its own included
    };

    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    uint8_t imm8() { return below(100) < 30 ? kEdgeValues[below(std::size(kEdgeValues))] : below(256); }

    uint8_t direct_read() {
        const uint32_t r = below(100);
        if (r < 25) return kSfrRead[below(std::size(kSfrRead))];
        return r < 70 ? below(0x30) : below(0x80);
    }

    uint8_t direct_write(bool psw_allowed) {
        for (;;) {
            const uint32_t r = below(100);
            const uint8_t d = r < 25 ? kSfrWrite[below(std::size(kSfrWrite))]
                              : r < 70 ? below(0x30)
                                       : below(kPassCounter);
            if (d != kPsw || psw_allowed) return d;
        }
    }

    uint8_t bit_read() {
        return below(100) < 30 ? kBitSfrs[below(std::size(kBitSfrs))] + below(8) : below(0x80);
    }

    // PSW.0 (parity) and PSW.3/PSW.4 (register bank) need a fix-up after a
    // bit write (see fix_parity, fix_bank), which a branch would skip.
    uint8_t bit_write(bool psw_fixups_allowed) {
        for (;;) {
            const uint8_t b = bit_read();
            if (psw_fixups_allowed || (b != kPsw && b != kRs0 && b != kRs1)) return b;
        }
    }

    // Where an @Ri store may go: anywhere but the pass counter and the stack.
    uint8_t indirect_write_address() {
        for (;;) {
            const uint8_t a = below(kStackBase + 1);
            if (a != kPassCounter) return a;
        }
    }

    void byte(uint32_t b) { code_.at(pos_++) = static_cast<uint8_t>(b); }
    void count(uint8_t o) {
        ++program_.instructions;
        ++program_.opcode_uses[o];
    }
    void op(uint8_t o) {
        count(o);
        byte(o);
    }
    void start(Block& block) { block.starts.push_back(pos_); }
    void fixup(Block& block, Fixup::Type type, uint32_t at, uint8_t a_value = 0) {
        const size_t ahead = below(100) < 60 ? below(3) : below(16);
        block.fixups.push_back({type, at, block.starts.size() - 1, ahead, a_value});
    }

    // Two s51 faults the generated code steps around, each with an
    // instruction that changes nothing on hardware:
    // - A write to PSW may store a parity bit that disagrees with A. The
    //   parity flag follows A in hardware; s51 keeps the stored bit until A
    //   is next written. Rewriting A with itself (mov acc,acc) makes s51
    //   recompute the flag.
    // - A bit write to RS0 or RS1 (setb PSW.3, ...) changes the register
    //   bank in hardware; s51 switches banks on byte writes to PSW only.
    //   Rewriting PSW with itself (mov psw,psw) makes s51 switch.
    enum PswFix : unsigned { kFixParity = 1, kFixBank = 2 };
    void fix_parity() { op(0x85), byte(kAcc), byte(kAcc); }
    void fix_bank() { op(0x85), byte(kPsw), byte(kPsw); }
    void fix(unsigned fixups) {
        if (fixups & kFixBank) fix_bank();
        if (fixups & kFixParity) fix_parity();
    }

    // Operand bytes of `o` as the generator picks them. Returns the fix-ups
    // its written operands need.
    unsigned operands(uint8_t o, bool branch) {
        unsigned fixups = 0;
        for (const char* p = opcode_shape(o).operands; *p; ++p) {
            switch (*p) {
                case 'd': byte(direct_read()); break;
                case 'D': {
                    const uint8_t d = direct_write(!branch);
                    if (d == kPsw) fixups |= kFixParity;
                    byte(d);
                    break;
                }
                case 'b': byte(bit_read()); break;
                case 'B': {
                    const uint8_t b = bit_write(!branch);
                    if (b == kPsw) fixups |= kFixParity;
                    if (b == kRs0 || b == kRs1) fixups |= kFixBank;
                    byte(b);
                    break;
                }
                case 'i': byte(imm8()); break;
                case 'I': {
                    const uint16_t v = below(2) ? below(0x100) : below(0x10000);
                    byte(v >> 8), byte(v);
                    break;
                }
                case 'r': byte(0); break;
                default: throw std::logic_error("generator: operand letter without a rule");
            }
        }
        return fixups;
    }

    void plain(uint8_t o) {
        if (writes_indirect(o)) {
            op(0x78 | (o & 1)), byte(indirect_write_address());  // mov Ri,#address
        } else if (reads_indirect(o) && below(2)) {
            op(0x78 | (o & 1)), byte(below(256));
        }
        if ((o == 0xE0 || o == 0xF0) && below(5) != 0) {
            op(0x90), byte(0), byte(below(256));  // mov dptr,#00xx: a byte the dump shows
        } else if (o == 0x93) {
            const uint32_t d = below(pos_);  // MOVC reads placed code
            op(0x90), byte(d >> 8), byte(d);
        }
        op(o);
        fix(operands(o, false));
    }

    uint8_t plain_opcode() {
        for (;;) {
            const uint8_t o = below(256);
            if (kind_of(o) == Kind::Plain) return o;
        }
    }

    void cond_branch(Block& block, uint8_t o) {
        if (reads_indirect(o) && below(2)) op(0x78 | (o & 1)), byte(below(256));
        const uint32_t at = pos_;
        op(o);
        operands(o, true);
        fixup(block, Fixup::Type::Rel, at);
    }

    // PUSHes, a few plain units, as many POPs.
    void stack_group() {
        const uint32_t n = 1 + below(3);
        for (uint32_t i = 0; i < n; ++i) op(0xC0), byte(direct_read());
        for (uint32_t i = below(3); i > 0; --i) plain(plain_opcode());
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t d = direct_write(true);
            op(0xD0), byte(d);
            if (d == kPsw) fix_parity();
        }
    }

    // A jump over the body, the body, RET or RETI.
    void subroutine(uint8_t return_op) {
        const uint32_t hole = pos_;
        pos_ += 3;
        const uint32_t entry = pos_;
        Block body;
        Scope scope{true, 0};
        for (uint32_t n = 1 + below(10); n > 0; --n) unit(body, scope);
        resolve(body, pos_);
        op(return_op);
        const uint32_t after = pos_;

        pos_ = hole;
        const uint32_t next = hole + 2;
        const uint32_t form = below(3);
        if (form == 0 && after - next <= 127) {
            op(0x80), byte(after - next), byte(below(256));  // sjmp; the third byte never runs
        } else if (form == 1 && (after & 0xF800) == (next & 0xF800)) {
            op(((after >> 8) & 7) << 5 | 0x01), byte(after), byte(below(256));
        } else {
            op(0x02), byte(after >> 8), byte(after);
        }
        pos_ = after;
        subs_.push_back({static_cast<uint16_t>(entry), 1 + scope.callee_depth});
    }

    bool call(Block& block, Scope& scope, bool short_form) {
        if (!scope.in_subroutine && (subs_.empty() || below(8) == 0)) {
            start(block);
            subroutine(below(4) == 0 ? 0x32 : 0x22);
        }
        const uint32_t at = pos_;
        std::vector<const Subroutine*> near, any;
        for (size_t i = subs_.size(), n = 0; i-- > 0 && n < 16; ++n) {
            const Subroutine& s = subs_[i];
            if (scope.in_subroutine && s.depth >= kMaxCallDepth) continue;
            any.push_back(&s);
            if ((s.entry & 0xF800) == ((at + 2) & 0xF800)) near.push_back(&s);
        }
        if (any.empty()) return false;
        if (near.empty()) short_form = false;
        const auto& pool = short_form ? near : any;
        const Subroutine& target = *pool[below(2) ? 0 : below(pool.size())];
        start(block);
        if (short_form) {
            op(((target.entry >> 8) & 7) << 5 | 0x11), byte(target.entry);
        } else {
            op(0x12), byte(target.entry >> 8), byte(target.entry);
        }
        scope.callee_depth = std::max(scope.callee_depth, target.depth);
        return true;
    }

    void unit(Block& block, Scope& scope) {
        for (;;) {
            const uint8_t o = below(256);
            switch (kind_of(o)) {
                case Kind::Plain: start(block), plain(o); return;
                case Kind::CondBranch: start(block), cond_branch(block, o); return;
                case Kind::Sjmp:
                    start(block);
                    fixup(block, Fixup::Type::Rel, pos_);
                    op(0x80), byte(0);
                    return;
                case Kind::Ajmp:  // the opcode carries target bits 10-8: placed when resolved
                    start(block);
                    fixup(block, Fixup::Type::Page, pos_);
                    byte(0x01), byte(0);
                    return;
                case Kind::Ljmp:
                    start(block);
                    fixup(block, Fixup::Type::Abs, pos_);
                    op(0x02), byte(0), byte(0);
                    return;
                case Kind::JmpADptr: {
                    start(block);
                    const uint8_t a = imm8();
                    op(0x74), byte(a);  // mov a,#a; mov dptr,#target-a; jmp @a+dptr
                    fixup(block, Fixup::Type::Computed, pos_, a);
                    op(0x90), byte(0), byte(0);
                    op(0x73);
                    return;
                }
                case Kind::Acall:
                case Kind::Lcall:
                    if (call(block, scope, kind_of(o) == Kind::Acall)) return;
                    break;
                case Kind::Ret:
                case Kind::Reti:
                    if (scope.in_subroutine) break;
                    start(block), subroutine(o);
                    return;
                case Kind::Push:
                case Kind::Pop: start(block), stack_group(); return;
            }
        }
    }

    bool fits(const Fixup& f, uint32_t target) const {
        switch (f.type) {
            case Fixup::Type::Rel: return target - (f.at + opcode_length(code_[f.at])) <= 127;
            case Fixup::Type::Page: return ((f.at + 2) & 0xF800) == (target & 0xF800);
            default: return true;
        }
    }

    void patch(const Fixup& f, uint32_t target) {
        switch (f.type) {
            case Fixup::Type::Rel: {
                const int len = opcode_length(code_[f.at]);
                code_[f.at + len - 1] = static_cast<uint8_t>(target - (f.at + len));
                break;
            }
            case Fixup::Type::Page:
                code_[f.at] = static_cast<uint8_t>(((target >> 8) & 7) << 5 | 0x01);
                code_[f.at + 1] = static_cast<uint8_t>(target);
                count(code_[f.at]);
                break;
            case Fixup::Type::Abs:
                code_[f.at + 1] = static_cast<uint8_t>(target >> 8);
                code_[f.at + 2] = static_cast<uint8_t>(target);
                break;
            case Fixup::Type::Computed: {
                const uint32_t dptr = (target - f.a_value) & 0xFFFF;
                code_[f.at + 1] = static_cast<uint8_t>(dptr >> 8);
                code_[f.at + 2] = static_cast<uint8_t>(dptr);
                break;
            }
        }
    }

    // Points every forward branch of `block` at a unit start (or `end`),
    // moving closer while the target is out of the instruction's reach.
    // The next unit's start is always in reach.
    void resolve(Block& block, uint32_t end) {
        block.starts.push_back(end);
        for (const Fixup& f : block.fixups) {
            size_t t = std::min(f.unit + 1 + f.ahead, block.starts.size() - 1);
            while (!fits(f, block.starts[t])) {
                if (t == f.unit + 1) throw std::logic_error("generator: next unit out of reach");
                --t;
            }
            patch(f, block.starts[t]);
        }
    }

    std::mt19937_64 rng_;
    std::vector<uint8_t> code_;
    uint32_t pos_ = 0;
    Program program_;
    std::vector<Subroutine> subs_;
};

// Places code at chosen addresses and records the path it will take.
class Tracer {
public:
    TracedProgram result;

    Tracer() { result.program.image.assign(0x10000, 0); }

    // Places one instruction at `pos` and records it as the next step.
    void run(std::initializer_list<uint8_t> bytes) {
        exec(pos);
        place(pos, bytes);
        pos += static_cast<uint32_t>(bytes.size());
    }
    void place(uint32_t at, std::initializer_list<uint8_t> bytes) {
        auto& p = result.program;
        ++p.instructions;
        ++p.opcode_uses[*bytes.begin()];
        std::copy(bytes.begin(), bytes.end(), p.image.begin() + at);
    }
    void exec(uint32_t at) { result.trace.push_back({static_cast<uint16_t>(at), stretch}); }

    uint32_t pos = 0;
    uint8_t stretch = 1;  // CKCON.MD at power-on
};

}  // namespace

Program generate_program(uint64_t seed, const GeneratorOptions& options) {
    return Generator(seed).build(options);
}

TracedProgram every_opcode_once() {
    Tracer t;
    auto hi = [](uint32_t v) { return static_cast<uint8_t>(v >> 8); };
    auto lo = [](uint32_t v) { return static_cast<uint8_t>(v); };
    // A subroutine call whose return instruction is `ret`: sjmp over it, call it.
    auto call_snippet = [&](uint8_t ret) {
        t.run({0x80, 0x01});             // sjmp call
        const uint32_t sub = t.pos;
        t.place(sub, {ret});
        t.pos += 1;
        t.run({0x12, hi(sub), lo(sub)});  // lcall sub
        t.exec(sub);
    };

    t.run({0x75, 0x81, kStackBase});
    t.run({0x75, 0xF0, 0x07});  // mov b,#7
    t.run({0x75, kP2, 0x00});   // mov P2,#0: MOVX @Ri in page 0
    for (int o = 0; o < 256; ++o) {
        const uint8_t op = static_cast<uint8_t>(o);
        switch (kind_of(op)) {
            case Kind::Ajmp:
            case Kind::Acall:
            case Kind::Lcall:
            case Kind::Pop:
                continue;  // in the page section below, or in the RET/RETI and PUSH snippets
            case Kind::Ret:
            case Kind::Reti: call_snippet(op); continue;
            case Kind::Push:
                t.run({0xC0, 0x30});  // push 0x30
                t.run({0xD0, 0x32});  // pop 0x32
                continue;
            case Kind::Sjmp: t.run({0x80, 0x00}); continue;
            case Kind::Ljmp: t.run({0x02, hi(t.pos + 3), lo(t.pos + 3)}); continue;
            case Kind::JmpADptr: {
                const uint32_t target = t.pos + 2 + 3 + 1;
                t.run({0x74, 0x03});
                t.run({0x90, hi(target - 3), lo(target - 3)});
                t.run({0x73});
                continue;
            }
            case Kind::Plain:
            case Kind::CondBranch: break;
        }
        if (indirect(op)) t.run({static_cast<uint8_t>(0x78 | (op & 1)), 0x40});  // mov Ri,#0x40
        if (op == 0xE0 || op == 0xF0) t.run({0x90, 0x00, 0x40});
        if (op == 0x93) t.run({0x90, 0x00, 0x00});
        if (op == 0x84 || op == 0xA4) t.run({0x75, 0xF0, 0x07});
        // Operands: reads from 0x30/bit 0x05, writes to 0x31/bit 0x06,
        // branches to the next instruction.
        uint8_t bytes[3] = {op, 0, 0};
        int n = 1;
        for (const char* p = opcode_shape(op).operands; *p; ++p) {
            switch (*p) {
                case 'd': bytes[n++] = 0x30; break;
                case 'D': bytes[n++] = 0x31; break;
                case 'b': bytes[n++] = 0x05; break;
                case 'B': bytes[n++] = 0x06; break;
                case 'i': bytes[n++] = 0x5A; break;
                case 'I': bytes[n++] = 0x12, bytes[n++] = 0x34; break;
                case 'r': bytes[n++] = 0x00; break;
            }
        }
        t.exec(t.pos);
        auto& image = t.result.program.image;
        ++t.result.program.instructions;
        ++t.result.program.opcode_uses[op];
        std::copy(bytes, bytes + n, image.begin() + t.pos);
        t.pos += n;
    }

    // MOVX under other stretch values (CKCON.MD), then back to power-on.
    t.run({0x75, kCkcon, 0x00});
    t.stretch = 0;
    t.run({0xE0});
    t.run({0x75, kCkcon, 0x07});
    t.stretch = 7;
    t.run({0xF0});
    t.run({0x75, kCkcon, 0x01});
    t.stretch = 1;

    // AJMP and ACALL with target bits 10-8 = v, one 256-byte step of a
    // fresh 2 KiB page each: ajmp +0x10; acall +0x40; ljmp next step.
    const uint32_t page = (t.pos + 3 + 0x7FF) & ~0x7FFu;
    t.run({0x02, hi(page), lo(page)});
    for (uint32_t v = 0; v < 8; ++v) {
        const uint32_t base = page + v * 0x100;
        t.pos = base;
        t.run({static_cast<uint8_t>(v << 5 | 0x01), 0x10});  // ajmp base+0x10
        t.pos = base + 0x10;
        t.run({static_cast<uint8_t>(v << 5 | 0x11), 0x40});  // acall base+0x40
        t.place(base + 0x40, {0x22});
        t.exec(base + 0x40);
        const uint32_t next = base + 0x100;
        t.run({0x02, hi(next), lo(next)});
    }
    t.pos = page + 0x800;
    t.result.program.halt = static_cast<uint16_t>(t.pos);
    t.place(t.pos, {0x80, 0xFE});
    t.result.program.image.resize(t.pos + 2 + 256);
    return std::move(t.result);
}

void write_intel_hex(const std::filesystem::path& path, const std::vector<uint8_t>& image) {
    std::ofstream out(path, std::ios::binary);
    if (!out) throw std::runtime_error("cannot write " + path.string());
    char line[64];
    for (size_t at = 0; at < image.size(); at += 16) {
        const size_t n = std::min<size_t>(16, image.size() - at);
        unsigned sum = static_cast<unsigned>(n + (at >> 8 & 0xFF) + (at & 0xFF));
        int len = std::snprintf(line, sizeof line, ":%02zX%04zX00", n, at);
        for (size_t i = 0; i < n; ++i) {
            len += std::snprintf(line + len, sizeof line - len, "%02X", image[at + i]);
            sum += image[at + i];
        }
        std::snprintf(line + len, sizeof line - len, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        out << line;
    }
    out << ":00000001FF\n";
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace cpu_diff
