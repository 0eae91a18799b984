// The image maker: physical format from a disk image.
#include "cardimage/card_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

// The disk image, read until its end or one byte past what the card holds
// (a device such as /dev/zero has no end).
bool read_disk(const std::string& path, uint64_t fits, std::vector<uint8_t>& disk, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = "cannot read disk image '" + path + "': " + std::strerror(EISDIR);
        return false;
    }
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
        error = "cannot open disk image '" + path + "': " + std::strerror(errno);
        return false;
    }
    disk.clear();
    uint8_t chunk[65536];
    size_t got = 0;
    while (disk.size() <= fits && (got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        disk.insert(disk.end(), chunk, chunk + got);
    const bool failed = std::ferror(in) != 0;
    const int code = errno;
    std::fclose(in);
    if (failed) {
        error = "cannot read disk image '" + path + "': " + std::strerror(code);
        return false;
    }
    if (disk.size() > fits) {
        char text[200];
        std::snprintf(text, sizeof text, "disk image '%s' is larger than the %llu bytes the card's disk holds",
                      path.c_str(), static_cast<unsigned long long>(fits));
        error = text;
        return false;
    }
    return true;
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
        std::vector<uint8_t> disk;
        if (!read_disk(request.from, disk_bytes(request.card), disk, error)) return false;
        // The tail of the last block past the image's end reads as erased.
        for (uint32_t b = 0; uint64_t{b} * block_bytes < disk.size(); ++b) {
            std::vector<uint8_t>& block = blocks[b];
            block.assign(block_bytes, 0xFF);
            const size_t at = size_t(b) * block_bytes;
            std::copy_n(disk.begin() + std::ptrdiff_t(at), std::min<size_t>(block_bytes, disk.size() - at), block.begin());
        }
        cis = smformat::cis_sector();
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
    auto failed = [&](const char* what, int code) {
        error = std::string(what) + " '" + path + "': " + std::strerror(code);
        return false;
    };
    // A device or pipe takes the bytes as they come; a file is written
    // beside itself and renamed over OUT only when whole, so a failed write
    // leaves OUT as it was. Nothing here removes what it did not create.
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::is_directory(status)) return failed("cannot write", EISDIR);
    const bool in_place = std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
    const std::string target = in_place ? path : path + ".part";
    std::FILE* out = std::fopen(target.c_str(), in_place ? "wb" : "wbx");
    if (!out) {
        if (errno == EEXIST) {
            error = "cannot create '" + target + "': it exists (left by an earlier run?); nothing written";
            return false;
        }
        return failed("cannot create", errno);
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size() && std::fflush(out) == 0;
    int code = errno;
    const bool closed = std::fclose(out) == 0;
    if (written && !closed) code = errno;
    if (!written || !closed) {
        if (!in_place) std::remove(target.c_str());
        return failed("cannot write", code);
    }
    if (!in_place && std::rename(target.c_str(), path.c_str()) != 0) {
        code = errno;
        std::remove(target.c_str());
        return failed("cannot rename the finished image to", code);
    }
    return true;
}

}  // namespace vboard::cardimage
