// The host link against the driver double: records on the wire, the success
// rule, chunking, string conversion and the identify-or-load sequence.

#include "cusb/cusb.h"
#include "winapi/driver_double.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using winapi::Bytes;
using winapi::CallKind;
using winapi::DriverDouble;
using winapi::Reply;

class Cusb : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(usb_open(0, &h), 0); }

    // The calls after the open made by SetUp.
    std::vector<std::string> trace() const
    {
        auto t = drv.trace();
        t.erase(t.begin());
        return t;
    }

    DriverDouble drv;
    winapi::ScopedBackend scope{drv};
    HANDLE h = nullptr;
};

Bytes counting(int n)
{
    Bytes b(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        b[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i * 7 + i / 251);
    return b;
}

std::vector<DWORD> lengths(const std::vector<winapi::Call>& calls)
{
    std::vector<DWORD> l;
    for (const auto& c : calls)
        l.push_back(c.out_length);
    return l;
}

// ---- open and close

TEST(CusbOpen, OpensTheNumberedDevicePathForWriting)
{
    DriverDouble drv;
    winapi::ScopedBackend scope{drv};
    HANDLE h = nullptr;
    EXPECT_EQ(usb_open(0, &h), 0);
    EXPECT_EQ(usb_open(12, &h), 0);
    ASSERT_EQ(drv.count(CallKind::open), 2);
    const winapi::Call& first = drv.calls()[0];
    EXPECT_EQ(first.path, "\\\\.\\ezusb-0");
    EXPECT_EQ(first.access, 0x40000000u);
    EXPECT_EQ(first.share_mode, 2u);
    EXPECT_EQ(first.disposition, 3u);
    EXPECT_EQ(first.flags, 0u);
    EXPECT_EQ(drv.calls()[1].path, "\\\\.\\ezusb-12");
}

TEST(CusbOpen, FailedOpenStoresTheInvalidHandle)
{
    DriverDouble drv;
    winapi::ScopedBackend scope{drv};
    drv.open_results({false});
    HANDLE h = nullptr;
    EXPECT_EQ(usb_open(0, &h), -1);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}

TEST_F(Cusb, CloseLeavesTheVariableAsItWas)
{
    HANDLE before = h;
    EXPECT_EQ(usb_close(&h), 0);
    EXPECT_EQ(h, before);
    EXPECT_EQ(drv.open_connections(), 0);
}

// ---- vendor requests, download, pipe reset

TEST_F(Cusb, HaltAndRunWriteCpucsThroughTheLoader)
{
    EXPECT_EQ(usb_halt(&h), 0);
    EXPECT_EQ(usb_run(&h), 0);
    const auto calls = drv.calls_of(cusb::ioctl_vendor_request);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_THAT(calls[0].input, ElementsAre(0xA0, 0x00, 0x92, 0x7F, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01));
    EXPECT_THAT(calls[1].input, ElementsAre(0xA0, 0x00, 0x92, 0x7F, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00));
    EXPECT_EQ(calls[0].out_length, 0u);
}

TEST_F(Cusb, SuccessIsTheLowByteOfTheResult)
{
    const struct {
        BOOL result;
        int expected;
    } cases[] = {{1, 0}, {0xFF, 0}, {0x101, 0}, {-1, 0}, {0, -1}, {0x100, -1}, {-256, -1}};
    for (const auto& c : cases) {
        drv.reply(cusb::ioctl_reset_pipe, Reply{c.result, {}, std::nullopt});
        EXPECT_EQ(usb_resetpipe(&h, 0), c.expected) << "driver result " << c.result;
    }
}

TEST_F(Cusb, LoadStepFailuresPrintTheirMessage)
{
    const unsigned char image[4] = {1, 2, 3, 4};
    drv.fallback(cusb::ioctl_vendor_request, Reply::fail());
    drv.fallback(cusb::ioctl_download, Reply::fail());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(usb_halt(&h), -1);
    EXPECT_EQ(usb_run(&h), -1);
    EXPECT_EQ(usb_dwnload(&h, image, 4), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "i8051 halt err.\ni8051 run err.\nusb dwnload err.\n");
}

TEST_F(Cusb, DownloadSendsTheImageAsInput)
{
    const Bytes image = counting(4096);
    EXPECT_EQ(usb_dwnload(&h, image.data(), 4096), 0);
    const auto calls = drv.calls_of(cusb::ioctl_download);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].input, image);
    EXPECT_EQ(calls[0].out_length, 0u);
}

