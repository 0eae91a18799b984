// The EZ-USB driver model's control codes against a scriptable device.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "fake_device.h"
#include "host/driver.h"

namespace {

using namespace vboard::host;
using fake::Bytes;
using fake::Event;
using fake::FakeDevice;
using fake::ms;

Bytes pipe_number(uint32_t n) {
    return {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
}

struct Board {
    FakeDevice dev;
    Host host;
    Driver driver;
    Driver::Handle handle = 0;

    Board() : host((dev.set_attached(true), dev)), driver(host) {
        EXPECT_TRUE(host.wait_enumerated(1000));
        handle = driver.open(0).value_or(0);
        EXPECT_NE(handle, 0u);
        dev.log.clear();
    }

    bool call(uint32_t code, const Bytes& in, Bytes& out, uint32_t& returned) {
        return driver.io_control(handle, code, in, out, returned);
    }
    bool write(uint32_t pipe, Bytes data) {
        uint32_t returned = 0;
        const bool ok = call(ioctl::bulk_write, pipe_number(pipe), data, returned);
        if (ok) {
            EXPECT_EQ(returned, data.size());
        }
        return ok;
    }
    std::optional<Bytes> read(uint32_t pipe, size_t length) {
        Bytes space(length, 0xEE);
        uint32_t returned = 0xFFFF;
        if (!call(ioctl::bulk_read, pipe_number(pipe), space, returned)) return std::nullopt;
        space.resize(returned);
        return space;
    }
};

TEST(Driver, PipesAreTheEndpointsOfInterfaceZeroInOrder) {
    Board b;
    const auto pipes = b.driver.pipes();
    ASSERT_EQ(pipes.size(), 14u);
    const uint8_t order[14] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                               0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87};
    for (size_t i = 0; i < 14; ++i) EXPECT_EQ(pipes[i].address, order[i]) << "pipe " << i;

    // Each OUT pipe reaches its endpoint.
    for (uint32_t pipe = 0; pipe < 7; ++pipe) ASSERT_TRUE(b.write(pipe, {uint8_t(pipe)}));
    for (uint8_t ep = 1; ep <= 7; ++ep) {
        ASSERT_EQ(b.dev.endpoints[ep].received.size(), 1u) << "EP" << int(ep);
        EXPECT_EQ(b.dev.endpoints[ep].received[0], Bytes{uint8_t(ep - 1)});
    }
    // Pipe 7 is EP1 IN (interrupt), pipes 8 to 13 are EP2 to EP7 IN.
    for (uint8_t ep = 1; ep <= 7; ++ep) b.dev.endpoints[uint8_t(0x80 | ep)].to_send.push_back({ep});
    EXPECT_EQ(b.read(7, 64), Bytes{1});
    for (uint32_t pipe = 8; pipe < 14; ++pipe) EXPECT_EQ(b.read(pipe, 64), Bytes{uint8_t(pipe - 6)});

    uint32_t returned = 0;
    Bytes none;
    EXPECT_FALSE(b.write(14, {1}));
    EXPECT_FALSE(b.read(14, 1));
    EXPECT_FALSE(b.write(8, {1})) << "a write on an IN pipe";
    EXPECT_FALSE(b.read(0, 1)) << "a read on an OUT pipe";
    EXPECT_FALSE(b.call(ioctl::bulk_read, {8, 0, 0}, none, returned)) << "a short pipe number";
}

TEST(Driver, BulkReadReportsTheBytesReceived) {
    Board b;
    b.dev.endpoints[0x82].to_send = {Bytes(64, 7), Bytes(3, 9)};
    const auto got = b.read(8, 32768);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size(), 67u);
    // Nothing comes: the read fails after the transfer timeout, having reported nothing.
    b.dev.endpoints[0x82].nak = true;
    const vboard::usb::clock_t start = b.host.now();
    EXPECT_FALSE(b.read(8, 1));
    EXPECT_EQ(b.host.now() - start, 5000 * ms);
}

