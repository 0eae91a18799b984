// The USB controller around the 8051 core (AN21xx register map): on-chip
// RAM shared by code and data, the endpoint buffers and registers at
// 0x7B40-0x7FFF, the USB interrupt with its autovector, endpoint 0 with the
// built-in loader and the bare default device, bus attach, reset, suspend
// and resume, and the ports unit (ports.h) behind its registers.
//
// The core sees the controller through its bus: code fetch and external
// data pages 0x00-0x1F are the RAM itself (direct memory, no call), pages
// 0x7B-0x7F go through one handler, the byte at 0x0045 through the fetch
// hook (autovector), and the USB and resume interrupt inputs. The USB side
// is a set of transaction calls with the meaning of usb::Device; the board
// owns the clock and forwards them.
//
// README.md beside this file says which behaviour is documented hardware
// and which is our modelling decision.
//
// Index of the component:
//   controller.cpp   set-up, power-on, memory map, the register file
//   interrupts.cpp   request registers, the INT2 edge, autovector, recurrence check
//   endpoints.cpp    endpoint buffers and queues, pairing, toggles, bulk transactions
//   ep0.cpp          endpoint 0: SETUP routing, firmware transfers, SUDPTR, loader
//   bare_device.cpp  the default device that answers while RENUM = 0
//   bus.cpp          attach and detach, bus reset, SOF, suspend, resume, WAKEUP#
//   snapshot.cpp     the state copied out and back
//   observer.h       what the controller tells an observer (a trace)
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "controller/ports.h"
#include "usb/device.h"

namespace vboard {
class Cpu;
class Diagnostics;
enum class FindingKind : std::uint8_t;
enum class Irq : std::uint8_t;
}  // namespace vboard
namespace vboard::card {
class Socket;
}

namespace vboard::controller {

inline constexpr std::uint32_t ram_size = 0x2000;     // on-chip RAM 0x0000-0x1FFF
inline constexpr std::uint16_t buffers_base = 0x7B40;  // OUT7BUF
inline constexpr std::uint16_t registers_base = 0x7F40;
inline constexpr usb::clock_t suspend_after = 3 * usb::clocks_per_ms;  // no SOF this long: suspend
// Entries of the USB interrupt without an acknowledgement of the request
// they were taken for before the recurrence is reported.
inline constexpr unsigned irq_recurrence_limit = 32;

// Board-level choices the controller needs.
struct Settings {
    bool cpucs_slow = false;            // CPUCS bit 3 reads 1 (the firmware doubles its disconnection)
    bool bare_strings_stalled = false;  // the default device stalls strings 1 and 2
    std::string bare_string1;           // else answers them with these texts (8-bit characters;
    std::string bare_string2;           // at most max_bare_string characters are used)
};
inline constexpr std::size_t max_bare_string = 126;

class Controller {
public:
    // Attaches to `cpu` (code, external data pages, the autovector hook, the
    // interrupt acknowledge hook) and powers on with seed 0. `socket` may be
    // null (nothing on port C and the data bus).
    Controller(Cpu& cpu, card::Socket* socket, Diagnostics* diag);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // ---- controller.cpp: set-up and power --------------------------------------
    void set_settings(const Settings& settings);
    const Settings& settings() const { return settings_; }
    // Power-on: RAM and endpoint buffers get the power-on pattern of `seed`,
    // every register its power-on value, the 8051 is held in reset, the
    // board is on the bus as the default device (RENUM = 0).
    void power_on(std::uint64_t seed);

