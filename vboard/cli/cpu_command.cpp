// vboard cpu: the core alone on a plain 8052 memory map (64 KiB code from the
// image, 64 KiB external RAM, all memory zero-filled, SFRs at their reset
// values, every SFR the core does not own a plain register, MOVX @Ri paged by
// P2), so that runs compare with other 8051 simulators.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "cpu/cpu.h"
#include "cpu/disasm.h"
#include "cpu/image.h"
#include "diag/diagnostics.h"

namespace vboard::cli {

namespace {

constexpr const char* usage_text =
    "usage: vboard cpu [--steps N | --until ADDR] [--max-steps N] IMAGE\n"
    "       vboard cpu --disasm IMAGE\n"
    "IMAGE is Intel HEX or a raw binary loaded at 0. N is decimal, ADDR hexadecimal.\n"
    "Without --steps or --until the run ends at an instruction that jumps to itself.\n"
    "--max-steps bounds the run (default 100000000; exit status 2 when reached).\n";

constexpr std::uint64_t default_max_steps = 100'000'000;

int usage_error(const char* what) {
    std::fprintf(stderr, "vboard cpu: %s\n%s", what, usage_text);
    return 1;
}

bool parse_u64(const char* s, int base, std::uint64_t* out) {
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
    const char* image = nullptr;
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
            std::fputs(usage_text, stdout);
            return 0;
        } else if (!std::strcmp(a, "--steps")) {
            const char* v = value();
            if (!v || !parse_u64(v, 10, &steps)) return usage_error("--steps needs a decimal count");
            have_steps = true;
        } else if (!std::strcmp(a, "--until")) {
            const char* v = value();
            if (!v || !parse_u64(v, 16, &until) || until > 0xFFFF)
                return usage_error("--until needs a hexadecimal address 0000-FFFF");
            have_until = true;
        } else if (!std::strcmp(a, "--max-steps")) {
            const char* v = value();
            if (!v || !parse_u64(v, 10, &max_steps)) return usage_error("--max-steps needs a decimal count");
        } else if (!std::strcmp(a, "--disasm")) {
            want_disasm = true;
        } else if (a[0] == '-' && a[1]) {
            return usage_error((std::string("unknown option ") + a).c_str());
        } else if (image) {
            return usage_error("more than one image given");
        } else {
            image = a;
        }
    }
    if (!image) return usage_error("no image given");
    if (have_steps && have_until) return usage_error("--steps and --until exclude each other");
    if (want_disasm && (have_steps || have_until)) return usage_error("--disasm does not run the program");

    auto code = std::make_unique<std::uint8_t[]>(0x10000);
    auto xram = std::make_unique<std::uint8_t[]>(0x10000);
    std::vector<ImageRange> ranges;
    std::string error;
    if (!load_image(image, code.get(), &ranges, &error)) {
        std::fprintf(stderr, "vboard cpu: %s\n", error.c_str());
        return 1;
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

    int status = 0;
    for (;;) {
        if (have_steps && cpu.instructions() >= steps) break;
        if (have_until && cpu.instructions() > 0 && cpu.pc() == until) break;
        if (cpu.instructions() >= max_steps) {
            std::fprintf(stderr, "vboard cpu: stopped after %" PRIu64 " instructions (--max-steps)\n",
                         cpu.instructions());
            status = 2;
            break;
        }
        const std::uint16_t pc = cpu.pc();
        const std::uint64_t n = cpu.instructions();
        cpu.step();
        if (cpu.idle()) {
            // A pending request wakes the core within a cycle; on a plain 8052
            // map nothing else can.
            for (int k = 0; k < 8 && cpu.idle(); ++k) cpu.step();
            if (cpu.idle()) {
                std::fprintf(stderr, "vboard cpu: the core is idle and no interrupt can wake it\n");
                status = 3;
                break;
            }
        }
        if (!have_steps && !have_until && cpu.instructions() > n && cpu.pc() == pc) break;  // jumps to itself
    }
    print_state(cpu, xram.get());
    if (!diag.empty()) {
        std::ostringstream ss;
        diag.print(ss);
        std::fputs(ss.str().c_str(), stderr);
    }
    return status;
}

}  // namespace vboard::cli
