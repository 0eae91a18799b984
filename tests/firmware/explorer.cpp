// The interleaving explorer: stretches, the host at transaction level, the
// runs and their checks.
#include "explorer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <sstream>

#include "board/board.h"
#include "engine_model.h"
#include "host/driver.h"
#include "host/host.h"
#include "link_map.h"

namespace fwtest::explore {

namespace {

using vboard::controller::BusEvent;
using vboard::usb::clock_t;
using vboard::usb::DataPid;
using vboard::usb::Handshake;
using Setup = std::array<uint8_t, 8>;

constexpr clock_t ms = vboard::usb::clocks_per_ms;
constexpr clock_t slot = ms / 20;  // one transaction every 50 µs
constexpr uint8_t address = 1;
constexpr unsigned max_naks = 4000;  // 200 ms of NAKs: a control transfer that hangs

const Bytes nebu = {0x0A, 0x03, 'N', 0, 'E', 0, 'B', 0, 'U', 0};
const Bytes z100 = {0x0A, 0x03, 'Z', 0, '1', 0, '0', 0, '0', 0};
const Bytes id_script = {0x31, 0x90, 0x32, 0x00, 0x40, 0x40, 0x40, 0x14};
const Bytes setup_script = {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24};
const Bytes id_reply = {0xFC, 0xEC, 0x75, 0xA5};

Setup request(uint8_t type, uint8_t code, uint16_t value, uint16_t index, uint16_t length) {
    return {type, code, uint8_t(value), uint8_t(value >> 8), uint8_t(index), uint8_t(index >> 8), uint8_t(length),
            uint8_t(length >> 8)};
}
const Setup get_string1 = request(0x80, 6, 0x0301, 0x0409, 255);
const Setup get_string2 = request(0x80, 6, 0x0302, 0x0409, 255);
const Setup get_status = request(0x80, 0, 0, 0, 2);
const Setup clear_wakeup = request(0x00, 1, 1, 0, 0);
const Setup get_device = request(0x80, 6, 0x0100, 0, 64);
const Setup engine_reset = request(0xC0, 0xB0, 0x4E45, 0, 1);
constexpr uint8_t found_stream = 0x01, found_parked = 0x02;  // the engine reset's reply
constexpr uint8_t can_pace = 0x04;                           // and the image's own bit: it paces streams

// One control transfer at the host.
struct Control {
    bool active = false;
    Setup setup{};
    uint8_t to = address;
    enum class Stage : uint8_t { setup, data, status } stage = Stage::setup;
    bool toggle = true;         // the data stage's next PID is DATA1
    clock_t data_after = 0;     // the host starts the data stage at this clock
    Bytes data;
    unsigned naks = 0;
    std::optional<Bytes> want;  // nothing: stalled
    bool check = true;          // its answer is checked
    bool abandons = false;      // it abandoned another transfer: may be stalled
    bool engine_reset = false;  // its one byte is kept for the engine reset check
    bool in() const { return setup[0] & 0x80; }
    uint16_t length() const { return uint16_t(setup[6] | setup[7] << 8); }
};

// An expected byte on EP2 IN: a known value, or the value of an FRD# event.
struct InByte {
    std::optional<uint8_t> value;
    int frd = -1;
};

// The host side of a run: a value, copied with the board's snapshot.
struct Host {
    clock_t next_sof = 0, next_slot = 0;
    uint16_t frame = 0;
    bool suspended = false;
    clock_t resume_at = 0;
    bool reading = true;
    uint32_t toggles = 0;  // bit n: OUT EPn at DATA1; bit 16 + n: IN EPn
    std::deque<Bytes> ep1, ep2;
    std::deque<Control> controls;
    unsigned turn = 0;
    EngineModel model{vboard::card::CardIdentity{}};
    std::vector<Expected> expected;  // card-side events, host order
    std::vector<InByte> in_expected;
    size_t stream_in_end = 0;        // in_expected index where the last bus-to-host stream ends
    int frds = 0;                    // FRD# events expected so far
    unsigned long script_fwr = 0;    // FWR# strobes the scripts make
    unsigned long announced = 0;     // host-to-bus bytes the headers announced
    unsigned long short_mid = 0;     // bytes of short packets sent while whole ones were due
    bool wakeup_kept = false;        // CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP) was stalled
    Bytes received;
    bool broken = false;             // the host broke a rule: the weaker checks
    std::vector<std::string> problems;
    // Suspensions and wake-ups.
    clock_t suspended_at = 0;                       // the bus went idle 3 ms before
    uint64_t idle_at_suspend = 0, cycles_at_suspend = 0;
    bool quiet = true;                              // no event in this suspension
    bool pin_in_suspension = false;
    bool signalling = false;                        // resume signalling seen
    // The engine reset.
    std::optional<uint8_t> engine_reply;
    bool engine_parked = false;   // a script was parked when it was sent
    bool engine_stream = false;   // a host-to-bus stream was outstanding, and no event ended it
};

bool toggle_of(const Host& h, bool in, int n) { return h.toggles >> (in ? 16 + n : n) & 1; }
void flip(Host& h, bool in, int n) { h.toggles ^= 1u << (in ? 16 + n : n); }

std::string hex(std::span<const uint8_t> b) {
    std::string s;
    char t[4];
    for (uint8_t v : b) std::snprintf(t, sizeof t, "%02x", v), s += t;
    return s.empty() ? "(none)" : s;
}

class Run {
public:
    Run(vboard::board::Board& board, Host host) : b(board), h(std::move(host)) {}

