// The read flow: geometry from the ID bytes, the pages block by block, the
// card's presence checked after each block, the file written as FILE.part
// and renamed once whole.
#include "card_tool/read.h"

#include "card_tool/card_tool.h"
#include "card_tool/geometry.h"
#include "card_tool/logical.h"
#include "card_tool/page_reader.h"
#include "card_tool/read_progress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr unsigned char card_present = 0x08;  // PC3

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Reads every block into `raw_out` (raw mode) or `disk` (logical mode).
// Returns an empty string, or why the read stopped.
// `stream_left` is set when a page transfer failed: its stream may still be
// outstanding, so no further script may be sent.
std::string read_blocks(const sm_geometry& g, std::FILE* raw_out, sm_logical_disk* disk, uint32_t& pages_read,
                        uint32_t& bad_blocks, bool& stream_left)
{
    const size_t block_bytes = size_t(g.pages_per_block) * g.page_bytes();
    std::vector<unsigned char> block(block_bytes);
    sm_progress progress(g.pages, g.page_bytes());
    for (uint32_t b = 0; b < g.blocks(); ++b) {
        // The presence check between blocks deselects the card, so every
        // block starts with a full address.
        if (sm_read_pages(g, b * g.pages_per_block, g.pages_per_block, block.data()) != 0) {
            stream_left = true;
            return "the page transfer failed";
        }
        // A card pulled during the block leaves the bus to the pull-ups;
        // the block's bytes cannot be trusted then.
        unsigned char levels = 0;
        if (sm_pins(&levels) != 0)
            return "the card's presence could not be checked";
        if (!(levels & card_present))
            return "the card was removed";
        pages_read += g.pages_per_block;
        if (raw_out) {
            if (sm_block_bad(g, block.data()))
                ++bad_blocks;
            if (std::fwrite(block.data(), 1, block.size(), raw_out) != block.size())
                return std::string("cannot write the file: ") + std::strerror(errno);
        } else {
            disk->add_block(b, block.data());
        }
        progress.update(pages_read);
    }
    progress.done();
    return {};
}

}  // namespace

int card_tool_read(sm_read_mode mode, const char* path)
{
    unsigned char device;
    if (card_tool_identify(&device) != 0)
        return read_failed;

    const sm_geometry g = sm_geometry_for(device);
    if (g.megabytes == 0) {
        std::printf("Unknown device code %02x: not a SmartMedia size this tool knows, nothing read\n", unsigned{device});
        sm_end();
        return read_failed;
    }
    const std::string part = std::string(path) + ".part";
    std::unique_ptr<std::FILE, FileCloser> out(std::fopen(part.c_str(), "wb"));
    if (!out) {
        std::printf("Cannot create %s: %s\n", part.c_str(), std::strerror(errno));
        sm_end();
        return read_failed;
    }
    std::printf("Reading %u MB card: %u pages of %u + %u bytes\n", g.megabytes, unsigned(g.pages), g.data_bytes,
                g.spare_bytes);
    std::fflush(stdout);

    std::unique_ptr<sm_logical_disk> disk;
    if (mode == sm_read_mode::logical)
        disk = std::make_unique<sm_logical_disk>(g);
    uint32_t pages_read = 0, bad_blocks = 0;
    bool stream_left = false;
    std::string stopped = read_blocks(g, mode == sm_read_mode::raw ? out.get() : nullptr, disk.get(), pages_read,
                                      bad_blocks, stream_left);
    if (!stream_left)
        sm_deselect();
    sm_end();

    if (stopped.empty() && disk) {
        disk->finish();
        const auto& image = disk->image();
        if (std::fwrite(image.data(), 1, image.size(), out.get()) != image.size())
            stopped = std::string("cannot write the file: ") + std::strerror(errno);
    }
    if (std::fclose(out.release()) != 0 && stopped.empty())
        stopped = std::string("cannot write the file: ") + std::strerror(errno);
    if (!stopped.empty()) {
        if (mode == sm_read_mode::raw && pages_read > 0) {
            std::printf("Read stopped after %u of %u pages: %s; the pages read are in %s\n", unsigned(pages_read),
                        unsigned(g.pages), stopped.c_str(), part.c_str());
        } else {
            std::remove(part.c_str());
            std::printf("Read stopped after %u of %u pages: %s; nothing written\n", unsigned(pages_read),
                        unsigned(g.pages), stopped.c_str());
        }
        return read_cut_short;
    }
    // Windows will not rename onto an existing file: an old FILE goes only
    // once the new one is whole.
    if (std::rename(part.c_str(), path) != 0 && (std::remove(path) != 0 || std::rename(part.c_str(), path) != 0)) {
        std::printf("Cannot rename %s to %s: %s\n", part.c_str(), path, std::strerror(errno));
        return read_failed;
    }

    if (!disk) {
        std::printf("Read %u pages (%llu bytes) into %s; %u bad blocks\n", unsigned(pages_read),
                    static_cast<unsigned long long>(g.raw_bytes()), path, unsigned(bad_blocks));
        return read_complete;
    }
    const sm_logical_summary& s = disk->summary();
    std::printf("Read %u pages; logical disk of %llu bytes into %s\n", unsigned(pages_read),
                static_cast<unsigned long long>(disk->size()), path);
    std::printf("%u bad blocks, %u ECC corrections, %u uncorrectable sectors, %u logical blocks missing, "
                "%u doubled%s\n",
                unsigned(s.bad_blocks), unsigned(s.corrected), unsigned(s.uncorrectable), unsigned(s.missing),
                unsigned(s.doubled), s.cis_found ? "" : "; no card information structure");
    return s.uncorrectable || s.doubled ? read_damaged : read_complete;
}
