// Card images in SmartMedia's physical format: the card information
// structure in the first good block, the disk's logical blocks spread over
// the zones' good blocks with their block address fields and ECC, bad blocks
// marked. The virtual board loads such an image with --card-image; users get
// a virtual card holding their files, the tests get fixtures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "card/card.h"

namespace vboard::cardimage {

struct Request {
    card::CardIdentity card;
    std::string from;                  // a disk image (e.g. a FAT file system); empty: the standard format's
                                       // layout (smformat::standard_layout), the other blocks unwritten
    std::vector<uint32_t> bad_blocks;  // physical block numbers marked bad
    uint32_t seed = 1;                 // which good blocks the logical blocks land in
};

// The whole raw image (pages of data + spare bytes, in page order). False
// with one line in `error` when the card's device code is unknown, a bad
// block lies past the card, the disk image is unreadable or larger than the
// card's disk, or a zone has too few good blocks.
bool make_card_image(const Request& request, std::vector<uint8_t>& image, std::string& error);

// make_card_image written to `path`.
bool write_card_image(const Request& request, const std::string& path, std::string& error);

// Bytes of the card's logical disk (0 for an unknown device code).
uint64_t disk_bytes(const card::CardIdentity& card);

}  // namespace vboard::cardimage
