// The firmware as a USB device, through the host model and the driver:
// enumeration and the pipes, every device request the firmware answers or
// stalls, endpoint halts with their data toggles, and the OUT endpoints
// that a bus reset arms.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "usb_board.h"

namespace {

using fwtest::Bytes;
using fwtest::FirmwareUsb;
namespace host = fwtest::host;
namespace usb = fwtest::usb;
namespace ioctl = host::ioctl;
using host::Status;

const Bytes device_descriptor = {0x12, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x47,
                                 0x05, 0x31, 0x21, 0x01, 0x00, 0x01, 0x02, 0x00, 0x01};
const Bytes config_header = {0x09, 0x02, 0x74, 0x00, 0x01, 0x01, 0x00, 0xA0, 0xFA};
const Bytes interface_descriptor = {0x09, 0x04, 0x00, 0x00, 0x0E, 0xFF, 0x00, 0x00, 0x00};
const Bytes languages = {0x04, 0x03, 0x09, 0x04};
const Bytes nebu = {0x0A, 0x03, 'N', 0, 'E', 0, 'B', 0, 'U', 0};
const Bytes z100 = {0x0A, 0x03, 0x5A, 0, 0x31, 0, 0x30, 0, 0x30, 0};

// The configuration block: configuration, interface, then EP1-7 OUT bulk,
// EP1 IN interrupt (1 ms), EP2-7 IN bulk, 64 bytes each: the pipe order.
Bytes configuration_block() {
    Bytes b = config_header;
    b.insert(b.end(), interface_descriptor.begin(), interface_descriptor.end());
    for (uint8_t ep : {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87}) {
        const bool interrupt = ep == 0x81;
        b.insert(b.end(), {0x07, 0x05, ep, uint8_t(interrupt ? 0x03 : 0x02), 0x40, 0x00, uint8_t(interrupt ? 1 : 0)});
    }
    return b;
}

Bytes first(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + std::min(n, b.size())); }

std::string hex(const Bytes& b) {
    std::string s;
    char t[4];
    for (uint8_t v : b) std::snprintf(t, sizeof t, " %02X", v), s += t;
    return s.empty() ? " (none)" : s;
}

// The card tool's bus set-up script: one reply byte, the port C levels.
const Bytes setup_script = {0x00, 0x14, 0x07, 0xF1, 0x12, 0x24};

class FirmwareUsbDevice : public FirmwareUsb {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(enumerate()); }

    // A request that must be answered with `reply` (nullopt: stalled).
    void expect_answer(const char* what, uint8_t type, uint8_t code, uint16_t value, uint16_t index,
                       uint16_t length, const std::optional<Bytes>& reply) {
        const host::TransferResult r = request(type, code, value, index, length);
        if (!reply) {
            EXPECT_EQ(r.status, Status::stall) << what << ": not stalled, answered" << hex(r.data);
            return;
        }
        EXPECT_EQ(r.status, Status::ok) << what << ": " << host::status_name(r.status);
        EXPECT_EQ(r.data, *reply) << what << ": got" << hex(r.data) << ", want" << hex(*reply);
    }
    Bytes status(uint8_t recipient, uint16_t index) {
        const host::TransferResult r = request(recipient, 0, 0, index, 2);
        EXPECT_TRUE(r.ok()) << "GET_STATUS " << int(recipient) << ": " << host::status_name(r.status);
        return r.data;
    }
    // Runs the set-up script on the command pipe and reads its one reply
    // byte from the reply pipe; false when either transfer fails.
    bool script_round_trip(std::string& why) {
        const host::TransferResult out = send(0x01, setup_script);
        if (!out.ok()) return why = std::string("script: ") + host::status_name(out.status), false;
        const host::TransferResult in =
            usb_host->complete(usb_host->submit_in(host::TransferType::bulk, 0x82, 64, 1, 50));
        if (!in.ok()) return why = std::string("reply: ") + host::status_name(in.status), false;
        if (in.data.size() != 1) return why = "reply of " + std::to_string(in.data.size()) + " bytes", false;
        return true;
    }
};

// ---- enumeration --------------------------------------------------------------------

