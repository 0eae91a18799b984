// `vboard cpu`: the exact output format, its options and exit statuses, and
// the image loader behind it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "cpu/image.h"

#ifndef VBOARD_EXE
#error "VBOARD_EXE must name the vboard program"
#endif

namespace vboard::test {
namespace {

// mov a,#0x7F; add a,#1; mov b,#3; mov r0,#0x40; mov @r0,a; mov dptr,#0x0010;
// movx @dptr,a; push b; sjmp .
const std::vector<std::uint8_t> program = {0x74, 0x7F, 0x24, 0x01, 0x75, 0xF0, 0x03, 0x78, 0x40, 0xF6,
                                           0x90, 0x00, 0x10, 0xF0, 0xC0, 0xF0, 0x80, 0xFE};

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string temp_path(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/vboard_cli_test_" + std::to_string(getpid()) + "_" + name;
}

std::string write_file(const std::string& name, const std::string& data) {
    const std::string path = temp_path(name);
    std::ofstream(path, std::ios::binary) << data;
    return path;
}

Result run(const std::string& args) {
    const std::string err_path = temp_path("stderr");
    const std::string cmd = std::string(VBOARD_EXE) + " cpu " + args + " 2>" + err_path;
    Result r;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream e(err_path);
    r.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
    std::remove(err_path.c_str());
    return r;
}

std::string bin_image() { return write_file("prog.bin", std::string(program.begin(), program.end())); }

// Memory rows are all zero except the given ones.
std::string rows(const char* tag, int digits, const std::vector<std::pair<int, std::string>>& nonzero) {
    std::string out;
    for (int row = 0; row < 256; row += 16) {
        char head[16];
        std::snprintf(head, sizeof head, "%s %0*X", tag, digits, row);
        std::string line = std::string(head) + " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";
        for (const auto& [r, text] : nonzero)
            if (r == row) line = std::string(head) + " " + text;
        out += line + "\n";
    }
    return out;
}

TEST(CpuCommand, PrintsTheMachineStateExactly) {
    const Result r = run(bin_image());
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string expected =
        "PC 0010\nA 80\nB 03\nPSW 45\nSP 08\nDPTR 0010\n" +
        rows("IRAM", 2, {{0x00, "40 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00"},
                         {0x40, "80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"}}) +
        rows("XRAM", 4, {{0x10, "80 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"}}) + "INSTS 9\nCYCLES 21\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
}

TEST(CpuCommand, IntelHexGivesTheSameRun) {
    // The same program as two HEX records.
    std::string text;
    auto record = [&](std::uint16_t addr, std::size_t from, std::size_t count) {
        char buf[16];
        unsigned sum = static_cast<unsigned>(count) + (addr >> 8) + (addr & 0xFF);
        std::snprintf(buf, sizeof buf, ":%02X%04X00", static_cast<unsigned>(count), addr);
        text += buf;
        for (std::size_t i = from; i < from + count; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", program[i]);
            text += buf;
            sum += program[i];
        }
        std::snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += buf;
    };
    record(0x0000, 0, 16);
    record(0x0010, 16, 2);
    text += ":00000001FF\n";
    const Result h = run(write_file("prog.ihx", text));
    const Result b = run(bin_image());
    EXPECT_EQ(h.status, 0) << h.err;
    EXPECT_EQ(h.out, b.out);
}

TEST(CpuCommand, StepsUntilAndMaxSteps) {
    const std::string img = bin_image();
    Result r = run("--steps 2 " + img);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 14), "PC 0004\nA 80\nB");
    EXPECT_NE(r.out.find("INSTS 2\nCYCLES 4\n"), std::string::npos);

    r = run("--until 000E " + img);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 8), "PC 000E\n");
    EXPECT_NE(r.out.find("INSTS 7\n"), std::string::npos);

    r = run("--until 0x0000 --max-steps 50 " + img);  // never comes back to 0: bounded
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("INSTS 50\n"), std::string::npos);

    r = run("--max-steps=3 " + img);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(0, 8), "PC 0007\n");
}

TEST(CpuCommand, MisuseIsOneLineAndItsStatus) {
    const std::string img = bin_image();
    const std::string dir = temp_path("dir");
    ::mkdir(dir.c_str(), 0700);
    const struct {
        std::string args;
        int status;
        std::string err;  // the first line of standard error
    } cases[] = {
        {"/nonexistent/image.bin", 1, "vboard cpu: /nonexistent/image.bin: cannot open: No such file or directory"},
        {dir, 1, "vboard cpu: " + dir + ": is a directory, not an image"},
        {write_file("empty.bin", ""), 1, "vboard cpu: " + temp_path("empty.bin") + ": the image holds no bytes"},
        {write_file("bad.ihx", ":0100000074FF\n"), 1, "vboard cpu: " + temp_path("bad.ihx") + ":1: bad checksum"},
        {"--steps x " + img, 2, "vboard cpu: --steps: needs a decimal count, not 'x'"},
        {"--until=10000 " + img, 2, "vboard cpu: --until: needs a hexadecimal address 0000-FFFF, not '10000'"},
        {img + " --max-steps", 2, "vboard cpu: --max-steps needs a value (N)"},
        {"--bogus " + img, 2, "vboard cpu: unknown option '--bogus'"},
        {"", 2, "vboard cpu: no image given"},
        {img + " " + img, 2, "vboard cpu: more than one image given"},
        {"--steps 1 --until 0 " + img, 2, "vboard cpu: --steps and --until exclude each other"},
        {"--disasm --steps 1 " + img, 2, "vboard cpu: --disasm does not run the program"},
    };
    for (const auto& c : cases) {
        const Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.err) << c.args;
    }
    ::rmdir(dir.c_str());
}

TEST(CpuCommand, Disassembles) {
    const Result r = run("--disasm " + bin_image());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "0000  74 7F     mov a,#0x7F\n"
              "0002  24 01     add a,#0x01\n"
              "0004  75 F0 03  mov B,#0x03\n"
              "0007  78 40     mov r0,#0x40\n"
              "0009  F6        mov @r0,a\n"
              "000A  90 00 10  mov dptr,#0x0010\n"
              "000D  F0        movx @dptr,a\n"
              "000E  C0 F0     push B\n"
              "0010  80 FE     sjmp 0x0010\n");
}

TEST(ImageLoader, HexRangesAndErrors) {
    std::vector<std::uint8_t> code(0x10000);
    std::vector<ImageRange> ranges;
    std::string error;
    // Two records, the second at 0x8000 through an extended linear address of 0.
    ASSERT_TRUE(load_image_bytes(":020000040000FA\n:030000000280007B\n:01800000A5DA\n:00000001FF\n", "t", code.data(),
                                 &ranges, &error))
        << error;
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0].begin, 0u);
    EXPECT_EQ(ranges[0].end, 3u);
    EXPECT_EQ(ranges[1].begin, 0x8000u);
    EXPECT_EQ(code[0x8000], 0xA5);
    EXPECT_FALSE(load_image_bytes(":020000040001F9\n:01000000A55A\n", "t", code.data(), nullptr, &error));
    EXPECT_EQ(error, "t:2: data beyond 0xFFFF");
    EXPECT_FALSE(load_image_bytes(":01000000A5\n", "t", code.data(), nullptr, &error));
    EXPECT_EQ(error, "t:1: record length does not match its byte count");
    EXPECT_FALSE(load_image_bytes(std::string(0x10001, '\0'), "big", code.data(), nullptr, &error));
    EXPECT_EQ(error, "big: raw image larger than 64 KiB");
}

}  // namespace
}  // namespace vboard::test