    // ---- time ------------------------------------------------------------------------
    void tick_to(clock_t t) {
        for (;;) {
            if (h.suspended && h.resume_at && h.resume_at <= t) {
                b.run_until(h.resume_at);
                resume_bus();
                continue;
            }
            const clock_t next = h.suspended ? h.next_slot : std::min(h.next_sof, h.next_slot);
            if (next > t) break;
            b.run_until(next);
            watch_signalling();
            if (!h.suspended && next == h.next_sof) {
                b.start_of_frame(h.frame++);
                h.next_sof += ms;
            } else {
                h.next_slot += slot;
                if (!h.suspended) pump();
            }
        }
        b.run_until(t);
    }
    void tick_for(clock_t c) { tick_to(b.now() + c); }
    bool idle() const {
        return h.ep1.empty() && h.ep2.empty() && h.controls.empty() &&
               (h.broken || !h.reading || h.received.size() >= h.in_expected.size());
    }
    void resume_bus() {
        judge_suspension();
        h.suspended = false;
        h.resume_at = 0;
        b.resume();
        h.next_sof = b.now() + slot;
    }
    // Resume signalling: only in a suspension with a pin press, after 5 ms
    // of idle bus; the host resumes 20 ms later.
    void watch_signalling() {
        const bool sig = b.signalling_resume();
        if (sig && !h.signalling) {
            char what[120];
            const double idle_ms = double(b.now() + vboard::controller::suspend_after - h.suspended_at) / double(ms);
            if (!h.suspended)
                h.problems.push_back("resume signalled on an active bus");
            else if (!h.pin_in_suspension)
                h.problems.push_back("remote wake-up with no pin press in the suspension");
            else if (idle_ms < 5) {
                std::snprintf(what, sizeof what, "remote wake-up %.2f ms after the bus went idle", idle_ms);
                h.problems.push_back(what);
            }
            if (h.suspended && (!h.resume_at || h.resume_at > b.now() + 20 * ms)) h.resume_at = b.now() + 20 * ms;
        }
        h.signalling = sig;
    }
    // A suspension with no event in it: the processor idles.
    void judge_suspension() {
        if (!h.suspended || !h.quiet || b.now() - h.suspended_at < 2 * ms) return;
        const vboard::Cpu& cpu = b.cpu();
        const double idle = double(cpu.idle_cycles() - h.idle_at_suspend) / double(cpu.cycles() - h.cycles_at_suspend);
        if (idle < 0.5) {
            char what[120];
            std::snprintf(what, sizeof what, "idle %.0f %% of a %.1f ms suspension with no event in it", idle * 100,
                          double(b.now() - h.suspended_at) / double(ms));
            h.problems.push_back(what);
        }
    }

