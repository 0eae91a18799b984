// Speed of the port engine on the virtual board, all in simulated time: the
// built firmware's cycles per command-script op and per 64-byte stream
// packet in each direction, counted instruction by instruction on the
// board's core; and stream throughput through the host model, whose bus
// carries at most 19 packets of 64 bytes per 1 ms frame (1.216 MB/s).
//
//   build/bin/engine_bench
//
// Cycles are instruction cycles of the 24 MHz core (4 clocks, 6 per µs).
// An interrupt handler's cycles run from the hardware call (4 cycles) to
// the end of its RETI; a poll's from its LCALL to the end of its RET.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine_board.h"

namespace {

using fwtest::Bytes;
using fwtest::EngineBoard;

constexpr double ceiling_mb_s = 19 * 64 / 1000.0;  // bytes per µs = MB/s
constexpr uint16_t usb_vector = 0x0043;
constexpr uint16_t jump_table = 0x0100, jump_table_end = 0x0158;
constexpr uint8_t ep1_out = 0x24, ep2_out = 0x2C;

struct Span {
    uint64_t count = 0, cycles = 0, min = UINT64_MAX, max = 0;
    void add(uint64_t c) {
        ++count;
        cycles += c;
        min = std::min(min, c);
        max = std::max(max, c);
    }
    double mean() const { return count ? double(cycles) / double(count) : 0.0; }
};

// Where a handler's cycles go, by kind of instruction.
enum Share : int { share_call, share_dispatch, share_autodata, share_movx, share_djnz, share_save, share_other, shares };
const char* const share_names[shares] = {
    "hardware call / LCALL", "vector and jump-table LJMPs", "AUTODATA MOVX (the bytes)", "other MOVX",
    "DJNZ", "save and restore, RET/RETI", "tests, pointer set-up, counts, acks"};
using Shares = std::array<uint64_t, shares>;

// Follows the core instruction by instruction: USB interrupt handlers by
// their jump-table offset, stream_poll calls and the rest of the main loop,
// each with its cycles by kind of instruction.
class Profiler {
public:
    Profiler(EngineBoard& b) : b_(b) {
        poll_ = b.symbol("stream_poll");
        const uint8_t* code = b.board.cpu().code();
        for (uint16_t a = 0; a + 2 < 0x1000; ++a)  // the main loop's LCALL stream_poll
            if (code[a] == 0x12 && (code[a + 1] << 8 | code[a + 2]) == poll_) poll_return_ = uint16_t(a + 3);
        last_cycles_ = b.board.cpu().cycles();
        b.board.cpu().set_trace(&Profiler::hook, this);
    }
    ~Profiler() { b_.board.cpu().set_trace(nullptr, nullptr); }

    std::map<uint8_t, Span> isr;          // by jump-table offset
    std::map<uint8_t, Shares> isr_shares;
    Span poll_busy, poll_idle;            // stream_poll calls that moved a packet, and the others
    Shares poll_busy_shares{};
    Span loop_rest;                       // main loop: from a poll's return to the next poll's LCALL

    void reset() {
        isr.clear();
        isr_shares.clear();
        poll_busy = poll_idle = loop_rest = Span{};
        poll_busy_shares = {};
        poll_start_ = pass_start_ = 0;
    }

private:
    static void hook(void* ctx, const vboard::Cpu& cpu) { static_cast<Profiler*>(ctx)->step(cpu); }

    // The kind of the instruction about to run at the core's PC.
    static Share classify(const vboard::Cpu& cpu) {
        const uint16_t pc = cpu.pc();
        const uint8_t* code = cpu.code();
        const uint8_t op = code[pc];
        if (pc == usb_vector || (pc >= jump_table && pc < jump_table_end)) return share_dispatch;
        if (op == 0xE0 || op == 0xF0) {
            const uint16_t dptr = cpu.sfr(0x86) & 1 ? cpu.dptr1() : cpu.dptr0();
            return dptr == vboard::controller::Ports::AUTODATA ? share_autodata : share_movx;
        }
        if (op == 0xE2 || op == 0xE3 || op == 0xF2 || op == 0xF3) return share_movx;
        if ((op & 0xF8) == 0xD8 || op == 0xD5) return share_djnz;
        if (op == 0x12) return share_call;
        const bool dps = (op == 0x05 || op == 0x15) && code[pc + 1] == 0x86;           // INC/DEC DPS
        const bool psw = op == 0x75 && code[pc + 1] == 0xD0;                            // MOV PSW,#
        if (op == 0xC0 || op == 0xD0 || op == 0x32 || op == 0x22 || dps || psw) return share_save;
        return share_other;
    }

