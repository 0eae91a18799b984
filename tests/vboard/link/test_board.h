// A stand-in board for tests of the link: a Service that answers from simple
// rules, served on a real socket in a private rendezvous directory by a
// server thread.
//
// Control codes of the test service:
//   code_echo   copies the input into the output buffer; returned = bytes copied
//   code_take   keeps the output buffer's bytes (as a bulk write); returned = out length
//   code_fail   result 0, returned 0
//   anything else: result 1, returned 0, nothing written
#pragma once

#include "link/rendezvous.h"
#include "link/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace link_test {

inline constexpr uint32_t code_echo = 0x10;
inline constexpr uint32_t code_take = 0x20;
inline constexpr uint32_t code_fail = 0x30;

class TestService final : public vboard::link::Service {
public:
    std::optional<uint64_t> open(uint32_t) override
    {
        std::lock_guard lock(mutex);
        if (!present)
            return std::nullopt;
        ++opens;
        return next_handle++;
    }

    std::pair<uint16_t, uint16_t> device_ids(uint64_t) override { return {0x0547, 0x2131}; }

    vboard::link::ControlReply control(uint64_t handle, const vboard::link::ControlRequest& r) override
    {
        std::lock_guard lock(mutex);
        calls.push_back(r);
        handles_used.push_back(handle);
        vboard::link::ControlReply reply{1, 0, {}};
        if (r.code == code_echo) {
            const size_t n = std::min<size_t>(r.in.size(), r.out_length);
            reply.out.assign(r.in.begin(), r.in.begin() + static_cast<std::ptrdiff_t>(n));
            reply.returned = static_cast<uint32_t>(n);
        } else if (r.code == code_take) {
            taken.push_back(r.out);
            reply.returned = r.out_length;
        } else if (r.code == code_fail) {
            reply.result = 0;
        }
        return reply;
    }

    void close(uint64_t handle) override
    {
        std::lock_guard lock(mutex);
        closed.push_back(handle);
    }

    std::mutex mutex;
    bool present = true;
    int opens = 0;
    uint64_t next_handle = 100;
    std::vector<vboard::link::ControlRequest> calls;
    std::vector<uint64_t> handles_used;
    std::vector<std::vector<uint8_t>> taken;
    std::vector<uint64_t> closed;
};

// A private directory under the system's temporary directory, removed at the end.
class TempDirectory {
public:
    TempDirectory()
    {
        std::string pattern = ::testing::TempDir() + "nebu-link-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        path = pattern;
    }
    ~TempDirectory() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

// Serves board `device` in `directory` from a thread until destroyed.
class ServedBoard {
public:
    ServedBoard(const std::string& directory, int device)
    {
        std::string error;
        listener = vboard::link::Listener::open(directory, device, error);
        if (!listener) {
            ADD_FAILURE() << "listener: " << error;
            return;
        }
        server = std::make_unique<vboard::link::Server>(*listener, service, [this](const std::string& line) {
            std::lock_guard lock(log_mutex);
            log.push_back(line);
        });
        server->clock = [this] {
            return std::chrono::steady_clock::now() + std::chrono::milliseconds(clock_offset_ms.load());
        };
        thread = std::thread([this] {
            while (!stop)
                server->poll_once(5);
        });
    }
    ~ServedBoard()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }

    std::vector<std::string> log_lines()
    {
        std::lock_guard lock(log_mutex);
        return log;
    }
    TestService service;
    std::mutex log_mutex;
    std::vector<std::string> log;
    std::unique_ptr<vboard::link::Listener> listener;
    std::unique_ptr<vboard::link::Server> server;
    std::atomic<bool> stop{false};
    std::atomic<int64_t> clock_offset_ms{0};  // added to the server's clock
    std::thread thread;
};

}  // namespace link_test