TEST(Driver, StringReadUsesTheRecordsLanguageId) {
    Board b;
    b.dev.strings[1][0x0409] = fake::string_descriptor(u"NEBU");
    b.dev.strings[1][0x001B] = fake::string_descriptor(u"lang 1b");
    b.dev.strings[1][0x0000] = fake::string_descriptor(u"zero");
    for (auto [language, text] : {std::pair{0x0409, u"NEBU"}, {0x001B, u"lang 1b"}, {0x0000, u"zero"}}) {
        Bytes reply(130, 0);
        uint32_t returned = 0;
        ASSERT_TRUE(b.call(ioctl::get_string, {1, 0xCC, uint8_t(language), uint8_t(language >> 8)},
                           reply, returned));
        const Bytes expected = fake::string_descriptor(text);
        EXPECT_EQ(returned, expected.size());
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + returned), expected);
        const SetupPacket s = b.dev.setups().back();
        EXPECT_EQ(s.value, 0x0301);
        EXPECT_EQ(s.index, language);
        EXPECT_EQ(s.length, 130);
    }
    // A smaller buffer asks for less; a missing string fails.
    Bytes small(4, 0);
    uint32_t returned = 0;
    ASSERT_TRUE(b.call(ioctl::get_string, {1, 0, 0x09, 0x04}, small, returned));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(b.dev.setups().back().length, 4);
    Bytes reply(130, 0);
    EXPECT_FALSE(b.call(ioctl::get_string, {7, 0, 0x09, 0x04}, reply, returned));
    EXPECT_FALSE(b.call(ioctl::get_string, {1, 0, 0x09}, reply, returned));
}

TEST(Driver, DownloadWritesExactlyTheImageFromAddressZero) {
    Board b;
    std::mt19937 random(5);
    Bytes image(4096);
    for (auto& byte : image) byte = uint8_t(random());
    Bytes none;
    uint32_t returned = 0;
    ASSERT_TRUE(b.call(ioctl::download, image, none, returned));
    ASSERT_EQ(b.dev.loader_writes.size(), 4u);
    Bytes written;
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(b.dev.loader_writes[i].address, i * Driver::download_chunk);
        written.insert(written.end(), b.dev.loader_writes[i].data.begin(),
                       b.dev.loader_writes[i].data.end());
    }
    EXPECT_EQ(written, image);
    for (const SetupPacket& s : b.dev.setups()) EXPECT_EQ(s.request_type, 0x40);

    b.dev.loader_writes.clear();
    const Bytes odd(image.begin(), image.begin() + 1500);
    ASSERT_TRUE(b.call(ioctl::download, odd, none, returned));
    ASSERT_EQ(b.dev.loader_writes.size(), 2u);
    EXPECT_EQ(b.dev.loader_writes[1].address, 1024);
    EXPECT_EQ(b.dev.loader_writes[1].data, Bytes(odd.begin() + 1024, odd.end()));

    b.dev.loader_writes.clear();
    b.dev.stall_request = [](const SetupPacket& s) { return s.value == 2048; };
    EXPECT_FALSE(b.call(ioctl::download, image, none, returned));
    EXPECT_EQ(b.dev.loader_writes.size(), 2u);  // stopped at the refused chunk
}

TEST(Driver, VendorRequestRecordBecomesTheLoadersCpucsWrite) {
    Board b;
    Bytes none;
    uint32_t returned = 0;
    for (uint8_t data : {1, 0}) {
        const Bytes record = {0xA0, 0x00, 0x92, 0x7F, 0x00, 0x00, 0x01, 0x00, 0x00, data};
        ASSERT_TRUE(b.call(ioctl::vendor_request, record, none, returned));
        EXPECT_EQ(b.dev.setups().back(), (SetupPacket{0x40, 0xA0, 0x7F92, 0, 1}));
        ASSERT_FALSE(b.dev.loader_writes.empty());
        EXPECT_EQ(b.dev.loader_writes.back().address, 0x7F92);
        EXPECT_EQ(b.dev.loader_writes.back().data, Bytes{data});
    }
    EXPECT_FALSE(b.call(ioctl::vendor_request, {0xA0, 0, 0x92, 0x7F}, none, returned));
    // Direction 1 reads into the output buffer.
    Bytes out(4, 0);
    ASSERT_TRUE(b.call(ioctl::vendor_request, {0xA0, 0, 0, 0x10, 0, 0, 4, 0, 1, 0}, out, returned));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(b.dev.setups().back().request_type, 0xC0);
}

