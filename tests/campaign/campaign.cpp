// The random host campaign: generation, the judge, replay and shrinking.
#include "campaign.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>
#include <sstream>
#include <unordered_map>

#include "engine_model.h"
#include "request_model.h"
#include "serve/script.h"
#include "serve/session.h"

namespace campaign {

namespace {

using fwtest::EngineModel;
using fwtest::Expected;
using fwtest::describe;
using vboard::controller::BusEvent;
using vboard::serve::ScriptCommand;
using Cmd = ScriptCommand::Kind;

constexpr uint8_t setup_script[] = {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24};     // the card tool's bus set-up
constexpr uint8_t id_script[] = {0x31, 0x90, 0x32, 0x00, 0x40, 0x40, 0x40, 0x14};  // and its ID read
constexpr uint32_t max_stream = 64u * 0xFFFF + 63;  // 4,194,303 bytes
constexpr size_t max_out_chunk = 32704;             // 64-byte packets in one `out` line
constexpr size_t max_in_chunk = 65536;

// An `out` line; `vboard script` cannot write a zero-length packet, so an
// empty script becomes one filler byte.
std::string line_of(const char* name, const Bytes& data, int pipe) {
    return std::string(name) + " " + std::to_string(pipe) + " " + (data.empty() ? "70" : hex(data));
}

std::string control_line(const vboard::host::SetupPacket& s, const Bytes& data) {
    char text[48];
    std::snprintf(text, sizeof text, "control %02x %02x %04x %04x %04x", s.request_type, s.request, s.value, s.index,
                  s.length);
    return data.empty() ? text : std::string(text) + " " + hex(data);
}

// The driver's string read as `vboard script` prints it.
std::string string_result(uint8_t index) {
    const Bytes d = RequestModel::string_descriptor(index);
    if (d.empty()) return "fail";
    const std::string text = vboard::serve::string_text(d);
    return text.empty() ? "ok" : "ok " + text;
}

std::string script_line(const uint8_t* bytes, size_t n) { return "out 0 " + hex(Bytes(bytes, bytes + n)); }

// ---- the judge: predicts and checks every line of a run ------------------------------------

class Judge {
public:
    Judge(const RunSpec& spec, vboard::serve::Session& session)
        : spec_(spec), session_(session), runner_(session), engine_(spec.card),
          requests_(device_descriptor(session), configuration(session)) {
        if (spec.rule_keeping) session_.board().ports().record(true, size_t{1} << 20);
        pipes_ = session_.driver().pipes();
    }

    // Runs one line. False when the run is over: a violation, or a line
    // that breaks the class's rules (`invalid`).
    bool line(const std::string& text) {
        const vboard::serve::ScriptLine parsed = vboard::serve::parse_script_line(text);
        if (!parsed.command) return refuse("malformed line: " + parsed.error);
        const ScriptCommand& c = *parsed.command;
        lines.push_back(text);
        if (spec_.rule_keeping ? !keep(c) : !other(c)) return false;
        ++commands_;
        if (!check_findings()) return false;
        return true;
    }

    // After the last line: every predicted card-side event happened.
    bool finish() {
        if (!sync_events()) return false;
        if (spec_.rule_keeping && !pending_.empty())
            return violate("event", "missing event " + describe(pending_.front()) + " (" +
                                        std::to_string(pending_.size()) + " missing)");
        return true;
    }

    // ---- the host's view, for the generator ----
    bool reply_pending() const { return !replies_.empty(); }
    uint32_t in_due() const { return b2h_left_; }
    uint32_t out_due() const { return engine_.host_to_bus_due(); }
    bool quiescent() const { return replies_.empty() && b2h_left_ == 0 && out_due() == 0 && !suspended_; }
    bool settled() const { return settled_; }
    const EngineModel& engine() const { return engine_; }
    const RequestModel& requests() const { return requests_; }
    bool any_halt() const { return !requests_.state().halted.empty(); }

    // A result against what it must be (the rule-breaking class's recovery).
    bool expect(const std::string& kind, const std::string& want, const std::string& got) {
        if (want == got) return true;
        return violate(kind, "got '" + got.substr(0, 300) + "', want '" + want.substr(0, 300) + "'");
    }
    // The board is trusted no more once the host has written over the firmware.
    bool code_overwritten() const { return code_overwritten_; }

    std::optional<Violation> violation;
    std::string why_invalid;
    std::vector<std::string> lines, results;
    uint64_t commands_ = 0;

private:
    static Bytes device_descriptor(vboard::serve::Session& s) {
        const auto* d = s.host().device();
        return d ? d->device_descriptor : Bytes{};
    }
    static Bytes configuration(vboard::serve::Session& s) {
        const auto* d = s.host().device();
        return d ? d->configuration : Bytes{};
    }

    std::string run(const ScriptCommand& c) {
        results.push_back(runner_.run(c));
        return results.back();
    }

