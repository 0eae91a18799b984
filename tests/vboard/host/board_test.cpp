// The host model and the driver against the real board model: the bare
// controller (8051 held, RENUM = 0) enumerates as the default device and
// serves strings and its RAM loader.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "board/board.h"
#include "host/driver.h"

namespace {

using namespace vboard;
using namespace vboard::host;
using Bytes = std::vector<uint8_t>;

TEST(BareBoard, EnumeratesAsTheDefaultDevice) {
    board::Board board;
    Host host(board);
    std::vector<HostEvent> events;
    host.set_observer([&](const HostEvent& e) { events.push_back(e); });
    ASSERT_TRUE(host.wait_enumerated(1000)) << host.enumeration_error();

    const EnumeratedDevice* device = host.device();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->device.vendor, 0x0547);
    EXPECT_EQ(device->device.product, 0x2131);
    EXPECT_EQ(device->device.max_packet0, 64);
    EXPECT_EQ(device->configuration.size(), 0xDAu);
    EXPECT_EQ(Bytes(device->configuration.begin(), device->configuration.begin() + 9),
              (Bytes{0x09, 0x02, 0xDA, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32}));
    EXPECT_EQ(device->address, 1);
    // Interface 0, alternate setting 0 has no endpoints: no pipes.
    Driver driver(host);
    EXPECT_TRUE(driver.pipes().empty());

    // About 200 ms from power-on to the end of enumeration.
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, HostEvent::Kind::enumerated);
    const double ms = static_cast<double>(events.back().time) / usb::clocks_per_ms;
    EXPECT_GT(ms, 200.0);
    EXPECT_LT(ms, 215.0);
}

TEST(BareBoard, DriverReadsStringsAndLoadsRam) {
    board::Settings settings;
    settings.bare_string1 = "AB";
    board::Board board(settings);
    Host host(board);
    Driver driver(host);
    ASSERT_TRUE(host.wait_enumerated(1000)) << host.enumeration_error();
    const auto handle = driver.open(0);
    ASSERT_TRUE(handle);

    Bytes reply(130);
    uint32_t returned = 0;
    ASSERT_TRUE(driver.io_control(*handle, ioctl::get_string, Bytes{1, 0, 0x1B, 0}, reply, returned))
        << driver.last_error();
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + returned), (Bytes{6, 3, 'A', 0, 'B', 0}));
    ASSERT_TRUE(driver.io_control(*handle, ioctl::get_string, Bytes{2, 0, 0x09, 0x04}, reply, returned));
    EXPECT_EQ(returned, 2u);  // empty by default

    // Hold, download, read it back through the loader's upload.
    Bytes none;
    ASSERT_TRUE(driver.io_control(*handle, ioctl::vendor_request,
                                  Bytes{0xA0, 0, 0x92, 0x7F, 0, 0, 1, 0, 0, 1}, none, returned))
        << driver.last_error();
    std::mt19937 random(7);
    Bytes image(4096);
    for (auto& b : image) b = static_cast<uint8_t>(random());
    ASSERT_TRUE(driver.io_control(*handle, ioctl::download, image, none, returned)) << driver.last_error();
    Bytes back(1024);
    for (uint16_t at = 0; at < 4096; at += 1024) {
        const Bytes record = {0xA0, 0, uint8_t(at), uint8_t(at >> 8), 0, 0, 0x00, 0x04, 1, 0};
        ASSERT_TRUE(driver.io_control(*handle, ioctl::vendor_request, record, back, returned))
            << driver.last_error();
        ASSERT_EQ(returned, 1024u);
        EXPECT_TRUE(std::equal(back.begin(), back.end(), image.begin() + at)) << "at " << at;
    }
}

Bytes string_reply(Driver& driver, Driver::Handle handle, uint8_t index) {
    Bytes reply(130);
    uint32_t returned = 0;
    if (!driver.io_control(handle, ioctl::get_string, Bytes{index, 0, 0x1B, 0}, reply, returned)) return {};
    reply.resize(returned);
    return reply;
}

Bytes utf16(const std::string& text) {
    Bytes d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) d.insert(d.end(), {static_cast<uint8_t>(c), 0});
    return d;
}

