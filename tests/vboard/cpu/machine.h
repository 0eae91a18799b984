// Test fixture: the core with 64 KiB of code and 64 KiB of external RAM,
// both zero-filled, and a diagnostics sink.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>

#include "cpu/cpu.h"
#include "diag/diagnostics.h"

namespace vboard::test {

struct Machine {
    std::unique_ptr<std::uint8_t[]> code = std::make_unique<std::uint8_t[]>(0x10000);
    std::unique_ptr<std::uint8_t[]> xram = std::make_unique<std::uint8_t[]>(0x10000);
    Diagnostics diag;
    Cpu cpu{&diag};

    Machine() {
        cpu.set_code(code.get());
        cpu.map_xdata_memory(0x0000, 0x10000, xram.get());
    }

    void load(std::uint16_t addr, std::initializer_list<std::uint8_t> bytes) {
        for (std::uint8_t b : bytes) code[addr++] = b;
    }
};

}  // namespace vboard::test
