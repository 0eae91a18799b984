// The SmartMedia card in the board's socket, seen only through the socket's
// wires: command latch (CLE, PC0), address latch (ALE, PC1), chip enable
// (CE#, PC2, active low), card present (PC3), data bus D7..D0 with FWR# as
// the card's write strobe (WE#) and FRD# as its read strobe (RE#).
//
// The socket decodes each strobe into a bus cycle (command, address, data in,
// data out); the card is the NAND flash state machine behind those cycles.
// README.md beside this file says which behaviour follows the public
// NAND/SmartMedia documentation and which is our modelling choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vboard::card {

// ---- identity.cpp: which card is in the socket --------------------------

// The card's identity: what Read ID (0x90) and the second ID read (0x91) answer.
struct CardIdentity {
    uint8_t maker = 0xEC;
    uint8_t device = 0x75;
    uint8_t id3 = 0xA5;
    std::optional<uint8_t> ext;  // the 0x91 byte; without it the card does not know 0x91

    bool operator==(const CardIdentity&) const = default;
};

// Parses "MAKER,DEVICE,ID3[,EXT]", each field hex (1 or more digits, an
// optional 0x prefix, at most 0xff), e.g. "ec,75,a5" or "98,73,c0,21".
// On bad input returns nothing and sets error to one line naming the fault.
std::optional<CardIdentity> parse_card_identity(std::string_view text, std::string& error);

// "ec,75,a5" / "98,73,c0,21": the form parse_card_identity reads.
std::string format_card_identity(const CardIdentity& id);

// ---- geometry.cpp: the memory array a device code stands for -------------

struct Geometry {
    uint32_t pages = 0;               // 0: unknown device code, the card has no array
    uint16_t data_bytes = 0;          // 256 (1 MB, 2 MB cards) or 512
    uint16_t spare_bytes = 0;         // 8 or 16
    uint16_t pages_per_block = 0;     // erase unit
    uint8_t page_address_cycles = 2;  // address bytes after the column byte: 2 or 3

    uint32_t page_bytes() const { return uint32_t{data_bytes} + spare_bytes; }
    uint64_t data_capacity() const { return uint64_t{pages} * data_bytes; }
    uint64_t image_bytes() const { return uint64_t{pages} * page_bytes(); }
};

Geometry geometry_for_device(uint8_t device);

// ---- faults.cpp: programs and erases that fail ---------------------------

// Which programs and erases the card fails (status bit 0 after the busy
// time), and the seed of every random choice the card makes: the rate's
// draws and the bits of a failed or interrupted operation.
struct CardFaults {
    std::vector<uint32_t> program_blocks;  // a program of any page in these blocks fails
    std::vector<uint32_t> erase_blocks;    // an erase of these blocks fails
    uint32_t rate_ppm = 0;                 // any other program or erase fails with this chance, per million
    uint64_t seed = 1;

    bool operator==(const CardFaults&) const = default;
};

// Parses "ITEM[,ITEM...]": program:B[-B], erase:B[-B], block:B[-B] (both),
// rate:R (a decimal fraction 0..1, e.g. 0.001, or N%), seed:N. B and N
// decimal. On bad input returns nothing and sets error to one line.
std::optional<CardFaults> parse_card_faults(std::string_view text, std::string& error);

// ---- nand.cpp (and image.cpp): the card's flash chip ---------------------

class Card {
public:
    // A card fresh from power-on: erased (every byte 0xFF), ready, in read mode.
    explicit Card(const CardIdentity& id);

    const CardIdentity& identity() const { return identity_; }
    const Geometry& geometry() const { return geometry_; }

    // image.cpp: fills the array from the file at `path`: raw pages of
    // page_bytes() bytes (data, then spare) in page order; a shorter file
    // leaves the rest erased. The card then starts over as at power-on. On
    // failure (unreadable, larger than the card) returns false with a
    // one-line error and keeps the previous contents.
    bool load_image(const std::string& path, std::string& error);
    // image.cpp: the whole array (every page, data then spare) written to
    // `path`.tmp and renamed to `path`. False with a one-line error naming
    // the OS's reason; `path` is then untouched.
    bool save_image(const std::string& path, std::string& error) const;
    // True once a program, erase or interruption has changed the array
    // since power-on or the last load_image().
    bool modified() const { return modified_; }