    bool refuse(std::string why) {
        why_invalid = std::move(why);
        return false;
    }
    bool violate(std::string kind, std::string detail) {
        violation = Violation{results.empty() ? 0 : results.size() - 1, std::move(kind), std::move(detail)};
        return false;
    }
    bool check_findings() {
        if (spec_.rule_keeping && session_.board().stream_packets_after_short())
            return violate("stream contract", "a stream packet after a short one with no script between");
        const vboard::Diagnostics& d = session_.board().diagnostics();
        // A read strobe during the card's page load is the host's timing
        // (random strides and streams across pages), not the firmware's.
        if (d.total() == d.count(vboard::FindingKind::card_early_read) || code_overwritten_) return true;
        std::ostringstream out;
        d.print(out);
        const std::string kind = d.findings().empty() ? "?" : vboard::finding_name(d.findings().front().kind);
        return violate("finding " + kind, out.str().substr(0, 600));
    }

    // Card-side events against the prediction: every event the board has
    // recorded must be the next predicted one.
    bool sync_events() {
        vboard::controller::Ports& ports = session_.board().ports();
        if (!spec_.rule_keeping) {
            ports.clear_events();
            return true;
        }
        if (ports.dropped_events()) return violate("event", "event record overflowed");
        for (const BusEvent& g : ports.events()) {
            if (pending_.empty()) return violate("event", "unexpected event " + describe(g));
            const Expected w = pending_.front();
            const bool strobe = w.kind == BusEvent::Kind::fwr || w.kind == BusEvent::Kind::frd;
            if (g.kind != w.kind || (w.value && g.value != *w.value) ||
                (strobe && (g.width != w.width || g.shape != w.shape)))
                return violate("event", "event " + describe(g) + ", model " + describe(w));
            if (w.kind == BusEvent::Kind::frd) captured_[matched_] = g.value;
            pending_.pop_front();
            ++matched_;
        }
        ports.clear_events();
        return true;
    }

    // Appends predicted events; returns the serial of the first.
    uint64_t predict(const std::vector<Expected>& events) {
        const uint64_t first = matched_ + pending_.size();
        pending_.insert(pending_.end(), events.begin(), events.end());
        return first;
    }

    // The captured bytes of `count` FRD events from serial `first` on (FRD
    // serials only are kept).
    std::optional<Bytes> captured(const std::vector<uint64_t>& serials) {
        Bytes bytes;
        for (uint64_t s : serials) {
            const auto it = captured_.find(s);
            if (it == captured_.end()) return std::nullopt;
            bytes.push_back(it->second);
            captured_.erase(it);
        }
        return bytes;
    }

    // ---- the rule-keeping class ----
    bool keep(const ScriptCommand& c) {
        const bool was_settled = settled_, had_waited = waited_;
        settled_ = !(c.kind == Cmd::out || (c.kind == Cmd::wait && c.ms.value_or(0) == 0));
        waited_ = c.kind == Cmd::wait && c.ms.value_or(0) > 0;
        const bool talks = c.kind == Cmd::control || c.kind == Cmd::string || c.kind == Cmd::out ||
                           c.kind == Cmd::in || c.kind == Cmd::load || c.kind == Cmd::enumerate;
        if (talks && suspended_) return refuse("a transfer while the bus is suspended");
        switch (c.kind) {
        case Cmd::load:
        case Cmd::enumerate: return refuse("load/enumerate");
        case Cmd::control: return keep_control(c);
        case Cmd::string: return expect("string", string_result(c.index), run(c)) && sync_events();
        case Cmd::out: return keep_out(c);
        case Cmd::in: return keep_in(c);
        case Cmd::reset:
            // Packets the firmware has not taken yet are lost with a bus
            // reset: a host that keeps them waits for them first.
            if (!quiescent() || any_halt() || !had_waited) return refuse("reset outside a quiet moment");
            requests_.reset_bus();
            return expect("reset", "ok", run(c)) && sync_events();
        case Cmd::suspend: suspended_ = true; return expect("bus", "ok", run(c)) && sync_events();
        case Cmd::resume: suspended_ = false; return expect("bus", "ok", run(c)) && sync_events();
        case Cmd::wakeup:
        case Cmd::wait: return expect("bus", "ok", run(c)) && sync_events();
        case Cmd::pins: {
            if (!was_settled) return refuse("pins right after a packet");
            char want[48];
            std::snprintf(want, sizeof want, "pc %02x oec %02x outc %02x", engine_.pins(), engine_.oec(),
                          engine_.outc());
            return expect("pins", want, run(c)) && sync_events();
        }
        }
        return refuse("unknown command");
    }

    bool keep_control(const ScriptCommand& c) {
        const uint8_t rt = c.setup.request_type;
        if (rt == 0x02 && (c.setup.request == 1 || c.setup.request == 3) && !quiescent())
            return refuse("an endpoint halt request during a stream or with a reply unread");
        const RequestVerdict v = requests_.request(c.setup);
        if (v.cls == RequestVerdict::Class::breaking) return refuse("a request the model calls rule-breaking");
        const std::string got = run(c);
        return expect("control", v.result, got) && sync_events();
    }

    bool halted_pipe(uint32_t pipe) const {
        return pipe < pipes_.size() && requests_.state().halted.count(RequestModel::endpoint(pipes_[pipe].address));
    }

