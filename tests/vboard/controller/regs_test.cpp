// The controller's register map against the firmware's include file: the
// same names with the same values, in both directions.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "controller/regs.h"
#include "cpu/sfr.h"

namespace {

// NAME = value lines of ezusb.inc (hex 0x.., binary 0b.., or decimal).
std::map<std::string, unsigned> read_include(const std::string& path) {
    std::ifstream in(path);
    std::map<std::string, unsigned> names;
    const std::regex line(R"(^\s*([A-Za-z_][A-Za-z0-9_]*)\s*=\s*(0[xX][0-9A-Fa-f]+|0[bB][01]+|[0-9]+)\b)");
    std::string text;
    while (std::getline(in, text)) {
        std::smatch m;
        if (!std::regex_search(text, m, line)) continue;
        const std::string v = m[2];
        unsigned value = 0;
        if (v.size() > 2 && (v[1] == 'x' || v[1] == 'X'))
            value = static_cast<unsigned>(std::stoul(v.substr(2), nullptr, 16));
        else if (v.size() > 2 && (v[1] == 'b' || v[1] == 'B'))
            value = static_cast<unsigned>(std::stoul(v.substr(2), nullptr, 2));
        else
            value = static_cast<unsigned>(std::stoul(v));
        names[m[1]] = value;
    }
    return names;
}

// The core's SFRs and bits that ezusb.inc also names (they live in cpu/sfr.h).
const std::map<std::string, unsigned>& core_names() {
    using namespace vboard::sfr;
    static const std::map<std::string, unsigned> names = {
        {"DPL1", DPL1}, {"DPH1", DPH1}, {"DPS", DPS}, {"CKCON", CKCON}, {"EXIF", EXIF},
        {"MPAGE", MPAGE}, {"EICON", EICON}, {"EIE", EIE}, {"EIP", EIP},
        {"RESI", EICON + 4u}, {"ERESI", EICON + 5u}, {"EUSB", EIE + 0u},  // bit addresses
        {"bmUSBINT", EXIF_USBINT}, {"bmIDLE", PCON_IDLE}, {"bmMOVXSTRETCH", CKCON_MD},
    };
    return names;
}

TEST(RegisterMap, IncludeFileAndModelAgree) {
    const auto inc = read_include(EZUSB_INC);
    ASSERT_GT(inc.size(), 100u) << "could not read the register map from " << EZUSB_INC;

    std::map<std::string, unsigned> model;
    for (const auto& n : vboard::controller::reg::names) model[std::string(n.name)] = n.value;

    for (const auto& [name, value] : inc) {
        if (auto it = model.find(name); it != model.end()) {
            EXPECT_EQ(it->second, value) << name << ": regs.h says 0x" << std::hex << it->second
                                         << ", ezusb.inc says 0x" << value;
        } else if (auto c = core_names().find(name); c != core_names().end()) {
            EXPECT_EQ(c->second, value) << name << ": cpu/sfr.h and ezusb.inc differ";
        } else if (name.starts_with("bn")) {
            // A bit number: that of the mask of the same name.
            const auto mask = inc.find("bm" + name.substr(2));
            EXPECT_TRUE(mask != inc.end() && value < 8 && mask->second == (1u << value))
                << name << " = " << value << " is not the bit of bm" << name.substr(2);
        } else {
            ADD_FAILURE() << name << " = 0x" << std::hex << value << " is in ezusb.inc but not in regs.h";
        }
    }
    for (const auto& [name, value] : model)
        EXPECT_TRUE(inc.count(name)) << name << " is in regs.h but not in ezusb.inc";
}

}  // namespace
