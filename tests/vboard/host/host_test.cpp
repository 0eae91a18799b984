// The host model against a scriptable device: enumeration and its timing,
// control transfers and their deadlines, bulk and interrupt transfers, the
// frame budget, suspend and resume, detach.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "fake_device.h"
#include "host/host.h"

namespace {

using namespace vboard::host;
using fake::Bytes;
using fake::Event;
using fake::FakeDevice;
using fake::ms;
using vboard::usb::DataPid;
using vboard::usb::Handshake;

constexpr vboard::usb::clock_t slot = ms / 20;  // with the default 19 slots per frame

Bytes fill(size_t n, uint8_t first = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

// A device on the bus from time 0 and a host that has enumerated it.
struct Enumerated {
    FakeDevice dev;
    Host host;
    explicit Enumerated(TimingProfile profile = {}) : host((dev.set_attached(true), dev), profile) {
        EXPECT_TRUE(host.wait_enumerated(1000)) << host.enumeration_error();
        dev.log.clear();
    }
};

std::string text(const SetupPacket& s) {
    char b[40];
    std::snprintf(b, sizeof b, "%02x %02x %04x %04x %04x", s.request_type, s.request, s.value,
                  s.index, s.length);
    return b;
}

// ---- enumeration -----------------------------------------------------------

TEST(Enumeration, RunsTheOperatingSystemSequenceWithItsTiming) {
    FakeDevice dev;
    dev.set_attached(true);
    Host host(dev);
    std::vector<HostEvent> events;
    host.set_observer([&](const HostEvent& e) { events.push_back(e); });
    ASSERT_TRUE(host.wait_enumerated(1000)) << host.enumeration_error();

    std::vector<std::string> requests;
    for (const SetupPacket& s : dev.setups()) requests.push_back(text(s));
    EXPECT_EQ(requests, (std::vector<std::string>{
                            "80 06 0100 0000 0040", "00 05 0001 0000 0000", "80 06 0100 0000 0012",
                            "80 06 0200 0000 0009", "80 06 0200 0000 0074", "00 09 0001 0000 0000"}));
    std::vector<int> addresses;
    for (const Event* e : dev.events(Event::Kind::setup)) addresses.push_back(e->address);
    EXPECT_EQ(addresses, (std::vector<int>{0, 0, 1, 1, 1, 1}));

    // Debounce 100 ms, reset 50 ms, recovery 50 ms: the first SETUP goes in
    // the first slot of frame 200.
    ASSERT_EQ(dev.events(Event::Kind::reset).size(), 1u);
    EXPECT_EQ(dev.events(Event::Kind::reset)[0]->time, 100 * ms);
    const auto sofs = dev.events(Event::Kind::sof);
    ASSERT_FALSE(sofs.empty());
    EXPECT_EQ(sofs.front()->time, 150 * ms);
    EXPECT_EQ(dev.setup_times().front(), 200 * ms + slot);
    for (size_t i = 1; i < sofs.size(); ++i) {
        EXPECT_EQ(sofs[i]->time - sofs[i - 1]->time, ms);
        EXPECT_EQ(sofs[i]->frame, (sofs[i - 1]->frame + 1) & 0x7FF);
    }

    // The new address is used no sooner than 2 ms after SET_ADDRESS's status.
    vboard::usb::clock_t status_time = 0;
    bool after_set_address = false;
    for (const Event& e : dev.log) {
        if (e.kind == Event::Kind::setup && e.data[1] == 0x05) after_set_address = true;
        if (after_set_address && e.kind == Event::Kind::in && e.answer == Handshake::ack) {
            status_time = e.time;
            break;
        }
    }
    EXPECT_GE(dev.setup_times()[2], status_time + 2 * ms);

    EXPECT_EQ(dev.address(), 1);
    EXPECT_EQ(dev.configuration_value(), 1);
    ASSERT_NE(host.device(), nullptr);
    EXPECT_EQ(host.device()->id, 1u);
    EXPECT_EQ(host.device()->device.vendor, 0x0547);
    EXPECT_EQ(host.device()->configuration, fake::firmware_configuration());
    ASSERT_EQ(host.device()->config.interfaces.size(), 1u);
    EXPECT_EQ(host.device()->config.interfaces[0].endpoints.size(), 14u);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, HostEvent::Kind::enumerated);
}

TEST(Enumeration, FollowsTheTimingProfile) {
    FakeDevice dev;
    dev.set_attached(true);
    TimingProfile profile;
    profile.attach_debounce_ms = 10;
    profile.port_reset_ms = 20;
    profile.reset_recovery_ms = 10;
    Host host(dev, profile);
    ASSERT_TRUE(host.wait_enumerated(1000));
    EXPECT_EQ(dev.events(Event::Kind::reset)[0]->time, 10 * ms);
    EXPECT_EQ(dev.setup_times().front(), 40 * ms + slot);
}

TEST(Enumeration, DebounceStartsAgainWhenTheAttachDoesNotHold) {
    FakeDevice dev;
    dev.schedule_attach(0, true);
    dev.schedule_attach(50 * ms, false);
    dev.schedule_attach(60 * ms + 10, true);
    Host host(dev);
    ASSERT_TRUE(host.wait_enumerated(1000));
    ASSERT_EQ(dev.events(Event::Kind::reset).size(), 1u);
    EXPECT_EQ(dev.events(Event::Kind::reset)[0]->time, 161 * ms);
}

TEST(Enumeration, RetriesWithANewResetAndGivesUpAfterTheLastAttempt) {
    FakeDevice dev;
    dev.set_attached(true);
    int refusals = 1;
    dev.stall_request = [&](const SetupPacket& s) {
        return s.request == request::get_descriptor && (s.value >> 8) == 2 && refusals-- > 0;
    };
    Host host(dev);
    ASSERT_TRUE(host.wait_enumerated(2000));
    EXPECT_EQ(dev.events(Event::Kind::reset).size(), 2u);
    EXPECT_EQ(host.device()->id, 1u);

    FakeDevice never;
    never.set_attached(true);
    never.stall_request = [](const SetupPacket& s) { return s.request == request::get_descriptor; };
    Host failing(never);
    EXPECT_FALSE(failing.wait_enumerated(2000));
    EXPECT_EQ(failing.port_state(), PortState::failed);
    EXPECT_EQ(never.events(Event::Kind::reset).size(), 3u);
    EXPECT_NE(failing.enumeration_error().find("device descriptor"), std::string::npos);
    // The port is disabled: no more frames.
    const uint64_t sofs = failing.frames_sent();
    failing.wait(100);
    EXPECT_EQ(failing.frames_sent(), sofs);
}

TEST(Enumeration, PortResetEnumeratesAgainAndKeepsTheDevice) {
    Enumerated b;
    b.host.reset_port();
    EXPECT_FALSE(b.host.enumerated());
    ASSERT_TRUE(b.host.wait_enumerated(1000));
    EXPECT_EQ(b.host.device_id(), 1u);
    EXPECT_EQ(b.dev.events(Event::Kind::reset).size(), 1u);
}

// ---- control transfers ----------------------------------------------------

TEST(Control, ReadsAStringAndReportsAStall) {
    Enumerated b;
    b.dev.strings[1][0x0409] = fake::string_descriptor(u"NEBU");
    TransferResult r = b.host.control(get_descriptor_request(3, 1, 0x0409, 130));
    ASSERT_EQ(r.status, Status::ok);
    EXPECT_EQ(r.data, fake::string_descriptor(u"NEBU"));

    r = b.host.control(get_descriptor_request(3, 9, 0x0409, 130));
    EXPECT_EQ(r.status, Status::stall);
    // A stall on endpoint 0 lasts one request.
    EXPECT_TRUE(b.host.control(get_descriptor_request(3, 1, 0x0409, 130)).ok());
}

// With wLength 0 there is no data stage, whatever the direction bit says:
// the status stage is an IN, answered with an empty DATA1 packet.
TEST(Control, AReadRequestWithWLength0HasAnInStatusStage) {
    Enumerated b;
    b.dev.strings[1][0x0409] = fake::string_descriptor(u"NEBU");
    const TransferResult r = b.host.control(get_descriptor_request(3, 1, 0x0409, 0));
    ASSERT_EQ(r.status, Status::ok);
    EXPECT_TRUE(r.data.empty());
    std::vector<fake::Event::Kind> kinds;
    for (const auto& e : b.dev.log)
        if (e.kind != fake::Event::Kind::sof) kinds.push_back(e.kind);
    EXPECT_EQ(kinds, (std::vector<fake::Event::Kind>{fake::Event::Kind::setup, fake::Event::Kind::in}));
    ASSERT_FALSE(b.dev.log.empty());
    EXPECT_EQ(b.dev.log.back().pid, DataPid::data1);
    EXPECT_TRUE(b.dev.log.back().data.empty());
}

TEST(Control, AStandardRequestWithoutDataMustCompleteWithin50ms) {
    Enumerated b;
    b.dev.status_delay = 40 * ms;
    EXPECT_TRUE(b.host.control(set_configuration_request(1)).ok());

    b.dev.status_delay = 60 * ms;
    const TransferResult r = b.host.control(set_configuration_request(1));
    EXPECT_EQ(r.status, Status::timeout);
    const vboard::usb::clock_t setup = b.dev.setup_times().back();
    EXPECT_GE(r.finished, setup + 50 * ms);
    EXPECT_LE(r.finished, setup + 51 * ms);
}

TEST(Control, EachInDataPacketWithin500msThenTheStatusWithin50ms) {
    Enumerated b;
    b.dev.data_delay = 450 * ms;
    EXPECT_TRUE(b.host.control(get_descriptor_request(1, 0, 0, 18)).ok());

    b.dev.data_delay = 600 * ms;
    TransferResult r = b.host.control(get_descriptor_request(1, 0, 0, 18));
    EXPECT_EQ(r.status, Status::timeout);
    EXPECT_LE(r.finished - b.dev.setup_times().back(), 501 * ms);

    b.dev.data_delay = 0;
    b.dev.status_delay = 60 * ms;
    r = b.host.control(get_descriptor_request(1, 0, 0, 18));
    EXPECT_EQ(r.status, Status::timeout);
    EXPECT_EQ(r.data.size(), 18u);  // the data came; the status did not
}

TEST(Control, OtherRequestsAreOnlyGivenUpAfterFiveSeconds) {
    Enumerated b;
    const Bytes data = {1};
    const SetupPacket cpucs{0x40, 0xA0, 0x7F92, 0, 1};
    b.dev.status_delay = 1000 * ms;
    EXPECT_TRUE(b.host.control(cpucs, data).ok());

    b.dev.status_delay = 6000 * ms;
    const TransferResult r = b.host.control(cpucs, data);
    EXPECT_EQ(r.status, Status::timeout);
    EXPECT_EQ(r.finished - r.submitted, 5000 * ms);
}

TEST(Control, OutDataStageGoesInPacketsWithAlternatingPids) {
    Enumerated b;
    const Bytes image = fill(200);
    ASSERT_TRUE(b.host.control({0x40, 0xA0, 0x0100, 0, 200}, image).ok());
    ASSERT_EQ(b.dev.loader_writes.size(), 1u);
    EXPECT_EQ(b.dev.loader_writes[0].address, 0x0100);
    EXPECT_EQ(b.dev.loader_writes[0].data, image);
    std::vector<std::pair<size_t, DataPid>> packets;
    for (const Event* e : b.dev.events(Event::Kind::out))
        if (!e->data.empty()) packets.push_back({e->data.size(), e->pid});
    EXPECT_EQ(packets, (std::vector<std::pair<size_t, DataPid>>{{64, DataPid::data1},
                                                                 {64, DataPid::data0},
                                                                 {64, DataPid::data1},
                                                                 {8, DataPid::data0}}));
    // A data length that disagrees with wLength is refused before the bus.
    EXPECT_EQ(b.host.control({0x40, 0xA0, 0, 0, 3}, image).status, Status::invalid);
}

// ---- bulk and interrupt transfers ---------------------------------------------

TEST(Bulk, RetriesNaksUntilDataComesAndTimesOutAfterFiveSeconds) {
    Enumerated b;
    fake::Endpoint& ep = b.dev.endpoints[0x82];
    ep.nak_until = b.host.now() + 30 * ms;
    ep.to_send.push_back(fill(10));
    TransferResult r = b.host.bulk_in(0x82, 64);
    ASSERT_EQ(r.status, Status::ok);
    EXPECT_EQ(r.data, fill(10));
    EXPECT_GT(r.naks, 30u);
    EXPECT_GE(r.finished - r.submitted, 30 * ms);

    ep.nak = true;
    r = b.host.bulk_in(0x82, 64);
    EXPECT_EQ(r.status, Status::timeout);
    EXPECT_EQ(r.finished - r.submitted, 5000 * ms);
    r = b.host.bulk_out(0x01, fill(4));
    EXPECT_EQ(r.status, Status::ok);  // only the IN endpoint NAKs

    TimingProfile quick;
    quick.transfer_timeout_ms = 200;
    b.host.set_profile(quick);
    b.dev.endpoints[0x01].nak = true;
    r = b.host.bulk_out(0x01, fill(4));
    EXPECT_EQ(r.status, Status::timeout);
    EXPECT_EQ(r.finished - r.submitted, 200 * ms);
}

TEST(Bulk, AShortPacketOrTheFullLengthEndsARead) {
    Enumerated b;
    fake::Endpoint& ep = b.dev.endpoints[0x82];
    for (size_t n : {64, 64, 10, 64}) ep.to_send.push_back(fill(n));
    TransferResult r = b.host.bulk_in(0x82, 512);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.data.size(), 138u);
    EXPECT_EQ(ep.to_send.size(), 1u);

