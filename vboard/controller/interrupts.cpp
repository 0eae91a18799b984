// The USB interrupt: request and enable registers, the INT2 edge into
// EXIF.4, the autovector byte, the resume interrupt, and the check for a
// request that the firmware never acknowledges.
#include <cstdint>
#include <cstdio>

#include "controller/controller.h"
#include "controller/regs.h"
#include "cpu/cpu.h"
#include "diag/diagnostics.h"

namespace vboard::controller {

namespace {

// Autovector offsets: the USBIRQ events first, then the endpoints.
constexpr int offset_of_usb_bit(int bit) { return 4 * bit; }  // SUDAV 0x00 ... URES 0x10
constexpr int offset_of_in(int n) { return 0x18 + 8 * n; }
constexpr int offset_of_out(int n) { return 0x1C + 8 * n; }

const char* const usb_event_names[5] = {"SUDAV", "SOF", "SUTOK", "SUSPEND", "USB reset"};

std::string describe_offset(int offset) {
    char text[48];
    if (offset < 0x14)
        std::snprintf(text, sizeof text, "%s (USBIRQ bit %d)", usb_event_names[offset / 4], offset / 4);
    else if (offset >= 0x18 && ((offset - 0x18) & 4) == 0)
        std::snprintf(text, sizeof text, "EP%d IN (IN07IRQ bit %d)", (offset - 0x18) / 8, (offset - 0x18) / 8);
    else
        std::snprintf(text, sizeof text, "EP%d OUT (OUT07IRQ bit %d)", (offset - 0x1C) / 8, (offset - 0x1C) / 8);
    return text;
}

}  // namespace

std::uint8_t Controller::in07irq() const {
    std::uint8_t bits = 0;
    for (int n = 0; n < 8; ++n)
        if (in_irq_[n]) bits |= static_cast<std::uint8_t>(1u << n);
    return bits;
}

std::uint8_t Controller::out07irq() const {
    std::uint8_t bits = 0;
    for (int n = 0; n < 8; ++n)
        if (out_irq_[n]) bits |= static_cast<std::uint8_t>(1u << n);
    return bits;
}

bool Controller::request_line() const {
    return (usbirq_ & usbien_) || (in07irq() & in07ien_) || (out07irq() & out07ien_);
}

int Controller::pending_offset() const {
    const std::uint8_t usb = usbirq_ & usbien_;
    for (int bit = 0; bit < 5; ++bit)
        if (usb & (1u << bit)) return offset_of_usb_bit(bit);
    const std::uint8_t in = in07irq() & in07ien_;
    const std::uint8_t out = out07irq() & out07ien_;
    for (int n = 0; n < 8; ++n) {
        if (in & (1u << n)) return offset_of_in(n);
        if (out & (1u << n)) return offset_of_out(n);
    }
    return -1;
}

// INT2 is edge-triggered: a rising request line sets EXIF.4.
void Controller::update_line() {
    const bool line = request_line();
    if (line && !line_) cpu_.set_interrupt(Irq::usb);
    line_ = line;
}

void Controller::raise_usb(std::uint8_t bits) {
    usbirq_ |= bits;
    update_line();
}

// One request per completed packet, each counted until acknowledged. A
// paired endpoint can complete two before the firmware acknowledges the
// first, and a third when the handler re-arms (which frees a buffer) before
// it acknowledges; no packet's request is ever lost.
void Controller::raise_endpoint(bool in, int n) {
    std::uint8_t& count = in ? in_irq_[n] : out_irq_[n];
    if (count < UINT8_MAX) ++count;
    update_line();
}

// Write 1 to clear. The write pulses the request line: when an enabled
// request is still pending afterwards, that is a new edge and sets EXIF.4
// again (so a handler that clears EXIF.4 first and then its request bit
// leaves no other request stranded).
void Controller::acknowledge(std::uint16_t reg_addr, std::uint8_t value) {
    if (value == 0) return;
    switch (reg_addr) {
    case reg::USBIRQ:
        usbirq_ &= static_cast<std::uint8_t>(~value);
        break;
    case reg::IN07IRQ:
        for (int n = 0; n < 8; ++n)
            if ((value & (1u << n)) && in_irq_[n] > 0) --in_irq_[n];
        break;
    case reg::OUT07IRQ:
        for (int n = 0; n < 8; ++n)
            if ((value & (1u << n)) && out_irq_[n] > 0) --out_irq_[n];
        break;
    default:
        return;
    }
    // Did this write acknowledge the request the last entries were for?
    for (int n = 0; n < 8; ++n) {
        if (!(value & (1u << n))) continue;
        const int offset = reg_addr == reg::USBIRQ ? (n < 5 ? offset_of_usb_bit(n) : -1)
                           : reg_addr == reg::IN07IRQ ? offset_of_in(n)
                                                      : offset_of_out(n);
        if (offset == streak_offset_) streak_ = 0;
    }
    line_ = request_line();
    if (line_) cpu_.set_interrupt(Irq::usb);
}

// The byte the core fetches at 0x0045 (the low byte of the LJMP target at
// the USB vector): with AVEN, the offset of the most urgent request.
std::uint8_t Controller::autovector_hook(void* ctx, std::uint16_t, std::uint8_t stored) {
    const auto* self = static_cast<const Controller*>(ctx);
    if (!(self->usbbav_ & reg::bmAVEN)) return stored;
    const int offset = self->pending_offset();
    return offset < 0 ? stored : static_cast<std::uint8_t>(offset);
}

void Controller::irq_ack_hook(void* ctx, Irq irq) {
    if (irq == Irq::usb) static_cast<Controller*>(ctx)->usb_interrupt_taken();
}

// A handler that never acknowledges its request (neither USBINT nor the
// request bit) is entered again at once after its RETI, for ever. Count
// entries for the same request with no acknowledgement of it in between.
void Controller::usb_interrupt_taken() {
    const int offset = pending_offset();
    if (offset < 0) {
        streak_offset_ = -1;
        streak_ = 0;
        return;
    }
    if (offset != streak_offset_) {
        streak_offset_ = offset;
        streak_ = 0;
    }
    if (++streak_ != irq_recurrence_limit) return;
    const std::uint32_t bit = 1u << (offset / 4);
    if (reported_recurrence_ & bit) return;
    reported_recurrence_ |= bit;
    char msg[160];
    std::snprintf(msg, sizeof msg,
                  "USB interrupt taken %u times in a row for %s without the request being acknowledged",
                  irq_recurrence_limit, describe_offset(offset).c_str());
    report(FindingKind::irq_unacked, msg);
}

void Controller::raise_resume() { cpu_.set_interrupt(Irq::resume); }

}  // namespace vboard::controller
