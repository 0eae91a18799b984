// Whole-card reads: the format library's codes, then the unmodified tool
// reading cards made by the image maker from the in-process virtual board
// (firmware on the core, card model with its busy times): raw pages equal
// the image, the logical disk equals its source, faults are put right or
// reported.
#include "card_tool/card_tool.h"
#include "card_tool/geometry.h"
#include "card_tool/logical.h"
#include "card_tool/page_reader.h"
#include "card_tool/read.h"
#include "card_tool/writer.h"
#include "cardimage/card_image.h"
#include "cusb/cusb.h"
#include "inproc/inproc_backend.h"
#include "smformat/smformat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

using Bytes = std::vector<uint8_t>;

// ---- the format library

TEST(SmFormat, EccCorrectsEverySingleBitAndReportsTwo)
{
    std::mt19937 random(3);
    Bytes data(256);
    for (auto& b : data)
        b = uint8_t(random());
    const smformat::Ecc code = smformat::ecc_compute(data.data());
    for (unsigned bit = 0; bit < 256 * 8; ++bit) {
        Bytes bad = data;
        bad[bit / 8] ^= uint8_t(1u << (bit % 8));
        ASSERT_EQ(smformat::ecc_check(bad.data(), code.data()), smformat::EccResult::corrected) << "bit " << bit;
        ASSERT_EQ(bad, data) << "bit " << bit;
        const unsigned other = (bit * 7 + 13) % (256 * 8);
        if (other / 8 == bit / 8 && other % 8 == bit % 8)
            continue;
        bad[other / 8] ^= uint8_t(1u << (other % 8));
        bad[bit / 8] ^= uint8_t(1u << (bit % 8));
        EXPECT_EQ(smformat::ecc_check(bad.data(), code.data()), smformat::EccResult::uncorrectable) << bit << "+" << other;
    }
    for (unsigned bit = 0; bit < 24; ++bit) {
        if (bit == 16 || bit == 17)
            continue;  // the two fixed 1 bits of byte 2 carry nothing
        smformat::Ecc stored = code;
        stored[bit / 8] ^= uint8_t(1u << (bit % 8));
        Bytes same = data;
        EXPECT_EQ(smformat::ecc_check(same.data(), stored.data()), smformat::EccResult::code_corrupt) << bit;
        EXPECT_EQ(same, data);
    }
    const Bytes erased(256, 0xFF);
    EXPECT_EQ(smformat::ecc_compute(erased.data()), (smformat::Ecc{0xFF, 0xFF, 0xFF}));
}

TEST(SmFormat, BlockAddressFieldCarriesTenBitsWithEvenParity)
{
    // High byte 0x10 | bits 9-7, low byte bits 6-0 << 1, bit 0 for even parity.
    EXPECT_EQ(smformat::encode_block_address(0), (std::array<uint8_t, 2>{0x10, 0x01}));
    EXPECT_EQ(smformat::encode_block_address(1), (std::array<uint8_t, 2>{0x10, 0x02}));
    EXPECT_EQ(smformat::encode_block_address(999), (std::array<uint8_t, 2>{0x17, 0xCF}));
    for (uint16_t a = 0; a < 1024; ++a) {
        const auto f = smformat::encode_block_address(a);
        ASSERT_EQ(smformat::decode_block_address(f[0], f[1]), a);
        for (unsigned bit = 0; bit < 16; ++bit) {
            const uint8_t hi = uint8_t(bit >= 8 ? f[0] ^ (1u << (bit - 8)) : f[0]);
            const uint8_t lo = uint8_t(bit < 8 ? f[1] ^ (1u << bit) : f[1]);
            ASSERT_FALSE(smformat::decode_block_address(hi, lo)) << a << " bit " << bit;
        }
    }
    EXPECT_FALSE(smformat::decode_block_address(0x00, 0x00));  // the information structure's field
    EXPECT_FALSE(smformat::decode_block_address(0xFF, 0xFF));  // erased
    EXPECT_TRUE(smformat::block_status_bad(0x00));
    EXPECT_TRUE(smformat::block_status_bad(0xFC));
    EXPECT_FALSE(smformat::block_status_bad(0xFE));
}

