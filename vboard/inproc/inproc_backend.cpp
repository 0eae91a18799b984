// The in-process backend: the Windows calls as driver-model calls.

#include "inproc/inproc_backend.h"

#include "serve/board_server.h"

#include <stdexcept>

namespace vboard::inproc {

namespace {

std::unique_ptr<serve::Session> settled(std::unique_ptr<serve::Session> session)
{
    if (session)
        session->settle(serve::BoardServer::settle_limit_ms);
    return session;
}

std::unique_ptr<serve::Session> must_build(const serve::BoardOptions& options, const host::TimingProfile& profile)
{
    std::string error;
    std::unique_ptr<serve::Session> session = serve::Session::create(options, error, profile);
    if (!session)
        throw std::invalid_argument(error);
    return session;
}

}  // namespace

std::unique_ptr<InProcessBackend> InProcessBackend::create(const serve::BoardOptions& options,
                                                           std::string& error,
                                                           const host::TimingProfile& profile)
{
    std::unique_ptr<serve::Session> session = serve::Session::create(options, error, profile);
    if (!session)
        return nullptr;
    return std::unique_ptr<InProcessBackend>(new InProcessBackend(std::move(session)));
}

InProcessBackend::InProcessBackend(const serve::BoardOptions& options, const host::TimingProfile& profile)
    : InProcessBackend(must_build(options, profile))
{
}

InProcessBackend::InProcessBackend(std::unique_ptr<serve::Session> session)
    : session_(settled(std::move(session)))
{
}

std::optional<winapi::Connection> InProcessBackend::open(const winapi::OpenRequest& request)
{
    return session_->driver().open(request.device);
}

BOOL InProcessBackend::io_control(winapi::Connection connection, DWORD code, const void* in, DWORD in_length,
                                  void* out, DWORD out_length, DWORD* returned)
{
    if ((in == nullptr && in_length != 0) || (out == nullptr && out_length != 0))
        return 0;
    const std::span<const uint8_t> in_bytes(static_cast<const uint8_t*>(in), in_length);
    const std::span<uint8_t> out_bytes(static_cast<uint8_t*>(out), out_length);
    uint32_t count = 0;
    const bool ok = session_->driver().io_control(connection, code, in_bytes, out_bytes, count);
    *returned = count;
    return ok ? 1 : 0;
}

void InProcessBackend::close(winapi::Connection connection)
{
    session_->driver().close(connection);
}

void InProcessBackend::sleep(DWORD milliseconds)
{
    ++sleeps_;
    if (on_sleep)
        on_sleep(milliseconds, sleeps_);
    session_->host().wait(milliseconds);
    slept_ms_ += milliseconds;
}

}  // namespace vboard::inproc
