// The command interpreter on the whole virtual board against the reference
// model: generated scripts (every op, random arguments, fillers, stream
// headers mid-script, ops cut off by the end of the packet) and the edge
// cases of the command language, sent on the command pipe by the host model.
// Every script must give the model's reply, the model's card-side events in
// order (OEC/OUTC writes, FWR# bytes, FRD# captures, strobe width and shape)
// and leave the model's stream state, port C and strobe settings.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>

#include "engine_board.h"
#include "engine_model.h"

namespace {

using namespace fwtest;
using vboard::card::CardIdentity;
using vboard::controller::BusEvent;
using vboard::host::Status;

std::string hex(std::span<const uint8_t> bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x ", v);
        s += b;
    }
    if (!s.empty()) s.pop_back();
    return s;
}

// Coverage of a run, printed at its end.
struct Coverage {
    unsigned scripts = 0, bytes = 0, truncated = 0, replies = 0, reply_bytes = 0;
    unsigned frd_known = 0, frd_any = 0, fwr = 0, stream_in = 0, stream_out = 0, strays = 0;
    std::array<unsigned, 16> ops{};

    std::string text() const {
        unsigned fillers = 0;
        for (int c = 7; c <= 0xE; ++c) fillers += ops[c];
        char b[400];
        std::snprintf(b, sizeof b,
                      "%u scripts, %u bytes, %u cut off at the end; ops oe %u ctl %u pins %u write %u read %u "
                      "stream_out %u stream_in %u timing %u fillers %u; %u replies (%u bytes); FRD# %u predicted "
                      "+ %u taken from the board; FWR# %u; stream bytes in %u out %u; %u stray packets",
                      scripts, bytes, truncated, ops[0], ops[1], ops[2], ops[3], ops[4], ops[5], ops[6], ops[0xF],
                      fillers, replies, reply_bytes, frd_known, frd_any, fwr, stream_in, stream_out, strays);
        return b;
    }
};

// The board and the model side by side.
class Differential {
public:
    explicit Differential(const std::optional<CardIdentity>& card, uint32_t seed = 1)
        : board_(settings(card)), model_(card), rng_(seed) {}

    EngineBoard& board() { return board_; }
    EngineModel& model() { return model_; }
    const Coverage& coverage() const { return coverage_; }
    // The reply of the last script as the board sent it.
    const Bytes& reply() const { return reply_; }

