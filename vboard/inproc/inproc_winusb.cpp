// Virtual boards behind the WinUSB seam.

#include "inproc/inproc_winusb.h"

#include "serve/board_server.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace vboard::inproc {

namespace {

std::string hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

}  // namespace

// The stand-in's backend: the WinUSB mapping over these boards.
class InProcessWinusb::Adapter final : public winapi::Backend {
public:
    explicit Adapter(InProcessWinusb& boards) : owner_(boards), mapping_(boards) {}

    std::optional<winapi::Connection> open(const winapi::OpenRequest& request) override
    {
        return mapping_.open(request.device);
    }
    BOOL io_control(winapi::Connection connection, DWORD code, const void* in, DWORD in_length, void* out,
                    DWORD out_length, DWORD* returned) override
    {
        return mapping_.io_control(connection, code, in, in_length, out, out_length, *returned) ? 1 : 0;
    }
    void close(winapi::Connection connection) override { mapping_.close(connection); }
    std::vector<winapi::BoardEntry> list() override
    {
        std::vector<winapi::BoardEntry> entries;
        for (winapi::winusb::Listed& board : mapping_.list())
            entries.push_back({static_cast<int>(entries.size()), "WinUSB " + board.key, board.vendor_id,
                               board.product_id});
        return entries;
    }
    void sleep(DWORD milliseconds) override
    {
        for (Board& board : owner_.boards_)
            board.session->host().wait(milliseconds);
    }

private:
    InProcessWinusb& owner_;
    winapi::winusb::Boards mapping_;
};

InProcessWinusb::InProcessWinusb() : adapter_(std::make_unique<Adapter>(*this)) {}
InProcessWinusb::~InProcessWinusb() = default;

winapi::Backend& InProcessWinusb::backend()
{
    return *adapter_;
}

serve::Session& InProcessWinusb::add(const serve::BoardOptions& options, std::string key,
                                     const host::TimingProfile& profile)
{
    std::string error;
    std::unique_ptr<serve::Session> session = serve::Session::create(options, error, profile);
    if (!session)
        throw std::invalid_argument(error);
    session->settle(serve::BoardServer::settle_limit_ms);
    boards_.push_back({std::move(session), std::move(key), false});
    return *boards_.back().session;
}

bool InProcessWinusb::record(std::string line, bool ok)
{
    calls_.push_back(ok ? std::move(line) : line + " -> fail");
    return ok;
}

host::Host* InProcessWinusb::present(winapi::winusb::Device device)
{
    const auto it = open_.find(device);
    if (it == open_.end())
        return nullptr;
    Board& board = boards_[it->second.board];
    host::Host& host = board.session->host();
    return !board.unplugged && host.device_id() == it->second.appearance ? &host : nullptr;
}

const host::EndpointDescriptor* InProcessWinusb::endpoint(winapi::winusb::Device device, std::uint8_t address)
{
    host::Host* host = present(device);
    const host::InterfaceDescriptor* interface = host ? host->device()->config.find_interface(0) : nullptr;
    if (interface == nullptr)
        return nullptr;
    for (const host::EndpointDescriptor& e : interface->endpoints)
        if (e.address == address)
            return &e;
    return nullptr;
}

std::vector<winapi::winusb::Interface> InProcessWinusb::interfaces()
{
    std::vector<winapi::winusb::Interface> listed;
    for (const Board& board : boards_)
        if (!board.unplugged && board.session->host().enumerated())
            listed.push_back({"\\\\?\\usb#vid_0547&pid_2131#" + board.key, board.key});
    return listed;
}

std::optional<winapi::winusb::Device> InProcessWinusb::open(const std::string& path)
{
    for (std::size_t b = 0; b < boards_.size(); ++b) {
        Board& board = boards_[b];
        if (board.unplugged || !board.session->host().enumerated() || !path.ends_with("#" + board.key))
            continue;
        open_.emplace(next_, Open{b, board.session->host().device_id(), {}});
        record("open " + board.key, true);
        return next_++;
    }
    record("open " + path, false);
    return std::nullopt;
}

void InProcessWinusb::close(winapi::winusb::Device device)
{
    if (open_.erase(device) != 0)
        record("close", true);
}

