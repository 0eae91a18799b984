// The whole card tool against the driver double: what it prints, its exit
// status, and the scripts and streams it sends.

#include "card_tool/card_tool.h"
#include "cusb/cusb.h"
#include "nebu.h"
#include "winapi/driver_double.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using winapi::Bytes;
using winapi::CallKind;
using winapi::DriverDouble;
using winapi::Reply;

const std::string banner =
    "\nXilinx SpartanII Vodadizarad with Cypress EZ-USB\n"
    "card_tool " NEBU_VERSION " (nebu board tools)\n";

const Bytes setup_script{0x00, 0x14, 0x07, 0xF1, 0x12, 0x24};
const Bytes id_script{0x31, 0x90, 0x32, 0x00, 0x40, 0x40, 0x40, 0x14};
const Bytes ext_id_script{0x31, 0x91, 0x32, 0x00, 0x40, 0x14};

struct Outcome {
    std::string printed;
    int status;
};

class CardTool : public ::testing::Test {
public:
    void SetUp() override
    {
        card_tool_reset();
        drv.serve_string(1, u"NEBU").serve_string(2, u"Z100");
        drv.fallback(cusb::ioctl_vendor_request, Reply::ok({0x00}));  // the engine reset's byte
    }
    void TearDown() override { card_tool_reset(); }

    // Queues the board's next reply on the reply pipe.
    CardTool& board_replies(Bytes bytes)
    {
        drv.reply(cusb::ioctl_bulk_read, Reply::ok(std::move(bytes)));
        return *this;
    }

    Outcome run()
    {
        ::testing::internal::CaptureStdout();
        const int status = card_tool_run();
        return {::testing::internal::GetCapturedStdout(), status};
    }

    // Scripts sent on the command pipe, in order.
    std::vector<Bytes> scripts() const
    {
        std::vector<Bytes> sent;
        for (const auto& c : drv.calls_of(cusb::ioctl_bulk_write))
            if (c.pipe() == command_pipe)
                sent.push_back(c.sent);
        return sent;
    }

    DriverDouble drv;
    winapi::ScopedBackend scope{drv};
};

// ---- success

TEST_F(CardTool, PlainIdIsPrintedWithExtZero)
{
    board_replies({0x08}).board_replies({0xEC, 0x73, 0x12});
    const Outcome o = run();
    EXPECT_EQ(o.printed, banner + "Setup EZ-USB\n"
                                  "Maker ec , Device 73 , Opt1 12 , Opt2 12 , ext 00\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_THAT(drv.trace(),
                ElementsAre("open \\\\.\\ezusb-0", "get_string 1", "get_string 2",
                            "vendor_request engine_reset", "reset_pipe 0", "reset_pipe 1",
                            "reset_pipe 8", "bulk_write pipe 0: 6", "bulk_read pipe 8: 64",
                            "bulk_write pipe 0: 8", "bulk_read pipe 8: 64", "close"));
    EXPECT_THAT(scripts(), ElementsAre(setup_script, id_script));
}

TEST_F(CardTool, ThirdByteC0ReadsOneMoreByte)
{
    board_replies({0x08}).board_replies({0x98, 0x75, 0xC0}).board_replies({0xA5});
    const Outcome o = run();
    EXPECT_EQ(o.printed, banner + "Setup EZ-USB\n"
                                  "Maker 98 , Device 75 , Opt1 c0 , Opt2 c0 , ext a5\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_THAT(scripts(), ElementsAre(setup_script, id_script, ext_id_script));
    const auto reads = drv.calls_of(cusb::ioctl_bulk_read);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[2].out_length, 64u);  // room for any reply: a longer one shows
    EXPECT_EQ(drv.trace().back(), "close");
}

TEST_F(CardTool, CardPresentIsBit3Alone)
{
    for (unsigned char levels : {0x08, 0x0F, 0xFF}) {
        card_tool_reset();
        DriverDouble board;
        winapi::ScopedBackend inner{board};
        board.serve_string(1, u"NEBU").serve_string(2, u"Z100");
        board.fallback(cusb::ioctl_vendor_request, Reply::ok({0x00}));
        board.reply(cusb::ioctl_bulk_read, Reply::ok({levels}))
            .reply(cusb::ioctl_bulk_read, Reply::ok({1, 2, 3}));
        EXPECT_EQ(run().status, 0) << "port C levels " << int{levels};
    }
}

