// Page program and block erase through the port engine. A program is one
// command script (pointer to column 0, the program command, column and page
// address, and the header of a host-to-bus stream), the page's data and spare
// bytes on the stream pipe, and a script that confirms, waits out most of the
// card's programming time and reads the status register; an erase is one
// script that gives the block's address, confirms, waits and reads the
// status. A status that still shows the card busy is read again after a
// further wait, a bounded number of times.
#pragma once

#include "card_tool/geometry.h"

#include <cstdint>
#include <functional>

// Outcome of a program or an erase.
enum class sm_op_result {
    pass,             // the card reports success
    fail,             // the card reports failure: the block is worn out
    protected_card,   // the card is write-protected: nothing was changed
    no_card,          // a status no card gives (the bus floats: card pulled) or a pipe call failed
};

// Programs page `page` with `bytes` (g.page_bytes(): data, then spare).
sm_op_result sm_program_page(const sm_geometry& g, uint32_t page, const unsigned char* bytes);
// Programs `count` pages from `first_page` on with `bytes` (count pages of
// g.page_bytes()), calling `on_page` (unless empty) after each that passed;
// stops at the first that does not pass and returns its outcome. Each
// page's set-up and data go out while the one before it programs.
sm_op_result sm_program_pages(const sm_geometry& g, uint32_t first_page, uint32_t count, const unsigned char* bytes,
                              const std::function<void()>& on_page);
// The same for the spare bytes alone (`spares`: count x g.spare_bytes),
// the data bytes left as they are: a second program of pages' spare areas.
sm_op_result sm_program_spares(const sm_geometry& g, uint32_t first_page, uint32_t count, const unsigned char* spares);
// Erases physical block `block`.
sm_op_result sm_erase_block(const sm_geometry& g, uint32_t block);
