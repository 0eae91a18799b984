// Counts laid over the listing; the known uncovered entries; the outputs.
#include "report.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <map>

#include "cpu/opcodes.h"

namespace fwcov {

namespace {

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// A conditional jump: the core's opcode table lists a relative target for
// it, and it is not SJMP.
bool conditional_jump(std::uint8_t op) {
    const std::string format = vboard::opcode_table[op].format;
    return op != 0x80 && format.find("{r") != std::string::npos;
}

std::string format(const char* fmt, auto... args) {
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string percent(int part, int whole) {
    return whole ? format("%.1f %%", 100.0 * part / whole) : std::string("- %");
}

std::string known_form(const Instruction& in) {
    return std::string(gap_name(in.gap)) + " | " + in.line->file + " | " + in.line->routine + " | " +
           in.line->statement;
}

}  // namespace

const char* gap_name(Gap gap) {
    switch (gap) {
    case Gap::never: return "never";
    case Gap::always_taken: return "always-taken";
    case Gap::never_taken: return "never-taken";
    case Gap::none: break;
    }
    return "none";
}

bool read_known(const std::string& path, std::vector<KnownEntry>& entries, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (int k = 0; k < 4; ++k) {
            const std::size_t bar = t.find(" | ", start);
            if (bar == std::string::npos) break;
            fields.push_back(trim(t.substr(start, bar - start)));
            start = bar + 3;
        }
        fields.push_back(trim(t.substr(start)));
        const auto bad = [&](const std::string& why) {
            error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        };
        if (fields.size() != 5)
            return bad("needs KIND | FILE | ROUTINE | STATEMENT | why (fields separated by ' | ')");
        KnownEntry e;
        std::string kind = fields[0];
        if (kind.rfind("fixed ", 0) == 0) {
            e.fixed = true;
            kind = trim(kind.substr(6));
        }
        for (Gap g : {Gap::never, Gap::always_taken, Gap::never_taken})
            if (kind == gap_name(g)) e.gap = g;
        if (e.gap == Gap::none) return bad("KIND '" + fields[0] + "' is not [fixed] never, always-taken or never-taken");
        if (e.fixed && e.gap == Gap::never) return bad("'fixed' goes with always-taken or never-taken");
        if (fields[4].empty()) return bad("no explanation");
        e.file = fields[1];
        e.routine = fields[2];
        e.statement = fields[3] == "*" ? "*" : statement_of(fields[3]);
        e.why = fields[4];
        e.line = number;
        entries.push_back(e);
    }
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

bool Figures::target_met(double branch_percent) const {
    return unexplained == 0 && stale == 0 && executed == instructions - unreachable &&
           100.0 * both_ways >= branch_percent * (branches_reachable - branches_fixed);
}

bool collect(const std::vector<Module>& modules, const std::vector<std::uint8_t>& image,
             const vboard::coverage::ImageCounts& counts, std::vector<KnownEntry>& known,
             std::vector<Instruction>& out, Figures& f, std::string& error) {
    out.clear();
    f = Figures{};
    for (KnownEntry& e : known) e.matched = 0;
    for (const Module& m : modules) {
        for (const SourceLine& line : m.lines) {
            if (!line.placed) continue;
            for (std::size_t k = 0; k < line.bytes.size(); ++k) {
                const std::size_t a = line.address + k;
                if (a >= image.size() || image[a] != line.bytes[k]) {
                    error = format("%s:%d: the listing's byte at 0x%04zX differs from the image (listing and image from different builds)",
                                   line.file.c_str(), line.number, a);
                    return false;
                }
            }
            if (!line.instruction) continue;
            Instruction in{&line};
            // A conditional jump to the next instruction (relative 0, the
            // last byte; CJNE so used sets C only) goes one way whatever.
            in.branch = conditional_jump(line.bytes[0]) && line.bytes.back() != 0;
            if (const auto c = counts.find(line.address); c != counts.end()) {
                in.executed = c->second.executed;
                in.taken = c->second.jumped;
            }
            if (in.executed == 0)
                in.gap = Gap::never;
            else if (in.branch && in.taken == in.executed)
                in.gap = Gap::always_taken;
            else if (in.branch && in.taken == 0)
                in.gap = Gap::never_taken;
            if (in.gap != Gap::none) {
                for (KnownEntry& e : known) {
                    if (e.gap == in.gap && e.file == line.file && e.routine == line.routine &&
                        (e.statement == "*" || e.statement == line.statement)) {
                        ++e.matched;
                        if (!in.known) in.known = &e;
                    }
                }
            }
            out.push_back(in);
        }
    }
    for (const Instruction& in : out) {
        ++f.instructions;
        if (in.executed) ++f.executed;
        const bool unreachable = in.gap == Gap::never && in.known;
        if (unreachable) ++f.unreachable;
        if (in.gap != Gap::none && !in.known) ++f.unexplained;
        if (!in.branch) continue;
        ++f.branches;
        if (!unreachable) ++f.branches_reachable;
        if (in.gap != Gap::none && in.gap != Gap::never && in.known && in.known->fixed) ++f.branches_fixed;
        switch (in.gap) {
        case Gap::none: ++f.both_ways; break;
        case Gap::always_taken: ++f.always_taken; break;
        case Gap::never_taken: ++f.never_taken; break;
        case Gap::never: ++f.branches_never; break;
        }
    }
    for (const KnownEntry& e : known)
        if (e.matched == 0) ++f.stale;
    return true;
}

std::string annotated_listing(const std::vector<Module>& modules, const std::vector<Instruction>& instructions) {
    std::map<const SourceLine*, const Instruction*> by_line;
    for (const Instruction& in : instructions) by_line[in.line] = &in;
    std::string out =
        "; Firmware coverage, line by line. Columns: executions (##### never, ===== never and\n"
        "; explained as unreachable), for a conditional jump the times taken (T) and not\n"
        "; taken (N) with ! when one way never happened (~ when explained), the address, the\n"
        "; line number (+: a line of the macro expanded there), the source line.\n";
    for (const Module& m : modules) {
        out += "\n;==== " + m.name + ".asm\n";
        for (const SourceLine& line : m.lines) {
            if (line.file != m.name + ".asm" && !line.placed) continue;
            std::string count, branch, addr;
            if (line.placed) addr = format("%04X", line.address);
            if (const auto it = by_line.find(&line); it != by_line.end()) {
                const Instruction& in = *it->second;
                if (in.executed == 0)
                    count = in.known ? "=====" : "#####";
                else
                    count = format("%" PRIu64, in.executed);
                if (in.branch && in.executed) {
                    const char mark = in.gap == Gap::none ? ' ' : in.known ? '~' : '!';
                    branch = format("T %" PRIu64 " N %" PRIu64 " %c", in.taken, in.executed - in.taken, mark);
                }
            }
            std::string where = line.file == m.name + ".asm" ? format("%5d", line.number)
                                                              : line.file + ":" + std::to_string(line.number);
            if (line.expansion) where += "+";
            out += format("%12s %-24s %4s %5s |", count.c_str(), branch.c_str(), addr.c_str(), where.c_str()) +
                   line.text + "\n";
        }
    }
    return out;
}

std::string summary(const std::vector<Instruction>& instructions, const std::vector<KnownEntry>& known,
                    const Figures& f, double branch_percent, const std::string& header) {
    std::string out = header;
    out += format("instructions  executed %d of %d reachable (%d in the listing, %d never executed and explained)\n",
                  f.executed, f.instructions - f.unreachable, f.instructions, f.unreachable);
    const std::string target = format(" (target %.0f %%)", branch_percent);
    out += format("branches      taken both ways %d of %d reachable conditional jumps = %s%s\n", f.both_ways,
                  f.branches_reachable, percent(f.both_ways, f.branches_reachable).c_str(),
                  f.branches_fixed ? "" : target.c_str());
    if (f.branches_fixed)
        out += format("              %d go one way by the firmware's own code (fixed): %d of %d that can go both ways = %s%s\n",
                      f.branches_fixed, f.both_ways, f.branches_reachable - f.branches_fixed,
                      percent(f.both_ways, f.branches_reachable - f.branches_fixed).c_str(), target.c_str());
    out += format("              always taken %d, never taken %d, never executed %d (of %d conditional jumps)\n",
                  f.always_taken, f.never_taken, f.branches_never, f.branches);
    int explained = 0;
    for (const KnownEntry& e : known)
        if (e.matched) ++explained;
    out += format("known gaps    %zu entries: %d explain a gap, %d stale; %d gaps without an entry\n", known.size(),
                  explained, f.stale, f.unexplained);
    out += std::string("target        ") + (f.target_met(branch_percent) ? "met" : "MISSED") + "\n";

    const auto list = [&](const char* title, auto pick) {
        std::string part;
        for (const Instruction& in : instructions) {
            if (!pick(in)) continue;
            part += format("  %-16s %04X %-8s %-22s %-30s", (in.line->file + ":" + std::to_string(in.line->number)).c_str(),
                           in.line->address, gap_name(in.gap), in.line->routine.c_str(), in.line->statement.c_str());
            part += in.known ? "  " + in.known->why : std::string("  NEW: no entry explains it");
            part += "\n";
        }
        if (!part.empty()) out += std::string("\n") + title + "\n" + part;
    };
    list("Never executed:", [](const Instruction& in) { return in.gap == Gap::never; });
    list("One-way conditional jumps:",
         [](const Instruction& in) { return in.gap == Gap::always_taken || in.gap == Gap::never_taken; });
    std::string stale;
    for (const KnownEntry& e : known)
        if (!e.matched)
            stale += format("  line %d: %s | %s | %s | %s\n", e.line, gap_name(e.gap), e.file.c_str(), e.routine.c_str(),
                            e.statement.c_str());
    if (!stale.empty()) out += "\nStale known entries (no gap matches them any more; remove or correct them):\n" + stale;
    std::string fresh;
    for (const Instruction& in : instructions)
        if (in.gap != Gap::none && !in.known) fresh += "  " + known_form(in) + " | <why>\n";
    if (!fresh.empty())
        out += "\nGaps without an entry (cover them with a test, or explain them in the known file as):\n" + fresh;
    return out;
}

}  // namespace fwcov