TEST(SmFormat, ZonesHoldAThousandOfEveryThousandAndTwentyFourBlocks)
{
    struct Case { uint32_t blocks, zones, per_zone, logical; };
    for (const Case c : {Case{256, 1, 256, 250}, Case{512, 1, 512, 500}, Case{1024, 1, 1024, 1000},
                         Case{2048, 2, 1024, 1000}, Case{8192, 8, 1024, 1000}}) {
        const auto z = smformat::zone_layout(c.blocks);
        EXPECT_EQ(z.zones, c.zones) << c.blocks;
        EXPECT_EQ(z.physical_per_zone, c.per_zone) << c.blocks;
        EXPECT_EQ(z.logical_per_zone, c.logical) << c.blocks;
    }
}

TEST(SmGeometry, TheToolsTableAgreesWithTheCardModelOnEveryDeviceCode)
{
    for (unsigned d = 0; d < 256; ++d) {
        const sm_geometry t = sm_geometry_for(static_cast<unsigned char>(d));
        const vboard::card::Geometry m = vboard::card::geometry_for_device(static_cast<uint8_t>(d));
        ASSERT_EQ(t.pages, m.pages) << std::hex << d;
        if (m.pages == 0) {
            EXPECT_EQ(t.megabytes, 0u) << std::hex << d;
            continue;
        }
        EXPECT_EQ(uint64_t{t.megabytes} << 20, m.data_capacity()) << std::hex << d;
        EXPECT_EQ(t.data_bytes, m.data_bytes) << std::hex << d;
        EXPECT_EQ(t.spare_bytes, m.spare_bytes) << std::hex << d;
        EXPECT_EQ(t.pages_per_block, m.pages_per_block) << std::hex << d;
        EXPECT_EQ(t.address_cycles, m.page_address_cycles) << std::hex << d;
    }
}

// ---- reads against the virtual board

// Each read test works in a directory of its own, made empty before and
// removed after, so no run depends on what an earlier one left.
std::string test_dir()
{
    return ::testing::TempDir() + "card_read_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

class CardRead : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::remove_all(test_dir()); std::filesystem::create_directories(test_dir()); }
    void TearDown() override { std::filesystem::remove_all(test_dir()); }
};

std::string temp_path(const std::string& name)
{
    return test_dir() + "/" + name;
}

