// Endpoint 0: where each SETUP goes (the loader, SET_ADDRESS, the default
// device or the firmware), the firmware's transfers with HSNAK and EP0STALL,
// the automatic descriptor transfer behind SUDPTRL, and the built-in loader.
#include <algorithm>
#include <cstdio>

#include "controller/controller.h"
#include "controller/observer.h"
#include "controller/regs.h"
#include "cpu/cpu.h"
#include "diag/diagnostics.h"

namespace vboard::controller {

namespace {

constexpr std::uint8_t loader_request = 0xA0;
constexpr std::uint8_t set_address_request = 5;
constexpr std::uint8_t configuration_type = 2;
constexpr std::uint8_t other_speed_configuration_type = 7;

std::uint16_t word(const std::array<std::uint8_t, 8>& r, int at) {
    return static_cast<std::uint16_t>(r[at] | (r[at + 1] << 8));
}

}  // namespace

// ---- SETUP --------------------------------------------------------------------------------------

// A SETUP is always acknowledged (it cannot be stalled or NAKed) and ends
// the transfer that was in progress: an armed EP0 IN packet is abandoned,
// EP0STALL cleared, both EP0 toggles set to DATA1 for the stages that follow.
usb::Handshake Controller::setup(std::uint8_t address, const std::array<std::uint8_t, 8>& request) {
    if (!token_reaches_us(address)) return usb::Handshake::none;
    setupdat_ = request;
    ep0stall_ = false;
    Endpoint& in0 = in_[0];
    Endpoint& out0 = out_[0];
    in0.count = out0.count = 0;
    in0.cpu = in0.host = out0.cpu = out0.host = 0;
    out0.enabled = false;
    in0.toggle = out0.toggle = true;

    ctl_ = Control{};
    const std::uint8_t type = request[0];
    const std::uint8_t code = request[1];
    ctl_.length = word(request, 6);
    ctl_.data_in = (type & 0x80) && ctl_.length > 0;

    if ((type & 0x60) == 0x40 && code == loader_request) {
        // The loader: whatever RENUM says, whether or not the 8051 runs.
        ctl_.handler = Ep0Handler::controller;
        ctl_.address = word(request, 2);
        if (type & 0x80) {
            ctl_.auto_in = true;
            ctl_.reply.resize(ctl_.length);
            for (std::uint32_t i = 0; i < ctl_.length; ++i)
                ctl_.reply[i] = loader_read(static_cast<std::uint16_t>(ctl_.address + i));
            ctl_.total = ctl_.length;
        } else {
            ctl_.loader_out = true;
        }
    } else if ((type & 0x7F) == 0x00 && code == set_address_request) {
        ctl_.handler = Ep0Handler::controller;
        ctl_.new_address = request[2] & 0x7F;
    } else if (!renum()) {
        bare_request(request);
    } else {
        ctl_.handler = Ep0Handler::firmware;
        hsnak_ = true;
        raise_usb(reg::bmSUTOK | reg::bmSUDAV);
    }
    return usb::Handshake::ack;
}

// ---- IN and OUT on endpoint 0 ------------------------------------------------------------------

// Direction of the token tells the stage: for a device-to-host request with
// data, IN tokens are the data stage and an OUT is the status stage; for
// any other request, OUT tokens are data and an IN is the status stage.
usb::InPacket Controller::in_ep0() {
    usb::InPacket packet;
    const bool firmware = ctl_.handler == Ep0Handler::firmware;
    if (ctl_.handler == Ep0Handler::none || ctl_.handler == Ep0Handler::stalled || (firmware && ep0stall_)) {
        packet.handshake = usb::Handshake::stall;
        return packet;
    }
    if (ctl_.data_in) {
        if (ctl_.auto_in) {
            if (ctl_.data_done)
                packet.handshake = usb::Handshake::nak;
            else
                auto_packet(packet);
            return packet;
        }
        if (firmware) return in_bulk(0);  // the packet armed through IN0BC, or NAK
        packet.handshake = usb::Handshake::nak;
        return packet;
    }
    // Status stage: an empty DATA1 packet once the firmware has released it.
    if (firmware && hsnak_) {
        packet.handshake = usb::Handshake::nak;
        return packet;
    }
    packet.handshake = usb::Handshake::ack;
    packet.pid = usb::DataPid::data1;
    packet.length = 0;
    if (ctl_.new_address >= 0) fnaddr_ = static_cast<std::uint8_t>(ctl_.new_address);
    ctl_.handler = Ep0Handler::none;
    return packet;
}

usb::Handshake Controller::out_ep0(usb::DataPid pid, std::span<const std::uint8_t> data) {
    const bool firmware = ctl_.handler == Ep0Handler::firmware;
    if (ctl_.handler == Ep0Handler::none || ctl_.handler == Ep0Handler::stalled || (firmware && ep0stall_))
        return usb::Handshake::stall;
    if (ctl_.data_in) {
        // Status stage of a device-to-host request.
        if (firmware && hsnak_) return usb::Handshake::nak;
        ctl_.handler = Ep0Handler::none;
        return usb::Handshake::ack;
    }
    if (ctl_.length == 0) return usb::Handshake::stall;  // no data stage to take it
    if (firmware) return out_bulk(0, pid, data);         // into OUT0BUF when armed through OUT0BC
    if (!ctl_.loader_out) return usb::Handshake::stall;
    Endpoint& out0 = out_[0];
    if ((pid == usb::DataPid::data1) != out0.toggle) return usb::Handshake::ack;  // retry: dropped
    out0.toggle = !out0.toggle;
    for (std::uint8_t byte : data) {
        if (ctl_.moved >= ctl_.length) break;  // beyond wLength: dropped
        loader_write(static_cast<std::uint16_t>(ctl_.address + ctl_.moved), byte);
        ++ctl_.moved;
    }
    return usb::Handshake::ack;
}

// The next data packet of a transfer the controller sends by itself. A
// short packet ends the data stage; so does reaching wLength; a transfer
// of a multiple of 64 bytes shorter than wLength ends with an empty packet.
void Controller::auto_packet(usb::InPacket& packet) {
    Endpoint& in0 = in_[0];
    const std::uint32_t n = std::min<std::uint32_t>(usb::max_packet, ctl_.total - ctl_.moved);
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t at = ctl_.moved + i;
        if (!ctl_.from_memory) {
            packet.data[i] = ctl_.reply[at];
            continue;
        }
        const auto addr = static_cast<std::uint16_t>(ctl_.address + at);
        if (addr < ram_size)
            packet.data[i] = code_[addr];
        else if (addr >= buffers_base && addr < registers_base)
            packet.data[i] = buffers_[addr - buffers_base];
        else
            packet.data[i] = 0xFF;
    }
    packet.handshake = usb::Handshake::ack;
    packet.pid = in0.toggle ? usb::DataPid::data1 : usb::DataPid::data0;
    packet.length = static_cast<std::uint8_t>(n);
    in0.toggle = !in0.toggle;
    ctl_.moved += n;
    if (n < usb::max_packet || ctl_.moved >= ctl_.length) ctl_.data_done = true;
    // The EP0 IN request stays active during the automatic transfer.
    if (ctl_.handler == Ep0Handler::firmware) raise_endpoint(true, 0);
}

