// A scriptable stand-in for the EZ-USB driver and its board, for tests.
//
// Installed as the backend (winapi::ScopedBackend), it records every call
// that reaches it and answers from a script:
//   - opens succeed unless scripted otherwise (open_results),
//   - each control code answers from its queue of replies, then from its
//     fallback; string requests with no queued reply are served from the
//     strings set with serve_string; anything else succeeds with no data,
//   - sleeps are recorded and return at once.
#pragma once

#include "winapi/backend.h"

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winapi {

using Bytes = std::vector<unsigned char>;

// One answer to a control call.
struct Reply {
    BOOL result = 1;
    Bytes data;                      // copied into the output buffer, cut at its length
    std::optional<DWORD> returned;   // the count reported; by default the bytes copied

    static Reply ok(Bytes data = {}) { return Reply{1, std::move(data), std::nullopt}; }
    static Reply fail() { return Reply{0, {}, std::nullopt}; }
};

// A string descriptor as the board sends it: length byte, type 3, UTF-16LE.
Bytes string_descriptor(std::u16string_view text);

enum class CallKind { open, io_control, close, sleep };

struct Call {
    CallKind kind = CallKind::open;
    bool succeeded = true;       // what the double answered
    // open
    std::string path;
    int device = -1;
    DWORD access = 0, share_mode = 0, disposition = 0, flags = 0;
    // open (the new one), io_control, close
    Connection connection = 0;
    // io_control
    DWORD code = 0;
    Bytes input;                 // the input buffer
    DWORD out_length = 0;
    Bytes sent;                  // bulk writes: the data in the output-buffer argument
    // sleep
    DWORD milliseconds = 0;

    // The 32-bit pipe number of a pipe call's input, or -1.
    long pipe() const;
};

class DriverDouble final : public Backend {
public:
    // Scripting.
    DriverDouble& open_results(std::vector<bool> results, bool then = true);
    DriverDouble& reply(DWORD code, Reply reply);
    DriverDouble& fallback(DWORD code, Reply reply);
    DriverDouble& serve_string(int index, std::u16string_view text);

    // What was called, in order.
    const std::vector<Call>& calls() const { return calls_; }
    std::vector<Call> calls_of(DWORD code) const;
    std::vector<DWORD> sleeps() const;
    int count(CallKind kind) const;
    // One line per call, e.g. "open \\.\ezusb-0", "get_string 1",
    // "vendor_request CPUCS=1", "download 4096", "bulk_write pipe 0: 6",
    // "bulk_read pipe 8: 1", "reset_pipe 1", "close", "sleep 2000";
    // a failed call ends in " -> fail".
    std::vector<std::string> trace() const;
    // Connections opened and not yet closed.
    int open_connections() const { return static_cast<int>(live_.size()); }

    // Backend.
    std::optional<Connection> open(const OpenRequest& request) override;
    BOOL io_control(Connection connection, DWORD code, const void* in, DWORD in_length, void* out,
                    DWORD out_length, DWORD* returned) override;
    void close(Connection connection) override;
    void sleep(DWORD milliseconds) override;

private:
    Reply answer(DWORD code, const Bytes& input);

    std::deque<bool> open_results_;
    bool open_then_ = true;
    std::map<DWORD, std::deque<Reply>> queued_;
    std::map<DWORD, Reply> fallback_;
    std::map<int, Bytes> strings_;
    std::vector<Call> calls_;
    std::vector<Connection> live_;
    Connection next_connection_ = 1;
};

}  // namespace winapi