    bool keep_out(const ScriptCommand& c) {
        const size_t size = c.data.size();
        if (c.pipe > 6) return refuse("out on an IN pipe");
        if (halted_pipe(c.pipe)) return expect("out", "stall", run(c)) && sync_events();
        if (c.pipe == 0) {
            if (size > 64) return refuse("a script longer than a packet");
            if (b2h_left_) return refuse("a script during a bus-to-host stream");
            // While a host-to-bus stream is outstanding the firmware puts
            // every waiting stream packet before a script (it cannot tell
            // which came first): a script goes after the stream's data.
            if (out_due()) return refuse("a script in the middle of a host-to-bus stream");
            EngineModel trial = engine_;
            const EngineModel::Outcome out = trial.script(c.data);
            const bool header = out.ops[5] + out.ops[6] > 0;
            if (header && !replies_.empty()) return refuse("a stream header with a reply unread");
            if (!out.reply.empty() && !replies_.empty()) return refuse("a replying script with a reply unread");
            engine_ = trial;
            const uint64_t first = predict(out.events);
            std::vector<uint64_t> frd;
            for (size_t i = 0; i < out.events.size(); ++i)
                if (out.events[i].kind == BusEvent::Kind::frd) frd.push_back(first + i);
            if (!out.reply.empty()) {
                Reply r;
                size_t next = 0;
                for (const auto& b : out.reply) r.push_back(b.from_bus ? Source{0, frd.at(next++), true} : Source{*b.value, 0, false});
                replies_.push_back(std::move(r));
            }
            if (const uint32_t due = engine_.bus_to_host_due()) {
                b2h_first_ = predict(engine_.deliver_bus_to_host());
                b2h_left_ = due;
            }
            return expect("out", "ok " + std::to_string(size), run(c)) && sync_events();
        }
        if (c.pipe == 1) {
            const uint32_t due = out_due();
            if (size == 0 || size > due || (size % 64 != 0 && size != due))
                return refuse("stream data beyond or short of the announced length");
            for (size_t at = 0; at < size; at += 64)
                predict(engine_.stream_packet(std::span(c.data).subspan(at, std::min<size_t>(64, size - at))));
            return expect("out", "ok " + std::to_string(size), run(c)) && sync_events();
        }
        if (c.pipe == 2) return refuse("out on pipe 2, whose buffers serve EP2");
        return expect("out", "ok " + std::to_string(size), run(c)) && sync_events();
    }

    bool keep_in(const ScriptCommand& c) {
        if (c.pipe != 8) return refuse("in on a pipe other than the reply pipe");
        if (halted_pipe(8)) return expect("in", "stall", run(c)) && sync_events();
        const uint32_t length = c.length;
        if (!replies_.empty()) {
            const Reply r = replies_.front();
            if (length < r.size() || (r.size() == 64 && length != 64)) return refuse("a reply read of the wrong size");
            replies_.pop_front();
            const std::string got = run(c);
            if (!sync_events()) return false;
            Bytes want;
            std::vector<uint64_t> serials;
            for (const Source& s : r)
                if (s.from_bus) serials.push_back(s.serial);
            const auto bus = captured(serials);
            if (!bus) return violate("reply", "reply '" + got + "' before its bus reads happened");
            size_t next = 0;
            for (const Source& s : r) want.push_back(s.from_bus ? (*bus)[next++] : s.value);
            return expect("reply", "ok " + hex(want), got);
        }
        if (b2h_left_) {
            const uint32_t left = b2h_left_;
            const bool fits = (length % 64 == 0 && length <= left) || length == left ||
                              (length > left && left % 64 != 0);
            if (length == 0 || !fits) return refuse("a stream read that does not end at a packet");
            const uint32_t n = std::min(length, left);
            const std::string got = run(c);
            if (!sync_events()) return false;
            std::vector<uint64_t> serials(n);
            for (uint32_t i = 0; i < n; ++i) serials[i] = b2h_first_ + i;
            b2h_first_ += n;
            b2h_left_ -= n;
            const auto bus = captured(serials);
            if (!bus) return violate("stream", "stream data '" + got.substr(0, 80) + "' before its bus reads");
            return expect("stream", "ok " + hex(*bus), got);
        }
        return expect("in", "timeout", run(c)) && sync_events();
    }

    // ---- the rule-breaking class ----
    bool other(const ScriptCommand& c) {
        if (c.kind == Cmd::control && (c.setup.request_type & 0x60) == 0x40 && c.setup.request == 0xA0 &&
            !c.setup.device_to_host() && c.setup.length > 0 && c.setup.value < 0x1000)
            code_overwritten_ = true;  // the host writes over the firmware's code
        run(c);
        return sync_events();
    }

    struct Source {
        uint8_t value;
        uint64_t serial;
        bool from_bus;
    };
    using Reply = std::vector<Source>;

