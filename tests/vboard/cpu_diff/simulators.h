// Running a program image on ucsim's s51 and on `vboard cpu`, and the CPU
// state both report: registers, all of internal RAM, external RAM
// 0x0000-0x00FF, instructions run.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace cpu_diff {

struct CpuState {
    uint16_t pc = 0;
    uint8_t a = 0, b = 0, psw = 0, sp = 0;
    uint16_t dptr = 0;
    std::array<uint8_t, 256> iram{};
    std::array<uint8_t, 256> xram{};
    uint64_t instructions = 0;
    uint64_t cycles = 0;  // `vboard cpu` only: s51 counts other cycles
};

// The first field, in report order (PC, A, B, PSW, SP, DPTR, IRAM, XRAM,
// INSTS), where `got` differs from `expected`, as
// "IRAM 3A: expected 12, got 13"; empty when they agree. Cycles are not
// compared.
std::string first_difference(const CpuState& expected, const CpuState& got);

struct RunResult {
    std::string error;  // empty when the run worked and its output parsed
    CpuState state;
};

// Whether `tool` is an executable somewhere on PATH.
bool on_path(const std::string& tool);

// Each run writes its command and output files into `workdir`, named
// after `tag`, and is killed if it outlives `kTimeoutSeconds`.
constexpr int kTimeoutSeconds = 60;

// `s51 -t 8052`: internal and external RAM cleared (s51 starts them with
// random contents), `image_hex` loaded, then `steps` instructions run
// (steps > 0).
RunResult run_s51(const std::filesystem::path& workdir, const std::string& tag,
                  const std::filesystem::path& image_hex, uint64_t steps);

// `vboard cpu --steps N` or `vboard cpu --until ADDR --max-steps M`.
struct VboardStop {
    bool until = false;
    uint64_t value = 0;      // steps, or the address to stop at
    uint64_t max_steps = 0;  // with `until`; 0 for none
};
RunResult run_vboard(const std::filesystem::path& vboard, const std::filesystem::path& workdir,
                     const std::string& tag, const std::filesystem::path& image, const VboardStop& stop);

// Parsers of the two outputs (exposed for their tests).
RunResult parse_s51_output(const std::string& text);
RunResult parse_vboard_output(const std::string& text);

}  // namespace cpu_diff
