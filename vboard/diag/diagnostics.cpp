#include "diag/diagnostics.h"

#include <cstdio>
#include <ostream>

namespace vboard {

const char* finding_name(FindingKind kind) {
    switch (kind) {
    case FindingKind::reserved_opcode: return "reserved-opcode";
    case FindingKind::stack_wrap: return "stack-wrap";
    case FindingKind::isr_state: return "isr-state";
    case FindingKind::fill_execution: return "fill-execution";
    case FindingKind::unhandled_sfr: return "unhandled-sfr";
    case FindingKind::unmapped_xdata: return "unmapped-xdata";
    case FindingKind::in_count_busy: return "in-count-busy";
    case FindingKind::buffer_owned: return "buffer-owned";
    case FindingKind::loader_outside: return "loader-outside";
    case FindingKind::irq_unacked: return "irq-unacked";
    case FindingKind::count_: break;
    }
    return "unknown";
}

void Diagnostics::report(FindingKind kind, std::uint16_t pc, std::uint64_t cycle, std::string message) {
    std::size_t& n = counts_[static_cast<std::size_t>(kind)];
    if (n++ < stored_per_kind_)
        findings_.push_back(Finding{kind, pc, cycle, std::move(message)});
}

std::size_t Diagnostics::total() const {
    std::size_t sum = 0;
    for (std::size_t n : counts_) sum += n;
    return sum;
}

void Diagnostics::clear() {
    findings_.clear();
    for (std::size_t& n : counts_) n = 0;
}

void Diagnostics::print(std::ostream& out) const {
    char head[64];
    for (const Finding& f : findings_) {
        std::snprintf(head, sizeof head, "cycle %llu pc 0x%04X ", static_cast<unsigned long long>(f.cycle),
                      static_cast<unsigned>(f.pc));
        out << head << finding_name(f.kind) << ": " << f.message << '\n';
    }
    for (std::size_t k = 0; k < finding_kind_count; ++k) {
        if (counts_[k] > stored_per_kind_)
            out << finding_name(static_cast<FindingKind>(k)) << ": " << counts_[k] - stored_per_kind_
                << " more not shown\n";
    }
}

}  // namespace vboard
