// The unmodified card tool against a whole virtual board: in process on
// simulated time, and over the board link against a served board.

#include "card_tool/card_tool.h"
#include "cusb/cusb.h"
#include "host/driver.h"
#include "inproc/inproc_backend.h"
#include "link/rendezvous.h"
#include "nebu.h"
#include "serve/board_server.h"
#include "winapi/socket_backend.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace {

using vboard::inproc::InProcessBackend;
using vboard::serve::BoardOptions;

const std::string banner =
    "\nXilinx SpartanII Vodadizarad with Cypress EZ-USB\n"
    "card_tool " NEBU_VERSION " (nebu board tools)\n"
    "Setup EZ-USB\n";
const std::string default_card = "Maker ec , Device 75 , Opt1 a5 , Opt2 a5 , ext 00\n";

struct Outcome {
    std::string printed;
    int status;
};

Outcome run_tool()
{
    card_tool_reset();
    ::testing::internal::CaptureStdout();
    const int status = card_tool_run();
    Outcome o{::testing::internal::GetCapturedStdout(), status};
    card_tool_reset();
    return o;
}

// Thrown from the sleep hook to end a tool that would wait for ever.
struct WaitedTooLong {
    unsigned sleeps;
};

// The six control codes as the driver's documentation gives them: device
// type 0x22, function 0x800 + n, the buffering method in the low two bits.
// The host link and the driver model each must use exactly these.
TEST(ControlCodes, BothEndsUseTheDocumentedValues)
{
    namespace ioctl = vboard::host::ioctl;
    const struct {
        const char* name;
        DWORD host_link;
        uint32_t driver_model;
        uint32_t documented;
    } codes[] = {
        {"vendor request", cusb::ioctl_vendor_request, ioctl::vendor_request, 0x00222014},
        {"download", cusb::ioctl_download, ioctl::download, 0x0022201C},
        {"reset pipe", cusb::ioctl_reset_pipe, ioctl::reset_pipe, 0x00222035},
        {"get string", cusb::ioctl_get_string, ioctl::get_string, 0x00222044},
        {"bulk read", cusb::ioctl_bulk_read, ioctl::bulk_read, 0x0022204E},
        {"bulk write", cusb::ioctl_bulk_write, ioctl::bulk_write, 0x00222051},
    };
    for (const auto& c : codes) {
        EXPECT_EQ(c.host_link, c.documented) << c.name;
        EXPECT_EQ(c.driver_model, c.documented) << c.name;
    }
}

TEST(ToolInProcess, ABareBoardGetsTheFirmwareAndAnswersTheCardId)
{
    InProcessBackend board;
    winapi::ScopedBackend scope{board};
    std::vector<DWORD> sleeps;
    board.on_sleep = [&](DWORD ms, unsigned count) {
        sleeps.push_back(ms);
        if (count > 10)
            throw WaitedTooLong{count};
    };

    const Outcome o = run_tool();
    EXPECT_EQ(o.printed, banner + default_card);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(sleeps, (std::vector<DWORD>{2000})) << "one 2-second wait covers the firmware's 1.5 s";

    const auto& loaded = board.session().board().controller().loaded();
    EXPECT_EQ(loaded.count(), fw_size) << "the download writes exactly the image";
    for (size_t a = 0; a < fw_size; ++a)
        ASSERT_TRUE(loaded[a]) << "address " << a;
    EXPECT_EQ(board.session().enumerations(), 2u) << "the bare controller, then the firmware";
    EXPECT_TRUE(board.session().board().diagnostics().empty());
}

// Ends a tool that is still waiting after `limit` sleeps.
void bound_sleeps(InProcessBackend& board, unsigned limit)
{
    board.on_sleep = [limit](DWORD ms, unsigned count) {
        EXPECT_EQ(ms, 2000u);
        if (count > limit)
            throw WaitedTooLong{count};
    };
}

// A host that notices an attach only after `ms` of debounce, from now on.
void slow_debounce(InProcessBackend& board, uint32_t ms)
{
    vboard::host::TimingProfile profile = board.session().host().profile();
    profile.attach_debounce_ms = ms;
    board.session().host().set_profile(profile);
}

TEST(ToolInProcess, TheToolWaitsInTwoSecondStepsUntilTheBoardIsBack)
{
    // The firmware rejoins 1.5 s after its start; with 3 s of debounce the
    // host enumerates it after about 4.6 s: the opens at 2 s and 4 s fail,
    // the one at 6 s succeeds.
    InProcessBackend board;
    winapi::ScopedBackend scope{board};
    slow_debounce(board, 3000);
    bound_sleeps(board, 10);
    const Outcome o = run_tool();
    EXPECT_EQ(o.printed, banner + default_card);
    EXPECT_EQ(board.sleeps(), 3u);
    EXPECT_EQ(board.slept_ms(), 6000u);
}

