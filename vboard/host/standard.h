// What the host needs of USB's own chapter on devices: the eight-byte SETUP
// record, the standard requests the host issues, and the device and
// configuration descriptors it reads back.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vboard::host {

// ---- the SETUP record ----------------------------------------------------

struct SetupPacket {
    uint8_t request_type = 0;  // bmRequestType: bit 7 direction, bits 6..5 type, 4..0 recipient
    uint8_t request = 0;       // bRequest
    uint16_t value = 0;        // wValue
    uint16_t index = 0;        // wIndex
    uint16_t length = 0;       // wLength

    bool device_to_host() const { return (request_type & 0x80) != 0; }
    bool standard() const { return (request_type & 0x60) == 0; }
    std::array<uint8_t, 8> bytes() const;

    bool operator==(const SetupPacket&) const = default;
};

SetupPacket parse_setup(const std::array<uint8_t, 8>& bytes);

// Standard request codes and descriptor types.
namespace request {
inline constexpr uint8_t get_status = 0;
inline constexpr uint8_t clear_feature = 1;
inline constexpr uint8_t set_feature = 3;
inline constexpr uint8_t set_address = 5;
inline constexpr uint8_t get_descriptor = 6;
inline constexpr uint8_t get_configuration = 8;
inline constexpr uint8_t set_configuration = 9;
inline constexpr uint8_t set_interface = 11;
}  // namespace request

namespace descriptor_type {
inline constexpr uint8_t device = 1;
inline constexpr uint8_t configuration = 2;
inline constexpr uint8_t string = 3;
inline constexpr uint8_t interface = 4;
inline constexpr uint8_t endpoint = 5;
}  // namespace descriptor_type

inline constexpr uint16_t feature_endpoint_halt = 0;
inline constexpr uint16_t feature_remote_wakeup = 1;

SetupPacket get_descriptor_request(uint8_t type, uint8_t index, uint16_t language, uint16_t length);
SetupPacket set_address_request(uint8_t address);
SetupPacket set_configuration_request(uint8_t value);
SetupPacket clear_endpoint_halt_request(uint8_t endpoint);

// ---- descriptors -------------------------------------------------------------

struct DeviceDescriptor {
    uint16_t usb_release = 0;  // bcdUSB
    uint8_t device_class = 0;
    uint8_t max_packet0 = 0;   // endpoint 0's packet size
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint16_t release = 0;      // bcdDevice
    uint8_t manufacturer_string = 0;
    uint8_t product_string = 0;
    uint8_t serial_string = 0;
    uint8_t configurations = 0;
};

enum class EndpointType : uint8_t { control, isochronous, bulk, interrupt };

struct EndpointDescriptor {
    uint8_t address = 0;      // bit 7 set: IN
    uint8_t attributes = 0;   // bits 1..0: the transfer type
    uint16_t max_packet = 0;
    uint8_t interval = 0;     // frames between polls (interrupt)

    bool is_in() const { return (address & 0x80) != 0; }
    EndpointType type() const { return static_cast<EndpointType>(attributes & 3); }
};

struct InterfaceDescriptor {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t interface_class = 0;
    uint8_t declared_endpoints = 0;  // bNumEndpoints
    std::vector<EndpointDescriptor> endpoints;  // in the order they follow the interface
};

struct Configuration {
    uint16_t total_length = 0;
    uint8_t value = 0;        // bConfigurationValue
    uint8_t attributes = 0;
    uint8_t max_power = 0;    // units of 2 mA
    std::vector<InterfaceDescriptor> interfaces;

    // The interface with that number and alternate setting, or null.
    const InterfaceDescriptor* find_interface(uint8_t number, uint8_t alternate = 0) const;
};

// Parse a device descriptor (at least its 18 bytes) or a whole configuration
// block (the configuration descriptor and every descriptor after it, up to
// wTotalLength). On malformed input they return nothing and set `error` to
// one line naming the fault.
std::optional<DeviceDescriptor> parse_device_descriptor(std::span<const uint8_t> bytes,
                                                        std::string& error);
std::optional<Configuration> parse_configuration(std::span<const uint8_t> bytes, std::string& error);

}  // namespace vboard::host
