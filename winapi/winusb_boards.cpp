// The driver's control codes on WinUSB.

#include "winapi/winusb_boards.h"

#include "winapi/driver_codes.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace winapi::winusb {

namespace {

using namespace winapi::driver_code;
constexpr std::uint32_t download_code = download;

constexpr std::uint8_t loader_request = 0xA0;
constexpr std::uint32_t string_reply_max = 130;
constexpr std::uint32_t download_max = 0x10000;
constexpr std::uint8_t max_pipes = 32;

std::uint16_t le16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The digit run at `at`, without leading zeros; `at` moves past it.
std::string_view digit_run(std::string_view text, std::size_t& at)
{
    const std::size_t start = at;
    while (at < text.size() && is_digit(text[at]))
        ++at;
    std::string_view run = text.substr(start, at - start);
    while (run.size() > 1 && run.front() == '0')
        run.remove_prefix(1);
    return run;
}

}  // namespace

bool key_before(std::string_view a, std::string_view b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            const std::string_view x = digit_run(a, i), y = digit_run(b, j);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (x != y)
                return x < y;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;  // equal as numbers ("07" and "7"): still one order
}

std::vector<Interface> Boards::sorted_interfaces()
{
    std::vector<Interface> found = calls_.interfaces();
    std::stable_sort(found.begin(), found.end(),
                     [](const Interface& a, const Interface& b) { return key_before(a.key, b.key); });
    return found;
}

std::vector<Listed> Boards::list()
{
    std::vector<Listed> listed;
    for (const Interface& i : sorted_interfaces()) {
        Listed board{i.key, std::nullopt, std::nullopt};
        std::string path = i.path;
        for (char& c : path)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        unsigned vendor = 0, product = 0;
        const std::size_t at = path.find("vid_");
        if (at != std::string::npos && path.size() >= at + 17 &&
            std::sscanf(path.c_str() + at, "vid_%4x&pid_%4x", &vendor, &product) == 2) {
            board.vendor_id = static_cast<std::uint16_t>(vendor);
            board.product_id = static_cast<std::uint16_t>(product);
        }
        listed.push_back(std::move(board));
    }
    return listed;
}

std::optional<Boards::Connection> Boards::open(int device)
{
    if (device < 0)
        return std::nullopt;
    const std::vector<Interface> found = sorted_interfaces();

    const Interface* chosen = nullptr;
    if (const auto known = keys_.find(device); known != keys_.end()) {
        for (const Interface& i : found)
            if (i.key == known->second)
                chosen = &i;
    } else if (static_cast<std::size_t>(device) < found.size()) {
        chosen = &found[static_cast<std::size_t>(device)];
    }
    if (chosen == nullptr)
        return std::nullopt;

    const std::optional<Device> opened = calls_.open(chosen->path);
    if (!opened)
        return std::nullopt;
    Open board{*opened, {}};
    for (std::uint8_t index = 0; index < max_pipes; ++index) {
        const std::optional<std::uint8_t> address = calls_.pipe(board.device, index);
        if (!address)
            break;
        if (!calls_.set_timeout(board.device, *address, transfer_timeout_ms)) {
            calls_.close(board.device);
            return std::nullopt;
        }
        board.endpoints.push_back(*address);
    }
    keys_.emplace(device, chosen->key);
    const Connection connection = next_++;
    open_.emplace(connection, std::move(board));
    return connection;
}

void Boards::close(Connection connection)
{
    const auto it = open_.find(connection);
    if (it == open_.end())
        return;
    calls_.close(it->second.device);
    open_.erase(it);
}