Bytes load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void save(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

bool exists(const std::string& path)
{
    return std::ifstream(path).good();
}

// The whole-disk test source for a card: random bytes.
Bytes random_disk(const vboard::card::CardIdentity& id, unsigned seed)
{
    Bytes disk(vboard::cardimage::disk_bytes(id));
    std::mt19937 random(seed);
    for (auto& b : disk)
        b = uint8_t(random());
    return disk;
}

// Passes every call to the board; at bulk read number `at` it pulls the card
// (or, with `fail`, fails that read without passing it on, leaving its stream
// outstanding) and from then on counts the scripts still sent.
class FaultingBackend final : public winapi::Backend {
public:
    FaultingBackend(vboard::inproc::InProcessBackend& board, unsigned at, bool fail)
        : board_(board), left_(at), fail_(fail) {}
    std::optional<winapi::Connection> open(const winapi::OpenRequest& r) override { return board_.open(r); }
    BOOL io_control(winapi::Connection c, DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length,
                    DWORD* returned) override
    {
        if (code == cusb::ioctl_bulk_write && left_ == 0 && in_length >= 1 && static_cast<const uint8_t*>(in)[0] == 0)
            ++scripts_after;  // the command pipe
        if (code == cusb::ioctl_bulk_read && left_ > 0 && --left_ == 0) {
            if (fail_)
                return 0;  // the call fails
            board_.session().board().socket().remove();
        }
        return board_.io_control(c, code, in, in_length, out, out_length, returned);
    }
    void close(winapi::Connection c) override { board_.close(c); }
    void sleep(DWORD ms) override { board_.sleep(ms); }
    unsigned scripts_after = 0;

private:
    vboard::inproc::InProcessBackend& board_;
    unsigned left_;
    bool fail_;
};

struct ReadOutcome {
    int status;
    std::string printed;
    unsigned scripts_after_fault = 0;
};

// The tool reads the card in `card_image` into `out`; a fault at bulk read
// number `fault_at` (0: none), see FaultingBackend.
ReadOutcome read_card(const vboard::card::CardIdentity& id, const std::string& card_image, sm_read_mode mode,
                      const std::string& out, unsigned fault_at = 0, bool fail = false, uint64_t page_load_ns = 0)
{
    vboard::serve::BoardOptions options;
    options.card = id;
    options.card_image = card_image;
    options.firmware_loaded = true;
    std::string error;
    auto board = vboard::inproc::InProcessBackend::create(options, error);
    EXPECT_TRUE(board) << error;
    if (!board)
        return {-1, error};
    if (page_load_ns)
        board->session().board().socket().card()->set_page_load_ns(page_load_ns);
    FaultingBackend faulting(*board, fault_at, fail);
    winapi::ScopedBackend scope{fault_at ? static_cast<winapi::Backend&>(faulting) : *board};
    card_tool_reset();
    ::testing::internal::CaptureStdout();
    const int status = card_tool_read(mode, out.c_str());
    ReadOutcome o{status, ::testing::internal::GetCapturedStdout(), faulting.scripts_after};
    card_tool_reset();
    std::ostringstream findings;
    board->session().board().diagnostics().print(findings);
    EXPECT_EQ(findings.str(), "");
    return o;
}

struct Made {
    vboard::card::CardIdentity id;
    Bytes disk, image;
    std::string image_path;
};

Made make_card(const char* card, std::vector<uint32_t> bad_blocks, unsigned seed)
{
    Made m;
    std::string error;
    m.id = *vboard::card::parse_card_identity(card, error);
    m.disk = random_disk(m.id, seed);
    const std::string disk_path = temp_path("disk.img");
    save(disk_path, m.disk);
    vboard::cardimage::Request request;
    request.card = m.id;
    request.from = disk_path;
    request.bad_blocks = std::move(bad_blocks);
    request.seed = seed;
    EXPECT_TRUE(vboard::cardimage::make_card_image(request, m.image, error)) << error;
    m.image_path = temp_path("card.img");
    save(m.image_path, m.image);
    std::remove(disk_path.c_str());
    return m;
}

TEST_F(CardRead, RawEqualsTheImageAndLogicalEqualsTheSourceOnEveryPageSize)
{
    // page_load_ns: 25 us, the slowest data sheets' page load, needs the
    // pause the tool asks of a paced stream (the firmware alone covers ~10 us).
    struct Case { const char* card; std::vector<uint32_t> bad; uint64_t page_load_ns = 0; };
    std::vector<Case> cases = {{"ec,6e,a5", {0, 5}}, {"98,ea,a5", {}}, {"ec,e3,a5", {100, 511}},
                               {"ec,e3,a5", {}, 25'000}, {"ec,6e,a5", {}, 25'000}};
#ifndef NEBU_SANITIZE
    cases.push_back({"ec,e6,a5", {1, 2, 1023}});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        const Made m = make_card(c.card, c.bad, 11);
        const std::string raw = temp_path("raw.img"), logical = temp_path("logical.img");
        const ReadOutcome r = read_card(m.id, m.image_path, sm_read_mode::raw, raw, 0, false, c.page_load_ns);
        EXPECT_EQ(r.status, read_complete) << r.printed;
        EXPECT_TRUE(load(raw) == m.image) << "raw read differs from the card image";
        EXPECT_NE(r.printed.find("; " + std::to_string(c.bad.size()) + " bad blocks\n"), std::string::npos) << r.printed;
        const ReadOutcome l = read_card(m.id, m.image_path, sm_read_mode::logical, logical, 0, false, c.page_load_ns);
        EXPECT_EQ(l.status, read_complete) << l.printed;
        EXPECT_TRUE(load(logical) == m.disk) << "logical disk differs from its source";
        EXPECT_FALSE(exists(raw + ".part") || exists(logical + ".part"));
        for (const auto& p : {raw, logical, m.image_path})
            std::remove(p.c_str());
    }
}

// Counts the scripts on the command pipe and, with `plain`, hides the
// image's "paces streams" bit in the engine reset's answer, as an older
// image of ours answers.
class PaceHidingBackend final : public winapi::Backend {
public:
    PaceHidingBackend(vboard::inproc::InProcessBackend& board, bool plain) : board_(board), plain_(plain) {}
    std::optional<winapi::Connection> open(const winapi::OpenRequest& r) override { return board_.open(r); }
    BOOL io_control(winapi::Connection c, DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length,
                    DWORD* returned) override
    {
        if (code == cusb::ioctl_bulk_write && in_length >= 1 && static_cast<const uint8_t*>(in)[0] == 0)
            ++scripts;
        const BOOL ok = board_.io_control(c, code, in, in_length, out, out_length, returned);
        if (plain_ && code == cusb::ioctl_vendor_request && out_length == 1)
            *static_cast<uint8_t*>(out) &= uint8_t(~cusb::engine_can_pace);
        return ok;
    }
    void close(winapi::Connection c) override { board_.close(c); }
    void sleep(DWORD ms) override { board_.sleep(ms); }
    unsigned scripts = 0;

private:
    vboard::inproc::InProcessBackend& board_;
    bool plain_;
};

