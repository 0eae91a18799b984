// Diagnostics sink of the virtual board: typed findings about the firmware's
// behaviour (what it did wrong, where and when), collected by the models and
// read by tests and by the board's report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace vboard {

enum class FindingKind : std::uint8_t {
    reserved_opcode,   // opcode 0xA5 executed
    stack_wrap,        // SP wrapped past 0xFF (push) or below 0x00 (pop)
    isr_state,         // interrupt handler returned with a different SP, ACC or PSW
    fill_execution,    // instruction fetched from an address marked as fill
    unhandled_sfr,     // SFR access that no model handles
    unmapped_xdata,    // MOVX to an address that nothing is mapped at
    in_count_busy,     // IN byte count written while that endpoint (for a pair: both buffers) is busy
    buffer_owned,      // endpoint buffer written while the controller owns it
    loader_outside,    // loader (request 0xA0) access outside the on-chip RAM and CPUCS
    irq_unacked,       // a USB interrupt request recurs without ever being acknowledged
    count_
};

inline constexpr std::size_t finding_kind_count = static_cast<std::size_t>(FindingKind::count_);

// Short name of a kind, as printed: "reserved-opcode", "stack-wrap", ...
const char* finding_name(FindingKind kind);

struct Finding {
    FindingKind kind;
    std::uint16_t pc;      // address of the instruction that caused it
    std::uint64_t cycle;   // instruction cycle at which that instruction started
    std::string message;
};

class Diagnostics {
public:
    // Records a finding. Every report is counted; only the first
    // `stored_per_kind()` of each kind are kept with their text, so a fault
    // inside a loop cannot exhaust memory.
    void report(FindingKind kind, std::uint16_t pc, std::uint64_t cycle, std::string message);

    std::size_t count(FindingKind kind) const { return counts_[static_cast<std::size_t>(kind)]; }
    std::size_t total() const;
    const std::vector<Finding>& findings() const { return findings_; }
    bool empty() const { return total() == 0; }
    void clear();

    std::size_t stored_per_kind() const { return stored_per_kind_; }
    void set_stored_per_kind(std::size_t n) { stored_per_kind_ = n; }

    // One line per stored finding: "cycle 1234 pc 0x0045 stack-wrap: ...",
    // then one line per kind whose reports were not all stored.
    void print(std::ostream& out) const;

private:
    std::vector<Finding> findings_;
    std::size_t counts_[finding_kind_count] = {};
    std::size_t stored_per_kind_ = 64;
};

}  // namespace vboard
