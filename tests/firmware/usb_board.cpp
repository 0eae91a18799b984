#include "usb_board.h"

#include <cstdio>
#include <sstream>

#include "link_map.h"

namespace fwtest {

const Bytes& FirmwareUsb::firmware() {
    static const Bytes image = [] {
        const std::string raw = slurp(NEBU_FW_BIN);
        return Bytes(raw.begin(), raw.end());
    }();
    return image;
}

void FirmwareUsb::start(const vboard::board::Settings& settings) {
    ASSERT_EQ(firmware().size(), 4096u) << NEBU_FW_BIN;
    board = std::make_unique<vboard::board::Board>(settings);
    std::string error;
    ASSERT_TRUE(board->load_firmware_bytes(firmware(), error)) << error;
}

void FirmwareUsb::attach_host(const host::TimingProfile& profile) {
    usb_host = std::make_unique<host::Host>(*board, profile);
    usb_host->set_observer([this](const host::HostEvent& e) { events.push_back(e); });
    driver = std::make_unique<host::Driver>(*usb_host, 0);
}

void FirmwareUsb::enumerate(const vboard::board::Settings& settings) {
    ASSERT_NO_FATAL_FAILURE(start(settings));
    // The firmware leaves the bus as soon as it runs: the host meets it
    // only when it comes back with its own descriptors.
    board->run_for_ms(1);
    ASSERT_FALSE(board->attached()) << "the firmware did not leave the bus at start";
    attach_host();
    ASSERT_TRUE(usb_host->wait_enumerated(4000)) << "not enumerated: " << usb_host->enumeration_error();
    ASSERT_TRUE(board->controller().renum()) << "enumerated by the bare controller";
}

void FirmwareUsb::TearDown() {
    if (!board) return;
    std::ostringstream findings;
    board->diagnostics().print(findings);
    EXPECT_TRUE(board->diagnostics().empty()) << "firmware checks fired:\n" << findings.str();
}

void FirmwareUsb::advance(usb::clock_t clocks) {
    if (usb_host)
        usb_host->wait_clocks(clocks);
    else
        board->run_until(board->now() + clocks);
}

std::vector<Edge> FirmwareUsb::watch(const std::function<bool()>& signal, usb::clock_t duration,
                                     usb::clock_t step) {
    std::vector<Edge> edges{{board->now(), signal()}};
    const usb::clock_t end = board->now() + duration;
    while (board->now() < end) {
        advance(std::min(step, end - board->now()));
        if (const bool on = signal(); on != edges.back().on) edges.push_back({board->now(), on});
    }
    return edges;
}

host::TransferResult FirmwareUsb::request(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                          uint16_t length, const Bytes& out) {
    return usb_host->control(host::SetupPacket{type, request, value, index, length}, out);
}

host::TransferResult FirmwareUsb::send(uint8_t endpoint, const Bytes& data, uint32_t timeout_ms) {
    return usb_host->complete(usb_host->submit_out(host::TransferType::bulk, endpoint, data, 1, timeout_ms));
}

std::vector<host::HostEvent> FirmwareUsb::events_of(host::HostEvent::Kind kind) const {
    std::vector<host::HostEvent> out;
    for (const auto& e : events)
        if (e.kind == kind) out.push_back(e);
    return out;
}

std::string describe(usb::clock_t clocks) {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f cycles (%.3f ms)", cycles_of(clocks), ms_of(clocks));
    return text;
}

}  // namespace fwtest
