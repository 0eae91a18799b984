// The write flow: the card's spare areas block by block, a plan from them
// (and from the blocks that have to be compared or judged), the
// confirmation, then the logical blocks one after the other.
#include "card_tool/card_bus.h"
#include "card_tool/writer.h"

#include "card_tool/card_tool.h"
#include "card_tool/claimant.h"
#include "card_tool/geometry.h"
#include "card_tool/page_reader.h"
#include "card_tool/page_writer.h"
#include "card_tool/read_progress.h"
#include "smformat/smformat.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

namespace {

using Bytes = std::vector<unsigned char>;
using Spare = std::array<unsigned char, smformat::sector_spare_bytes>;

// What the spare bytes of a block's first sector say.
enum class Kind : uint8_t {
    bad,      // block status marks it bad: never erased or programmed
    erased,   // all 0xFF
    cis,      // address field 0x0000, data status good: the card information structure
    claim,    // a logical block's address
    garbage,  // anything else: nothing the disk shows
};

// Why a run stopped before its end.
enum class Stop : uint8_t { none, no_card, transfer, protected_card, zone_full, no_cis_block };

struct Logical {
    bool differs = false;
    bool clear = false;             // the wanted content is all 0xFF: no block needs to hold it
    std::optional<uint32_t> kept;   // the block holding it now (claimant.h)
    std::vector<uint32_t> others;   // further claimants: never shown, erased first
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool all_ff(const unsigned char* p, size_t n)
{
    return std::all_of(p, p + n, [](unsigned char b) { return b == 0xFF; });
}

class Writer {
public:
    Writer(const sm_geometry& g, const sm_write_request& request) : g_(g), request_(request)
    {
        z_ = smformat::zone_layout(g.blocks());
        pages_per_sector_ = smformat::sector_bytes / g.data_bytes;
        sectors_per_block_ = g.pages_per_block / pages_per_sector_;
        block_data_ = size_t(sectors_per_block_) * smformat::sector_bytes;
    }

    uint64_t disk_bytes() const { return uint64_t{z_.zones} * z_.logical_per_zone * block_data_; }
    int run(Bytes disk, std::optional<Bytes> cis);

private:
    Stop scan();
    Stop plan();
    Stop read_block(uint32_t block, Bytes& raw);
    Stop execute();
    Stop write_logical(uint32_t logical);
    Stop write_pages(uint32_t block, const Bytes& pages, uint32_t count, bool trusted, bool commit);
    Stop program(uint32_t block, const Bytes& pages, uint32_t count);
    Stop unclaim(uint32_t block);
    Stop program_spares(uint32_t block, const Bytes& field);
    void set_first_sector_spare(Bytes& pages, std::initializer_list<unsigned> at, unsigned char value) const;
    Stop erase(uint32_t block);
    Stop mark_bad(uint32_t block);
    Stop place_cis();
    std::optional<uint32_t> take_free(uint32_t zone);
    void set_free(uint32_t block);
    Stop stop_for(sm_op_result r) const;
    Bytes pages_of(const unsigned char* data, std::optional<uint16_t> address, uint32_t sectors) const;
    std::string plan_line() const;
    uint32_t pages_to_program() const;
    void show_progress() { progress_->update(std::min(programmed_ + verified_, progress_total_)); }
    int finish(Stop stop);

    sm_geometry g_;
    const sm_write_request& request_;
    smformat::ZoneLayout z_;
    uint32_t pages_per_sector_ = 0, sectors_per_block_ = 0;
    size_t block_data_ = 0;

    Bytes disk_;
    std::optional<Bytes> cis_;  // format: the information structure's sector
    std::optional<uint32_t> cis_block_;

    std::vector<Kind> kind_;
    std::vector<uint16_t> address_;
    std::vector<Spare> spare0_;
    std::vector<bool> free_, known_erased_;
    std::vector<uint32_t> cursor_;
    std::vector<Logical> logical_;
    bool stream_left_ = false;
    bool mismatch_ = false;
    uint32_t current_zone_ = 0;