// The tool's road through the driver: the bare board is held, loaded with
// the firmware and released; the firmware leaves the bus and comes back as
// a new device with its own identity, pipes and port engine.
TEST(FirmwareBoard, LoadedThroughTheDriverItReEnumeratesAndAnswersOnItsPipes) {
    std::ifstream file(FIRMWARE_BIN, std::ios::binary);
    ASSERT_TRUE(file) << FIRMWARE_BIN;
    const Bytes image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(image.size(), 4096u);

    board::Board board;
    Host host(board);
    Driver driver(host);
    ASSERT_TRUE(host.wait_enumerated(1000)) << host.enumeration_error();
    const auto bare = driver.open(0);
    ASSERT_TRUE(bare);
    EXPECT_EQ(string_reply(driver, *bare, 1), (Bytes{2, 3}));

    Bytes none;
    uint32_t returned = 0;
    auto cpucs = [&](uint8_t value) {
        return driver.io_control(*bare, ioctl::vendor_request,
                                 Bytes{0xA0, 0, 0x92, 0x7F, 0, 0, 1, 0, 0, value}, none, returned);
    };
    ASSERT_TRUE(cpucs(1)) << driver.last_error();
    ASSERT_TRUE(driver.io_control(*bare, ioctl::download, image, none, returned)) << driver.last_error();
    ASSERT_TRUE(cpucs(0)) << driver.last_error();
    const uint64_t bare_id = host.device_id();

    // The firmware leaves for about 1.5 s and enumerates anew.
    ASSERT_TRUE(host.wait_until([&] { return host.enumerated() && host.device_id() != bare_id; }, 3000))
        << host.enumeration_error();
    EXPECT_FALSE(driver.usable(*bare));
    EXPECT_FALSE(cpucs(1)) << "the old handle died with the bare device";
    const auto loaded = driver.open(0);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(string_reply(driver, *loaded, 1), utf16("NEBU"));
    EXPECT_EQ(string_reply(driver, *loaded, 2), utf16("Z100"));
    ASSERT_EQ(driver.pipes().size(), 14u);

    // The card tool's bus set-up script on the command pipe, its reply on pipe 8.
    Bytes setup_script = {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24};
    ASSERT_TRUE(driver.io_control(*loaded, ioctl::bulk_write, Bytes{0, 0, 0, 0}, setup_script, returned))
        << driver.last_error();
    Bytes reply(64);
    ASSERT_TRUE(driver.io_control(*loaded, ioctl::bulk_read, Bytes{8, 0, 0, 0}, reply, returned))
        << driver.last_error();
    ASSERT_EQ(returned, 1u);
    EXPECT_EQ(reply[0] & 0x08, 0x08) << "card present";

    Bytes id_script = {0x31, 0x90, 0x32, 0x00, 0x40, 0x40, 0x40, 0x14};
    ASSERT_TRUE(driver.io_control(*loaded, ioctl::bulk_write, Bytes{0, 0, 0, 0}, id_script, returned));
    ASSERT_TRUE(driver.io_control(*loaded, ioctl::bulk_read, Bytes{8, 0, 0, 0}, reply, returned));
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + returned), (Bytes{0xEC, 0x75, 0xA5}));

    // Suspended, the board wakes the bus when its WAKEUP# pin is pulled.
    std::vector<HostEvent::Kind> kinds;
    host.set_observer([&](const HostEvent& e) { kinds.push_back(e.kind); });
    host.suspend();
    host.wait(20);
    board.press_wakeup();
    host.wait(100);
    EXPECT_FALSE(host.suspended());
    EXPECT_EQ(kinds, (std::vector<HostEvent::Kind>{HostEvent::Kind::suspended,
                                                    HostEvent::Kind::remote_wakeup,
                                                    HostEvent::Kind::resuming,
                                                    HostEvent::Kind::resumed}));
    EXPECT_TRUE(driver.usable(*loaded));
    ASSERT_TRUE(driver.io_control(*loaded, ioctl::bulk_write, Bytes{0, 0, 0, 0}, setup_script, returned));
    ASSERT_TRUE(driver.io_control(*loaded, ioctl::bulk_read, Bytes{8, 0, 0, 0}, reply, returned))
        << driver.last_error();
    EXPECT_EQ(returned, 1u);

    std::ostringstream findings;
    board.diagnostics().print(findings);
    EXPECT_TRUE(board.diagnostics().empty()) << findings.str();
}

}  // namespace
