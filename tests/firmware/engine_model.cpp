// The reference model of the port engine.
#include "engine_model.h"

#include <algorithm>
#include <cstdio>

namespace fwtest {

// ---- the card, seen from its pins ------------------------------------------------

void CardOracle::write(uint8_t pins, uint8_t byte) {
    const bool cle = pins & 0x01, ale = pins & 0x02;
    if (!card_ || !selected(pins) || (cle && ale)) return;  // the card sees no cycle
    if (cle) {
        phase_ = byte == 0x90 ? Phase::id_address : Phase::unknown;
        index_ = 0;
    } else if (ale && phase_ == Phase::id_address) {
        // Read ID knows address 0x00 only; any other ends it.
        phase_ = byte == 0x00 ? Phase::id_data : Phase::silent;
    }
    // Further address and data cycles leave Read ID as it is.
}

std::optional<uint8_t> CardOracle::read(uint8_t pins) {
    const bool latch_open = (pins & 0x03) != 0;
    if (!card_ || !selected(pins) || latch_open) return 0xFF;  // nobody drives: pull-ups
    switch (phase_) {
    case Phase::id_address:
    case Phase::silent: return 0xFF;
    case Phase::id_data: {
        const uint8_t ids[3] = {card_->maker, card_->device, card_->id3};
        return ids[index_++ % 3];
    }
    case Phase::unknown: break;
    }
    return std::nullopt;
}

// ---- the engine --------------------------------------------------------------------

uint8_t EngineModel::pins() const {
    const uint8_t outside = static_cast<uint8_t>(0xF4 | (card_present_ ? 0x08 : 0x00));
    return static_cast<uint8_t>((outc_ & oec_) | (outside & ~oec_));
}

Expected EngineModel::fwr(uint8_t byte) {
    oracle_.write(pins(), byte);
    return {Kind::fwr, byte, width(), static_cast<uint8_t>(fastxfr_ & 0x07)};
}

Expected EngineModel::frd() {
    return {Kind::frd, oracle_.read(pins()), width(), static_cast<uint8_t>((fastxfr_ >> 3) & 0x07)};
}

EngineModel::Outcome EngineModel::script(std::span<const uint8_t> s) {
    Outcome out;
    const size_t length = s.size();
    auto set_outc = [&](uint8_t op) {
        outc_ = op & 0x0F;
        out.events.push_back({Kind::outc, outc_});
    };
    for (size_t pos = 0; pos < length; ++pos) {
        const uint8_t op = s[pos];
        const unsigned code = op >> 4;
        // Operands beyond the packet: the op is not executed, the script ends.
        const size_t operands = code == 3 || code == 0xF ? 1 : code == 5 || code == 6 ? 3 : 0;
        if (pos + operands >= length) {
            out.truncated = true;
            break;
        }
        ++out.ops[code];
        switch (code) {
        case 0x0:
            oec_ = op;
            out.events.push_back({Kind::oec, oec_});
            break;
        case 0x1: set_outc(op); break;
        case 0x2:
            set_outc(op);
            out.reply.push_back({pins(), false});
            break;
        case 0x3:
            set_outc(op);
            out.events.push_back(fwr(s[pos + 1]));
            break;
        case 0x4: {
            set_outc(op);
            const Expected e = frd();
            out.events.push_back(e);
            out.reply.push_back({e.value, true});
            break;
        }
        case 0x5:
        case 0x6:
            set_outc(op);
            stream_.rest = s[pos + 1] & 0x3F;
            stream_.pkts = static_cast<uint16_t>(s[pos + 3] << 8 | s[pos + 2]);
            stream_.dir = code == 5 ? 1 : 0;
            break;
        case 0xF:
            ckcon_ = (op & 0x0F) ? 0x01 : 0x00;
            fastxfr_ = s[pos + 1] | 0x40;
            break;
        default: break;  // 0x70-0xEF: passed over
        }
        pos += operands;
    }
    return out;
}

std::vector<Expected> EngineModel::stream_packet(std::span<const uint8_t> packet) {
    std::vector<Expected> events;
    if (stream_.dir != 1 || outstanding() == 0) return events;  // dropped
    size_t count = packet.size();
    if (packet.size() == 64 && stream_.pkts != 0) {
        --stream_.pkts;
    } else {
        // A short packet finishes the rest; while whole packets are still
        // due it goes out whole (it is shorter than what is due). With no
        // whole packet due, a packet longer than the rest, whole or short,
        // carries more than was announced: only the rest goes out, and the
        // stream is over.
        if (stream_.pkts == 0) count = std::min<size_t>(count, stream_.rest);
        stream_.rest = 0;
    }
    for (size_t i = 0; i < count; ++i) events.push_back(fwr(packet[i]));
    return events;
}

std::vector<Expected> EngineModel::deliver_bus_to_host() {
    std::vector<Expected> events;
    const uint32_t due = bus_to_host_due();
    for (uint32_t i = 0; i < due; ++i) events.push_back(frd());
    if (due) {
        stream_.pkts = 0;
        stream_.rest = 0;
    }
    return events;
}

std::string describe(const Expected& e) {
    char b[48];
    if (e.value)
        std::snprintf(b, sizeof b, "%s w%u s%u", vboard::controller::to_string({e.kind, *e.value}).c_str(),
                      unsigned{e.width}, unsigned{e.shape});
    else
        std::snprintf(b, sizeof b, "frd ?? w%u s%u", unsigned{e.width}, unsigned{e.shape});
    return b;
}

std::string describe(const vboard::controller::BusEvent& e) {
    char b[48];
    std::snprintf(b, sizeof b, "%s w%u s%u", vboard::controller::to_string(e).c_str(), unsigned{e.width},
                  unsigned{e.shape});
    return b;
}

}  // namespace fwtest
