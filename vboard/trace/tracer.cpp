// The writers asked for, attached to the board, its host and its driver.
#include <cerrno>
#include <cstring>

#include "board/board.h"
#include "host/driver.h"
#include "trace/trace.h"

namespace vboard::trace {

std::unique_ptr<Tracer> Tracer::attach(board::Board& board, host::Host& host, host::Driver& driver,
                                       const Files& files, std::string& error) {
    std::unique_ptr<Tracer> t(new Tracer(board, host, driver, files));
    controller::Controller& c = board.controller();
    if (!files.pcap.empty() && !(t->pcap_ = PcapWriter::open(files.pcap, error))) return nullptr;
    if (!files.vcd.empty()) {
        const VcdWriter::Start start{board.now(), c.ports().pins_a(), c.ports().pins_c(), c.attached()};
        if (!(t->vcd_ = VcdWriter::open(files.vcd, start, error))) return nullptr;
    }
    std::vector<std::FILE*> logs;
    if (!files.log.empty()) {
        t->log_file_ = std::fopen(files.log.c_str(), "w");
        if (!t->log_file_) {
            error = "cannot write the log " + files.log + ": " + std::strerror(errno);
            return nullptr;
        }
        logs.push_back(t->log_file_);
    }
    if (files.verbose) logs.push_back(stderr);
    if (!logs.empty()) {
        t->log_ = std::make_unique<TextLog>(std::move(logs));
        t->log_->line(board.now(), std::string("board ") + (c.attached() ? "on" : "off") + " the bus, the 8051 " +
                                       (c.cpu_held() ? "held" : "running"));
    }

    if (t->pcap_) host.set_transfer_observer(t.get());
    if (t->log_) driver.set_observer(t.get());
    if (t->vcd_ || t->log_) c.set_observer(t.get());
    return t;
}

Tracer::~Tracer() { close(); }

std::string Tracer::close() {
    if (closed_) return {};
    closed_ = true;
    host_.set_transfer_observer(nullptr);
    driver_.set_observer(nullptr);
    board_.controller().set_observer(nullptr);
    std::string failed;
    auto check = [&](int error, const char* what, const std::string& path) {
        if (error == 0) return;
        failed += (failed.empty() ? "" : "; ") + std::string("cannot write the ") + what + " " + path + ": " +
                  std::strerror(error);
    };
    if (pcap_) check(pcap_->close(), "capture", files_.pcap);
    if (vcd_) check(vcd_->finish(board_.now()), "value change dump", files_.vcd);
    int log_error = log_ && log_file_ ? log_->error() : 0;
    vcd_.reset();
    pcap_.reset();
    log_.reset();
    if (log_file_ && std::fclose(log_file_) != 0 && log_error == 0) log_error = errno != 0 ? errno : EIO;
    log_file_ = nullptr;
    check(log_error, "log", files_.log);
    return failed;
}

void Tracer::host_event(const host::HostEvent& event) {
    if (log_) log_->host_event(event);
}

void Tracer::submitted(const host::TransferRecord& transfer) { pcap_->submitted(transfer); }

void Tracer::completed(const host::TransferRecord& transfer) { pcap_->completed(transfer); }

void Tracer::call(const host::DriverCall& call) { log_->driver_call(call); }

void Tracer::pins(usb::clock_t when, uint8_t pins_a, uint8_t pins_c) {
    if (vcd_) vcd_->pins(when, pins_a, pins_c);
}

void Tracer::strobe(usb::clock_t start, uint8_t width, bool write, uint8_t bus, bool driven) {
    if (vcd_) vcd_->strobe(start, width, write, bus, driven);
}

void Tracer::attach(usb::clock_t when, bool attached) {
    if (vcd_) vcd_->attach(when, attached);
    if (log_) log_->attach(when, attached);
}

void Tracer::cpu_hold(usb::clock_t when, bool held) {
    if (log_) log_->cpu_hold(when, held);
}

}  // namespace vboard::trace
