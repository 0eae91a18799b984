// The card's bus as the tool's scripts drive it: the port engine's op codes
// (high nibble; the low nibble is the op's argument), the port C lines of the
// socket and the SmartMedia commands the reads and writes use.
#pragma once

// Port engine ops.
inline constexpr unsigned char op_ctl = 0x10;         // port C levels, no reply
inline constexpr unsigned char op_pins = 0x20;        // port C levels, then a sample of the pins
inline constexpr unsigned char op_write = 0x30;       // port C levels, then the next byte strobed out
inline constexpr unsigned char op_read = 0x40;        // port C levels, then one byte strobed in
inline constexpr unsigned char op_stream_out = 0x50;  // host-to-bus stream header
inline constexpr unsigned char op_stream_in = 0x60;   // bus-to-host stream header

// Port C: PC0 command latch, PC1 address latch, PC2 chip enable (active
// low), PC3 card present (input).
inline constexpr unsigned char cle = 0x01, ale = 0x02, deselected = 0x04;
inline constexpr unsigned char card_present = 0x08;

// Card commands.
inline constexpr unsigned char read_command = 0x00;   // read from column 0 of the page, on into the spare area
inline constexpr unsigned char spare_command = 0x50;  // read from the spare area (left on until another pointer command)
inline constexpr unsigned char program_command = 0x80, program_confirm = 0x10;
inline constexpr unsigned char erase_command = 0x60, erase_confirm = 0xD0;
inline constexpr unsigned char status_command = 0x70;
inline constexpr unsigned char reset_command = 0xFF;
