// Endpoint 0: the bare default device, SET_ADDRESS, the loader, the
// firmware's transfers (SETUPDAT, HSNAK, EP0STALL, IN0BC) and the automatic
// descriptor transfer behind SUDPTR.
#include "rig.h"

namespace vboard::test {
namespace {

using usb::DataPid;
using usb::Handshake;
using R = Control::Result;

std::vector<std::uint8_t> text_descriptor(const std::string& text) {
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char c : text) d.insert(d.end(), {static_cast<std::uint8_t>(c), 0});
    return d;
}

class BareDevice : public Rig {
protected:
    ControlHost host{board};
    Control get_descriptor(std::uint8_t type, std::uint8_t index, std::uint16_t length) {
        return host.transfer(setup_packet(0x80, 6, static_cast<std::uint16_t>(type << 8 | index), 0, length));
    }
};

TEST_F(BareDevice, AnswersAsTheDefaultDevice) {
    const Control dev = get_descriptor(1, 0, 64);
    ASSERT_EQ(dev.result, R::ok) << dev.detail;
    ASSERT_EQ(dev.data.size(), 18u);
    EXPECT_EQ(dev.data[7], 64) << "EP0 packet size";
    EXPECT_EQ(dev.data[8] | dev.data[9] << 8, 0x0547);
    EXPECT_EQ(dev.data[10] | dev.data[11] << 8, 0x2131);

    const Control head = get_descriptor(2, 0, 9);
    ASSERT_EQ(head.result, R::ok) << head.detail;
    EXPECT_EQ(head.data, (std::vector<std::uint8_t>{0x09, 0x02, 0xDA, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32}));
    const Control all = get_descriptor(2, 0, 0xFFFF);
    ASSERT_EQ(all.result, R::ok) << all.detail;
    ASSERT_EQ(all.data.size(), 218u);
    // The descriptors chain up to exactly wTotalLength; the first interface
    // (alternate setting 0) has no endpoints.
    std::size_t at = 0;
    while (at < all.data.size() && all.data[at] > 0) at += all.data[at];
    EXPECT_EQ(at, 218u);
    EXPECT_EQ(all.data[9 + 1], 4);
    EXPECT_EQ(all.data[9 + 4], 0);

    EXPECT_EQ(get_descriptor(3, 0, 255).data, (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    EXPECT_EQ(get_descriptor(3, 1, 255).data, (std::vector<std::uint8_t>{2, 3})) << "empty text by default";
    EXPECT_EQ(get_descriptor(3, 3, 255).result, R::stall);
    EXPECT_EQ(get_descriptor(4, 0, 255).result, R::stall);

    EXPECT_EQ(host.transfer(setup_packet(0x00, 9, 1, 0, 0)).result, R::ok);  // SET_CONFIGURATION 1
    EXPECT_EQ(host.transfer(setup_packet(0x80, 8, 0, 0, 1)).data, std::vector<std::uint8_t>{1});
    EXPECT_EQ(host.transfer(setup_packet(0x80, 0, 0, 0, 2)).data, (std::vector<std::uint8_t>{0, 0}));
    EXPECT_EQ(host.transfer(setup_packet(0x40, 0x51, 0, 0, 0)).result, R::stall) << "vendor requests stall";
    EXPECT_EQ(rd(USBIRQ) & (bmSUDAV | bmSUTOK), 0) << "the 8051 hears nothing of these";
}

class BareStrings : public BareDevice {
protected:
    static board::Settings with_texts() {
        board::Settings s;
        s.bare_string1 = "EZ";
        s.bare_string2 = "Dev";
        return s;
    }
};

TEST_F(BareStrings, ConfiguredTextsOrStall) {
    board::Board texts(with_texts());
    ControlHost h(texts);
    EXPECT_EQ(h.transfer(setup_packet(0x80, 6, 0x0301, 0x001B, 130)).data, text_descriptor("EZ"));
    EXPECT_EQ(h.transfer(setup_packet(0x80, 6, 0x0302, 0x0409, 130)).data, text_descriptor("Dev"));
    EXPECT_EQ(h.transfer(setup_packet(0x80, 6, 0x0302, 0x0409, 3)).data,
              (std::vector<std::uint8_t>{8, 3, 'D'})) << "cut to wLength";

    board::Settings s;
    s.bare_strings_stalled = true;
    board::Board stalled(s);
    ControlHost hs(stalled);
    EXPECT_EQ(hs.transfer(setup_packet(0x80, 6, 0x0301, 0, 130)).result, R::stall);
    EXPECT_EQ(hs.transfer(setup_packet(0x80, 6, 0x0302, 0, 130)).result, R::stall);
    EXPECT_EQ(hs.transfer(setup_packet(0x80, 6, 0x0300, 0, 130)).result, R::ok);

    EXPECT_NE(board::check_settings([] {
                  board::Settings t;
                  t.bare_string2 = std::string(127, 'x');
                  return t;
              }()),
              "");
}

TEST_F(BareDevice, SetAddressTakesEffectAfterTheStatusStage) {
    wr(USBCS, rd(USBCS) | bmRENUM);  // even with the firmware in charge (and the 8051 held)
    ASSERT_EQ(ctl.setup(0, setup_packet(0x00, 5, 0x0023, 0, 0)), Handshake::ack);
    EXPECT_EQ(ctl.function_address(), 0) << "the status stage still runs at address 0";
    const usb::InPacket status = ctl.in(0, 0);
    EXPECT_EQ(status.handshake, Handshake::ack);
    EXPECT_EQ(status.length, 0);
    EXPECT_EQ(rd(FNADDR), 0x23);
    EXPECT_EQ(ctl.setup(0, setup_packet(0x80, 6, 0x0100, 0, 18)), Handshake::none) << "address 0 no longer answers";
    EXPECT_EQ(ctl.setup(0x23, setup_packet(0x80, 6, 0x0100, 0, 18)), Handshake::ack);
    EXPECT_EQ(rd(USBIRQ) & bmSUDAV, bmSUDAV) << "with RENUM = 1 other requests go to the 8051";
}

class Loader : public BareDevice {};

TEST_F(Loader, DownloadUploadAndCpucs) {
    std::vector<std::uint8_t> image(100);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    wr(USBCS, rd(USBCS) | bmRENUM);  // served whatever RENUM says
    EXPECT_TRUE(ctl.cpu_held());
    EXPECT_EQ(host.transfer(setup_packet(0x40, 0xA0, 0x1F00, 0, 100), image).result, R::ok);
    EXPECT_EQ(std::vector<std::uint8_t>(ctl.ram() + 0x1F00, ctl.ram() + 0x1F64), image);
    EXPECT_EQ(host.transfer(setup_packet(0xC0, 0xA0, 0x1F00, 0, 100)).data, image);
    EXPECT_EQ(rd(USBIRQ) & (bmSUDAV | bmSUTOK), 0) << "the loader never reaches the 8051";

    EXPECT_EQ(host.transfer(setup_packet(0x40, 0xA0, CPUCS, 0, 1), {0}).result, R::ok);
    EXPECT_FALSE(ctl.cpu_held());
    EXPECT_FALSE(board.cpu().reset_held());
    EXPECT_EQ(host.transfer(setup_packet(0xC0, 0xA0, CPUCS, 0, 1)).data, std::vector<std::uint8_t>{0});
    EXPECT_EQ(host.transfer(setup_packet(0x40, 0xA0, CPUCS, 0, 1), {1}).result, R::ok);
    EXPECT_TRUE(board.cpu().reset_held());
    EXPECT_EQ(findings(FindingKind::loader_outside), 0u) << report();

    wr(IN0BUF, 0x77);
    EXPECT_EQ(host.transfer(setup_packet(0x40, 0xA0, IN0BUF, 0, 2), {1, 2}).result, R::ok);
    EXPECT_EQ(findings(FindingKind::loader_outside), 2u) << "buffers and other registers are out of reach";
    EXPECT_EQ(rd(IN0BUF), 0x77);
    EXPECT_EQ(host.transfer(setup_packet(0x40, 0xA0, 0x1FFF, 0, 2), {5, 6}).result, R::ok);
    EXPECT_EQ(ctl.ram()[0x1FFF], 5);
    EXPECT_EQ(findings(FindingKind::loader_outside), 3u) << "0x2000 is past the RAM";
}

// The firmware's side of endpoint 0 (RENUM = 1), driven register by register.
class FirmwareEp0 : public Rig {
protected:
    FirmwareEp0() { wr(USBCS, rd(USBCS) | bmRENUM); }
};

TEST_F(FirmwareEp0, SetupLandsInSetupdatAndHoldsTheStatusStage) {
    const auto req = setup_packet(0xC0, 0x33, 0x1234, 0x5678, 2);
    ASSERT_EQ(ctl.setup(0, req), Handshake::ack);
    EXPECT_EQ(get(SETUPDAT, 8), std::vector<std::uint8_t>(req.begin(), req.end()));
    EXPECT_EQ(rd(USBIRQ) & (bmSUDAV | bmSUTOK), bmSUDAV | bmSUTOK);
    EXPECT_EQ(rd(EP0CS), bmHSNAK);
    EXPECT_EQ(host_in(0).handshake, Handshake::nak) << "nothing armed yet";

    put(IN0BUF, {0xAB, 0xCD});
    wr(IN0BC, 2);
    EXPECT_EQ(rd(EP0CS) & bmIN0BSY, bmIN0BSY);
    const usb::InPacket p = host_in(0);
    EXPECT_EQ(bytes_of(p), (std::vector<std::uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(p.pid, DataPid::data1) << "the data stage starts with DATA1";
    EXPECT_EQ(rd(EP0CS) & bmIN0BSY, 0);
    EXPECT_EQ(rd(IN07IRQ) & bmEP0, bmEP0);

    EXPECT_EQ(host_out(0, DataPid::data1, {}), Handshake::nak) << "HSNAK holds the status stage";
    wr(EP0CS, rd(EP0CS) | bmHSNAK);
    EXPECT_EQ(rd(EP0CS) & bmHSNAK, 0);
    EXPECT_EQ(host_out(0, DataPid::data1, {}), Handshake::ack);
    EXPECT_EQ(host_in(0).handshake, Handshake::stall) << "no transfer in progress";
}

TEST_F(FirmwareEp0, StallLastsForTheTransferAndANewSetupAbandonsAnArmedPacket) {
    ctl.setup(0, setup_packet(0x80, 0, 0, 0, 2));
    wr(EP0CS, rd(EP0CS) | bmEP0STALL);
    wr(EP0CS, rd(EP0CS) | bmHSNAK);
    EXPECT_EQ(host_in(0).handshake, Handshake::stall);
    EXPECT_EQ(host_out(0, DataPid::data1, {}), Handshake::stall);

    ctl.setup(0, setup_packet(0x80, 0, 0, 0, 2));
    EXPECT_EQ(rd(EP0CS), bmHSNAK) << "a new SETUP clears EP0STALL and sets HSNAK";
    wr(IN0BC, 2);
    EXPECT_EQ(rd(EP0CS) & bmIN0BSY, bmIN0BSY);
    ctl.setup(0, setup_packet(0x00, 9, 1, 0, 0));
    EXPECT_EQ(rd(EP0CS) & bmIN0BSY, 0) << "the armed packet is abandoned";

    // A request without data: the status stage is an empty IN once released.
    EXPECT_EQ(host_in(0).handshake, Handshake::nak);
    wr(EP0CS, bmHSNAK);
    const usb::InPacket s = host_in(0);
    EXPECT_EQ(s.handshake, Handshake::ack);
    EXPECT_EQ(s.length, 0);
    EXPECT_EQ(s.pid, DataPid::data1);
}

// A descriptor placed in RAM and sent by writing SUDPTRH, then SUDPTRL.
class Sudptr : public FirmwareEp0 {
protected:
    static constexpr std::uint16_t at = 0x0800;
    ControlHost host{board};

    void place(std::vector<std::uint8_t> d) { std::copy(d.begin(), d.end(), ctl.ram() + at); }
    std::vector<std::uint8_t> descriptor(std::uint8_t type, std::size_t length) {
        std::vector<std::uint8_t> d(length);
        for (std::size_t i = 0; i < length; ++i) d[i] = static_cast<std::uint8_t>(i);
        d[0] = type == 2 ? 9 : static_cast<std::uint8_t>(length);
        d[1] = type;
        if (type == 2) {
            d[2] = static_cast<std::uint8_t>(length);
            d[3] = static_cast<std::uint8_t>(length >> 8);
        }
        return d;
    }
    // The host's transaction sequence, with the 8051's part done when the
    // SETUP has arrived.
    std::vector<usb::InPacket> fetch(std::uint16_t length, std::size_t packets) {
        ctl.setup(0, setup_packet(0x80, 6, 0x0100, 0, length));
        wr(SUDPTRH, at >> 8);
        wr(SUDPTRL, at & 0xFF);
        wr(EP0CS, rd(EP0CS) | bmHSNAK);
        std::vector<usb::InPacket> got;
        for (std::size_t i = 0; i < packets; ++i) got.push_back(host_in(0));
        return got;
    }
};

TEST_F(Sudptr, SendsTheSmallerOfWLengthAndTheDescriptorsLength) {
    place(descriptor(1, 18));
    auto p = fetch(64, 2);
    EXPECT_EQ(p[0].length, 18);
    EXPECT_EQ(p[1].handshake, Handshake::nak) << "a short packet ends the data stage";
    EXPECT_EQ(host_out(0, DataPid::data1, {}), Handshake::ack);

    p = fetch(8, 1);
    EXPECT_EQ(p[0].length, 8) << "wLength is the limit";

    place(descriptor(2, 116));  // a configuration: wTotalLength counts
    p = fetch(255, 3);
    EXPECT_EQ(p[0].length, 64);
    EXPECT_EQ(p[0].pid, DataPid::data1);
    EXPECT_EQ(p[1].length, 52);
    EXPECT_EQ(p[1].pid, DataPid::data0);
    EXPECT_EQ(p[2].handshake, Handshake::nak);
    EXPECT_EQ(std::vector<std::uint8_t>(p[1].data.begin(), p[1].data.begin() + 52),
              std::vector<std::uint8_t>(ctl.ram() + at + 64, ctl.ram() + at + 116));
    EXPECT_EQ(rd(IN07IRQ) & bmEP0, bmEP0) << "the EP0 IN request stays active";
}

TEST_F(Sudptr, ExactMultipleOf64EndsWithAnEmptyPacketOnlyBelowWLength) {
    place(descriptor(2, 128));
    auto p = fetch(255, 4);
    EXPECT_EQ(p[0].length, 64);
    EXPECT_EQ(p[1].length, 64);
    EXPECT_EQ(p[2].handshake, Handshake::ack);
    EXPECT_EQ(p[2].length, 0);
    EXPECT_EQ(p[3].handshake, Handshake::nak);

    p = fetch(128, 3);
    EXPECT_EQ(p[1].length, 64);
    EXPECT_EQ(p[2].handshake, Handshake::nak) << "no empty packet when wLength is reached";
}

TEST_F(Sudptr, StatusStageWaitsForHsnak) {
    place(descriptor(1, 18));
    ctl.setup(0, setup_packet(0x80, 6, 0x0100, 0, 18));
    wr(SUDPTRH, at >> 8);
    wr(SUDPTRL, at & 0xFF);
    EXPECT_EQ(host_in(0).length, 18);
    EXPECT_EQ(host_out(0, DataPid::data1, {}), Handshake::nak);
    wr(EP0CS, rd(EP0CS) | bmHSNAK);
    EXPECT_EQ(host_out(0, DataPid::data1, {}), Handshake::ack);
}

}  // namespace
}  // namespace vboard::test
