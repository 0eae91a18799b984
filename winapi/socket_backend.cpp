// The stand-in's backend that reaches running virtual boards over the board link.

#include "winapi/socket_backend.h"

#include "link/rendezvous.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include <dirent.h>

namespace {

class SocketBackend final : public winapi::Backend {
public:
    std::optional<winapi::Connection> open(const winapi::OpenRequest& request) override
    {
        std::unique_ptr<vboard::link::Client> client =
            vboard::link::Client::open(vboard::link::rendezvous_directory(), request.device);
        if (!client)
            return std::nullopt;
        const winapi::Connection id = next_++;
        clients_.emplace(id, std::move(client));
        return id;
    }

    BOOL io_control(winapi::Connection connection, DWORD code, const void* in, DWORD in_length,
                    void* out, DWORD out_length, DWORD* returned) override
    {
        const auto it = clients_.find(connection);
        if (it == clients_.end())
            return 0;
        if ((in == nullptr && in_length != 0) || (out == nullptr && out_length != 0))
            return 0;
        vboard::link::ControlRequest request;
        request.code = code;
        const auto* in_bytes = static_cast<const uint8_t*>(in);
        request.in.assign(in_bytes, in_bytes + in_length);
        request.out_length = out_length;
        request.out_sent = out != nullptr;
        if (request.out_sent) {
            const auto* out_bytes = static_cast<const uint8_t*>(out);
            request.out.assign(out_bytes, out_bytes + out_length);
        }
        const std::optional<vboard::link::ControlReply> reply = it->second->call(request);
        if (!reply)
            return 0;
        if (!reply->out.empty())
            std::memcpy(out, reply->out.data(), reply->out.size());
        *returned = reply->returned;
        return static_cast<BOOL>(reply->result);
    }

    void close(winapi::Connection connection) override { clients_.erase(connection); }

    void sleep(DWORD milliseconds) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

    // The boards whose sockets answer an open in the rendezvous directory.
    std::vector<winapi::BoardEntry> list() override
    {
        const std::string directory = vboard::link::rendezvous_directory();
        std::vector<int> numbers;
        if (DIR* dir = ::opendir(directory.c_str())) {
            while (const dirent* entry = ::readdir(dir))
                if (const int n = device_number(entry->d_name); n >= 0)
                    numbers.push_back(n);
            ::closedir(dir);
        }
        std::sort(numbers.begin(), numbers.end());
        std::vector<winapi::BoardEntry> boards;
        for (const int n : numbers)
            if (const auto client = vboard::link::Client::open(directory, n)) {
                winapi::BoardEntry board;
                board.device = n;
                board.reached = "virtual board " + vboard::link::socket_path(directory, n);
                board.vendor_id = client->vendor_id();
                board.product_id = client->product_id();
                boards.push_back(std::move(board));
            }
        return boards;
    }

private:
    // N of a socket named "ezusb-N" (decimal, no leading zero), else -1.
    static int device_number(const char* name)
    {
        constexpr char prefix[] = "ezusb-";
        if (std::strncmp(name, prefix, sizeof prefix - 1) != 0)
            return -1;
        const char* digits = name + sizeof prefix - 1;
        if (*digits == '\0' || (digits[0] == '0' && digits[1] != '\0'))
            return -1;
        long long n = 0;
        for (const char* p = digits; *p != '\0'; ++p) {
            if (*p < '0' || *p > '9' || (n = n * 10 + (*p - '0')) > INT_MAX)
                return -1;
        }
        return static_cast<int>(n);
    }

    std::map<winapi::Connection, std::unique_ptr<vboard::link::Client>> clients_;
    winapi::Connection next_ = 1;
};

}  // namespace

namespace winapi {

Backend& socket_backend()
{
    static SocketBackend backend;
    return backend;
}

}  // namespace winapi
