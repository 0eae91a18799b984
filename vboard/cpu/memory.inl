// Internal RAM, SFR, bit, stack and external data access of the core.
// Included by execute.cpp only: these run on every instruction and must inline.

namespace vboard {

inline std::uint8_t& Cpu::rn(int n) { return iram_[(psw_ref() & sfr::PSW_RS) | n]; }

// @Ri reaches all 256 bytes of internal RAM.
inline std::uint8_t& Cpu::at_ri(int i) { return iram_[rn(i)]; }

// DPTR instructions use the pointer that DPS selects; DPL/DPH and DPL1/DPH1
// always name pointer 0 and pointer 1 as SFRs.
inline std::uint16_t Cpu::dptr() const {
    const int lo = (sfr::DPL - 0x80) + ((sfr_[sfr::DPS - 0x80] & 1) << 1);
    return static_cast<std::uint16_t>(sfr_[lo] | (sfr_[lo + 1] << 8));
}

inline void Cpu::set_dptr(std::uint16_t v) {
    const int lo = (sfr::DPL - 0x80) + ((sfr_[sfr::DPS - 0x80] & 1) << 1);
    sfr_[lo] = static_cast<std::uint8_t>(v);
    sfr_[lo + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void Cpu::set_carry(bool c) {
    psw_ref() = static_cast<std::uint8_t>((psw_ref() & ~sfr::PSW_CY) | (c ? sfr::PSW_CY : 0));
}

inline std::uint8_t Cpu::read_sfr(std::uint8_t addr) {
    const int i = addr - 0x80;
    if (sfr_mode_[i] == sfr_plain) return sfr_[i];
    return read_sfr_slow(addr);
}

inline void Cpu::write_sfr(std::uint8_t addr, std::uint8_t value) {
    const int i = addr - 0x80;
    if (sfr_mode_[i] == sfr_plain) {
        sfr_[i] = value;
        return;
    }
    write_sfr_slow(addr, value);
}

inline std::uint8_t Cpu::read_direct(std::uint8_t addr) {
    return addr < 0x80 ? iram_[addr] : read_sfr(addr);
}

inline void Cpu::write_direct(std::uint8_t addr, std::uint8_t value) {
    if (addr < 0x80)
        iram_[addr] = value;
    else
        write_sfr(addr, value);
}

// Bit addresses 0x00-0x7F are IRAM 0x20-0x2F; 0x80-0xFF are bits of the SFRs
// whose address ends in 0 or 8.
inline bool Cpu::read_bit(std::uint8_t bit) {
    const std::uint8_t byte = bit < 0x80 ? iram_[0x20 + (bit >> 3)] : read_sfr(bit & 0xF8);
    return (byte >> (bit & 7)) & 1;
}

inline void Cpu::write_bit(std::uint8_t bit, bool value) {
    const std::uint8_t mask = static_cast<std::uint8_t>(1u << (bit & 7));
    if (bit < 0x80) {
        std::uint8_t& byte = iram_[0x20 + (bit >> 3)];
        byte = static_cast<std::uint8_t>(value ? byte | mask : byte & ~mask);
        return;
    }
    const std::uint8_t addr = bit & 0xF8;
    const std::uint8_t byte = read_sfr(addr);
    write_sfr(addr, static_cast<std::uint8_t>(value ? byte | mask : byte & ~mask));
}

inline void Cpu::push(std::uint8_t value) {
    std::uint8_t& sp = sp_ref();
    if (sp == 0xFF) [[unlikely]]
        stack_wrapped(true);
    ++sp;
    iram_[sp] = value;
}

inline std::uint8_t Cpu::pop() {
    std::uint8_t& sp = sp_ref();
    const std::uint8_t value = iram_[sp];
    if (sp == 0x00) [[unlikely]]
        stack_wrapped(false);
    --sp;
    return value;
}

inline std::uint8_t Cpu::read_xdata(std::uint16_t addr) {
    const XPage& page = xpages_[addr >> 8];
    if (page.mem) return page.mem[addr & 0xFF];
    return read_xdata_slow(addr);
}

inline void Cpu::write_xdata(std::uint16_t addr, std::uint8_t value) {
    const XPage& page = xpages_[addr >> 8];
    if (page.mem) {
        page.mem[addr & 0xFF] = value;
        return;
    }
    write_xdata_slow(addr, value);
}

inline std::uint16_t Cpu::movx_ri_addr(int i) {
    return static_cast<std::uint16_t>((sfr_[movx_page_sfr_ - 0x80] << 8) | rn(i));
}

}  // namespace vboard