    const RunSpec& spec_;
    vboard::serve::Session& session_;
    vboard::serve::ScriptRunner runner_;
    std::vector<vboard::host::EndpointDescriptor> pipes_;
    EngineModel engine_;
    RequestModel requests_;
    std::deque<Expected> pending_;
    uint64_t matched_ = 0;
    std::unordered_map<uint64_t, uint8_t> captured_;
    std::deque<Reply> replies_;
    uint64_t b2h_first_ = 0;
    uint32_t b2h_left_ = 0;
    bool suspended_ = false;
    bool settled_ = true;
    bool waited_ = false;
    bool code_overwritten_ = false;
};

// ---- the generator -------------------------------------------------------------------------

class Generator {
public:
    explicit Generator(uint64_t seed) : rng_(seed) {}

    // The next lines for a rule-keeping host in the judge's state; `drain`:
    // only finish what is outstanding.
    std::vector<std::string> keeping(const Judge& j, bool drain) {
        if (j.reply_pending() && (drain || chance(70))) return {"in 8 64"};
        if (j.in_due() && !j.reply_pending() && (drain || chance(80))) return {"in 8 " + std::to_string(in_chunk(j.in_due()))};
        if (j.out_due() && (drain || chance(75))) return {line_of("out", stream_data(out_chunk(j.out_due())), 1)};
        if (drain) return {};
        const bool quiet = j.quiescent();
        const bool script_ok = !j.in_due() && !j.out_due();
        for (;;) {
            const unsigned r = pick(100);
            if (r < 30 && script_ok) {
                Bytes s = script(false);
                if (j.reply_pending()) s = no_reply(s);
                return {line_of("out", s, 0)};
            }
            if (r < 40 && quiet) return {line_of("out", stream_script(), 0)};
            if (r < 70) {
                RequestModel trial = j.requests();
                for (int tries = 0; tries < 30; ++tries) {
                    Bytes data;
                    const auto setup = request(data);
                    if (setup.request_type == 0x02 && (setup.request == 1 || setup.request == 3) && !quiet) continue;
                    RequestModel m = trial;
                    if (m.request(setup).cls != RequestVerdict::Class::breaking) return {control_line(setup, data)};
                }
                continue;
            }
            if (r < 74) return {string_line()};
            if (r < 77) return {"wait " + std::to_string(1 + pick(3)), "pins"};
            if (r < 80) return {"wait " + std::to_string(pick(pick(10) == 0 ? 200 : 20))};
            if (r < 85) return suspend_group();
            if (r < 87 && quiet && !j.any_halt()) return {"wait " + std::to_string(1 + pick(3)), "reset"};
            if (r < 92) return {line_of("out", random_bytes(pick(4) == 0 ? pick(257) : pick(65)), 3 + pick(4))};
            if (r < 97 && quiet) return halt_group(j);
        }
    }

    // The next lines for a rule-breaking host. A suspended bus is resumed
    // after a few lines, as transfers meanwhile only time out.
    std::vector<std::string> breaking() {
        const unsigned r = pick(1000);
        if (r < 200) return {line_of("out", pick(3) ? script(true) : random_bytes(pick(65)), 0)};
        if (r < 260) return {line_of("out", stream_script(), 0)};
        if (r < 420) return {"in 8 " + std::to_string(pick(4) ? 1 + pick(256) : pick(65537))};
        if (r < 520) return {line_of("out", stream_data(pick(8) ? pick(257) : pick(8193)), 1)};
        if (r < 760) {
            Bytes data;
            const auto setup = request(data);
            return {control_line(setup, data)};
        }
        if (r < 780) return {loader_line(false)};
        if (r < 800) return {string_line()};
        if (r < 835) return {line_of("out", random_bytes(pick(65)), 2 + pick(5))};
        if (r < 840) return {"in " + std::to_string(7 + pick(7)) + " " + std::to_string(pick(129))};
        const char* bus[] = {"reset", "wakeup", "pins", "resume"};
        if (r < 900) return {bus[pick(4)]};
        if (r < 960) return {"wait " + std::to_string(pick(pick(10) == 0 ? 300 : 20))};
        if (r < 970) return {"load", "enumerate"};
        if (r < 980) return {"enumerate " + std::to_string(pick(100))};
        std::vector<std::string> g = {"suspend"};
        for (unsigned n = pick(3); n > 0; --n) {
            const auto more = breaking();
            if (more[0] != "suspend") g.insert(g.end(), more.begin(), more.end());
        }
        g.push_back("resume");
        return g;
    }

    // The loader's request: reads anywhere in RAM, writes to the RAM above
    // the firmware, or (`over_code`) over the firmware's code.
    std::string loader_line(bool over_code) {
        const uint16_t length = static_cast<uint16_t>(1 + pick(pick(4) ? 16 : 1024));
        if (pick(2) && !over_code) {
            const uint16_t at = static_cast<uint16_t>(pick(0x2000 - length));
            return control_line({0xC0, 0xA0, at, 0, length}, {});
        }
        const uint16_t at = over_code ? static_cast<uint16_t>(pick(0x1000 - length))
                                      : static_cast<uint16_t>(0x1000 + pick(0x1000 - length));
        return control_line({0x40, 0xA0, at, 0, length}, random_bytes(length));
    }

private:
    unsigned pick(unsigned n) { return n ? static_cast<unsigned>(rng_() % n) : 0; }
    bool chance(unsigned percent) { return pick(100) < percent; }
    uint8_t byte() { return static_cast<uint8_t>(rng_()); }