// Writing SUDPTRL: the controller sends the descriptor at SUDPTRH:SUDPTRL as
// the data stage of the request in progress, up to the smaller of wLength
// and the descriptor's own length (wTotalLength for a configuration).
void Controller::start_descriptor_transfer() {
    if (ctl_.handler != Ep0Handler::firmware || !ctl_.data_in) return;
    const auto at = [this](std::uint32_t a) -> std::uint8_t {
        const auto addr = static_cast<std::uint16_t>(a);
        return addr < ram_size ? code_[addr] : 0xFF;
    };
    const std::uint16_t base = static_cast<std::uint16_t>(sudptrh_ << 8 | sudptrl_);
    std::uint32_t length = at(base);
    const std::uint8_t type = at(base + 1u);
    if (type == configuration_type || type == other_speed_configuration_type)
        length = at(base + 2u) | (at(base + 3u) << 8);
    ctl_.auto_in = true;
    ctl_.from_memory = true;
    ctl_.address = base;
    ctl_.total = std::min<std::uint32_t>(length, ctl_.length);
    ctl_.moved = 0;
    ctl_.data_done = false;
}

// EP0CS: bit 0 EP0STALL (read/write), bit 1 HSNAK (write 1 to clear), bit 2
// IN0 busy, bit 3 OUT0 busy (read only).
std::uint8_t Controller::ep0cs_read() const {
    const bool in_busy = in_[0].count > 0;
    const bool out_busy = out_[0].enabled && out_[0].count == 0;
    return static_cast<std::uint8_t>((ep0stall_ ? reg::bmEP0STALL : 0) | (hsnak_ ? reg::bmHSNAK : 0) |
                                     (in_busy ? reg::bmIN0BSY : 0) | (out_busy ? reg::bmOUT0BSY : 0));
}

void Controller::ep0cs_write(std::uint8_t value) {
    ep0stall_ = (value & reg::bmEP0STALL) != 0;
    if (value & reg::bmHSNAK) hsnak_ = false;
}

// ---- the built-in loader ---------------------------------------------------------------------------

void Controller::loader_write(std::uint16_t addr, std::uint8_t value) {
    if (addr < ram_size) {
        code_[addr] = value;
        loaded_.set(addr);
        return;
    }
    if (addr == reg::CPUCS) {
        cpucs_loader_write(value);
        return;
    }
    if (wants_report(FindingKind::loader_outside))
        report_at(FindingKind::loader_outside, addr, "loader write to", "loader writes to",
                  "outside the on-chip RAM (0x0000-0x1FFF) and CPUCS: ignored");
}

std::uint8_t Controller::loader_read(std::uint16_t addr) {
    if (addr < ram_size) return code_[addr];
    if (addr == reg::CPUCS)
        return static_cast<std::uint8_t>((cpucs_ & 0x02) | (settings_.cpucs_slow ? reg::bmCPUCS_SLOW : 0) |
                                         (cpu_held_ ? 0x01 : 0));
    if (wants_report(FindingKind::loader_outside))
        report_at(FindingKind::loader_outside, addr, "loader read of", "loader reads of",
                  "outside the on-chip RAM (0x0000-0x1FFF) and CPUCS: reads 0xFF");
    return 0xFF;
}

// CPUCS through the loader: bit 0 holds the 8051 in reset; releasing it
// lets the 8051 start at 0x0000.
void Controller::cpucs_loader_write(std::uint8_t value) {
    cpucs_ = value & 0x02;
    const bool hold = (value & 0x01) != 0;
    if (hold == cpu_held_) return;
    cpu_held_ = hold;
    cpu_.set_reset_held(hold);
    if (observer_) observer_->cpu_hold(now(), hold);
    if (hold) {
        if (hold_hook_) hold_hook_(hold_ctx_, true);
        return;
    }
    // The core left reset with EXIF clear: a request line that is already
    // high counts as a new edge for it.
    line_ = false;
    update_line();
    if (hold_hook_) hold_hook_(hold_ctx_, false);
}

}  // namespace vboard::controller