    // ---- transactions -------------------------------------------------------------------
    void pump() {
        if (!h.controls.empty()) {
            control(h.controls.front());
            return;
        }
        for (int k = 0; k < 3; ++k) {
            const unsigned pipe = (h.turn + k) % 3;
            if ((pipe == 0 && !h.ep1.empty()) || (pipe == 1 && !h.ep2.empty()) ||
                (pipe == 2 && h.reading && h.received.size() < h.in_expected.size())) {
                h.turn = pipe + 1;
                if (pipe == 0) out(1);
                if (pipe == 1) out(2);
                if (pipe == 2) in2();
                return;
            }
        }
    }
    // One OUT transaction of the pipe's next packet; true when taken.
    bool out(int ep) {
        auto& q = ep == 1 ? h.ep1 : h.ep2;
        if (q.empty()) return false;
        const Bytes packet = q.front();
        const auto hs = b.out(address, uint8_t(ep), toggle_of(h, false, ep) ? DataPid::data1 : DataPid::data0, packet);
        if (hs == Handshake::nak) return false;
        if (hs != Handshake::ack) {
            h.problems.push_back("EP" + std::to_string(ep) + " OUT not answered");
            q.pop_front();
            return false;
        }
        flip(h, false, ep);
        q.pop_front();
        if (ep == 1) taken_script(packet);
        else taken_stream(packet);
        return true;
    }
    void in2() {
        const auto p = b.in(address, 2);
        if (p.handshake != Handshake::ack) return;
        if ((p.pid == DataPid::data1) != toggle_of(h, true, 2)) return;  // a repeat
        flip(h, true, 2);
        h.received.insert(h.received.end(), p.data.begin(), p.data.begin() + p.length);
    }
    void control(Control& c) {
        using Stage = Control::Stage;
        if (c.stage == Stage::setup) {
            if (b.setup(c.to, c.setup) != Handshake::ack) return finish_control(c, "SETUP not answered");
            c.stage = c.length() ? Stage::data : Stage::status;
            c.toggle = true;
            return;
        }
        if (c.stage == Stage::data && b.now() < c.data_after) return;
        const bool in_token = c.stage == Stage::data ? c.in() : !c.in();
        Handshake hs;
        uint8_t length = 0;
        if (in_token) {
            const auto p = b.in(c.to, 0);
            hs = p.handshake;
            length = p.length;
            if (hs == Handshake::ack && c.stage == Stage::data) c.data.insert(c.data.end(), p.data.begin(), p.data.begin() + length);
        } else {
            const Bytes data(c.stage == Stage::data ? c.length() : 0, 0x5A);
            hs = b.out(c.to, 0, c.toggle ? DataPid::data1 : DataPid::data0, data);
        }
        if (hs == Handshake::nak) {
            if (++c.naks > max_naks) finish_control(c, "no answer for 200 ms");
            return;
        }
        if (hs == Handshake::stall) return finish_control(c, nullptr, true);
        if (hs != Handshake::ack) return finish_control(c, "no handshake");
        if (c.stage == Stage::data) {
            c.toggle = !c.toggle;
            if (!c.in() || length < 64 || c.data.size() >= c.length()) c.stage = Stage::status;
            return;
        }
        finish_control(c, nullptr);
    }
    void finish_control(Control& c, const char* failure, bool stalled = false) {
        char what[160];
        const std::string req = hex(c.setup);
        if (failure) {
            std::snprintf(what, sizeof what, "request %s: %s", req.c_str(), failure);
            h.problems.push_back(what);
        } else if (c.check && !c.engine_reset) {
            const bool right = c.want ? (!stalled && c.data == *c.want) : stalled;
            // A request whose transfer was abandoned may give surprising data
            // (another request's), never none.
            // A request that abandons another may be stalled (when it lands
            // right before the old one's arm), never answered with another's
            // data or not at all.
            const bool tolerated = h.broken && stalled && c.abandons;
            if (tolerated && c.setup == clear_wakeup) h.wakeup_kept = true;
            if (!right && !tolerated) {
                std::snprintf(what, sizeof what, "request %s: answered %s, want %s", req.c_str(),
                              stalled ? "STALL" : hex(c.data).c_str(), c.want ? hex(*c.want).c_str() : "STALL");
                h.problems.push_back(what);
            }
        }
        // The standard requests the host keeps its toggles through.
        if (!failure && c.engine_reset) {
            if (stalled || c.data.size() != 1) h.problems.push_back("the engine reset answered " + (stalled ? std::string("STALL") : hex(c.data)));
            else h.engine_reply = c.data[0];
        }
        if (!failure && !stalled && ((c.setup[0] == 0 && c.setup[1] == 9) || (c.setup[0] == 1 && c.setup[1] == 11)))
            h.toggles = 0;
        h.controls.pop_front();
    }

