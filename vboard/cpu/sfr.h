// SFR addresses of the 8051 core and the bits the core itself uses, named as
// the firmware's include file spells them.
#pragma once

#include <cstdint>

namespace vboard::sfr {

// Standard 8051/8052 registers.
inline constexpr std::uint8_t P0 = 0x80;
inline constexpr std::uint8_t SP = 0x81;
inline constexpr std::uint8_t DPL = 0x82;
inline constexpr std::uint8_t DPH = 0x83;
inline constexpr std::uint8_t PCON = 0x87;
inline constexpr std::uint8_t TCON = 0x88;
inline constexpr std::uint8_t TMOD = 0x89;
inline constexpr std::uint8_t TL0 = 0x8A;
inline constexpr std::uint8_t TL1 = 0x8B;
inline constexpr std::uint8_t TH0 = 0x8C;
inline constexpr std::uint8_t TH1 = 0x8D;
inline constexpr std::uint8_t P1 = 0x90;
inline constexpr std::uint8_t SCON = 0x98;
inline constexpr std::uint8_t SBUF = 0x99;
inline constexpr std::uint8_t P2 = 0xA0;
inline constexpr std::uint8_t IE = 0xA8;
inline constexpr std::uint8_t P3 = 0xB0;
inline constexpr std::uint8_t IP = 0xB8;
inline constexpr std::uint8_t T2CON = 0xC8;
inline constexpr std::uint8_t RCAP2L = 0xCA;
inline constexpr std::uint8_t RCAP2H = 0xCB;
inline constexpr std::uint8_t TL2 = 0xCC;
inline constexpr std::uint8_t TH2 = 0xCD;
inline constexpr std::uint8_t PSW = 0xD0;
inline constexpr std::uint8_t ACC = 0xE0;
inline constexpr std::uint8_t B = 0xF0;

// Extras of the controller's 4-clock core.
inline constexpr std::uint8_t DPL1 = 0x84;
inline constexpr std::uint8_t DPH1 = 0x85;
inline constexpr std::uint8_t DPS = 0x86;
inline constexpr std::uint8_t CKCON = 0x8E;
inline constexpr std::uint8_t EXIF = 0x91;
inline constexpr std::uint8_t MPAGE = 0x92;
inline constexpr std::uint8_t SCON1 = 0xC0;
inline constexpr std::uint8_t SBUF1 = 0xC1;
inline constexpr std::uint8_t EICON = 0xD8;
inline constexpr std::uint8_t EIE = 0xE8;
inline constexpr std::uint8_t EIP = 0xF8;

// Bits.
inline constexpr std::uint8_t PSW_CY = 0x80;
inline constexpr std::uint8_t PSW_AC = 0x40;
inline constexpr std::uint8_t PSW_F0 = 0x20;
inline constexpr std::uint8_t PSW_RS = 0x18;
inline constexpr std::uint8_t PSW_OV = 0x04;
inline constexpr std::uint8_t PSW_P = 0x01;
inline constexpr std::uint8_t PCON_IDLE = 0x01;
inline constexpr std::uint8_t IE_EA = 0x80;
inline constexpr std::uint8_t CKCON_MD = 0x07;
inline constexpr std::uint8_t EXIF_USBINT = 0x10;   // INT2
inline constexpr std::uint8_t EXIF_I2CINT = 0x20;   // INT3
inline constexpr std::uint8_t EXIF_IE4 = 0x40;
inline constexpr std::uint8_t EXIF_IE5 = 0x80;
inline constexpr std::uint8_t EICON_ERESI = 0x20;
inline constexpr std::uint8_t EICON_RESI = 0x10;
inline constexpr std::uint8_t EICON_INT6 = 0x08;

// Name of an SFR address as the disassembler prints it, or nullptr.
const char* name(std::uint8_t addr);

}  // namespace vboard::sfr