TEST_F(Cusb, NegativeDownloadLengthIsRefused)
{
    const unsigned char image[1] = {0};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(usb_dwnload(&h, image, -1), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "usb dwnload err.\n");
    EXPECT_EQ(drv.count(CallKind::io_control), 0);
}

TEST_F(Cusb, ResetPipeSendsThePipeNumberAndPrintsNothing)
{
    drv.reply(cusb::ioctl_reset_pipe, Reply::ok()).reply(cusb::ioctl_reset_pipe, Reply::fail());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(usb_resetpipe(&h, 8), 0);
    EXPECT_EQ(usb_resetpipe(&h, 0x01020304), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    const auto calls = drv.calls_of(cusb::ioctl_reset_pipe);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_THAT(calls[0].input, ElementsAre(8, 0, 0, 0));
    EXPECT_THAT(calls[1].input, ElementsAre(4, 3, 2, 1));
}

TEST_F(Cusb, EngineResetIsOneVendorInRequestAnsweredWithOneByte)
{
    drv.reply(cusb::ioctl_vendor_request, Reply::ok({0x03}))
        .reply(cusb::ioctl_vendor_request, Reply::ok())
        .reply(cusb::ioctl_vendor_request, Reply::fail());
    unsigned char found = 0xEE;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(usb_engine_reset(&h, &found), 0);
    EXPECT_EQ(found, 0x03);
    EXPECT_EQ(usb_engine_reset(&h, nullptr), -1) << "no byte: not our firmware";
    EXPECT_EQ(usb_engine_reset(&h, &found), -1) << "stalled";
    EXPECT_EQ(found, 0x03);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    const auto calls = drv.calls_of(cusb::ioctl_vendor_request);
    ASSERT_EQ(calls.size(), 3u);
    // 0xB0, value 0x4E45, index 0, length 1, device to host.
    EXPECT_THAT(calls[0].input, ElementsAre(0xB0, 0x00, 0x45, 0x4E, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00));
    EXPECT_EQ(calls[0].out_length, 1u);
}

// ---- string descriptors

TEST_F(Cusb, StringRequestAsksForTheIndexInLanguage001B)
{
    char text[65];
    drv.serve_string(2, u"Z100");
    ASSERT_EQ(usb_get_string(&h, 2, text), 0);
    const auto calls = drv.calls_of(cusb::ioctl_get_string);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_THAT(calls[0].input, ElementsAre(2, 0, 0x1B, 0x00));
    EXPECT_EQ(calls[0].out_length, 130u);
}

TEST_F(Cusb, StringConversion)
{
    const Bytes nebu = winapi::string_descriptor(u"NEBU");
    Bytes long_claim = winapi::string_descriptor(std::u16string(70, u'x'));
    long_claim[0] = 0xFF;
    const struct {
        const char* name;
        Reply reply;
        std::string expected;
    } cases[] = {
        {"length 10", Reply::ok(nebu), "NEBU"},
        {"length 0", Reply::ok({0, 3, 'N', 0}), ""},
        {"length 1", Reply::ok({1, 3, 'N', 0}), ""},
        {"length 2", Reply::ok({2, 3, 'N', 0}), ""},
        {"length 3", Reply::ok({3, 3, 'N', 0}), ""},
        {"length 4", Reply::ok({4, 3, 'N', 0, 'E', 0}), "N"},
        {"length 5", Reply::ok({5, 3, 'N', 0, 'E', 0}), "N"},
        {"non-ASCII units give their low byte", Reply::ok(winapi::string_descriptor(u"\u00E9\u4E2D\u0141")),
         "\xE9\x2D\x41"},
        {"length beyond what was returned", Reply{1, nebu, 6}, "NE"},
        {"half a unit returned", Reply{1, nebu, 7}, "NE"},
        {"nothing returned", Reply{1, nebu, 0}, ""},
        {"header only", Reply{1, nebu, 2}, ""},
        {"length beyond the reply", Reply::ok(long_claim), std::string(64, 'x')},
        {"count beyond the reply", Reply{1, long_claim, 4000}, std::string(64, 'x')},
    };
    for (const auto& c : cases) {
        drv.reply(cusb::ioctl_get_string, c.reply);
        char text[80];
        std::memset(text, '#', sizeof text);
        ASSERT_EQ(usb_get_string(&h, 1, text), 0) << c.name;
        EXPECT_EQ(std::string(text), c.expected) << c.name;
        EXPECT_EQ(text[65], '#') << c.name << ": wrote past 65 bytes";
    }
}

TEST_F(Cusb, FailedStringRequestWritesNothing)
{
    drv.reply(cusb::ioctl_get_string, Reply{0, winapi::string_descriptor(u"NEBU"), std::nullopt});
    char text[8] = "before";
    EXPECT_EQ(usb_get_string(&h, 1, text), -1);
    EXPECT_STREQ(text, "before");
}

// ---- bulk transfers

const struct ChunkCase {
    int length;
    std::vector<DWORD> chunks;
} chunk_cases[] = {
    {-1, {}},
    {-40000, {}},
    {0, {}},
    {1, {1}},
    {64, {64}},
    {32767, {32767}},
    {32768, {32768}},
    {32769, {32768, 1}},
    {65536, {32768, 32768}},
    {100000, {32768, 32768, 32768, 1696}},
};

TEST(CusbBulk, WriteCutsIntoChunksOf32768)
{
    for (const ChunkCase& c : chunk_cases) {
        DriverDouble fresh;
        winapi::ScopedBackend inner{fresh};
        HANDLE dev = nullptr;
        ASSERT_EQ(usb_open(0, &dev), 0);
        const Bytes data = counting(c.length > 0 ? c.length : 0);
        EXPECT_EQ(usb_bulk_write(&dev, 1, data.data(), c.length), 0) << c.length;
        const auto calls = fresh.calls_of(cusb::ioctl_bulk_write);
        EXPECT_EQ(lengths(calls), c.chunks) << "length " << c.length;
        Bytes sent;
        for (const auto& call : calls) {
            EXPECT_EQ(call.pipe(), 1);
            sent.insert(sent.end(), call.sent.begin(), call.sent.end());
        }
        EXPECT_EQ(sent, data) << "length " << c.length;
    }
}

TEST(CusbBulk, ReadCutsIntoChunksOf32768)
{
    for (const ChunkCase& c : chunk_cases) {
        DriverDouble fresh;
        winapi::ScopedBackend inner{fresh};
        HANDLE dev = nullptr;
        ASSERT_EQ(usb_open(0, &dev), 0);
        const Bytes source = counting(c.length > 0 ? c.length : 0);
        std::size_t at = 0;
        for (DWORD chunk : c.chunks) {
            fresh.reply(cusb::ioctl_bulk_read,
                        Reply::ok(Bytes(source.begin() + static_cast<long>(at),
                                        source.begin() + static_cast<long>(at + chunk))));
            at += chunk;
        }
        Bytes data(source.size());
        EXPECT_EQ(usb_bulk_read(&dev, 8, data.data(), c.length), c.length > 0 ? c.length : 0);
        const auto calls = fresh.calls_of(cusb::ioctl_bulk_read);
        EXPECT_EQ(lengths(calls), c.chunks) << "length " << c.length;
        for (const auto& call : calls)
            EXPECT_EQ(call.pipe(), 8);
        EXPECT_EQ(data, source) << "length " << c.length;
    }
}

TEST_F(Cusb, FailedMiddleChunkEndsAWriteAtOnce)
{
    const Bytes data = counting(3 * 32768);
    drv.reply(cusb::ioctl_bulk_write, Reply::ok()).reply(cusb::ioctl_bulk_write, Reply::fail());
    EXPECT_EQ(usb_bulk_write(&h, 0, data.data(), static_cast<int>(data.size())), -1);
    EXPECT_EQ(drv.calls_of(cusb::ioctl_bulk_write).size(), 2u);
}

TEST_F(Cusb, FailedMiddleChunkEndsAReadAtOnce)
{
    Bytes data(3 * 32768);
    drv.reply(cusb::ioctl_bulk_read, Reply::ok(Bytes(32768, 1)))
        .reply(cusb::ioctl_bulk_read, Reply::fail());
    EXPECT_EQ(usb_bulk_read(&h, 8, data.data(), static_cast<int>(data.size())), -1);
    EXPECT_EQ(drv.calls_of(cusb::ioctl_bulk_read).size(), 2u);
}

TEST_F(Cusb, ShortChunkEndsARead)
{
    Bytes data(70000, 0xEE);
    drv.reply(cusb::ioctl_bulk_read, Reply::ok(Bytes(32768, 1)))
        .reply(cusb::ioctl_bulk_read, Reply::ok(Bytes(100, 2)))
        .reply(cusb::ioctl_bulk_read, Reply::ok(Bytes(32768, 3)));
    EXPECT_EQ(usb_bulk_read(&h, 8, data.data(), 70000), 32868);
    EXPECT_EQ(drv.calls_of(cusb::ioctl_bulk_read).size(), 2u);
    // The bytes received are contiguous, with nothing stale between them.
    EXPECT_EQ(data[32767], 1);
    EXPECT_EQ(data[32768], 2);
    EXPECT_EQ(data[32867], 2);
    EXPECT_EQ(data[32868], 0xEE);
}

TEST_F(Cusb, EmptyFirstChunkReadsNothing)
{
    unsigned char data[3] = {};
    drv.reply(cusb::ioctl_bulk_read, Reply::ok());
    EXPECT_EQ(usb_bulk_read(&h, 8, data, 3), 0);
    EXPECT_EQ(drv.calls_of(cusb::ioctl_bulk_read).size(), 1u);
}

TEST_F(Cusb, ReadCountsNoMoreThanItAskedFor)
{
    unsigned char data[10] = {};
    drv.reply(cusb::ioctl_bulk_read, Reply{1, Bytes(10, 5), 50});
    EXPECT_EQ(usb_bulk_read(&h, 8, data, 10), 10);
}

// ---- identify or load

class CusbInit : public ::testing::Test {
protected:
    void SetUp() override
    {
        drv.serve_string(1, u"NEBU").serve_string(2, u"Z100");
        image = counting(4096);
    }

    int init()
    {
        ::testing::internal::CaptureStdout();
        const int result = cusb_init(0, &h, image.data(), "NEBU", "Z100");
        printed = ::testing::internal::GetCapturedStdout();
        return result;
    }

    DriverDouble drv;
    winapi::ScopedBackend scope{drv};
    HANDLE h = nullptr;
    Bytes image;
    std::string printed;
};

TEST_F(CusbInit, MatchingBoardIsUsedAsItIs)
{
    EXPECT_EQ(init(), 0);
    EXPECT_THAT(drv.trace(), ElementsAre("open \\\\.\\ezusb-0", "get_string 1", "get_string 2"));
    EXPECT_EQ(drv.open_connections(), 1);
    EXPECT_EQ(printed, "");
}

TEST_F(CusbInit, ComparisonIsExactAndCaseSensitive)
{
    for (const char16_t* id1 : {u"nebu", u"NEB", u"NEBUX", u""}) {
        DriverDouble other;
        winapi::ScopedBackend inner{other};
        other.serve_string(1, id1).serve_string(2, u"Z100");
        HANDLE dev = nullptr;
        EXPECT_EQ(cusb_init(0, &dev, image.data(), "NEBU", "Z100"), 0);
        EXPECT_EQ(other.calls_of(cusb::ioctl_download).size(), 1u);
    }
}

// The progress reports of the load, in the driver double's trace format.
std::vector<std::string> progress_seen;

void record_progress(cusb_stage stage, unsigned long waited_ms)
{
    progress_seen.push_back(stage == cusb_stage::download ? "progress download"
                                                          : "progress wait " + std::to_string(waited_ms));
}

TEST_F(CusbInit, OtherFirmwareIsReplacedAndTheBoardWaitedFor)
{
    cusb_set_progress(record_progress);
    for (int refused : {0, 1, 4}) {
        progress_seen.clear();
        DriverDouble other;
        winapi::ScopedBackend inner{other};
        other.serve_string(1, u"NEBU").serve_string(2, u"Z101");
        std::vector<bool> opens{true};
        opens.insert(opens.end(), static_cast<std::size_t>(refused), false);
        other.open_results(opens);
        HANDLE dev = nullptr;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(cusb_init(0, &dev, image.data(), "NEBU", "Z100"), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

        std::vector<std::string> expected{
            "open \\\\.\\ezusb-0", "get_string 1", "get_string 2", "vendor_request CPUCS=1",
            "download 4096", "vendor_request CPUCS=0", "close"};
        for (int i = 0; i < refused; ++i) {
            expected.push_back("sleep 2000");
            expected.push_back("open \\\\.\\ezusb-0 -> fail");
        }
        expected.push_back("sleep 2000");
        expected.push_back("open \\\\.\\ezusb-0");
        EXPECT_EQ(other.trace(), expected) << refused << " refused opens";
        std::vector<std::string> progress{"progress download"};
        for (int i = 0; i <= refused; ++i)
            progress.push_back("progress wait " + std::to_string(2000 * i));
        EXPECT_EQ(progress_seen, progress) << refused << " refused opens";

        const auto download = other.calls_of(cusb::ioctl_download);
        ASSERT_EQ(download.size(), 1u);
        EXPECT_EQ(download[0].input, image);
        const auto halt = other.calls_of(cusb::ioctl_vendor_request).at(0);
        EXPECT_THAT(halt.input, ElementsAre(0xA0, 0x00, 0x92, 0x7F, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01));
        // The handle is the reopened board's.
        EXPECT_EQ(other.open_connections(), 1);
        DWORD returned = 0;
        EXPECT_EQ(DeviceIoControl(dev, 0x10, nullptr, 0, nullptr, 0, &returned, nullptr), 1);
        EXPECT_EQ(other.calls().back().connection, 2u);
    }
    cusb_set_progress(nullptr);
}

TEST_F(CusbInit, WaitsAsLongAsTheBoardTakes)
{
    drv.serve_string(1, u"OLD");
    std::vector<bool> opens{true};
    opens.insert(opens.end(), 5000, false);
    drv.open_results(opens);
    EXPECT_EQ(init(), 0);
    const auto sleeps = drv.sleeps();
    EXPECT_EQ(sleeps.size(), 5001u);
    EXPECT_EQ(std::accumulate(sleeps.begin(), sleeps.end(), 0ull), 5001ull * 2000);
}

TEST_F(CusbInit, EachFailingStepEndsIt)
{
    const struct {
        const char* name;
        void (*script)(DriverDouble&);
        std::string printed;
        std::size_t calls;   // calls made, the failing one included
        bool open;           // the handle is still open afterwards
    } cases[] = {
        {"open", [](DriverDouble& d) { d.open_results({false}); }, "", 1, false},
        {"string 1", [](DriverDouble& d) { d.reply(cusb::ioctl_get_string, Reply::fail()); }, "", 2, true},
        {"string 2",
         [](DriverDouble& d) {
             d.reply(cusb::ioctl_get_string, Reply::ok(winapi::string_descriptor(u"NEBU")))
                 .reply(cusb::ioctl_get_string, Reply::fail());
         },
         "", 3, true},
        {"halt",
         [](DriverDouble& d) {
             d.serve_string(1, u"OLD").reply(cusb::ioctl_vendor_request, Reply::fail());
         },
         "i8051 halt err.\n", 4, true},
        {"download",
         [](DriverDouble& d) { d.serve_string(1, u"OLD").reply(cusb::ioctl_download, Reply::fail()); },
         "usb dwnload err.\n", 5, true},
        {"run",
         [](DriverDouble& d) {
             d.serve_string(1, u"OLD")
                 .reply(cusb::ioctl_vendor_request, Reply::ok())
                 .reply(cusb::ioctl_vendor_request, Reply::fail());
         },
         "i8051 run err.\n", 6, true},
    };
    for (const auto& c : cases) {
        DriverDouble other;
        winapi::ScopedBackend inner{other};
        other.serve_string(1, u"NEBU").serve_string(2, u"Z100");
        c.script(other);
        HANDLE dev = nullptr;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(cusb_init(0, &dev, image.data(), "NEBU", "Z100"), -1) << c.name;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed) << c.name;
        EXPECT_EQ(other.calls().size(), c.calls) << c.name;
        EXPECT_EQ(other.calls().back().succeeded, false) << c.name;
        EXPECT_EQ(other.open_connections(), c.open ? 1 : 0) << c.name;
        EXPECT_TRUE(other.sleeps().empty()) << c.name;
    }
}

}  // namespace
