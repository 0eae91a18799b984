// The usbmon capture: a pcap file of link type 220 (LINKTYPE_USB_LINUX_MMAPPED),
// each record the 64-byte header of Linux's binary usbmon interface
// followed by the data, all little-endian.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "trace/trace.h"

namespace vboard::trace {

namespace {

constexpr uint32_t linktype_usb_linux_mmapped = 220;
constexpr int32_t einprogress = 115;  // a submission's status
constexpr uint32_t urb_dir_in = 0x0200;

void put16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(uint8_t* at, uint64_t v) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint8_t xfer_type(host::TransferType type) {
    switch (type) {
    case host::TransferType::interrupt: return 1;
    case host::TransferType::control: return 2;
    case host::TransferType::bulk: return 3;
    }
    return 3;
}

}  // namespace

int32_t usbmon_status(host::Status status) {
    switch (status) {
    case host::Status::ok: return 0;
    case host::Status::stall: return -32;       // EPIPE
    case host::Status::timeout: return -110;    // ETIMEDOUT
    case host::Status::error: return -71;       // EPROTO
    case host::Status::overrun: return -75;     // EOVERFLOW
    case host::Status::no_device: return -108;  // ESHUTDOWN
    case host::Status::cancelled: return -104;  // ECONNRESET
    case host::Status::invalid: return -22;     // EINVAL
    }
    return -71;
}

std::unique_ptr<PcapWriter> PcapWriter::open(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot write the capture " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    uint8_t header[24] = {};
    put32(header, 0xA1B2C3D4);  // microsecond time stamps
    put16(header + 4, 2);
    put16(header + 6, 4);
    put32(header + 16, header_size + max_data);  // snapshot length
    put32(header + 20, linktype_usb_linux_mmapped);
    std::unique_ptr<PcapWriter> w(new PcapWriter(file));
    if (std::fwrite(header, sizeof header, 1, file) != 1 || std::fflush(file) != 0) {
        error = "cannot write the capture " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    return w;
}

PcapWriter::~PcapWriter() { close(); }

int PcapWriter::close() {
    if (file_ && std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
    file_ = nullptr;
    return error_;
}

void PcapWriter::submitted(const host::TransferRecord& transfer) { record(transfer, false); }

void PcapWriter::completed(const host::TransferRecord& transfer) { record(transfer, true); }

// Field by field as the usbmon documentation lays out struct usbmon_packet.
void PcapWriter::record(const host::TransferRecord& t, bool completion) {
    const bool in = (t.endpoint & 0x80) != 0;
    const bool has_setup = t.setup && !completion;
    // Data travel with the submission of an OUT transfer and the completion of an IN one.
    const bool has_data = in == completion;
    const uint32_t captured = has_data ? static_cast<uint32_t>(std::min<size_t>(t.data.size(), max_data)) : 0;
    const uint64_t seconds = t.time / usb::clocks_per_second;
    const uint32_t micros = static_cast<uint32_t>(t.time % usb::clocks_per_second / (usb::clocks_per_second / 1'000'000));

    uint8_t r[16 + header_size] = {};
    put32(r, static_cast<uint32_t>(seconds));
    put32(r + 4, micros);
    put32(r + 8, header_size + captured);
    put32(r + 12, header_size + captured);
    uint8_t* u = r + 16;
    put64(u, t.id);                                      //  0 URB id
    u[8] = completion ? 'C' : 'S';                       //  8 event type
    u[9] = xfer_type(t.type);                            //  9 transfer type
    u[10] = t.endpoint;                                  // 10 endpoint and direction
    u[11] = t.address;                                   // 11 device address
    put16(u + 12, bus);                                  // 12 bus number
    u[14] = has_setup ? 0 : '-';                         // 14 setup flag: 0 = present
    u[15] = has_data ? 0 : (in ? '<' : '>');             // 15 data flag: 0 = present
    put64(u + 16, seconds);                              // 16 seconds
    put32(u + 24, micros);                               // 24 microseconds
    put32(u + 28, static_cast<uint32_t>(completion ? usbmon_status(t.status) : -einprogress));  // 28 status
    put32(u + 32, static_cast<uint32_t>(t.length));      // 32 length: asked for, or moved
    put32(u + 36, captured);                             // 36 bytes captured
    if (has_setup) {                                     // 40 setup packet
        const auto bytes = t.setup->bytes();
        std::copy(bytes.begin(), bytes.end(), u + 40);
    }
    put32(u + 48, t.interval);                           // 48 interval
    put32(u + 52, 0);                                    // 52 start frame (isochronous only)
    put32(u + 56, in ? urb_dir_in : 0);                  // 56 transfer flags
    put32(u + 60, 0);                                    // 60 isochronous descriptors
    if (!file_ || error_ != 0) return;
    if (std::fwrite(r, sizeof r, 1, file_) != 1 ||
        (captured && std::fwrite(t.data.data(), 1, captured, file_) != captured) || std::fflush(file_) != 0)
        error_ = errno != 0 ? errno : EIO;
}

}  // namespace vboard::trace
