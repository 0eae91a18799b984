// The 8051 core of the virtual board: the controller's 4-clock MCS-51 core
// with its extras (dual data pointer, MOVX stretch, idle, extended interrupt
// system), cycle-exact against the instruction timing of that core.
//
// The core knows nothing of USB. The board attaches to it through a narrow
// bus: code fetch from a 64 KiB array (with a per-address fetch hook), external
// data through a table of 256-byte pages (memory or handler), SFR handlers per
// address, interrupt request inputs, and a diagnostics sink for firmware faults.
//
// Index of the component (declarations grouped by the file that defines them):
//   cpu.cpp       set-up, reset, power-on pattern, state access, and the
//                 slow paths of memory access (SFR side effects, handlers)
//   execute.cpp   decode (the opcode switch), run loop, interrupt system
//   memory.inl    internal RAM, SFR, bit, stack and external data access
//   alu.inl       arithmetic and flag helpers
//   opcodes.h     the opcode table (mnemonic, length, cycles)
//   disasm.cpp    disassembler
//   image.cpp     loading of Intel HEX and raw binary images
//   sfr.h/.cpp    SFR addresses and names
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cpu/opcodes.h"
#include "cpu/sfr.h"

namespace vboard {

class Diagnostics;

// Clock periods per instruction cycle of this core.
inline constexpr unsigned clocks_per_cycle = 4;

// Interrupt sources in natural priority order (resume first).
enum class Irq : std::uint8_t {
    resume,   // 0x0033, EICON.4 RESI, enable EICON.5 ERESI, always the highest level
    int0,     // 0x0003
    timer0,   // 0x000B
    int1,     // 0x0013
    timer1,   // 0x001B
    serial0,  // 0x0023
    timer2,   // 0x002B
    serial1,  // 0x003B
    usb,      // 0x0043, INT2: EXIF.4, enable EIE.0, priority EIP.0
    i2c,      // 0x004B, INT3: EXIF.5, EIE.1, EIP.1
    int4,     // 0x0053, EXIF.6, EIE.2, EIP.2
    int5,     // 0x005B, EXIF.7, EIE.3, EIP.3
    int6,     // 0x0063, EICON.3, EIE.4, EIP.4
};
inline constexpr int irq_count = 13;
std::uint16_t irq_vector(Irq irq);

// Per-address counts of code space the core keeps while coverage is on:
// how many times an instruction started at each address, and how many times
// the instruction there was followed by one other than the next in memory
// (a jump, call or return, or a conditional jump taken). An interrupt
// entered after an instruction does not count as its jump.
struct CodeCounts {
    std::uint64_t executed[0x10000];
    std::uint64_t jumped[0x10000];
};

enum class StopReason : std::uint8_t {
    cycles,      // the cycle limit was reached
    breakpoint,  // PC reached a breakpoint (the instruction there has not run)
    stopped,     // request_stop() was called
    predicate,   // run_until's predicate became true
};

// Fills memory with the deterministic pseudo-random power-on pattern of `seed`.
void fill_power_on_pattern(std::uint8_t* mem, std::size_t size, std::uint64_t seed);

class Cpu {
public:
    // Bus callbacks: plain function pointers with a context, no virtual call.
    using SfrRead = std::uint8_t (*)(void* ctx, std::uint8_t addr);
    using SfrWrite = void (*)(void* ctx, std::uint8_t addr, std::uint8_t value);
    using XRead = std::uint8_t (*)(void* ctx, std::uint16_t addr);
    using XWrite = void (*)(void* ctx, std::uint16_t addr, std::uint8_t value);
    // Returns the byte the core sees when it fetches `addr` as code.
    using FetchHook = std::uint8_t (*)(void* ctx, std::uint16_t addr, std::uint8_t stored);
    // Called before each instruction; cpu.pc() is the instruction's address.
    using TraceHook = void (*)(void* ctx, const Cpu& cpu);
    // Called when the core vectors to an interrupt (peripherals that own
    // request flags cleared by hardware on vectoring clear them here).
    using IrqAck = void (*)(void* ctx, Irq irq);

    explicit Cpu(Diagnostics* diag = nullptr);
    ~Cpu();
    Cpu(const Cpu&) = delete;
    Cpu& operator=(const Cpu&) = delete;