TEST_F(FirmwareUsbDevice, EnumeratesWithItsDescriptorsAndTheDriverSeesFourteenPipesInOrder) {
    const host::EnumeratedDevice* d = usb_host->device();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->device_descriptor, device_descriptor) << hex(d->device_descriptor);
    EXPECT_EQ(d->configuration, configuration_block()) << hex(d->configuration);
    EXPECT_EQ(d->address, usb_host->profile().device_address);

    const auto pipes = driver->pipes();
    ASSERT_EQ(pipes.size(), 14u);
    const uint8_t order[14] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87};
    for (size_t i = 0; i < pipes.size(); ++i) {
        SCOPED_TRACE("pipe " + std::to_string(i));
        EXPECT_EQ(pipes[i].address, order[i]);
        EXPECT_EQ(pipes[i].type(), i == 7 ? host::EndpointType::interrupt : host::EndpointType::bulk);
        EXPECT_EQ(pipes[i].max_packet, 64);
    }

    // The identity strings as the tool reads them: language 0x001B, 130 bytes.
    const auto handle = driver->open(0);
    ASSERT_TRUE(handle);
    for (const auto& [index, expected] : {std::pair<uint8_t, Bytes>{1, nebu}, {2, z100}}) {
        Bytes reply(130);
        uint32_t returned = 0;
        ASSERT_TRUE(driver->io_control(*handle, ioctl::get_string, Bytes{index, 0, 0x1B, 0x00}, reply, returned))
            << driver->last_error();
        reply.resize(returned);
        EXPECT_EQ(reply, expected) << "string " << int(index) << ":" << hex(reply);
    }
}

// ---- requests that read ------------------------------------------------------------

struct Read {
    const char* what;
    uint8_t type, request;
    uint16_t value, index, length;
    std::optional<Bytes> reply;  // nullopt: stalled
};

TEST_F(FirmwareUsbDevice, GetStatusByRecipient) {
    const Read cases[] = {
        {"device", 0x80, 0, 0, 0, 2, Bytes{0x02, 0x00}},  // remote wake-up on, bus-powered
        {"interface 0", 0x81, 0, 0, 0, 2, Bytes{0x00, 0x00}},
        {"interface 7", 0x81, 0, 0, 7, 2, Bytes{0x00, 0x00}},
        {"endpoint 0x82", 0x82, 0, 0, 0x82, 2, Bytes{0x00, 0x00}},
        {"endpoint 0x01", 0x82, 0, 0, 0x01, 2, Bytes{0x00, 0x00}},
        {"endpoint 0x80", 0x82, 0, 0, 0x80, 2, Bytes{0x00, 0x00}},
        {"recipient other (0x83)", 0x83, 0, 0, 0, 2, std::nullopt},
        {"host-to-device (0x00)", 0x00, 0, 0, 0, 0, std::nullopt},
        {"vendor (0xC0)", 0xC0, 0, 0, 0, 2, std::nullopt},
    };
    for (const Read& c : cases) expect_answer(c.what, c.type, c.request, c.value, c.index, c.length, c.reply);
}

TEST_F(FirmwareUsbDevice, GetDescriptorDeviceAndConfigurationAreCutToWLength) {
    const Bytes config = configuration_block();
    const Read cases[] = {
        {"device, wLength 64", 0x80, 6, 0x0100, 0, 64, device_descriptor},
        {"device, wLength 18", 0x80, 6, 0x0100, 0, 18, device_descriptor},
        {"device, wLength 8", 0x80, 6, 0x0100, 0, 8, first(device_descriptor, 8)},
        {"device, wLength 0xFFFF", 0x80, 6, 0x0100, 0, 0xFFFF, device_descriptor},
        {"configuration, wLength 9", 0x80, 6, 0x0200, 0, 9, first(config, 9)},
        {"configuration, wLength 116", 0x80, 6, 0x0200, 0, 116, config},
        {"configuration, wLength 255", 0x80, 6, 0x0200, 0, 255, config},
        {"configuration, wLength 100", 0x80, 6, 0x0200, 0, 100, first(config, 100)},
        {"configuration index 1", 0x80, 6, 0x0201, 0, 255, std::nullopt},
        {"configuration index 2", 0x80, 6, 0x0202, 0, 255, std::nullopt},
        {"type 0", 0x80, 6, 0x0000, 0, 64, std::nullopt},
        {"type 4 (interface)", 0x80, 6, 0x0400, 0, 64, std::nullopt},
        {"type 5 (endpoint)", 0x80, 6, 0x0500, 0, 64, std::nullopt},
        {"type 6 (device qualifier)", 0x80, 6, 0x0600, 0, 10, std::nullopt},
        {"type 7", 0x80, 6, 0x0700, 0, 64, std::nullopt},
    };
    for (const Read& c : cases) expect_answer(c.what, c.type, c.request, c.value, c.index, c.length, c.reply);
}

