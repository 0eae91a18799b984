// A reference model of the port engine, written from the command language's
// op table and the board's wiring, independent of the firmware: for any
// command script it predicts the reply and the card-side events (OEC and
// OUTC writes, FWR# bytes, FRD# captures with their strobe width and shape),
// and it follows the stream state through headers and stream packets.
//
// The bytes the card drives during FRD# are predicted where they can be
// known from outside the card: the pull-ups' 0xFF when no card is selected
// or a latch is open, and the card's ID sequence after Read ID (0x90,
// address 0x00). Anywhere else the model says "any byte" and the caller
// takes the byte the board captured, checking that the reply carries it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "card/card.h"
#include "controller/ports.h"
#include "engine_board.h"

namespace fwtest {

using Kind = vboard::controller::BusEvent::Kind;

// One predicted card-side event. `value` empty: an FRD# byte the model cannot know.
struct Expected {
    Kind kind;
    std::optional<uint8_t> value;
    uint8_t width = 0;  // strobes: pulse length in clocks
    uint8_t shape = 0;  // strobes: polarity << 2 | mode
};

// What the card answers to FRD#, as far as it can be known without the
// card's own state machine: the Read ID sequence, and silence.
class CardOracle {
public:
    explicit CardOracle(std::optional<vboard::card::CardIdentity> card) : card_(card) {}

    // One FWR# pulse with port C at `pins`.
    void write(uint8_t pins, uint8_t byte);
    // One FRD# pulse: the byte D7..D0 carries, or nothing when unknown.
    std::optional<uint8_t> read(uint8_t pins);

private:
    enum class Phase : uint8_t { unknown, id_address, id_data, silent };
    static bool selected(uint8_t pins) { return (pins & 0x04) == 0; }

    std::optional<vboard::card::CardIdentity> card_;
    Phase phase_ = Phase::unknown;
    unsigned index_ = 0;
};

class EngineModel {
public:
    // One reply byte: a port C sample (exact), or a bus byte (exact, or
    // unknown and then the one the matching FRD# event captured).
    struct ReplyByte {
        std::optional<uint8_t> value;
        bool from_bus = false;
    };
    struct Outcome {
        std::vector<Expected> events;
        std::vector<ReplyByte> reply;
        std::array<unsigned, 16> ops{};  // executed ops by op code
        bool truncated = false;          // the last op's operands lay beyond the packet
    };

    // The board after the firmware's start: port C all inputs, no MOVX
    // stretch, FASTXFR 0x40, no stream.
    explicit EngineModel(std::optional<vboard::card::CardIdentity> card) : card_present_(card.has_value()), oracle_(card) {}

    // One packet on the command pipe.
    Outcome script(std::span<const uint8_t> bytes);
    // One packet on the stream pipe (EP2 OUT).
    std::vector<Expected> stream_packet(std::span<const uint8_t> packet);
    // Bytes a bus-to-host stream still owes the host, and the FRD# events
    // that deliver them all.
    uint32_t bus_to_host_due() const { return stream_.dir == 0 ? outstanding() : 0; }
    uint32_t host_to_bus_due() const { return stream_.dir == 1 ? outstanding() : 0; }
    std::vector<Expected> deliver_bus_to_host();

    // The levels PINSC shows: driven pins their OUTC bit, the others what
    // the board puts on them (PC0/PC1 pulled down, PC3 card present,
    // pull-ups elsewhere).
    uint8_t pins() const;

    uint8_t oec() const { return oec_; }
    uint8_t outc() const { return outc_; }
    uint8_t ckcon() const { return ckcon_; }
    uint8_t fastxfr() const { return fastxfr_; }
    const StreamState& stream() const { return stream_; }

private:
    uint32_t outstanding() const { return uint32_t{stream_.pkts} * 64 + stream_.rest; }
    uint8_t width() const { return (ckcon_ & 7) == 0 ? 2 : static_cast<uint8_t>(4 * (ckcon_ & 7)); }
    Expected fwr(uint8_t byte);
    Expected frd();

    bool card_present_;
    CardOracle oracle_;
    uint8_t oec_ = 0;
    uint8_t outc_ = 0;
    uint8_t ckcon_ = 0;
    uint8_t fastxfr_ = 0x40;
    StreamState stream_;
};

// One line for a failure message: a predicted event and a recorded one.
std::string describe(const Expected& e);
std::string describe(const vboard::controller::BusEvent& e);

}  // namespace fwtest
