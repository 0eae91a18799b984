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
    // While busy only status and reset are taken; reset ends the operation.
    if (busy() && value != 0x70 && value != 0xFF) return;
    if (value == 0xFF) busy_until_ns_ = 0;
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
    case 0xFF:  // reset: read mode, first half, status clear, data register dropped
        mode_ = Mode::read;
        pointer_ = Area::first_half;
        status_ = kStatusReady;
        cursor_valid_ = false;
        program_buffer_.clear();
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
    last_read_early_ = false;
    switch (mode_) {
    case Mode::read: {
        // Too early: the data register is still loading; nothing is driven.
        if (addr_count_ != 0 || !cursor_valid_) return std::nullopt;
        if (busy()) {
            last_read_early_ = true;
            return std::nullopt;
        }
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

// Programming can only clear bits: the page becomes old AND new.
void Card::program_page() {
    cursor_valid_ = false;  // the data register held the bytes to program
    if (geometry_.pages == 0) {
        status_ = kStatusReady | kStatusFail;
        return;
    }
    const auto it = pages_.find(target_page_);
    if (it != pages_.end()) {
        for (size_t i = 0; i < program_buffer_.size(); ++i) it->second[i] &= program_buffer_[i];
    } else if (std::any_of(program_buffer_.begin(), program_buffer_.end(), [](uint8_t b) { return b != 0xFF; })) {
        pages_.emplace(target_page_, program_buffer_);
    }
    program_buffer_.clear();
    status_ = kStatusReady;
    go_busy(kProgramNs);
}

void Card::erase_block() {
    cursor_valid_ = false;
    if (geometry_.pages == 0) {
        status_ = kStatusReady | kStatusFail;
        return;
    }
    const uint32_t first = target_page_ - target_page_ % geometry_.pages_per_block;
    for (uint32_t p = first; p < first + geometry_.pages_per_block; ++p) pages_.erase(p);
    status_ = kStatusReady;
    go_busy(kEraseNs);
}

}  // namespace vboard::card