TEST_F(FirmwareUsbDevice, GetDescriptorStringsWhateverTheLanguage) {
    const Bytes strings[3] = {languages, nebu, z100};
    for (uint8_t index = 0; index < 3; ++index)
        for (uint16_t language : {0x0000, 0x0409, 0x001B}) {
            const std::string what = "string " + std::to_string(index) + ", language " + std::to_string(language);
            expect_answer(what.c_str(), 0x80, 6, uint16_t(0x0300 | index), language, 255, strings[index]);
        }
    const Read cases[] = {
        {"string 1, wLength 130", 0x80, 6, 0x0301, 0x001B, 130, nebu},
        {"string 1, wLength 10", 0x80, 6, 0x0301, 0x0409, 10, nebu},
        {"string 1, wLength 9", 0x80, 6, 0x0301, 0x0409, 9, first(nebu, 9)},
        {"string 1, wLength 2", 0x80, 6, 0x0301, 0x0409, 2, first(nebu, 2)},
        {"string 2, wLength 0", 0x80, 6, 0x0302, 0x0409, 0, Bytes{}},
        {"string 2, wLength 256", 0x80, 6, 0x0302, 0x0409, 256, z100},
        {"string 2, wLength 0xFFFF", 0x80, 6, 0x0302, 0x0409, 0xFFFF, z100},
        {"string 3", 0x80, 6, 0x0303, 0x0409, 255, std::nullopt},
        {"string 4", 0x80, 6, 0x0304, 0x0409, 255, std::nullopt},
        {"string 0x80", 0x80, 6, 0x0380, 0x0409, 255, std::nullopt},
        {"string 255", 0x80, 6, 0x03FF, 0x0409, 255, std::nullopt},
    };
    for (const Read& c : cases) expect_answer(c.what, c.type, c.request, c.value, c.index, c.length, c.reply);
    // A string after a stalled one is answered: the stall ended with its request.
    expect_answer("string 2 after a stall", 0x80, 6, 0x0302, 0, 255, z100);
}

// Dispatch looks at bRequest alone. SET_ADDRESS (5) never reaches the
// firmware when it is the standard request: the controller serves it.
TEST_F(FirmwareUsbDevice, OtherRequestCodesAreStalledAndBRequest6IsGetDescriptor) {
    const Read cases[] = {
        {"vendor OUT 0x51", 0x40, 0x51, 0, 0, 0, std::nullopt},
        {"vendor IN 0x51", 0xC0, 0x51, 0, 0, 1, std::nullopt},
        {"vendor IN 6, string 1", 0xC0, 6, 0x0301, 0x001B, 130, nebu},
        {"class IN 6, string 2", 0xA0, 6, 0x0302, 0, 130, z100},
        {"vendor IN 6, device", 0xC0, 6, 0x0100, 0, 64, device_descriptor},
        {"standard 2", 0x00, 2, 0, 0, 0, std::nullopt},
        {"standard 4", 0x00, 4, 0, 0, 0, std::nullopt},
        {"vendor 5 (not SET_ADDRESS)", 0x40, 5, 9, 0, 0, std::nullopt},
        {"SET_DESCRIPTOR (7)", 0x00, 7, 0x0100, 0, 0, std::nullopt},
        {"SYNCH_FRAME (12)", 0x82, 12, 0, 0x82, 2, std::nullopt},
        {"standard 12 to the device", 0x80, 12, 0, 0, 2, std::nullopt},
        {"vendor 0xFF", 0xC0, 0xFF, 0, 0, 4, std::nullopt},
    };
    for (const Read& c : cases) expect_answer(c.what, c.type, c.request, c.value, c.index, c.length, c.reply);
    EXPECT_EQ(board->controller().function_address(), usb_host->profile().device_address)
        << "the vendor request 5 changed the address";

    ASSERT_TRUE(usb_host->control(host::set_address_request(9)).ok()) << "SET_ADDRESS stalled";
    EXPECT_EQ(board->controller().function_address(), 9);
    expect_answer("GET_STATUS at the new address", 0x80, 0, 0, 0, 2, Bytes{0x02, 0x00});
}

// ---- requests that change state ---------------------------------------------------------

