// Card contents from an image file: errors, the capacity boundary, memory use.
#include <gtest/gtest.h>

#include "card_wires.h"

namespace vboard::card {
namespace {

using test::pattern_image;
using test::TempFile;
using test::Wires;

TEST(CardImage, BadFilesGiveOneLineAndKeepTheContents) {
    const Geometry g = geometry_for_device(0x6E);  // 1 MB, 4096 pages of 264 bytes
    Card card(CardIdentity{0xEC, 0x6E, 0xA5, std::nullopt});
    TempFile good(pattern_image(g, 1));
    std::string error;
    ASSERT_TRUE(card.load_image(good.path, error)) << error;

    std::vector<uint8_t> over(g.image_bytes() + 1, 0xFF);
    TempFile too_long(over);
    struct Case {
        std::string path;
        std::string in_message;
    };
    const Case cases[] = {
        {good.path + ".missing", "cannot open card image '" + good.path + ".missing': No such file or directory"},
        {::testing::TempDir(), "cannot read card image '" + ::testing::TempDir() + "': Is a directory"},
        {too_long.path, "is larger than the card: 1081344 bytes fit (4096 pages of 264 bytes)"},
    };
    for (const Case& c : cases) {
        error.clear();
        EXPECT_FALSE(card.load_image(c.path, error)) << c.path;
        EXPECT_NE(error.find(c.in_message), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(card.page(0), pattern_image(g, 1)) << "a failed load changed the card: " << c.path;
    }

    over.pop_back();  // exactly the card's size
    TempFile full(over);
    EXPECT_TRUE(card.load_image(full.path, error)) << error;
    EXPECT_EQ(card.page(0), std::vector<uint8_t>(264, 0xFF)) << "a load replaces the whole array";

    Card unknown(CardIdentity{0xEC, 0x12, 0xA5, std::nullopt});
    TempFile one_byte({0x00});
    EXPECT_FALSE(unknown.load_image(one_byte.path, error));
    EXPECT_NE(error.find("device code 12 is unknown, the card has no pages"), std::string::npos) << error;
}

TEST(CardImage, ErasedPagesTakeNoMemory) {
    // An erased 128 MB card keeps nothing and still reads its last page.
    Wires big(CardIdentity{0xEC, 0x79, 0xA5, std::nullopt});
    EXPECT_EQ(big.card().geometry().data_capacity(), 128u << 20);
    big.cmd(0x00);
    big.addr({0xFE, 0xFF, 0xFF, 0x03});  // page 262143
    EXPECT_EQ(big.read(3), (std::vector<int>{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(big.card().stored_pages(), 0u);

    // Image pages that are all 0xFF are not stored either.
    const Geometry g = geometry_for_device(0x79);
    std::vector<uint8_t> image(3 * g.page_bytes(), 0xFF);
    image[g.page_bytes() + 527] = 0x00;  // page 1's last spare byte
    TempFile file(image);
    std::string error;
    ASSERT_TRUE(big.card().load_image(file.path, error)) << error;
    EXPECT_EQ(big.card().stored_pages(), 1u);
    big.cmd(0x50);
    big.addr({0x0F, 0x01, 0x00, 0x00});
    EXPECT_EQ(big.read(2), (std::vector<int>{0x00, 0xFF}));
}

}  // namespace
}  // namespace vboard::card