// An image that paces streams is read a block per script, one that does not
// page by page; both give the card's bytes, with no finding.
TEST_F(CardRead, WholeBlocksInOnePacedStreamPageByPageWithoutIt)
{
    const Made m = make_card("ec,6e,a5", {3}, 5);
    const sm_geometry g = sm_geometry_for(0x6e);
    unsigned scripts[2] = {};
    for (const bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "page by page" : "paced");
        vboard::serve::BoardOptions options;
        options.card = m.id;
        options.card_image = m.image_path;
        options.firmware_loaded = true;
        vboard::inproc::InProcessBackend board(options);
        // Page by page, 39 us needs the script's own pause (the firmware
        // alone covers 34 us); paced, 25 us needs the stream's pause.
        board.session().board().socket().card()->set_page_load_ns(plain ? 39'000 : 25'000);
        PaceHidingBackend hiding(board, plain);
        winapi::ScopedBackend scope{hiding};
        card_tool_reset();
        const std::string raw = temp_path("raw.img");
        ::testing::internal::CaptureStdout();
        const int status = card_tool_read(sm_read_mode::raw, raw.c_str());
        ::testing::internal::GetCapturedStdout();
        card_tool_reset();
        EXPECT_EQ(status, read_complete);
        EXPECT_TRUE(load(raw) == m.image);
        scripts[plain] = hiding.scripts;
        std::ostringstream findings;
        board.session().board().diagnostics().print(findings);
        EXPECT_EQ(findings.str(), "");
        std::remove(raw.c_str());
    }
    // One script a block, or one a page; the rest alike.
    EXPECT_EQ(scripts[1] - scripts[0], g.pages - g.blocks());
    std::remove(m.image_path.c_str());
}

// The card model holds a stream to the page load: pages read straight on
// come back right, with no finding, only when the pause falls on every
// page boundary; without a pace (stride 0) or with a stride that misses
// the boundary they come back wrong and the board reports early reads.
TEST_F(CardRead, APacedStreamIsRightOnlyWithItsPauseAtThePageBoundary)
{
    const Made m = make_card("ec,73,a5", {}, 9);
    for (const unsigned stride : {528u, 0u, 600u}) {
        SCOPED_TRACE(stride);
        vboard::serve::BoardOptions options;
        options.card = m.id;
        options.card_image = m.image_path;
        options.firmware_loaded = true;
        vboard::inproc::InProcessBackend board(options);
        winapi::ScopedBackend scope{board};
        card_tool_reset();
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(sm_init(), 0);
        ::testing::internal::GetCapturedStdout();
        // Pages 32-35 (block 1), a 10 us pause after every `stride` bytes.
        const unsigned length = 4 * 528;
        const unsigned char script[] = {0x31, 0x00, 0x32, 0x00, 0x32, 32, 0x32, 0, 0x10, 0x60,
                                        uint8_t(0x80 | (length & 0x3F)), uint8_t(length >> 6), 0,
                                        uint8_t(0x70 + (stride >> 7)), uint8_t(0x70 + (stride & 0x7F)), 0x70 + 10};
        ASSERT_EQ(usb_cpipe_write(script, sizeof script), 0);
        Bytes got(length);
        ASSERT_EQ(usb_rpipe_read(got.data(), int(length)), int(length));
        const bool right = std::equal(got.begin(), got.end(), m.image.begin() + 32 * 528);
        const size_t early = board.session().board().diagnostics().count(vboard::FindingKind::card_early_read);
        EXPECT_EQ(right, stride == 528);
        EXPECT_EQ(early != 0, stride != 528);
        sm_end();
        card_tool_reset();
    }
    std::remove(m.image_path.c_str());
}

// Where logical block `logical` of zone 0 lies on a 1 MB card (256 + 8 byte pages, 16 a block).
constexpr size_t small_page = 264, small_block = 16 * small_page;
size_t physical_of(const Bytes& image, uint16_t logical)
{
    for (size_t b = 0; b < image.size() / small_block; ++b) {
        const uint8_t* spare = image.data() + b * small_block + 256;
        if (smformat::decode_block_address(spare[6], spare[7]) == logical)
            return b;
    }
    ADD_FAILURE() << "logical block " << logical << " not on the card";
    return 0;
}