TEST(ToolInProcess, ABoardThatNeverComesBackKeepsTheToolWaiting)
{
    // Longer than the firmware's 4 s without a SETUP: it leaves and rejoins
    // before the host has noticed it, again and again.
    InProcessBackend board;
    winapi::ScopedBackend scope{board};
    slow_debounce(board, 4500);
    bound_sleeps(board, 5);
    card_tool_reset();
    ::testing::internal::CaptureStdout();
    unsigned waited = 0;
    try {
        card_tool_run();
    } catch (const WaitedTooLong& w) {
        waited = w.sleeps;
    }
    const std::string printed = ::testing::internal::GetCapturedStdout();
    card_tool_reset();
    EXPECT_EQ(waited, 6u) << "the tool was still waiting";
    EXPECT_EQ(printed, banner) << "nothing is printed while waiting";
    EXPECT_EQ(board.session().board().controller().loaded().count(), fw_size);
    EXPECT_EQ(board.session().enumerations(), 1u) << "only the bare controller's";
}

TEST(ToolInProcess, AWarmBoardIsUsedWithoutDownloadOrWait)
{
    BoardOptions warm;
    warm.firmware_loaded = true;
    warm.card = vboard::card::CardIdentity{0x98, 0x73, 0xC0, 0x21};
    InProcessBackend board(warm);
    winapi::ScopedBackend scope{board};
    const auto loaded_before = board.session().board().controller().loaded().count();
    const Outcome o = run_tool();
    EXPECT_EQ(o.printed, banner + "Maker 98 , Device 73 , Opt1 c0 , Opt2 c0 , ext 21\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(board.sleeps(), 0u);
    EXPECT_EQ(board.session().board().controller().loaded().count(), loaded_before) << "no download";
}

// A card whose ID bytes are all 0x00 is still a card: the bytes are printed
// as read, and no second ID script is sent (the third byte is not 0xC0).
TEST(ToolInProcess, ACardAnsweringZeroBytesIsPrintedAsRead)
{
    BoardOptions zeros;
    zeros.firmware_loaded = true;
    zeros.card = vboard::card::CardIdentity{0x00, 0x00, 0x00, 0x21};
    InProcessBackend board(zeros);
    winapi::ScopedBackend scope{board};
    const Outcome o = run_tool();
    EXPECT_EQ(o.printed, banner + "Maker 00 , Device 00 , Opt1 00 , Opt2 00 , ext 00\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(board.session().board().diagnostics().empty());
}

TEST(ToolInProcess, AnEmptySocketIsNoMedia)
{
    BoardOptions empty;
    empty.card.reset();
    InProcessBackend board(empty);
    winapi::ScopedBackend scope{board};
    const Outcome o = run_tool();
    EXPECT_EQ(o.printed, banner + "No Media\n");
    EXPECT_EQ(o.status, 1);
}

TEST(ToolInProcess, AnotherBoardNumberIsNotFound)
{
    BoardOptions other;
    other.device = 1;
    InProcessBackend board(other);
    winapi::ScopedBackend scope{board};
    const Outcome o = run_tool();
    EXPECT_EQ(o.printed, banner + "Can't found EZ-USB\n");
    EXPECT_EQ(o.status, 1);
}

// The same tool over the board link, against a served board stepped by a thread.
TEST(ToolOverTheLink, AServedBoardAnswersTheTool)
{
    std::string dir = ::testing::TempDir() + "nebu-serve-XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved_value = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);

    BoardOptions warm;
    warm.firmware_loaded = true;
    std::string error;
    auto session = vboard::serve::Session::create(warm, error);
    ASSERT_TRUE(session) << error;
    std::vector<std::string> log;
    auto server = vboard::serve::BoardServer::start(std::move(session), vboard::link::rendezvous_directory(),
                                                    [&](const std::string& line) { log.push_back(line); }, error);
    ASSERT_TRUE(server) << error;
    EXPECT_TRUE(server->settled());
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop)
            server->step(5);
    });

    winapi::ScopedBackend scope{winapi::socket_backend()};
    const Outcome o = run_tool();
    stop = true;
    loop.join();
    EXPECT_EQ(o.printed, banner + default_card);
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(log.empty()) << log.front();

    server.reset();
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", saved_value.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