    Bytes random_bytes(size_t n) {
        Bytes b(n);
        for (auto& x : b) x = byte();
        return b;
    }

    Bytes stream_data(size_t n) {
        Bytes b(n);
        uint32_t x = static_cast<uint32_t>(rng_()) | 1;
        for (auto& v : b) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            v = static_cast<uint8_t>(x >> 7);
        }
        return b;
    }

    // Stream lengths up to the maximum; long ones rare.
    uint32_t stream_length() {
        const unsigned r = pick(1000);
        if (r < 450) return pick(257);
        if (r < 800) return pick(4097);
        if (r < 970) return pick(65537);
        if (r < 997) return pick(524289);
        return r < 999 ? pick(max_stream + 1) : max_stream;
    }

    uint32_t in_chunk(uint32_t due) {
        if (due <= max_in_chunk && chance(60)) return due % 64 && chance(50) ? (due | 63) + 1 : due;
        const uint32_t packets = std::max<uint32_t>(1, std::min<uint32_t>(due, max_in_chunk) / 64);
        const uint32_t n = 64 * (1 + pick(packets));
        return n > due ? due : n;
    }

    size_t out_chunk(uint32_t due) {
        if (due <= max_out_chunk && chance(60)) return due;
        const size_t packets = std::max<size_t>(1, std::min<size_t>(due, max_out_chunk) / 64);
        const size_t n = 64 * (1 + pick(static_cast<unsigned>(packets)));
        return n > due ? due : n;
    }

    // One op of the command language; headers only when `headers`.
    Bytes op(bool headers) {
        const unsigned r = pick(100);
        if (r < 8) return {static_cast<uint8_t>(pick(3) == 0 ? pick(16) : pick(2) ? 0x07 : 0x0F)};
        if (r < 16) return {static_cast<uint8_t>(0x10 | (pick(2) ? Bytes{0x0, 0x4, 0x1, 0x2, 0x8}[pick(5)] : pick(16)))};
        if (r < 26) return {static_cast<uint8_t>(0x20 | pick(16))};
        if (r < 44) {
            switch (pick(4)) {
            case 0: return {0x31, 0x90};
            case 1: return {0x32, 0x00};
            case 2: return {0x31, byte()};
            default: return {static_cast<uint8_t>(0x30 | pick(16)), byte()};
            }
        }
        if (r < 66) return {static_cast<uint8_t>(0x40 | (pick(3) ? (pick(2) ? 0x0 : 0x8) : pick(16)))};
        if (r < 72 && headers)
            return {static_cast<uint8_t>((pick(2) ? 0x50 : 0x60) | pick(16)), byte(), byte(), byte()};
        if (r < 94) return {static_cast<uint8_t>(0x70 + pick(0x80))};
        return {static_cast<uint8_t>(0xF0 | pick(16)), byte()};
    }

    // 0 to 64 bytes of ops, a quarter cut off by the end of the packet
    // (never inside a header unless `headers`).
    Bytes script(bool headers) {
        const size_t target = pick(8) == 0 ? 64 : pick(65);
        Bytes s;
        for (;;) {
            const Bytes o = op(headers);
            if (s.size() + o.size() > target) break;
            s.insert(s.end(), o.begin(), o.end());
        }
        if (pick(4) == 0 && s.size() < 64) {
            const uint8_t codes[4] = {0x30, 0xF0, 0x50, 0x60};
            const uint8_t code = codes[pick(headers ? 4 : 2)];
            s.push_back(static_cast<uint8_t>(code | pick(16)));
            if (code == 0x50 || code == 0x60)
                for (unsigned n = pick(3); n > 0 && s.size() < 64; --n) s.push_back(byte());
        }
        return s;
    }