// The first erased block from block 2 on, after `after`.
size_t erased_block(const Bytes& image, size_t after = 1)
{
    size_t b = after + 1;
    while (image[b * small_block + 256 + 6] != 0xFF)
        ++b;
    return b;
}

// Block `block` holding logical block `logical` with `data` (4096 bytes), as a writer programs it.
void put_block(Bytes& image, size_t block, uint16_t logical, const uint8_t* data)
{
    for (size_t s = 0; s < 8; ++s) {
        const auto spare = smformat::sector_spare(data + s * 512, logical);
        for (size_t p = 0; p < 2; ++p) {
            uint8_t* page = image.data() + block * small_block + (2 * s + p) * small_page;
            std::copy_n(data + s * 512 + p * 256, 256, page);
            std::copy_n(spare.begin() + std::ptrdiff_t(p * 8), 8, page + 256);
        }
    }
}

TEST_F(CardRead, FaultsArePutRightOrReported)
{
    struct Fault {
        const char* name;
        std::function<void(Bytes& image, Bytes& expected_disk)> apply;
        int status;
        const char* summary;
    };
    const Fault faults[] = {
        {"one bit in each half of a sector and one in a stored code",
         [](Bytes& image, Bytes&) {
             uint8_t* block = image.data() + physical_of(image, 7) * small_block;
             block[3] ^= 0x10;                  // sector 0, bytes 0-255
             block[small_page + 200] ^= 0x01;   // sector 0, bytes 256-511 (the second page)
             block[3 * small_page + 256 + 5] ^= 0x04;  // the ECC of bytes 0-255 of sector 1
         },
         read_complete, "0 bad blocks, 2 ECC corrections, 0 uncorrectable sectors, 0 logical blocks missing, 0 doubled, "
                        "0 unwritten\n"},
        {"two bits in one half",
         [](Bytes& image, Bytes&) {
             uint8_t* block = image.data() + physical_of(image, 9) * small_block;
             block[10] ^= 0x01;
             block[100] ^= 0x80;
         },
         read_damaged, "0 bad blocks, 0 ECC corrections, 1 uncorrectable sectors, 0 logical blocks missing, 0 doubled, "
                       "0 unwritten\n"},
        {"a block claimed twice, a block lost (its address unreadable), a block gone bad",
         [](Bytes& image, Bytes& disk) {
             const size_t from = physical_of(image, 3), lost = physical_of(image, 4), bad = physical_of(image, 5);
             size_t free_block = 0;
             while (image[free_block * small_block + 256 + 6] != 0xFF || free_block < 2)  // an erased block
                 ++free_block;
             std::copy_n(image.begin() + std::ptrdiff_t(from * small_block), small_block,
                         image.begin() + std::ptrdiff_t(free_block * small_block));
             image[lost * small_block + 256 + 7] ^= 0x01;  // odd parity in both address fields (spare
             image[lost * small_block + small_page + 256 + 4] ^= 0x01;  // bytes 7 and 12)
             image[bad * small_block + 256 + 5] = 0xF0;
             std::fill_n(disk.begin() + 4 * 4096, 2 * 4096, 0xFF);
         },
         read_damaged, "1 bad blocks, 0 ECC corrections, 0 uncorrectable sectors, 2 logical blocks missing, 1 doubled, "
                       "0 unwritten\nMissing logical blocks (0xFF in "},
        // The structure is known by its content and address field, not by
        // being the first written block: without it no data block is lost.
        {"no card information structure (its block erased)",
         [](Bytes& image, Bytes&) { std::fill_n(image.begin(), small_block, 0xFF); },
         read_complete, "0 logical blocks missing, 0 doubled, 0 unwritten\nNo card information structure"},
        {"the structure's block gone bad",
         [](Bytes& image, Bytes&) { image[256 + 5] = 0x00; },
         read_complete, "1 bad blocks, 0 ECC corrections, 0 uncorrectable sectors, 0 logical blocks missing"},
        {"no logical disk: every block bad (all 0x00)",
         [](Bytes& image, Bytes&) { std::fill(image.begin(), image.end(), 0x00); },
         read_failed, "no logical disk: every block is bad (256) or holds no valid address; nothing written"},
        {"two blocks claimed with different data: the first complete one holds it, an unfinished one never",
         [](Bytes& image, Bytes& disk) {
             Bytes other(4096);
             for (size_t i = 0; i < other.size(); ++i)
                 other[i] = uint8_t(i * 13 + 1);
             const size_t first = erased_block(image), second = erased_block(image, first);
             const size_t holder = physical_of(image, 3);
             put_block(image, first, 3, other.data());
             if (first < holder)
                 std::copy(other.begin(), other.end(), disk.begin() + 3 * 4096);
             // Logical block 6: its block lost its last page (a cut rewrite), a complete copy elsewhere.
             std::fill_n(image.begin() + std::ptrdiff_t(physical_of(image, 6) * small_block + 15 * small_page),
                         small_page, 0xFF);
             put_block(image, second, 6, other.data());
             std::copy(other.begin(), other.end(), disk.begin() + 6 * 4096);
         },
         read_damaged, "0 bad blocks, 0 ECC corrections, 0 uncorrectable sectors, 0 logical blocks missing, 1 doubled, 0 unwritten\n"},
    };
    const Made m = make_card("ec,6e,a5", {}, 5);
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        Bytes image = m.image, disk = m.disk;
        f.apply(image, disk);
        save(m.image_path, image);
        const std::string out = temp_path("logical.img");
        const ReadOutcome o = read_card(m.id, m.image_path, sm_read_mode::logical, out);
        EXPECT_EQ(o.status, f.status);
        EXPECT_NE(o.printed.find(f.summary), std::string::npos) << o.printed;
        if (f.status == read_complete || std::string(f.name).find("claimed") != std::string::npos) {
            EXPECT_TRUE(load(out) == disk) << "the disk as it should read";
        }
        EXPECT_EQ(exists(out), f.status != read_failed);
        std::remove(out.c_str());
    }
    std::remove(m.image_path.c_str());
}