    // Counts for the plan and the summary.
    uint32_t to_rewrite_ = 0, to_clear_ = 0, to_erase_ = 0;
    uint32_t rewritten_ = 0, cleared_ = 0, erased_ = 0, programmed_ = 0, verified_ = 0, marked_bad_ = 0;
    std::optional<sm_progress> progress_;
    uint32_t progress_total_ = 0;
};

Stop Writer::stop_for(sm_op_result r) const
{
    switch (r) {
    case sm_op_result::pass:
    case sm_op_result::fail:
        return Stop::none;
    case sm_op_result::protected_card:
        return Stop::protected_card;
    case sm_op_result::no_card:
        break;
    }
    return Stop::no_card;
}

// Reads the first sector's spare bytes of every block and sorts the blocks.
Stop Writer::scan()
{
    const uint32_t blocks = g_.blocks();
    kind_.assign(blocks, Kind::erased);
    address_.assign(blocks, 0);
    spare0_.assign(blocks, Spare{});
    for (uint32_t b = 0; b < blocks; ++b) {
        Spare& s = spare0_[b];
        for (uint32_t p = 0; p < pages_per_sector_; ++p)
            if (sm_read_spare(g_, b * g_.pages_per_block + p, s.data() + p * g_.spare_bytes) != 0) {
                stream_left_ = true;
                return Stop::transfer;
            }
        if (smformat::block_status_bad(s[smformat::spare_block_status]))
            kind_[b] = Kind::bad;
        else if (all_ff(s.data(), s.size()))
            kind_[b] = Kind::erased;
        else if (s[smformat::spare_address1] == 0 && s[smformat::spare_address1 + 1] == 0 &&
                 s[smformat::spare_address2] == 0 && s[smformat::spare_address2 + 1] == 0 &&
                 !smformat::data_status_invalid(s[smformat::spare_data_status]))
            kind_[b] = Kind::cis;
        else if (const auto a = sm_sector_address(s.data(), z_.logical_per_zone)) {
            kind_[b] = Kind::claim;
            address_[b] = *a;
        } else {
            kind_[b] = Kind::garbage;
        }
    }
    unsigned char levels = 0;
    if (sm_pins(&levels) != 0 || !(levels & card_present))
        return Stop::no_card;
    return Stop::none;
}

Stop Writer::read_block(uint32_t block, Bytes& raw)
{
    raw.resize(size_t(g_.pages_per_block) * g_.page_bytes());
    for (uint32_t p = 0; p < g_.pages_per_block; ++p)
        if (sm_read_page(g_, block * g_.pages_per_block + p, raw.data() + size_t(p) * g_.page_bytes(), p > 0) != 0) {
            stream_left_ = true;
            return Stop::transfer;
        }
    unsigned char levels = 0;
    if (sm_pins(&levels) != 0 || !(levels & card_present))
        return Stop::no_card;
    return Stop::none;
}

// The raw pages (data, then spare) of a block holding `sectors` sectors of
// `data` under `address` (nothing: the information structure's field).
Bytes Writer::pages_of(const unsigned char* data, std::optional<uint16_t> address, uint32_t sectors) const
{
    Bytes pages(size_t(sectors) * pages_per_sector_ * g_.page_bytes());
    unsigned char* out = pages.data();
    for (uint32_t s = 0; s < sectors; ++s) {
        const unsigned char* sector = data + size_t(s) * smformat::sector_bytes;
        const Spare spare = smformat::sector_spare(sector, address);
        for (uint32_t p = 0; p < pages_per_sector_; ++p, out += g_.page_bytes()) {
            std::memcpy(out, sector + p * g_.data_bytes, g_.data_bytes);
            std::memcpy(out + g_.data_bytes, spare.data() + p * g_.spare_bytes, g_.spare_bytes);
        }
    }
    return pages;
}

// Decides for every logical block whether it changes, which block holds it
// and which further claimants go.
Stop Writer::plan()
{
    const uint32_t logical_blocks = z_.zones * z_.logical_per_zone;
    logical_.assign(logical_blocks, Logical{});
    std::vector<std::vector<uint32_t>> claimants(logical_blocks);
    for (uint32_t b = 0; b < g_.blocks(); ++b)
        if (kind_[b] == Kind::claim)
            claimants[(b / z_.physical_per_zone) * z_.logical_per_zone + address_[b]].push_back(b);

    // Free blocks: erased or garbage, never the information structure's.
    if (cis_)
        for (uint32_t b = 0; b < z_.physical_per_zone && !cis_block_; ++b)
            if (kind_[b] != Kind::bad)
                cis_block_ = b;
    free_.assign(g_.blocks(), false);
    known_erased_.assign(g_.blocks(), false);
    cursor_.assign(z_.zones, 0);
    for (uint32_t b = 0; b < g_.blocks(); ++b) {
        if ((kind_[b] == Kind::erased || kind_[b] == Kind::garbage) && b != cis_block_)
            free_[b] = true;
        // Each zone's turn starts at a place drawn from where its blocks lie
        // now, so that runs do not all start at the zone's first block.
        if (kind_[b] == Kind::claim)
            cursor_[b / z_.physical_per_zone] += b * 7 + address_[b];
        if (kind_[b] == Kind::garbage || (cis_ && kind_[b] == Kind::cis && b != cis_block_))
            ++to_erase_;
    }
    for (uint32_t& c : cursor_)
        c %= z_.physical_per_zone;

    Bytes raw, data(block_data_);
    for (uint32_t l = 0; l < logical_blocks; ++l) {
        Logical& L = logical_[l];
        const unsigned char* want = disk_.data() + size_t(l) * block_data_;
        const uint16_t address = uint16_t(l % z_.logical_per_zone);
        L.clear = all_ff(want, block_data_);
        const std::vector<uint32_t>& c = claimants[l];
        if (c.empty()) {
            L.differs = !L.clear;
        } else if (c.size() == 1 && spare0_[c[0]] != smformat::sector_spare(want, address)) {
            L.kept = c[0];  // differs at its first sector already
            L.differs = true;
        } else {
            std::optional<sm_claim> held;
            uint32_t held_corrected = 0;
            Bytes held_data;
            for (const uint32_t b : c) {
                if (const Stop s = read_block(b, raw); s != Stop::none)
                    return s;
                const sm_claimant j = sm_judge_claimant(g_, raw.data(), address, z_.logical_per_zone, data.data());
                if (sm_claim_takes_over(j.kind, held)) {
                    if (L.kept)
                        L.others.push_back(*L.kept);
                    L.kept = b;
                    held = j.kind;
                    held_corrected = j.corrected;
                    held_data = data;
                } else {
                    L.others.push_back(b);
                }
            }
            if (!L.kept)
                L.differs = !L.clear;
            else
                L.differs = *held != sm_claim::complete || held_corrected != 0 ||
                            !std::equal(held_data.begin(), held_data.end(), want);
        }
        // The format needs the information structure's block for itself.
        if (L.kept && L.kept == cis_block_)
            L.differs = true;
        to_erase_ += uint32_t(L.others.size());
        if (L.differs) {
            to_rewrite_ += L.clear ? 0 : 1;
            to_clear_ += L.clear ? 1 : 0;
            to_erase_ += (L.kept ? 1 : 0) + (L.clear ? 0 : 1);  // the old block; the new one before use
        }
    }
    return Stop::none;
}

std::optional<uint32_t> Writer::take_free(uint32_t zone)
{
    const uint32_t first = zone * z_.physical_per_zone;
    for (uint32_t i = 0; i < z_.physical_per_zone; ++i) {
        const uint32_t b = first + (cursor_[zone] + i) % z_.physical_per_zone;
        if (free_[b]) {
            free_[b] = false;
            cursor_[zone] = (b - first + 1) % z_.physical_per_zone;
            return b;
        }
    }
    return std::nullopt;
}

void Writer::set_free(uint32_t block)
{
    if (block != cis_block_)
        free_[block] = true;
}

Stop Writer::erase(uint32_t block)
{
    const sm_op_result r = sm_erase_block(g_, block);
    if (const Stop s = stop_for(r); s != Stop::none)
        return s;
    if (r == sm_op_result::fail)
        return mark_bad(block);
    ++erased_;
    kind_[block] = Kind::erased;
    known_erased_[block] = true;
    return Stop::none;
}

// Block status 0x00 in the first sector's spare bytes; the block is never
// used again.
Stop Writer::mark_bad(uint32_t block)
{
    Bytes page(g_.page_bytes(), 0xFF);
    page[g_.data_bytes + smformat::spare_block_status] = 0x00;
    const sm_op_result r = sm_program_page(g_, block * g_.pages_per_block, page.data());
    if (r == sm_op_result::no_card || r == sm_op_result::protected_card)
        return stop_for(r);
    ++marked_bad_;
    kind_[block] = Kind::bad;
    free_[block] = false;
    known_erased_[block] = false;
    return Stop::none;
}

// Programs the first `count` pages of `pages` into `block`, then reads them
// back unless told not to. A failure marks the block bad: Stop::none with
// the block's kind bad; a block `trusted` to be erased that reads back
// otherwise is left for the caller to erase (mismatch_).
// Sets the spare bytes `at` of the first sector in raw pages to `value`.
void Writer::set_first_sector_spare(Bytes& pages, std::initializer_list<unsigned> at, unsigned char value) const
{
    for (const unsigned k : at)
        pages[size_t(k / g_.spare_bytes) * g_.page_bytes() + g_.data_bytes + k % g_.spare_bytes] = value;
}

Stop Writer::program(uint32_t block, const Bytes& pages, uint32_t count)
{
    known_erased_[block] = false;
    const sm_op_result r = sm_program_pages(g_, block * g_.pages_per_block, count, pages.data(), [this] {
        ++programmed_;
        show_progress();
    });
    if (const Stop s = stop_for(r); s != Stop::none)
        return s;
    if (r == sm_op_result::fail)
        return mark_bad(block);
    return Stop::none;
}

Stop Writer::write_pages(uint32_t block, const Bytes& pages, uint32_t count, bool trusted, bool commit)
{
    mismatch_ = false;
    const uint32_t first = block * g_.pages_per_block;
    // A logical block's first sector gets its address field last: until
    // then the block claims nothing, whatever happens to it.
    const std::initializer_list<unsigned> address = {smformat::spare_address1, smformat::spare_address1 + 1,
                                                     smformat::spare_address2, smformat::spare_address2 + 1};
    Bytes unclaimed = pages;
    if (commit)
        set_first_sector_spare(unclaimed, address, 0xFF);
    if (const Stop s = program(block, unclaimed, count); s != Stop::none || kind_[block] == Kind::bad)
        return s;
    if (request_.verify) {
        Bytes got(g_.page_bytes());
        for (uint32_t p = 0; p < count; ++p) {
            if (sm_read_page(g_, first + p, got.data(), p > 0) != 0) {
                stream_left_ = true;
                return Stop::transfer;
            }
            if (!std::equal(got.begin(), got.end(), unclaimed.begin() + std::ptrdiff_t(p) * g_.page_bytes())) {
                unsigned char levels = 0;
                if (sm_pins(&levels) != 0 || !(levels & card_present))
                    return Stop::no_card;
                if (trusted) {
                    mismatch_ = true;
                    return Stop::none;
                }
                return mark_bad(block);
            }
            ++verified_;
            show_progress();
        }
        unsigned char levels = 0;
        if (sm_pins(&levels) != 0 || !(levels & card_present))
            return Stop::no_card;
    }
    if (!commit)
        return Stop::none;
    Bytes field(smformat::sector_spare_bytes, 0xFF);  // the first sector's spare bytes, page by page
    for (const unsigned k : address)
        field[k] = pages[size_t(k / g_.spare_bytes) * g_.page_bytes() + g_.data_bytes + k % g_.spare_bytes];
    return program_spares(block, field);
}

Stop Writer::program_spares(uint32_t block, const Bytes& field)
{
    const sm_op_result r = sm_program_spares(g_, block * g_.pages_per_block, pages_per_sector_, field.data());
    if (const Stop s = stop_for(r); s != Stop::none)
        return s;
    if (r == sm_op_result::fail)
        return mark_bad(block);
    programmed_ += pages_per_sector_;
    show_progress();
    return Stop::none;
}

// The block stops claiming its logical block before it is erased: its first
// sector's address field and data status programmed to 0x00. Cut short,
// the field names no address or another one, which the other sectors
// contradict.
Stop Writer::unclaim(uint32_t block)
{
    Bytes field(smformat::sector_spare_bytes, 0xFF);
    for (const unsigned k : {smformat::spare_data_status, smformat::spare_address1, smformat::spare_address1 + 1,
                             smformat::spare_address2, smformat::spare_address2 + 1})
        field[k] = 0x00;
    return program_spares(block, field);
}

// One logical block: the further claimants go, the new content goes to a
// free block of the zone (erased first unless this run erased it), is
// checked, and only then does the block that held it go.
Stop Writer::write_logical(uint32_t l)
{
    Logical& L = logical_[l];
    for (const uint32_t b : L.others) {
        if (const Stop s = erase(b); s != Stop::none)
            return s;
        if (kind_[b] == Kind::erased)
            set_free(b);
    }
    if (!L.differs)
        return Stop::none;
    const uint32_t zone = l / z_.logical_per_zone;
    current_zone_ = zone;
    if (!L.clear) {
        const Bytes pages = pages_of(disk_.data() + size_t(l) * block_data_, uint16_t(l % z_.logical_per_zone),
                                     sectors_per_block_);
        bool written = false;
        while (!written) {
            const std::optional<uint32_t> b = take_free(zone);
            if (!b)
                return Stop::zone_full;
            // A block whose spare bytes read erased is taken as it is when
            // the read-back will tell; found otherwise, it is erased and
            // written again.
            bool trust = request_.verify && kind_[*b] == Kind::erased && !known_erased_[*b];
            while (!written && kind_[*b] != Kind::bad) {
                if (!trust && !known_erased_[*b]) {
                    if (const Stop s = erase(*b); s != Stop::none)
                        return s;
                    if (kind_[*b] == Kind::bad)
                        break;
                }
                if (const Stop s = write_pages(*b, pages, g_.pages_per_block, trust, true); s != Stop::none)
                    return s;
                written = kind_[*b] != Kind::bad && !mismatch_;
                trust = false;
            }
        }
        ++rewritten_;
    } else {
        ++cleared_;
    }
    if (L.kept) {
        // Cleared, the block was the only one holding the logical block.
        if (L.clear)
            if (const Stop s = unclaim(*L.kept); s != Stop::none)
                return s;
        if (kind_[*L.kept] != Kind::bad)
            if (const Stop s = erase(*L.kept); s != Stop::none)
                return s;
        if (kind_[*L.kept] == Kind::erased)
            set_free(*L.kept);
    }
    return Stop::none;
}

// Format: the information structure into the first good block of zone 0.
Stop Writer::place_cis()
{
    Bytes sector(smformat::sector_bytes, 0xFF);
    std::copy(cis_->begin(), cis_->end(), sector.begin());
    const Bytes pages = pages_of(sector.data(), std::nullopt, 1);
    while (cis_block_) {
        const uint32_t b = *cis_block_;
        if (kind_[b] == Kind::cis) {
            Bytes raw;
            if (const Stop s = read_block(b, raw); s != Stop::none)
                return s;
            if (std::equal(pages.begin(), pages.end(), raw.begin()) && all_ff(raw.data() + pages.size(), raw.size() - pages.size()))
                return Stop::none;
        }
        if (!known_erased_[b])
            if (const Stop s = erase(b); s != Stop::none)
                return s;
        if (kind_[b] != Kind::bad) {
            if (const Stop s = write_pages(b, pages, pages_per_sector_, false, false); s != Stop::none)
                return s;
            if (kind_[b] != Kind::bad)
                return Stop::none;
        }
        // Worn out: the next good block takes it, when nothing is in it.
        cis_block_.reset();
        for (uint32_t n = b + 1; n < z_.physical_per_zone && !cis_block_; ++n)
            if (kind_[n] != Kind::bad) {
                if (!free_[n])
                    return Stop::no_cis_block;
                free_[n] = false;
                cis_block_ = n;
            }
    }
    return Stop::no_cis_block;
}

Stop Writer::execute()
{
    for (uint32_t l = 0; l < logical_.size(); ++l)
        if (const Stop s = write_logical(l); s != Stop::none)
            return s;
    // What the disk does not show goes: garbage (and, formatting, stray
    // information structures) that no new block took.
    for (uint32_t b = 0; b < g_.blocks(); ++b)
        if ((kind_[b] == Kind::garbage || (cis_ && kind_[b] == Kind::cis && b != cis_block_)) &&
            !known_erased_[b])
            if (const Stop s = erase(b); s != Stop::none)
                return s;
    if (cis_)
        return place_cis();
    return Stop::none;
}

// Each rewrite programs its block and then its address field; each clear
// programs the old block's address field away.
uint32_t Writer::pages_to_program() const
{
    return to_rewrite_ * (g_.pages_per_block + pages_per_sector_) + to_clear_ * pages_per_sector_ +
           (cis_ ? pages_per_sector_ : 0);
}

std::string Writer::plan_line() const
{
    char line[200];
    std::snprintf(line, sizeof line,
                  "%u logical blocks to rewrite, %u to clear; up to %u blocks to erase, %u pages to program",
                  unsigned(to_rewrite_), unsigned(to_clear_), unsigned(to_erase_),
                  unsigned(pages_to_program()));
    return line;
}

int Writer::run(Bytes disk, std::optional<Bytes> cis)
{
    disk_ = std::move(disk);
    cis_ = std::move(cis);
    Stop s = scan();
    if (s == Stop::none)
        s = plan();
    if (s != Stop::none)
        return finish(s);
    const std::string line = plan_line();
    if (request_.dry_run) {
        std::printf("Dry run: %s; nothing changed\n", line.c_str());
        return finish(Stop::none);
    }
    std::printf("Plan: %s\n", line.c_str());
    if (request_.confirm && !request_.confirm(line)) {
        std::puts("Nothing changed");
        if (!stream_left_)
            sm_deselect();
        sm_end();
        return write_failed;
    }
    progress_total_ = pages_to_program() +
                      (request_.verify ? to_rewrite_ * g_.pages_per_block + (cis_ ? pages_per_sector_ : 0) : 0);
    progress_.emplace(progress_total_, g_.page_bytes());
    s = execute();
    progress_->done();
    return finish(s);
}

int Writer::finish(Stop stop)
{
    if (!stream_left_)
        sm_deselect();
    sm_end();
    if (request_.dry_run && stop == Stop::none)
        return write_complete;
    if (rewritten_ || cleared_ || erased_ || stop == Stop::none)
        std::printf("Rewrote %u logical blocks, cleared %u; %u pages programmed, %u read back; %u blocks erased, "
                    "%u marked bad\n",
                    unsigned(rewritten_), unsigned(cleared_), unsigned(programmed_), unsigned(verified_),
                    unsigned(erased_), unsigned(marked_bad_));
    switch (stop) {
    case Stop::none:
        return write_complete;
    case Stop::no_card:
        std::puts("Write stopped: the card was removed; every logical block is either old or new: "
                  "run the same command again to finish");
        return write_stopped;
    case Stop::transfer:
        std::puts("Write stopped: a transfer failed; every logical block is either old or new: "
                  "run the same command again to finish");
        return write_stopped;
    case Stop::protected_card:
        std::puts("The card is write-protected: nothing more was changed");
        return write_failed;
    case Stop::zone_full:
        std::printf("Zone %u has no usable free block left: the logical blocks before are written, the rest "
                    "hold what they held\n",
                    unsigned(current_zone_));
        return write_zone_full;
    case Stop::no_cis_block:
        std::puts("No good block at the start of zone 0 is free for the card information structure");
        return write_zone_full;
    }
    return write_failed;
}

}  // namespace

int card_tool_write(const sm_write_request& request)
{
    unsigned char device;
    if (card_tool_identify(&device) != 0)
        return write_failed;
    const sm_geometry g = sm_geometry_for(device);
    if (g.megabytes == 0) {
        std::printf("Unknown device code %02x: not a SmartMedia size this tool knows, nothing written\n",
                    unsigned{device});
        sm_end();
        return write_failed;
    }
    Writer writer(g, request);
    Bytes disk;
    std::optional<Bytes> cis;
    if (request.format) {
        std::optional<smformat::StandardLayout> layout = smformat::standard_layout(g.megabytes);
        if (!layout) {
            std::printf("No standard layout for a %u MB card: nothing written\n", g.megabytes);
            sm_end();
            return write_failed;
        }
        disk = smformat::render_logical_disk(*layout);
        cis = std::move(layout->cis);
    } else {
        std::unique_ptr<std::FILE, FileCloser> in(std::fopen(request.file.c_str(), "rb"));
        bool read = in != nullptr;
        // One byte more than the disk shows a longer file without reading all of it.
        disk.resize(size_t(writer.disk_bytes()) + 1);
        if (read) {
            disk.resize(std::fread(disk.data(), 1, disk.size(), in.get()));
            read = !std::ferror(in.get());
        }
        if (!read) {
            std::printf("Cannot read %s: %s; nothing written\n", request.file.c_str(), std::strerror(errno));
            sm_end();
            return write_failed;
        }
        if (disk.size() != writer.disk_bytes()) {
            std::printf("%s is not the size of the %u MB card's logical disk (%llu bytes): nothing written\n",
                        request.file.c_str(), g.megabytes, static_cast<unsigned long long>(writer.disk_bytes()));
            sm_end();
            return write_failed;
        }
    }
    if (request.format)
        std::printf("Formatting the %u MB card: %u pages of %u + %u bytes\n", g.megabytes, unsigned(g.pages),
                    g.data_bytes, g.spare_bytes);
    else
        std::printf("Writing %s to the %u MB card: %u pages of %u + %u bytes\n", request.file.c_str(), g.megabytes, unsigned(g.pages), g.data_bytes, g.spare_bytes);
    return writer.run(std::move(disk), std::move(cis));
}
