// The firmware's link map (nebu.map, written by sdld -m -w): global symbols
// with their values and the area bases given to the linker.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace fwtest {

inline std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct LinkMap {
    std::map<std::string, uint32_t> symbols;
    std::map<std::string, uint32_t> bases;

    // The value of a global symbol; a test failure when it is missing.
    uint32_t at(const std::string& name) const {
        const auto it = symbols.find(name);
        if (it == symbols.end()) ADD_FAILURE() << "symbol " << name << " not in the link map";
        return it == symbols.end() ? 0xFFFFFFFF : it->second;
    }
};

inline LinkMap read_link_map(const char* path) {
    LinkMap m;
    std::istringstream in(slurp(path));
    const std::regex symbol(R"(^(?:C:)?\s+([0-9A-F]{8})\s+([A-Za-z_][A-Za-z0-9_]*)\b.*$)");
    const std::regex base(R"(^([A-Za-z_][A-Za-z0-9_]*)=0x([0-9A-Fa-f]+)\s*$)");
    std::string line;
    std::smatch s;
    while (std::getline(in, line)) {
        if (std::regex_match(line, s, symbol))
            m.symbols[s[2]] = static_cast<uint32_t>(std::stoul(s[1], nullptr, 16));
        else if (std::regex_match(line, s, base))
            m.bases[s[1]] = static_cast<uint32_t>(std::stoul(s[2], nullptr, 16));
    }
    return m;
}

}  // namespace fwtest
