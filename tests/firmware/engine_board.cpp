// The built firmware on the whole virtual board, behind the host model.
#include "engine_board.h"

#include <cstdio>
#include <sstream>

#include "host/driver.h"

namespace fwtest {

using vboard::controller::BusEvent;

std::string to_string(const StreamState& state) {
    char text[48];
    std::snprintf(text, sizeof text, "pkts %u rest %u dir %u", unsigned{state.pkts}, unsigned{state.rest},
                  unsigned{state.dir});
    return text;
}

EngineBoard::EngineBoard(const vboard::board::Settings& settings, const std::string& card_image)
    : board(settings), host(board), map(read_link_map(NEBU_FW_MAP)) {
    if (!card_image.empty() && !board.load_card_image(card_image, error_)) return;
    if (!board.load_firmware(NEBU_FW_BIN, error_)) return;
    // The firmware leaves the bus for about 1.5 s and comes back with its
    // own configuration: fourteen pipes, 0 = EP1 OUT, 1 = EP2 OUT, 8 = EP2 IN.
    vboard::host::Driver driver(host);
    if (!host.wait_until([&] { return driver.pipes().size() == 14; }, 4000)) {
        error_ = "the firmware did not enumerate with its pipes: " + host.enumeration_error();
        return;
    }
    const auto pipes = driver.pipes();
    if (pipes[0].address != command_ep || pipes[1].address != stream_ep || pipes[8].address != reply_ep)
        error_ = "pipes 0, 1 and 8 are not EP1 OUT, EP2 OUT and EP2 IN";
    if (map.symbols.empty()) error_ = std::string("no symbols in ") + NEBU_FW_MAP;
}

vboard::host::TransferResult EngineBoard::script(std::span<const uint8_t> bytes) {
    auto result = host.bulk_out(command_ep, bytes);
    settle();
    return result;
}

vboard::host::TransferResult EngineBoard::stream_out(std::span<const uint8_t> bytes) {
    auto result = host.bulk_out(stream_ep, bytes);
    settle();
    return result;
}

void EngineBoard::settle() {
    const vboard::Cpu& cpu = board.cpu();
    host.wait_until([&] { return cpu.interrupts_in_service() == 0 && !cpu.interrupt_flag(vboard::Irq::usb); }, 5);
}

vboard::host::TransferResult EngineBoard::read_reply(size_t length, uint32_t timeout_ms) {
    const auto id = host.submit_in(vboard::host::TransferType::bulk, reply_ep, length, 1, timeout_ms);
    return host.complete(id);
}

void EngineBoard::record(std::size_t limit) {
    ports().clear_events();
    ports().record(true, limit);
}

Bytes EngineBoard::strobed(BusEvent::Kind kind) {
    Bytes bytes;
    for (const auto& e : events())
        if (e.kind == kind) bytes.push_back(e.value);
    return bytes;
}

uint16_t EngineBoard::symbol(const std::string& name) const {
    const auto it = map.symbols.find(name);
    return it == map.symbols.end() ? 0xFFFF : static_cast<uint16_t>(it->second);
}

StreamState EngineBoard::stream_state() {
    const uint8_t* iram = board.cpu().iram();
    const uint16_t pkts = symbol("stream_pkts");
    StreamState s;
    s.pkts = static_cast<uint16_t>(iram[pkts & 0xFF] | iram[(pkts + 1) & 0xFF] << 8);
    s.rest = iram[symbol("stream_rest") & 0xFF];
    s.dir = iram[symbol("stream_dir") & 0xFF];
    return s;
}

std::string EngineBoard::findings() const {
    std::ostringstream out;
    board.diagnostics().print(out);
    return out.str();
}

Bytes pattern(size_t length, uint32_t seed) {
    Bytes bytes(length);
    uint32_t x = seed * 2654435761u + 1;
    if (x == 0) x = 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 7);
    }
    return bytes;
}

}  // namespace fwtest