    // ---- the model, fed in the host's order ---------------------------------------------------
    void taken_script(const Bytes& s) {
        const auto out = h.model.script(s);
        std::vector<int> frd;
        for (const Expected& e : out.events) {
            h.expected.push_back(e);
            if (e.kind == Kind::frd) frd.push_back(h.frds++);
            if (e.kind == Kind::fwr) ++h.script_fwr;
        }
        if (h.model.host_to_bus_due()) h.announced += h.model.host_to_bus_due();
        size_t j = 0;
        for (const auto& r : out.reply) h.in_expected.push_back(r.from_bus && j < frd.size() ? InByte{{}, frd[j++]} : InByte{r.value, -1});
        if (h.model.bus_to_host_due()) {
            for (const Expected& e : h.model.deliver_bus_to_host()) {
                h.expected.push_back(e);
                h.in_expected.push_back(InByte{{}, h.frds++});
            }
            h.stream_in_end = h.in_expected.size();
        }
    }
    void taken_stream(const Bytes& p) {
        // Such a packet goes out whole and the stream goes on (the header's
        // length may then be passed by its length).
        if (p.size() < 64 && h.model.stream().dir == 1 && h.model.stream().pkts) h.short_mid += p.size();
        for (const Expected& e : h.model.stream_packet(p)) h.expected.push_back(e);
    }

    // ---- host actions -------------------------------------------------------------------------
    void send_script(const Bytes& s) {
        h.ep1.push_back(s);
        if (h.ep1.size() == 1 && !h.suspended) out(1);
    }
    void send_stream(const Bytes& data) {
        for (size_t at = 0; at < data.size(); at += 64)
            h.ep2.push_back(Bytes(data.begin() + long(at), data.begin() + long(std::min(at + 64, data.size()))));
    }
    void start_control(const Setup& setup, std::optional<Bytes> want, bool check = true, clock_t delay = 0) {
        Control c;
        c.active = true;
        c.setup = setup;
        c.want = std::move(want);
        c.check = check;
        c.data_after = b.now() + delay;
        if (h.suspended) h.quiet = false;  // a SETUP wakes the bus
        if (!h.controls.empty()) {  // a new SETUP abandons the transfer in progress
            h.broken = true;
            h.controls.clear();
            c.abandons = true;
        }
        h.controls.push_back(c);
        control(h.controls.front());
    }
    bool stream_outstanding() const {
        return h.model.host_to_bus_due() > 0 || !h.ep2.empty() || h.received.size() < h.stream_in_end;
    }
    void suspend_now() {
        vboard::board::Board::Snapshot s = b.snapshot();
        s.controller.idle_since = b.now() - vboard::controller::suspend_after;
        s.controller.detector_armed = true;
        b.restore(s);
        b.controller().advance();
        h.suspended = true;
        h.suspended_at = b.now();
        h.idle_at_suspend = b.cpu().idle_cycles();
        h.cycles_at_suspend = b.cpu().cycles();
        h.quiet = h.controls.empty();  // a request's data stage waits in the foreground
        h.pin_in_suspension = false;
    }

    vboard::board::Board& b;
    Host h;
};

struct StretchPlan {
    Stretch stretch;
    clock_t trigger;
    std::vector<std::pair<clock_t, uint16_t>> boundaries;  // clock, pc
};

class Explorer {
public:
    explicit Explorer(const Image& image) : image_(image) {}

    bool start(std::string& error) {
        map_ = read_link_map(image_.map.c_str());
        if (!map_.symbols.count("stream_poll")) return error = "no stream_poll in " + image_.map, false;
        if (!board_.load_firmware(image_.bin, error)) return false;
        if (!map_.symbols.count("device_descriptor")) return error = "no device_descriptor in " + image_.map, false;
        for (uint32_t i = 0; i < 18; ++i)
            device_descriptor_.push_back(board_.cpu().code()[map_.symbols.at("device_descriptor") + i]);
        vboard::host::Host host(board_);
        vboard::host::Driver driver(host);
        if (!host.wait_until([&] { return driver.pipes().size() == 14; }, 4000))
            return error = "the firmware did not enumerate: " + host.enumeration_error(), false;
        host.wait(5);
        board_.ports().clear_events();
        board_.ports().record(true);
        base_ = board_.snapshot();
        host_.next_sof = board_.now() + ms / 2;
        host_.next_slot = board_.now() + slot;
        host_.toggles = 0;  // SET_CONFIGURATION put every endpoint at DATA0
        return true;
    }