// An address field of 1000 (the zone's logical block count) names no block and
// never reaches the next zone's block 0; it makes its zone's unclaimed blocks missing.
TEST(SmLogicalDisk, AnAddressAtTheZonesEndNeverReachesTheNextZone)
{
    const sm_geometry g = sm_geometry_for(0x75);  // 32 MB: 2 zones of 1024 blocks, 32 pages of 528 bytes
    ASSERT_EQ(g.blocks(), 2048u);
    auto block = [&](uint8_t fill, std::array<uint8_t, 2> first, std::array<uint8_t, 2> second) {
        Bytes raw(size_t(g.pages_per_block) * g.page_bytes(), fill);  // every sector whole: a complete claimant
        for (uint8_t* page = raw.data(); page < raw.data() + raw.size(); page += g.page_bytes()) {
            const auto spare = smformat::sector_spare(page, uint16_t(0));
            std::copy(spare.begin(), spare.end(), page + 512);
            std::copy(first.begin(), first.end(), page + 512 + smformat::spare_address1);
            std::copy(second.begin(), second.end(), page + 512 + smformat::spare_address2);
        }
        return raw;
    };
    const auto at_end = smformat::encode_block_address(1000), seven = smformat::encode_block_address(7);
    struct Case { const char* name; std::array<uint8_t, 2> first, second; uint8_t block7; uint32_t missing; };
    for (const Case c : {Case{"first field 1000, second 7", at_end, seven, 0xA1, 0},
                         Case{"both fields 1000", at_end, at_end, 0xFF, 1000}}) {
        SCOPED_TRACE(c.name);
        sm_logical_disk disk(g);
        disk.add_block(5, block(0xA1, c.first, c.second).data());
        const auto zero = smformat::encode_block_address(0);
        disk.add_block(1024, block(0xB2, zero, zero).data());  // zone 1's logical block 0
        disk.finish();
        EXPECT_EQ(disk.image()[7 * 16384], c.block7);
        EXPECT_EQ(disk.image()[1000 * 16384], 0xB2);
        EXPECT_EQ(disk.summary().missing, c.missing);
    }
}

TEST_F(CardRead, ACardPulledMidReadLeavesNoCompleteLookingFile)
{
    const Made m = make_card("ec,6e,a5", {}, 9);
    for (const sm_read_mode mode : {sm_read_mode::raw, sm_read_mode::logical}) {
        const std::string out = temp_path(mode == sm_read_mode::raw ? "raw.img" : "logical.img");
        // Set-up and ID take 2 reads, each block 2 (its paced stream, the
        // presence check); pull during the fourth block's stream.
        const ReadOutcome o = read_card(m.id, m.image_path, mode, out, 2 + 3 * 2 + 1);
        EXPECT_EQ(o.status, read_cut_short);
        EXPECT_NE(o.printed.find("Read stopped after 48 of 4096 pages: the card was removed"), std::string::npos)
            << o.printed;
        EXPECT_FALSE(exists(out));
        if (mode == sm_read_mode::raw) {
            EXPECT_TRUE(load(out + ".part") == Bytes(m.image.begin(), m.image.begin() + 3 * small_block));
            std::remove((out + ".part").c_str());
        } else {
            EXPECT_FALSE(exists(out + ".part"));
        }
    }
    std::remove(m.image_path.c_str());
}