    // ---- cpu.cpp: bus set-up ------------------------------------------------
    // Code memory: 65,536 bytes owned by the caller (the board's RAM may be
    // shared with external data). Until set, code reads as 0x00.
    void set_code(const std::uint8_t* code);
    const std::uint8_t* code() const { return code_; }
    // Maps whole 256-byte pages of external data; `base` and `size` must be
    // multiples of 256. Memory pages are read and written directly.
    void map_xdata_memory(std::uint16_t base, std::uint32_t size, std::uint8_t* mem);
    void map_xdata_handler(std::uint16_t base, std::uint32_t size, XRead read, XWrite write, void* ctx);
    void unmap_xdata(std::uint16_t base, std::uint32_t size);
    // An SFR the board implements. Replaces any earlier attachment, but the
    // core's own registers (ACC, B, PSW, SP, DPTRs, DPS, PCON, CKCON, IE, IP,
    // EXIF, EICON, EIE, EIP) cannot be replaced.
    void attach_sfr(std::uint8_t addr, SfrRead read, SfrWrite write, void* ctx);
    // A plain read/write register held by the core, with its reset value.
    void attach_sfr_register(std::uint8_t addr, std::uint8_t reset_value);
    // The SFR that gives the upper address byte of MOVX @Ri (P2 on a plain
    // 8052, MPAGE on the controller). It becomes a plain core register.
    void set_movx_page_sfr(std::uint8_t addr);
    // Per-address code fetch substitution (the controller's autovector byte).
    void set_fetch_hook(std::uint16_t addr, FetchHook hook, void* ctx);
    void clear_fetch_hook(std::uint16_t addr);
    // Addresses holding fill bytes, not code: executing there is reported.
    void mark_fill(std::uint16_t base, std::uint32_t size, bool fill = true);
    void set_breakpoint(std::uint16_t addr, bool on = true);
    void clear_breakpoints();
    void set_trace(TraceHook hook, void* ctx);
    // Counts every instruction into `counts` (null: off, the run loop
    // without counting). The caller owns the counts and zeroes them.
    void set_coverage(CodeCounts* counts) { counts_ = counts; }
    CodeCounts* coverage() const { return counts_; }
    void set_irq_ack(IrqAck ack, void* ctx);
    void set_diagnostics(Diagnostics* diag) { diag_ = diag; }
    Diagnostics* diagnostics() const { return diag_; }

    // ---- cpu.cpp: reset and power ---------------------------------------------
    // Internal RAM gets the power-on pattern of `seed`, then reset().
    void power_on(std::uint64_t seed);
    // SFRs to their reset values (SP 0x07, CKCON 0x01, the rest 0x00 unless
    // attached otherwise), PC 0, interrupt and idle state cleared. Internal
    // RAM keeps its contents.
    void reset();
    // While held, the core executes nothing and time passes; asserting resets
    // the core, releasing lets it start at 0x0000.
    void set_reset_held(bool held);
    bool reset_held() const { return (attn_ & attn_reset) != 0; }

    // ---- execute.cpp: running ---------------------------------------------------
    // Runs until the cycle counter reaches `until_cycle` (the instruction that
    // crosses it completes), a breakpoint, or request_stop(). A breakpoint at
    // the PC where the run starts does not stop it before its first instruction.
    StopReason run(std::uint64_t until_cycle);
    // One instruction, or one interrupt entry, or one idle cycle; returns the
    // cycles it took.
    std::uint64_t step();
    // Steps until `pred(cpu)` is true (checked after each step), the cycle limit,
    // a breakpoint or request_stop().
    template <class Pred>
    StopReason run_until(Pred&& pred, std::uint64_t until_cycle);
    // Ends the current run after the instruction in progress (callable from
    // handlers and hooks).
    void request_stop() { stop_requested_ = true; limit_ = 0; }

    std::uint64_t cycles() const { return cycles_; }
    // Instructions executed (brought up to date when a run slice ends, and
    // before each call of the trace hook).
    std::uint64_t instructions() const { return instructions_; }
    bool idle() const { return (attn_ & attn_idle) != 0; }
    // Cycles spent in idle mode since power-on: a measurement, running on
    // across save_state()/restore_state() (compare two readings of one run).
    std::uint64_t idle_cycles() const { return idle_cycles_; }

    // ---- execute.cpp: interrupt inputs -----------------------------------------
    // Sets or clears a request. For resume, usb, i2c, int4..int6 this is the
    // flag bit in EICON/EXIF that the firmware clears; for the others it is the
    // request line of a board peripheral, held until cleared. A new request is
    // first sampled in the cycle after it is raised.
    void set_interrupt(Irq irq, bool on = true);
    bool interrupt_flag(Irq irq) const;
    // Nesting depth of interrupt handlers in progress.
    int interrupts_in_service() const { return isr_depth_; }