    // The trigger of a stretch, at the host's first slot after 2 ms.
    void trigger(Run& r, Stretch s, clock_t at) {
        r.tick_to(at);
        switch (s) {
        case Stretch::idle: break;
        case Stretch::poll: r.send_script({0x60, 0x05, 0x03, 0x00}); break;
        case Stretch::stream_out:
            r.send_script({0x54, 0x06, 0x02, 0x00});
            r.send_stream(pattern(134, 7));
            break;
        case Stretch::string_request: r.start_control(get_string1, nebu, true, 3 * slot); break;
        case Stretch::status_request: r.start_control(get_status, Bytes{0x02, 0x00}); break;
        case Stretch::suspend:
            r.h.reading = false;
            r.send_script({0x60, 0x00, 0x04, 0x00});  // both reply buffers fill, then wait
            r.tick_for(ms);
            r.suspend_now();
            break;
        case Stretch::paced:  // 197 bytes, a 12 us pause after every 65: in two whole packets and the short one
            r.send_script({0x60, 0x85, 0x03, 0x00, 0x70, 0x70 + 65, 0x70 + 12});
            break;
        case Stretch::engine_reset_parked:
        case Stretch::engine_reset_stream: {
            // A host starting afresh: the engine reset, with what an earlier
            // one left. The model is not told of the reset: the weaker checks.
            r.h.broken = true;
            if (s == Stretch::engine_reset_parked) {
                r.h.reading = false;
                r.send_script({0x60, 0x00, 0x04, 0x00});
                r.tick_for(ms);
                r.send_script({0x2B});  // parked; its OUTC write (0b, in no other script) tells whether it ran
                r.h.engine_parked = true;
            } else {
                r.send_script({0x52, 0x2C, 0x04, 0x00});  // 300 bytes, 128 of them sent
                r.send_stream(pattern(128, 5));
                r.h.engine_stream = true;
            }
            r.tick_for(ms);
            r.start_control(engine_reset, std::nullopt);
            r.h.controls.back().engine_reset = true;
            break;
        }
        case Stretch::descriptor_request: r.start_control(get_device, device_descriptor_); break;
        case Stretch::suspend_after_resume:
            board_.press_wakeup();  // a resume interrupt while the bus is active
            r.tick_for(ms);
            r.suspend_now();
            r.h.resume_at = board_.now() + 5 * ms;
            break;
        case Stretch::unpark:
            // A replying script while both reply buffers hold stream data
            // (a rule the host breaks): it is parked until the host, reading
            // again, frees a buffer.
            r.h.reading = false;
            r.h.broken = true;
            r.send_script({0x60, 0x00, 0x04, 0x00});
            r.tick_for(ms);
            r.send_script({0x24});
            r.tick_for(ms);
            r.h.reading = true;
            break;
        }
    }

    bool stretch_over(const Run& r, Stretch s, unsigned n) {
        const vboard::Cpu& cpu = board_.cpu();
        switch (s) {
        case Stretch::idle: return n >= 60;
        case Stretch::poll: return n >= 800;
        case Stretch::stream_out: return n >= 500;
        case Stretch::string_request:
        case Stretch::status_request:
        case Stretch::engine_reset_parked:
        case Stretch::engine_reset_stream:
        case Stretch::descriptor_request:
            return n >= 3000 || (r.h.controls.empty() && cpu.pc() == map_.symbols.at("stream_poll"));
        case Stretch::suspend:
        case Stretch::suspend_after_resume: return n >= 400 || cpu.idle();
        case Stretch::unpark: return n >= 600;
        case Stretch::paced: return n >= 900;
        }
        return true;
    }

    StretchPlan plan(Stretch s) {
        board_.restore(base_);
        Run r(board_, host_);
        StretchPlan p{s, board_.now() + 2 * ms, {}};
        trigger(r, s, p.trigger);
        const vboard::Cpu& cpu = board_.cpu();
        for (unsigned n = 0; !stretch_over(r, s, unsigned(p.boundaries.size())) && n < 200000; ++n) {
            if ((cpu.interrupts_in_service() == 0 || s == Stretch::unpark) && !cpu.idle())
                p.boundaries.emplace_back(board_.now(), cpu.pc());
            r.tick_to(board_.now() + 1);
        }
        return p;
    }

