// Test helpers: the socket driven the way the board drives it, and image files.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "card/card.h"

namespace vboard::card::test {

// The socket with the card selected; each helper is one script-like step.
struct Wires {
    explicit Wires(const CardIdentity& id = {}) : socket(Card(id)) { socket.set_ce_n(false); }
    explicit Wires(Card card) : socket(std::move(card)) { socket.set_ce_n(false); }

    void cmd(uint8_t value) {
        socket.set_cle(true);
        socket.write_strobe(value);
        socket.set_cle(false);
    }
    void addr(std::initializer_list<uint8_t> bytes) {
        socket.set_ale(true);
        for (uint8_t b : bytes) socket.write_strobe(b);
        socket.set_ale(false);
    }
    void data(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) socket.write_strobe(b);
    }
    // n read strobes; -1 where the card drove nothing.
    std::vector<int> read(size_t n) {
        std::vector<int> out;
        for (size_t i = 0; i < n; ++i) {
            const auto v = socket.read_strobe();
            out.push_back(v ? *v : -1);
        }
        return out;
    }
    int status() {
        cmd(0x70);
        return read(1)[0];
    }
    Card& card() { return *socket.card(); }

    Socket socket;
};

// A byte pattern that tells pages and page halves apart.
inline uint8_t pattern(uint32_t page, uint32_t column) {
    return uint8_t(column + (column >> 8) * 0x55 + page * 0x11);
}

// Image bytes: `pages` whole pages of the pattern, then `tail` bytes of the next.
inline std::vector<uint8_t> pattern_image(const Geometry& g, uint32_t pages, uint32_t tail = 0) {
    std::vector<uint8_t> out;
    for (uint32_t p = 0; p <= pages; ++p)
        for (uint32_t c = 0; c < (p < pages ? g.page_bytes() : tail); ++c) out.push_back(pattern(p, c));
    return out;
}

// A file in the test's temporary directory, removed when the object goes.
struct TempFile {
    explicit TempFile(const std::vector<uint8_t>& bytes) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path = ::testing::TempDir() + "vboard_card_" + info->test_suite_name() + "_" + info->name() + "_" +
               std::to_string(++serial()) + ".img";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr) << path;
        if (f) {
            EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
            std::fclose(f);
        }
    }
    ~TempFile() { std::remove(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    static int& serial() {
        static int n = 0;
        return n;
    }
    std::string path;
};

// A card of `device` loaded with `image`; fails the test if the load fails.
inline Card loaded_card(uint8_t device, const std::vector<uint8_t>& image) {
    Card card(CardIdentity{0xEC, device, 0xA5, std::nullopt});
    TempFile file(image);
    std::string error;
    EXPECT_TRUE(card.load_image(file.path, error)) << error;
    return card;
}

// Pattern bytes page p, columns [from, from + n).
inline std::vector<int> expected(uint32_t page, uint32_t from, uint32_t n) {
    std::vector<int> out;
    for (uint32_t c = from; c < from + n; ++c) out.push_back(pattern(page, c));
    return out;
}

}  // namespace vboard::card::test
