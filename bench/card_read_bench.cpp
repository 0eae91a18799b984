// Speed of reading a whole card with the card tool, in simulated time: the
// unmodified tool code against the in-process board (driver and host model,
// the firmware on the core, the card model with its busy times).
// Run: <build>/bin/card_read_bench [MAKER,DEVICE,ID3 ...]   (default ec,73,a5: 16 MB)
//      <build>/bin/card_read_bench --warm                  (a plain tool run on a warm board)
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "card_tool/card_tool.h"
#include "card_tool/read.h"
#include "cardimage/card_image.h"
#include "inproc/inproc_backend.h"

namespace {

struct Run {
    double simulated_s = 0;
    double wall_s = 0;
    int status = 0;
};

Run read_card(const vboard::serve::BoardOptions& options, sm_read_mode mode, const std::string& out) {
    vboard::inproc::InProcessBackend backend(options);
    winapi::ScopedBackend scope{backend};
    card_tool_reset();
    // The tool's lines go nowhere; the figures go to the saved standard output.
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    const double t0 = double(backend.session().board().now()) / 24e6;
    const auto w0 = std::chrono::steady_clock::now();
    Run r;
    r.status = card_tool_read(mode, out.c_str());
    r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    r.simulated_s = double(backend.session().board().now()) / 24e6 - t0;
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    card_tool_reset();
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> cards;
    for (int i = 1; i < argc; ++i) cards.push_back(argv[i]);
    if (cards.size() == 1 && cards[0] == "--warm") {
        // A plain card_tool run (ID only) on a board already running our
        // firmware, in simulated time.
        vboard::serve::BoardOptions options;
        options.firmware_loaded = true;
        vboard::inproc::InProcessBackend backend(options);
        winapi::ScopedBackend scope{backend};
        card_tool_reset();
        const double t0 = double(backend.session().board().now()) / 24e6;
        const int status = card_tool_run();
        std::printf("warm card_tool run: %.3f ms simulated  status %d\n",
                    (double(backend.session().board().now()) / 24e6 - t0) * 1e3, status);
        return 0;
    }
    if (cards.empty()) cards.push_back("ec,73,a5");
    const std::string dir = "card_read_bench.d";
    mkdir(dir.c_str(), 0755);
    for (const std::string& text : cards) {
        std::string error;
        const auto id = vboard::card::parse_card_identity(text, error);
        if (!id) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 2;
        }
        // A disk of random bytes filling the card's whole logical disk.
        const uint64_t disk = vboard::cardimage::disk_bytes(*id);
        std::vector<uint8_t> bytes(disk);
        std::mt19937 random(7);
        for (auto& b : bytes) b = uint8_t(random());
        const std::string disk_path = dir + "/disk.img", card_path = dir + "/card.img";
        std::FILE* f = std::fopen(disk_path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        vboard::cardimage::Request request;
        request.card = *id;
        request.from = disk_path;
        if (!vboard::cardimage::write_card_image(request, card_path, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        vboard::serve::BoardOptions options;
        options.card = *id;
        options.card_image = card_path;
        options.firmware_loaded = true;
        std::vector<uint8_t> image;
        vboard::cardimage::make_card_image(request, image, error);

        const Run raw = read_card(options, sm_read_mode::raw, dir + "/raw.img");
        const Run logical = read_card(options, sm_read_mode::logical, dir + "/logical.img");
        std::printf("card %s: raw %zu bytes, logical disk %llu bytes\n", text.c_str(), image.size(),
                    static_cast<unsigned long long>(disk));
        std::printf("  raw     %.3f s simulated  %.4f MB/s (card bytes)   wall %.2f s  status %d\n", raw.simulated_s,
                    double(image.size()) / raw.simulated_s / 1e6, raw.wall_s, raw.status);
        std::printf("  logical %.3f s simulated  %.4f MB/s (disk bytes)   wall %.2f s  status %d\n",
                    logical.simulated_s, double(disk) / logical.simulated_s / 1e6, logical.wall_s, logical.status);
    }
    return 0;
}
