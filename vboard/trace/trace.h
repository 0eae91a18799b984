// Traces of a running board in the formats other tools read: a USB capture
// (usbmon pcap, for Wireshark and tshark), a value change dump of the card
// bus (for PulseView, GTKWave and sigrok-cli) and a readable log.
//
// The writers are observers: the host reports transfers, the driver its
// calls, the controller pin changes, strobes, attach changes and the
// loader's holds. A Tracer attaches the writers that are asked for and
// detaches them when it goes; a board without one pays nothing. Every
// writer holds a fixed-size buffer at most, however long the run.
// README.md beside this file describes the three files.
//
// Index of the component:
//   pcap.cpp     PcapWriter: submission and completion records, link type 220
//   vcd.cpp      VcdWriter: PC0..PC7, D0..D7, FWR_N, FRD_N, USB_ATTACH in ns
//   log.cpp      TextLog: one line per driver call and per bus or board event
//   tracer.cpp   Tracer: the writers attached to a board, its host and driver
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "controller/observer.h"
#include "host/host.h"
#include "host/observer.h"

namespace vboard::board {
class Board;
}
namespace vboard::host {
class Driver;
}

namespace vboard::trace {

// ---- pcap.cpp ---------------------------------------------------------------------

// Every transfer as a usbmon capture: one submission ('S') and one
// completion ('C') record, bus 1, time stamps in simulated time from 0.
// Each record reaches the file when it is written, so a run that is killed
// leaves a valid capture.
class PcapWriter final : public host::TransferObserver {
public:
    // Null with one line in `error` when the file cannot be created.
    static std::unique_ptr<PcapWriter> open(const std::string& path, std::string& error);
    ~PcapWriter() override;

    void submitted(const host::TransferRecord& transfer) override;
    void completed(const host::TransferRecord& transfer) override;

    // Data bytes kept per record; longer transfers are cut (`len_cap`), as
    // a capture with this snapshot length would cut them.
    static constexpr uint32_t max_data = 65536;
    static constexpr uint32_t header_size = 64;  // the usbmon header of link type 220
    static constexpr uint16_t bus = 1;

    // Closes the file; the system's error number of the first write, flush
    // or close that failed, 0 when every byte reached the file.
    int close();

private:
    explicit PcapWriter(std::FILE* file) : file_(file) {}
    void record(const host::TransferRecord& transfer, bool completion);

    std::FILE* file_;
    int error_ = 0;
};

// The negative errno a Linux capture shows for a transfer's end.
int32_t usbmon_status(host::Status status);

// ---- vcd.cpp ----------------------------------------------------------------------

// The card bus as a value change dump, timescale 1 ns. D0..D7 are driven
// only during a strobe pulse (from its start to one board clock after its
// end) and show `z` otherwise, also during an FRD# pulse the card did not
// answer. Output goes through a fixed buffer written out in whole
// time steps.
class VcdWriter final : public controller::Observer {
public:
    struct Start {
        usb::clock_t when = 0;
        uint8_t pins_a = 0xFF;
        uint8_t pins_c = 0xFF;
        bool attached = false;
    };
    static std::unique_ptr<VcdWriter> open(const std::string& path, const Start& start, std::string& error);
    ~VcdWriter() override;

    void pins(usb::clock_t when, uint8_t pins_a, uint8_t pins_c) override;
    void strobe(usb::clock_t start, uint8_t width, bool write, uint8_t bus, bool driven) override;
    void attach(usb::clock_t when, bool attached) override;
    void cpu_hold(usb::clock_t, bool) override {}

    // Marks the end of the trace at `when`, writes everything out and
    // closes the file: the system's error number of the first write, flush
    // or close that failed, 0 when the whole dump reached the file.
    int finish(usb::clock_t when);

    static constexpr size_t buffer_size = 64 * 1024;

private:
    // Signal indexes: PC0..PC7, D0..D7, FWR_N, FRD_N, USB_ATTACH.
    static constexpr int pc0 = 0, d0 = 8, fwr = 16, frd = 17, usb_attach = 18, signals = 19;