    // Programs and erases that fail, and the seed of the card's random
    // choices (README.md, "Faults"). A card starts with none.
    void set_faults(const CardFaults& faults) { faults_ = faults; draws_ = 0; }
    const CardFaults& faults() const { return faults_; }

    // The card loses power at the time last given by set_time() (pulled
    // from the socket, or the board's power gone): a program or erase still
    // busy leaves its page or block between old and new, each differing bit
    // new with the chance of the share of the busy time that has passed
    // (seeded). The card is then as at power-on, its array kept.
    void power_off();

    // One bus cycle each, with the chip selected.
    void command(uint8_t value);          // write strobe, CLE high
    void address(uint8_t value);          // write strobe, ALE high
    void data_in(uint8_t value);          // write strobe, both latches low
    std::optional<uint8_t> data_out();    // read strobe; nothing = the card drives nothing

    // Status register: bit 7 not write-protected, bit 6 ready, bit 0 last
    // program/erase failed.
    uint8_t status() const { return busy() ? uint8_t(status_ & ~kStatusReadyBit) : status_; }

    // Time, in nanoseconds, as the board's clock gives it before each bus
    // cycle. A card that is never told the time (strobe-level unit tests)
    // finishes every operation at once.
    void set_time(uint64_t now_ns) { now_ns_ = now_ns; clocked_ = true; }
    // Busy after a page load, program or erase: R/B# low, status bit 6 clear.
    bool busy() const { return clocked_ && now_ns_ < busy_until_ns_; }

    // The array as it stands, for checks from outside the bus.
    std::vector<uint8_t> page(uint32_t index) const;  // page_bytes() bytes (erased: 0xFF); empty past the card
    size_t stored_pages() const { return pages_.size(); }  // pages that are not erased

    static constexpr uint8_t kStatusReady = 0xC0;  // not protected, ready, pass
    static constexpr uint8_t kStatusFail = 0x01;
    static constexpr uint8_t kStatusReadyBit = 0x40;

    // Busy times (README.md: page load the data sheets' maximum; program and
    // erase their typical values).
    static constexpr uint64_t kPageLoadNs = 10'000;
    static constexpr uint64_t kProgramNs = 250'000;
    static constexpr uint64_t kEraseNs = 2'000'000;

private:
    // A program or erase in its busy time: the pages as they were before
    // it, so that an interruption can leave them between old and new.
    struct Pending {
        uint32_t first_page = 0;
        std::vector<std::vector<uint8_t>> before;  // per page; empty vector: was erased
        uint64_t start_ns = 0;
        uint64_t end_ns = 0;
    };

    enum class Mode : uint8_t {
        none,     // unknown command or finished program/erase: ignores cycles, drives nothing
        read,     // 0x00 / 0x01 / 0x50: column + page address, then data out
        id,       // 0x90: address 0x00, then maker, device, third byte, repeating
        id2,      // 0x91: address 0x00, then the ext byte, repeating
        status,   // 0x70: the status register on every read
        program,  // 0x80: column + page address, data in, 0x10 programs
        erase,    // 0x60: page address, 0xD0 erases the block
    };
    enum class Area : uint8_t { first_half, second_half, spare };  // 0x00, 0x01, 0x50

    void set_pointer(Area area);
    uint32_t start_column(uint8_t column_byte) const;
    uint32_t row_address() const;  // from the collected page address bytes, masked
    void program_page();
    void erase_block();
    bool draw_failure(uint32_t block, bool program);
    void begin_pending(uint32_t first_page, uint32_t count);
    void settle_pending(uint32_t share_ppm);  // each changed bit stays new with this chance
    uint64_t next_random();
    void restart();  // power-on state: read mode, first half, status clear, nothing busy
    uint8_t byte_at(uint32_t page, uint32_t column) const;
    void go_busy(uint64_t ns) { busy_until_ns_ = now_ns_ + ns; }

