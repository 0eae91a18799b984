// The card bus as a value change dump (IEEE 1364 VCD), one 1-bit wire per
// signal, time in ns from the board's power-on.
#include <charconv>
#include <cerrno>
#include <cstring>

#include "trace/trace.h"

namespace vboard::trace {

namespace {

constexpr const char* names[] = {"PC0", "PC1", "PC2", "PC3", "PC4", "PC5", "PC6", "PC7",
                                 "D0",  "D1",  "D2",  "D3",  "D4",  "D5",  "D6",  "D7",
                                 "FWR_N", "FRD_N", "USB_ATTACH"};
constexpr uint8_t pa_fwr = 0x10;  // PA4
constexpr uint8_t pa_frd = 0x20;  // PA5

// 24 board clocks are 1,000 ns.
uint64_t to_ns(usb::clock_t clock) { return clock * 125 / 3; }

char level(uint8_t byte, uint8_t bit) { return (byte & bit) ? '1' : '0'; }

}  // namespace

std::unique_ptr<VcdWriter> VcdWriter::open(const std::string& path, const Start& start, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot write the value change dump " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<VcdWriter> w(new VcdWriter(file));
    w->buffer_.reserve(buffer_size + 4096);
    w->buffer_ += "$version nebu vboard: the card bus of the virtual board $end\n"
                  "$comment time is simulated; D0..D7 are z where nothing drives the bus $end\n"
                  "$timescale 1 ns $end\n"
                  "$scope module board $end\n";
    for (int i = 0; i < signals; ++i)
        w->buffer_ += std::string("$var wire 1 ") + static_cast<char>('!' + i) + ' ' + names[i] + " $end\n";
    w->buffer_ += "$upscope $end\n$enddefinitions $end\n";
    w->time_ns_ = to_ns(start.when);
    w->buffer_ += '#' + std::to_string(w->time_ns_) + "\n$dumpvars\n";
    std::memset(w->value_, 'x', sizeof w->value_);
    for (int i = 0; i < 8; ++i) w->set(pc0 + i, level(start.pins_c, static_cast<uint8_t>(1 << i)));
    for (int i = 0; i < 8; ++i) w->set(d0 + i, 'z');
    w->set_port_a(start.pins_a);
    w->set(usb_attach, start.attached ? '1' : '0');
    w->buffer_ += "$end\n";
    w->started_ = true;
    if (std::fwrite(w->buffer_.data(), 1, w->buffer_.size(), file) != w->buffer_.size() || std::fflush(file) != 0) {
        error = "cannot write the value change dump " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    w->buffer_.clear();
    return w;
}

VcdWriter::~VcdWriter() {
    if (!file_) return;
    write_out();
    std::fclose(file_);
}

void VcdWriter::write_out() {
    if (error_ == 0 && !buffer_.empty() &&
        (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size() || std::fflush(file_) != 0))
        error_ = errno != 0 ? errno : EIO;
    buffer_.clear();
}

// Opens the time step of `when`. Steps never go back: an event stamped
// before the last one written joins that step. The buffer is written out
// before a step begins, so the file always ends after a whole step.
void VcdWriter::at(usb::clock_t when) {
    const uint64_t ns = to_ns(when);
    if (ns <= time_ns_) return;
    if (buffer_.size() >= buffer_size) write_out();
    time_ns_ = ns;
    char step[24] = {'#'};
    char* end = std::to_chars(step + 1, step + sizeof step - 1, ns).ptr;
    *end++ = '\n';
    buffer_.append(step, end);
}

void VcdWriter::set(int signal, char value) {
    if (value_[signal] == value) return;
    value_[signal] = value;
    const char change[3] = {value, static_cast<char>('!' + signal), '\n'};
    buffer_.append(change, 3);
}

void VcdWriter::set_bus(int first, uint8_t byte) {
    for (int i = 0; i < 8; ++i) set(first + i, level(byte, static_cast<uint8_t>(1 << i)));
}

void VcdWriter::set_port_a(uint8_t pins_a) {
    rest_a_ = pins_a;
    set(fwr, level(pins_a, pa_fwr));
    set(frd, level(pins_a, pa_frd));
}

void VcdWriter::pins(usb::clock_t when, uint8_t pins_a, uint8_t pins_c) {
    at(when);
    for (int i = 0; i < 8; ++i) set(pc0 + i, level(pins_c, static_cast<uint8_t>(1 << i)));
    set_port_a(pins_a);
}

// The pulse leaves the strobe's resting level and returns to it; the byte
// is on the bus from the pulse's start until one clock after its end.
void VcdWriter::strobe(usb::clock_t start, uint8_t width, bool write, uint8_t bus, bool driven) {
    const int pin = write ? fwr : frd;
    const char rest = level(rest_a_, write ? pa_fwr : pa_frd);
    at(start);
    if (driven) set_bus(d0, bus);
    set(pin, rest == '1' ? '0' : '1');
    at(start + width);
    set(pin, rest);
    at(start + width + 1);
    for (int i = 0; i < 8; ++i) set(d0 + i, 'z');
}

void VcdWriter::attach(usb::clock_t when, bool attached) {
    at(when);
    set(usb_attach, attached ? '1' : '0');
}

int VcdWriter::finish(usb::clock_t when) {
    if (!file_) return error_;
    at(when);
    write_out();
    if (std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
    file_ = nullptr;
    return error_;
}

}  // namespace vboard::trace
