// The controller's register map (AN21xx): endpoint buffers, registers and
// their bits, spelled exactly as the firmware's include file (ezusb.inc)
// spells them, so that one search finds a register in both. A test reads
// ezusb.inc and compares the two maps.
//
// The core's own SFRs (EXIF, EICON, CKCON, ...) live in cpu/sfr.h.
#pragma once

#include <cstdint>
#include <string_view>

namespace vboard::controller::reg {

// ---- endpoint buffers (64 bytes each) ----------------------------------------
inline constexpr std::uint16_t OUT7BUF = 0x7B40;
inline constexpr std::uint16_t IN7BUF = 0x7B80;
inline constexpr std::uint16_t OUT6BUF = 0x7BC0;
inline constexpr std::uint16_t IN6BUF = 0x7C00;
inline constexpr std::uint16_t OUT5BUF = 0x7C40;
inline constexpr std::uint16_t IN5BUF = 0x7C80;
inline constexpr std::uint16_t OUT4BUF = 0x7CC0;
inline constexpr std::uint16_t IN4BUF = 0x7D00;
inline constexpr std::uint16_t OUT3BUF = 0x7D40;
inline constexpr std::uint16_t IN3BUF = 0x7D80;
inline constexpr std::uint16_t OUT2BUF = 0x7DC0;
inline constexpr std::uint16_t IN2BUF = 0x7E00;
inline constexpr std::uint16_t OUT1BUF = 0x7E40;
inline constexpr std::uint16_t IN1BUF = 0x7E80;
inline constexpr std::uint16_t OUT0BUF = 0x7EC0;
inline constexpr std::uint16_t IN0BUF = 0x7F00;

// ---- CPU and ports -------------------------------------------------------------
inline constexpr std::uint16_t CPUCS = 0x7F92;
inline constexpr std::uint16_t PORTACFG = 0x7F93;
inline constexpr std::uint16_t PORTBCFG = 0x7F94;
inline constexpr std::uint16_t PORTCCFG = 0x7F95;
inline constexpr std::uint16_t OUTA = 0x7F96;
inline constexpr std::uint16_t OUTB = 0x7F97;
inline constexpr std::uint16_t OUTC = 0x7F98;
inline constexpr std::uint16_t PINSA = 0x7F99;
inline constexpr std::uint16_t PINSB = 0x7F9A;
inline constexpr std::uint16_t PINSC = 0x7F9B;
inline constexpr std::uint16_t OEA = 0x7F9C;
inline constexpr std::uint16_t OEB = 0x7F9D;
inline constexpr std::uint16_t OEC = 0x7F9E;

inline constexpr std::uint8_t bmCPUCS_SLOW = 0b00001000;  // CPUCS bit 3
inline constexpr std::uint8_t bmFWR = 0b00010000;         // PORTACFG: PA4 is FWR#
inline constexpr std::uint8_t bmFRD = 0b00100000;         // PORTACFG: PA5 is FRD#

// ---- interrupts ----------------------------------------------------------------
inline constexpr std::uint16_t IVEC = 0x7FA8;
inline constexpr std::uint16_t IN07IRQ = 0x7FA9;
inline constexpr std::uint16_t OUT07IRQ = 0x7FAA;
inline constexpr std::uint16_t USBIRQ = 0x7FAB;
inline constexpr std::uint16_t IN07IEN = 0x7FAC;
inline constexpr std::uint16_t OUT07IEN = 0x7FAD;
inline constexpr std::uint16_t USBIEN = 0x7FAE;
inline constexpr std::uint16_t USBBAV = 0x7FAF;

inline constexpr std::uint8_t bmSUDAV = 0b00000001;
inline constexpr std::uint8_t bmSOF = 0b00000010;
inline constexpr std::uint8_t bmSUTOK = 0b00000100;
inline constexpr std::uint8_t bmSUSP = 0b00001000;
inline constexpr std::uint8_t bmURES = 0b00010000;
inline constexpr std::uint8_t bmAVEN = 0b00000001;

inline constexpr std::uint8_t bmEP0 = 0b00000001;
inline constexpr std::uint8_t bmEP1 = 0b00000010;
inline constexpr std::uint8_t bmEP2 = 0b00000100;
inline constexpr std::uint8_t bmEP3 = 0b00001000;
inline constexpr std::uint8_t bmEP4 = 0b00010000;
inline constexpr std::uint8_t bmEP5 = 0b00100000;
inline constexpr std::uint8_t bmEP6 = 0b01000000;
inline constexpr std::uint8_t bmEP7 = 0b10000000;

// ---- endpoint control, status and byte counts ------------------------------------
inline constexpr std::uint16_t EP0CS = 0x7FB4;
inline constexpr std::uint16_t IN0BC = 0x7FB5;
inline constexpr std::uint16_t IN1CS = 0x7FB6;
inline constexpr std::uint16_t IN1BC = 0x7FB7;
inline constexpr std::uint16_t IN2CS = 0x7FB8;
inline constexpr std::uint16_t IN2BC = 0x7FB9;
inline constexpr std::uint16_t IN3CS = 0x7FBA;
inline constexpr std::uint16_t IN3BC = 0x7FBB;
inline constexpr std::uint16_t IN4CS = 0x7FBC;
inline constexpr std::uint16_t IN4BC = 0x7FBD;
inline constexpr std::uint16_t IN5CS = 0x7FBE;
inline constexpr std::uint16_t IN5BC = 0x7FBF;
inline constexpr std::uint16_t IN6CS = 0x7FC0;
inline constexpr std::uint16_t IN6BC = 0x7FC1;
inline constexpr std::uint16_t IN7CS = 0x7FC2;
inline constexpr std::uint16_t IN7BC = 0x7FC3;
inline constexpr std::uint16_t OUT0BC = 0x7FC5;
inline constexpr std::uint16_t OUT1CS = 0x7FC6;
inline constexpr std::uint16_t OUT1BC = 0x7FC7;
inline constexpr std::uint16_t OUT2CS = 0x7FC8;
inline constexpr std::uint16_t OUT2BC = 0x7FC9;
inline constexpr std::uint16_t OUT3CS = 0x7FCA;
inline constexpr std::uint16_t OUT3BC = 0x7FCB;
inline constexpr std::uint16_t OUT4CS = 0x7FCC;
inline constexpr std::uint16_t OUT4BC = 0x7FCD;
inline constexpr std::uint16_t OUT5CS = 0x7FCE;
inline constexpr std::uint16_t OUT5BC = 0x7FCF;
inline constexpr std::uint16_t OUT6CS = 0x7FD0;
inline constexpr std::uint16_t OUT6BC = 0x7FD1;
inline constexpr std::uint16_t OUT7CS = 0x7FD2;
inline constexpr std::uint16_t OUT7BC = 0x7FD3;

inline constexpr std::uint8_t bmEPSTALL = 0b00000001;   // INnCS/OUTnCS
inline constexpr std::uint8_t bmEPBUSY = 0b00000010;    // INnCS/OUTnCS (n >= 1)
inline constexpr std::uint8_t bmEP0STALL = 0b00000001;  // EP0CS
inline constexpr std::uint8_t bmHSNAK = 0b00000010;     // EP0CS
inline constexpr std::uint8_t bmIN0BSY = 0b00000100;    // EP0CS

// ---- USB control -----------------------------------------------------------------
inline constexpr std::uint16_t SUDPTRH = 0x7FD4;
inline constexpr std::uint16_t SUDPTRL = 0x7FD5;
inline constexpr std::uint16_t USBCS = 0x7FD6;
inline constexpr std::uint16_t TOGCTL = 0x7FD7;
inline constexpr std::uint16_t USBFRAMEL = 0x7FD8;
inline constexpr std::uint16_t USBFRAMEH = 0x7FD9;
inline constexpr std::uint16_t FNADDR = 0x7FDB;
inline constexpr std::uint16_t USBPAIR = 0x7FDD;
inline constexpr std::uint16_t IN07VAL = 0x7FDE;
inline constexpr std::uint16_t OUT07VAL = 0x7FDF;

inline constexpr std::uint8_t bmWAKESRC = 0b10000000;
inline constexpr std::uint8_t bmDISCON = 0b00001000;
inline constexpr std::uint8_t bmDISCOE = 0b00000100;
inline constexpr std::uint8_t bmRENUM = 0b00000010;
inline constexpr std::uint8_t bmSIGRSUME = 0b00000001;
inline constexpr std::uint8_t bmTOG_R = 0b00100000;
inline constexpr std::uint8_t bmTOG_IO = 0b00010000;

// ---- fast transfers ---------------------------------------------------------------
inline constexpr std::uint16_t FASTXFR = 0x7FE2;
inline constexpr std::uint16_t AUTOPTRH = 0x7FE3;
inline constexpr std::uint16_t AUTOPTRL = 0x7FE4;
inline constexpr std::uint16_t AUTODATA = 0x7FE5;
inline constexpr std::uint16_t SETUPDAT = 0x7FE8;

inline constexpr std::uint8_t bmFBLK = 0b01000000;

// ---- bits the include file does not name ---------------------------------------------
// (not part of the compared map: the firmware does not use them)
inline constexpr std::uint8_t bmOUT0BSY = 0b00001000;  // EP0CS: EP0 OUT armed
inline constexpr std::uint8_t bmTOG_S = 0b01000000;    // TOGCTL: set the selected toggle to DATA1
inline constexpr std::uint8_t bmTOG_Q = 0b10000000;    // TOGCTL: the selected toggle (read)
inline constexpr std::uint8_t bmPR2IN = 0b00000001;    // USBPAIR: EP2+EP3 IN
inline constexpr std::uint8_t bmPR4IN = 0b00000010;
inline constexpr std::uint8_t bmPR6IN = 0b00000100;
inline constexpr std::uint8_t bmPR2OUT = 0b00001000;   // USBPAIR: EP2+EP3 OUT
inline constexpr std::uint8_t bmPR4OUT = 0b00010000;
inline constexpr std::uint8_t bmPR6OUT = 0b00100000;

// ---- the map as a table, for the comparison with ezusb.inc ---------------------------
struct Name {
    std::string_view name;
    std::uint16_t value;
};

inline constexpr Name names[] = {
    {"OUT7BUF", OUT7BUF}, {"IN7BUF", IN7BUF}, {"OUT6BUF", OUT6BUF}, {"IN6BUF", IN6BUF},
    {"OUT5BUF", OUT5BUF}, {"IN5BUF", IN5BUF}, {"OUT4BUF", OUT4BUF}, {"IN4BUF", IN4BUF},
    {"OUT3BUF", OUT3BUF}, {"IN3BUF", IN3BUF}, {"OUT2BUF", OUT2BUF}, {"IN2BUF", IN2BUF},
    {"OUT1BUF", OUT1BUF}, {"IN1BUF", IN1BUF}, {"OUT0BUF", OUT0BUF}, {"IN0BUF", IN0BUF},
    {"CPUCS", CPUCS}, {"PORTACFG", PORTACFG}, {"PORTBCFG", PORTBCFG}, {"PORTCCFG", PORTCCFG},
    {"OUTA", OUTA}, {"OUTB", OUTB}, {"OUTC", OUTC}, {"PINSA", PINSA}, {"PINSB", PINSB},
    {"PINSC", PINSC}, {"OEA", OEA}, {"OEB", OEB}, {"OEC", OEC},
    {"bmCPUCS_SLOW", bmCPUCS_SLOW}, {"bmFWR", bmFWR}, {"bmFRD", bmFRD},
    {"IVEC", IVEC}, {"IN07IRQ", IN07IRQ}, {"OUT07IRQ", OUT07IRQ}, {"USBIRQ", USBIRQ},
    {"IN07IEN", IN07IEN}, {"OUT07IEN", OUT07IEN}, {"USBIEN", USBIEN}, {"USBBAV", USBBAV},
    {"bmSUDAV", bmSUDAV}, {"bmSOF", bmSOF}, {"bmSUTOK", bmSUTOK}, {"bmSUSP", bmSUSP},
    {"bmURES", bmURES}, {"bmAVEN", bmAVEN},
    {"bmEP0", bmEP0}, {"bmEP1", bmEP1}, {"bmEP2", bmEP2}, {"bmEP3", bmEP3},
    {"bmEP4", bmEP4}, {"bmEP5", bmEP5}, {"bmEP6", bmEP6}, {"bmEP7", bmEP7},
    {"EP0CS", EP0CS}, {"IN0BC", IN0BC}, {"IN1CS", IN1CS}, {"IN1BC", IN1BC},
    {"IN2CS", IN2CS}, {"IN2BC", IN2BC}, {"IN3CS", IN3CS}, {"IN3BC", IN3BC},
    {"IN4CS", IN4CS}, {"IN4BC", IN4BC}, {"IN5CS", IN5CS}, {"IN5BC", IN5BC},
    {"IN6CS", IN6CS}, {"IN6BC", IN6BC}, {"IN7CS", IN7CS}, {"IN7BC", IN7BC},
    {"OUT0BC", OUT0BC}, {"OUT1CS", OUT1CS}, {"OUT1BC", OUT1BC}, {"OUT2CS", OUT2CS},
    {"OUT2BC", OUT2BC}, {"OUT3CS", OUT3CS}, {"OUT3BC", OUT3BC}, {"OUT4CS", OUT4CS},
    {"OUT4BC", OUT4BC}, {"OUT5CS", OUT5CS}, {"OUT5BC", OUT5BC}, {"OUT6CS", OUT6CS},
    {"OUT6BC", OUT6BC}, {"OUT7CS", OUT7CS}, {"OUT7BC", OUT7BC},
    {"bmEPSTALL", bmEPSTALL}, {"bmEPBUSY", bmEPBUSY}, {"bmEP0STALL", bmEP0STALL},
    {"bmHSNAK", bmHSNAK}, {"bmIN0BSY", bmIN0BSY},
    {"SUDPTRH", SUDPTRH}, {"SUDPTRL", SUDPTRL}, {"USBCS", USBCS}, {"TOGCTL", TOGCTL},
    {"USBFRAMEL", USBFRAMEL}, {"USBFRAMEH", USBFRAMEH}, {"FNADDR", FNADDR},
    {"USBPAIR", USBPAIR}, {"IN07VAL", IN07VAL}, {"OUT07VAL", OUT07VAL},
    {"bmWAKESRC", bmWAKESRC}, {"bmDISCON", bmDISCON}, {"bmDISCOE", bmDISCOE},
    {"bmRENUM", bmRENUM}, {"bmSIGRSUME", bmSIGRSUME}, {"bmTOG_R", bmTOG_R}, {"bmTOG_IO", bmTOG_IO}, {"bmTOG_Q", bmTOG_Q},
    {"FASTXFR", FASTXFR}, {"AUTOPTRH", AUTOPTRH}, {"AUTOPTRL", AUTOPTRL}, {"AUTODATA", AUTODATA},
    {"SETUPDAT", SETUPDAT}, {"bmFBLK", bmFBLK},
};

}  // namespace vboard::controller::reg
