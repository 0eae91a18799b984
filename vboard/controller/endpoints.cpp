// Endpoint buffers and their queues: arming by byte count, busy and stall
// bits, the EP2/EP3 (and EP4/EP5, EP6/EP7) pairing with two physical buffers
// per direction, data toggles with TOGCTL, and the bulk transactions.
#include <algorithm>
#include <cstdio>

#include "controller/controller.h"
#include "controller/regs.h"
#include "cpu/cpu.h"
#include "diag/diagnostics.h"

namespace vboard::controller {

namespace {

// Buffer slots from OUT7BUF (slot 0) up to IN0BUF (slot 15), 64 bytes each.
constexpr std::uint8_t slot_of(bool in, int n) { return static_cast<std::uint8_t>(in ? 15 - 2 * n : 14 - 2 * n); }

}  // namespace

void Controller::init_endpoints() {
    for (int n = 0; n < 8; ++n) {
        for (bool in : {true, false}) {
            Endpoint& ep = endpoint(in, n);
            ep = Endpoint{};
            ep.number = static_cast<std::uint8_t>(n);
            ep.is_in = in;
            ep.slots[0] = ep.slots[1] = slot_of(in, n);
        }
    }
    apply_pairing();
}

// USBPAIR: bit 0 PR2IN, 1 PR4IN, 2 PR6IN, 3 PR2OUT, 4 PR4OUT, 5 PR6OUT. A
// pair is worked through the even endpoint's registers; its second buffer
// is the odd endpoint's. A change of pairing empties the queues concerned.
void Controller::apply_pairing() {
    for (int n = 0; n < 8; ++n)
        for (bool in : {true, false}) owner_[slot_of(in, n)] = SlotOwner{&endpoint(in, n), 0};
    for (int k = 0; k < 3; ++k) {
        const int even = 2 + 2 * k;
        for (bool in : {true, false}) {
            const bool paired = (usbpair_ >> (k + (in ? 0 : 3))) & 1;
            Endpoint& ep = endpoint(in, even);
            Endpoint& odd = endpoint(in, even + 1);
            const std::uint8_t capacity = paired ? 2 : 1;
            if (ep.capacity != capacity || odd.partner != paired) {
                ep.count = odd.count = 0;
                ep.cpu = ep.host = odd.cpu = odd.host = 0;
            }
            ep.capacity = capacity;
            ep.slots[1] = paired ? slot_of(in, even + 1) : ep.slots[0];
            odd.partner = paired;
            if (paired) owner_[slot_of(in, even + 1)] = SlotOwner{&ep, 1};
        }
    }
}

// The byte behind an address in the buffer area, as the 8051 sees it: a
// pair's even buffer address shows the buffer the 8051 works on now (its
// window). Writes into a buffer the controller owns (an IN packet queued
// for the host, an armed OUT buffer) are reported; the byte still lands, as
// it would on the chip.
std::uint8_t* Controller::buffer_byte(std::uint16_t addr, bool write) {
    const unsigned offset = addr - buffers_base;
    std::uint8_t slot = static_cast<std::uint8_t>(offset / 64);
    const SlotOwner& owner = owner_[slot];
    if (owner.index == 0 && owner.ep->capacity == 2) slot = owner.ep->slots[owner.ep->cpu];
    if (write && owned_by_controller(slot) && wants_report(FindingKind::buffer_owned)) {
        const Endpoint& ep = *owner_[slot].ep;
        char detail[112];
        std::snprintf(detail, sizeof detail, "EP%d %s buffer%s owned by the controller (%s)", ep.number,
                      ep.is_in ? "IN" : "OUT", ep.capacity == 2 ? " of the pair" : "",
                      ep.is_in ? "armed, not yet taken by the host" : "armed for the host's next packet");
        report_at(FindingKind::buffer_owned, addr, "write to", "writes to", detail);
    }
    return &buffers_[slot * 64u + offset % 64];
}

bool Controller::owned_by_controller(std::uint8_t slot) const {
    const SlotOwner& owner = owner_[slot];
    const Endpoint& ep = *owner.ep;
    // Distance of this buffer from the first queued (IN) or held (OUT) one.
    if (ep.is_in) {
        const unsigned from_host = (owner.index + ep.capacity - ep.host) % ep.capacity;
        return from_host < ep.count;
    }
    if (!ep.enabled) return false;
    const unsigned from_cpu = (owner.index + ep.capacity - ep.cpu) % ep.capacity;
    return from_cpu >= ep.count;
}

// INnCS/OUTnCS: bit 0 stall, bit 1 busy. IN: busy while no buffer is free
// for the 8051 (for a pair: both full). OUT: busy while armed and nothing
// has arrived for the 8051.
std::uint8_t Controller::cs_read(const Endpoint& ep) const {
    const bool busy = ep.is_in ? ep.count == ep.capacity : ep.enabled && ep.count == 0;
    return static_cast<std::uint8_t>((ep.stall ? reg::bmEPSTALL : 0) | (busy ? reg::bmEPBUSY : 0));
}

// Writing INnBC hands the buffer in the 8051's window to the host with that
// many bytes. While the endpoint is busy the write is reported and ignored:
// the packets already queued stay as they are.
void Controller::in_bc_write(Endpoint& ep, std::uint8_t value) {
    if (ep.partner) return;
    if (ep.count == ep.capacity) {
        if (!wants_report(FindingKind::in_count_busy)) return;
        char msg[112];
        std::snprintf(msg, sizeof msg, "IN%dBC written with %u while EP%d IN is busy (%s)", ep.number, value,
                      ep.number, ep.capacity == 2 ? "both buffers armed" : "a packet armed");
        report(FindingKind::in_count_busy, msg);
        return;
    }
    ep.bc = value;
    ep.len[ep.cpu] = static_cast<std::uint8_t>(std::min<unsigned>(value, usb::max_packet));
    ep.cpu = static_cast<std::uint8_t>((ep.cpu + 1) % ep.capacity);
    ++ep.count;
}

// Writing 1 to the busy bit of INnCS takes back the packet armed in that
// endpoint's own buffer, if the host has not taken it yet. In a pair each
// endpoint's register clears its own buffer: the even one's (EP2) and the
// odd one's (EP3), so emptying the pair takes both writes. The remaining
// packet, if any, stays queued in order.
void Controller::in_busy_write(int n) {
    const bool odd_of_pair = endpoint(true, n).partner;
    Endpoint& ep = endpoint(true, odd_of_pair ? n - 1 : n);
    const std::uint8_t index = odd_of_pair ? 1 : 0;
    // Queued buffers are host, host + 1, ... (count of them), in ring order.
    const unsigned position = (index + ep.capacity - ep.host) % ep.capacity;
    if (position >= ep.count) return;  // that buffer holds nothing for the host
    if (position == 0)
        ep.host = static_cast<std::uint8_t>((ep.host + 1) % ep.capacity);  // the oldest packet
    else
        ep.cpu = static_cast<std::uint8_t>((ep.cpu + ep.capacity - 1) % ep.capacity);  // the newest
    --ep.count;
}

// Writing OUTnBC (any value) gives the buffer in the 8051's window back to
// the controller and arms the endpoint: the host may fill every buffer that
// the 8051 does not hold.
void Controller::out_bc_write(Endpoint& ep) {
    if (ep.partner) return;
    if (ep.count > 0) {
        --ep.count;
        ep.cpu = static_cast<std::uint8_t>((ep.cpu + 1) % ep.capacity);
    }
    ep.enabled = true;
}

// The length of the packet in the 8051's window (0 before the first).
std::uint8_t Controller::out_bc_read(const Endpoint& ep) const { return ep.len[ep.cpu]; }

// TOGCTL: bits 2-0 endpoint, bit 4 IO (1 = IN), bit 5 R (reset the toggle
// to DATA0), bit 6 S (set it to DATA1); bit 7 Q reads the selected toggle.
void Controller::togctl_write(std::uint8_t value) {
    togctl_ = value & (reg::bmTOG_IO | 0x07);
    Endpoint& ep = endpoint((value & reg::bmTOG_IO) != 0, value & 0x07);
    if (value & reg::bmTOG_R) ep.toggle = false;
    if (value & reg::bmTOG_S) ep.toggle = true;
}

std::uint8_t Controller::togctl_read() const {
    const Endpoint& ep = endpoint((togctl_ & reg::bmTOG_IO) != 0, togctl_ & 0x07);
    return static_cast<std::uint8_t>(togctl_ | (ep.toggle ? reg::bmTOG_Q : 0));
}

// Bus reset: toggles to DATA0, queued IN packets dropped, OUT endpoints
// left unarmed and empty. Stall bits and pending requests stay.
void Controller::reset_endpoints() {
    for (int n = 0; n < 8; ++n) {
        for (bool in : {true, false}) {
            Endpoint& ep = endpoint(in, n);
            ep.toggle = false;
            ep.count = 0;
            ep.cpu = ep.host = 0;
            ep.enabled = false;
        }
    }
}

bool Controller::endpoint_valid(bool in, int n) const {
    if (n == 0) return true;
    if (endpoint(in, n).partner) return false;
    return (((in ? in07val_ : out07val_) >> n) & 1) != 0;
}

// ---- bulk (and interrupt) transactions, endpoints 1 to 7 -----------------------------------

usb::InPacket Controller::in_bulk(int n) {
    usb::InPacket packet;
    Endpoint& ep = in_[n];
    if (ep.stall) {
        packet.handshake = usb::Handshake::stall;
        return packet;
    }
    if (ep.count == 0) {
        packet.handshake = usb::Handshake::nak;
        return packet;
    }
    const std::uint8_t index = ep.host;
    packet.handshake = usb::Handshake::ack;
    packet.pid = ep.toggle ? usb::DataPid::data1 : usb::DataPid::data0;
    packet.length = ep.len[index];
    std::copy_n(&buffers_[ep.slots[index] * 64u], packet.length, packet.data.begin());
    // The host's ACK is implied: the buffer is free again.
    ep.toggle = !ep.toggle;
    ep.host = static_cast<std::uint8_t>((ep.host + 1) % ep.capacity);
    --ep.count;
    raise_endpoint(true, n);
    return packet;
}

usb::Handshake Controller::out_bulk(int n, usb::DataPid pid, std::span<const std::uint8_t> data) {
    Endpoint& ep = out_[n];
    if (ep.stall) return usb::Handshake::stall;
    if (!ep.enabled || ep.count == ep.capacity) return usb::Handshake::nak;
    const bool data1 = pid == usb::DataPid::data1;
    if (data1 != ep.toggle) return usb::Handshake::ack;  // a retry of the packet already taken: dropped
    const std::uint8_t index = ep.host;
    std::copy(data.begin(), data.end(), &buffers_[ep.slots[index] * 64u]);
    ep.len[index] = static_cast<std::uint8_t>(data.size());
    ep.toggle = !ep.toggle;
    ep.host = static_cast<std::uint8_t>((ep.host + 1) % ep.capacity);
    ++ep.count;
    raise_endpoint(false, n);
    return usb::Handshake::ack;
}

// Whether a token reaches this device at all: on the bus and addressed to
// it. A token is bus activity.
bool Controller::token_reaches_us(std::uint8_t address) {
    if (!attached()) return false;
    bus_activity();
    return address == fnaddr_;
}

usb::InPacket Controller::in(std::uint8_t address, std::uint8_t endpoint_number) {
    usb::InPacket packet;
    if (!token_reaches_us(address)) return packet;
    const int n = endpoint_number & 0x0F;
    if (n > 7 || !endpoint_valid(true, n)) return packet;
    return n == 0 ? in_ep0() : in_bulk(n);
}

usb::Handshake Controller::out(std::uint8_t address, std::uint8_t endpoint_number, usb::DataPid pid,
                               std::span<const std::uint8_t> data) {
    if (!token_reaches_us(address)) return usb::Handshake::none;
    const int n = endpoint_number & 0x0F;
    if (n > 7 || !endpoint_valid(false, n)) return usb::Handshake::none;
    if (data.size() > usb::max_packet) return usb::Handshake::none;  // babble: no answer
    return n == 0 ? out_ep0(pid, data) : out_bulk(n, pid, data);
}

}  // namespace vboard::controller
