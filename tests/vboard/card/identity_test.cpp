// The card identity "MAKER,DEVICE,ID3[,EXT]" as the vboard command takes it.
#include <gtest/gtest.h>

#include "card/card.h"

namespace vboard::card {
namespace {

TEST(CardIdentity, ParsesThreeAndFourFields) {
    struct Case {
        const char* text;
        CardIdentity want;
    };
    const Case cases[] = {
        {"ec,75,a5", {0xEC, 0x75, 0xA5, std::nullopt}},
        {"98,73,c0,21", {0x98, 0x73, 0xC0, 0x21}},
        {"EC,75,A5", {0xEC, 0x75, 0xA5, std::nullopt}},
        {"0xec,0X75,a5,0", {0xEC, 0x75, 0xA5, 0x00}},
        {" 98 , 73,c0 , ff", {0x98, 0x73, 0xC0, 0xFF}},
        {"0,00,000ff", {0x00, 0x00, 0xFF, std::nullopt}},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto id = parse_card_identity(c.text, error);
        ASSERT_TRUE(id) << c.text << ": " << error;
        EXPECT_EQ(*id, c.want) << c.text;
        EXPECT_EQ(*parse_card_identity(format_card_identity(*id), error), *id) << "round trip of " << c.text;
    }
    EXPECT_EQ(format_card_identity({0x98, 0x73, 0xC0, 0x21}), "98,73,c0,21");
    EXPECT_EQ(CardIdentity{}, (CardIdentity{0xEC, 0x75, 0xA5, std::nullopt})) << "the default card";
}

TEST(CardIdentity, RejectsBadInputWithOneLineNamingTheFault) {
    struct Case {
        std::string text;
        const char* in_message;
    };
    const Case cases[] = {
        {"", "got 1 field"},
        {"ec,75", "got 2 fields"},
        {"ec,75,a5,21,00", "got 5 fields"},
        {"ec,,a5", "DEVICE is empty"},
        {"ec,75,a5,", "EXT is empty"},
        {"0x,75,a5", "MAKER is empty"},
        {"ec,7g,a5", "DEVICE '7g' is not hex"},
        {"ec,75,-1", "ID3 '-1' is not hex"},
        {"ec,175,a5", "DEVICE '175' is above ff"},
        {"ec,75,a5,fffffffffffffffffffff", "EXT 'fffffffffffffffffffff' is above ff"},
        {std::string("ec,75,a\n5"), "ID3 'a\\x0a5' is not hex"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parse_card_identity(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.in_message), std::string::npos) << "'" << c.text << "' gave: " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace vboard::card
