// The stand-in's backend with a whole virtual board in this process, on
// simulated time: the board, its USB host and the driver model answer the
// Windows calls directly, and Sleep lets the board's clock run that long
// instead of waiting. Whole-tool tests run with it fast and the same every
// time.
#pragma once

#include "serve/options.h"
#include "serve/session.h"
#include "winapi/backend.h"

#include <functional>
#include <memory>
#include <string>

namespace vboard::inproc {

class InProcessBackend final : public winapi::Backend {
public:
    // The board the options describe, run until it has enumerated (as a
    // served board is before programs reach it). Null with one line in
    // `error` when the board cannot be built.
    static std::unique_ptr<InProcessBackend> create(const serve::BoardOptions& options, std::string& error,
                                                    const host::TimingProfile& profile = {});
    // The same for a board that is sure to build (no card image): the default card.
    explicit InProcessBackend(const serve::BoardOptions& options = {}, const host::TimingProfile& profile = {});

    serve::Session& session() { return *session_; }

    // Called at every Sleep before the board's clock runs, with its length
    // and how many Sleeps there have been (this one included). A test that
    // must not let the tool wait for ever throws from here; the exception
    // leaves Sleep before the clock has run.
    std::function<void(DWORD milliseconds, unsigned count)> on_sleep;
    unsigned sleeps() const { return sleeps_; }
    // Simulated milliseconds the Sleeps have let pass.
    uint64_t slept_ms() const { return slept_ms_; }

    // winapi::Backend
    std::optional<winapi::Connection> open(const winapi::OpenRequest& request) override;
    BOOL io_control(winapi::Connection connection, DWORD code, const void* in, DWORD in_length, void* out,
                    DWORD out_length, DWORD* returned) override;
    void close(winapi::Connection connection) override;
    void sleep(DWORD milliseconds) override;

private:
    explicit InProcessBackend(std::unique_ptr<serve::Session> session);

    std::unique_ptr<serve::Session> session_;
    unsigned sleeps_ = 0;
    uint64_t slept_ms_ = 0;
};

}  // namespace vboard::inproc