TEST_F(CardTool, BoardWithOtherFirmwareGetsOursFirst)
{
    drv.serve_string(2, u"Z000").open_results({true, false, false});
    board_replies({0x08}).board_replies({0xEC, 0x73, 0x12});
    const Outcome o = run();
    EXPECT_EQ(o.printed, banner + "Setup EZ-USB\n"
                                  "Maker ec , Device 73 , Opt1 12 , Opt2 12 , ext 00\n");
    EXPECT_EQ(o.status, 0);
    const auto download = drv.calls_of(cusb::ioctl_download);
    ASSERT_EQ(download.size(), 1u);
    EXPECT_EQ(download[0].input, Bytes(fw_bin, fw_bin + sizeof fw_bin));
    EXPECT_EQ(drv.sleeps(), (std::vector<DWORD>{2000, 2000, 2000}));
    // The scripts go to the reopened board.
    for (const auto& c : drv.calls_of(cusb::ioctl_bulk_write))
        EXPECT_EQ(c.connection, 2u);
}

TEST_F(CardTool, BoardThatCannotResetItsEngineGetsOurImageAfresh)
{
    // Our strings, but the engine reset is stalled: halt, download, run, and
    // the reset once more on the reopened board.
    drv.reply(cusb::ioctl_vendor_request, Reply::fail())
        .reply(cusb::ioctl_vendor_request, Reply::ok())
        .reply(cusb::ioctl_vendor_request, Reply::ok());
    board_replies({0x08}).board_replies({0xEC, 0x73, 0x12});
    const Outcome o = run();
    EXPECT_EQ(o.printed, banner + "Setup EZ-USB\n"
                                  "Maker ec , Device 73 , Opt1 12 , Opt2 12 , ext 00\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_THAT(drv.trace(),
                ElementsAre("open \\\\.\\ezusb-0", "get_string 1", "get_string 2",
                            "vendor_request engine_reset -> fail", "vendor_request CPUCS=1",
                            "download 4096", "vendor_request CPUCS=0", "close", "sleep 2000",
                            "open \\\\.\\ezusb-0", "vendor_request engine_reset", "reset_pipe 0",
                            "reset_pipe 1", "reset_pipe 8", "bulk_write pipe 0: 6",
                            "bulk_read pipe 8: 64", "bulk_write pipe 0: 8", "bulk_read pipe 8: 64",
                            "close"));
}

// ---- failures

