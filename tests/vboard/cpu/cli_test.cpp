// `vboard cpu`: the exact output format, its options and exit statuses, and
// the image loader behind it.
#include <gtest/gtest.h>

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
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("INSTS 50\n"), std::string::npos);

    r = run("--max-steps 3 " + img);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.substr(0, 8), "PC 0007\n");
}

TEST(CpuCommand, ErrorsAreOneLineAndExitOne) {
    Result r = run("/nonexistent/image.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vboard cpu: /nonexistent/image.bin: cannot open\n");

    r = run("--steps x " + bin_image());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "vboard cpu: --steps needs a decimal count");

    r = run(write_file("bad.ihx", ":0100000074FF\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(":1: bad checksum"), std::string::npos) << r.err;
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
