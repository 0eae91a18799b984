// The board options of serve, run and script.

#include "serve/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using vboard::card::CardIdentity;
using vboard::serve::BoardOptions;

struct Parsed {
    bool ok;
    BoardOptions options;
    cmdline::Parsed args;
    std::string error;
};

// The board options' rows alone, through the shared parser, then the checks.
Parsed parse(std::vector<std::string> args)
{
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    Parsed p{};
    p.ok = cmdline::parse(vboard::serve::board_option_table(p.options), static_cast<int>(argv.size()), argv.data(),
                          p.args, p.error) &&
           vboard::serve::check_board_options(p.options, p.error);
    return p;
}

TEST(BoardOptions, DefaultsAreBoardZeroWithTheDefaultCard)
{
    const Parsed p = parse({});
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.options.device, 0);
    ASSERT_TRUE(p.options.card);
    EXPECT_EQ(*p.options.card, CardIdentity{});
    EXPECT_FALSE(p.options.firmware_loaded);
    EXPECT_FALSE(p.options.bare_strings_stalled);
    EXPECT_TRUE(p.options.bare_string1.empty());
    EXPECT_FALSE(p.options.fast);
}

TEST(BoardOptions, EveryOptionInBothForms)
{
    Parsed p = parse({"--device", "3", "--card", "98,73,c0,21", "--card-image", "img.bin", "--firmware-loaded",
                      "--bare-strings", "NEBU,Z1,00", "--fast", "--", "tool"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.args.operands, std::vector<std::string>{"tool"});
    EXPECT_EQ(p.options.device, 3);
    EXPECT_EQ(*p.options.card, (CardIdentity{0x98, 0x73, 0xC0, 0x21}));
    EXPECT_EQ(p.options.card_image, "img.bin");
    EXPECT_TRUE(p.options.firmware_loaded);
    EXPECT_EQ(p.options.bare_string1, "NEBU");
    EXPECT_EQ(p.options.bare_string2, "Z1,00") << "the first comma splits";
    EXPECT_TRUE(p.options.fast);

    p = parse({"--device=12", "--card=ec,75,a5", "--bare-strings=none", "script.txt"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.device, 12);
    EXPECT_TRUE(p.options.bare_strings_stalled);

    p = parse({"--no-card"});
    EXPECT_FALSE(p.options.card);

    p = parse({"--bare-strings", ","});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.bare_string1, "");
    EXPECT_EQ(p.options.bare_string2, "");
}

TEST(BoardOptions, BadValuesAreOneLineErrors)
{
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--device"}, "--device needs a value"},
        {{"--device", "-1"}, "--device: needs a decimal number"},
        {{"--device", "2147483648"}, "--device: needs a decimal number"},
        {{"--device=1x"}, "--device: needs a decimal number"},
        {{"--card", "ec,75"}, "--card: "},
        {{"--card", "ec,75,a5,21,00"}, "--card: "},
        {{"--card", "ec,175,a5"}, "--card: "},
        {{"--card-image", ""}, "--card-image: needs a non-empty value"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--bare-strings", "NEBU"}, "needs TEXT1,TEXT2 or none"},
        {{"--bare-strings", std::string(127, 'x') + ",y"}, "longer than 126 characters"},
        {{"--fast=yes"}, "--fast takes no value"},
        {{"--no-card", "--card", "ec,75,a5"}, "exclude each other"},
        {{"--no-card", "--card-image", "x.bin"}, "--card-image needs a card"},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_FALSE(p.ok) << c.args[0];
        EXPECT_NE(p.error.find(c.error), std::string::npos) << c.args[0] << ": " << p.error;
        EXPECT_EQ(p.error.find('\n'), std::string::npos);
    }
}

}  // namespace