TEST_F(FirmwareUsbDevice, RemoteWakeupFeatureOfTheDevice) {
    EXPECT_EQ(status(0x80, 0), (Bytes{0x02, 0x00}));
    EXPECT_TRUE(request(0x00, 1, 1, 0, 0).ok()) << "CLEAR_FEATURE(DEVICE_REMOTE_WAKEUP)";
    EXPECT_EQ(status(0x80, 0), (Bytes{0x00, 0x00}));
    EXPECT_TRUE(request(0x00, 3, 1, 0, 0).ok()) << "SET_FEATURE(DEVICE_REMOTE_WAKEUP)";
    EXPECT_EQ(status(0x80, 0), (Bytes{0x02, 0x00}));
    // Other selectors to the device are stalled and change nothing.
    EXPECT_EQ(request(0x00, 3, 2, 0, 0).status, Status::stall) << "SET_FEATURE(TEST_MODE)";
    EXPECT_EQ(request(0x00, 1, 0, 0, 0).status, Status::stall) << "CLEAR_FEATURE(0) to the device";
    EXPECT_EQ(request(0x00, 1, 2, 0, 0).status, Status::stall) << "CLEAR_FEATURE(2) to the device";
    EXPECT_EQ(status(0x80, 0), (Bytes{0x02, 0x00}));
    // An interface recipient: accepted, no effect.
    EXPECT_TRUE(request(0x01, 1, 1, 0, 0).ok()) << "CLEAR_FEATURE to an interface";
    EXPECT_TRUE(request(0x01, 3, 0, 0, 0).ok()) << "SET_FEATURE to an interface";
    EXPECT_EQ(status(0x80, 0), (Bytes{0x02, 0x00}));
}

TEST_F(FirmwareUsbDevice, ConfigurationAndAlternateSettingKeepWhateverValueIsSet) {
    const auto value = [this](uint8_t type, uint8_t code) {
        const host::TransferResult r = request(type, code, 0, 0, 1);
        EXPECT_TRUE(r.ok()) << "request " << int(code) << ": " << host::status_name(r.status);
        return r.data;
    };
    EXPECT_EQ(value(0x80, 8), Bytes{0x01}) << "set by the enumeration";
    EXPECT_EQ(value(0x81, 10), Bytes{0x00});
    for (uint8_t v : {5, 0, 0xFF, 1}) {
        ASSERT_TRUE(request(0x00, 9, v, 0, 0).ok()) << "SET_CONFIGURATION " << int(v);
        EXPECT_EQ(value(0x80, 8), Bytes{v});
    }
    ASSERT_TRUE(request(0x01, 11, 3, 7, 0).ok()) << "SET_INTERFACE alternate 3, interface 7";
    EXPECT_EQ(value(0x81, 10), Bytes{0x03});
    EXPECT_EQ(request(0x81, 10, 0, 2, 1).data, Bytes{0x03}) << "for any interface";
    ASSERT_TRUE(request(0x00, 9, 1, 0, 0).ok());
    EXPECT_EQ(value(0x81, 10), Bytes{0x03}) << "SET_CONFIGURATION keeps the alternate setting";
    EXPECT_EQ(value(0x80, 8), Bytes{0x01}) << "SET_INTERFACE keeps the configuration";
}

// ---- endpoint halt and data toggles -----------------------------------------------------