    explicit VcdWriter(std::FILE* file) : file_(file) {}
    void write_out();
    void at(usb::clock_t when);
    void set(int signal, char value);
    void set_bus(int first, uint8_t byte);
    void set_port_a(uint8_t pins_a);
    void flush_whole_steps();

    std::FILE* file_;
    int error_ = 0;
    std::string buffer_;
    size_t whole_ = 0;            // buffer bytes up to the last complete time step
    uint64_t time_ns_ = 0;
    bool started_ = false;
    char value_[signals] = {};
    uint8_t rest_a_ = 0xFF;       // port A at rest: the strobes' inactive levels
};

// ---- log.cpp ----------------------------------------------------------------------

// One line per driver call and per bus or board event, each starting with
// the simulated time in seconds; a driver call's line is stamped when it
// returned and says how long it took. Every line is written out at once.
class TextLog final {
public:
    // Writes to each of `files` (not closed here).
    explicit TextLog(std::vector<std::FILE*> files) : files_(std::move(files)) {}

    void driver_call(const host::DriverCall& call);
    void host_event(const host::HostEvent& event);
    void attach(usb::clock_t when, bool attached);
    void cpu_hold(usb::clock_t when, bool held);
    void line(usb::clock_t when, const std::string& text);
    // The system's error number of the first failed write to a file other
    // than standard error (which is not checked), 0 when none failed. A
    // file that failed is written no more.
    int error() const { return error_; }

private:
    std::vector<std::FILE*> files_;
    int error_ = 0;
};

// One line for a driver call, without the time:
// "bulk_write pipe 0 length 6 001407f11224 (handle 1, took 0.050 ms): ok, 6 bytes".
std::string describe(const host::DriverCall& call);

// ---- tracer.cpp -------------------------------------------------------------------

struct Files {
    std::string pcap;      // empty: no capture
    std::string vcd;       // empty: no value change dump
    std::string log;       // empty: no log file
    bool verbose = false;  // the log on standard error too

    bool any() const { return !pcap.empty() || !vcd.empty() || !log.empty() || verbose; }
};

class Tracer final : public host::TransferObserver, public host::DriverObserver, public controller::Observer {
public:
    // Opens the files and attaches to the board, its host and its driver
    // (replacing their observers). Null with one line in `error` when a file
    // cannot be created.
    static std::unique_ptr<Tracer> attach(board::Board& board, host::Host& host, host::Driver& driver,
                                          const Files& files, std::string& error);
    // Detaches and completes the files: one line naming each file that was
    // not written completely and why, empty when all were. Once only.
    std::string close();
    // close(), its answer dropped when not asked for already.
    ~Tracer() override;
    Tracer(const Tracer&) = delete;
    Tracer& operator=(const Tracer&) = delete;

    // The host's port and bus events; whoever owns the host's event
    // observer passes them on.
    void host_event(const host::HostEvent& event);

    void submitted(const host::TransferRecord& transfer) override;
    void completed(const host::TransferRecord& transfer) override;
    void call(const host::DriverCall& call) override;
    void pins(usb::clock_t when, uint8_t pins_a, uint8_t pins_c) override;
    void strobe(usb::clock_t start, uint8_t width, bool write, uint8_t bus, bool driven) override;
    void attach(usb::clock_t when, bool attached) override;
    void cpu_hold(usb::clock_t when, bool held) override;

private:
    Tracer(board::Board& board, host::Host& host, host::Driver& driver, const Files& files)
        : board_(board), host_(host), driver_(driver), files_(files) {}

    board::Board& board_;
    host::Host& host_;
    host::Driver& driver_;
    Files files_;
    bool closed_ = false;
    std::unique_ptr<PcapWriter> pcap_;
    std::unique_ptr<VcdWriter> vcd_;
    std::unique_ptr<TextLog> log_;
    std::FILE* log_file_ = nullptr;
};

}  // namespace vboard::trace