    // Runs one script on both, and the stream it leaves outstanding (the
    // host reads or sends exactly the announced bytes); otherwise, now and
    // then, a stray packet on the stream pipe. False after the first
    // difference, which is reported with the script.
    bool step(const Bytes& script, bool stray_packets = false) {
        const std::string where = "script [" + hex(script) + "]";
        const EngineModel::Outcome out = model_.script(script);
        std::vector<Expected> want = out.events;
        board_.record();

        const auto sent = board_.script(script);
        if (!sent.ok() || sent.sent != script.size()) return fail(where, "command pipe write failed");
        count(script, out);

        // The reply, or silence on the reply pipe.
        reply_.clear();
        const uint32_t in_due = model_.bus_to_host_due();
        if (!out.reply.empty()) {
            const auto r = board_.read_reply(64);
            if (!r.ok()) return fail(where, std::string("reply read: ") + vboard::host::status_name(r.status));
            reply_ = r.data;
        } else if (in_due == 0) {
            const auto r = board_.read_reply(64, 2);
            if (r.status != Status::timeout || !r.data.empty())
                return fail(where, "the reply pipe answered a script without a reply: [" + hex(r.data) + "]");
        }

        // The stream the script leaves outstanding.
        Bytes in_data;
        if (in_due) {
            const auto more = model_.deliver_bus_to_host();
            want.insert(want.end(), more.begin(), more.end());
            const auto r = board_.read_reply(in_due);
            if (!r.ok() || r.data.size() != in_due)
                return fail(where, "bus-to-host stream of " + std::to_string(in_due) + " bytes came back with " +
                                       std::to_string(r.data.size()));
            in_data = r.data;
            coverage_.stream_in += in_due;
        } else if (const uint32_t out_due = model_.host_to_bus_due()) {
            const Bytes data = pattern(out_due, rng_());
            for (size_t at = 0; at < data.size(); at += 64) {
                const auto more = model_.stream_packet(
                    std::span(data).subspan(at, std::min<size_t>(64, data.size() - at)));
                want.insert(want.end(), more.begin(), more.end());
            }
            if (!board_.stream_out(data).ok()) return fail(where, "stream pipe write failed");
            coverage_.stream_out += out_due;
        } else if (stray_packets && rng_() % 6 == 0) {
            const Bytes stray = pattern(rng_() % 65, rng_());
            const auto more = model_.stream_packet(stray);
            want.insert(want.end(), more.begin(), more.end());
            if (!board_.stream_out(stray).ok()) return fail(where, "stray packet write failed");
            ++coverage_.strays;
        }

        // The card side, event by event.
        const auto& got = board_.events();
        Bytes captured;
        for (size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
            if (i >= want.size()) return fail(where, "unexpected event " + std::to_string(i) + ": " + describe(got[i]));
            if (i >= got.size()) return fail(where, "missing event " + std::to_string(i) + ": " + describe(want[i]));
            const Expected& w = want[i];
            const BusEvent& g = got[i];
            const bool strobe = w.kind == Kind::fwr || w.kind == Kind::frd;
            if (g.kind != w.kind || (w.value && g.value != *w.value) ||
                (strobe && (g.width != w.width || g.shape != w.shape)))
                return fail(where, "event " + std::to_string(i) + ": " + describe(g) + ", model " + describe(w));
            if (w.kind == Kind::frd) {
                captured.push_back(g.value);
                ++(w.value ? coverage_.frd_known : coverage_.frd_any);
            }
        }

        // The reply carries the samples and captures in script order, and a
        // bus-to-host stream the captures after them.
        Bytes want_reply;
        size_t next = 0;
        for (const auto& r : out.reply) want_reply.push_back(r.from_bus ? captured.at(next++) : *r.value);
        if (reply_ != want_reply) return fail(where, "reply [" + hex(reply_) + "], model [" + hex(want_reply) + "]");
        if (in_data != Bytes(captured.begin() + static_cast<long>(next), captured.end()))
            return fail(where, "bus-to-host stream differs from the FRD# captures");

        // State left behind.
        const StreamState state = board_.stream_state();
        if (!(state == model_.stream()))
            return fail(where, "stream state " + to_string(state) + ", model " + to_string(model_.stream()));
        if (board_.ckcon() != model_.ckcon() || board_.fastxfr() != model_.fastxfr() ||
            board_.oec() != model_.oec() || board_.outc() != model_.outc())
            return fail(where, "CKCON/FASTXFR/OEC/OUTC " + hex(Bytes{board_.ckcon(), board_.fastxfr(), board_.oec(),
                                                                    board_.outc()}) +
                                   ", model " +
                                   hex(Bytes{model_.ckcon(), model_.fastxfr(), model_.oec(), model_.outc()}));
        return true;
    }

private:
    static vboard::board::Settings settings(const std::optional<CardIdentity>& card) {
        vboard::board::Settings s;
        s.card = card;
        return s;
    }

    bool fail(const std::string& where, const std::string& what) {
        ADD_FAILURE() << where << ": " << what;
        return false;
    }

    void count(const Bytes& script, const EngineModel::Outcome& out) {
        ++coverage_.scripts;
        coverage_.bytes += static_cast<unsigned>(script.size());
        coverage_.truncated += out.truncated;
        for (int c = 0; c < 16; ++c) coverage_.ops[c] += out.ops[c];
        if (!out.reply.empty()) ++coverage_.replies;
        coverage_.reply_bytes += static_cast<unsigned>(out.reply.size());
        for (const auto& e : out.events) coverage_.fwr += e.kind == Kind::fwr;
    }

    EngineBoard board_;
    EngineModel model_;
    std::mt19937 rng_;
    Coverage coverage_;
    Bytes reply_;
};

// Scripts of 0 to 64 bytes from every op. Operands are random, with a bias
// towards what makes the card answer predictably (port C driven, Read ID,
// reads with the card selected and the latches closed). The last complete
// stream header of a script announces a short stream, which the test then
// moves; earlier headers carry any length, since the last one replaces them.
// A quarter of the scripts end in an op whose operands lie beyond the packet.
class ScriptGenerator {
public:
    explicit ScriptGenerator(uint32_t seed) : rng_(seed) {}

