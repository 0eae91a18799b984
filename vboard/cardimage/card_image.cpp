// The image maker: physical format from a disk image.
#include "cardimage/card_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>

#include "smformat/smformat.h"

namespace vboard::cardimage {
namespace {

struct Layout {
    card::Geometry g;
    smformat::ZoneLayout zones;
    uint32_t blocks = 0;
    uint32_t sectors_per_block = 0;
    uint32_t pages_per_sector = 0;
};

std::optional<Layout> layout_for(const card::CardIdentity& id) {
    Layout l;
    l.g = card::geometry_for_device(id.device);
    if (l.g.pages == 0) return std::nullopt;
    l.blocks = l.g.pages / l.g.pages_per_block;
    l.zones = smformat::zone_layout(l.blocks);
    l.pages_per_sector = smformat::sector_bytes / l.g.data_bytes;
    l.sectors_per_block = l.g.pages_per_block / l.pages_per_sector;
    return l;
}

// Writes one 512-byte sector and its 16 spare bytes into the image: one
// page, or two pages of 256 + 8 bytes.
void put_sector(std::vector<uint8_t>& image, const Layout& l, uint32_t block, uint32_t sector,
                const uint8_t* data, const uint8_t* spare) {
    const uint32_t first_page = block * l.g.pages_per_block + sector * l.pages_per_sector;
    const uint32_t spare_part = smformat::sector_spare_bytes / l.pages_per_sector;
    for (uint32_t p = 0; p < l.pages_per_sector; ++p) {
        uint8_t* page = image.data() + size_t(first_page + p) * l.g.page_bytes();
        std::copy_n(data + p * l.g.data_bytes, l.g.data_bytes, page);
        std::copy_n(spare + p * spare_part, spare_part, page + l.g.data_bytes);
    }
}

}  // namespace

uint64_t disk_bytes(const card::CardIdentity& card) {
    const std::optional<Layout> l = layout_for(card);
    if (!l) return 0;
    return uint64_t{l->zones.zones} * l->zones.logical_per_zone * l->sectors_per_block * smformat::sector_bytes;
}

bool make_card_image(const Request& request, std::vector<uint8_t>& image, std::string& error) {
    char text[160];
    const std::optional<Layout> found = layout_for(request.card);
    if (!found) {
        std::snprintf(text, sizeof text, "device code %02x is not a SmartMedia card this maker knows", request.card.device);
        error = text;
        return false;
    }
    const Layout& l = *found;
    const uint32_t block_bytes = l.sectors_per_block * smformat::sector_bytes;

    std::vector<bool> bad(l.blocks, false);
    for (uint32_t b : request.bad_blocks) {
        if (b >= l.blocks) {
            std::snprintf(text, sizeof text, "bad block %u is past the card's last block %u", b, l.blocks - 1);
            error = text;
            return false;
        }
        bad[b] = true;
    }

    // The logical blocks to write: the disk image's, or the standard layout's.
    std::map<uint32_t, std::vector<uint8_t>> blocks;
    std::vector<uint8_t> cis;
    if (!request.from.empty()) {
        std::ifstream in(request.from, std::ios::binary);
        if (!in) {
            error = "cannot open disk image '" + request.from + "': " + std::strerror(errno);
            return false;
        }
        std::vector<uint8_t> disk(std::istreambuf_iterator<char>(in), {});
        if (in.bad()) {
            error = "cannot read disk image '" + request.from + "'";
            return false;
        }
        const uint64_t fits = disk_bytes(request.card);
        if (disk.size() > fits) {
            std::snprintf(text, sizeof text, "disk image '%s' has %zu bytes; the card's disk holds %llu",
                          request.from.c_str(), disk.size(), static_cast<unsigned long long>(fits));
            error = text;
            return false;
        }
        // The tail of the last block past the image's end reads as erased.
        for (uint32_t b = 0; uint64_t{b} * block_bytes < disk.size(); ++b) {
            std::vector<uint8_t>& block = blocks[b];
            block.assign(block_bytes, 0xFF);
            const size_t at = size_t(b) * block_bytes;
            std::copy_n(disk.begin() + std::ptrdiff_t(at), std::min<size_t>(block_bytes, disk.size() - at), block.begin());
        }
        cis.assign(smformat::sector_bytes, 0x00);
        std::copy(smformat::cis_tuples.begin(), smformat::cis_tuples.end(), cis.begin());
        std::copy(smformat::cis_tuples.begin(), smformat::cis_tuples.end(), cis.begin() + 256);
    } else {
        std::optional<smformat::StandardLayout> layout =
            smformat::standard_layout(unsigned(l.g.data_capacity() >> 20));
        if (!layout) {
            std::snprintf(text, sizeof text, "the standard format has no layout for a %llu-byte card",
                          static_cast<unsigned long long>(l.g.data_capacity()));
            error = text;
            return false;
        }
        blocks = std::move(layout->blocks);
        cis = std::move(layout->cis);
    }

    image.assign(size_t(l.g.image_bytes()), 0xFF);
    std::vector<uint8_t> sector(smformat::sector_bytes);

    // Bad blocks: block status 0x00 in every sector.
    std::array<uint8_t, smformat::sector_spare_bytes> bad_spare;
    bad_spare.fill(0xFF);
    bad_spare[smformat::spare_block_status] = 0x00;
    std::fill(sector.begin(), sector.end(), 0xFF);
    for (uint32_t b = 0; b < l.blocks; ++b)
        if (bad[b])
            for (uint32_t s = 0; s < l.sectors_per_block; ++s) put_sector(image, l, b, s, sector.data(), bad_spare.data());

    std::mt19937 shuffle(request.seed);
    for (uint32_t zone = 0; zone < l.zones.zones; ++zone) {
        std::vector<uint32_t> good;
        for (uint32_t b = zone * l.zones.physical_per_zone; b < (zone + 1) * l.zones.physical_per_zone; ++b)
            if (!bad[b]) good.push_back(b);
        if (zone == 0) {
            if (good.empty()) {
                error = "zone 0 has no good block for the card information structure";
                return false;
            }
            // The card information structure in the first sector; the block's other sectors stay erased.
            const auto spare = smformat::sector_spare(cis.data(), std::nullopt);
            put_sector(image, l, good.front(), 0, cis.data(), spare.data());
            good.erase(good.begin());
        }
        const uint32_t first_logical = zone * l.zones.logical_per_zone;
        const auto begin = blocks.lower_bound(first_logical);
        const auto end = blocks.lower_bound(first_logical + l.zones.logical_per_zone);
        const size_t wanted = size_t(std::distance(begin, end));
        if (wanted == 0) continue;
        if (good.size() < wanted) {
            std::snprintf(text, sizeof text, "zone %u has %zu good blocks for %zu logical blocks", zone, good.size(),
                          wanted);
            error = text;
            return false;
        }
        std::shuffle(good.begin(), good.end(), shuffle);
        size_t n = 0;
        for (auto it = begin; it != end; ++it, ++n) {
            const uint16_t address = uint16_t(it->first - first_logical);
            for (uint32_t s = 0; s < l.sectors_per_block; ++s) {
                const uint8_t* data = it->second.data() + size_t(s) * smformat::sector_bytes;
                const auto spare = smformat::sector_spare(data, address);
                put_sector(image, l, good[n], s, data, spare.data());
            }
        }
    }
    return true;
}

bool write_card_image(const Request& request, const std::string& path, std::string& error) {
    std::vector<uint8_t> image;
    if (!make_card_image(request, image, error)) return false;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        error = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        error = "cannot write '" + path + "'";
        std::remove(path.c_str());
        return false;
    }
    return true;
}

}  // namespace vboard::cardimage