    // A script whose last op is a stream header of a random length.
    Bytes stream_script() {
        Bytes s = script(false);
        if (s.size() > 60) s.resize(pick(61));
        // Ops cut off at the end would now be whole: start from complete ops only.
        Bytes whole;
        for (size_t i = 0; i < s.size();) {
            const unsigned code = s[i] >> 4;
            const size_t n = code == 3 || code == 0xF ? 2 : 1;
            if (i + n > s.size()) break;
            whole.insert(whole.end(), s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(i + n));
            i += n;
        }
        const uint32_t length = stream_length();
        whole.insert(whole.end(), {static_cast<uint8_t>((pick(2) ? 0x50 : 0x60) | pick(16)),
                                   static_cast<uint8_t>((length & 63) | (pick(4) << 6)),
                                   static_cast<uint8_t>(length >> 6), static_cast<uint8_t>(length >> 14)});
        // Pace bytes after a quarter of the headers (stride S1 S0, pause P,
        // each 0x70 + 7 bits): a paced stream when the header is bus to
        // host with bit 7; passed over like any 0x70-0xEF byte otherwise.
        // Strides and pauses that keep a stream within 0.2 s of pauses (the
        // host's reads time out), stride 0 now and then (no pace).
        if (chance(25) && whole.size() <= 61) {
            const unsigned r = pick(4);
            unsigned stride = r == 0 ? pick(129) : r == 1 ? 264 : r == 2 ? 528 : pick(16384);
            unsigned pause = pick(3) ? pick(40) : pick(128);
            if (uint64_t{length} * (pause + 10) > 200'000ull * std::max(stride, 1u)) stride = 528, pause = pick(40);
            whole.insert(whole.end(), {static_cast<uint8_t>(0x70 + (stride >> 7)), static_cast<uint8_t>(0x70 + (stride & 0x7F)),
                                       static_cast<uint8_t>(0x70 + pause)});
        }
        return whole;
    }

    // The script without its replying ops (pins, reads) and so no reply.
    static Bytes no_reply(const Bytes& s) {
        Bytes out;
        for (size_t i = 0; i < s.size(); ++i) {
            const unsigned code = s[i] >> 4;
            if (code == 2 || code == 4) continue;
            out.push_back(s[i]);
            if ((code == 3 || code == 0xF) && i + 1 < s.size()) out.push_back(s[++i]);
        }
        return out;
    }

    uint16_t length() {
        const unsigned r = pick(100);
        if (r < 15) return 0;
        if (r < 50) return static_cast<uint16_t>(1 + pick(18));
        if (r < 80) return static_cast<uint16_t>(pick(2) ? 64 : 255);
        if (r < 95) return static_cast<uint16_t>(pick(4097));
        return static_cast<uint16_t>(rng_());
    }

    // A control request: standard (valid and invalid), class, vendor or random.
    vboard::host::SetupPacket request(Bytes& data) {
        vboard::host::SetupPacket s;
        const unsigned r = pick(100);
        if (r < 45) {
            switch (pick(11)) {
            case 0: s = {0x80, 6, 0x0100, 0, length()}; break;
            case 1: s = {0x80, 6, 0x0200, 0, length()}; break;
            case 2: s = {0x80, 6, static_cast<uint16_t>(0x0300 | pick(3)), static_cast<uint16_t>(pick(2) ? 0x0409 : rng_()), length()}; break;
            case 3: s = {static_cast<uint8_t>(0x80 + pick(3)), 0, 0, static_cast<uint16_t>(Bytes{0x01, 0x02, 0x82, 0x81, 0x86}[pick(5)]), 2}; break;
            case 4: s = {0x80, 8, 0, 0, static_cast<uint16_t>(1 + pick(64))}; break;
            case 5: s = {0x81, 10, 0, 0, static_cast<uint16_t>(1 + pick(64))}; break;
            case 6: s = {0x00, 9, static_cast<uint16_t>(pick(3) ? 1 : pick(256)), 0, 0}; break;
            case 7: s = {0x01, 11, static_cast<uint16_t>(pick(4)), static_cast<uint16_t>(pick(2)), 0}; break;
            case 8: s = {0x00, static_cast<uint8_t>(pick(2) ? 1 : 3), 1, 0, 0}; break;
            case 9: s = {0x02, 1, static_cast<uint16_t>(pick(4) ? 0 : 0x0100), static_cast<uint16_t>(Bytes{0x01, 0x02, 0x82, 0x09, 0x8A, 0xF2}[pick(6)]), 0}; break;
            default: s = {0x80, 6, static_cast<uint16_t>(0x0100 | pick(3) << 8 | pick(4)), 0, length()}; break;
            }
        } else if (r < 60) {
            switch (pick(6)) {
            case 0: s = {0x80, 6, static_cast<uint16_t>((4 + pick(252)) << 8 | pick(4)), 0, length()}; break;
            case 1: s = {0x80, 6, static_cast<uint16_t>(0x0300 | (3 + pick(253))), 0x0409, length()}; break;
            case 2: s = {static_cast<uint8_t>(Bytes{0x83, 0x00, 0xC0, 0x84, 0xA0}[pick(5)]), 0, 0, 0, 2}; break;
            case 3: s = {static_cast<uint8_t>(pick(2) ? 0x00 : 0x02), static_cast<uint8_t>(pick(2) ? 1 : 3), static_cast<uint16_t>(2 + pick(5)), 0x82, 0}; break;
            case 4: s = {0x00, 6, static_cast<uint16_t>(0x0300 | pick(3)), 0, static_cast<uint16_t>(1 + pick(64))}; break;
            default: s = {static_cast<uint8_t>(pick(2) ? 0x80 : 0x00), static_cast<uint8_t>(Bytes{2, 4, 7, 12, 13, 0x51, 0xFF}[pick(7)]), static_cast<uint16_t>(rng_()), static_cast<uint16_t>(rng_()), length()}; break;
            }
        } else if (r < 85) {
            const uint8_t type = pick(2) ? 0x20 : 0x40;
            const uint8_t dir = pick(2) ? 0x80 : 0x00;
            const uint8_t req = pick(3) ? Bytes{0, 1, 3, 6, 8, 9, 10, 11}[pick(8)] : byte();
            s = {static_cast<uint8_t>(dir | type | pick(4)), req, static_cast<uint16_t>(pick(2) ? 0x0301 : rng_()),
                 static_cast<uint16_t>(rng_()), pick(3) ? uint16_t{0} : length()};
        } else {
            s = {byte(), byte(), static_cast<uint16_t>(rng_()), static_cast<uint16_t>(rng_()), length()};
        }
        if ((s.request_type & 0x60) == 0x40 && s.request == 0xA0) s.request = 0xA1;  // not the loader
        if (!s.device_to_host() && s.length > 4096) s.length = static_cast<uint16_t>(pick(4097));  // a line's limit
        data = s.device_to_host() ? Bytes{} : random_bytes(s.length);
        return s;
    }

    std::string string_line() {
        const unsigned index = pick(5) ? pick(3) : pick(256);
        return "string " + std::to_string(index) + (pick(2) ? "" : " " + hex(Bytes{byte(), byte()}));
    }

    std::vector<std::string> suspend_group() {
        std::vector<std::string> g = {"suspend"};
        if (chance(70)) g.push_back("wait " + std::to_string(pick(12)));
        if (chance(50)) g.push_back("wakeup");
        if (chance(50)) g.push_back("wait " + std::to_string(pick(40)));
        g.push_back("resume");
        return g;
    }

    // An endpoint halted, used, looked at and cleared.
    std::vector<std::string> halt_group(const Judge&) {
        const uint8_t eps[] = {0x01, 0x02, 0x82, 0x04, 0x07, 0x81, 0x84, 0x87};
        const uint8_t e = eps[pick(8)];
        std::vector<std::string> g = {control_line({0x02, 3, 0, e, 0}, {})};
        if (e == 0x01) g.push_back(line_of("out", script(false), 0));
        if (e == 0x82) g.push_back("in 8 64");
        if (chance(50)) g.push_back(control_line({0x82, 0, 0, e, 2}, {}));
        g.push_back(control_line({0x02, 1, 0, e, 0}, {}));
        return g;
    }

    std::mt19937_64 rng_;
};

// Builds the session and the judge; null when the board does not come up.
struct Bench {
    std::unique_ptr<vboard::serve::Session> session;
    std::unique_ptr<Judge> judge;
    std::string error;

