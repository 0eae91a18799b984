// Interruption campaign for card writes, seeded: the tool writes disk B
// over a card holding disk A, or formats it, and is cut off: the card pulled
// at a random instant of the run's simulated time (a program or erase it is
// busy with left half done, as the card model does it), or the tool killed
// at a random driver call. The card, as the logical read assembles it, must
// then hold every logical block as in A or as wanted (B, or the format's
// disk), and the same run again must leave exactly what was wanted. Three
// cards: 1 MB (256-byte pages), 16 MB, 32 MB (two zones).
// Run: write_campaign POINTS [SEED [DIR]]; one line per card and run, exit 1
// at the first point that breaks the rule, with what cut it and when.
#include "card_tool/card_tool.h"
#include "card_tool/geometry.h"
#include "card_tool/logical.h"
#include "card_tool/writer.h"
#include "cardimage/card_image.h"
#include "cusb/cusb.h"
#include "smformat/smformat.h"
#include "inproc/inproc_backend.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<unsigned char>;
struct Killed {};

// Passes every call to the board; kills the tool at driver call `at`
// (counting bulk reads and writes from 1).
class Cutter final : public winapi::Backend {
public:
    explicit Cutter(vboard::inproc::InProcessBackend& board) : board_(board) {}
    std::optional<winapi::Connection> open(const winapi::OpenRequest& r) override { return board_.open(r); }
    BOOL io_control(winapi::Connection c, DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length,
                    DWORD* returned) override
    {
        if ((code == cusb::ioctl_bulk_write || code == cusb::ioctl_bulk_read) && ++calls == at)
            throw Killed{};
        return board_.io_control(c, code, in, in_length, out, out_length, returned);
    }
    void close(winapi::Connection c) override { board_.close(c); }
    void sleep(DWORD ms) override { board_.sleep(ms); }

    uint64_t calls = 0, at = 0;

private:
    vboard::inproc::InProcessBackend& board_;
};

// The logical disk as --read-logical assembles it, from the card's array.
Bytes read_back(const vboard::card::Card& card, const sm_geometry& g)
{
    sm_logical_disk disk(g);
    Bytes raw(size_t(g.pages_per_block) * g.page_bytes());
    for (uint32_t b = 0; b < g.blocks(); ++b) {
        for (uint32_t p = 0; p < g.pages_per_block; ++p) {
            const auto page = card.page(b * g.pages_per_block + p);
            std::copy(page.begin(), page.end(), raw.begin() + std::ptrdiff_t(p) * g.page_bytes());
        }
        disk.add_block(b, raw.data());
    }
    return disk.image();
}

int write(Cutter& cutter, const sm_write_request& request)
{
    winapi::ScopedBackend scope{cutter};
    card_tool_reset();
    // The tool's lines go nowhere.
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    int status = -1;
    try {
        status = card_tool_write(request);
    } catch (const Killed&) {
    }
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    card_tool_reset();
    return status;
}