TEST(Driver, ResetPipeClearsTheHaltAndTheToggle) {
    Board b;
    b.dev.endpoints[0x82].to_send.push_back({1});
    ASSERT_TRUE(b.read(8, 64));
    EXPECT_EQ(b.host.toggle(0x82), vboard::usb::DataPid::data1);
    b.dev.endpoints[0x02].stalled = true;
    EXPECT_FALSE(b.write(1, {1}));
    EXPECT_TRUE(b.host.halted(0x02));

    Bytes none;
    uint32_t returned = 0;
    ASSERT_TRUE(b.call(ioctl::reset_pipe, pipe_number(8), none, returned));
    EXPECT_EQ(b.dev.setups().back(), (SetupPacket{0x02, 0x01, 0, 0x82, 0}));
    EXPECT_EQ(b.host.toggle(0x82), vboard::usb::DataPid::data0);
    ASSERT_TRUE(b.call(ioctl::reset_pipe, pipe_number(1), none, returned));
    EXPECT_FALSE(b.host.halted(0x02));
    EXPECT_TRUE(b.write(1, {1}));
    EXPECT_FALSE(b.call(ioctl::reset_pipe, pipe_number(99), none, returned));
}

TEST(Driver, HandlesLiveFromEnumerationToDetach) {
    FakeDevice dev;
    Host host(dev);
    Driver driver(host);
    EXPECT_FALSE(driver.open(0)) << "nothing on the bus";
    dev.set_attached(true);
    host.wait(100);
    EXPECT_FALSE(driver.open(0)) << "not yet enumerated";
    ASSERT_TRUE(host.wait_enumerated(1000));
    EXPECT_FALSE(driver.open(1)) << "one device number per board";
    const auto first = driver.open(0);
    ASSERT_TRUE(first);

    Bytes reply(130);
    uint32_t returned = 0;
    EXPECT_TRUE(driver.io_control(*first, ioctl::get_string, Bytes{0, 0, 9, 4}, reply, returned));
    EXPECT_FALSE(driver.io_control(*first, 0x00222000, {}, {}, returned)) << "unknown code";
    EXPECT_NE(driver.last_error().find("0x00222000"), std::string::npos);

    dev.set_attached(false);
    host.wait(2);
    EXPECT_FALSE(driver.io_control(*first, ioctl::get_string, Bytes{0, 0, 9, 4}, reply, returned));
    dev.set_attached(true);
    ASSERT_TRUE(host.wait_enumerated(1000));
    EXPECT_FALSE(driver.io_control(*first, ioctl::get_string, Bytes{0, 0, 9, 4}, reply, returned))
        << "the handle belongs to the device that left";
    const auto second = driver.open(0);
    ASSERT_TRUE(second);
    EXPECT_TRUE(driver.io_control(*second, ioctl::get_string, Bytes{0, 0, 9, 4}, reply, returned));
    driver.close(*second);
    EXPECT_FALSE(driver.io_control(*second, ioctl::get_string, Bytes{0, 0, 9, 4}, reply, returned));
    EXPECT_EQ(driver.open_handles(), 1u);
}

TEST(Descriptors, MalformedConfigurationsAreRefused) {
    std::string error;
    Bytes good = fake::firmware_configuration();
    ASSERT_TRUE(parse_configuration(good, error));
    Bytes overrun = good;
    overrun[9 + 9] = 0x40;  // the first endpoint claims 64 bytes
    EXPECT_FALSE(parse_configuration(overrun, error));
    EXPECT_NE(error.find("overruns"), std::string::npos);
    Bytes zero = good;
    zero[9 + 9] = 0;
    EXPECT_FALSE(parse_configuration(zero, error));
    EXPECT_FALSE(parse_configuration(Bytes(good.begin(), good.begin() + 50), error));
    Bytes orphan = {0x09, 0x02, 0x10, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,
                    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00};
    EXPECT_FALSE(parse_configuration(orphan, error));
}

}  // namespace
