// Speed of writing a card's whole logical disk with the card tool, in
// simulated time: the unmodified tool code against the in-process board.
// The card starts as the image maker makes it without a disk image (an empty
// FAT file system); a disk of random bytes is written without the read-back,
// then on a fresh card with it; then one 100 KB stretch of the disk changes
// and is written again (the tool's summary counts the blocks it rewrote).
// Run: <build>/bin/card_write_bench [MAKER,DEVICE,ID3]   (default ec,73,a5: 16 MB)
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "card_tool/card_tool.h"
#include "card_tool/writer.h"
#include "cardimage/card_image.h"
#include "inproc/inproc_backend.h"

namespace {

struct Run {
    double simulated_s = 0;
    double wall_s = 0;
    int status = 0;
    std::string summary;  // the tool's last line
};

Run write_disk(vboard::inproc::InProcessBackend& backend, const std::string& disk, bool verify, const std::string& dir) {
    winapi::ScopedBackend scope{backend};
    card_tool_reset();
    // The tool's lines go to a file; the figures go to the saved standard output.
    const std::string log = dir + "/tool.log";
    std::fflush(stdout);
    const int saved = dup(1);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    close(out);
    const double t0 = double(backend.session().board().now()) / 24e6;
    const auto w0 = std::chrono::steady_clock::now();
    Run r;
    sm_write_request request;
    request.file = disk;
    request.verify = verify;
    r.status = card_tool_write(request);
    r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    r.simulated_s = double(backend.session().board().now()) / 24e6 - t0;
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    card_tool_reset();
    char line[512];
    std::FILE* f = std::fopen(log.c_str(), "r");
    while (f && std::fgets(line, sizeof line, f))
        if (std::string(line).rfind("Rewrote", 0) == 0) r.summary = line;
    if (f) std::fclose(f);
    return r;
}

void save(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string text = argc > 1 ? argv[1] : "ec,73,a5";
    std::string error;
    const auto id = vboard::card::parse_card_identity(text, error);
    if (!id) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const std::string dir = "card_write_bench.d";
    mkdir(dir.c_str(), 0755);
    vboard::cardimage::Request request;
    request.card = *id;
    const std::string card_path = dir + "/card.img", disk_path = dir + "/disk.img";
    if (!vboard::cardimage::write_card_image(request, card_path, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const uint64_t bytes = vboard::cardimage::disk_bytes(*id);
    std::vector<uint8_t> disk(bytes);
    std::mt19937 random(7);
    for (auto& b : disk) b = uint8_t(random());
    save(disk_path, disk);

    vboard::serve::BoardOptions options;
    options.card = *id;
    options.card_image = card_path;
    options.firmware_loaded = true;
    auto fresh = [&] { return vboard::inproc::InProcessBackend::create(options, error); };

    auto board = fresh();
    const Run plain = write_disk(*board, disk_path, false, dir);
    // One file of 100 KB rewritten in place, a third of the way into the disk.
    const size_t at = size_t(bytes / 3);
    for (size_t i = 0; i < 100 * 1024; ++i) disk[at + i] = uint8_t(random());
    save(disk_path, disk);
    const Run incremental = write_disk(*board, disk_path, true, dir);
    board = fresh();
    const Run verified = write_disk(*board, disk_path, true, dir);

    auto report = [&](const char* name, const Run& r) {
        std::printf("  %-12s %8.3f s simulated  %.3f MB/s (disk bytes)  wall %.2f s  status %d\n    %s", name,
                    r.simulated_s, double(bytes) / r.simulated_s / 1e6, r.wall_s, r.status, r.summary.c_str());
    };
    std::printf("card %s: logical disk %llu bytes\n", text.c_str(), static_cast<unsigned long long>(bytes));
    report("no read-back", plain);
    report("read back", verified);
    std::printf("  one changed 100 KB stretch, written again with the read-back: %.3f s simulated, status %d\n    %s",
                incremental.simulated_s, incremental.status, incremental.summary.c_str());
    std::printf("write: %.3f MB/s (disk bytes), verified: %.3f MB/s\n", double(bytes) / plain.simulated_s / 1e6,
                double(bytes) / verified.simulated_s / 1e6);
    return plain.status == 0 && verified.status == 0 && incremental.status == 0 ? 0 : 1;
}
