// Page reads through the port engine: one command script per page (the read
// command, the column and page address bytes, a wait for the card to load
// the page, a bus-to-host stream header), then the page's data and spare
// bytes from the reply pipe. No script is sent while a stream is outstanding.
#pragma once

#include "card_tool/geometry.h"

#include <cstdint>

// Reads page `page` (data, then spare: g.page_bytes() bytes) into `out`:
// 0, or -1 when the script or the stream fails or comes back short.
// `follows` says that the previous call read page - 1 and nothing has
// touched the card since: the card then loads this page by itself when the
// last byte of the previous one has gone out (sequential row read, busy for
// the page load meanwhile), and the script is the stream header alone.
int sm_read_page(const sm_geometry& g, uint32_t page, unsigned char* out, bool follows = false);
// Reads `pages` pages from `first` on (pages * g.page_bytes() bytes into
// `out`), all inside one block: 0, or -1 as sm_read_page. When the board's
// image paces streams this is one script and one stream that waits for the
// card's page load at every page boundary; otherwise it is sm_read_page page
// after page.
int sm_read_pages(const sm_geometry& g, uint32_t first, unsigned pages, unsigned char* out);

// Reads the spare bytes of page `page` (g.spare_bytes of them) into `out`
// with the spare-area read command: 0, or -1 as sm_read_page.
int sm_read_spare(const sm_geometry& g, uint32_t page, unsigned char* out);
// Port C levels (bit 3: card present) through a pin sample: 0 with the
// levels in `levels`, or -1.
int sm_pins(unsigned char* levels);
// Deselects the card (CE# high).
void sm_deselect();