    explicit Bench(const RunSpec& spec) {
        vboard::serve::BoardOptions options;
        options.card = spec.card;
        options.firmware_loaded = spec.image.empty();
        session = vboard::serve::Session::create(options, error);
        if (!session) return;
        if (!spec.image.empty() && !session->board().load_firmware_bytes(spec.image, error)) {
            session.reset();
            return;
        }
        // As `vboard script` does before its first command.
        if (!session->settle(session->host().profile().transfer_timeout_ms)) {
            error = "the firmware did not enumerate";
            return;
        }
        judge = std::make_unique<Judge>(spec, *session);
    }
};

// The lines every run ends with, run one by one. A rule-keeping host has
// finished its streams and read its replies: it resumes the bus and reads
// the card's ID, checked by the models like every line before. A
// rule-breaking one first makes the board usable again as any host could:
// it resumes the bus, clears the halts of its three pipes (each request
// must be served), reads the reply pipe dry, ends any stream with an empty
// bus-to-host header and reads again; then the card's ID scripts must
// answer as on a fresh board.
bool close_run(const RunSpec& spec, Judge& j) {
    const std::string setup = script_line(setup_script, sizeof setup_script);
    const std::string id = script_line(id_script, sizeof id_script);
    if (spec.rule_keeping) {
        for (const std::string& l : {std::string("resume"), setup, std::string("in 8 64"), id, std::string("in 8 64")})
            if (!j.line(l)) return false;
        return j.finish();
    }
    auto run = [&](const std::string& l) { return j.line(l) ? std::optional(j.results.back()) : std::nullopt; };
    auto served = [&](const std::string& l, const char* kind, const std::string& want) {
        const auto got = run(l);
        return got && (j.code_overwritten() || j.expect(kind, want, *got));
    };
    auto drain = [&] {  // replies, then a stream's packets: at most 4,194,303 bytes
        for (int k = 0; k < 80; ++k) {
            const auto got = run("in 8 65536");
            if (!got) return false;
            if (*got == "timeout") break;
        }
        return true;
    };
    if (!run("resume")) return false;
    for (const char* e : {"0001", "0002", "0082"})
        if (!served(std::string("control 02 01 0000 ") + e + " 0000", "recovery", "ok")) return false;
    if (!drain() || !run("out 0 60000000") || !drain()) return false;
    EngineModel fresh(spec.card);
    auto reply = [](const EngineModel::Outcome& o) {
        Bytes b;
        for (const auto& r : o.reply) b.push_back(r.value.value_or(0xFF));
        return b;
    };
    const Bytes setup_reply = reply(fresh.script(Bytes(std::begin(setup_script), std::end(setup_script))));
    const Bytes id_reply = reply(fresh.script(Bytes(std::begin(id_script), std::end(id_script))));
    return served(setup, "recovery", "ok 6") && served("in 8 64", "id", "ok " + hex(setup_reply)) &&
           served(id, "recovery", "ok 8") && served("in 8 64", "id", "ok " + hex(id_reply));
}

RunResult run(const RunSpec& spec, const std::vector<std::string>* body) {
    RunResult result;
    Bench bench(spec);
    if (!bench.session || !bench.judge) {
        result.violation = Violation{0, "start", bench.error};
        return result;
    }
    Judge& j = *bench.judge;
    const double start = bench.session->host().elapsed_ms();
    auto done = [&] {
        result.results = j.results;
        result.lines = j.lines;
        result.violation = j.violation;
        result.commands = j.commands_;
        result.simulated_ms = bench.session->host().elapsed_ms() - start;
        if (!j.violation && !j.why_invalid.empty()) {
            result.invalid = true;
            result.why_invalid = j.why_invalid;
        }
        return result;
    };
    if (body) {
        result.body = *body;
        for (const std::string& l : *body)
            if (!j.line(l)) return done();
    } else {
        Generator gen(spec.seed * 0x9E3779B97F4A7C15ull + (spec.rule_keeping ? 1 : 2));
        // One rule-breaking run in 25 ends with a write over the firmware's code.
        bool overwrite = !spec.rule_keeping && (spec.seed * 0x9E3779B97F4A7C15ull >> 40) % 25 == 0;
        for (;;) {
            const bool drain = result.body.size() >= spec.commands;
            std::vector<std::string> lines;
            if (spec.rule_keeping) {
                lines = gen.keeping(j, drain);
            } else if (!drain) {
                lines = gen.breaking();
            } else if (overwrite) {
                lines = {gen.loader_line(true)};
                overwrite = false;
            }
            if (lines.empty()) break;
            for (const std::string& l : lines) {
                result.body.push_back(l);
                if (!j.line(l)) return done();
            }
        }
    }
    close_run(spec, j);
    return done();
}

}  // namespace

const char* const closing_marker = "# the closing lines every run ends with";

std::vector<std::string> reproducer_body(std::istream& in) {
    std::vector<std::string> body;
    for (std::string line; std::getline(in, line) && line != closing_marker;) {
        if (const size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
        if (!line.empty()) body.push_back(line);
    }
    return body;
}

RunResult generate_and_run(const RunSpec& spec) { return run(spec, nullptr); }

RunResult replay(const RunSpec& spec, const std::vector<std::string>& body) { return run(spec, &body); }

std::vector<std::string> shrink(const RunSpec& spec, const std::vector<std::string>& body, const std::string& kind,
                                size_t max_replays) {
    std::vector<std::string> lines = body;
    size_t replays = 0;
    // Keeps a candidate that still fails the same way; cuts what follows the failing line.
    auto fails = [&](std::vector<std::string>& cand) {
        ++replays;
        const RunResult r = replay(spec, cand);
        if (r.invalid || !r.violation || r.violation->kind != kind) return false;
        if (r.violation->line + 1 < cand.size()) cand.resize(r.violation->line + 1);
        return true;
    };
    {
        std::vector<std::string> cand = lines;
        if (fails(cand)) lines = cand;
    }
    for (size_t chunk = std::max<size_t>(1, lines.size() / 2); replays < max_replays;) {
        bool progress = false;
        for (size_t at = 0; at < lines.size() && replays < max_replays;) {
            std::vector<std::string> cand(lines.begin(), lines.begin() + static_cast<long>(at));
            cand.insert(cand.end(), lines.begin() + static_cast<long>(std::min(lines.size(), at + chunk)), lines.end());
            if (fails(cand)) {
                lines = cand;
                progress = true;
            } else {
                at += chunk;
            }
        }
        if (chunk == 1 && !progress) break;
        chunk = std::max<size_t>(1, chunk / 2);
    }
    return lines;
}

std::string reproducer(const RunSpec& spec, const std::vector<std::string>& body) {
    const RunResult r = replay(spec, body);
    std::ostringstream out;
    std::string card;
    if (!spec.card) {
        card = " --no-card";
    } else if (!(spec.card == vboard::card::CardIdentity{})) {
        char b[32];
        std::snprintf(b, sizeof b, " --card %02x,%02x,%02x", spec.card->maker, spec.card->device, spec.card->id3);
        card = b;
        if (spec.card->ext) {
            std::snprintf(b, sizeof b, ",%02x", *spec.card->ext);
            card += b;
        }
    }
    out << "# " << (spec.rule_keeping ? "rule-keeping" : "rule-breaking") << " campaign run, seed " << spec.seed
        << "\n# replay: "
        << (spec.image.empty() ? "build/bin/vboard script --firmware-loaded" + card + " FILE"
                               : "build/bin/firmware_campaign --replay FILE --image IMAGE" + card +
                                     (spec.rule_keeping ? "" : " --breaking"))
        << "\n";
    if (r.violation)
        out << "# fails at line " << r.violation->line + 1 << " (" << r.violation->kind << "): " << r.violation->detail
            << "\n";
    for (size_t i = 0; i < r.lines.size(); ++i) {
        if (i == body.size()) out << closing_marker << "\n";
        out << r.lines[i] << (i < r.results.size() ? "    # -> " + r.results[i].substr(0, 120) : std::string()) << "\n";
    }
    return out.str();
}

}  // namespace campaign
