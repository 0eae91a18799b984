// Ports A, B, C and the fast-transfer unit of the controller: the port
// registers, the autopointer with AUTODATA, and the FWR#/FRD# strobes that
// move bytes between on-chip memory and the data bus D7..D0 of the card
// socket.
//
// Wiring of the board:
//   PC0 -> CLE, PC1 -> ALE, PC2 -> CE# (active low), PC3 <- card present,
//   PA4 = FWR# (the card's WE#), PA5 = FRD# (the card's RE#) when PORTACFG
//   routes them; every other pin is unconnected.
// Undriven pins read what the board puts on them: pull-downs on PC0 and PC1
// (latches closed), pull-ups everywhere else (PC2 high = card deselected), and
// PC3 reads 1 with a card in, 0 with the socket empty.
//
// The controller forwards the addresses `handles()` accepts; the memory the
// autopointer reaches (RAM and endpoint buffers) stays the controller's and is
// reached through the accessor it supplies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace vboard {
class Cpu;
}
namespace vboard::card {
class Socket;
}

namespace vboard::controller {

class Observer;

// One event on the card side of the board, for tests: a write to OEC or OUTC,
// or a strobe pulse that reached its pin.
struct BusEvent {
    enum class Kind : std::uint8_t {
        oec,   // value: the byte written to OEC
        outc,  // value: the byte written to OUTC
        fwr,   // FWR# pulse; value: the byte driven on D7..D0
        frd,   // FRD# pulse; value: the byte stored from D7..D0
    };
    Kind kind;
    std::uint8_t value;
    std::uint64_t cycle = 0;   // core cycle at which the accessing instruction started
    std::uint8_t width = 0;    // strobes: pulse length in clocks (MOVX stretch)
    std::uint8_t shape = 0;    // strobes: polarity << 2 | mode (WPOL/WMOD or RPOL/RMOD)

    // The same event: kind and value. When it happened and the waveform it
    // had are extra detail that a reference model does not predict.
    bool operator==(const BusEvent& other) const { return kind == other.kind && value == other.value; }
};
std::string to_string(const BusEvent& event);  // "oec 07", "outc 01", "fwr 90", "frd ec"
std::ostream& operator<<(std::ostream& out, const BusEvent& event);

class Ports {
public:
    // Register addresses, as the firmware's include file names them.
    static constexpr std::uint16_t PORTACFG = 0x7F93;
    static constexpr std::uint16_t PORTBCFG = 0x7F94;
    static constexpr std::uint16_t PORTCCFG = 0x7F95;
    static constexpr std::uint16_t OUTA = 0x7F96;
    static constexpr std::uint16_t OUTB = 0x7F97;
    static constexpr std::uint16_t OUTC = 0x7F98;
    static constexpr std::uint16_t PINSA = 0x7F99;
    static constexpr std::uint16_t PINSB = 0x7F9A;
    static constexpr std::uint16_t PINSC = 0x7F9B;
    static constexpr std::uint16_t OEA = 0x7F9C;
    static constexpr std::uint16_t OEB = 0x7F9D;
    static constexpr std::uint16_t OEC = 0x7F9E;
    static constexpr std::uint16_t FASTXFR = 0x7FE2;
    static constexpr std::uint16_t AUTOPTRH = 0x7FE3;
    static constexpr std::uint16_t AUTOPTRL = 0x7FE4;
    static constexpr std::uint16_t AUTODATA = 0x7FE5;

    // PORTACFG bits.
    static constexpr std::uint8_t bmFWR = 0x10;  // PA4 is FWR#
    static constexpr std::uint8_t bmFRD = 0x20;  // PA5 is FRD#
    // FASTXFR bits.
    static constexpr std::uint8_t bmFISO = 0x80;
    static constexpr std::uint8_t bmFBLK = 0x40;
    static constexpr std::uint8_t bmRPOL = 0x20;
    static constexpr std::uint8_t bmRMOD = 0x18;
    static constexpr std::uint8_t bmWPOL = 0x04;
    static constexpr std::uint8_t bmWMOD = 0x03;

    // The bus byte when nothing drives D7..D0 (the board's pull-ups).
    static constexpr std::uint8_t bus_pullups = 0xFF;
    // Default bound of the event record.
    static constexpr std::size_t default_record_limit = 65536;

