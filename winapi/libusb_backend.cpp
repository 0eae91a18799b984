// The driver's control codes on libusb-1.0.

#include "winapi/libusb_backend.h"

#include "winapi/driver_codes.h"

#include <libusb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint16_t vendor_id = 0x0547;
constexpr uint16_t product_id = 0x2131;
constexpr unsigned timeout_ms = 5000;
constexpr uint8_t loader_request = 0xA0;
constexpr size_t download_chunk = 1024;

using namespace winapi::driver_code;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

struct Pipe {
    uint8_t address;
    uint8_t type;  // LIBUSB_TRANSFER_TYPE_*
};

struct Board {
    libusb_device_handle* handle = nullptr;
    bool claimed = false;
    std::vector<Pipe> pipes;
};

class LibusbBackend final : public winapi::Backend {
public:
    ~LibusbBackend() override {
        for (auto& [id, board] : boards_) release(board);
        if (context_) libusb_exit(context_);
    }

    std::optional<winapi::Connection> open(const winapi::OpenRequest& request) override {
        if (!fresh_context()) return std::nullopt;
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &list);
        if (count < 0) return std::nullopt;
        const std::vector<Found> found = boards_in(list, count);
        std::optional<winapi::Connection> opened;
        if (static_cast<size_t>(request.device) < found.size()) {
            Board board;
            if (libusb_open(found[static_cast<size_t>(request.device)].device, &board.handle) == 0) {
                prepare(board);
                opened = next_++;
                boards_.emplace(*opened, std::move(board));
            }
        }
        libusb_free_device_list(list, 1);
        return opened;
    }

    // From the device list alone: nothing is opened.
    std::vector<winapi::BoardEntry> list() override {
        std::vector<winapi::BoardEntry> boards;
        if (!fresh_context()) return boards;
        libusb_device** list = nullptr;
        const ssize_t count = libusb_get_device_list(context_, &list);
        if (count < 0) return boards;
        const std::vector<Found> found = boards_in(list, count);
        for (size_t n = 0; n < found.size(); ++n) {
            winapi::BoardEntry board;
            board.device = static_cast<int>(n);
            board.reached = "libusb bus " + std::to_string(found[n].place[0]);
            if (found[n].place.size() > 2) {
                board.reached += " port ";
                for (size_t i = 1; i + 1 < found[n].place.size(); ++i)
                    board.reached += (i > 1 ? "." : "") + std::to_string(found[n].place[i]);
            }
            board.reached += " address " + std::to_string(found[n].place.back());
            board.vendor_id = vendor_id;
            board.product_id = product_id;
            boards.push_back(std::move(board));
        }
        libusb_free_device_list(list, 1);
        return boards;
    }

    BOOL io_control(winapi::Connection connection, DWORD code, const void* in, DWORD in_length, void* out,
                    DWORD out_length, DWORD* returned) override {
        const auto it = boards_.find(connection);
        if (it == boards_.end() || (in == nullptr && in_length != 0) || (out == nullptr && out_length != 0))
            return 0;
        Board& board = it->second;
        const auto* input = static_cast<const uint8_t*>(in);
        auto* output = static_cast<uint8_t*>(out);
        switch (code) {
        case vendor_request: return vendor(board, input, in_length, output, out_length, returned);
        case download: return load(board, input, in_length);
        case get_string: {
            if (in_length < 4 || out_length == 0) return 0;
            const uint16_t length = static_cast<uint16_t>(std::min<DWORD>(out_length, 130));
            const int n = libusb_control_transfer(board.handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                                  static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | input[0]),
                                                  le16(input + 2), output, length, timeout_ms);
            if (n < 0) return 0;
            *returned = static_cast<DWORD>(n);
            return 1;
        }
        case reset_pipe: {
            const Pipe* pipe = find_pipe(board, input, in_length);
            return pipe && libusb_clear_halt(board.handle, pipe->address) == 0;
        }
        case bulk_write:
        case bulk_read: {
            const Pipe* pipe = find_pipe(board, input, in_length);
            const bool reading = code == bulk_read;
            if (!pipe || ((pipe->address & 0x80) != 0) != reading || out_length > INT32_MAX) return 0;
            int moved = 0;
            const int rc = pipe->type == LIBUSB_TRANSFER_TYPE_INTERRUPT
                               ? libusb_interrupt_transfer(board.handle, pipe->address, output,
                                                           static_cast<int>(out_length), &moved, timeout_ms)
                               : libusb_bulk_transfer(board.handle, pipe->address, output,
                                                      static_cast<int>(out_length), &moved, timeout_ms);
            *returned = static_cast<DWORD>(std::max(moved, 0));
            return rc == 0;
        }
        default: return 0;
        }
    }

    void close(winapi::Connection connection) override {
        const auto it = boards_.find(connection);
        if (it == boards_.end()) return;
        release(it->second);
        boards_.erase(it);
    }

    void sleep(DWORD milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

private:
    struct Found {
        std::vector<uint8_t> place;  // bus, the port path, the address
        libusb_device* device;
    };

    // A fresh context while nothing is open, so that the list is read
    // anew: where no device manager reports arrivals (a container, a
    // minimal system), a context would not see a board come back.
    bool fresh_context() {
        if (context_ && boards_.empty()) {
            libusb_exit(context_);
            context_ = nullptr;
        }
        if (!context_ && libusb_init(&context_) != 0) {
            context_ = nullptr;
            return false;
        }
        return true;
    }

    // The devices with the controller's IDs, in bus and port order: device N is the N-th.
    static std::vector<Found> boards_in(libusb_device** list, ssize_t count) {
        std::vector<Found> found;
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor d{};
            if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != vendor_id ||
                d.idProduct != product_id)
                continue;
            std::vector<uint8_t> place{libusb_get_bus_number(list[i])};
            std::array<uint8_t, 8> ports{};
            const int depth = libusb_get_port_numbers(list[i], ports.data(), ports.size());
            place.insert(place.end(), ports.begin(), ports.begin() + std::max(depth, 0));
            place.push_back(libusb_get_device_address(list[i]));
            found.push_back({std::move(place), list[i]});
        }
        std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
            return std::ranges::lexicographical_compare(a.place, b.place);
        });
        return found;
    }

    // The pipes: interface 0's endpoints in descriptor order; the interface
    // claimed when it has any.
    static void prepare(Board& board) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(libusb_get_device(board.handle), &config) != 0) return;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& interface = config->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& alt = interface.altsetting[a];
                if (alt.bInterfaceNumber != 0 || alt.bAlternateSetting != 0) continue;
                for (int e = 0; e < alt.bNumEndpoints; ++e)
                    board.pipes.push_back({alt.endpoint[e].bEndpointAddress,
                                           static_cast<uint8_t>(alt.endpoint[e].bmAttributes & 3)});
            }
        }
        libusb_free_config_descriptor(config);
        libusb_set_auto_detach_kernel_driver(board.handle, 1);
        board.claimed = libusb_claim_interface(board.handle, 0) == 0;
    }

    static void release(Board& board) {
        if (board.claimed) libusb_release_interface(board.handle, 0);
        libusb_close(board.handle);
        board.handle = nullptr;
    }

    static const Pipe* find_pipe(const Board& board, const uint8_t* in, DWORD in_length) {
        if (in_length < 4) return nullptr;
        const uint32_t number = static_cast<uint32_t>(in[0] | in[1] << 8 | in[2] << 16) | uint32_t{in[3]} << 24;
        return number < board.pipes.size() ? &board.pipes[number] : nullptr;
    }

    // The record: request, pad, value, index, length (16 bits each, LE),
    // direction, data byte. An OUT request of one byte sends the data byte; a
    // longer one the bytes after the record.
    static BOOL vendor(Board& board, const uint8_t* in, DWORD in_length, uint8_t* out, DWORD out_length,
                       DWORD* returned) {
        if (in_length < 10) return 0;
        const uint8_t request = in[0];
        const uint16_t value = le16(in + 2), index = le16(in + 4), length = le16(in + 6);
        if (in[8] != 0) {
            if (out_length < length) return 0;
            const int n = libusb_control_transfer(board.handle, 0xC0, request, value, index, out, length, timeout_ms);
            if (n < 0) return 0;
            *returned = static_cast<DWORD>(n);
            return 1;
        }
        std::vector<uint8_t> data;
        if (length == 1)
            data.push_back(in[9]);
        else if (in_length >= 10u + length)
            data.assign(in + 10, in + 10 + length);
        else
            return 0;
        const int n = libusb_control_transfer(board.handle, 0x40, request, value, index, data.data(), length,
                                              timeout_ms);
        return n == length;
    }

    static BOOL load(Board& board, const uint8_t* image, DWORD length) {
        if (length > 0x10000) return 0;
        for (DWORD at = 0; at < length; at += download_chunk) {
            const uint16_t chunk = static_cast<uint16_t>(std::min<DWORD>(download_chunk, length - at));
            std::vector<uint8_t> data(image + at, image + at + chunk);
            if (libusb_control_transfer(board.handle, 0x40, loader_request, static_cast<uint16_t>(at), 0,
                                        data.data(), chunk, timeout_ms) != chunk)
                return 0;
        }
        return 1;
    }

    libusb_context* context_ = nullptr;
    std::map<winapi::Connection, Board> boards_;
    winapi::Connection next_ = 1;
};

}  // namespace

namespace winapi {

Backend& libusb_backend() {
    static LibusbBackend backend;
    return backend;
}

}  // namespace winapi