    void step(const vboard::Cpu& cpu) {
        const uint64_t now = cpu.cycles();
        const int depth = cpu.interrupts_in_service();
        const uint16_t pc = cpu.pc();
        uint64_t delta = now - last_cycles_;  // the last instruction, and a hardware call after it
        const bool entered = depth > depth_;
        if (entered) delta -= 4;
        // The last instruction: in a handler, or in the foreground.
        if (depth_ > 0) {
            isr_now_[last_share_] += delta;
        } else {
            foreground_ += delta;
            poll_now_[last_share_] += delta;
        }
        if (depth == 0 && pc == poll_) {  // the LCALL (4 cycles) has run, perhaps an interrupt after it
            poll_start_ = foreground_ - 4;
            if (pass_start_) loop_rest.add(poll_start_ - pass_start_);
            poll_now_ = {};
            poll_now_[share_call] = 4;
        }
        if (entered) {
            isr_start_ = now - 4;
            isr_offset_ = -1;
            isr_now_ = {};
            isr_now_[share_call] = 4;
        }
        if (depth > 0 && isr_offset_ < 0 && pc >= jump_table && pc < jump_table_end) isr_offset_ = pc - jump_table;
        if (depth < depth_ && isr_offset_ >= 0) {  // after the RETI
            isr[uint8_t(isr_offset_)].add(now - isr_start_);
            Shares& sh = isr_shares[uint8_t(isr_offset_)];
            for (int i = 0; i < shares; ++i) sh[i] += isr_now_[i];
        }
        if (depth == 0 && pc == poll_return_ && poll_start_) {
            const uint64_t span = foreground_ - poll_start_;
            const bool busy = span > 100;
            (busy ? poll_busy : poll_idle).add(span);
            if (busy)
                for (int i = 0; i < shares; ++i) poll_busy_shares[i] += poll_now_[i];
            pass_start_ = foreground_;
        }
        last_cycles_ = now;
        last_share_ = classify(cpu);
        depth_ = depth;
    }

    EngineBoard& b_;
    uint16_t poll_ = 0, poll_return_ = 0;
    uint64_t last_cycles_ = 0;
    Share last_share_ = share_other;
    int depth_ = 0;
    uint64_t isr_start_ = 0;
    int isr_offset_ = -1;
    Shares isr_now_{}, poll_now_{};
    uint64_t foreground_ = 0;  // cycles of instructions run outside interrupt handlers
    uint64_t poll_start_ = 0, pass_start_ = 0;
};

void print_shares(const Shares& sh, uint64_t packets) {
    for (int i = 0; i < shares; ++i)
        if (sh[i]) std::printf("      %-38s %6.1f\n", share_names[i], double(sh[i]) / double(packets));
}

bool failed = false;

bool check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "engine_bench: %s\n", what);
        failed = true;
    }
    return ok;
}

// ---- script ops ---------------------------------------------------------------------------

struct OpCase {
    const char* name;
    Bytes op;
};

// Cycles of the EP1 OUT handler for one script.
double script_cycles(EngineBoard& b, Profiler& prof, const Bytes& script, bool replies) {
    prof.reset();
    b.script(script);
    if (replies) b.read_reply();
    return prof.isr[ep1_out].mean();
}

void ops(uint8_t stretch_op) {
    EngineBoard b;
    if (!check(b.ok(), b.error().c_str())) return;
    b.script(Bytes{0x00, 0x14, 0x07, stretch_op, 0x12, 0x24});
    b.read_reply();
    Profiler prof(b);
    const OpCase cases[] = {
        {"op_oe        07", {0x07}},
        {"op_ctl       14", {0x14}},
        {"op_pins      24", {0x24}},
        {"op_write     34 5a", {0x34, 0x5A}},
        {"op_read      44", {0x44}},
        {"op_stream_out 54 00 00 00", {0x54, 0x00, 0x00, 0x00}},
        {"op_stream_in  64 00 00 00", {0x64, 0x00, 0x00, 0x00}},
        {"filler       80", {0x80}},
        {"op_timing    f? 12", {stretch_op, 0x12}},
    };
    const double empty = script_cycles(b, prof, {}, false);
    std::printf("\nScript ops, MOVX stretch %d (%02x 12): EP1 OUT handler, empty script %.0f cycles\n",
                stretch_op & 0x0F ? 1 : 0, stretch_op, empty);
    std::printf("  %-28s %10s %12s\n", "op", "cycles/op", "script of N");
    for (const auto& c : cases) {
        Bytes script;
        while (script.size() + c.op.size() <= 64) script.insert(script.end(), c.op.begin(), c.op.end());
        const size_t n = script.size() / c.op.size();
        const bool replies = c.op[0] >> 4 == 2 || c.op[0] >> 4 == 4;
        const double total = script_cycles(b, prof, script, replies);
        std::printf("  %-28s %10.1f %8.0f (N=%zu)\n", c.name, (total - empty) / double(n), total, n);
    }
    const Bytes id = {0x31, 0x90, 0x32, 0x00, 0x40, 0x40, 0x40, 0x14};
    std::printf("  card tool's ID script (8 bytes): %.0f cycles\n", script_cycles(b, prof, id, true));
}

// ---- stream packets --------------------------------------------------------------------------

