// vboard cpu: the core alone on a plain 8052 memory map (64 KiB code from the
// image, 64 KiB external RAM, all memory zero-filled, SFRs at their reset
// values, every SFR the core does not own a plain register, MOVX @Ri paged by
// P2), so that runs compare with other 8051 simulators.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "cpu/cpu.h"
#include "cpu/disasm.h"
#include "cpu/image.h"
#include "diag/diagnostics.h"

namespace vboard::cli {

namespace {

constexpr CommandHelp help = {
    "cpu",
    "usage: vboard cpu [--steps N | --until ADDR] [--max-steps N] IMAGE\n"
    "       vboard cpu --disasm IMAGE\n"
    "Runs IMAGE (Intel HEX, or a raw binary loaded at 0) on the 8051 core alone and\n"
    "prints the machine state. Without --steps or --until the run ends at an\n"
    "instruction that jumps to itself.\n",
    "Exit status: 0 the run reached its end; 1 failure (an image that cannot be\n"
    "read, is empty or is a directory; --max-steps reached; the core idle with\n"
    "nothing to wake it); 2 usage error.\n"};

constexpr std::uint64_t default_max_steps = 100'000'000;

bool parse_u64(const std::string& text, int base, std::uint64_t* out) {
    const char* s = text.c_str();
    if (!*s || *s == '-' || *s == '+') return false;
    if (base == 16 && (!std::strncmp(s, "0x", 2) || !std::strncmp(s, "0X", 2))) s += 2;
    if (!*s) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s, &end, base);
    if (errno || *end) return false;
    *out = v;
    return true;
}

// Addresses whose bytes decode as an instruction that can jump to itself
// (the usual end of a test program: sjmp $). The run stops at each to see
// whether it does; a byte that is not an instruction start is never reached.
std::vector<std::uint16_t> self_jump_candidates(const std::uint8_t* code) {
    std::vector<std::uint16_t> at;
    for (std::uint32_t a = 0; a < 0x10000; ++a) {
        const auto pc = static_cast<std::uint16_t>(a);
        const std::uint8_t op = code[pc];
        const std::uint8_t b1 = code[static_cast<std::uint16_t>(pc + 1)];
        const std::uint8_t b2 = code[static_cast<std::uint16_t>(pc + 2)];
        const auto next2 = static_cast<std::uint16_t>(pc + 2);
        bool self = false;
        if ((op & 0x1F) == 0x01 || (op & 0x1F) == 0x11)  // ajmp / acall
            self = static_cast<std::uint16_t>((next2 & 0xF800) | ((op & 0xE0) << 3) | b1) == pc;
        else if (op == 0x02 || op == 0x12)  // ljmp / lcall
            self = (b1 << 8 | b2) == pc;
        else if (op == 0x80 || op == 0x40 || op == 0x50 || op == 0x60 || op == 0x70 || (op >= 0xD8 && op <= 0xDF))
            self = b1 == 0xFE;  // sjmp jc jnc jz jnz djnz Rn: rel to itself
        else if (op == 0x10 || op == 0x20 || op == 0x30 || op == 0xD5 || (op >= 0xB4 && op <= 0xBF))
            self = b2 == 0xFD;  // jbc jb jnb djnz direct cjne: rel to itself
        else if (op == 0x73 || op == 0x22 || op == 0x32)  // jmp @a+dptr, ret, reti: wherever they go
            self = true;
        if (self) at.push_back(pc);
    }
    return at;
}

void print_state(Cpu& cpu, const std::uint8_t* xram) {
    std::string out;
    char line[80];
    std::snprintf(line, sizeof line, "PC %04X\nA %02X\nB %02X\nPSW %02X\nSP %02X\nDPTR %04X\n", cpu.pc(), cpu.acc(),
                  cpu.b(), cpu.psw(), cpu.sp(), cpu.dptr0());
    out += line;
    for (int row = 0; row < 256; row += 16) {
        std::snprintf(line, sizeof line, "IRAM %02X", row);
        out += line;
        for (int k = 0; k < 16; ++k) {
            std::snprintf(line, sizeof line, " %02X", cpu.iram()[row + k]);
            out += line;
        }
        out += '\n';
    }
    for (int row = 0; row < 256; row += 16) {
        std::snprintf(line, sizeof line, "XRAM %04X", row);
        out += line;
        for (int k = 0; k < 16; ++k) {
            std::snprintf(line, sizeof line, " %02X", xram[row + k]);
            out += line;
        }
        out += '\n';
    }
    std::snprintf(line, sizeof line, "INSTS %" PRIu64 "\nCYCLES %" PRIu64 "\n", cpu.instructions(), cpu.cycles());
    out += line;
    std::fputs(out.c_str(), stdout);
}

int disasm(const std::uint8_t* code, const std::vector<ImageRange>& ranges) {
    std::string out;
    char line[96];
    for (const ImageRange& r : ranges) {
        std::uint32_t a = r.begin;
        while (a < r.end) {
            const auto pc = static_cast<std::uint16_t>(a);
            const std::uint8_t b0 = code[pc];
            const std::uint8_t b1 = code[static_cast<std::uint16_t>(pc + 1)];
            const std::uint8_t b2 = code[static_cast<std::uint16_t>(pc + 2)];
            const int len = opcode_table[b0].length;
            char bytes[12] = "";
            if (len == 1) std::snprintf(bytes, sizeof bytes, "%02X", b0);
            if (len == 2) std::snprintf(bytes, sizeof bytes, "%02X %02X", b0, b1);
            if (len == 3) std::snprintf(bytes, sizeof bytes, "%02X %02X %02X", b0, b1, b2);
            std::snprintf(line, sizeof line, "%04X  %-8s  %s\n", pc, bytes, disassemble(pc, b0, b1, b2).c_str());
            out += line;
            a += static_cast<std::uint32_t>(len);
        }
    }
    std::fputs(out.c_str(), stdout);
    return 0;
}

}  // namespace