    // ---- controller.cpp: memory ---------------------------------------------------
    // The 8 KiB of on-chip RAM (also the start of the core's code array).
    std::uint8_t* ram() { return code_.get(); }
    const std::uint8_t* ram() const { return code_.get(); }
    // An access as a MOVX makes it: registers with their side effects, the
    // firmware checks reported. Addresses outside 0x7B00-0x7FFF go through
    // the core's page table.
    std::uint8_t read(std::uint16_t addr);
    void write(std::uint16_t addr, std::uint8_t value);
    // On-chip memory as the autopointer reaches it: RAM and endpoint buffers
    // (the paired window included); anything else is reported.
    std::uint8_t mem_read(std::uint16_t addr);
    void mem_write(std::uint16_t addr, std::uint8_t value);
    Ports& ports() { return ports_; }
    const Ports& ports() const { return ports_; }
    // Told of pin changes, strobes, attach changes and the loader's holds
    // and releases (null: none); the ports unit reports to it too.
    void set_observer(Observer* observer);

    // ---- ep0.cpp: the built-in loader ------------------------------------------------
    // One byte of a request 0xA0 download or upload: RAM and CPUCS only;
    // other addresses are ignored (read as 0xFF) and reported.
    void loader_write(std::uint16_t addr, std::uint8_t value);
    std::uint8_t loader_read(std::uint16_t addr);
    bool cpu_held() const { return cpu_held_; }
    // RAM bytes the loader has written since power-on.
    const std::bitset<ram_size>& loaded() const { return loaded_; }
    // Called when the loader holds the 8051 (CPUCS bit 0 from 0 to 1:
    // `held` true) and when it releases it (from 1 to 0: false).
    using HoldHook = void (*)(void* ctx, bool held);
    void set_hold_hook(HoldHook hook, void* ctx);

    // ---- bus.cpp: the USB side (see usb::Device for the meaning) ---------------------
    usb::clock_t now() const;
    bool attached() const;
    bool signalling_resume() const;
    bool suspended() const { return suspended_; }
    void bus_reset();
    void start_of_frame(std::uint16_t frame);
    void resume();
    // The WAKEUP# pin (idles high): a falling edge wakes the controller.
    void set_wakeup_pin(bool high);
    bool wakeup_pin() const { return wakeup_pin_; }
    // Clock of the next event the controller times itself (suspend
    // detection), or the largest clock when none is due.
    usb::clock_t next_event() const;
    // Handles the timed events due at now().
    void advance();

    // ---- ep0.cpp and endpoints.cpp: transactions ----------------------------------------
    usb::Handshake setup(std::uint8_t address, const std::array<std::uint8_t, 8>& request);
    usb::InPacket in(std::uint8_t address, std::uint8_t endpoint);
    usb::Handshake out(std::uint8_t address, std::uint8_t endpoint, usb::DataPid pid,
                       std::span<const std::uint8_t> data);

    // ---- state for the board and tests ------------------------------------------------------
    std::uint8_t function_address() const { return fnaddr_; }
    bool renum() const;
    bool usb_request_line() const { return line_; }

    // ---- snapshot.cpp: snapshots --------------------------------------------------------------
    // The controller's whole state (RAM, buffers, registers, endpoints, the
    // control transfer, bus state, the ports unit) without its wiring (the
    // core, socket, diagnostics, hold hook) or settings. Taken and put
    // back between runs of the board; the core's own state is the core's.
    struct State;
    State save_state() const;
    void restore_state(const State& state);

private:
    // An endpoint direction with its buffers: one, or two when paired. IN:
    // `count` packets are queued for the host; OUT: `count` received packets
    // are held for the 8051. Both sides walk the buffers in ring order.
    struct Endpoint {
        std::uint8_t number = 0;
        bool is_in = false;
        std::uint8_t slots[2] = {};  // physical buffers (slot = (addr - buffers_base) / 64)
        std::uint8_t capacity = 1;
        std::uint8_t len[2] = {};
        std::uint8_t count = 0;
        std::uint8_t cpu = 0;   // buffer the 8051's window shows
        std::uint8_t host = 0;  // buffer the host uses next
        bool enabled = false;   // OUT: armed since the last bus reset
        bool toggle = false;    // DATA1 next
        bool stall = false;
        bool partner = false;   // odd member of a pair: its registers and tokens are unused
        std::uint8_t bc = 0;    // IN: the byte count last written
    };
    struct SlotOwner {
        Endpoint* ep;
        std::uint8_t index;
    };