    ep.to_send.push_back(fill(64));
    ep.to_send.push_back(fill(64));
    r = b.host.bulk_in(0x82, 128);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.data.size(), 128u);
    EXPECT_EQ(ep.to_send.size(), 1u);

    // More than was asked for: the transfer fails with what fitted.
    r = b.host.bulk_in(0x82, 10);
    EXPECT_EQ(r.status, Status::overrun);
    EXPECT_EQ(r.data, fill(10));

    ep.to_send.push_back({});
    r = b.host.bulk_in(0x82, 64);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.data.empty());
}

std::map<uint64_t, int> transactions_per_frame(const FakeDevice& dev) {
    std::map<uint64_t, int> per_frame;
    for (const Event& e : dev.log)
        if (e.kind == Event::Kind::in || e.kind == Event::Kind::out || e.kind == Event::Kind::setup)
            ++per_frame[e.time / ms];
    return per_frame;
}

// Every frame carries at most 19 transactions, and every frame but the
// first and the last (the transfers start and end inside them) exactly 19.
void expect_full_frames(const std::map<uint64_t, int>& per_frame, int total) {
    int sum = 0;
    for (auto [frame, count] : per_frame) {
        sum += count;
        EXPECT_LE(count, 19) << "frame " << frame;
        if (frame != per_frame.begin()->first && frame != per_frame.rbegin()->first) {
            EXPECT_EQ(count, 19) << "frame " << frame;
        }
    }
    EXPECT_EQ(sum, total);
}