int cpu_command(int argc, char** argv) {
    std::uint64_t steps = 0, until = 0, max_steps = default_max_steps;
    bool have_steps = false, have_until = false, want_disasm = false;
    auto count = [](std::uint64_t& target, bool* given) {
        return [&target, given](const std::string& v, std::string& error) {
            if (!parse_u64(v, 10, &target)) {
                error = "needs a decimal count, not '" + cmdline::escaped(v) + "'";
                return false;
            }
            if (given) *given = true;
            return true;
        };
    };
    const std::vector<cmdline::Option> options = {
        {"--steps", "", "N", "run N instructions", count(steps, &have_steps)},
        {"--until", "", "ADDR", "run until PC is ADDR (hex) again after the start",
         [&](const std::string& v, std::string& error) {
             if (!parse_u64(v, 16, &until) || until > 0xFFFF) {
                 error = "needs a hexadecimal address 0000-FFFF, not '" + cmdline::escaped(v) + "'";
                 return false;
             }
             return have_until = true;
         }},
        {"--max-steps", "", "N", "bound of the run in instructions (default 100000000)", count(max_steps, nullptr)},
        cmdline::flag("--disasm", "", "list the image's instructions instead of running it", want_disasm),
    };
    cmdline::Parsed parsed;
    if (const std::optional<int> done = read_command_line(help, options, argc, argv, parsed)) return *done;
    if (parsed.operands.empty()) return usage_error(help, "no image given");
    if (parsed.operands.size() > 1) return usage_error(help, "more than one image given");
    if (have_steps && have_until) return usage_error(help, "--steps and --until exclude each other");
    if (want_disasm && (have_steps || have_until)) return usage_error(help, "--disasm does not run the program");
    const std::string& image = parsed.operands[0];

    auto code = std::make_unique<std::uint8_t[]>(0x10000);
    auto xram = std::make_unique<std::uint8_t[]>(0x10000);
    std::vector<ImageRange> ranges;
    std::string error;
    if (!load_image(image, code.get(), &ranges, &error)) {
        std::fprintf(stderr, "vboard cpu: %s\n", error.c_str());
        return exit_failure;
    }
    if (ranges.empty()) {
        std::fprintf(stderr, "vboard cpu: %s: the image holds no bytes\n", image.c_str());
        return exit_failure;
    }
    if (want_disasm) return disasm(code.get(), ranges);

    Diagnostics diag;
    Cpu cpu(&diag);
    cpu.set_code(code.get());
    cpu.map_xdata_memory(0x0000, 0x10000, xram.get());
    for (int addr = 0x80; addr < 0x100; ++addr) {
        const auto a = static_cast<std::uint8_t>(addr);
        const bool port = a == sfr::P0 || a == sfr::P1 || a == sfr::P2 || a == sfr::P3;
        cpu.attach_sfr_register(a, port ? 0xFF : 0x00);
    }
    cpu.set_movx_page_sfr(sfr::P2);
    cpu.reset();  // IRAM stays zero-filled

    // The core's own run loop, stopped by breakpoints: at ADDR for --until,
    // otherwise at every instruction that may jump to itself. Each slice is
    // bounded in cycles by the instructions left, since every instruction
    // takes at least one cycle.
    std::vector<bool> self_jump(0x10000);
    if (have_until) {
        cpu.set_breakpoint(static_cast<std::uint16_t>(until));
    } else if (!have_steps) {
        for (const std::uint16_t pc : self_jump_candidates(code.get())) {
            cpu.set_breakpoint(pc);
            self_jump[pc] = true;
        }
    }
    const std::uint64_t limit = have_steps ? std::min(steps, max_steps) : max_steps;
    int status = exit_success;
    for (;;) {
        if (have_steps && cpu.instructions() >= steps) break;
        if (have_until && cpu.instructions() > 0 && cpu.pc() == until) break;
        if (cpu.instructions() >= max_steps) {
            std::fprintf(stderr, "vboard cpu: stopped after %" PRIu64 " instructions (--max-steps)\n",
                         cpu.instructions());
            status = exit_failure;
            break;
        }
        const std::uint16_t pc = cpu.pc();
        if (self_jump[pc]) {
            // One instruction by hand: did it come back to itself?
            const std::uint64_t n = cpu.instructions();
            cpu.step();
            if (cpu.instructions() > n && cpu.pc() == pc) break;
        } else {
            cpu.run(cpu.cycles() + (limit - cpu.instructions()));
        }
        if (cpu.idle()) {
            // A pending request wakes the core within a cycle; on a plain 8052
            // map nothing else can.
            for (int k = 0; k < 8 && cpu.idle(); ++k) cpu.step();
            if (cpu.idle()) {
                std::fprintf(stderr, "vboard cpu: the core is idle and no interrupt can wake it\n");
                status = exit_failure;
                break;
            }
        }
    }
    print_state(cpu, xram.get());
    if (!diag.empty()) {
        std::ostringstream ss;
        diag.print_summary(ss);
        std::fputs(ss.str().c_str(), stderr);
    }
    return status;
}

}  // namespace vboard::cli