    // On-chip memory as the autopointer reaches it (the controller checks
    // the address and owns what is there).
    using MemRead = std::uint8_t (*)(void* ctx, std::uint16_t addr);
    using MemWrite = void (*)(void* ctx, std::uint16_t addr, std::uint8_t value);

    // ---- ports.cpp: set-up ------------------------------------------------
    // Registers at their power-on values (all zero), no memory (AUTODATA
    // reads 0xFF and writes go nowhere), no socket, no core.
    Ports() = default;
    void set_memory(MemRead read, MemWrite write, void* ctx);
    // The card socket on port C and the data bus; its control lines take the
    // present pin levels at once. nullptr: nothing connected.
    void set_socket(card::Socket* socket);
    // The core whose CKCON sets the strobe width and whose cycle counter
    // stamps the events. Without one: MOVX stretch 1 (CKCON's power-on MD),
    // cycle 0.
    void set_core(const Cpu* core) { core_ = core; }
    // Told of pin changes and strobe pulses (null: none). A pulse starts
    // one instruction cycle into its MOVX and lasts strobe_width() clocks.
    void set_observer(Observer* observer);

    // Every register back to zero, the socket's lines to the undriven
    // levels. The event record is kept.
    void reset();

    // ---- ports.cpp: register access ---------------------------------------
    static bool handles(std::uint16_t addr) {
        return (addr >= PORTACFG && addr <= OEC) || (addr >= FASTXFR && addr <= AUTODATA);
    }
    // Accesses to AUTODATA move a byte and advance the autopointer; reads of
    // every other register have no side effect. Writes to PINSx are ignored.
    std::uint8_t read(std::uint16_t addr);
    void write(std::uint16_t addr, std::uint8_t value);

    // ---- ports.cpp: state for the board and tests --------------------------
    std::uint16_t autoptr() const { return autoptr_; }
    std::uint8_t pins_a() const;
    std::uint8_t pins_b() const;
    std::uint8_t pins_c() const;
    // Length of one strobe pulse in clocks: 2, 4, 8, 12, ... 28 for MOVX
    // stretch 0..7.
    std::uint8_t strobe_width() const;

    // Event record: off by default; when on, keeps the first `limit` events
    // and counts the rest as dropped.
    void record(bool on, std::size_t limit = default_record_limit);
    const std::vector<BusEvent>& events() const { return events_; }
    std::size_t dropped_events() const { return dropped_; }
    void clear_events();

    // ---- ports.cpp: snapshots ------------------------------------------------
    // The registers and the event record, without the wiring (memory,
    // socket, core). Restoring does not touch the socket's lines: the
    // socket is restored with the board.
    struct State {
        std::uint8_t cfg[3] = {}, out[3] = {}, oe[3] = {};
        std::uint8_t fastxfr = 0;
        std::uint16_t autoptr = 0;
        bool recording = false;
        std::size_t record_limit = default_record_limit;
        std::size_t dropped = 0;
        std::vector<BusEvent> events;
    };
    State save_state() const;
    void restore_state(const State& state);

private:
    std::uint8_t mem_read(std::uint16_t addr) const;
    void mem_write(std::uint16_t addr, std::uint8_t value);
    std::uint8_t autodata_read();
    void autodata_write(std::uint8_t value);
    void update_socket();
    void note(BusEvent::Kind kind, std::uint8_t value, std::uint8_t width = 0, std::uint8_t shape = 0);
    void pins_changed();
    void pulse(bool write, std::uint8_t bus, bool driven);

    std::uint8_t cfg_[3] = {};  // PORTACFG, PORTBCFG, PORTCCFG
    std::uint8_t out_[3] = {};  // OUTA, OUTB, OUTC
    std::uint8_t oe_[3] = {};   // OEA, OEB, OEC
    std::uint8_t fastxfr_ = 0;
    std::uint16_t autoptr_ = 0;

    MemRead mem_read_ = nullptr;
    MemWrite mem_write_ = nullptr;
    void* mem_ctx_ = nullptr;
    card::Socket* socket_ = nullptr;
    const Cpu* core_ = nullptr;
    Observer* observer_ = nullptr;
    std::uint8_t shown_a_ = 0, shown_c_ = 0;  // the levels the observer was last told

    bool recording_ = false;
    std::size_t record_limit_ = default_record_limit;
    std::size_t dropped_ = 0;
    std::vector<BusEvent> events_;
};

}  // namespace vboard::controller