TEST_F(CardRead, AFailedPageTransferSendsNoScriptIntoItsStream)
{
    const Made m = make_card("ec,6e,a5", {}, 9);
    const std::string out = temp_path("raw.img");
    const ReadOutcome o = read_card(m.id, m.image_path, sm_read_mode::raw, out, 2 + 2 + 1, true);  // the 2nd block's stream
    EXPECT_EQ(o.status, read_cut_short);
    EXPECT_NE(o.printed.find("Read stopped after 16 of 4096 pages: the page transfer failed"), std::string::npos)
        << o.printed;
    EXPECT_EQ(o.scripts_after_fault, 0u);
    EXPECT_FALSE(exists(out));
    std::remove((out + ".part").c_str());
    std::remove(m.image_path.c_str());
}

// A directory as FILE is kept; a file cut short by its size limit counts what it holds.
TEST_F(CardRead, WhatTheFileCannotTakeIsReportedAndNothingNotOursGoes)
{
    const Made m = make_card("ec,6e,a5", {}, 9);
    const std::string dir = temp_path("dir");
    std::filesystem::create_directory(dir);
    ReadOutcome o = read_card(m.id, m.image_path, sm_read_mode::logical, dir);
    EXPECT_EQ(o.status, read_failed);
    EXPECT_TRUE(std::filesystem::is_directory(dir)) << o.printed;

    const std::string out = temp_path("raw.img");
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = {614400, old.rlim_max};  // 2327 pages and 72 bytes
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    o = read_card(m.id, m.image_path, sm_read_mode::raw, out);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(o.status, read_cut_short);
    EXPECT_NE(o.printed.find("File too large; the first 2327 pages are in " + out + ".part"), std::string::npos)
        << o.printed;
}

TEST_F(CardRead, AnUnknownDeviceCodeReadsNothing)
{
    const std::string out = temp_path("raw.img");
    const ReadOutcome o = read_card({0xEC, 0x55, 0xA5, std::nullopt}, "", sm_read_mode::raw, out);
    EXPECT_EQ(o.status, read_failed);
    EXPECT_NE(o.printed.find("Unknown device code 55: not a SmartMedia size this tool knows, nothing read\n"),
              std::string::npos)
        << o.printed;
    EXPECT_FALSE(exists(out) || exists(out + ".part"));
}

// 64 MB and 128 MB cards take three page address bytes: pages far up the
// card, written through the card's own program command.
TEST_F(CardRead, PagesFarUpA128MegabyteCardAndTheirSequentialFollowers)
{
    const vboard::card::CardIdentity id{0xEC, 0x79, 0xA5, std::nullopt};
    vboard::serve::BoardOptions options;
    options.card = id;
    options.firmware_loaded = true;
    vboard::inproc::InProcessBackend board(options);
    winapi::ScopedBackend scope{board};
    vboard::card::Card& card = *board.session().board().socket().card();
    const sm_geometry g = sm_geometry_for(0x79);
    ASSERT_EQ(g.pages, 262144u);
    auto page_bytes = [](uint32_t page) {
        Bytes b(528);
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = uint8_t(i * 3 + page * 7 + (page >> 16));
        return b;
    };
    const uint32_t pages[] = {0x00000, 0x12345, 0x3FFFE, 0x3FFFF};
    // The card's time from the board's clock on: each program is waited out (a reset would abort it).
    uint64_t card_ns = board.session().board().now() * 1000 / 24;
    for (const uint32_t p : pages) {
        card.set_time(card_ns);
        card.command(0x80);
        for (const uint8_t a : {uint8_t(0), uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16)})
            card.address(a);
        for (const uint8_t b : page_bytes(p))
            card.data_in(b);
        card.command(0x10);
        card.set_time(card_ns += vboard::card::Card::kProgramNs);
        card.command(0xFF);
    }
    card_tool_reset();
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(sm_init(), 0);
    ::testing::internal::GetCapturedStdout();
    Bytes got(528);
    for (const uint32_t p : {pages[0], pages[1], pages[2]}) {
        ASSERT_EQ(sm_read_page(g, p, got.data()), 0);
        EXPECT_EQ(got, page_bytes(p)) << "page " << p;
        ASSERT_EQ(sm_read_page(g, p + 1, got.data(), true), 0);
        EXPECT_EQ(got, p + 1 == pages[3] ? page_bytes(p + 1) : Bytes(528, 0xFF)) << "page " << p + 1;
    }
    sm_end();
    card_tool_reset();
}

