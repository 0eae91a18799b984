#include "diag/diagnostics.h"

#include <algorithm>
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
    case FindingKind::card_early_read: return "card-early-read";
    case FindingKind::count_: break;
    }
    return "unknown";
}

void Diagnostics::report(FindingKind kind, std::uint16_t pc, std::uint64_t cycle, std::string message) {
    std::size_t& n = counts_[static_cast<std::size_t>(kind)];
    if (n++ < stored_per_kind_)
        findings_.push_back(Finding{kind, pc, cycle, std::move(message), -1, {}, {}});
}

void Diagnostics::report_at(FindingKind kind, std::uint16_t pc, std::uint64_t cycle, std::uint16_t address,
                            const char* action, const char* action_many, std::string detail) {
    std::size_t& n = counts_[static_cast<std::size_t>(kind)];
    if (n++ >= stored_per_kind_)
        return;
    char addr[8];
    std::snprintf(addr, sizeof addr, "0x%04X", static_cast<unsigned>(address));
    std::string message = std::string(action) + " " + addr;
    if (!detail.empty())
        message += ", " + detail;
    findings_.push_back(Finding{kind, pc, cycle, std::move(message), address, action_many, std::move(detail)});
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

void Diagnostics::print_summary(std::ostream& out) const {
    struct Group {
        const Finding* first;
        std::size_t count;
        std::uint16_t low, high;
    };
    std::vector<Group> groups;
    for (const Finding& f : findings_) {
        Group* same = nullptr;
        for (Group& g : groups) {
            const Finding& h = *g.first;
            const bool alike = h.kind == f.kind && (f.address >= 0 ? h.address >= 0 && h.action_many == f.action_many &&
                                                                         h.detail == f.detail
                                                                   : h.address < 0 && h.message == f.message);
            if (alike) {
                same = &g;
                break;
            }
        }
        const auto a = static_cast<std::uint16_t>(f.address < 0 ? 0 : f.address);
        if (!same) {
            groups.push_back(Group{&f, 1, a, a});
            continue;
        }
        ++same->count;
        same->low = std::min(same->low, a);
        same->high = std::max(same->high, a);
    }
    char text[96];
    for (const Group& g : groups) {
        const Finding& f = *g.first;
        if (g.count == 1) {
            std::snprintf(text, sizeof text, "cycle %llu pc 0x%04X ", static_cast<unsigned long long>(f.cycle),
                          static_cast<unsigned>(f.pc));
            out << text << finding_name(f.kind) << ": " << f.message << '\n';
            continue;
        }
        out << finding_name(f.kind) << ": " << g.count << ' ';
        if (f.address >= 0) {
            std::snprintf(text, sizeof text, " 0x%04X", static_cast<unsigned>(g.low));
            out << f.action_many << text;
            if (g.high != g.low) {
                std::snprintf(text, sizeof text, "-0x%04X", static_cast<unsigned>(g.high));
                out << text;
            }
            if (!f.detail.empty())
                out << ", " << f.detail;
        } else {
            out << "times: " << f.message;
        }
        std::snprintf(text, sizeof text, ", first at cycle %llu pc 0x%04X", static_cast<unsigned long long>(f.cycle),
                      static_cast<unsigned>(f.pc));
        out << text << '\n';
    }
    for (std::size_t k = 0; k < finding_kind_count; ++k) {
        if (counts_[k] > stored_per_kind_)
            out << finding_name(static_cast<FindingKind>(k)) << ": " << counts_[k] - stored_per_kind_
                << " more not shown\n";
    }
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