    Bytes next() {
        const size_t target = pick(8) == 0 ? 64 : pick(65);
        std::vector<Bytes> ops;
        size_t size = 0;
        for (;;) {
            Bytes o = op();
            if (size + o.size() > target) break;
            size += o.size();
            ops.push_back(std::move(o));
        }
        for (auto it = ops.rbegin(); it != ops.rend(); ++it) {
            const unsigned code = (*it)[0] >> 4;
            if (code != 5 && code != 6) continue;
            (*it)[2] = static_cast<uint8_t>(pick(3) == 0 ? 0 : pick(5));  // at most 4 whole packets
            (*it)[3] = 0;
            if (pick(6) == 0) (*it)[1] &= 0xC0;                          // only the ignored bits
            break;
        }
        Bytes script;
        for (const auto& o : ops) script.insert(script.end(), o.begin(), o.end());
        if (pick(4) == 0 && script.size() < 64) {
            const uint8_t codes[4] = {0x30, 0xF0, 0x50, 0x60};
            const uint8_t code = codes[pick(4)];
            script.push_back(static_cast<uint8_t>(code | pick(16)));
            if (code == 0x50 || code == 0x60)
                for (unsigned n = pick(3); n > 0 && script.size() < 64; --n) script.push_back(byte());
        }
        return script;
    }

private:
    unsigned pick(unsigned n) { return rng_() % n; }
    uint8_t byte() { return static_cast<uint8_t>(rng_()); }
    uint8_t nibble() { return static_cast<uint8_t>(pick(16)); }

    Bytes op() {
        const unsigned r = pick(100);
        if (r < 8) return {static_cast<uint8_t>(pick(3) == 0 ? nibble() : pick(2) ? 0x07 : 0x0F)};
        if (r < 16) {
            const uint8_t usual[5] = {0x0, 0x4, 0x1, 0x2, 0x8};
            return {static_cast<uint8_t>(0x10 | (pick(2) ? usual[pick(5)] : nibble()))};
        }
        if (r < 26) return {static_cast<uint8_t>(0x20 | nibble())};
        if (r < 44) {
            switch (pick(4)) {
            case 0: return {0x31, 0x90};  // Read ID
            case 1: return {0x32, 0x00};  // its address
            case 2: return {0x31, byte()};  // some other command
            default: return {static_cast<uint8_t>(0x30 | nibble()), byte()};
            }
        }
        if (r < 66) return {static_cast<uint8_t>(0x40 | (pick(3) ? (pick(2) ? 0x0 : 0x8) : nibble()))};
        if (r < 72) return {static_cast<uint8_t>((pick(2) ? 0x50 : 0x60) | nibble()), byte(), byte(), byte()};
        if (r < 94) return {static_cast<uint8_t>(0x70 + pick(0x80))};
        return {static_cast<uint8_t>(0xF0 | nibble()), byte()};
    }

    std::mt19937 rng_;
};