void packets(uint8_t stretch_op) {
    const int stretch = stretch_op & 0x0F ? 1 : 0;
    std::printf("\nStream packets, MOVX stretch %d\n", stretch);
    {
        EngineBoard b;
        if (!check(b.ok(), b.error().c_str())) return;
        b.script(Bytes{0x00, 0x14, 0x07, stretch_op, 0x12, 0x24});
        b.read_reply();
        Profiler prof(b);
        const uint32_t n = 1000;
        b.script(Bytes{0x54, 0x00, uint8_t(n), uint8_t(n >> 8)});
        prof.reset();
        b.stream_out(fwtest::pattern(64 * n, 1));
        const Span& s = prof.isr[ep2_out];
        std::printf("  host to bus: stream_out_packet %.1f cycles per 64-byte packet (min %llu, max %llu, %llu packets)"
                    " = %.2f cycles per byte\n",
                    s.mean(), (unsigned long long)s.min, (unsigned long long)s.max, (unsigned long long)s.count,
                    s.mean() / 64);
        print_shares(prof.isr_shares[ep2_out], s.count);
    }
    {
        EngineBoard b;
        if (!check(b.ok(), b.error().c_str())) return;
        b.script(Bytes{0x00, 0x14, 0x07, stretch_op, 0x12, 0x24});
        b.read_reply();
        Profiler prof(b);
        const uint32_t n = 1000;
        b.script(Bytes{0x31, 0x00, 0x32, 0x00, 0x32, 0x00, 0x32, 0x00});  // page read from page 0
        prof.reset();
        b.script(Bytes{0x60, 0x00, uint8_t(n), uint8_t(n >> 8)});
        b.read_reply(64 * n);
        std::printf("  bus to host: stream_poll %.1f cycles per 64-byte packet (min %llu, max %llu, %llu packets)"
                    " = %.2f cycles per byte\n",
                    prof.poll_busy.mean(), (unsigned long long)prof.poll_busy.min,
                    (unsigned long long)prof.poll_busy.max, (unsigned long long)prof.poll_busy.count,
                    prof.poll_busy.mean() / 64);
        print_shares(prof.poll_busy_shares, prof.poll_busy.count);
        std::printf("               a poll with nothing to do %.1f cycles; the rest of a main-loop pass %.1f cycles\n",
                    prof.poll_idle.mean(), prof.loop_rest.mean());
    }
}

// ---- throughput -------------------------------------------------------------------------------

struct Rate {
    double mb_s = 0;
    uint64_t naks = 0;
};

Rate rate(const vboard::host::TransferResult& r, size_t bytes) {
    const double us = double(r.finished - r.submitted) / (vboard::usb::clocks_per_ms / 1000.0);
    return {double(bytes) / us, r.naks};
}

void throughput(uint8_t stretch_op, uint32_t packets) {
    const int stretch = stretch_op & 0x0F ? 1 : 0;
    const size_t bytes = size_t{packets} * 64;
    Rate out, in;
    {
        EngineBoard b;
        if (!check(b.ok(), b.error().c_str())) return;
        b.script(Bytes{0x00, 0x14, 0x07, stretch_op, 0x12, 0x24});
        b.read_reply();
        b.script(Bytes{0x54, 0x00, uint8_t(packets), uint8_t(packets >> 8)});
        const auto r = b.stream_out(fwtest::pattern(bytes, 2));
        if (!check(r.ok() && r.sent == bytes, "host-to-bus stream failed")) return;
        out = rate(r, bytes);
    }
    {
        EngineBoard b;
        if (!check(b.ok(), b.error().c_str())) return;
        b.script(Bytes{0x00, 0x14, 0x07, stretch_op, 0x12, 0x24});
        b.read_reply();
        b.script(Bytes{0x31, 0x00, 0x32, 0x00, 0x32, 0x00, 0x32, 0x00, 0x60, 0x00, uint8_t(packets),
                       uint8_t(packets >> 8)});
        const auto r = b.read_reply(bytes);
        if (!check(r.ok() && r.data.size() == bytes, "bus-to-host stream failed")) return;
        in = rate(r, bytes);
    }
    std::printf("  stretch %d, %zu bytes: host to bus %.4f MB/s (%.1f %%, %llu NAKs); bus to host %.4f MB/s (%.1f %%, "
                "%llu NAKs)\n",
                stretch, bytes, out.mb_s, 100 * out.mb_s / ceiling_mb_s, (unsigned long long)out.naks, in.mb_s,
                100 * in.mb_s / ceiling_mb_s, (unsigned long long)in.naks);
}

}  // namespace

int main() {
    std::printf("Port engine on the virtual board (simulated time; 6 cycles per µs)\n");
    ops(0xF1);
    ops(0xF0);
    packets(0xF1);
    packets(0xF0);
    std::printf("\nStream throughput through the host model (19 packets per frame: ceiling %.3f MB/s)\n",
                ceiling_mb_s);
    throughput(0xF1, 19'000);
    throughput(0xF0, 19'000);
    return failed ? 1 : 0;
}