    // The control transfer in progress on endpoint 0.
    enum class Ep0Handler : std::uint8_t { none, firmware, controller, stalled };
    struct Control {
        Ep0Handler handler = Ep0Handler::none;
        bool data_in = false;        // the data stage runs device-to-host (wLength > 0)
        std::uint16_t length = 0;    // wLength
        std::uint32_t total = 0;     // bytes the controller sends (auto transfers)
        std::uint32_t moved = 0;     // bytes moved in the data stage so far
        bool auto_in = false;        // the controller sends the IN data itself
        bool from_memory = false;    // ... from on-chip memory at `address` (else `reply`)
        bool data_done = false;      // the last IN data packet has gone
        bool loader_out = false;     // download: OUT data goes to the loader
        std::uint16_t address = 0;   // loader: first address; SUDPTR: descriptor
        int new_address = -1;        // SET_ADDRESS: applied after the status stage
        std::vector<std::uint8_t> reply;
    };

    // controller.cpp
    static std::uint8_t page_read(void* ctx, std::uint16_t addr);
    static void page_write(void* ctx, std::uint16_t addr, std::uint8_t value);
    static std::uint8_t mem_read_thunk(void* ctx, std::uint16_t addr);
    static void mem_write_thunk(void* ctx, std::uint16_t addr, std::uint8_t value);
    std::uint8_t register_read(std::uint16_t addr);
    void register_write(std::uint16_t addr, std::uint8_t value);
    void report(FindingKind kind, const std::string& message);
    void report_at(FindingKind kind, std::uint16_t address, const char* action, const char* action_many,
                   std::string detail = {});
    // False (the finding only counted) when its text would not be kept.
    bool wants_report(FindingKind kind);
    void unmapped(std::uint16_t addr, bool write, std::uint8_t value);

    // interrupts.cpp
    static std::uint8_t autovector_hook(void* ctx, std::uint16_t addr, std::uint8_t stored);
    static void irq_ack_hook(void* ctx, Irq irq);
    std::uint8_t in07irq() const;
    std::uint8_t out07irq() const;
    bool request_line() const;
    int pending_offset() const;  // autovector offset of the most urgent enabled request, or -1
    void raise_usb(std::uint8_t bits);
    void raise_endpoint(bool in, int n);
    void update_line();
    void acknowledge(std::uint16_t reg, std::uint8_t value);
    void usb_interrupt_taken();
    void raise_resume();

    // endpoints.cpp
    void init_endpoints();
    void apply_pairing();
    Endpoint& endpoint(bool in, int n) { return in ? in_[n] : out_[n]; }
    const Endpoint& endpoint(bool in, int n) const { return in ? in_[n] : out_[n]; }
    std::uint8_t* buffer_byte(std::uint16_t addr, bool write);
    bool owned_by_controller(std::uint8_t slot) const;
    std::uint8_t cs_read(const Endpoint& ep) const;
    void in_bc_write(Endpoint& ep, std::uint8_t value);
    void in_busy_write(int n);
    void out_bc_write(Endpoint& ep);
    std::uint8_t out_bc_read(const Endpoint& ep) const;
    void togctl_write(std::uint8_t value);
    std::uint8_t togctl_read() const;
    void reset_endpoints();
    bool endpoint_valid(bool in, int n) const;
    usb::InPacket in_bulk(int n);
    usb::Handshake out_bulk(int n, usb::DataPid pid, std::span<const std::uint8_t> data);
    bool token_reaches_us(std::uint8_t address);

    // ep0.cpp
    usb::InPacket in_ep0();
    usb::Handshake out_ep0(usb::DataPid pid, std::span<const std::uint8_t> data);
    void auto_packet(usb::InPacket& packet);
    void start_descriptor_transfer();
    void ep0cs_write(std::uint8_t value);
    std::uint8_t ep0cs_read() const;
    void cpucs_loader_write(std::uint8_t value);