bool Boards::io_control(Connection connection, std::uint32_t code, const void* in, std::uint32_t in_length,
                        void* out, std::uint32_t out_length, std::uint32_t& returned)
{
    const auto it = open_.find(connection);
    if (it == open_.end() || (in == nullptr && in_length != 0) || (out == nullptr && out_length != 0))
        return false;
    const Open& board = it->second;
    const auto* input = static_cast<const std::uint8_t*>(in);
    auto* output = static_cast<std::uint8_t*>(out);

    switch (code) {
    case vendor_request:
        return vendor(board, input, in_length, output, out_length, returned);
    case download_code:
        return download(board, input, in_length);
    case get_string: {
        if (in_length < 4 || out_length == 0)
            return false;
        const Setup setup{0x80, 6, static_cast<std::uint16_t>(0x0300 | input[0]), le16(input + 2),
                          static_cast<std::uint16_t>(std::min(out_length, string_reply_max))};
        std::uint32_t received = 0;
        if (!calls_.control(board.device, setup, output, received))
            return false;
        returned = std::min<std::uint32_t>(received, setup.length);
        return true;
    }
    case reset_pipe: {
        const auto address = endpoint(board, input, in_length);
        if (!address)
            return false;
        // The standard request clears the device's halt and data toggle
        // whatever WinUsb_ResetPipe does beyond the host's side; WinUSB is
        // not documented to pass it on, so only the reset's answer counts.
        std::uint32_t none = 0;
        calls_.control(board.device, Setup{0x02, 1, 0, *address, 0}, nullptr, none);
        return calls_.reset_pipe(board.device, *address);
    }
    case bulk_write:
    case bulk_read: {
        const auto address = endpoint(board, input, in_length);
        const bool reading = code == bulk_read;
        if (!address || ((*address & 0x80) != 0) != reading)
            return false;
        std::uint32_t moved = 0;
        const bool ok = reading ? calls_.read(board.device, *address, output, out_length, moved)
                                : calls_.write(board.device, *address, output, out_length, moved);
        returned = std::min(moved, out_length);
        return ok;
    }
    default:
        return false;
    }
}

std::optional<std::uint8_t> Boards::endpoint(const Open& board, const std::uint8_t* in,
                                             std::uint32_t in_length) const
{
    if (in_length < 4)
        return std::nullopt;
    const std::uint32_t number =
        static_cast<std::uint32_t>(in[0] | in[1] << 8 | in[2] << 16) | std::uint32_t{in[3]} << 24;
    if (number >= board.endpoints.size())
        return std::nullopt;
    return board.endpoints[number];
}

// The record: request, pad, value, index, length (16 bits each, LE),
// direction, data byte.
bool Boards::vendor(const Open& board, const std::uint8_t* in, std::uint32_t in_length, std::uint8_t* out,
                    std::uint32_t out_length, std::uint32_t& returned)
{
    if (in_length < 10)
        return false;
    const bool to_host = in[8] != 0;
    const Setup setup{static_cast<std::uint8_t>(to_host ? 0xC0 : 0x40), in[0], le16(in + 2), le16(in + 4),
                      le16(in + 6)};
    std::uint32_t moved = 0;
    if (to_host) {
        if (out_length < setup.length || !calls_.control(board.device, setup, out, moved))
            return false;
        returned = std::min<std::uint32_t>(moved, setup.length);
        return true;
    }
    std::vector<std::uint8_t> data;
    if (setup.length == 1)
        data.push_back(in[9]);
    else if (in_length >= 10u + setup.length)
        data.assign(in + 10, in + 10 + setup.length);
    else
        return false;
    return calls_.control(board.device, setup, data.data(), moved) && moved == setup.length;
}

bool Boards::download(const Open& board, const std::uint8_t* image, std::uint32_t length)
{
    if (length > download_max)
        return false;
    for (std::uint32_t at = 0; at < length; at += download_chunk) {
        const auto chunk = static_cast<std::uint16_t>(std::min(download_chunk, length - at));
        std::vector<std::uint8_t> data(image + at, image + at + chunk);
        std::uint32_t sent = 0;
        if (!calls_.control(board.device, Setup{0x40, loader_request, static_cast<std::uint16_t>(at), 0, chunk},
                            data.data(), sent) ||
            sent != chunk)
            return false;
    }
    return true;
}

}  // namespace winapi::winusb
