// Host-side scripts against a board on simulated time (`vboard script`).
//
// One command per line; `#` starts a comment; blank lines are skipped. Each
// command prints exactly one result line; data in lower-case hex without
// separators. Fields of SETUP records and language ids are hex; pipe numbers,
// string indexes, byte counts and milliseconds are decimal.
//
//   load [IMAGE]        ok | fail open|halt|download|run | fail <why the image cannot be loaded>
//       as the tool does it: open, hold the 8051 (CPUCS = 1), download the
//       image (the built firmware by default; IMAGE is Intel HEX or raw
//       binary), release it (CPUCS = 0), close
//   enumerate [MS]      ok <ms> | timeout
//       waits for the next enumeration not yet reported (after `load`: the
//       one after the firmware's re-attach); <ms> is the simulated time waited.
//       MS defaults to the transfer timeout; MS of enumerate and wait at most 60000
//   control RT REQ VALUE INDEX LENGTH [DATA]    ok [<data>] | stall | timeout
//   string INDEX [LANGID]                       ok [<text>] | fail
//       the driver's string read (LANGID defaults to 001b, the tool's);
//       the text is the low bytes of the UTF-16 units, bytes outside
//       printable ASCII and the backslash written as \xNN
//   out PIPE DATA       ok <count> | stall | timeout
//   in PIPE LENGTH      ok [<data>] | stall | timeout
//   reset | suspend | resume | wakeup | wait MS   ok
//   pins                pc <pins> oec <oec> outc <outc>
//
// A command that talks to the device (load, control, string, out, in) first
// waits until the board is attached and enumerated, up to the transfer
// timeout; when it is not, load fails at "open", string fails and the others
// time out. A transfer that fails in another way prints `fail <reason>`.
//
// Three kinds of result: the device's answer (ok, stall, timeout), a command
// that could not be carried out (`fail [<reason>]`: a load that failed or
// whose image cannot be read or lies outside the on-chip RAM, a string read
// refused, a pipe that does not exist), and a malformed line (`error
// <reason>`, not run). The script goes on after each. Raw bytes of a line are
// echoed as \xNN.
#pragma once

#include "host/standard.h"
#include "serve/session.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vboard::serve {

// The text forms of the result lines: bytes as lower-case hex without
// separators, and a string descriptor (as much as arrived) as the low bytes
// of its UTF-16 units, bytes outside printable ASCII and the backslash as \xNN.
std::string hex(const std::vector<uint8_t>& bytes);
std::string string_text(const std::vector<uint8_t>& descriptor);

struct ScriptCommand {
    enum class Kind : uint8_t {
        load, enumerate, control, string, out, in, reset, suspend, resume, wakeup, wait, pins
    };
    Kind kind = Kind::pins;
    std::string image;                 // load: empty for the built firmware
    std::optional<uint32_t> ms;        // enumerate, wait
    host::SetupPacket setup;           // control
    std::vector<uint8_t> data;         // control (OUT), out
    uint8_t index = 0;                 // string
    uint16_t language = 0x001B;        // string
    uint32_t pipe = 0;                 // out, in
    uint32_t length = 0;               // in
};

// One line: a command, nothing (blank or comment only), or an error line's reason.
struct ScriptLine {
    std::optional<ScriptCommand> command;
    std::string error;  // set when the line is malformed
    bool blank() const { return !command && error.empty(); }
};
ScriptLine parse_script_line(std::string_view line);

class ScriptRunner {
public:
    explicit ScriptRunner(Session& session);

    // The command's result line, without its newline.
    std::string run(const ScriptCommand& command);
    // Every line of `in`, one result line each on `out`; returns the number
    // of malformed lines.
    int run_script(std::istream& in, std::ostream& out);
    // Commands answered `fail` so far.
    int failed() const { return failed_; }
    // The system's error number when reading the script failed (0: it was
    // read to its end); a line cut short by it is not run.
    int read_error() const { return read_error_; }

    // Longest line taken; a longer one is malformed.
    static constexpr size_t max_line = 64 * 1024;
    // Longest time `enumerate` and `wait` take (a minute of simulated time
    // runs in about a second).
    static constexpr uint32_t max_ms = 60'000;

private:
    bool device_ready();
    std::string load(const std::string& image);
    std::string enumerate(std::optional<uint32_t> ms);
    std::string control(const ScriptCommand& c);
    std::string string(const ScriptCommand& c);
    std::string transfer(const ScriptCommand& c, bool in);
    std::string pins();

    Session& session_;
    uint64_t reported_ = 0;  // enumerations accounted for
    int failed_ = 0;
    int read_error_ = 0;
};

}  // namespace vboard::serve
