// The interleaving explorer: the firmware on the virtual board, with a host
// event delivered so that its interrupt comes before each instruction of a
// foreground stretch, one run per instruction boundary.
//
// A stretch is a piece of the firmware's foreground started by the host
// (a main-loop pass, stream_poll moving packets, the request handler and
// its string stage, the suspend path). The explorer runs it once to learn
// the clock of every foreground instruction boundary, then, from one board
// snapshot, runs it again for each boundary and each kind of host event,
// delivering the event at that boundary. The host side is a small host at
// transaction level (SOFs, one transaction per slot, data toggles) that
// feeds the reference model in the order its packets were acknowledged.
//
// Each run is checked: no firmware finding; replies and card-bus events
// equal to the model's; every control request answered as it should be and
// none lost; stream bytes neither lost, duplicated nor reordered; nothing
// left hanging; and at the end the card-ID scripts answer right. Events that
// break the host's rules (a header or script while a stream is outstanding,
// a SETUP that abandons a control transfer, packets beyond a stream's
// length, a bus reset) are held to the weaker checks: no finding, no lost
// request (a STALL is an answer), no hang, nothing on the bus beyond what
// was announced, and the card-ID scripts after.
//
// One stretch is not foreground: the EP2 IN interrupt running a script
// parked while both reply buffers were full (unpark). Its boundaries are
// every instruction, interrupt level included, as a host packet can arrive
// at any of them.
//
// The paced stretch is stream_poll moving a paced bus-to-host stream
// (strides of 65 bytes, so pauses fall inside whole packets and the short one).
//
// A suspend is delivered at its boundary by setting the controller's
// suspend timer, in a snapshot put back at once, as if the bus had been
// silent for the 3 ms the controller waits; the host then stays silent
// until it resumes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fwtest::explore {

enum class Stretch : uint8_t { idle, poll, stream_out, string_request, status_request, suspend, unpark, paced };
enum class Event : uint8_t {
    script,         // a command script without reply
    script_reply,   // a command script with a one-byte reply
    header_out,     // a host-to-bus stream header and its data
    header_in,      // a bus-to-host stream header; the host reads the stream
    header_end,     // a header of length 0: ends any stream
    stream_packet,  // a short EP2 OUT packet beyond the announced data
    host_read,      // an IN transaction on EP2 IN
    setup_nodata,   // CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP)
    setup_data,     // GET_DESCRIPTOR(string 2)
    bus_reset,      // bus reset, then SET_ADDRESS and SET_CONFIGURATION again
    suspend,        // the bus suspended (no traffic), resumed 5 ms later
    resume,         // the host's resume (suspend stretch only)
};
const char* name(Stretch s);
const char* name(Event e);

struct Image {
    std::string bin, map;  // the firmware image and its link map
};

struct Violation {
    Stretch stretch;
    Event event;
    unsigned boundary;  // index of the foreground boundary in the stretch
    uint16_t pc;        // the instruction the event came before
    bool rule_keeping;
    std::string what;
};

struct Sweep {
    std::vector<Stretch> stretches;
    std::vector<Event> events;
    unsigned stride = 1;            // every stride-th boundary
    unsigned max_violations = 200;  // kept (all are counted)
};

struct Result {
    std::string error;  // the explorer itself could not run
    unsigned long runs = 0, boundaries = 0, violation_count = 0;
    std::vector<Violation> violations;
    std::string summary() const;  // one line per (stretch, event) with violations
};

// Every stretch and every event (resume only where the bus is suspended).
Sweep full_sweep();
Result explore(const Image& image, const Sweep& sweep);
// One run, to look at a violation: its problems, one per line, and the
// foreground and interrupt instructions it ran from the event on (up to
// `trace` of them).
std::string replay(const Image& image, Stretch stretch, Event event, unsigned boundary, unsigned trace = 400);

}  // namespace fwtest::explore
