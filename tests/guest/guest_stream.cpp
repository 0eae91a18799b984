// Runs inside the guest: 1 MiB each way through a bulk stream with the card
// tool's own pipe operations, on the board the tool finds (libusb there).
//   out: usb_fwrite of the test pattern with the card deselected
//   in:  READ (0x00) at page 0, then a bus-to-host stream of 1 MiB, which the
//        card's sequential row read fills page after page
// Prints one line per direction with the byte count and an FNV-1a hash of
// the data; the seconds each took go to standard error. Then the driver's
// reset pipe, and the pipes once the board has left the bus (a download
// restarts the firmware, which re-enumerates).
#include <chrono>
#include <thread>
#include <cstdio>
#include <vector>

#include "card_tool/card_tool.h"
#include "cusb/cusb.h"
#include "nebu.h"
#include "stream_pattern.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    if (sm_init() != 0) return 1;
    const std::vector<unsigned char> out = guest_test::pattern(guest_test::stream_bytes);
    auto start = std::chrono::steady_clock::now();
    const int written = usb_fwrite(0x4, out.data(), static_cast<int>(out.size()));
    const double out_seconds = seconds_since(start);
    std::printf("out %zu rc %d fnv %016llx\n", out.size(), written,
                static_cast<unsigned long long>(guest_test::fnv1a(out)));

    // Command 0x00 with CLE, then column 0 and page 0 (two bytes) with ALE:
    // the card reads from the start of page 0.
    const unsigned char read_page0[] = {0x31, 0x00, 0x32, 0x00, 0x32, 0x00, 0x32, 0x00};
    const int length = static_cast<int>(guest_test::stream_bytes);
    const unsigned char header[] = {0x60, static_cast<unsigned char>(length & 0x3F),
                                    static_cast<unsigned char>((length >> 6) & 0xFF),
                                    static_cast<unsigned char>((length >> 14) & 0xFF)};
    std::vector<unsigned char> in(guest_test::stream_bytes);
    start = std::chrono::steady_clock::now();
    const int script = usb_cpipe_write(read_page0, sizeof read_page0);
    const int announced = usb_cpipe_write(header, sizeof header);
    const int read = usb_rpipe_read(in.data(), length);
    const double in_seconds = seconds_since(start);
    std::printf("in %d rc %d %d fnv %016llx\n", read, script, announced,
                static_cast<unsigned long long>(guest_test::fnv1a(in)));
    std::fprintf(stderr, "time out %.3f s, in %.3f s\n", out_seconds, in_seconds);

    std::printf("resetpipe 8: %d, 14: %d\n", usb_resetpipe(&usb_h, 8), usb_resetpipe(&usb_h, 14));
    const int halted = usb_halt(&usb_h);
    const int loaded = usb_dwnload(&usb_h, fw_bin, static_cast<int>(fw_size));
    const int released = usb_run(&usb_h);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const unsigned char setup[] = {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24};
    unsigned char reply[1] = {};
    const int write_after = usb_cpipe_write(setup, sizeof setup);
    const int read_after = usb_rpipe_read(reply, 1);
    std::printf("download %d %d %d, then write %d read %d\n", halted, loaded, released, write_after, read_after);
    sm_end();
    return 0;
}
