// The firmware's link map (nebu.map, written by sdld -m -w): global symbols
// with their values and the area bases given to the linker.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
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

// Symbol lines: "[C:]   0000AAAA  name   module"; base lines: "NAME=0xADDR".
inline LinkMap read_link_map(const char* path) {
    const auto is_name = [](const std::string& t) {
        if (t.empty() || std::isdigit(static_cast<unsigned char>(t[0]))) return false;
        for (char c : t)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
        return true;
    };
    const auto is_hex = [](const std::string& t, size_t digits) {
        if (t.size() != digits) return false;
        for (char c : t)
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        return true;
    };
    LinkMap m;
    std::istringstream in(slurp(path));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first, second;
        words >> first;
        if (first == "C:") words >> first;
        words >> second;
        if (is_hex(first, 8) && is_name(second)) {
            m.symbols[second] = static_cast<uint32_t>(std::stoul(first, nullptr, 16));
            continue;
        }
        const size_t eq = first.find("=0x");
        if (second.empty() && eq != std::string::npos && is_name(first.substr(0, eq)) &&
            is_hex(first.substr(eq + 3), first.size() - eq - 3) && first.size() > eq + 3)
            m.bases[first.substr(0, eq)] = static_cast<uint32_t>(std::stoul(first.substr(eq + 3), nullptr, 16));
    }
    return m;
}

}  // namespace fwtest
