// The socket: turns strobes on the wires into the card's bus cycles.
#include <cstdio>

#include "card/card.h"

namespace vboard::card {

void Socket::note(BusCycle::Kind kind, std::optional<uint8_t> value) {
    if (recording_) cycles_.push_back({kind, value});
}

void Socket::write_strobe(uint8_t bus) {
    if (!card_ || ce_n_) return;
    if (cle_ && ale_) return;  // not a defined bus cycle
    if (clock_) card_->set_time(clock_(clock_ctx_));
    if (cle_) {
        note(BusCycle::Kind::command, bus);
        card_->command(bus);
    } else if (ale_) {
        note(BusCycle::Kind::address, bus);
        card_->address(bus);
    } else {
        note(BusCycle::Kind::data_in, bus);
        card_->data_in(bus);
    }
}

std::optional<Card> Socket::remove() {
    if (card_ && clock_) card_->set_time(clock_(clock_ctx_));
    if (card_) card_->power_off();
    std::optional<Card> out = std::move(card_);
    card_.reset();
    return out;
}

std::optional<uint8_t> Socket::read_strobe() {
    if (!card_ || ce_n_) return std::nullopt;
    if (clock_) card_->set_time(clock_(clock_ctx_));
    // A read with a latch open is not a data output cycle: the card keeps
    // its place and leaves the bus alone.
    const std::optional<uint8_t> value = cle_ || ale_ ? std::nullopt : card_->data_out();
    note(BusCycle::Kind::data_out, value);
    return value;
}

std::string to_string(const BusCycle& cycle) {
    const char* name = "out";
    switch (cycle.kind) {
    case BusCycle::Kind::command: name = "cmd"; break;
    case BusCycle::Kind::address: name = "addr"; break;
    case BusCycle::Kind::data_in: name = "in"; break;
    case BusCycle::Kind::data_out: name = "out"; break;
    }
    char text[16];
    if (cycle.value)
        std::snprintf(text, sizeof text, "%s %02x", name, *cycle.value);
    else
        std::snprintf(text, sizeof text, "%s --", name);
    return text;
}

}  // namespace vboard::card