struct Case {
    const char* name;
    std::optional<CardIdentity> card;
    uint32_t seed;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class FirmwareEngineGenerated : public ::testing::TestWithParam<Case> {};

TEST_P(FirmwareEngineGenerated, ScriptsMatchTheModel) {
    Differential d(GetParam().card, GetParam().seed);
    ASSERT_TRUE(d.board().ok()) << d.board().error();
    ScriptGenerator gen(GetParam().seed);
    for (int i = 0; i < 600; ++i)
        if (!d.step(gen.next(), true)) break;
    EXPECT_EQ(d.board().findings(), "");
    std::printf("[ coverage ] %s: %s\n", GetParam().name, d.coverage().text().c_str());
}

INSTANTIATE_TEST_SUITE_P(Cards, FirmwareEngineGenerated,
                         ::testing::Values(Case{"DefaultCard", CardIdentity{}, 11},
                                           Case{"CardWithExt", CardIdentity{0x98, 0x73, 0xC0, 0x21}, 12},
                                           Case{"NoCard", std::nullopt, 13}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the edge cases, each checked against the model as well -------------------------

class FirmwareEngine : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(d.board().findings(), ""); }

    // One script through the differential check; its reply as the board sent it.
    Bytes run(const Bytes& script) {
        EXPECT_TRUE(d.step(script));
        return d.reply();
    }

    Differential d{CardIdentity{}};
};

TEST_F(FirmwareEngine, CardToolScriptsReplyWithOneThreeAndOneBytes) {
    Differential ext(CardIdentity{0x98, 0x73, 0xC0, 0x21});
    ASSERT_TRUE(ext.board().ok()) << ext.board().error();
    ASSERT_TRUE(ext.step({0x00, 0x14, 0x07, 0xF1, 0x12, 0x24}));
    EXPECT_EQ(ext.reply(), Bytes{0xFC});  // PC3 high: card present; PC2..PC0 driven 1, 0, 0
    ASSERT_TRUE(ext.step({0x31, 0x90, 0x32, 0x00, 0x40, 0x40, 0x40, 0x14}));
    EXPECT_EQ(ext.reply(), (Bytes{0x98, 0x73, 0xC0}));
    ASSERT_TRUE(ext.step({0x31, 0x91, 0x32, 0x00, 0x40, 0x14}));
    EXPECT_EQ(ext.reply(), Bytes{0x21});
    EXPECT_EQ(ext.board().strobed(Kind::fwr), (Bytes{0x91, 0x00}));
    EXPECT_EQ(ext.board().findings(), "");
}

TEST_F(FirmwareEngine, SixtyFourReadsGiveSixtyFourBytesOneStrobeEach) {
    run({0x07, 0x31, 0x90, 0x32, 0x00});
    const Bytes reply = run(Bytes(64, 0x40));
    ASSERT_EQ(reply.size(), 64u);
    for (size_t i = 0; i < 64; ++i) EXPECT_EQ(reply[i], (Bytes{0xEC, 0x75, 0xA5}[i % 3])) << i;
    EXPECT_EQ(d.board().strobed(Kind::frd).size(), 64u);
}

TEST_F(FirmwareEngine, PinsReadPinsRepliesInScriptOrder) {
    run({0x07, 0x31, 0x90, 0x32, 0x00});
    EXPECT_EQ(run({0x24, 0x40, 0x24}), (Bytes{0xFC, 0xEC, 0xFC}));
}

TEST_F(FirmwareEngine, FillerBytesDoNothing) {
    for (int f = 0x70; f <= 0xEF; ++f) {
        ASSERT_EQ(run({static_cast<uint8_t>(f), 0x24}).size(), 1u) << f;
        ASSERT_EQ(d.board().events().size(), 1u) << f;  // the 24's OUTC write alone
    }
    Bytes all;
    for (int f = 0x70; f <= 0xEF; ++f) all.push_back(static_cast<uint8_t>(f));
    EXPECT_EQ(run(Bytes(all.begin(), all.begin() + 63)), Bytes{});
    Bytes tail(all.begin() + 63, all.end());
    tail.push_back(0x24);
    EXPECT_EQ(run(tail).size(), 1u);
}

TEST_F(FirmwareEngine, OeDrivesPc3ToPc0OnlyAndPinsShowDrivenLevels) {
    run({0x0F});
    EXPECT_EQ(d.board().oec(), 0x0F);
    // PC3 now reads its latch instead of the card-present line; PC4..PC7
    // stay inputs whatever the script writes.
    EXPECT_EQ(run({0x10, 0x20}), Bytes{0xF0});
    EXPECT_EQ(run({0x1F, 0x2A}), Bytes{0xFA});
    run({0x00});
    EXPECT_EQ(run({0x2F}), Bytes{0xFC});  // nothing driven: pulls and the card
}

TEST_F(FirmwareEngine, TimingOpSetsCkconWholeAndFastxfrWithFblk) {
    struct {
        Bytes script;
        uint8_t ckcon_before, ckcon, fastxfr;
    } cases[] = {
        {{0xF0, 0x00}, 0x39, 0x00, 0x40},
        {{0xF5, 0x12}, 0x38, 0x01, 0x52},
        {{0xFF, 0x12}, 0x00, 0x01, 0x52},
        {{0xF1, 0x80}, 0x00, 0x01, 0xC0},
        {{0xF0, 0xBF}, 0x01, 0x00, 0xFF},
    };
    run({0x07});
    for (const auto& c : cases) {
        d.board().board.cpu().set_sfr(EngineBoard::CKCON, c.ckcon_before);
        Bytes script = c.script;
        script.insert(script.end(), {0x34, 0x5A, 0x44});  // one strobe each way, card deselected
        run(script);
        EXPECT_EQ(d.board().ckcon(), c.ckcon) << hex(c.script);
        EXPECT_EQ(d.board().fastxfr(), c.fastxfr) << hex(c.script);
        const auto& ev = d.board().events();
        ASSERT_EQ(ev.size(), 4u);
        EXPECT_EQ(ev[1].width, c.ckcon ? 4 : 2);
        EXPECT_EQ(ev[1].shape, c.fastxfr & 0x07);
        EXPECT_EQ(ev[3].shape, (c.fastxfr >> 3) & 0x07);
    }
}

TEST_F(FirmwareEngine, ScriptWithoutCaptureLeavesTheReplyPipeSilent) {
    ASSERT_TRUE(d.board().script(Bytes{0x0F, 0x1F, 0x35, 0x99, 0x53, 0x00, 0x00, 0x00, 0xF0, 0x00}).ok());
    const auto r = d.board().read_reply(64, 5);
    EXPECT_EQ(r.status, Status::timeout);
    EXPECT_TRUE(r.data.empty());
    EXPECT_GT(r.naks, 10u);
}

TEST_F(FirmwareEngine, EmptyScriptDoesNothing) {
    run({0x07, 0x14});
    EXPECT_EQ(run({}), Bytes{});
    EXPECT_TRUE(d.board().events().empty());
}

// The last op of a packet whose operands would lie beyond it is not executed,
// even when bytes of an earlier script still lie behind it in the buffer.
TEST_F(FirmwareEngine, OpCutOffByThePacketEndIsNotExecuted) {
    run({0x24, 0xF3, 0x12, 0x65, 0x01, 0x02, 0x03, 0x36, 0x90});  // leaves operands behind
    run({0x07, 0xF0, 0x00, 0x50, 0x00, 0x00, 0x00});
    const StreamState idle = d.board().stream_state();
    const Bytes cut[] = {{0x24, 0xF3}, {0x24, 0x65, 0x01, 0x02}, {0x24, 0x65, 0x01}, {0x24, 0x65},
                         {0x24, 0x36}, {0x36}};
    for (const Bytes& s : cut) {
        const Bytes reply = run(s);
        EXPECT_EQ(reply.size(), s[0] == 0x24 ? 1u : 0u) << hex(s);
        EXPECT_EQ(d.board().events().size(), s[0] == 0x24 ? 1u : 0u) << hex(s);
        EXPECT_EQ(d.board().ckcon(), 0x00);
        EXPECT_EQ(d.board().fastxfr(), 0x40);
        EXPECT_EQ(d.board().stream_state(), idle);
    }
}

TEST_F(FirmwareEngine, StreamHeaderMidScriptTakesThreeOperands) {
    run({0x07, 0x31, 0x90, 0x32, 0x00});
    // 0x47, 0x01 and 0x00 inside the header are its operands (71 bytes,
    // host to bus), not a read and two port C direction changes.
    const Bytes reply = run({0x40, 0x5C, 0x47, 0x01, 0x00, 0x40, 0x20});
    EXPECT_EQ(reply, (Bytes{0xEC, 0x75, 0xF8}));
    EXPECT_EQ(d.board().oec(), 0x07);
    EXPECT_EQ(d.board().strobed(Kind::fwr).size(), 71u);  // the announced bytes, sent by the step
    run({0x60, 0xC5, 0x01, 0x00, 0x10});  // 69 bytes in: 64 + 5, read by the step
    EXPECT_EQ(d.board().strobed(Kind::frd).size(), 69u);
}

// Two replies unread: a third replying script waits in its buffer (and the
// command pipe with it) until the host takes a reply; nothing is lost or
// overwritten, and every reply comes in script order.
TEST_F(FirmwareEngine, ReplyingScriptWaitsWhileBothReplyBuffersAreFull) {
    EngineBoard& b = d.board();
    run({0x07, 0x31, 0x90, 0x32, 0x00});
    b.record();
    const Bytes s1 = {0x40}, s2 = {0x40, 0x40}, s3 = {0x40, 0x24, 0x40}, s4 = {0x10, 0x40, 0x40, 0x40, 0x40};
    ASSERT_TRUE(b.script(s1).ok());
    ASSERT_TRUE(b.script(s2).ok());
    ASSERT_TRUE(b.script(s3).ok());  // taken by the controller, parked by the firmware
    const size_t before = b.events().size();
    EXPECT_EQ(before, 6u) << "s3 must not run yet";
    const auto s4_id = b.host.submit_out(vboard::host::TransferType::bulk, EngineBoard::command_ep, s4);
    b.host.wait(10);
    EXPECT_FALSE(b.host.finished(s4_id)) << "the command pipe waits while a script is parked";
    EXPECT_EQ(b.events().size(), before);

    auto read = [&] { return b.read_reply(64, 100).data; };
    EXPECT_EQ(read(), (Bytes{0xEC}));  // frees a buffer: s3 runs, then s4 is taken and parked
    EXPECT_EQ(read(), (Bytes{0x75, 0xA5}));
    EXPECT_EQ(read(), (Bytes{0xEC, 0xFC, 0x75}));
    EXPECT_TRUE(b.host.complete(s4_id).ok());
    EXPECT_EQ(read(), (Bytes{0xA5, 0xEC, 0x75, 0xA5}));
    EXPECT_EQ(b.read_reply(64, 5).status, Status::timeout);
    EXPECT_EQ(b.strobed(Kind::frd), (Bytes{0xEC, 0x75, 0xA5, 0xEC, 0x75, 0xA5, 0xEC, 0x75, 0xA5}));
}

}  // namespace
