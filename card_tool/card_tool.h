// The card tool: brings the adapter board up with our firmware, checks for a
// card and reads its ID bytes. The card commands (sm_) return 0 or 1, the
// pipe operations 0 / a byte count or -1.
#pragma once

#include "winapi/winapi.h"

// The open board, or 0 when none is open.
extern HANDLE usb_h;
// The outgoing command script; a reply of n bytes then replaces bytes 0..n-1.
extern unsigned char buf[64];

// Device start and end.
// Prints "Setup EZ-USB" and makes sure the board in use (device 0 unless
// card_tool_use_board chose another) runs our firmware, then puts
// its port engine and the three pipes back to their start state (whatever an
// earlier program left behind; a firmware that cannot do that is loaded
// afresh): 0 with usb_h open, or 2 after "Can't found EZ-USB" with usb_h set
// to 0.
int ezusb_init();
// Closes usb_h if a board is open (usb_h keeps its value).
void ezusb_end();
// The board ezusb_init uses from now on: device N of the driver.
void card_tool_use_board(int device);

// Pipe operations, valid between a successful ezusb_init and ezusb_end.
inline constexpr int command_pipe = 0;  // EP1 OUT: command scripts
inline constexpr int stream_pipe = 1;   // EP2 OUT: stream data
inline constexpr int reply_pipe = 8;    // EP2 IN: script replies and stream data
// Sends a command script on the command pipe: 0 or -1.
int usb_cpipe_write(const unsigned char* data, int length);
// Reads a reply from the reply pipe: the bytes read, or -1.
int usb_rpipe_read(unsigned char* data, int length);
// Starts a host-to-bus stream: a stream header on the command pipe (op 0x50
// with the port C control lines in `mode`'s low nibble, then the length as
// remaining bytes and 64-byte packet count), then `length` bytes on the stream
// pipe. Returns the result of the data write; -1 with nothing sent when the
// length is negative or does not fit the header's 22 bits.
inline constexpr int max_stream_length = (1 << 22) - 1;
int usb_fwrite(int mode, const unsigned char* data, int length);

// Card commands.
// Board up and card present: 0; else 1 (after "No Media" when no card or no
// reply, "Setup reply err." when the reply is longer than its one byte).
int sm_init();
// Reads the card's ID: maker, device, opt1 = opt2 = the third ID byte, and
// ext, the byte that the second ID script reads when the third is 0xC0 (else
// 0). 1 when a pipe call fails or a reply is not exactly the script's length.
int sm_idread(unsigned char* maker, unsigned char* device, unsigned char* opt1,
              unsigned char* opt2, unsigned char* ext);
// Ends the card access.
void sm_end();

// The tool's first steps: banner, card set-up, ID read and result line.
// 0 with the card's device code in `device` and the card access still open
// (the caller ends it with sm_end), or 1 after the failure's message with
// the access ended.
int card_tool_identify(unsigned char* device);
// The whole tool: card_tool_identify, then the end of the card access.
// Returns the exit status (0, or 1 on any failure).
int card_tool_run();
// Prints one line per board this machine reaches (its number, how it is
// reached, VID:PID, whether it runs our firmware and, when it does, whether a
// card is in the socket); with none, one line on standard error. Downloads
// nothing. Returns the exit status: 0.
int card_tool_list();
// Puts usb_h and buf back to their state at start, for running the tool more
// than once in one process (tests).
void card_tool_reset();