// SET_FEATURE(ENDPOINT_HALT) stalls the endpoint; CLEAR_FEATURE clears the
// stall and resets the endpoint's data toggle, so that the host, which
// starts again at DATA0, loses no packet. The reply pipe (EP2 IN) and the
// command pipe (EP1 OUT) stand at DATA1 when they are halted: without the
// toggle reset the next packet would be taken for a repeat and lost.
TEST_F(FirmwareUsbDevice, EndpointHaltStallsAndItsClearingResetsTheToggle) {
    std::string why;
    for (uint8_t ep : {0x82, 0x01}) {
        SCOPED_TRACE("endpoint " + std::to_string(ep));
        for (int i = 0; i < 2 && usb_host->toggle(ep) != usb::DataPid::data1; ++i)
            ASSERT_TRUE(script_round_trip(why)) << why;
        ASSERT_EQ(usb_host->toggle(ep), usb::DataPid::data1);
        ASSERT_TRUE(request(0x02, 3, 0, ep, 0).ok()) << "SET_FEATURE(ENDPOINT_HALT)";
        EXPECT_EQ(status(0x82, ep), (Bytes{0x01, 0x00}));
        EXPECT_FALSE(script_round_trip(why)) << "a halted endpoint moved data";
        EXPECT_TRUE(usb_host->halted(ep)) << why;
        // The host's reset pipe: CLEAR_FEATURE(ENDPOINT_HALT), its own toggle to DATA0.
        ASSERT_TRUE(usb_host->clear_halt(ep).ok()) << "CLEAR_FEATURE(ENDPOINT_HALT)";
        EXPECT_EQ(status(0x82, ep), (Bytes{0x00, 0x00}));
        if (ep == 0x82) {
            // The script sent while the reply pipe was halted left its reply waiting.
            const host::TransferResult r =
                usb_host->complete(usb_host->submit_in(host::TransferType::bulk, 0x82, 64, 1, 50));
            EXPECT_TRUE(r.ok() && r.data.size() == 1) << "the waiting reply was lost: " << host::status_name(r.status);
        }
        EXPECT_TRUE(script_round_trip(why)) << "after the halt was cleared: " << why;
        EXPECT_TRUE(script_round_trip(why)) << "and the next: " << why;
    }

    // Selectors other than ENDPOINT_HALT are stalled; halting EP0 stalls the
    // request itself, and the next SETUP ends that stall.
    EXPECT_EQ(request(0x02, 3, 1, 0x82, 0).status, Status::stall);
    EXPECT_EQ(request(0x02, 1, 1, 0x82, 0).status, Status::stall);
    EXPECT_EQ(status(0x82, 0x82), (Bytes{0x00, 0x00})) << "a stalled request changed the endpoint";
    EXPECT_EQ(request(0x02, 3, 0, 0x80, 0).status, Status::stall) << "SET_FEATURE(ENDPOINT_HALT) to EP0";
    EXPECT_EQ(status(0x82, 0x80), (Bytes{0x00, 0x00}));
}

// SET_CONFIGURATION and SET_INTERFACE start every endpoint at DATA0 on both
// sides: with the command and reply pipes standing at DATA1, the next script
// and its reply must still get through after each request.
TEST_F(FirmwareUsbDevice, ConfigurationAndInterfaceRequestsResetTheDataToggles) {
    struct Case { const char* what; uint8_t type, code; uint16_t value; };
    const Case cases[] = {{"SET_CONFIGURATION 1", 0x00, 9, 1}, {"SET_INTERFACE 0", 0x01, 11, 0}};
    std::string why;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (int i = 0; i < 2 && usb_host->toggle(0x01) != usb::DataPid::data1; ++i)
            ASSERT_TRUE(script_round_trip(why)) << why;
        ASSERT_EQ(usb_host->toggle(0x01), usb::DataPid::data1);
        ASSERT_EQ(usb_host->toggle(0x82), usb::DataPid::data1);
        ASSERT_TRUE(request(c.type, c.code, c.value, 0, 0).ok());
        EXPECT_TRUE(script_round_trip(why)) << "first script after the request: " << why;
        EXPECT_TRUE(script_round_trip(why)) << "second script after the request: " << why;
    }
}

// The device's toggles change exactly when the host's do: on the standard
// SET_CONFIGURATION and SET_INTERFACE without a data stage and on
// CLEAR_FEATURE(ENDPOINT_HALT) of an endpoint that exists. After any of
// these requests, with both pipes standing at DATA1, scripts and replies
// must go on getting through.
TEST_F(FirmwareUsbDevice, RequestsTheHostKeepsItsTogglesThroughLeaveTheDevicesToo) {
    struct Case { const char* what; uint8_t type, code; uint16_t value, index, length; };
    const Case cases[] = {
        {"class 0x0B", 0x20, 11, 0, 0, 0},
        {"vendor 9", 0x40, 9, 1, 0, 0},
        {"class 9 to an interface", 0x21, 9, 1, 0, 0},
        {"standard SET_CONFIGURATION with wLength 2", 0x00, 9, 1, 0, 2},
        {"SET_CONFIGURATION device-to-host", 0x80, 9, 1, 0, 1},
        {"standard SET_INTERFACE to the device", 0x00, 11, 0, 0, 0},
        {"CLEAR_FEATURE(0x0100) of EP1 OUT", 0x02, 1, 0x0100, 0x01, 0},
        {"CLEAR_FEATURE(ENDPOINT_HALT) of 0x09", 0x02, 1, 0, 0x09, 0},
        {"CLEAR_FEATURE(ENDPOINT_HALT) of 0xC2", 0x02, 1, 0, 0xC2, 0},
    };
    std::string why;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (int i = 0; i < 2 && usb_host->toggle(0x01) != usb::DataPid::data1; ++i)
            ASSERT_TRUE(script_round_trip(why)) << why;
        ASSERT_EQ(usb_host->toggle(0x01), usb::DataPid::data1);
        ASSERT_EQ(usb_host->toggle(0x82), usb::DataPid::data1);
        request(c.type, c.code, c.value, c.index, c.length, Bytes(c.type & 0x80 ? 0 : c.length, 0x5A));
        EXPECT_TRUE(script_round_trip(why)) << "first script after the request: " << why;
        EXPECT_TRUE(script_round_trip(why)) << "second script after the request: " << why;
    }
}

