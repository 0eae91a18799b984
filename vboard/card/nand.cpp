// The card's NAND flash: command set, address cycles, data register and array.
#include <algorithm>

#include "card/card.h"

namespace vboard::card {

Card::Card(const CardIdentity& id) : identity_(id), geometry_(geometry_for_device(id.device)) {}

void Card::set_pointer(Area area) {
    pointer_ = area;
    mode_ = Mode::read;
    addr_count_ = 0;
}

// Where a read or program starts in the page: the column byte (A7..A0) within
// the area that the pointer command chose.
uint32_t Card::start_column(uint8_t column_byte) const {
    switch (pointer_) {
    case Area::first_half: return column_byte;
    case Area::second_half: return 256u + column_byte;
    case Area::spare: return geometry_.data_bytes + (column_byte & (geometry_.spare_bytes - 1u));
    }
    return 0;
}

// The page address bytes of the running sequence, low byte first, with the
// bits above the card's size ignored. Read and program carry the column byte
// first; erase sends the page address alone.
uint32_t Card::row_address() const {
    const uint8_t* bytes = mode_ == Mode::erase ? addr_ : addr_ + 1;
    uint32_t row = 0;
    for (int i = geometry_.page_address_cycles - 1; i >= 0; --i) row = row << 8 | bytes[i];
    return geometry_.pages ? row & (geometry_.pages - 1) : 0;
}

uint8_t Card::byte_at(uint32_t page, uint32_t column) const {
    const auto it = pages_.find(page);
    return it == pages_.end() ? 0xFF : it->second[column];
}

std::vector<uint8_t> Card::page(uint32_t index) const {
    if (index >= geometry_.pages) return {};
    const auto it = pages_.find(index);
    if (it == pages_.end()) return std::vector<uint8_t>(geometry_.page_bytes(), 0xFF);
    return it->second;
}

void Card::command(uint8_t value) {
    // While busy only status and reset are taken; reset ends the operation
    // and aborts a program or erase half done.
    if (busy() && value != 0x70 && value != 0xFF) return;
    if (value == 0xFF) {
        power_off();
        return;
    }
    const Mode previous = mode_;
    const bool address_complete = addr_done_;
    addr_count_ = 0;
    addr_done_ = false;
    switch (value) {
    case 0x00:  // read, first half of the data area (the whole data area of 256-byte pages)
        set_pointer(Area::first_half);
        break;
    case 0x01:  // read, second half: cards with 512-byte pages only
        if (geometry_.data_bytes == 512)
            set_pointer(Area::second_half);
        else
            mode_ = Mode::none;
        break;
    case 0x50:  // read, spare area
        set_pointer(Area::spare);
        break;
    case 0x90:  // read ID
        mode_ = Mode::id;
        id_index_ = 0;
        break;
    case 0x91:  // second ID read: only a card that has the byte knows it
        mode_ = identity_.ext ? Mode::id2 : Mode::none;
        break;
    case 0x70:  // read status
        mode_ = Mode::status;
        break;
    case 0x80:  // serial data input: page address, then the bytes to program
        mode_ = Mode::program;
        program_buffer_.assign(geometry_.page_bytes(), 0xFF);
        break;
    case 0x10:  // program confirm
        if (previous == Mode::program && address_complete) program_page();
        mode_ = Mode::none;
        break;
    case 0x60:  // block erase: page address, then 0xD0
        mode_ = Mode::erase;
        break;
    case 0xD0:  // erase confirm
        if (previous == Mode::erase && address_complete) erase_block();
        mode_ = Mode::none;
        break;
    default:  // unknown: the running operation ends and the card drives nothing
        mode_ = Mode::none;
        break;
    }
}

void Card::address(uint8_t value) {
    if (busy()) return;
    const unsigned cycles = geometry_.page_address_cycles;
    switch (mode_) {
    case Mode::read:
        // In read mode a new address starts a new page read without a new
        // command; the pointer stays as the last pointer command set it.
        addr_[addr_count_++] = value;
        if (addr_count_ < 1 + cycles) return;
        addr_count_ = 0;
        cursor_valid_ = geometry_.pages != 0;
        cursor_page_ = row_address();
        cursor_column_ = start_column(addr_[0]);
        cursor_spare_only_ = pointer_ == Area::spare;
        if (pointer_ == Area::second_half) pointer_ = Area::first_half;  // 0x01 holds for one operation
        go_busy(kPageLoadNs);  // the page moves from the array into the data register
        return;
    case Mode::id:
    case Mode::id2:
        if (addr_done_) return;  // further address cycles are ignored
        if (value == 0x00)
            addr_done_ = true;
        else
            mode_ = Mode::none;  // only address 0x00 is defined
        return;
    case Mode::program:
        if (addr_done_) return;
        addr_[addr_count_++] = value;
        if (addr_count_ < 1 + cycles) return;
        addr_done_ = true;
        target_page_ = row_address();
        program_column_ = start_column(addr_[0]);
        if (pointer_ == Area::second_half) pointer_ = Area::first_half;
        return;
    case Mode::erase:
        if (addr_done_) return;
        addr_[addr_count_++] = value;
        if (addr_count_ < cycles) return;
        addr_done_ = true;
        target_page_ = row_address();  // the block is the one holding this page
        return;
    case Mode::none:
    case Mode::status:
        return;
    }
}

void Card::data_in(uint8_t value) {
    if (busy()) return;
    if (mode_ != Mode::program || !addr_done_) return;
    if (program_column_ < program_buffer_.size()) program_buffer_[program_column_++] = value;
}

std::optional<uint8_t> Card::data_out() {
    switch (mode_) {
    case Mode::read: {
        // Too early: the data register is still loading; nothing is driven.
        if (addr_count_ != 0 || !cursor_valid_ || busy()) return std::nullopt;
        const uint8_t value = byte_at(cursor_page_, cursor_column_);
        if (++cursor_column_ == geometry_.page_bytes()) {
            // Sequential row read: on into the next page, the spare areas
            // only after 0x50; past the last page there is nothing to give.
            if (++cursor_page_ >= geometry_.pages)
                cursor_valid_ = false;
            else {
                cursor_column_ = cursor_spare_only_ ? geometry_.data_bytes : 0;
                go_busy(kPageLoadNs);
            }
        }
        return value;
    }
    case Mode::id: {
        if (!addr_done_) return std::nullopt;
        const uint8_t ids[3] = {identity_.maker, identity_.device, identity_.id3};
        const uint8_t value = ids[id_index_];
        id_index_ = uint8_t((id_index_ + 1) % 3);
        return value;
    }
    case Mode::id2:
        if (!addr_done_) return std::nullopt;
        return identity_.ext;
    case Mode::status:
        return status();
    case Mode::none:
    case Mode::program:
    case Mode::erase:
        return std::nullopt;
    }
    return std::nullopt;
}

// Programming can only clear bits: the page becomes old AND new. A failing
// program leaves the page partly programmed (each bit to clear cleared or
// not, seeded) and sets the fail bit.
void Card::program_page() {
    cursor_valid_ = false;  // the data register held the bytes to program
    if (geometry_.pages == 0) {
        status_ = kStatusReady | kStatusFail;
        return;
    }
    begin_pending(target_page_, 1);
    const auto it = pages_.find(target_page_);
    if (it != pages_.end()) {
        for (size_t i = 0; i < program_buffer_.size(); ++i) {
            modified_ |= (it->second[i] & program_buffer_[i]) != it->second[i];
            it->second[i] &= program_buffer_[i];
        }
    } else if (std::any_of(program_buffer_.begin(), program_buffer_.end(), [](uint8_t b) { return b != 0xFF; })) {
        pages_.emplace(target_page_, program_buffer_);
        modified_ = true;
    }
    program_buffer_.clear();
    const bool failed = draw_failure(target_page_ / geometry_.pages_per_block, true);
    if (failed) settle_pending(500'000);
    status_ = failed ? kStatusReady | kStatusFail : kStatusReady;
    go_busy(kProgramNs);
    if (pending_) pending_->end_ns = busy_until_ns_;
}

// A failing erase leaves the block partly erased (each 0 bit set or not, seeded).
void Card::erase_block() {
    cursor_valid_ = false;
    if (geometry_.pages == 0) {
        status_ = kStatusReady | kStatusFail;
        return;
    }
    const uint32_t first = target_page_ - target_page_ % geometry_.pages_per_block;
    begin_pending(first, geometry_.pages_per_block);
    for (uint32_t p = first; p < first + geometry_.pages_per_block; ++p) modified_ |= pages_.erase(p) != 0;
    const bool failed = draw_failure(first / geometry_.pages_per_block, false);
    if (failed) settle_pending(500'000);
    status_ = failed ? kStatusReady | kStatusFail : kStatusReady;
    go_busy(kEraseNs);
    if (pending_) pending_->end_ns = busy_until_ns_;
}

// ---- faults and interruptions ------------------------------------------------

// splitmix64 of the seed and the draw count: the same seed and the same
// operations give the same draws.
uint64_t Card::next_random() {
    uint64_t z = faults_.seed * 0x9E3779B97F4A7C15ull + ++draws_ * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool Card::draw_failure(uint32_t block, bool program) {
    const bool listed = program
                            ? std::find(faults_.program_blocks.begin(), faults_.program_blocks.end(), block) !=
                                  faults_.program_blocks.end()
                            : std::find(faults_.erase_blocks.begin(), faults_.erase_blocks.end(), block) !=
                                  faults_.erase_blocks.end();
    if (listed) return true;
    return faults_.rate_ppm != 0 && next_random() % 1'000'000 < faults_.rate_ppm;
}

void Card::begin_pending(uint32_t first_page, uint32_t count) {
    pending_.emplace();
    pending_->first_page = first_page;
    pending_->start_ns = now_ns_;
    pending_->before.resize(count);
    for (uint32_t i = 0; i < count; ++i)
        if (const auto it = pages_.find(first_page + i); it != pages_.end()) pending_->before[i] = it->second;
}

// Every bit the running operation changed stays changed with the chance
// `share_ppm` in a million and goes back to its old value otherwise.
void Card::settle_pending(uint32_t share_ppm) {
    if (!pending_) return;
    const uint32_t page_bytes = geometry_.page_bytes();
    for (uint32_t i = 0; i < pending_->before.size(); ++i) {
        const uint32_t index = pending_->first_page + i;
        const std::vector<uint8_t>& before = pending_->before[i];
        std::vector<uint8_t> now = page(index);
        bool erased = true;
        for (uint32_t b = 0; b < page_bytes; ++b) {
            const uint8_t old = before.empty() ? 0xFF : before[b];
            const uint8_t differ = uint8_t(old ^ now[b]);
            for (unsigned bit = 0; bit < 8; ++bit)
                if ((differ >> bit & 1) && next_random() % 1'000'000 >= share_ppm) now[b] ^= uint8_t(1u << bit);
            erased &= now[b] == 0xFF;
        }
        if (erased)
            pages_.erase(index);
        else
            pages_[index] = std::move(now);
    }
}

void Card::restart() {
    mode_ = Mode::read;
    pointer_ = Area::first_half;
    status_ = kStatusReady;
    addr_count_ = 0;
    addr_done_ = false;
    cursor_valid_ = false;
    program_buffer_.clear();
    busy_until_ns_ = 0;
    pending_.reset();
}

void Card::power_off() {
    if (pending_ && clocked_ && now_ns_ < pending_->end_ns) {
        const uint64_t span = pending_->end_ns - pending_->start_ns;
        settle_pending(uint32_t((now_ns_ - pending_->start_ns) * 1'000'000 / span));
    }
    restart();
}

}  // namespace vboard::card
