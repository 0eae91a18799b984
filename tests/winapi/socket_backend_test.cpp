// The stand-in's socket backend: the Windows calls reach a board served on
// the rendezvous socket, and with no board they fail as with nothing plugged in.

#include "winapi/default_backend.h"
#include "winapi/socket_backend.h"
#include "winapi/winapi.h"

#include "../vboard/link/test_board.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace {

using link_test::code_echo;
using link_test::code_fail;
using link_test::code_take;
using link_test::ServedBoard;

HANDLE open_device(int n)
{
    const std::string path = "\\\\.\\ezusb-" + std::to_string(n);
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Points the rendezvous at a private directory for the test's life.
class SocketBackend : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* v = std::getenv("XDG_RUNTIME_DIR"))
            saved_ = v;
        ::setenv("XDG_RUNTIME_DIR", tmp.path.c_str(), 1);
    }
    void TearDown() override
    {
        if (saved_)
            ::setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }

    std::string directory() const { return tmp.path + "/nebu-vboard"; }

    link_test::TempDirectory tmp;
    winapi::ScopedBackend scope{winapi::socket_backend()};

private:
    std::optional<std::string> saved_;
};

TEST(DefaultBackend, IsTheBackendInForceAtStart)
{
    winapi::Backend* first = winapi::install_backend(nullptr);
    EXPECT_EQ(first, &winapi::default_backend());
    winapi::install_backend(first);
}

TEST_F(SocketBackend, WithNoBoardRunningTheOpenFails)
{
    EXPECT_EQ(open_device(0), INVALID_HANDLE_VALUE);
    ServedBoard board(directory(), 1);
    EXPECT_EQ(open_device(0), INVALID_HANDLE_VALUE) << "board 1 does not answer for device 0";
    {
        std::lock_guard lock(board.service.mutex);
        board.service.present = false;
    }
    EXPECT_EQ(open_device(1), INVALID_HANDLE_VALUE) << "the board's device is off the bus";
}

TEST_F(SocketBackend, CallsReachTheBoardWithBothBuffers)
{
    ServedBoard board(directory(), 2);
    HANDLE h = open_device(2);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    unsigned char in[4] = {0xEC, 0x75, 0xA5, 0x00};
    unsigned char out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    DWORD returned = 99;
    EXPECT_NE(DeviceIoControl(h, code_echo, in, 3, out, sizeof out, &returned, nullptr), 0);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 6),
              (std::vector<unsigned char>{0xEC, 0x75, 0xA5, 0xEE, 0xEE, 0xEE}))
        << "bytes past the count returned are left alone";

    unsigned char pipe[4] = {1, 0, 0, 0};
    unsigned char data[5] = {1, 2, 3, 4, 5};
    EXPECT_NE(DeviceIoControl(h, code_take, pipe, sizeof pipe, data, sizeof data, &returned, nullptr), 0);
    EXPECT_EQ(returned, 5u);

    EXPECT_EQ(DeviceIoControl(h, code_fail, nullptr, 0, nullptr, 0, &returned, nullptr), 0);
    EXPECT_EQ(returned, 0u);

    EXPECT_NE(CloseHandle(h), 0);
    EXPECT_EQ(DeviceIoControl(h, code_echo, in, 1, out, 1, &returned, nullptr), 0) << "closed handle";

    board.stop = true;
    board.thread.join();
    board.server->poll_once(0);
    std::lock_guard lock(board.service.mutex);
    ASSERT_EQ(board.service.taken.size(), 1u);
    EXPECT_EQ(board.service.taken[0], (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(board.service.calls[1].in, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(board.service.closed.size(), 1u);
}

TEST_F(SocketBackend, HandlesAreSeparateConnections)
{
    ServedBoard board(directory(), 0);
    HANDLE a = open_device(0);
    HANDLE b = open_device(0);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_NE(a, b);
    EXPECT_NE(CloseHandle(a), 0);
    unsigned char byte = 7, back = 0;
    DWORD returned = 0;
    EXPECT_NE(DeviceIoControl(b, code_echo, &byte, 1, &back, 1, &returned, nullptr), 0);
    EXPECT_EQ(back, 7);
    EXPECT_NE(CloseHandle(b), 0);
}

TEST_F(SocketBackend, CallsFailOnceTheBoardHasGone)
{
    auto board = std::make_unique<ServedBoard>(directory(), 0);
    HANDLE h = open_device(0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    board.reset();  // the board stops: its connections end, its socket goes

    unsigned char byte = 1;
    DWORD returned = 0;
    EXPECT_EQ(DeviceIoControl(h, code_echo, &byte, 1, &byte, 1, &returned, nullptr), 0);
    EXPECT_EQ(DeviceIoControl(h, code_echo, &byte, 1, &byte, 1, &returned, nullptr), 0);
    EXPECT_NE(CloseHandle(h), 0) << "the handle itself stays valid until closed";
    EXPECT_EQ(open_device(0), INVALID_HANDLE_VALUE);
}

TEST_F(SocketBackend, BuffersOverTheLinksLimitsFailTheCallOnly)
{
    ServedBoard board(directory(), 0);
    HANDLE h = open_device(0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> big(vboard::link::max_out_length + 1);
    DWORD returned = 0;
    EXPECT_EQ(DeviceIoControl(h, code_take, nullptr, 0, big.data(), static_cast<DWORD>(big.size()),
                              &returned, nullptr),
              0);
    EXPECT_NE(DeviceIoControl(h, code_take, nullptr, 0, big.data(), vboard::link::max_out_length,
                              &returned, nullptr),
              0);
    EXPECT_EQ(returned, vboard::link::max_out_length);
    CloseHandle(h);
}

}  // namespace
