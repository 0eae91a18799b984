// The stand-in's backend that reaches running virtual boards over the board link.

#include "winapi/socket_backend.h"

#include "link/rendezvous.h"

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

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

private:
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