// A zone whose good blocks all hold something: the write ends with its own
// status and the card stays as it was, page for page.
// Writes make and remove their own directory as the reads do.
class CardWrite : public CardRead {};

TEST_F(CardWrite, AZoneWithoutAFreeBlockEndsWithItsOwnStatusAndChangesNothing)
{
    // 256 blocks: 5 bad, the information structure and 250 logical blocks.
    const Made m = make_card("ec,6e,a5", {10, 20, 30, 40, 50}, 4);
    Bytes changed = m.disk;
    changed[5 * 4096] ^= 1;
    const std::string file = temp_path("changed.img");
    save(file, changed);
    vboard::serve::BoardOptions options;
    options.card = m.id;
    options.card_image = m.image_path;
    options.firmware_loaded = true;
    std::string error;
    auto board = vboard::inproc::InProcessBackend::create(options, error);
    ASSERT_TRUE(board) << error;
    winapi::ScopedBackend scope{*board};
    card_tool_reset();
    ::testing::internal::CaptureStdout();
    sm_write_request request;
    request.file = file;
    EXPECT_EQ(card_tool_write(request), write_zone_full);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    card_tool_reset();
    EXPECT_NE(printed.find("Zone 0 has no usable free block left"), std::string::npos) << printed;
    const vboard::card::Card& card = *board->session().board().socket().card();
    for (uint32_t p = 0; p < 4096; ++p)
        ASSERT_TRUE(std::equal(m.image.begin() + std::ptrdiff_t(p) * small_page,
                               m.image.begin() + std::ptrdiff_t(p + 1) * small_page, card.page(p).begin()))
            << "page " << p;
    std::remove(file.c_str());
    std::remove(m.image_path.c_str());
}

// Programs and erases that fail at random: each failed block is marked bad
// and its data go elsewhere; the disk reads back whole and the read counts
// the blocks the write marked.
TEST_F(CardWrite, FailedProgramsAndErasesMarkTheBlockBadAndTheDataGoElsewhere)
{
    const vboard::card::CardIdentity id{0xEC, 0x6E, 0xA5, std::nullopt};
    Bytes disk(1024000, 0xFF);
    const std::string start = temp_path("start.img"), file = temp_path("disk.img"), out = temp_path("back.img");
    vboard::cardimage::Request request;  // a formatted card
    request.card = id;
    std::string error;
    ASSERT_TRUE(vboard::cardimage::write_card_image(request, start, error)) << error;
    std::mt19937 random(8);
    for (size_t i = 0; i < 60 * 4096; ++i)
        disk[i + 4096] = uint8_t(random());
    save(file, disk);
    vboard::serve::BoardOptions options;
    options.card = id;
    options.card_image = start;
    options.firmware_loaded = true;
    options.card_faults = *vboard::card::parse_card_faults("rate:0.02,seed:3", error);
    auto board = vboard::inproc::InProcessBackend::create(options, error);
    ASSERT_TRUE(board) << error;
    winapi::ScopedBackend scope{*board};
    card_tool_reset();
    ::testing::internal::CaptureStdout();
    sm_write_request write;
    write.file = file;
    const int status = card_tool_write(write);
    card_tool_reset();
    const int read = card_tool_read(sm_read_mode::logical, out.c_str());
    const std::string printed = ::testing::internal::GetCapturedStdout();
    card_tool_reset();
    EXPECT_EQ(status, write_complete) << printed;
    EXPECT_EQ(read, read_complete) << printed;
    std::smatch marked;
    ASSERT_TRUE(std::regex_search(printed, marked, std::regex(" ([1-9][0-9]*) marked bad\n"))) << printed;
    const std::string count = marked[1];
    EXPECT_NE(printed.find("\n" + count + " bad blocks, 0 ECC corrections, 0 uncorrectable sectors"), std::string::npos)
        << printed;
    EXPECT_TRUE(load(out) == disk) << "the disk read back differs from the one written";
    for (const auto& p : {start, file, out})
        std::remove(p.c_str());
}

}  // namespace
