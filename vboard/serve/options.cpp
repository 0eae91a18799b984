// The board options shared by serve, run and script, as option-table rows.

#include "serve/options.h"

#include "controller/controller.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace vboard::serve {

namespace {

bool parse_device(const std::string& text, int& device)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value > INT_MAX)
        return false;
    device = static_cast<int>(value);
    return true;
}

// --card-image and --card-image-readonly: one card image, named once.
bool take_card_image(BoardOptions& o, const std::string& path, bool readonly, std::string& error)
{
    if (path.empty()) {
        error = "needs a non-empty value";
        return false;
    }
    o.card_image_twice = o.card_image_twice || !o.card_image.empty();
    o.card_image = path;
    o.card_image_readonly = readonly;
    return true;
}

}  // namespace

std::vector<cmdline::Option> board_option_table(BoardOptions& o, bool with_fast)
{
    std::vector<cmdline::Option> table = {
        {"--device", "", "N", "device number the driver gives the board (default 0)",
         [&o](const std::string& v, std::string& error) {
             if (parse_device(v, o.device))
                 return true;
             error = "needs a decimal number from 0 to " + std::to_string(INT_MAX) + ", not '" +
                     cmdline::escaped(v) + "'";
             return false;
         }},
        {"--card", "", "SPEC", "card in the socket: MAKER,DEVICE,ID3[,EXT] in hex\n(default ec,75,a5)",
         [&o](const std::string& v, std::string& error) {
             const std::optional<card::CardIdentity> id = card::parse_card_identity(v, error);
             if (!id)
                 return false;
             o.card = *id;
             o.card_given = true;
             return true;
         }},
        {"--no-card", "", "", "empty socket",
         [&o](const std::string&, std::string&) { return o.no_card = true; }},
        {"--card-image", "", "FILE",
         "card contents: raw pages, data then spare area;\nwhat the firmware programs or erases is written back",
         [&o](const std::string& v, std::string& error) { return take_card_image(o, v, false, error); }},
        {"--card-image-readonly", "", "FILE", "card contents as --card-image, never written back",
         [&o](const std::string& v, std::string& error) { return take_card_image(o, v, true, error); }},
        {"--card-faults", "", "SPEC",
         "programs and erases that fail: program:B[-B], erase:B[-B],\nblock:B[-B], rate:R, seed:N, comma separated",
         [&o](const std::string& v, std::string& error) {
             const std::optional<card::CardFaults> faults = card::parse_card_faults(v, error);
             if (faults)
                 o.card_faults = *faults;
             return faults.has_value();
         }},
        {"--firmware-loaded", "", "", "the board already runs the built firmware",
         [&o](const std::string&, std::string&) { return o.firmware_loaded = true; }},
        {"--bare-strings", "", "TEXT1,TEXT2",
         "strings 1 and 2 of the bare controller (default empty);\n'none': it stalls them",
         [&o](const std::string& v, std::string& error) {
             if (v == "none") {
                 o.bare_strings_stalled = true;
                 o.bare_string1.clear();
                 o.bare_string2.clear();
                 return true;
             }
             const size_t comma = v.find(',');
             if (comma == std::string::npos) {
                 error = "needs TEXT1,TEXT2 or none, not '" + cmdline::escaped(v) + "'";
                 return false;
             }
             o.bare_strings_stalled = false;
             o.bare_string1 = v.substr(0, comma);
             o.bare_string2 = v.substr(comma + 1);
             if (o.bare_string1.size() > controller::max_bare_string ||
                 o.bare_string2.size() > controller::max_bare_string) {
                 error = "a text is longer than " + std::to_string(controller::max_bare_string) + " characters";
                 return false;
             }
             return true;
         }},
    };
    if (with_fast)
        table.push_back({"--fast", "", "", "let simulated time run freely, not with the clock",
                         [&o](const std::string&, std::string&) { return o.fast = true; }});
    table.push_back(cmdline::text("--pcap", "", "FILE", "write every USB transfer to FILE (usbmon pcap, Wireshark)",
                                  o.trace.pcap));
    table.push_back(cmdline::text("--vcd", "", "FILE", "write the card bus to FILE (value change dump, ns)", o.trace.vcd));
    table.push_back(cmdline::text("--log", "", "FILE", "write driver calls and bus events to FILE", o.trace.log));
    table.push_back(cmdline::flag("--verbose", "-v", "the same log on standard error", o.trace.verbose));
    return table;
}

bool check_board_options(BoardOptions& o, std::string& error)
{
    if (o.no_card && o.card_given) {
        error = "--card and --no-card exclude each other";
        return false;
    }
    if (o.no_card && !o.card_image.empty()) {
        error = "--card-image needs a card; --no-card leaves the socket empty";
        return false;
    }
    if (o.card_image_twice) {
        error = "one card image: --card-image and --card-image-readonly given more than once";
        return false;
    }
    if (o.no_card)
        o.card.reset();
    return true;
}

}  // namespace vboard::serve
