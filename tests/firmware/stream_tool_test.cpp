// The card tool's usb_fwrite as the host end of a host-to-bus stream: the
// tool's own code, through the Windows-call stand-in and the in-process
// board (driver model, host model, board running the built firmware).
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "card_tool/card_tool.h"
#include "inproc/inproc_backend.h"

namespace {

using Bytes = std::vector<unsigned char>;
using vboard::controller::BusEvent;

Bytes pattern(size_t length, unsigned seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return bytes;
}

class FirmwareStreamTool : public ::testing::Test {
protected:
    FirmwareStreamTool() : backend(options()), scoped(backend) {}

    static vboard::serve::BoardOptions options() {
        vboard::serve::BoardOptions o;
        o.firmware_loaded = true;
        return o;
    }

    void SetUp() override {
        card_tool_reset();
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(sm_init(), 0);  // opens the board; bus set-up, card present
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Setup EZ-USB\n");
        ports().record(true, 200'000);
    }
    void TearDown() override {
        sm_end();
        std::ostringstream findings;
        board().diagnostics().print(findings);
        EXPECT_EQ(findings.str(), "");
        EXPECT_EQ(board().stream_packets_after_short(), 0u) << "a stream written in pieces, not whole packets";
    }

    vboard::board::Board& board() { return backend.session().board(); }
    // A write returns once the controller has taken the data; the firmware
    // handles the last packet right after. A millisecond covers it.
    void settle() { backend.session().host().wait(1); }
    vboard::controller::Ports& ports() { return board().ports(); }
    Bytes strobed_out() {
        Bytes out;
        for (const auto& e : ports().events())
            if (e.kind == BusEvent::Kind::fwr) out.push_back(e.value);
        return out;
    }

    vboard::inproc::InProcessBackend backend;
    winapi::ScopedBackend scoped;
};

TEST_F(FirmwareStreamTool, UsbFwriteClocksOutExactlyItsData) {
    for (const int length : {0, 1, 63, 64, 65, 130, 4096, 100'003}) {
        SCOPED_TRACE(length);
        const Bytes data = pattern(static_cast<size_t>(length), static_cast<unsigned>(length));
        ports().clear_events();
        EXPECT_EQ(usb_fwrite(0x4, data.data(), length), 0);  // card deselected
        settle();
        EXPECT_EQ(strobed_out(), data);
        ASSERT_FALSE(ports().events().empty());
        EXPECT_EQ(ports().events().front(), (BusEvent{BusEvent::Kind::outc, 0x04}));
    }
    // A length the header cannot carry is refused before anything is sent.
    ports().clear_events();
    const Bytes one(1);
    EXPECT_EQ(usb_fwrite(0x4, one.data(), max_stream_length + 1), -1);
    settle();
    EXPECT_TRUE(ports().events().empty());
}

TEST_F(FirmwareStreamTool, CardProgramsThePageTheToolStreams) {
    const Bytes data = pattern(528, 3);
    const unsigned char program[] = {0x31, 0x80, 0x32, 0x00, 0x32, 0x2A, 0x32, 0x01};  // page 0x012A
    ASSERT_EQ(usb_cpipe_write(program, sizeof program), 0);
    ASSERT_EQ(usb_fwrite(0x0, data.data(), static_cast<int>(data.size())), 0);
    const unsigned char confirm[] = {0x31, 0x10, 0x14};
    ASSERT_EQ(usb_cpipe_write(confirm, sizeof confirm), 0);
    settle();
    EXPECT_EQ(board().socket().card()->page(0x012A), data);
}

}  // namespace