    // One run: the stretch, the event at boundary k, the checks.
    std::vector<std::string> run(const StretchPlan& p, Event e, size_t k, bool& keeping,
                                 std::vector<uint16_t>* trace = nullptr) {
        board_.restore(base_);
        Run r(board_, host_);
        trigger(r, p.stretch, p.trigger);
        r.tick_to(p.boundaries[k].first);
        if (trace)
            board_.cpu().set_trace(
                [](void* ctx, const vboard::Cpu& cpu) {
                    auto* t = static_cast<std::vector<uint16_t>*>(ctx);
                    if (t->size() < t->capacity()) t->push_back(cpu.pc());
                },
                trace);
        deliver(r, e);
        keeping = !r.h.broken;
        return finish(r, e);
    }

private:
    void deliver(Run& r, Event e) {
        Host& h = r.h;
        const bool stream = r.stream_outstanding();
        if (h.suspended) h.quiet = false;
        if (e == Event::header_end) h.engine_stream = false;
        switch (e) {
        case Event::script:
        case Event::script_reply:
            if (stream) h.broken = true;
            r.send_script(e == Event::script ? Bytes{0x14} : Bytes{0x24});
            break;
        case Event::header_out:
            if (stream) h.broken = true;
            r.send_script({0x52, 0x05, 0x01, 0x00});
            r.send_stream(pattern(69, 3));
            break;
        case Event::header_in:
            if (stream) h.broken = true;
            r.send_script({0x62, 0x05, 0x01, 0x00});
            break;
        case Event::header_end:
            if (stream) h.broken = true;
            r.send_script({0x60, 0x00, 0x00, 0x00});
            break;
        case Event::stream_packet: {
            h.broken = true;
            const Bytes extra = pattern(40, 9);
            h.ep2.push_front(extra);
            r.out(2);
            break;
        }
        case Event::host_read: r.in2(); break;
        case Event::setup_nodata: r.start_control(clear_wakeup, Bytes{}); break;
        case Event::setup_data: r.start_control(get_string2, z100); break;
        case Event::bus_reset: {
            h.broken = true;
            h.ep1.clear();
            h.ep2.clear();
            h.controls.clear();
            h.reading = false;
            board_.bus_reset();
            if (h.suspended) r.resume_bus();
            r.tick_for(10 * ms);
            Control a;
            a.setup = request(0x00, 5, address, 0, 0);
            a.to = 0;
            a.want = Bytes{};
            h.controls.push_back(a);
            Control c;
            c.setup = request(0x00, 9, 1, 0, 0);
            c.want = Bytes{};
            h.controls.push_back(c);
            h.toggles = 0;
            break;
        }
        case Event::suspend:
            r.suspend_now();
            h.resume_at = board_.now() + 5 * ms;
            break;
        case Event::resume: r.resume_bus(); break;
        case Event::in_ep0:
            if (!h.controls.empty()) r.control(h.controls.front());
            break;
        case Event::wakeup_pin:
            if (h.suspended) h.pin_in_suspension = true;
            board_.press_wakeup();
            break;
        case Event::setup_status: r.start_control(get_status, Bytes{0x02, 0x00}); break;
        case Event::setup_descriptor: r.start_control(get_device, device_descriptor_); break;
        }
        h.reading = true;
    }

    // The engine reset's reply against what was there (see explorer.h).
    void check_engine_reply(Host& h, const std::vector<BusEvent>& events) {
        if (!h.engine_reply) return;
        const uint8_t reply = *h.engine_reply;
        const bool ran = std::any_of(events.begin(), events.end(),
                                     [](const BusEvent& ev) { return ev.kind == Kind::outc && ev.value == 0x0B; });
        const bool parked_ok = (reply & found_parked) ? h.engine_parked && !ran : !h.engine_parked || ran;
        if ((reply & ~(found_stream | found_parked | can_pace)) != 0 || !(reply & can_pace) || !parked_ok || (h.engine_stream && !(reply & found_stream))) {
            char what[160];
            std::snprintf(what, sizeof what, "the engine reset answered %02x: %s parked, %s", reply,
                          h.engine_parked ? (ran ? "a script was, and ran," : "a script was, never run,") : "nothing was",
                          h.engine_stream ? "a stream outstanding" : "the stream's state not known");
            h.problems.push_back(what);
        }
    }