    // bare_device.cpp
    void bare_request(const std::array<std::uint8_t, 8>& request);
    std::vector<std::uint8_t> bare_string(int index) const;

    // bus.cpp
    void bus_activity();
    void usbcs_write(std::uint8_t value);
    void attach_changed(bool now_attached);

    Cpu& cpu_;
    Diagnostics* diag_;
    Ports ports_;
    Settings settings_;
    std::unique_ptr<std::uint8_t[]> code_;     // 64 KiB code array: RAM, then no memory (0xFF)
    std::uint8_t buffers_[0x7F40 - buffers_base] = {};
    std::bitset<ram_size> loaded_;
    HoldHook hold_hook_ = nullptr;
    void* hold_ctx_ = nullptr;
    Observer* observer_ = nullptr;

    // Endpoints and buffers.
    Endpoint in_[8];
    Endpoint out_[8];
    SlotOwner owner_[16] = {};

    // Registers.
    bool cpu_held_ = true;
    std::uint8_t cpucs_ = 0;  // the stored bits (bit 1)
    std::uint8_t usbcs_ = 0;
    std::uint8_t usbirq_ = 0;
    std::uint8_t in_irq_[8] = {};   // requests per endpoint: packets completed, not yet acknowledged
    std::uint8_t out_irq_[8] = {};
    std::uint8_t in07ien_ = 0, out07ien_ = 0, usbien_ = 0, usbbav_ = 0;
    std::uint8_t in07val_ = 0, out07val_ = 0, usbpair_ = 0;
    std::uint8_t togctl_ = 0;
    std::uint8_t sudptrh_ = 0, sudptrl_ = 0;
    std::uint8_t fnaddr_ = 0;
    std::uint16_t frame_ = 0;
    std::array<std::uint8_t, 8> setupdat_{};
    bool hsnak_ = false;
    bool ep0stall_ = false;
    Control ctl_;

    // Interrupt line and the recurrence check.
    bool line_ = false;
    int streak_offset_ = -1;
    unsigned streak_ = 0;
    std::uint32_t reported_recurrence_ = 0;  // one bit per autovector entry

    // Bus.
    bool suspended_ = false;
    bool detector_armed_ = false;  // bus activity seen since reset, wake-up or attach
    bool pin_woke_ = false;        // WAKEUP# ended a suspension the host has not resumed yet
    usb::clock_t idle_since_ = 0;
    bool wakeup_pin_ = true;

    // The default device.
    std::uint8_t bare_configuration_ = 0;
    std::uint8_t bare_alt_setting_ = 0;
};

struct Controller::State {
    std::vector<std::uint8_t> ram;  // the on-chip RAM (the code array above it never changes)
    std::uint8_t buffers[0x7F40 - buffers_base] = {};
    std::bitset<ram_size> loaded;
    Endpoint in[8], out[8];
    std::int8_t owner_ep[16] = {};  // -1: none; 0-7 IN, 8-15 OUT endpoints
    std::uint8_t owner_index[16] = {};
    bool cpu_held = true;
    std::uint8_t cpucs = 0, usbcs = 0, usbirq = 0;
    std::uint8_t in_irq[8] = {}, out_irq[8] = {};
    std::uint8_t in07ien = 0, out07ien = 0, usbien = 0, usbbav = 0;
    std::uint8_t in07val = 0, out07val = 0, usbpair = 0, togctl = 0;
    std::uint8_t sudptrh = 0, sudptrl = 0, fnaddr = 0;
    std::uint16_t frame = 0;
    std::array<std::uint8_t, 8> setupdat{};
    bool hsnak = false, ep0stall = false;
    Control ctl;
    bool line = false;
    int streak_offset = -1;
    unsigned streak = 0;
    std::uint32_t reported_recurrence = 0;
    bool suspended = false, detector_armed = false, pin_woke = false;
    usb::clock_t idle_since = 0;
    bool wakeup_pin = true;
    std::uint8_t bare_configuration = 0, bare_alt_setting = 0;
    Ports::State ports;
};

}  // namespace vboard::controller
