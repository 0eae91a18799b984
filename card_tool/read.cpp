// The read flow: geometry from the ID bytes, the pages block by block, the
// card's presence checked after each block, the file written as FILE.part
// and renamed once whole.
#include "card_tool/card_bus.h"
#include "card_tool/read.h"

#include "card_tool/card_tool.h"
#include "card_tool/geometry.h"
#include "card_tool/logical.h"
#include "card_tool/page_reader.h"
#include "card_tool/read_progress.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {


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
    // FILE.part is renamed over FILE: that would remove a directory or a
    // device node that is not ours, so FILE is a file or nothing yet.
    std::error_code ec;
    const auto kind = std::filesystem::status(path, ec);
    if (std::filesystem::exists(kind) && !std::filesystem::is_regular_file(kind)) {
        std::printf("Cannot write %s: it is %s, nothing read\n", path,
                    std::filesystem::is_directory(kind) ? "a directory" : "not a regular file");
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
        if (disk->summary().no_disk) {
            // Not a logical disk at all: a file of 0xFF would only look like one.
            std::fclose(out.release());
            std::remove(part.c_str());
            std::printf("Read %u pages; no logical disk: every block is bad (%u) or holds no valid address; "
                        "nothing written (--read keeps the raw pages)\n",
                        unsigned(pages_read), unsigned(disk->summary().bad_blocks));
            return read_failed;
        }
        const auto& image = disk->image();
        if (std::fwrite(image.data(), 1, image.size(), out.get()) != image.size())
            stopped = std::string("cannot write the file: ") + std::strerror(errno);
    }
    if (std::fclose(out.release()) != 0 && stopped.empty())
        stopped = std::string("cannot write the file: ") + std::strerror(errno);
    if (!stopped.empty()) {
        // What the file holds, not what was read: a write can fail part way.
        const uint64_t kept = std::filesystem::file_size(part, ec);
        const uint32_t pages_kept = ec ? 0 : uint32_t(kept / g.page_bytes());
        if (mode == sm_read_mode::raw && pages_kept > 0) {
            std::printf("Read stopped after %u of %u pages: %s; the first %u pages are in %s\n", unsigned(pages_read),
                        unsigned(g.pages), stopped.c_str(), unsigned(pages_kept), part.c_str());
        } else {
            std::remove(part.c_str());
            std::printf("Read stopped after %u of %u pages: %s; nothing written\n", unsigned(pages_read),
                        unsigned(g.pages), stopped.c_str());
        }
        return read_cut_short;
    }
    // FILE is checked above; should it have become a directory since, the
    // rename fails and nothing of it is touched.
    if (std::rename(part.c_str(), path) != 0) {
#ifdef _WIN32
        // Windows will not rename onto an existing file: an old FILE goes
        // only once the new one is whole, and only when it is a file.
        if (!std::filesystem::is_regular_file(path, ec) || std::remove(path) != 0 ||
            std::rename(part.c_str(), path) != 0)
#endif
        {
            std::printf("Cannot rename %s to %s: %s\n", part.c_str(), path, std::strerror(errno));
            return read_failed;
        }
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
                "%u doubled, %u unwritten\n",
                unsigned(s.bad_blocks), unsigned(s.corrected), unsigned(s.uncorrectable), unsigned(s.missing),
                unsigned(s.doubled), unsigned(s.unwritten));
    if (s.missing) {
        std::string named;
        for (const uint32_t b : s.first_missing)
            named += (named.empty() ? "" : ", ") + std::to_string(b);
        if (s.missing > s.first_missing.size())
            named += ", ...";
        std::printf("Missing logical blocks (0xFF in %s): %s; %u written blocks carry no valid address\n", path,
                    named.c_str(), unsigned(s.unaddressed));
    }
    if (!s.cis_found)
        std::printf("No card information structure on the card (the disk does not need it)\n");
    return s.uncorrectable || s.doubled || s.missing ? read_damaged : read_complete;
}