TEST(Bulk, NineteenPacketsPerFrameOnTheWholeBus) {
    Enumerated b;
    // One reader alone: 19 full packets in every frame.
    for (int i = 0; i < 190; ++i) b.dev.endpoints[0x82].to_send.push_back(fill(64, uint8_t(i)));
    TransferResult r = b.host.bulk_in(0x82, 190 * 64);
    ASSERT_TRUE(r.ok());
    auto per_frame = transactions_per_frame(b.dev);
    EXPECT_EQ(per_frame.size(), 11u);  // 190 packets from inside one frame
    expect_full_frames(per_frame, 190);

    // A reader and a writer share the frames, nearly half each.
    b.dev.log.clear();
    for (int i = 0; i < 95; ++i) b.dev.endpoints[0x84].to_send.push_back(fill(64));
    const TransferId in = b.host.submit_in(TransferType::bulk, 0x84, 95 * 64);
    const TransferId out = b.host.submit_out(TransferType::bulk, 0x02, fill(95 * 64));
    ASSERT_TRUE(b.host.complete(in).ok());
    ASSERT_TRUE(b.host.complete(out).ok());
    per_frame = transactions_per_frame(b.dev);
    expect_full_frames(per_frame, 190);
    std::map<uint64_t, int> ins;
    for (const Event* e : b.dev.events(Event::Kind::in)) ++ins[e->time / ms];
    for (auto [frame, count] : ins)
        if (frame != ins.begin()->first && frame != ins.rbegin()->first) {
            EXPECT_GE(count, 9) << "frame " << frame;
        }
    EXPECT_EQ(b.dev.endpoints[0x02].received.size(), 95u);
}

