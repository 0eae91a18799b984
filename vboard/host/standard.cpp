// SETUP records and descriptor parsing.
#include "host/standard.h"

#include <cstdio>

namespace vboard::host {

namespace {

uint16_t le16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

std::string describe(const char* what, size_t offset) {
    char text[96];
    std::snprintf(text, sizeof text, "%s at byte %zu", what, offset);
    return text;
}

}  // namespace

std::array<uint8_t, 8> SetupPacket::bytes() const {
    return {request_type,
            request,
            static_cast<uint8_t>(value),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8)};
}

SetupPacket parse_setup(const std::array<uint8_t, 8>& b) {
    return {b[0], b[1], static_cast<uint16_t>(b[2] | b[3] << 8),
            static_cast<uint16_t>(b[4] | b[5] << 8), static_cast<uint16_t>(b[6] | b[7] << 8)};
}

SetupPacket get_descriptor_request(uint8_t type, uint8_t index, uint16_t language, uint16_t length) {
    return {0x80, request::get_descriptor, static_cast<uint16_t>(type << 8 | index), language, length};
}

SetupPacket set_address_request(uint8_t address) {
    return {0x00, request::set_address, address, 0, 0};
}

SetupPacket set_configuration_request(uint8_t value) {
    return {0x00, request::set_configuration, value, 0, 0};
}

SetupPacket clear_endpoint_halt_request(uint8_t endpoint) {
    return {0x02, request::clear_feature, feature_endpoint_halt, endpoint, 0};
}

const InterfaceDescriptor* Configuration::find_interface(uint8_t number, uint8_t alternate) const {
    for (const InterfaceDescriptor& interface : interfaces)
        if (interface.number == number && interface.alternate == alternate) return &interface;
    return nullptr;
}

std::optional<DeviceDescriptor> parse_device_descriptor(std::span<const uint8_t> b, std::string& error) {
    if (b.size() < 18) {
        error = "device descriptor of " + std::to_string(b.size()) + " bytes, 18 expected";
        return std::nullopt;
    }
    if (b[0] < 18 || b[1] != descriptor_type::device) {
        error = "not a device descriptor (length " + std::to_string(b[0]) + ", type " +
                std::to_string(b[1]) + ")";
        return std::nullopt;
    }
    DeviceDescriptor d;
    d.usb_release = le16(b, 2);
    d.device_class = b[4];
    d.max_packet0 = b[7];
    d.vendor = le16(b, 8);
    d.product = le16(b, 10);
    d.release = le16(b, 12);
    d.manufacturer_string = b[14];
    d.product_string = b[15];
    d.serial_string = b[16];
    d.configurations = b[17];
    return d;
}

std::optional<Configuration> parse_configuration(std::span<const uint8_t> b, std::string& error) {
    if (b.size() < 9 || b[0] < 9 || b[1] != descriptor_type::configuration) {
        error = "not a configuration descriptor";
        return std::nullopt;
    }
    Configuration config;
    config.total_length = le16(b, 2);
    config.value = b[5];
    config.attributes = b[7];
    config.max_power = b[8];
    if (config.total_length < 9 || config.total_length > b.size()) {
        error = "configuration of " + std::to_string(b.size()) + " bytes announces " +
                std::to_string(config.total_length);
        return std::nullopt;
    }
    const std::span<const uint8_t> block = b.first(config.total_length);
    InterfaceDescriptor* current = nullptr;
    for (size_t at = b[0]; at < block.size();) {
        if (block.size() - at < 2 || block[at] < 2 || block[at] > block.size() - at) {
            error = describe("descriptor overruns the configuration", at);
            return std::nullopt;
        }
        const uint8_t length = block[at];
        const uint8_t type = block[at + 1];
        const std::span<const uint8_t> d = block.subspan(at, length);
        if (type == descriptor_type::interface) {
            if (length < 9) {
                error = describe("short interface descriptor", at);
                return std::nullopt;
            }
            config.interfaces.push_back({d[2], d[3], d[5], d[4], {}});
            current = &config.interfaces.back();
        } else if (type == descriptor_type::endpoint) {
            if (length < 7) {
                error = describe("short endpoint descriptor", at);
                return std::nullopt;
            }
            if (!current) {
                error = describe("endpoint descriptor before any interface", at);
                return std::nullopt;
            }
            current->endpoints.push_back({d[2], d[3], le16(d, 4), d[6]});
        }
        // Class- and vendor-specific descriptors are passed over.
        at += length;
    }
    return config;
}

}  // namespace vboard::host