    // ---- cpu.cpp: snapshots ------------------------------------------------------
    // The core's state without its wiring (code and data bus, SFR handlers,
    // hooks, diagnostics sink): registers, internal RAM, interrupt system,
    // counters and the per-address marks (breakpoints, fill). Taken and put
    // back between runs; restoring it into the core it came from (or one
    // wired the same way) continues exactly where it was taken.
    struct State {
        std::uint64_t cycles = 0, instructions = 0;
        std::uint16_t pc = 0;
        std::uint8_t attn = 0;
        std::uint8_t iram[256] = {};
        std::uint8_t sfr[128] = {};
        std::vector<std::uint8_t> addr_flags;
        std::uint16_t ext_requests = 0;
        std::uint64_t raised_at[irq_count] = {};
        std::uint8_t active_levels = 0;
        int isr_depth = 0;
        std::uint16_t isr_vector[3] = {};
        std::uint8_t isr_sp[3] = {}, isr_acc[3] = {}, isr_psw[3] = {};
    };
    State save_state() const;
    void restore_state(const State& state);

    // ---- cpu.cpp: state access (no side effects, no handlers) ------------------
    // Address of the next instruction; while an instruction executes (in
    // handlers) the address of that instruction.
    std::uint16_t pc() const { return pc_; }
    void set_pc(std::uint16_t pc) { pc_ = pc; }
    std::uint8_t acc() const { return sfr_[sfr::ACC - 0x80]; }
    std::uint8_t b() const { return sfr_[sfr::B - 0x80]; }
    std::uint8_t psw() const;  // with the parity bit of ACC
    std::uint8_t sp() const { return sfr_[sfr::SP - 0x80]; }
    std::uint16_t dptr0() const;
    std::uint16_t dptr1() const;
    std::uint8_t* iram() { return iram_; }
    const std::uint8_t* iram() const { return iram_; }
    // Register Rn of the current bank.
    std::uint8_t reg(int n) const { return iram_[(sfr_[sfr::PSW - 0x80] & sfr::PSW_RS) | (n & 7)]; }
    // A core-held SFR (core register or attached register); 0 for others.
    std::uint8_t sfr(std::uint8_t addr) const;
    // Sets a core-held SFR without side effects other than re-evaluating
    // pending interrupts.
    void set_sfr(std::uint8_t addr, std::uint8_t value);
    // External data through the page table, as a MOVX would (handlers called).
    std::uint8_t xdata_read(std::uint16_t addr);
    void xdata_write(std::uint16_t addr, std::uint8_t value);

private:
    // Attention bits: anything that needs the slow path at an instruction boundary.
    static constexpr std::uint8_t attn_irq = 0x01;    // re-evaluate interrupts
    static constexpr std::uint8_t attn_block = 0x02;  // one more instruction first
    static constexpr std::uint8_t attn_idle = 0x04;
    static constexpr std::uint8_t attn_reset = 0x08;
    static constexpr std::uint8_t attn_fetch = 0x10;  // restore code fetch after a hooked instruction

    // Per-address flags of code memory.
    static constexpr std::uint8_t af_break = 0x01;
    static constexpr std::uint8_t af_fill = 0x02;
    static constexpr std::uint8_t af_hook = 0x04;  // an instruction here may cover a hooked byte

    enum SfrMode : std::uint8_t { sfr_plain, sfr_core, sfr_handler, sfr_unhandled };

    struct XPage {
        std::uint8_t* mem;  // page start, or nullptr
        XRead read;
        XWrite write;
        void* ctx;
    };
    struct SfrSlot {
        SfrRead read;
        SfrWrite write;
        void* ctx;
    };
    struct IsrEntry {
        std::uint16_t vector;
        std::uint8_t sp, acc, psw;
    };
    struct FetchHookEntry {
        std::uint16_t addr;
        FetchHook hook;
        void* ctx;
    };

    // ---- execute.cpp ---------------------------------------------------------------
    StopReason run_slice(std::uint64_t until_cycle, bool first_slice);
    template <bool Traced, bool Counted>
    StopReason run_loop();
    void execute(std::uint16_t& pc, std::uint64_t& cycles);
    bool boundary();           // false: nothing to execute at this boundary
    int prepare_flagged(std::uint16_t pc, std::uint64_t executed);  // breakpoint / fill / fetch hook
    bool take_interrupt();
    void idle_wait();
    std::uint16_t pending_interrupts() const;
    int irq_level(int src) const;
    int active_level() const;
    void enter_interrupt(int src);
    void leave_interrupt();
    void core_sfr_write(std::uint8_t addr, std::uint8_t value);
    void raise_flags_at(std::uint16_t before, std::uint16_t after);

