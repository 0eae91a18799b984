// Parsing of the board options shared by serve, run and script.

#include "serve/options.h"

#include "controller/controller.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace vboard::serve {

const char* const board_options_help =
    "  --device N                   device number the driver gives the board (default 0)\n"
    "  --card SPEC                  card in the socket: MAKER,DEVICE,ID3[,EXT] in hex\n"
    "                               (default ec,75,a5)\n"
    "  --no-card                    empty socket\n"
    "  --card-image FILE            card contents: raw pages, data then spare area\n"
    "  --firmware-loaded            the board already runs the built firmware\n"
    "  --bare-strings TEXT1,TEXT2   strings 1 and 2 of the bare controller (default empty)\n"
    "  --bare-strings none          the bare controller stalls strings 1 and 2\n"
    "  --fast                       let simulated time run freely, not with the clock\n"
    "  --pcap FILE                  write every USB transfer to FILE (usbmon pcap, Wireshark)\n"
    "  --vcd FILE                   write the card bus to FILE (value change dump, ns)\n"
    "  --log FILE                   write driver calls and bus events to FILE\n"
    "  -v                           the same log on standard error\n";

namespace {

bool parse_device(const char* text, int& device)
{
    if (*text < '0' || *text > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > INT_MAX)
        return false;
    device = static_cast<int>(value);
    return true;
}

}  // namespace

int parse_board_options(int argc, char** argv, BoardOptions& options, std::string& error)
{
    bool card_given = false, no_card = false;
    int i = 0;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-v") {
            options.trace.verbose = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0 || arg == "--")
            break;
        std::string name = arg;
        std::optional<std::string> inline_value;
        if (const size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
        }
        const bool takes_value = name == "--device" || name == "--card" || name == "--card-image" ||
                                 name == "--bare-strings" || name == "--pcap" || name == "--vcd" ||
                                 name == "--log";
        const bool flag = name == "--no-card" || name == "--firmware-loaded" || name == "--fast";
        if (!takes_value && !flag)
            break;  // not a board option: the caller's
        if (flag && inline_value) {
            error = name + " takes no value";
            return -1;
        }
        std::string value;
        if (takes_value) {
            if (inline_value) {
                value = *inline_value;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                error = name + " needs a value";
                return -1;
            }
        }

        if (name == "--device") {
            if (!parse_device(value.c_str(), options.device)) {
                error = "--device needs a decimal number from 0 to " + std::to_string(INT_MAX) +
                        ", not '" + value + "'";
                return -1;
            }
        } else if (name == "--card") {
            std::string why;
            const std::optional<card::CardIdentity> id = card::parse_card_identity(value, why);
            if (!id) {
                error = "--card: " + why;
                return -1;
            }
            options.card = *id;
            card_given = true;
        } else if (name == "--no-card") {
            no_card = true;
        } else if (name == "--card-image") {
            if (value.empty()) {
                error = "--card-image needs a file name";
                return -1;
            }
            options.card_image = value;
        } else if (name == "--pcap" || name == "--vcd" || name == "--log") {
            if (value.empty()) {
                error = name + " needs a file name";
                return -1;
            }
            (name == "--pcap" ? options.trace.pcap : name == "--vcd" ? options.trace.vcd : options.trace.log) = value;
        } else if (name == "--firmware-loaded") {
            options.firmware_loaded = true;
        } else if (name == "--bare-strings") {
            if (value == "none") {
                options.bare_strings_stalled = true;
                options.bare_string1.clear();
                options.bare_string2.clear();
            } else {
                const size_t comma = value.find(',');
                if (comma == std::string::npos) {
                    error = "--bare-strings needs TEXT1,TEXT2 or none, not '" + value + "'";
                    return -1;
                }
                options.bare_strings_stalled = false;
                options.bare_string1 = value.substr(0, comma);
                options.bare_string2 = value.substr(comma + 1);
                if (options.bare_string1.size() > controller::max_bare_string ||
                    options.bare_string2.size() > controller::max_bare_string) {
                    error = "--bare-strings: a text is longer than " +
                            std::to_string(controller::max_bare_string) + " characters";
                    return -1;
                }
            }
        } else {  // --fast
            options.fast = true;
        }
    }
    if (no_card && card_given) {
        error = "--card and --no-card exclude each other";
        return -1;
    }
    if (no_card && !options.card_image.empty()) {
        error = "--card-image needs a card; --no-card leaves the socket empty";
        return -1;
    }
    if (no_card)
        options.card.reset();
    return i;
}

}  // namespace vboard::serve