    std::vector<std::string> finish(Run& r, Event e) {
        Host& h = r.h;
        const clock_t limit = board_.now() + 300 * ms;
        while (!r.idle() && board_.now() < limit) r.tick_for(ms / 2);
        if (!r.idle()) {
            char what[160];
            std::snprintf(what, sizeof what, "hangs: %zu scripts, %zu stream packets, %zu requests waiting, %zu of %zu bytes read",
                          h.ep1.size(), h.ep2.size(), h.controls.size(), h.received.size(), h.in_expected.size());
            h.problems.push_back(what);
            h.ep1.clear();
            h.ep2.clear();
            h.controls.clear();
        }
        r.tick_for(2 * ms);
        const auto& events = board_.ports().events();
        check_engine_reply(h, events);
        if (!h.broken) compare(h, events);
        unsigned long fwr = 0;
        for (const auto& ev : events) fwr += ev.kind == Kind::fwr;
        if (fwr > h.script_fwr + h.announced + h.short_mid)
            h.problems.push_back("more on the bus than announced: " + std::to_string(fwr) + " FWR# strobes, " +
                                 std::to_string(h.script_fwr) + " by scripts, " + std::to_string(h.announced) +
                                 " announced, " + std::to_string(h.short_mid) + " in short packets mid-stream");
        // Whatever happened, the board goes on: any stream ended, the reply
        // pipe drained, then the card-ID script answers right.
        // The device's remote wake-up tells whether CLEAR_FEATURE was served.
        h.broken = true;  // the model is not followed any more
        r.send_script({0x50, 0x00, 0x00, 0x00});
        const bool cleared = e == Event::setup_nodata && !h.wakeup_kept;
        r.start_control(get_status, Bytes{uint8_t(cleared ? 0x00 : 0x02), 0x00});
        r.tick_for(3 * ms);
        h.in_expected.resize(h.received.size() + 64 * 8);
        r.tick_for(3 * ms);
        h.received.clear();
        h.in_expected.assign(4, InByte{});
        r.send_script(setup_script);
        r.send_script(id_script);
        const clock_t end = board_.now() + 50 * ms;
        while ((h.received.size() < 4 || !h.controls.empty()) && board_.now() < end) r.tick_for(ms / 4);
        if (!h.controls.empty()) h.problems.push_back("the closing GET_STATUS was not answered");
        if (h.received != id_reply) h.problems.push_back("the set-up and ID scripts answered " + hex(h.received));
        // A last suspension with nothing in it: the processor idles.
        if (h.suspended) r.resume_bus();
        r.tick_for(2 * ms);
        r.suspend_now();
        h.resume_at = board_.now() + 4 * ms;
        r.tick_for(6 * ms);
        board_.cpu().set_trace(nullptr, nullptr);
        if (!board_.diagnostics().empty()) {
            std::ostringstream out;
            board_.diagnostics().print(out);
            std::string text = out.str();
            if (const auto nl = text.find('\n'); nl != std::string::npos) text.resize(nl);
            h.problems.push_back("finding: " + text);
        }
        return h.problems;
    }

    void compare(Host& h, const std::vector<BusEvent>& events) {
        std::vector<uint8_t> frd;
        const size_t n = std::min(events.size(), h.expected.size());
        for (size_t i = 0; i < n; ++i) {
            const Expected& want = h.expected[i];
            const BusEvent& got = events[i];
            if (got.kind != want.kind || (want.value && got.value != *want.value)) {
                char what[160];
                std::snprintf(what, sizeof what, "card-side event %zu is %s, the model's %s %s", i,
                              vboard::controller::to_string(got).c_str(),
                              vboard::controller::to_string(BusEvent{want.kind, want.value.value_or(0)}).c_str(),
                              want.value ? "" : "(any byte)");
                h.problems.push_back(what);
                return;
            }
            if (got.kind == Kind::frd) frd.push_back(got.value);
        }
        if (events.size() != h.expected.size()) {
            h.problems.push_back(std::to_string(events.size()) + " card-side events, the model's " +
                                 std::to_string(h.expected.size()));
            return;
        }
        Bytes want;
        for (const InByte& x : h.in_expected) want.push_back(x.value ? *x.value : x.frd < int(frd.size()) ? frd[size_t(x.frd)] : 0);
        if (h.received != want)
            h.problems.push_back("EP2 IN bytes " + hex(h.received) + ", the model's " + hex(want));
        h.received.clear();
        h.in_expected.clear();
        h.stream_in_end = 0;
    }