struct FailureCase {
    const char* name;
    void (*script)(DriverDouble&);
    std::string printed;   // after the banner
    int closes;            // handles closed before exit (true: the one open handle)
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

void id_replies_fail_on(DriverDouble& d, int read)
{
    // Card present, then the ID replies with read number `read` (1: ID, 2: ext) failing.
    d.reply(cusb::ioctl_bulk_read, Reply::ok({0x08}));
    d.reply(cusb::ioctl_bulk_read, read == 1 ? Reply::fail() : Reply::ok({0x98, 0x75, 0xC0}));
    if (read == 2)
        d.reply(cusb::ioctl_bulk_read, Reply::fail());
}

const FailureCase failure_cases[] = {
    {"no board", [](DriverDouble& d) { d.open_results({}, false); },
     "Setup EZ-USB\nCan't found EZ-USB\n", false},
    {"string 1 unreadable", [](DriverDouble& d) { d.reply(cusb::ioctl_get_string, Reply::fail()); },
     "Setup EZ-USB\nCan't found EZ-USB\n", false},
    {"string 2 unreadable",
     [](DriverDouble& d) {
         d.reply(cusb::ioctl_get_string, Reply::ok(winapi::string_descriptor(u"NEBU")))
             .reply(cusb::ioctl_get_string, Reply::fail());
     },
     "Setup EZ-USB\nCan't found EZ-USB\n", false},
    {"halt fails",
     [](DriverDouble& d) { d.serve_string(1, u"").reply(cusb::ioctl_vendor_request, Reply::fail()); },
     "Setup EZ-USB\ni8051 halt err.\nCan't found EZ-USB\n", false},
    {"download fails",
     [](DriverDouble& d) { d.serve_string(1, u"").reply(cusb::ioctl_download, Reply::fail()); },
     "Setup EZ-USB\nusb dwnload err.\nCan't found EZ-USB\n", false},
    {"run fails",
     [](DriverDouble& d) {
         d.serve_string(1, u"")
             .reply(cusb::ioctl_vendor_request, Reply::ok())
             .reply(cusb::ioctl_vendor_request, Reply::fail());
     },
     "Setup EZ-USB\ni8051 run err.\nCan't found EZ-USB\n", false},
    {"engine reset refused even by a fresh image",
     [](DriverDouble& d) { d.fallback(cusb::ioctl_vendor_request, Reply::fail()); },
     "Setup EZ-USB\ni8051 halt err.\nCan't found EZ-USB\n", true},
    {"engine reset answers no byte",
     [](DriverDouble& d) {
         d.fallback(cusb::ioctl_vendor_request, Reply::ok()).reply(cusb::ioctl_download, Reply::fail());
     },
     "Setup EZ-USB\nusb dwnload err.\nCan't found EZ-USB\n", true},
    {"pipe reset fails twice",
     [](DriverDouble& d) { d.fallback(cusb::ioctl_reset_pipe, Reply::fail()); },
     "Setup EZ-USB\nCan't found EZ-USB\n", 2},  // the old handle at the reload, then the new
    {"set-up reply too long",
     [](DriverDouble& d) { d.reply(cusb::ioctl_bulk_read, Reply::ok({0x08, 0x08})); },
     "Setup EZ-USB\nSetup reply err.\n", true},
    {"ID reply too long",
     [](DriverDouble& d) {
         d.reply(cusb::ioctl_bulk_read, Reply::ok({0x08}))
             .reply(cusb::ioctl_bulk_read, Reply::ok({0x98, 0x75, 0x12, 0x00}));
     },
     "Setup EZ-USB\nID read err.\n", true},
    {"ext reply too long",
     [](DriverDouble& d) {
         d.reply(cusb::ioctl_bulk_read, Reply::ok({0x08}))
             .reply(cusb::ioctl_bulk_read, Reply::ok({0x98, 0x75, 0xC0}))
             .reply(cusb::ioctl_bulk_read, Reply::ok({0xA5, 0xA5, 0xA5}));
     },
     "Setup EZ-USB\nID read err.\n", true},
    {"no card", [](DriverDouble& d) { d.reply(cusb::ioctl_bulk_read, Reply::ok({0xF7})); },
     "Setup EZ-USB\nNo Media\n", true},
    {"set-up reply read fails",
     [](DriverDouble& d) { d.reply(cusb::ioctl_bulk_read, Reply::fail()); },
     "Setup EZ-USB\nNo Media\n", true},
    {"set-up reply empty", [](DriverDouble& d) { d.reply(cusb::ioctl_bulk_read, Reply::ok()); },
     "Setup EZ-USB\nNo Media\n", true},
    {"set-up script write fails",
     [](DriverDouble& d) {
         d.reply(cusb::ioctl_bulk_write, Reply::fail()).reply(cusb::ioctl_bulk_read, Reply::ok({0x00}));
     },
     "Setup EZ-USB\nNo Media\n", true},
    {"ID script write fails",
     [](DriverDouble& d) {
         d.reply(cusb::ioctl_bulk_write, Reply::ok()).reply(cusb::ioctl_bulk_write, Reply::fail());
         d.reply(cusb::ioctl_bulk_read, Reply::ok({0x08}))
             .reply(cusb::ioctl_bulk_read, Reply::ok({0x98, 0x75, 0x12}));
     },
     "Setup EZ-USB\nID read err.\n", true},
    {"ID reply read fails", [](DriverDouble& d) { id_replies_fail_on(d, 1); },
     "Setup EZ-USB\nID read err.\n", true},
    {"ID reply short",
     [](DriverDouble& d) {
         d.reply(cusb::ioctl_bulk_read, Reply::ok({0x08}))
             .reply(cusb::ioctl_bulk_read, Reply::ok({0x98, 0x75}));
     },
     "Setup EZ-USB\nID read err.\n", true},
    {"ext script write fails",
     [](DriverDouble& d) {
         d.reply(cusb::ioctl_bulk_write, Reply::ok())
             .reply(cusb::ioctl_bulk_write, Reply::ok())
             .reply(cusb::ioctl_bulk_write, Reply::fail());
         d.reply(cusb::ioctl_bulk_read, Reply::ok({0x08}))
             .reply(cusb::ioctl_bulk_read, Reply::ok({0x98, 0x75, 0xC0}))
             .reply(cusb::ioctl_bulk_read, Reply::ok({0xA5}));
     },
     "Setup EZ-USB\nID read err.\n", true},
    {"ext reply read fails", [](DriverDouble& d) { id_replies_fail_on(d, 2); },
     "Setup EZ-USB\nID read err.\n", true},
    {"ext reply empty",
     [](DriverDouble& d) {
         d.reply(cusb::ioctl_bulk_read, Reply::ok({0x08}))
             .reply(cusb::ioctl_bulk_read, Reply::ok({0x98, 0x75, 0xC0}))
             .reply(cusb::ioctl_bulk_read, Reply::ok());
     },
     "Setup EZ-USB\nID read err.\n", true},
};

class CardToolFailure : public CardTool, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(CardToolFailure, PrintsItsMessagesAndExitsWithOne)
{
    const FailureCase& c = GetParam();
    c.script(drv);
    const Outcome o = run();
    EXPECT_EQ(o.printed, banner + c.printed);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(drv.count(CallKind::close), c.closes);
    if (c.closes) {
        EXPECT_EQ(drv.trace().back(), "close");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CardToolFailure, ::testing::ValuesIn(failure_cases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p != '\0'; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p)))
                                     name += *p;
                             return name;
                         });

