// A virtual board first, then a real one.

#include "winapi/default_backend.h"

#include "winapi/socket_backend.h"
#ifdef NEBU_HAVE_LIBUSB
#include "winapi/libusb_backend.h"
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

namespace {

class FirstAnswering final : public winapi::Backend {
public:
    FirstAnswering() {
        const char* forced = std::getenv("NEBU_BACKEND");
        const bool vboard_only = forced && !std::strcmp(forced, "vboard");
        const bool libusb_only = forced && !std::strcmp(forced, "libusb");
        if (!libusb_only) choices_.push_back(&winapi::socket_backend());
#ifdef NEBU_HAVE_LIBUSB
        if (!vboard_only) choices_.push_back(&winapi::libusb_backend());
#else
        (void)vboard_only;
#endif
    }

    std::optional<winapi::Connection> open(const winapi::OpenRequest& request) override {
        for (winapi::Backend* backend : choices_)
            if (const auto connection = backend->open(request)) {
                const winapi::Connection id = next_++;
                open_.emplace(id, Open{backend, *connection});
                return id;
            }
        return std::nullopt;
    }

    BOOL io_control(winapi::Connection connection, DWORD code, const void* in, DWORD in_length, void* out,
                    DWORD out_length, DWORD* returned) override {
        const auto it = open_.find(connection);
        if (it == open_.end()) return 0;
        return it->second.backend->io_control(it->second.connection, code, in, in_length, out, out_length,
                                              returned);
    }

    void close(winapi::Connection connection) override {
        const auto it = open_.find(connection);
        if (it == open_.end()) return;
        it->second.backend->close(it->second.connection);
        open_.erase(it);
    }

    void sleep(DWORD milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

    // Each number once, from the first choice that lists it, as open() tries them.
    std::vector<winapi::BoardEntry> list() override {
        std::map<int, winapi::BoardEntry> by_number;
        for (winapi::Backend* backend : choices_)
            for (winapi::BoardEntry& entry : backend->list()) by_number.try_emplace(entry.device, std::move(entry));
        std::vector<winapi::BoardEntry> boards;
        for (auto& [number, entry] : by_number) boards.push_back(std::move(entry));
        return boards;
    }

private:
    struct Open {
        winapi::Backend* backend;
        winapi::Connection connection;
    };
    std::vector<winapi::Backend*> choices_;
    std::map<winapi::Connection, Open> open_;
    winapi::Connection next_ = 1;
};

}  // namespace

namespace winapi {

Backend& default_backend() {
    static FirstAnswering backend;
    return backend;
}

}  // namespace winapi