TEST(Bulk, DataTogglesPerEndpointAndTheirResets) {
    Enumerated b;
    auto last_out_pid = [&] { return b.dev.events(Event::Kind::out).back()->pid; };
    ASSERT_TRUE(b.host.bulk_out(0x01, fill(3)).ok());
    EXPECT_EQ(last_out_pid(), DataPid::data0);
    ASSERT_TRUE(b.host.bulk_out(0x01, fill(3)).ok());
    EXPECT_EQ(last_out_pid(), DataPid::data1);
    ASSERT_TRUE(b.host.bulk_out(0x03, fill(3)).ok());
    EXPECT_EQ(last_out_pid(), DataPid::data0);  // its own toggle
    EXPECT_EQ(b.host.toggle(0x01), DataPid::data0);
    ASSERT_TRUE(b.host.bulk_out(0x01, fill(3)).ok());
    EXPECT_EQ(b.host.toggle(0x01), DataPid::data1);

    ASSERT_TRUE(b.host.control(set_configuration_request(1)).ok());
    EXPECT_EQ(b.host.toggle(0x01), DataPid::data0);
    ASSERT_TRUE(b.host.bulk_out(0x01, fill(3)).ok());
    ASSERT_TRUE(b.host.clear_halt(0x01).ok());
    ASSERT_TRUE(b.host.bulk_out(0x01, fill(3)).ok());
    EXPECT_EQ(last_out_pid(), DataPid::data0);
    EXPECT_EQ(b.dev.endpoints[0x01].received.size(), 5u);  // nothing dropped as a repeat

    // A packet the device sends again (it missed the ACK) is taken once.
    fake::Endpoint& ep = b.dev.endpoints[0x82];
    ep.to_send = {fill(64, 1), fill(5, 2)};
    ep.repeat_next = true;
    const TransferResult r = b.host.bulk_in(0x82, 256);
    ASSERT_TRUE(r.ok());
    Bytes expected = fill(64, 1);
    const Bytes tail = fill(5, 2);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(r.data, expected);
}