    Image image_;
    Bytes device_descriptor_;
    vboard::board::Board board_;
    LinkMap map_;
    vboard::board::Board::Snapshot base_;
    Host host_;
};

}  // namespace

const char* name(Stretch s) {
    static const char* const names[] = {"idle main loop",     "stream_poll",          "host-to-bus stream",
                                        "string request",     "status request",       "suspend path",
                                        "parked script run",  "engine reset, parked", "engine reset, stream",
                                        "device descriptor request", "suspend after a resume while running",
                                        "paced stream_poll"};
    return names[static_cast<int>(s)];
}

const char* name(Event e) {
    static const char* const names[] = {"script",        "script with reply", "host-to-bus header", "bus-to-host header",
                                        "ending header", "stream packet",     "host read",          "SETUP without data",
                                        "SETUP with data", "bus reset",       "suspend",            "resume",
                                        "EP0 token",     "wake-up pin",       "GET_STATUS SETUP",   "GET_DESCRIPTOR SETUP"};
    return names[static_cast<int>(e)];
}

bool swept(Stretch s, Event e) {
    const bool suspend = s == Stretch::suspend || s == Stretch::suspend_after_resume;
    const bool request = s == Stretch::string_request || s == Stretch::status_request ||
                         s == Stretch::engine_reset_parked || s == Stretch::engine_reset_stream ||
                         s == Stretch::descriptor_request;
    // While the bus is suspended the host sends nothing: it resumes, resets
    // the bus, or the pin is pressed.
    if (suspend) return e == Event::resume || e == Event::bus_reset || e == Event::wakeup_pin;
    switch (e) {
    case Event::resume: return false;
    case Event::in_ep0:
    case Event::setup_status:
    case Event::setup_descriptor: return request;
    default: return true;
    }
}

Sweep full_sweep() {
    Sweep s;
    for (int k = 0; k <= static_cast<int>(Stretch::paced); ++k) s.stretches.push_back(static_cast<Stretch>(k));
    for (int e = 0; e <= static_cast<int>(Event::setup_descriptor); ++e) s.events.push_back(static_cast<Event>(e));
    return s;
}

std::string Result::summary() const {
    std::map<std::pair<int, int>, std::pair<unsigned, const Violation*>> by;
    for (const Violation& v : violations) {
        auto& slot = by[{int(v.stretch), int(v.event)}];
        if (!slot.first) slot.second = &v;
        ++slot.first;
    }
    std::string s;
    for (const auto& [key, value] : by) {
        const Violation& v = *value.second;
        char line[512];
        std::snprintf(line, sizeof line, "%s / %s: %u (first at boundary %u, pc 0x%04x, %s): %s\n", name(v.stretch),
                      name(v.event), value.first, v.boundary, v.pc, v.rule_keeping ? "rule-keeping" : "rule-breaking",
                      v.what.c_str());
        s += line;
    }
    return s;
}

std::string replay(const Image& image, Stretch stretch, Event event, unsigned boundary, unsigned trace) {
    Explorer x(image);
    std::string error;
    if (!x.start(error)) return error + "\n";
    const StretchPlan plan = x.plan(stretch);
    if (boundary >= plan.boundaries.size()) return "the stretch has " + std::to_string(plan.boundaries.size()) + " boundaries\n";
    std::vector<uint16_t> pcs;
    pcs.reserve(trace);
    bool keeping = true;
    std::string out;
    for (const std::string& p : x.run(plan, event, boundary, keeping, &pcs)) out += p + "\n";
    out += keeping ? "rule-keeping\n" : "rule-breaking\n";
    char pc[8];
    for (size_t i = 0; i < pcs.size(); ++i) {
        std::snprintf(pc, sizeof pc, "%04x%c", pcs[i], i % 16 == 15 ? '\n' : ' ');
        out += pc;
    }
    return out + "\n";
}

Result explore(const Image& image, const Sweep& sweep) {
    Result result;
    Explorer x(image);
    if (!x.start(result.error)) return result;
    for (Stretch s : sweep.stretches) {
        const StretchPlan plan = x.plan(s);
        for (size_t k = 0; k < plan.boundaries.size(); k += std::max(1u, sweep.stride)) {
            ++result.boundaries;
            for (Event e : sweep.events) {
                if (!swept(s, e)) continue;
                ++result.runs;
                bool keeping = true;
                const auto problems = x.run(plan, e, k, keeping);
                if (problems.empty()) continue;
                ++result.violation_count;
                if (result.violations.size() < sweep.max_violations)
                    result.violations.push_back(
                        Violation{s, e, unsigned(k), plan.boundaries[k].second, keeping, problems.front()});
            }
        }
    }
    return result;
}

}  // namespace fwtest::explore
