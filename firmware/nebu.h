// The firmware image the card tool downloads into the board's RAM:
// 4,096 bytes for 8051 addresses 0x0000-0x0FFF.
#pragma once

inline constexpr unsigned fw_size = 4096;
extern const unsigned char fw_bin[fw_size];
