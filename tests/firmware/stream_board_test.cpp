// The stream data path on the whole virtual board, through the host model:
// host-to-bus data compared byte for byte with the FWR# bytes the card was
// given (and with a page the card programmed from them), bus-to-host data
// with the card's own bytes read sequentially across its pages; the header's
// ignored bits, empty and stray packets, a bus reset mid-stream, and a host
// that sends more than it announced.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "engine_board.h"

namespace {

using namespace fwtest;
using vboard::controller::BusEvent;
using vboard::host::Status;
using Kind = BusEvent::Kind;

constexpr size_t page_bytes = 528;  // the default 32 MB card: 512 data + 16 spare
constexpr size_t image_pages = 256;
constexpr uint8_t deselected = 0x4;  // port C for a stream the card ignores: CE# high

constexpr uint32_t lengths[] = {0, 1, 63, 64, 65, 130, 4096, 100'003};

Bytes header(uint8_t op, uint32_t length, uint8_t ignored_bits = 0) {
    return {op, static_cast<uint8_t>((length & 0x3F) | ignored_bits), static_cast<uint8_t>(length >> 6),
            static_cast<uint8_t>(length >> 14)};
}

class FirmwareStream : public ::testing::Test {
protected:
    FirmwareStream() : image(pattern(image_pages * page_bytes, 77)), b(settings(), image_file(image)) {}
    ~FirmwareStream() override { std::remove(image_path().c_str()); }

    void SetUp() override {
        ASSERT_TRUE(b.ok()) << b.error();
        // The card tool's bus set-up: port C driven, one-cycle MOVX stretch.
        ASSERT_TRUE(b.script(Bytes{0x00, 0x14, 0x07, 0xF1, 0x12, 0x24}).ok());
        ASSERT_EQ(b.read_reply().data, Bytes{0xFC});
    }
    void TearDown() override { EXPECT_EQ(b.findings(), ""); }

    // The card as a plain byte source: streams here read straight across
    // page boundaries, where a real card would be loading the next page.
    static vboard::board::Settings settings() {
        vboard::board::Settings s;
        s.card_busy_times = false;
        return s;
    }

    // The card image, written to a file of this process's own and loaded
    // from there; the file is gone once the card holds it.
    static std::string image_path() {
        return ::testing::TempDir() + "engine_card_" + std::to_string(::getpid()) + ".img";
    }
    static std::string image_file(const Bytes& bytes) {
        std::ofstream(image_path(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return image_path();
    }

    void script(const Bytes& s) { ASSERT_TRUE(b.script(s).ok()); }

    // A page read from `column` of `page` (command 0x00, column and page
    // address with ALE), left for a bus-to-host stream to collect.
    void start_page_read(uint32_t page, uint8_t column) {
        script({0x31, 0x00, 0x32, column, 0x32, static_cast<uint8_t>(page), 0x32, static_cast<uint8_t>(page >> 8)});
    }
    Bytes card_bytes(uint32_t page, uint8_t column, size_t length) const {
        const auto from = image.begin() + static_cast<long>(page * page_bytes + column);
        return Bytes(from, from + static_cast<long>(length));
    }
    bool reply_pipe_silent() {
        const auto r = b.read_reply(64, 3);
        return r.status == Status::timeout && r.data.empty();
    }

    const Bytes image;
    EngineBoard b;
};

TEST_F(FirmwareStream, HostToBusClocksOutEveryByteInOrder) {
    for (const uint32_t length : lengths) {
        SCOPED_TRACE("L = " + std::to_string(length));
        const Bytes data = pattern(length, length);
        b.record(length + 64);
        script(header(0x50 | deselected, length));
        EXPECT_EQ(b.stream_state(), (StreamState{static_cast<uint16_t>(length / 64), uint8_t(length % 64), 1}));
        if (length) {
            ASSERT_TRUE(b.stream_out(data).ok());
        }
        EXPECT_EQ(b.strobed(Kind::fwr), data);
        EXPECT_TRUE(b.strobed(Kind::frd).empty());
        EXPECT_EQ(b.stream_state(), (StreamState{0, 0, 1}));
        // The stream is over: a packet after it is dropped.
        ASSERT_TRUE(b.stream_out(pattern(64, 1)).ok());
        EXPECT_EQ(b.strobed(Kind::fwr).size(), length);
        EXPECT_EQ(b.events().front(), (BusEvent{Kind::outc, deselected}));
        if (length) {
            EXPECT_EQ(b.events().back().width, 4) << "one-cycle MOVX stretch";
        }
        EXPECT_TRUE(reply_pipe_silent());
    }
}

TEST_F(FirmwareStream, BusToHostDeliversTheCardsBytesAcrossPages) {
    uint32_t page = 0;
    for (const uint32_t length : lengths) {
        SCOPED_TRACE("L = " + std::to_string(length));
        const uint8_t column = static_cast<uint8_t>(length * 7);
        start_page_read(page, column);
        b.record(length + 64);
        script(header(0x60, length));
        if (length) {
            const auto r = b.read_reply(length);
            ASSERT_TRUE(r.ok()) << vboard::host::status_name(r.status);
            EXPECT_TRUE(r.data == card_bytes(page, column, length));
        }
        // No zero-length packet, nothing else after the announced bytes.
        EXPECT_TRUE(reply_pipe_silent());
        EXPECT_EQ(b.strobed(Kind::frd).size(), length);
        EXPECT_TRUE(b.strobed(Kind::fwr).empty());
        EXPECT_EQ(b.stream_state(), (StreamState{0, 0, 0}));
        page += 1 + length / page_bytes;
    }
}

TEST_F(FirmwareStream, HeaderLengthIgnoresBitsSevenAndSixOfItsSecondByte) {
    const Bytes data = pattern(70, 3);
    b.record();
    script(header(0x50 | deselected, 70, 0xC0));
    EXPECT_EQ(b.stream_state(), (StreamState{1, 6, 1}));
    ASSERT_TRUE(b.stream_out(data).ok());
    EXPECT_EQ(b.strobed(Kind::fwr), data);

    start_page_read(9, 0);
    script(header(0x60, 70, 0x80));
    EXPECT_EQ(b.read_reply(200).data, card_bytes(9, 0, 70));
    EXPECT_TRUE(reply_pipe_silent());
}

TEST_F(FirmwareStream, EmptyPacketEndsTheRestAndStrobesNothing) {
    const Bytes data = pattern(130, 5);
    b.record();
    script(header(0x50 | deselected, 130));
    ASSERT_TRUE(b.stream_out(std::span(data).first(64)).ok());
    EXPECT_EQ(b.stream_state(), (StreamState{1, 2, 1}));
    ASSERT_TRUE(b.stream_out(Bytes{}).ok());
    EXPECT_EQ(b.stream_state(), (StreamState{1, 0, 1}));
    EXPECT_EQ(b.strobed(Kind::fwr).size(), 64u);
    ASSERT_TRUE(b.stream_out(std::span(data).subspan(64, 64)).ok());
    EXPECT_EQ(b.stream_state(), (StreamState{0, 0, 1}));
    ASSERT_TRUE(b.stream_out(std::span(data).subspan(128)).ok());  // the 2 bytes no longer due
    EXPECT_EQ(b.strobed(Kind::fwr), Bytes(data.begin(), data.begin() + 128));
}

// The stream contract (every packet but the last a whole 64 bytes): a
// stream written in pieces that are not whole packets loses bytes, every
// piece answered ok. The board counts each packet after a short one with no
// script between; the card tool's, the kernel's (usb-redir) and the
// campaign's writers are held to 0 in their own tests.
TEST_F(FirmwareStream, PiecesThatAreNotWholePacketsLoseBytesAndAreCounted) {
    const Bytes data = pattern(300, 3);
    b.record();
    script(header(0x50 | deselected, 300));
    ASSERT_TRUE(b.stream_out(std::span(data).first(100)).ok());  // 64, then 36 that end the rest
    ASSERT_TRUE(b.stream_out(std::span(data).subspan(100)).ok());  // 3 x 64 due, then 8 dropped
    EXPECT_EQ(b.stream_state(), (StreamState{0, 0, 1}));
    EXPECT_EQ(b.strobed(Kind::fwr), Bytes(data.begin(), data.begin() + 292));
    EXPECT_EQ(b.board.stream_packets_after_short(), 1u);
}

TEST_F(FirmwareStream, DataBeforeAnyHeaderIsDropped) {
    b.record();
    ASSERT_TRUE(b.stream_out(pattern(100, 9)).ok());
    ASSERT_TRUE(b.stream_out(Bytes{}).ok());
    EXPECT_TRUE(b.events().empty());
    EXPECT_EQ(b.stream_state(), (StreamState{0, 0, 0}));
    // After a bus-to-host stream, stream-pipe data is dropped as well.
    start_page_read(0, 0);
    script(header(0x60, 10));
    ASSERT_EQ(b.read_reply(10).data.size(), 10u);
    b.record();
    ASSERT_TRUE(b.stream_out(pattern(64, 9)).ok());
    EXPECT_TRUE(b.events().empty());
}

TEST_F(FirmwareStream, BusResetMidStreamLeavesTheStreamAsItWas) {
    const Bytes data = pattern(200, 11);
    b.record();
    script(header(0x50 | deselected, 200));
    ASSERT_TRUE(b.stream_out(std::span(data).first(64)).ok());
    const StreamState before = b.stream_state();
    EXPECT_EQ(before, (StreamState{2, 8, 1}));
    b.host.reset_port();
    ASSERT_TRUE(b.host.wait_enumerated(1000)) << b.host.enumeration_error();
    EXPECT_EQ(b.stream_state(), before);
    ASSERT_TRUE(b.stream_out(std::span(data).subspan(64)).ok());
    EXPECT_EQ(b.strobed(Kind::fwr), data);
    EXPECT_EQ(b.stream_state(), (StreamState{0, 0, 1}));
}

// Bus to host: the counts carry on through the reset; the two packets the
// reply pipe held when it came are dropped by the controller with the reset,
// and the stream goes on with the bytes after them.
TEST_F(FirmwareStream, BusResetMidBusToHostStreamLosesOnlyTheQueuedPackets) {
    start_page_read(20, 0);
    b.record();
    script(header(0x60, 1024));
    ASSERT_EQ(b.read_reply(256).data, card_bytes(20, 0, 256));
    b.host.wait(2);  // both reply buffers filled again
    EXPECT_EQ(b.stream_state(), (StreamState{10, 0, 0}));
    b.host.reset_port();
    ASSERT_TRUE(b.host.wait_enumerated(1000)) << b.host.enumeration_error();
    const Bytes all = card_bytes(20, 0, 1024);
    EXPECT_EQ(b.read_reply(1024).data, Bytes(all.begin() + 384, all.end()));
    EXPECT_EQ(b.strobed(Kind::frd).size(), 1024u);
    EXPECT_EQ(b.stream_state(), (StreamState{0, 0, 0}));
}

// A host-to-bus header may reach the firmware at any point of its main loop,
// also when the last stream ran the other way (the direction reads 0): it
// must never start a bus-to-host packet in place of the stream announced.
TEST_F(FirmwareStream, HostToBusHeaderNeverStartsAPacketTheOtherWay) {
    for (uint8_t fillers = 0; fillers < 60; ++fillers) {
        SCOPED_TRACE(int{fillers});
        start_page_read(0, 0);
        script(header(0x60, 1));
        ASSERT_EQ(b.read_reply(1).data.size(), 1u);
        // Scripts of different lengths shift where the loop stands when
        // the header arrives.
        script(Bytes(fillers, 0x80));
        const Bytes data = pattern(64, fillers);
        b.record();
        script(header(0x50 | deselected, 64));
        ASSERT_TRUE(b.stream_out(data).ok());
        EXPECT_EQ(b.strobed(Kind::fwr), data);
        EXPECT_TRUE(b.strobed(Kind::frd).empty());
        EXPECT_EQ(b.stream_state(), (StreamState{0, 0, 1}));
        ASSERT_TRUE(reply_pipe_silent());
    }
}

// More than announced: a packet, whole or short, longer than the rest that
// is due clocks out the rest alone; the stream ends and the excess is dropped.
TEST_F(FirmwareStream, HostSendingMoreThanAnnouncedClocksOutOnlyWhatIsDue) {
    struct {
        uint32_t announced;
        size_t sent;
    } cases[] = {{65, 128}, {1, 64}, {127, 192}, {64, 128}, {130, 256}, {3, 10}, {65, 74}, {130, 191}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.announced) + " announced, " + std::to_string(c.sent) + " sent");
        const Bytes data = pattern(c.sent, c.announced);
        b.record();
        script(header(0x50 | deselected, c.announced));
        ASSERT_TRUE(b.stream_out(data).ok());
        EXPECT_EQ(b.strobed(Kind::fwr), Bytes(data.begin(), data.begin() + c.announced));
        EXPECT_EQ(b.stream_state(), (StreamState{0, 0, 1}));
    }
}

// What the card received: a page programmed from a host-to-bus stream
// (command 0x80, address, 528 data bytes with both latches closed, 0x10)
// holds the stream's bytes.
TEST_F(FirmwareStream, CardProgramsAPageFromAStream) {
    const uint32_t page = 1000;
    const Bytes data = pattern(page_bytes, 21);
    script({0x31, 0x80, 0x32, 0x00, 0x32, static_cast<uint8_t>(page), 0x32, static_cast<uint8_t>(page >> 8),
            0x50, static_cast<uint8_t>(page_bytes & 0x3F), static_cast<uint8_t>(page_bytes >> 6), 0x00});
    ASSERT_TRUE(b.stream_out(data).ok());
    script({0x31, 0x10, 0x14});
    EXPECT_EQ(b.board.socket().card()->page(page), data);

    // And read back through a bus-to-host stream.
    script({0x31, 0x00, 0x32, 0x00, 0x32, static_cast<uint8_t>(page), 0x32, static_cast<uint8_t>(page >> 8),
            0x60, static_cast<uint8_t>(page_bytes & 0x3F), static_cast<uint8_t>(page_bytes >> 6), 0x00});
    EXPECT_EQ(b.read_reply(page_bytes).data, data);
}

}  // namespace