void save(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

int main(int argc, char** argv)
{
    const unsigned points = argc > 1 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 210;
    const unsigned seed = argc > 2 ? unsigned(std::strtoul(argv[2], nullptr, 10)) : 1;
    std::mt19937 random(seed);
    const vboard::card::CardIdentity cards[] = {{0xEC, 0x6E, 0xA5, {}}, {0xEC, 0x73, 0xA5, {}}, {0xEC, 0x75, 0xA5, {}}};
    for (unsigned c = 0; c < 3; ++c) {
        const sm_geometry g = sm_geometry_for(cards[c].device);
        const size_t block = size_t(g.pages_per_block) * g.data_bytes;
        const size_t blocks = size_t(sm_logical_disk(g).size() / block);
        // A: a few blocks of data in every zone; B: some of them changed,
        // some cleared, some new.
        Bytes a(blocks * block, 0xFF), b;
        const Bytes formatted = smformat::render_logical_disk(*smformat::standard_layout(g.megabytes));
        for (size_t l = 0; l < blocks; ++l)
            if (l % 1000 < 6 || random() % 97 == 0)
                for (size_t i = 0; i < block; ++i)
                    a[l * block + i] = uint8_t(random());
        b = a;
        for (size_t l = 0; l < blocks; ++l) {
            const unsigned r = random() % 200;
            if (l % 1000 < 3 || r < 2)
                for (size_t i = 0; i < block; ++i)
                    b[l * block + i] = uint8_t(random());
            else if (r < 4)
                std::fill_n(b.begin() + std::ptrdiff_t(l * block), block, 0xFF);
        }
        const std::string dir = argc > 3 ? argv[3] : ".";
        const std::string path_a = dir + "/campaign_a.img", path_b = dir + "/campaign_b.img";
        save(path_a, a);
        save(path_b, b);

        // The card starts formatted, as the image maker makes it.
        const std::string path_start = dir + "/campaign_start.img";
        vboard::cardimage::Request start;
        start.card = cards[c];
        vboard::serve::BoardOptions options;
        options.card = cards[c];
        options.card_image = path_start;
        options.firmware_loaded = true;
        std::string error;
        std::unique_ptr<vboard::inproc::InProcessBackend> made;
        if (vboard::cardimage::write_card_image(start, path_start, error))
            made = vboard::inproc::InProcessBackend::create(options, error);
        if (!made) {
            std::printf("%s\n", error.c_str());
            return 1;
        }
        vboard::inproc::InProcessBackend& board = *made;
        auto& socket = board.session().board().socket();
        auto& clock = board.session().board();
        Cutter cutter(board);
        sm_write_request write_a, write_b, format;
        write_a.file = path_a;
        write_b.file = path_b;
        format.format = true;
        if (write(cutter, write_a) != write_complete || read_back(*socket.card(), g) != a) {
            std::printf("card %u: writing A failed\n", c);
            return 1;
        }
        const vboard::card::Card card_a = *socket.card();
        // Most points on the small card: a write's scan of a large card's
        // spare areas costs the most time. A quarter of them cut a format.
        const unsigned share = c == 0 ? points - 2 * (points / 7) : points / 7;
        for (const sm_write_request* job : {&write_b, &format}) {
            const Bytes& want = job == &format ? formatted : b;
            socket.insert(card_a);
            cutter.calls = 0;
            const auto began = clock.now();
            if (write(cutter, *job) != write_complete || read_back(*socket.card(), g) != want) {
                std::printf("card %u: %s failed\n", c, job == &format ? "the format" : "writing B");
                return 1;
            }
            const uint64_t calls = cutter.calls, clocks = clock.now() - began;
            const unsigned count = job == &format ? share / 4 : share - share / 4;
            unsigned kills = 0;
            for (unsigned p = 0; p < count; ++p) {
                socket.insert(card_a);
                cutter.calls = 0;
                const bool kill = random() % 2 == 0;
                const uint64_t when = kill ? 1 + random() % calls : random() % clocks;
                kills += kill;
                cutter.at = kill ? when : 0;
                if (!kill)
                    clock.pull_card_at(clock.now() + when);
                const int status = write(cutter, *job);
                // A killed tool is run again no sooner than a process can
                // start: a program or erase it left running has ended by then.
                board.sleep(10);
                if (!kill) {
                    std::optional<vboard::card::Card> pulled = clock.take_pulled_card();
                    if (pulled)
                        socket.insert(std::move(*pulled));
                    clock.pull_card_at(~uint64_t{0});
                }
                const Bytes got = read_back(*socket.card(), g);
                size_t bad = blocks;
                for (size_t l = 0; l < blocks && bad == blocks; ++l) {
                    const auto at = std::ptrdiff_t(l * block), end = std::ptrdiff_t((l + 1) * block);
                    if (!std::equal(got.begin() + at, got.begin() + end, a.begin() + at) &&
                        !std::equal(got.begin() + at, got.begin() + end, want.begin() + at))
                        bad = l;
                }
                cutter.at = 0;
                const int again = write(cutter, *job);
                if (bad != blocks || again != write_complete || read_back(*socket.card(), g) != want) {
                    std::printf("card %u, %s point %u (seed %u): %s %llu of %llu (status %d): %s\n", c,
                                job == &format ? "format" : "write", p, seed,
                                kill ? "killed at driver call" : "pulled at clock", static_cast<unsigned long long>(when),
                                static_cast<unsigned long long>(kill ? calls : clocks), status,
                                bad != blocks ? ("logical block " + std::to_string(bad) + " is neither old nor new").c_str()
                                              : "the second run did not finish the job");
                    return 1;
                }
            }
            std::printf("card %02x,%02x,%02x %s: %u interruption points (%u killed over %llu driver calls, %u pulled "
                        "over %.3f s), every logical block old or new, every second run complete\n",
                        cards[c].maker, cards[c].device, cards[c].id3, job == &format ? "--format" : "--write-logical",
                        count, kills, static_cast<unsigned long long>(calls), count - kills, double(clocks) / 24e6);
        }
        std::remove(path_start.c_str());
        std::remove(path_a.c_str());
        std::remove(path_b.c_str());
    }
    return 0;
}