    // ---- memory.inl (internal RAM, SFR, bit, stack, external data) -----------------
    std::uint8_t& rn(int n);
    std::uint8_t& at_ri(int i);
    std::uint8_t& acc_ref() { return sfr_[sfr::ACC - 0x80]; }
    std::uint8_t& b_ref() { return sfr_[sfr::B - 0x80]; }
    std::uint8_t& psw_ref() { return sfr_[sfr::PSW - 0x80]; }
    std::uint8_t& sp_ref() { return sfr_[sfr::SP - 0x80]; }
    std::uint16_t dptr() const;
    void set_dptr(std::uint16_t v);
    bool carry() const { return (sfr_[sfr::PSW - 0x80] & sfr::PSW_CY) != 0; }
    void set_carry(bool c);
    std::uint8_t read_direct(std::uint8_t addr);
    void write_direct(std::uint8_t addr, std::uint8_t value);
    std::uint8_t read_sfr(std::uint8_t addr);
    void write_sfr(std::uint8_t addr, std::uint8_t value);
    std::uint8_t read_sfr_slow(std::uint8_t addr);
    void write_sfr_slow(std::uint8_t addr, std::uint8_t value);
    bool read_bit(std::uint8_t bit);
    void write_bit(std::uint8_t bit, bool value);
    void push(std::uint8_t value);
    std::uint8_t pop();
    std::uint8_t read_xdata(std::uint16_t addr);
    void write_xdata(std::uint16_t addr, std::uint8_t value);
    std::uint8_t read_xdata_slow(std::uint16_t addr);
    void write_xdata_slow(std::uint16_t addr, std::uint8_t value);
    std::uint16_t movx_ri_addr(int i);
    void stack_wrapped(bool push);
    void report(int kind, std::string message);
    void report_at(int kind, std::uint16_t address, const char* action, const char* action_many);
    // False (the finding only counted) when its text would not be kept.
    bool wants_report(int kind);

    // ---- alu.inl -------------------------------------------------------------------
    void add_a(std::uint8_t v, bool carry_in);
    void subb_a(std::uint8_t v);
    void da_a();
    void mul_ab();
    void div_ab();
    bool cjne(std::uint8_t lhs, std::uint8_t rhs);

    // ---- state (hot first) -----------------------------------------------------------
    std::uint64_t cycles_ = 0;
    std::uint64_t limit_ = 0;
    std::uint64_t instructions_ = 0;
    std::uint64_t idle_cycles_ = 0;
    const std::uint8_t* fetch_;  // code bytes as fetched (code_, or the hook's shadow)
    const std::uint8_t* code_;   // code bytes as read by MOVC
    std::uint16_t pc_ = 0;
    std::uint8_t attn_ = 0;
    bool stop_requested_ = false;
    std::uint8_t iram_[256];
    std::uint8_t sfr_[128];
    std::uint8_t sfr_mode_[128];
    std::uint8_t sfr_reset_[128];
    std::unique_ptr<std::uint8_t[]> addr_flags_;  // 65,536 entries
    XPage xpages_[256];
    SfrSlot sfr_slots_[128];

    // Interrupt system.
    std::uint16_t ext_requests_ = 0;       // request lines of int0..serial1
    std::uint64_t raised_at_[irq_count] = {};  // cycle at which each request rose
    std::uint8_t active_levels_ = 0;       // bit per level in progress (0 low, 1 high, 2 resume)
    int isr_depth_ = 0;
    IsrEntry isr_stack_[3] = {};
    IrqAck irq_ack_ = nullptr;
    void* irq_ack_ctx_ = nullptr;

    // Run bookkeeping.
    bool skip_break_ = false;  // the run starts on a breakpoint it must not stop at
    std::uint16_t run_start_pc_ = 0;
    std::uint64_t run_start_instructions_ = 0;
    std::uint8_t movx_page_sfr_ = sfr::MPAGE;
    TraceHook trace_ = nullptr;
    void* trace_ctx_ = nullptr;
    CodeCounts* counts_ = nullptr;
    std::vector<FetchHookEntry> fetch_hooks_;
    std::unique_ptr<std::uint8_t[]> shadow_;  // fetch view of a hooked instruction
    std::unique_ptr<std::uint8_t[]> zero_code_;
    Diagnostics* diag_ = nullptr;
};

template <class Pred>
StopReason Cpu::run_until(Pred&& pred, std::uint64_t until_cycle) {
    bool first = true;
    while (!pred(*this)) {
        if (cycles_ >= until_cycle) return StopReason::cycles;
        StopReason r = run_slice(cycles_ + 1, first);
        if (r != StopReason::cycles) return r;
        first = false;
    }
    return StopReason::predicate;
}

}  // namespace vboard
