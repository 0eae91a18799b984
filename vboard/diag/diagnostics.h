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
    card_early_read,   // a read strobe while the card was still loading the page (too short a pause)
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
    // A finding about one memory address (see report_at): the address and
    // the words around it, so that repeats are told as one line.
    std::int32_t address = -1;
    std::string action_many;  // "writes to"
    std::string detail;       // "EP1 OUT buffer owned by the controller"
};

class Diagnostics {
public:
    // Records a finding. Every report is counted; only the first
    // `stored_per_kind()` of each kind are kept with their text, so a fault
    // inside a loop cannot exhaust memory.
    void report(FindingKind kind, std::uint16_t pc, std::uint64_t cycle, std::string message);
    // The same for an access to `address`: the text is "ACTION 0xADDR[, DETAIL]"
    // ("write to 0x7E40, EP1 OUT buffer owned by the controller"); repeats
    // are grouped by print_summary() with `action_many` ("writes to").
    void report_at(FindingKind kind, std::uint16_t pc, std::uint64_t cycle, std::uint16_t address,
                   const char* action, const char* action_many, std::string detail = {});

    // Whether a finding of `kind` reported now would be kept with its text.
    // When not, it is counted here and false returned: a model checks this
    // before it builds a text, so that a fault repeated millions of times
    // costs a counter increment. When true, the model reports it as usual.
    bool wants_text(FindingKind kind)
    {
        std::size_t& n = counts_[static_cast<std::size_t>(kind)];
        if (n < stored_per_kind_)
            return true;
        ++n;
        return false;
    }

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
    // The same for a person: findings with the same kind and text are one
    // line, those about a run of addresses too ("64 writes to
    // 0x7E40-0x7E7F, EP1 OUT buffer owned by the controller, first at cycle
    // 1234 pc 0x0045"), in the order of their first report.
    void print_summary(std::ostream& out) const;

private:
    std::vector<Finding> findings_;
    std::size_t counts_[finding_kind_count] = {};
    std::size_t stored_per_kind_ = 64;
};

}  // namespace vboard
