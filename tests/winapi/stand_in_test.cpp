// The Windows-call stand-in: which paths reach the backend, what the backend
// is told, and which handles are live.

#include "winapi/default_backend.h"
#include "winapi/backend.h"
#include "winapi/driver_double.h"
#include "winapi/socket_backend.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using winapi::CallKind;
using winapi::DriverDouble;
using winapi::Reply;

HANDLE open_path(const char* path)
{
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL control(HANDLE h, DWORD code, DWORD* returned)
{
    unsigned char in[4] = {1, 2, 3, 4};
    unsigned char out[8] = {};
    return DeviceIoControl(h, code, in, sizeof in, out, sizeof out, returned, nullptr);
}

class StandIn : public ::testing::Test {
protected:
    DriverDouble drv;
    winapi::ScopedBackend scope{drv};
};

TEST_F(StandIn, DevicePathsReachTheBackendWithTheirNumber)
{
    const struct {
        const char* path;
        int device;
    } cases[] = {
        {"\\\\.\\ezusb-0", 0},
        {"\\\\.\\ezusb-7", 7},
        {"\\\\.\\ezusb-10", 10},
        {"\\\\.\\ezusb-2147483647", 2147483647},
    };
    for (const auto& c : cases) {
        HANDLE h = open_path(c.path);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << c.path;
        EXPECT_NE(h, nullptr) << c.path;
        ASSERT_FALSE(drv.calls().empty());
        EXPECT_EQ(drv.calls().back().device, c.device) << c.path;
        EXPECT_EQ(drv.calls().back().path, c.path);
    }
}

TEST_F(StandIn, OtherPathsFailWithoutReachingTheBackend)
{
    const char* const paths[] = {
        "",
        "\\\\.\\ezusb-",
        "\\\\.\\ezusb-01",           // not how %d writes a number
        "\\\\.\\ezusb--1",
        "\\\\.\\ezusb-+1",
        "\\\\.\\ezusb-1x",
        "\\\\.\\ezusb-0 ",
        "\\\\.\\ezusb-2147483648",   // beyond an int
        "\\\\.\\ezusb-99999999999999999999",
        "\\\\.\\EZUSB-0",
        "ezusb-0",
        "\\\\.\\ezusb0",
        "C:\\ezusb-0",
    };
    for (const char* path : paths)
        EXPECT_EQ(open_path(path), INVALID_HANDLE_VALUE) << '"' << path << '"';
    EXPECT_EQ(open_path(nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(drv.count(CallKind::open), 0);
}

TEST_F(StandIn, OpenPassesTheRequestThrough)
{
    HANDLE h = CreateFileA("\\\\.\\ezusb-3", 0x80000000, 1, nullptr, 4, 0x80, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const winapi::Call& c = drv.calls().at(0);
    EXPECT_EQ(c.access, 0x80000000u);
    EXPECT_EQ(c.share_mode, 1u);
    EXPECT_EQ(c.disposition, 4u);
    EXPECT_EQ(c.flags, 0x80u);
}

TEST_F(StandIn, RefusedOpenGivesTheInvalidHandle)
{
    drv.open_results({false});
    EXPECT_EQ(open_path("\\\\.\\ezusb-0"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(drv.open_connections(), 0);
}

TEST_F(StandIn, EachHandleReachesItsOwnConnection)
{
    HANDLE a = open_path("\\\\.\\ezusb-0");
    HANDLE b = open_path("\\\\.\\ezusb-0");
    ASSERT_NE(a, b);
    DWORD returned = 99;
    EXPECT_EQ(control(b, 0x1234, &returned), 1);
    EXPECT_EQ(control(a, 0x1234, &returned), 1);
    const auto calls = drv.calls_of(0x1234);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].connection, drv.calls()[1].connection);
    EXPECT_EQ(calls[1].connection, drv.calls()[0].connection);
    EXPECT_EQ(calls[0].input, (winapi::Bytes{1, 2, 3, 4}));
    EXPECT_EQ(calls[0].out_length, 8u);
}

TEST_F(StandIn, ControlPassesTheDriverResultAndCountThrough)
{
    HANDLE h = open_path("\\\\.\\ezusb-0");
    drv.reply(0x10, Reply{0x100, {9, 8, 7}, 5});
    DWORD returned = 0;
    unsigned char out[4] = {};
    EXPECT_EQ(DeviceIoControl(h, 0x10, nullptr, 0, out, sizeof out, &returned, nullptr), 0x100);
    EXPECT_EQ(returned, 5u);
    EXPECT_EQ(out[2], 7);
}

TEST_F(StandIn, ClosedAndUnknownHandlesFail)
{
    HANDLE h = open_path("\\\\.\\ezusb-0");
    EXPECT_EQ(CloseHandle(h), 1);
    EXPECT_EQ(drv.open_connections(), 0);
    DWORD returned = 0;
    EXPECT_EQ(control(h, 0x10, &returned), 0);
    EXPECT_EQ(CloseHandle(h), 0);
    EXPECT_EQ(control(nullptr, 0x10, &returned), 0);
    EXPECT_EQ(control(INVALID_HANDLE_VALUE, 0x10, &returned), 0);
    EXPECT_EQ(CloseHandle(INVALID_HANDLE_VALUE), 0);
    // A reopened board gets a new handle; the old one stays dead.
    HANDLE again = open_path("\\\\.\\ezusb-0");
    EXPECT_NE(again, h);
    EXPECT_EQ(control(h, 0x10, &returned), 0);
    EXPECT_EQ(drv.count(CallKind::io_control), 0);
    EXPECT_EQ(drv.count(CallKind::close), 1);
}

TEST_F(StandIn, OnlySynchronousCallsWithACountAreServed)
{
    HANDLE h = open_path("\\\\.\\ezusb-0");
    alignas(8) unsigned char overlapped[32] = {};
    EXPECT_EQ(DeviceIoControl(h, 0x10, nullptr, 0, nullptr, 0, nullptr, nullptr), 0);
    DWORD returned = 0;
    EXPECT_EQ(DeviceIoControl(h, 0x10, nullptr, 0, nullptr, 0, &returned,
                              reinterpret_cast<LPOVERLAPPED>(overlapped)),
              0);
    EXPECT_EQ(drv.count(CallKind::io_control), 0);
}

TEST_F(StandIn, SleepIsTheBackendsAndNeverReal)
{
    Sleep(2000);
    Sleep(0);
    EXPECT_EQ(drv.sleeps(), (std::vector<DWORD>{2000, 0}));
}

TEST(StandInBackend, InstallReturnsThePreviousAndForgetsItsHandles)
{
    DriverDouble first;
    DriverDouble second;
    winapi::Backend* before = winapi::install_backend(&first);
    EXPECT_EQ(before, &winapi::default_backend());
    HANDLE h = open_path("\\\\.\\ezusb-0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    EXPECT_EQ(winapi::install_backend(&second), &first);
    DWORD returned = 0;
    EXPECT_EQ(control(h, 0x10, &returned), 0);
    EXPECT_EQ(CloseHandle(h), 0);
    EXPECT_EQ(first.count(CallKind::io_control) + first.count(CallKind::close), 0);
    EXPECT_EQ(second.count(CallKind::io_control) + second.count(CallKind::close), 0);

    EXPECT_EQ(winapi::install_backend(nullptr), &second);
    EXPECT_EQ(winapi::install_backend(before), &winapi::no_board_backend());
}

TEST(StandInBackend, NoBoardOpensNothing)
{
    winapi::ScopedBackend scope{winapi::no_board_backend()};
    for (const char* path : {"\\\\.\\ezusb-0", "\\\\.\\ezusb-1"})
        EXPECT_EQ(open_path(path), INVALID_HANDLE_VALUE) << path;
}

}  // namespace