std::optional<std::uint8_t> InProcessWinusb::pipe(winapi::winusb::Device device, std::uint8_t index)
{
    host::Host* host = present(device);
    const host::InterfaceDescriptor* interface = host ? host->device()->config.find_interface(0) : nullptr;
    if (interface == nullptr || index >= interface->endpoints.size())
        return std::nullopt;
    return interface->endpoints[index].address;
}

bool InProcessWinusb::set_timeout(winapi::winusb::Device device, std::uint8_t endpoint, std::uint32_t milliseconds)
{
    if (present(device) == nullptr || milliseconds == 0)
        return false;
    open_.at(device).timed.insert(endpoint);
    return true;
}

bool InProcessWinusb::control(winapi::winusb::Device device, const winapi::winusb::Setup& setup, std::uint8_t* data,
                              std::uint32_t& transferred)
{
    if (before_transfer)
        before_transfer(transfers_);
    ++transfers_;
    const std::string line = "control " + hex(setup.request_type, 2) + " " + hex(setup.request, 2) + " " +
                             hex(setup.value, 4) + " " + hex(setup.index, 4) + " " + std::to_string(setup.length);
    host::Host* host = present(device);
    if (host == nullptr)
        return record(line, false);
    const host::SetupPacket packet{setup.request_type, setup.request, setup.value, setup.index, setup.length};
    const bool in = (setup.request_type & 0x80) != 0;
    const host::TransferResult result =
        in ? host->control(packet) : host->control(packet, std::span<const std::uint8_t>(data, setup.length));
    if (in)
        std::copy_n(result.data.begin(), std::min<std::size_t>(result.data.size(), setup.length), data);
    transferred = in ? static_cast<std::uint32_t>(result.data.size()) : (result.ok() ? setup.length : 0);
    return record(line, result.ok());
}

bool InProcessWinusb::read(winapi::winusb::Device device, std::uint8_t endpoint_address, std::uint8_t* data,
                           std::uint32_t length, std::uint32_t& transferred)
{
    if (before_transfer)
        before_transfer(transfers_);
    ++transfers_;
    const std::string line = "read " + hex(endpoint_address, 2) + " " + std::to_string(length);
    const host::EndpointDescriptor* e = endpoint(device, endpoint_address);
    if (e == nullptr || !e->is_in() || !open_.at(device).timed.contains(endpoint_address))
        return record(line, false);
    host::Host& host = *present(device);
    const host::TransferResult result = e->type() == host::EndpointType::interrupt
                                            ? host.interrupt_in(endpoint_address, length, e->interval)
                                            : host.bulk_in(endpoint_address, length);
    std::copy(result.data.begin(), result.data.end(), data);
    transferred = static_cast<std::uint32_t>(result.data.size());
    return record(line + ": " + std::to_string(transferred), result.ok());
}

bool InProcessWinusb::write(winapi::winusb::Device device, std::uint8_t endpoint_address, const std::uint8_t* data,
                            std::uint32_t length, std::uint32_t& transferred)
{
    if (before_transfer)
        before_transfer(transfers_);
    ++transfers_;
    const std::string line = "write " + hex(endpoint_address, 2) + " " + std::to_string(length);
    const host::EndpointDescriptor* e = endpoint(device, endpoint_address);
    if (e == nullptr || e->is_in() || !open_.at(device).timed.contains(endpoint_address))
        return record(line, false);
    host::Host& host = *present(device);
    const std::span<const std::uint8_t> bytes(data, length);
    const host::TransferResult result = e->type() == host::EndpointType::interrupt
                                            ? host.interrupt_out(endpoint_address, bytes, e->interval)
                                            : host.bulk_out(endpoint_address, bytes);
    transferred = static_cast<std::uint32_t>(result.sent);
    return record(line, result.ok());
}

bool InProcessWinusb::reset_pipe(winapi::winusb::Device device, std::uint8_t endpoint_address)
{
    if (before_transfer)
        before_transfer(transfers_);
    ++transfers_;
    const std::string line = "reset " + hex(endpoint_address, 2);
    if (endpoint(device, endpoint_address) == nullptr)
        return record(line, false);
    return record(line, present(device)->clear_halt(endpoint_address).ok());
}

}  // namespace vboard::inproc
