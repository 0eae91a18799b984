// One virtual board with its USB host and driver: what `vboard serve`,
// `vboard script` and the in-process backend run. The host is attached to
// the board from its power-on; nothing runs until someone lets time pass.
#pragma once

#include "board/board.h"
#include "host/driver.h"
#include "host/host.h"
#include "serve/options.h"
#include "trace/trace.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vboard::serve {

class Session {
public:
    // Builds the board the options describe (card, card image, bare strings,
    // the built firmware already loaded) with the traces they ask for. Null
    // with one line in `error` when the board cannot take them (an
    // unreadable or oversized card image) or a trace file cannot be created.
    static std::unique_ptr<Session> create(const BoardOptions& options, std::string& error,
                                           const host::TimingProfile& profile = {});

    board::Board& board() { return *board_; }
    host::Host& host() { return *host_; }
    host::Driver& driver() { return *driver_; }
    const BoardOptions& options() const { return options_; }

    // Completed enumerations so far.
    uint64_t enumerations() const { return enumerations_; }
    // Called with every host event after the session has counted it.
    void set_event_listener(std::function<void(const host::HostEvent&)> listener)
    {
        listener_ = std::move(listener);
    }

    // At the end of a run: the card image (--card-image, not read-only)
    // gets what the firmware programmed or erased, when it changed: written
    // to FILE.tmp, then renamed. The card in the socket counts, or the one
    // pulled from it. False with one line naming the OS's reason.
    bool save_card_image(std::string& error);

    // Runs simulated time until a device is enumerated (at once if one is),
    // at most `timeout_ms`; true when one is.
    bool settle(uint32_t timeout_ms);

private:
    Session() = default;

    BoardOptions options_;
    std::unique_ptr<board::Board> board_;
    std::unique_ptr<host::Host> host_;
    std::unique_ptr<host::Driver> driver_;
    uint64_t enumerations_ = 0;
    std::function<void(const host::HostEvent&)> listener_;
    std::optional<card::Card> pulled_;  // taken from the board for saving
    std::unique_ptr<trace::Tracer> tracer_;  // last: detaches before the rest goes
};

// "12:34.567 enumerated ..." style line of a host event, for logs.
std::string describe(const host::HostEvent& event);

}  // namespace vboard::serve
