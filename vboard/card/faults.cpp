// The card's faults "program:B[-B],erase:B[-B],block:B[-B],rate:R,seed:N": parsing.
#include <cstdio>

#include "card/card.h"
#include "card/quoted.h"

namespace vboard::card {
namespace {

constexpr uint32_t kMaxBlock = 65535;

// Decimal digits only, at most `limit`.
bool parse_decimal(std::string_view text, uint64_t limit, uint64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + uint64_t(c - '0');
        if (value > limit) return false;
    }
    out = value;
    return true;
}

// "B" or "FIRST-LAST", appended to `blocks`.
bool parse_blocks(std::string_view text, std::vector<uint32_t>& blocks) {
    const size_t dash = text.find('-');
    uint64_t first = 0, last = 0;
    if (!parse_decimal(text.substr(0, dash), kMaxBlock, first)) return false;
    last = first;
    if (dash != std::string_view::npos && !parse_decimal(text.substr(dash + 1), kMaxBlock, last)) return false;
    if (last < first) return false;
    for (uint64_t b = first; b <= last; ++b) blocks.push_back(uint32_t(b));
    return true;
}

// "0.001", "1", "0.5%": a chance from 0 to 1 in parts per million.
bool parse_rate(std::string_view text, uint32_t& ppm) {
    const bool percent = !text.empty() && text.back() == '%';
    if (percent) text.remove_suffix(1);
    const size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    uint64_t units = 0;  // the value in units of 1e-8
    if (!parse_decimal(whole, 100, units)) return false;
    if (dot != std::string_view::npos && (fraction.empty() || fraction.size() > 8)) return false;
    uint64_t part = 0;
    if (!fraction.empty() && !parse_decimal(fraction, 99'999'999, part)) return false;
    for (size_t i = fraction.size(); i < 8; ++i) part *= 10;
    units = units * 100'000'000 + part;
    if (percent) units /= 100;
    if (units > 100'000'000 || units % 100 != 0) return false;  // above 1, or finer than one in a million
    ppm = uint32_t(units / 100);
    return true;
}

}  // namespace

std::optional<CardFaults> parse_card_faults(std::string_view text, std::string& error) {
    const std::string prefix = "card faults " + quoted(text) + ": ";
    CardFaults faults;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string_view item = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
        const size_t colon = item.find(':');
        const std::string_view kind = item.substr(0, colon);
        const std::string_view value = colon == std::string_view::npos ? std::string_view{} : item.substr(colon + 1);
        if (colon == std::string_view::npos) {
            error = prefix + "item " + quoted(item) + " is not KIND:VALUE (program, erase, block, rate, seed)";
            return std::nullopt;
        }
        bool ok = true;
        const char* wants = "";
        if (kind == "program" || kind == "erase" || kind == "block") {
            std::vector<uint32_t> blocks;
            ok = parse_blocks(value, blocks);
            wants = "a block number or FIRST-LAST, decimal, at most 65535";
            if (kind != "erase") faults.program_blocks.insert(faults.program_blocks.end(), blocks.begin(), blocks.end());
            if (kind != "program") faults.erase_blocks.insert(faults.erase_blocks.end(), blocks.begin(), blocks.end());
        } else if (kind == "rate") {
            ok = parse_rate(value, faults.rate_ppm);
            wants = "a chance from 0 to 1 (0.001 or 0.1%), in steps of one in a million";
        } else if (kind == "seed") {
            ok = parse_decimal(value, 1'000'000'000'000'000'000, faults.seed);
            wants = "a decimal number up to 10^18";
        } else {
            error = prefix + "unknown kind " + quoted(kind) + " (program, erase, block, rate, seed)";
            return std::nullopt;
        }
        if (!ok) {
            error = prefix + std::string(kind) + " needs " + wants + ", not " + quoted(value);
            return std::nullopt;
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return faults;
}

}  // namespace vboard::card
