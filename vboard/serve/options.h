// The options that describe the board `vboard serve`, `vboard run` and
// `vboard script` present:
//   --device N                  the driver's device number (default 0)
//   --card SPEC | --no-card     the card in the socket: MAKER,DEVICE,ID3[,EXT] in
//                               hex (default ec,75,a5), or an empty socket
//   --card-image FILE           the card's contents (raw pages, data then spare);
//                               what the firmware changes is written back at the end
//   --card-image-readonly FILE  the same, never written back
//   --card-faults SPEC          programs and erases the card fails (card.h)
//   --firmware-loaded           the board already runs the built firmware
//   --bare-strings T1,T2 | none what the bare controller answers for strings 1
//                               and 2 (default: empty texts; none: it stalls them)
//   --fast                      simulated time runs freely instead of with the clock
//   --pcap FILE                 every USB transfer as a usbmon capture
//   --vcd FILE                  the card bus as a value change dump
//   --log FILE | -v             driver calls and bus events, to FILE or standard error
// Each also takes the --option=value form.
#pragma once

#include "card/card.h"
#include "cmdline/cmdline.h"
#include "trace/trace.h"

#include <optional>
#include <string>
#include <vector>

namespace vboard::serve {

struct BoardOptions {
    int device = 0;
    std::optional<card::CardIdentity> card = card::CardIdentity{};  // nothing: no card
    std::string card_image;            // empty: an erased card
    bool card_image_readonly = false;  // --card-image-readonly: never written back
    card::CardFaults card_faults;
    bool firmware_loaded = false;
    bool bare_strings_stalled = false;
    std::string bare_string1;
    std::string bare_string2;
    bool fast = false;
    // false: the card finishes every operation at once, so that one stream
    // can run across page boundaries (stream-path checks); not an option.
    bool card_busy_times = true;
    bool no_card = false;  // --no-card given: checked against --card and --card-image
    bool card_image_twice = false;  // a second --card-image(-readonly) given: refused
    bool card_given = false;
    trace::Files trace;                // --pcap, --vcd, --log, -v
};

// The board options as rows of a command's option table (see
// cmdline/cmdline.h): each row parses its value into `options`. `fast` is
// left out where simulated time runs freely anyway (`vboard script`).
std::vector<cmdline::Option> board_option_table(BoardOptions& options, bool with_fast = true);

// The checks between options, after parsing: false with one line in `error`.
bool check_board_options(BoardOptions& options, std::string& error);

}  // namespace vboard::serve
