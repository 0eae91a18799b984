// Reading a whole card into a file: raw pages, or the logical disk.
#pragma once

enum class sm_read_mode { raw, logical };

// Exit statuses of a card read (also in the tool's --help).
inline constexpr int read_complete = 0;   // FILE holds the whole card
inline constexpr int read_failed = 1;     // no board, no card, unknown device code, FILE not creatable
                                          // or a directory, no logical disk on the card
inline constexpr int read_usage = 2;      // bad command line
inline constexpr int read_cut_short = 3;  // the read stopped (card removed, transfer failed): no FILE
inline constexpr int read_damaged = 4;    // FILE holds the whole disk, but with uncorrectable sectors,
                                          // logical blocks claimed twice or missing

// The tool's flow with a read: banner, card set-up, ID line, then every
// page of the card into `path` (written as path.part and renamed when
// complete), a progress bar on standard error when it is a terminal, and a
// summary. Returns one of the statuses above.
int card_tool_read(sm_read_mode mode, const char* path);