TEST_F(CardTool, FailedStartForgetsTheHandle)
{
    drv.reply(cusb::ioctl_get_string, Reply::fail());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(ezusb_init(), 2);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(usb_h, nullptr);
}

// ---- the host end of a stream

class CardToolStream : public CardTool {
protected:
    void SetUp() override
    {
        CardTool::SetUp();
        ::testing::internal::CaptureStdout();
        const int started = ezusb_init();
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(started, 0);
    }
};

TEST_F(CardToolStream, HeaderAnnouncesTheLengthThenTheDataFollows)
{
    const struct {
        int mode;
        int length;
        Bytes header;
    } cases[] = {
        {0x0, 0, {0x50, 0x00, 0x00, 0x00}},
        {0x3, 1, {0x53, 0x01, 0x00, 0x00}},
        {0x1F, 64, {0x5F, 0x00, 0x01, 0x00}},
        {0x4, 100000, {0x54, 0x20, 0x1A, 0x06}},
        {-1, 4194303, {0x5F, 0x3F, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        DriverDouble board;
        winapi::ScopedBackend inner{board};
        ASSERT_EQ(usb_open(0, &usb_h), 0);
        Bytes data(static_cast<std::size_t>(c.length));
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<unsigned char>(i ^ (i >> 8));
        EXPECT_EQ(usb_fwrite(c.mode, data.data(), c.length), 0) << c.length;

        const auto writes = board.calls_of(cusb::ioctl_bulk_write);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes[0].pipe(), command_pipe);
        EXPECT_EQ(writes[0].sent, c.header) << "mode " << c.mode << " length " << c.length;
        Bytes streamed;
        for (std::size_t i = 1; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].pipe(), stream_pipe);
            streamed.insert(streamed.end(), writes[i].sent.begin(), writes[i].sent.end());
        }
        EXPECT_EQ(streamed, data) << "length " << c.length;
    }
}

TEST_F(CardToolStream, LengthsTheHeaderCannotCarryAreRefused)
{
    const unsigned char data[1] = {0};
    for (int length : {4194304, 4194305, INT_MAX, -1, INT_MIN})
        EXPECT_EQ(usb_fwrite(0, data, length), -1) << length;
    EXPECT_EQ(drv.calls_of(cusb::ioctl_bulk_write).size(), 0u);
}

TEST_F(CardToolStream, ResultIsTheDataWrites)
{
    const Bytes data(100, 0x5A);
    drv.reply(cusb::ioctl_bulk_write, Reply::ok()).reply(cusb::ioctl_bulk_write, Reply::fail());
    EXPECT_EQ(usb_fwrite(0, data.data(), 100), -1);
    // The header's own result is not looked at.
    drv.reply(cusb::ioctl_bulk_write, Reply::fail()).reply(cusb::ioctl_bulk_write, Reply::ok());
    EXPECT_EQ(usb_fwrite(0, data.data(), 100), 0);
}

}  // namespace
