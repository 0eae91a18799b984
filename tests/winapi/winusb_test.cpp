// The Windows tool's WinUSB mapping (winapi/winusb_boards.h), the same code as
// on Windows, driven by the host link's own calls against virtual boards
// behind the WinUSB seam (vboard/inproc/inproc_winusb.h); streams are compared
// with the driver model's answers on an identical board.
#include "card_tool/card_tool.h"
#include "cusb/cusb.h"
#include "inproc/inproc_backend.h"
#include "inproc/inproc_winusb.h"
#include "winapi/boards.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using ::testing::Contains;
using ::testing::ElementsAreArray;
using vboard::inproc::InProcessWinusb;
using Bytes = std::vector<unsigned char>;

const std::string port2 = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
const std::string port10 = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(10)";

vboard::serve::BoardOptions loaded()
{
    vboard::serve::BoardOptions options;
    options.firmware_loaded = true;
    return options;
}

// Device 0 is the bare board at port 2, ahead of the loaded one at port 10
// (added first; as text, "10" would come first). The bare board comes back
// only after the first 2-second retry, when the other board is the only one
// listed: the reopen waits for port 2 instead of taking port 10.
TEST(WinusbTool, LoadsTheFirstBoardByPortAndReopensItByItsKey)
{
    card_tool_reset();
    InProcessWinusb boards;
    boards.add(loaded(), port10);
    vboard::host::TimingProfile slow;
    slow.attach_debounce_ms = 1000;
    boards.add({}, port2, slow);
    winapi::ScopedBackend scope(boards.backend());
    const std::vector<winapi::BoardEntry> listed = winapi::list_boards();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].reached, "WinUSB " + port2);
    EXPECT_EQ(listed[1].reached, "WinUSB " + port10);
    EXPECT_EQ(listed[1].product_id, 0x2131);

    ::testing::internal::CaptureStdout();
    const int status = card_tool_run();
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(printed, ::testing::EndsWith("Setup EZ-USB\nMaker ec , Device 75 , Opt1 a5 , Opt2 a5 , ext 00\n"));
    EXPECT_EQ(status, 0);

    std::vector<std::string> expected{"open " + port2, "control 80 06 0301 001b 130",
                                      "control 80 06 0302 001b 130", "control 40 a0 7f92 0000 1",
                                      "control 40 a0 0000 0000 1024", "control 40 a0 0400 0000 1024",
                                      "control 40 a0 0800 0000 1024", "control 40 a0 0c00 0000 1024",
                                      "control 40 a0 7f92 0000 1", "close", "open " + port2,
                                      "control c0 b0 4e45 0000 1"};
    for (const char* endpoint : {"01", "02", "82"})
        for (const std::string& line : {"control 02 01 0000 00" + std::string(endpoint) + " 0",
                                        "reset " + std::string(endpoint)})
            expected.push_back(line);
    for (const char* line : {"write 01 6", "read 82 64: 1", "write 01 8", "read 82 64: 3", "close"})
        expected.push_back(line);
    EXPECT_THAT(boards.calls(), ElementsAreArray(expected));
}

// Stream headers: 0x50 | 4 host to bus, 0x60 | 4 bus to host; the length as
// bits 5..0, 13..6, 21..14.
Bytes header(unsigned char op, int length)
{
    return {static_cast<unsigned char>(op | 0x04), static_cast<unsigned char>(length & 0x3F),
            static_cast<unsigned char>(length >> 6), static_cast<unsigned char>(length >> 14)};
}

struct Stream {
    bool to_host;
    int length;       // announced in the header
    int read_length;  // the space the host reads into (to host)
};

// What the host link gets for one stream: the count, then the bytes.
Bytes run_stream(const Stream& s)
{
    HANDLE h = nullptr;
    if (usb_open(0, &h) != 0)
        return {};
    const Bytes head = header(s.to_host ? 0x60 : 0x50, s.length);
    Bytes data(static_cast<std::size_t>(std::max(s.length, s.read_length)), 0x5A);
    int result = usb_bulk_write(&h, command_pipe, head.data(), static_cast<int>(head.size()));
    if (result == 0)
        result = s.to_host ? usb_bulk_read(&h, reply_pipe, data.data(), s.read_length)
                           : usb_bulk_write(&h, stream_pipe, data.data(), s.length);
    usb_close(&h);
    data.resize(static_cast<std::size_t>(std::max(result, 0)));
    data.insert(data.begin(), static_cast<unsigned char>(result));
    return data;
}

class WinusbStream : public ::testing::TestWithParam<Stream> {};