// A request whose data stage goes the other way than its answer would is
// stalled: nothing waits for packets the host will never take, and the
// next request and the streams are served as usual.
TEST_F(FirmwareUsbDevice, RequestsWhoseDirectionContradictsTheirDataStageAreStalled) {
    const Read cases[] = {
        {"GET_DESCRIPTOR(string 1) host-to-device", 0x00, 6, 0x0301, 0, 2, std::nullopt},
        {"GET_DESCRIPTOR(device) host-to-device", 0x00, 6, 0x0100, 0, 18, std::nullopt},
        {"GET_CONFIGURATION host-to-device", 0x00, 8, 0, 0, 1, std::nullopt},
        {"GET_INTERFACE host-to-device", 0x01, 10, 0, 0, 1, std::nullopt},
        {"SET_FEATURE(remote wake-up) with data", 0x00, 3, 1, 0, 2, std::nullopt},
    };
    for (const Read& c : cases) {
        SCOPED_TRACE(c.what);
        const host::TransferResult r = request(c.type, c.request, c.value, c.index, c.length, Bytes(c.length, 0xAB));
        EXPECT_EQ(r.status, Status::stall) << host::status_name(r.status);
        expect_answer("the device descriptor next", 0x80, 6, 0x0100, 0, 18, device_descriptor);
        expect_answer("string 2 next", 0x80, 6, 0x0302, 0, 255, z100);
    }
    EXPECT_EQ(status(0x80, 0), (Bytes{0x02, 0x00})) << "a stalled SET_FEATURE changed the device";
    // A bus-to-host stream of one packet after them.
    ASSERT_TRUE(send(0x01, Bytes{0x60, 0x00, 0x01, 0x00}).ok());
    const host::TransferResult in =
        usb_host->complete(usb_host->submit_in(host::TransferType::bulk, 0x82, 64, 1, 50));
    EXPECT_TRUE(in.ok() && in.data.size() == 64) << host::status_name(in.status) << ", " << in.data.size() << " bytes";
}

// ---- OUT endpoints ---------------------------------------------------------------------

// Pipes 0-6 are EP1-EP7 OUT. Each bus reset leaves the OUT endpoints unarmed
// and the firmware's reset handler arms EP1, EP2 and EP4-EP7; EP3 is not
// valid (its buffers serve EP2) and never answers. EP4-EP7 drop what they
// get and re-arm at once, so a host writing to them never blocks.
TEST_F(FirmwareUsbDevice, BusResetArmsTheOutEndpointsAndPipes3To6DropWhatTheyGet) {
    const auto handle = driver->open(0);
    ASSERT_TRUE(handle);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "after the enumeration's reset" : "after a second port reset");
        if (round == 1) {
            usb_host->reset_port();
            ASSERT_TRUE(usb_host->wait_enumerated(1000)) << usb_host->enumeration_error();
        }
        std::string why;
        EXPECT_TRUE(script_round_trip(why)) << "EP1 OUT: " << why;
        EXPECT_TRUE(send(0x02, Bytes(64, 0x5A)).ok()) << "EP2 OUT: data no stream expects is taken";
        const host::TransferResult ep3 = send(0x03, Bytes(64, 0x33));
        EXPECT_EQ(ep3.status, Status::error) << "EP3 OUT answered: " << host::status_name(ep3.status);

        // Three full packets and a short one on each of pipes 3-6, through the driver.
        Bytes data(3 * 64 + 5);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
        for (uint32_t pipe = 3; pipe <= 6; ++pipe) {
            uint32_t returned = 0;
            EXPECT_TRUE(driver->io_control(*handle, ioctl::bulk_write, Bytes{uint8_t(pipe), 0, 0, 0}, data, returned))
                << "pipe " << pipe << ": " << driver->last_error();
            EXPECT_EQ(returned, data.size()) << "pipe " << pipe;
        }
        EXPECT_TRUE(script_round_trip(why)) << "the command pipe after pipes 3-6: " << why;
    }
}

}  // namespace