TEST(Bulk, AStallHaltsTheEndpointUntilItsHaltIsCleared) {
    Enumerated b;
    fake::Endpoint& ep = b.dev.endpoints[0x82];
    ep.stalled = true;
    ep.to_send.push_back(fill(4));
    EXPECT_EQ(b.host.bulk_in(0x82, 64).status, Status::stall);
    EXPECT_TRUE(b.host.halted(0x82));
    const size_t tokens = b.dev.events(Event::Kind::in).size();
    EXPECT_EQ(b.host.bulk_in(0x82, 64).status, Status::stall);
    EXPECT_EQ(b.dev.events(Event::Kind::in).size(), tokens);  // refused without a token

    ASSERT_TRUE(b.host.clear_halt(0x82).ok());
    EXPECT_EQ(text(b.dev.setups().back()), "02 01 0000 0082 0000");
    EXPECT_FALSE(b.host.halted(0x82));
    EXPECT_TRUE(b.host.bulk_in(0x82, 64).ok());
}

TEST(Bulk, AnEndpointThatNeverAnswersFailsAfterThreeTries) {
    Enumerated b;
    b.dev.endpoints.erase(0x85);
    const TransferResult r = b.host.bulk_in(0x85, 64);
    EXPECT_EQ(r.status, Status::error);
    EXPECT_EQ(b.dev.events(Event::Kind::in).size(), 3u);
}

TEST(Interrupt, PolledOncePerInterval) {
    Enumerated b;
    b.dev.endpoints[0x81].nak = true;
    TimingProfile quick;
    quick.transfer_timeout_ms = 40;
    b.host.set_profile(quick);
    EXPECT_EQ(b.host.interrupt_in(0x81, 64, 1).status, Status::timeout);
    auto polls = b.dev.events(Event::Kind::in);
    EXPECT_GE(polls.size(), 39u);
    EXPECT_LE(polls.size(), 40u);
    for (size_t i = 1; i < polls.size(); ++i) EXPECT_EQ(polls[i]->time - polls[i - 1]->time, ms);

    b.dev.log.clear();
    EXPECT_EQ(b.host.interrupt_in(0x81, 64, 8).status, Status::timeout);
    polls = b.dev.events(Event::Kind::in);
    EXPECT_EQ(polls.size(), 5u);
    for (size_t i = 1; i < polls.size(); ++i) EXPECT_EQ(polls[i]->time - polls[i - 1]->time, 8 * ms);

    b.dev.endpoints[0x81].nak = false;
    b.dev.endpoints[0x81].to_send.push_back(fill(2));
    EXPECT_EQ(b.host.interrupt_in(0x81, 64, 1).data, fill(2));
}

