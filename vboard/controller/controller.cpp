// Set-up, power-on, the memory map and the register file of the controller.
#include "controller/controller.h"

#include <cstdio>
#include <cstring>

#include "controller/observer.h"
#include "controller/regs.h"
#include "cpu/cpu.h"
#include "diag/diagnostics.h"

namespace vboard::controller {

namespace {

// External data pages the controller answers through its handler: the
// endpoint buffers (from 0x7B40) and the registers, 0x7B00-0x7FFF.
constexpr std::uint16_t handler_base = 0x7B00;
constexpr std::uint32_t handler_size = 0x8000 - handler_base;

// Distinct seeds for the two memories, so that RAM and buffers do not
// start with the same bytes.
constexpr std::uint64_t ram_seed_salt = 0x52414D0000000000ull;      // "RAM"
constexpr std::uint64_t buffer_seed_salt = 0x4255460000000000ull;   // "BUF"

// A register slot that exists in the control/status row but that nothing
// uses: OUT0 has no control register of its own (EP0CS serves both
// directions). The firmware's endpoint arithmetic reaches it for endpoint
// address 0x00, so it reads 0 and ignores writes instead of being reported.
constexpr std::uint16_t out0cs_slot = 0x7FC4;

}  // namespace

Controller::Controller(Cpu& cpu, card::Socket* socket, Diagnostics* diag)
    : cpu_(cpu), diag_(diag), code_(new std::uint8_t[0x10000]) {
    cpu_.set_code(code_.get());
    cpu_.map_xdata_memory(0x0000, ram_size, code_.get());
    cpu_.map_xdata_handler(handler_base, handler_size, page_read, page_write, this);
    cpu_.set_fetch_hook(0x0045, autovector_hook, this);
    cpu_.set_irq_ack(irq_ack_hook, this);
    ports_.set_memory(mem_read_thunk, mem_write_thunk, this);
    ports_.set_socket(socket);
    ports_.set_core(&cpu_);
    power_on(0);
}

Controller::~Controller() {
    cpu_.set_irq_ack(nullptr, nullptr);
    cpu_.clear_fetch_hook(0x0045);
    cpu_.unmap_xdata(0x0000, ram_size);
    cpu_.unmap_xdata(handler_base, handler_size);
    cpu_.set_code(nullptr);
}

void Controller::set_settings(const Settings& settings) {
    settings_ = settings;
    if (settings_.bare_string1.size() > max_bare_string) settings_.bare_string1.resize(max_bare_string);
    if (settings_.bare_string2.size() > max_bare_string) settings_.bare_string2.resize(max_bare_string);
}

void Controller::set_observer(Observer* observer) {
    observer_ = observer;
    ports_.set_observer(observer);
}

void Controller::set_hold_hook(HoldHook hook, void* ctx) {
    hold_hook_ = hook;
    hold_ctx_ = ctx;
}

void Controller::power_on(std::uint64_t seed) {
    fill_power_on_pattern(code_.get(), ram_size, seed ^ ram_seed_salt);
    std::memset(code_.get() + ram_size, 0xFF, 0x10000 - ram_size);  // no memory above the RAM
    fill_power_on_pattern(buffers_, sizeof buffers_, seed ^ buffer_seed_salt);
    loaded_.reset();
    const bool was_attached = attached(), was_held = cpu_held_;

    cpucs_ = 0;
    usbcs_ = reg::bmDISCOE;  // on the bus as the default device
    usbirq_ = 0;
    std::memset(in_irq_, 0, sizeof in_irq_);
    std::memset(out_irq_, 0, sizeof out_irq_);
    in07ien_ = out07ien_ = usbien_ = usbbav_ = 0;
    in07val_ = out07val_ = reg::bmEP0;
    usbpair_ = 0;
    togctl_ = 0;
    sudptrh_ = sudptrl_ = 0;
    fnaddr_ = 0;
    frame_ = 0;
    setupdat_.fill(0);
    hsnak_ = false;
    ep0stall_ = false;
    ctl_ = Control{};
    line_ = false;
    streak_offset_ = -1;
    streak_ = 0;
    reported_recurrence_ = 0;
    suspended_ = false;
    detector_armed_ = false;
    pin_woke_ = false;
    idle_since_ = now();
    wakeup_pin_ = true;
    bare_configuration_ = 0;
    bare_alt_setting_ = 0;
    init_endpoints();
    ports_.reset();

    cpu_held_ = true;
    cpu_.set_reset_held(true);
    cpu_.set_interrupt(Irq::usb, false);
    cpu_.set_interrupt(Irq::resume, false);
    if (observer_ && !was_attached) observer_->attach(now(), true);
    if (observer_ && !was_held) observer_->cpu_hold(now(), true);
}

bool Controller::renum() const { return (usbcs_ & reg::bmRENUM) != 0; }

// ---- memory -------------------------------------------------------------------------------

std::uint8_t Controller::read(std::uint16_t addr) { return cpu_.xdata_read(addr); }

void Controller::write(std::uint16_t addr, std::uint8_t value) { cpu_.xdata_write(addr, value); }

std::uint8_t Controller::page_read(void* ctx, std::uint16_t addr) {
    auto* self = static_cast<Controller*>(ctx);
    if (addr >= registers_base) return self->register_read(addr);
    if (addr >= buffers_base) return *self->buffer_byte(addr, false);
    self->unmapped(addr, false, 0);
    return 0xFF;
}

void Controller::page_write(void* ctx, std::uint16_t addr, std::uint8_t value) {
    auto* self = static_cast<Controller*>(ctx);
    if (addr >= registers_base)
        self->register_write(addr, value);
    else if (addr >= buffers_base)
        *self->buffer_byte(addr, true) = value;
    else
        self->unmapped(addr, true, value);
}

std::uint8_t Controller::mem_read(std::uint16_t addr) {
    if (addr < ram_size) return code_[addr];
    if (addr >= buffers_base && addr < registers_base) return *buffer_byte(addr, false);
    unmapped(addr, false, 0);
    return 0xFF;
}

void Controller::mem_write(std::uint16_t addr, std::uint8_t value) {
    if (addr < ram_size)
        code_[addr] = value;
    else if (addr >= buffers_base && addr < registers_base)
        *buffer_byte(addr, true) = value;
    else
        unmapped(addr, true, value);
}

std::uint8_t Controller::mem_read_thunk(void* ctx, std::uint16_t addr) {
    return static_cast<Controller*>(ctx)->mem_read(addr);
}

void Controller::mem_write_thunk(void* ctx, std::uint16_t addr, std::uint8_t value) {
    static_cast<Controller*>(ctx)->mem_write(addr, value);
}

void Controller::report(FindingKind kind, const std::string& message) {
    if (diag_) diag_->report(kind, cpu_.pc(), cpu_.cycles(), message);
}

void Controller::report_at(FindingKind kind, std::uint16_t address, const char* action, const char* action_many,
                           std::string detail) {
    if (diag_) diag_->report_at(kind, cpu_.pc(), cpu_.cycles(), address, action, action_many, std::move(detail));
}

bool Controller::wants_report(FindingKind kind) {
    return diag_ && diag_->wants_text(kind);
}

void Controller::unmapped(std::uint16_t addr, bool write, std::uint8_t /*value*/) {
    if (!wants_report(FindingKind::unmapped_xdata)) return;
    if (write)
        report_at(FindingKind::unmapped_xdata, addr, "MOVX write to unmapped", "MOVX writes to unmapped");
    else
        report_at(FindingKind::unmapped_xdata, addr, "MOVX read of unmapped", "MOVX reads of unmapped");
}

// ---- the register file ------------------------------------------------------------------------

std::uint8_t Controller::register_read(std::uint16_t addr) {
    using namespace reg;
    if (Ports::handles(addr)) return ports_.read(addr);
    if (addr >= SETUPDAT && addr < SETUPDAT + 8) return setupdat_[addr - SETUPDAT];
    if (addr > EP0CS && addr <= OUT7BC && addr != out0cs_slot) {
        // The control/status and byte count row: INnCS/INnBC, OUTnCS/OUTnBC.
        const bool in = addr < out0cs_slot;
        const int n = (addr - (in ? EP0CS : out0cs_slot)) / 2;
        const bool is_bc = (addr & 1) != 0;
        const Endpoint& ep = endpoint(in, n);
        if (!is_bc) return cs_read(ep);
        if (in) return ep.bc;
        return out_bc_read(ep);
    }
    switch (addr) {
    case CPUCS:
        return static_cast<std::uint8_t>((cpucs_ & 0x02) | (settings_.cpucs_slow ? bmCPUCS_SLOW : 0) |
                                         (cpu_held_ ? 0x01 : 0));
    case IVEC: {
        const int offset = pending_offset();
        return static_cast<std::uint8_t>(offset < 0 ? 0 : offset);
    }
    case IN07IRQ: return in07irq();
    case OUT07IRQ: return out07irq();
    case USBIRQ: return usbirq_;
    case IN07IEN: return in07ien_;
    case OUT07IEN: return out07ien_;
    case USBIEN: return usbien_;
    case USBBAV: return usbbav_;
    case EP0CS: return ep0cs_read();
    case out0cs_slot: return 0;
    case SUDPTRH: return sudptrh_;
    case SUDPTRL: return sudptrl_;
    case USBCS: return usbcs_;
    case TOGCTL: return togctl_read();
    case USBFRAMEL: return static_cast<std::uint8_t>(frame_);
    case USBFRAMEH: return static_cast<std::uint8_t>(frame_ >> 8);
    case FNADDR: return fnaddr_;
    case USBPAIR: return usbpair_;
    case IN07VAL: return in07val_;
    case OUT07VAL: return out07val_;
    default: break;
    }
    unmapped(addr, false, 0);
    return 0xFF;
}

void Controller::register_write(std::uint16_t addr, std::uint8_t value) {
    using namespace reg;
    if (Ports::handles(addr)) {
        ports_.write(addr, value);
        return;
    }
    if (addr >= SETUPDAT && addr < SETUPDAT + 8) return;  // read only
    if (addr > EP0CS && addr <= OUT7BC && addr != out0cs_slot) {
        const bool in = addr < out0cs_slot;
        const int n = (addr - (in ? EP0CS : out0cs_slot)) / 2;
        const bool is_bc = (addr & 1) != 0;
        Endpoint& ep = endpoint(in, n);
        if (!is_bc) {
            ep.stall = (value & bmEPSTALL) != 0;
            if (in && (value & bmEPBUSY)) in_busy_write(n);  // OUT: busy is read only
        } else if (in) {
            in_bc_write(ep, value);
        } else {
            out_bc_write(ep);
        }
        return;
    }
    switch (addr) {
    case CPUCS:
        // The 8051 cannot put itself in reset: bit 0 is the loader's alone.
        cpucs_ = value & 0x02;
        return;
    case IVEC: return;  // read only
    case IN07IRQ: case OUT07IRQ: case USBIRQ:
        acknowledge(addr, value);
        return;
    case IN07IEN: in07ien_ = value; update_line(); return;
    case OUT07IEN: out07ien_ = value; update_line(); return;
    case USBIEN: usbien_ = value & 0x1F; update_line(); return;
    case USBBAV: usbbav_ = value; return;
    case EP0CS: ep0cs_write(value); return;
    case out0cs_slot: return;
    case SUDPTRH: sudptrh_ = value; return;
    case SUDPTRL:
        sudptrl_ = value;
        start_descriptor_transfer();
        return;
    case USBCS: usbcs_write(value); return;
    case TOGCTL: togctl_write(value); return;
    case USBFRAMEL: case USBFRAMEH: case FNADDR: return;  // read only
    case USBPAIR:
        usbpair_ = value;
        apply_pairing();
        return;
    case IN07VAL: in07val_ = value; return;
    case OUT07VAL: out07val_ = value; return;
    default: break;
    }
    unmapped(addr, true, value);
}

}  // namespace vboard::controller