TEST_P(WinusbStream, MovesWhatTheDriverMoves)
{
    const Stream s = GetParam();
    vboard::inproc::InProcessBackend driver(loaded());
    Bytes by_driver;
    {
        winapi::ScopedBackend scope(driver);
        by_driver = run_stream(s);
    }
    InProcessWinusb boards;
    boards.add(loaded(), port2);
    winapi::ScopedBackend scope(boards.backend());
    const Bytes by_winusb = run_stream(s);
    EXPECT_EQ(by_winusb.size(), by_driver.size());
    EXPECT_TRUE(by_winusb == by_driver) << "bytes differ";

    // One pipe call per chunk of at most 32,768 bytes; a short one ends a read.
    const int moved = s.to_host ? std::min(s.length, s.read_length) : s.length;
    std::vector<std::string> chunks;
    for (int at = 0, left = s.to_host ? s.read_length : s.length; left > 0;) {
        const int chunk = std::min(left, cusb::max_chunk);
        const int got = std::min(chunk, moved - at);
        chunks.push_back(s.to_host ? "read 82 " + std::to_string(chunk) + ": " + std::to_string(got)
                                   : "write 02 " + std::to_string(chunk));
        if (got < chunk)
            break;
        at += chunk;
        left -= chunk;
    }
    std::vector<std::string> pipe_calls;
    for (const std::string& line : boards.calls())
        if (line.starts_with("read") || line.starts_with("write 02"))
            pipe_calls.push_back(line);
    EXPECT_THAT(pipe_calls, ElementsAreArray(chunks));
}

INSTANTIATE_TEST_SUITE_P(Lengths, WinusbStream,
                         ::testing::Values(Stream{true, 1, 1}, Stream{true, 32'768, 32'768},
                                           Stream{true, 32'769, 32'769}, Stream{true, 100, 40'000},
                                           Stream{true, 4'194'303, 4'194'303}, Stream{false, 1, 0},
                                           Stream{false, 4'194'303, 0}),
                         [](const auto& info) {
                             return std::string(info.param.to_host ? "ToHost" : "ToBus") +
                                    std::to_string(info.param.length) + "Into" +
                                    std::to_string(info.param.read_length);
                         });

// A halt on the reply pipe fails the read; the reset clears it on both sides.
TEST(WinusbPipe, StalledReplyPipeWorksAgainAfterItsReset)
{
    InProcessWinusb boards;
    vboard::serve::Session& board = boards.add(loaded(), port2);
    winapi::ScopedBackend scope(boards.backend());
    HANDLE h = nullptr;
    ASSERT_EQ(usb_open(0, &h), 0);
    board.host().control({0x02, 3, 0, 0x82, 0});  // SET_FEATURE(ENDPOINT_HALT)
    const Bytes setup_script{0x00, 0x14, 0x07, 0xF1, 0x12, 0x24};
    unsigned char reply[64];
    EXPECT_EQ(usb_bulk_write(&h, command_pipe, setup_script.data(), 6), 0);
    EXPECT_EQ(usb_bulk_read(&h, reply_pipe, reply, 64), -1);
    EXPECT_EQ(usb_resetpipe(&h, reply_pipe), 0);
    EXPECT_EQ(usb_bulk_read(&h, reply_pipe, reply, 64), 1);
    EXPECT_THAT(boards.calls(), Contains("control 02 01 0000 0082 0"));
    usb_close(&h);
}

// The board leaves in the middle of a 4 MiB read: the read fails at once,
// every later call on the handle fails, and it cannot be opened again.
TEST(WinusbPipe, BoardThatLeavesMidTransferFailsEveryCall)
{
    InProcessWinusb boards;
    boards.add(loaded(), port2);
    boards.before_transfer = [&](std::size_t count) {
        if (count == 4) boards.unplug(0);
    };
    winapi::ScopedBackend scope(boards.backend());
    HANDLE h = nullptr;
    ASSERT_EQ(usb_open(0, &h), 0);
    const Bytes head = header(0x60, 4'194'303);
    Bytes data(4'194'303);
    ASSERT_EQ(usb_bulk_write(&h, command_pipe, head.data(), 4), 0);
    EXPECT_EQ(usb_bulk_read(&h, reply_pipe, data.data(), 4'194'303), -1);
    char text[65];
    EXPECT_EQ(usb_get_string(&h, 1, text), -1);
    EXPECT_EQ(usb_close(&h), 0);
    EXPECT_EQ(usb_open(0, &h), -1);
    EXPECT_THAT(boards.calls(),
                ElementsAreArray({"open " + port2, std::string("write 01 4"), std::string("read 82 32768: 32768"),
                                  std::string("read 82 32768: 32768"), std::string("read 82 32768: 32768"),
                                  std::string("read 82 32768 -> fail"), std::string("control 80 06 0301 001b 130 -> fail"),
                                  std::string("close")}));
}

}  // namespace