// ---- suspend, resume, detach ----------------------------------------------------

TEST(Bus, SuspendStopsFramesAndResumeSignalsForTwentyMilliseconds) {
    Enumerated b;
    b.host.suspend();
    EXPECT_TRUE(b.host.suspended());
    b.host.wait(50);
    EXPECT_TRUE(b.dev.events(Event::Kind::sof).empty());

    // Data waiting on an endpoint does not move while the bus sleeps.
    b.dev.endpoints[0x82].to_send.push_back(fill(8));
    const TransferId id = b.host.submit_in(TransferType::bulk, 0x82, 64);
    b.host.wait(10);
    EXPECT_FALSE(b.host.finished(id));

    const vboard::usb::clock_t asked = b.host.now();
    b.host.resume();
    EXPECT_FALSE(b.host.suspended());
    ASSERT_EQ(b.dev.events(Event::Kind::resume).size(), 1u);
    const vboard::usb::clock_t resumed = b.dev.events(Event::Kind::resume)[0]->time;
    EXPECT_GE(resumed, asked + 20 * ms);
    EXPECT_LE(resumed, asked + 21 * ms);
    EXPECT_GE(b.host.now(), resumed + 10 * ms);  // and its recovery
    EXPECT_EQ(b.dev.events(Event::Kind::sof).front()->time, resumed);
    EXPECT_EQ(b.host.complete(id).data, fill(8));
}

TEST(Bus, RemoteWakeupIsNoticedAndTheBusResumed) {
    Enumerated b;
    std::vector<HostEvent::Kind> kinds;
    b.host.set_observer([&](const HostEvent& e) { kinds.push_back(e.kind); });
    b.host.suspend();
    const vboard::usb::clock_t wake = b.host.now() + 10 * ms + 300;
    b.dev.signal_resume(wake, 10 * ms);
    b.host.wait(100);
    EXPECT_FALSE(b.host.suspended());
    ASSERT_EQ(b.dev.events(Event::Kind::resume).size(), 1u);
    const vboard::usb::clock_t resumed = b.dev.events(Event::Kind::resume)[0]->time;
    EXPECT_GE(resumed, wake + 20 * ms);
    EXPECT_LE(resumed, wake + 21 * ms);
    EXPECT_EQ(kinds, (std::vector<HostEvent::Kind>{HostEvent::Kind::suspended,
                                                    HostEvent::Kind::remote_wakeup,
                                                    HostEvent::Kind::resuming,
                                                    HostEvent::Kind::resumed}));
}

TEST(Bus, DetachEndsTransfersAndAReattachIsANewDevice) {
    Enumerated b;
    b.dev.endpoints[0x82].nak = true;
    const vboard::usb::clock_t gone = b.host.now() + 100 * ms;
    b.dev.schedule_attach(gone, false);
    const TransferResult r = b.host.bulk_in(0x82, 64);
    EXPECT_EQ(r.status, Status::no_device);
    EXPECT_GE(r.finished, gone);
    EXPECT_LE(r.finished, gone + ms);
    EXPECT_FALSE(b.host.enumerated());
    EXPECT_EQ(b.host.device_id(), 0u);
    EXPECT_EQ(b.host.bulk_in(0x82, 64).status, Status::no_device);

    b.dev.schedule_attach(b.host.now() + 1500 * ms, true);
    EXPECT_FALSE(b.host.wait_enumerated(1000));
    ASSERT_TRUE(b.host.wait_enumerated(1000));
    EXPECT_EQ(b.host.device_id(), 2u);
}

TEST(Time, WaitAdvancesTheDeviceExactlyAndNeverBackwards) {
    FakeDevice dev;
    Host host(dev);
    host.wait(3);
    EXPECT_EQ(dev.now(), 3 * ms);
    host.wait_clocks(7);
    EXPECT_EQ(dev.now(), 3 * ms + 7);
    host.wait(1);
    EXPECT_EQ(dev.now(), 4 * ms + 7);
    EXPECT_DOUBLE_EQ(host.elapsed_ms(), (4.0 * ms + 7) / ms);
    // Nothing attached: no frames, no reset.
    EXPECT_TRUE(dev.events(Event::Kind::sof).empty());
    EXPECT_EQ(host.port_state(), PortState::disconnected);
}

}  // namespace
