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
// until it resumes, or until the device signals a remote wake-up (then it
// resumes 20 ms later, as a host does).
//
// Suspensions and wake-ups are checked in every run: resume signalling
// only in a suspension in which the wake-up pin was pressed, and not
// before the bus has been idle 5 ms; in every suspension of 2 ms or more
// with no event in it and no request in progress (a string's data stage
// waits in the foreground for the host) the processor idles at least half
// of the time
// (idle cycles over cycles suspended). Every run ends with such a
// suspension, so a wake-up pin pressed or a resume taken earlier in the
// run that keeps a later suspension from idling is found.
// The engine reset's reply is held to what was there: the parked bit set
// exactly when the parked script never ran (its port C write never came),
// the stream bit set while the host-to-bus stream it abandons was not
// ended by the event, no other bit. Every request's answer is compared
// whole with its own bytes, so one answered with another's is found; a
// request that abandons another may be stalled instead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fwtest::explore {

enum class Stretch : uint8_t {
    idle, poll, stream_out, string_request, status_request, suspend, unpark,
    engine_reset_parked,   // the engine reset request with a script parked behind two unread replies
    engine_reset_stream,   // the engine reset request with a host-to-bus stream half sent
    descriptor_request,    // GET_DESCRIPTOR(device): the controller sends it from the setup data pointer
    suspend_after_resume,  // the bus suspends after the wake-up pin was pressed on the active bus
    paced,                 // stream_poll on a paced bus-to-host stream
};
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
    resume,         // the host's resume (suspend stretches only)
    in_ep0,         // the next token of the control transfer in progress (requests only)
    wakeup_pin,     // WAKEUP# pressed
    setup_status,   // GET_STATUS(device) (requests only)
    setup_descriptor,  // GET_DESCRIPTOR(device) (requests only)
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

// Every stretch and every event (resume only where the bus is suspended,
// the events on endpoint 0 only where a request is in progress).
Sweep full_sweep();
bool swept(Stretch s, Event e);
Result explore(const Image& image, const Sweep& sweep);
// One run, to look at a violation: its problems, one per line, and the
// foreground and interrupt instructions it ran from the event on (up to
// `trace` of them).
std::string replay(const Image& image, Stretch stretch, Event event, unsigned boundary, unsigned trace = 400);

}  // namespace fwtest::explore