    CardIdentity identity_;
    Geometry geometry_;
    std::unordered_map<uint32_t, std::vector<uint8_t>> pages_;  // absent = erased
    CardFaults faults_;
    uint64_t draws_ = 0;  // random draws so far: the next one is a function of the seed and this
    std::optional<Pending> pending_;
    bool modified_ = false;

    Mode mode_ = Mode::read;
    Area pointer_ = Area::first_half;
    uint8_t status_ = kStatusReady;
    uint64_t now_ns_ = 0;
    uint64_t busy_until_ns_ = 0;
    bool clocked_ = false;

    uint8_t addr_[4] = {};     // address bytes of the running sequence
    uint8_t addr_count_ = 0;
    bool addr_done_ = false;   // id/id2/program/erase: the address is complete
    uint8_t id_index_ = 0;

    // The data register's read cursor: survives a status read and a new
    // pointer command, so that 0x70 then 0x00 resumes a page read.
    bool cursor_valid_ = false;
    bool cursor_spare_only_ = false;  // a 0x50 read walks the spare areas only
    uint32_t cursor_page_ = 0;
    uint32_t cursor_column_ = 0;

    std::vector<uint8_t> program_buffer_;
    uint32_t target_page_ = 0;    // page of the running program, or in the block to erase
    uint32_t program_column_ = 0;
};

// ---- socket.cpp: the socket's wires --------------------------------------

// One cycle the card took part in, for tests and traces.
struct BusCycle {
    enum class Kind : uint8_t { command, address, data_in, data_out };
    Kind kind;
    std::optional<uint8_t> value;  // data_out with nothing: the card did not drive the bus

    bool operator==(const BusCycle&) const = default;
};
std::string to_string(const BusCycle& cycle);  // "cmd 90", "addr 00", "in 5a", "out ec", "out --"

class Socket {
public:
    Socket() = default;  // empty socket
    explicit Socket(Card card) : card_(std::move(card)) {}

    // The board's clock, read at every strobe (nanoseconds); without one the
    // card is never told the time.
    using Clock = uint64_t (*)(const void* ctx);
    void set_clock(Clock clock, const void* ctx) { clock_ = clock; clock_ctx_ = ctx; }

    void insert(Card card) { card_ = std::move(card); }
    // The card taken out: it loses power at the clock's time (Card::power_off)
    // and is handed back, so that it can be inserted again or saved.
    std::optional<Card> remove();
    bool card_present() const { return card_.has_value(); }  // the PC3 line
    Card* card() { return card_ ? &*card_ : nullptr; }
    const Card* card() const { return card_ ? &*card_ : nullptr; }

    // Levels of the control lines as the board drives them (true = high).
    // At power-on: CLE low, ALE low, CE# high (deselected).
    void set_cle(bool high) { cle_ = high; }
    void set_ale(bool high) { ale_ = high; }
    void set_ce_n(bool high) { ce_n_ = high; }
    bool cle() const { return cle_; }
    bool ale() const { return ale_; }
    bool ce_n() const { return ce_n_; }

    // One WE# pulse with the byte the board drives on D7..D0. Ignored with no
    // card, with CE# high, and with CLE and ALE both high.
    void write_strobe(uint8_t bus);

    // One RE# pulse: the byte the card drives, or nothing (no card, CE# high,
    // a latch high, or no data to give), in which case the board's pull-ups
    // decide what the bus reads.
    std::optional<uint8_t> read_strobe();

    // Record of the cycles the card took part in; off by default so that a
    // long-running board does not grow it.
    void record(bool on) { recording_ = on; }
    const std::vector<BusCycle>& cycles() const { return cycles_; }
    void clear_cycles() { cycles_.clear(); }

private:
    void note(BusCycle::Kind kind, std::optional<uint8_t> value);

    std::optional<Card> card_;
    Clock clock_ = nullptr;
    const void* clock_ctx_ = nullptr;
    bool cle_ = false;
    bool ale_ = false;
    bool ce_n_ = true;
    bool recording_ = false;
    std::vector<BusCycle> cycles_;
};

}  // namespace vboard::card
