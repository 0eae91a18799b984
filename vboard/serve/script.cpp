// Host-side scripts: parsing of the lines and running them on a session.

#include "serve/script.h"

#include "cpu/image.h"
#include "nebu.h"
#include "cmdline/cmdline.h"
#include "controller/controller.h"

#include <algorithm>

#include <charconv>
#include <cerrno>
#include <cstdio>
#include <istream>
#include <memory>
#include <ostream>

namespace vboard::serve {

namespace {

using Kind = ScriptCommand::Kind;

std::vector<std::string_view> split(std::string_view line)
{
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

std::optional<uint32_t> number(std::string_view text, int base, uint32_t max)
{
    if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty())
        return std::nullopt;
    uint32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return value;
}

std::optional<std::vector<uint8_t>> hex_bytes(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        const std::optional<uint32_t> b = number(text.substr(i, 2), 16, 0xFF);
        if (!b || text[i] == '+' || text[i] == '-')
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(*b));
    }
    return bytes;
}

std::string ok_with(const std::string& rest)
{
    return rest.empty() ? "ok" : "ok " + rest;
}

// The result word of a failed transfer.
std::string failure(host::Status status)
{
    switch (status) {
    case host::Status::stall:
        return "stall";
    case host::Status::timeout:
    case host::Status::error:      // no handshake at all: the host timed out
    case host::Status::no_device:
        return "timeout";
    default:
        return std::string("fail ") + host::status_name(status);
    }
}

ScriptLine bad(std::string why)
{
    ScriptLine line;
    line.error = std::move(why);
    return line;
}

}  // namespace

std::string hex(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string string_text(const std::vector<uint8_t>& descriptor)
{
    // As the host link converts it: length byte L, L / 2 - 1 characters,
    // each the low byte of its unit; only units inside what arrived.
    const size_t received = descriptor.size();
    const int characters = received == 0 ? 0 : descriptor[0] / 2 - 1;
    std::string text;
    for (int k = 0; k < characters && 2 + 2 * static_cast<size_t>(k) < received; ++k) {
        const uint8_t ch = descriptor[2 + 2 * static_cast<size_t>(k)];
        if (ch >= 0x20 && ch < 0x7F && ch != '\\') {
            text += static_cast<char>(ch);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", ch);
            text += escaped;
        }
    }
    return text;
}

ScriptLine parse_script_line(std::string_view text)
{
    if (const size_t hash = text.find('#'); hash != std::string_view::npos)
        text = text.substr(0, hash);
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    const std::vector<std::string_view> w = split(text);
    if (w.empty())
        return {};
    const std::string name(w[0]);
    const size_t args = w.size() - 1;
    auto arity = [&](size_t least, size_t most) -> std::optional<ScriptLine> {
        if (args < least)
            return bad(name + ": too few arguments");
        if (args > most)
            return bad(name + ": too many arguments");
        return std::nullopt;
    };
    auto field = [&](size_t k, int base, uint32_t max, uint32_t& out) -> bool {
        const std::optional<uint32_t> v = number(w[k], base, max);
        if (v)
            out = *v;
        return v.has_value();
    };
    auto field_error = [&](size_t k, const char* what, const char* form) {
        return bad(name + ": " + what + " '" + cmdline::escaped(std::string(w[k])) + "' is not " + form);
    };

    ScriptCommand c;
    if (name == "load") {
        if (auto e = arity(0, 1))
            return *e;
        c.kind = Kind::load;
        if (args == 1)
            c.image = std::string(w[1]);
    } else if (name == "enumerate" || name == "wait") {
        const bool is_wait = name == "wait";
        if (auto e = arity(is_wait ? 1 : 0, 1))
            return *e;
        c.kind = is_wait ? Kind::wait : Kind::enumerate;
        if (args == 1) {
            uint32_t ms = 0;
            if (!field(1, 10, ScriptRunner::max_ms, ms))
                return field_error(1, "MS", "a decimal count of milliseconds up to 60000");
            c.ms = ms;
        }
    } else if (name == "control") {
        if (auto e = arity(5, 6))
            return *e;
        c.kind = Kind::control;
        uint32_t rt = 0, req = 0, value = 0, index = 0, length = 0;
        if (!field(1, 16, 0xFF, rt))
            return field_error(1, "RT", "a hex byte");
        if (!field(2, 16, 0xFF, req))
            return field_error(2, "REQ", "a hex byte");
        if (!field(3, 16, 0xFFFF, value))
            return field_error(3, "VALUE", "a hex 16-bit value");
        if (!field(4, 16, 0xFFFF, index))
            return field_error(4, "INDEX", "a hex 16-bit value");
        if (!field(5, 16, 0xFFFF, length))
            return field_error(5, "LENGTH", "a hex 16-bit value");
        c.setup = {static_cast<uint8_t>(rt), static_cast<uint8_t>(req), static_cast<uint16_t>(value),
                   static_cast<uint16_t>(index), static_cast<uint16_t>(length)};
        if (c.setup.device_to_host()) {
            if (args == 6)
                return bad("control: DATA given for a device-to-host request");
        } else {
            if (args == 6) {
                const auto data = hex_bytes(w[6]);
                if (!data)
                    return field_error(6, "DATA", "hex bytes without separators");
                c.data = *data;
            }
            if (c.data.size() != length)
                return bad("control: DATA has " + std::to_string(c.data.size()) +
                           " bytes, LENGTH says " + std::to_string(length));
        }
    } else if (name == "string") {
        if (auto e = arity(1, 2))
            return *e;
        c.kind = Kind::string;
        uint32_t index = 0, language = 0;
        if (!field(1, 10, 0xFF, index))
            return field_error(1, "INDEX", "a decimal index from 0 to 255");
        c.index = static_cast<uint8_t>(index);
        if (args == 2) {
            if (!field(2, 16, 0xFFFF, language))
                return field_error(2, "LANGID", "a hex 16-bit value");
            c.language = static_cast<uint16_t>(language);
        }
    } else if (name == "out") {
        if (auto e = arity(2, 2))
            return *e;
        c.kind = Kind::out;
        if (!field(1, 10, 255, c.pipe))
            return field_error(1, "PIPE", "a decimal pipe number");
        const auto data = hex_bytes(w[2]);
        if (!data)
            return field_error(2, "DATA", "hex bytes without separators");
        c.data = *data;
    } else if (name == "in") {
        if (auto e = arity(2, 2))
            return *e;
        c.kind = Kind::in;
        if (!field(1, 10, 255, c.pipe))
            return field_error(1, "PIPE", "a decimal pipe number");
        if (!field(2, 10, 65536, c.length))
            return field_error(2, "LENGTH", "a decimal byte count up to 65536");
    } else if (name == "reset" || name == "suspend" || name == "resume" || name == "wakeup" ||
               name == "pins") {
        if (auto e = arity(0, 0))
            return *e;
        c.kind = name == "reset"     ? Kind::reset
                 : name == "suspend" ? Kind::suspend
                 : name == "resume"  ? Kind::resume
                 : name == "wakeup"  ? Kind::wakeup
                                     : Kind::pins;
    } else {
        return bad("unknown command '" + cmdline::escaped(name) + "'");
    }
    ScriptLine line;
    line.command = std::move(c);
    return line;
}

ScriptRunner::ScriptRunner(Session& session) : session_(session) {}

bool ScriptRunner::device_ready()
{
    host::Host& host = session_.host();
    if (!host.enumerated() && !host.wait_enumerated(host.profile().transfer_timeout_ms))
        return false;
    // The enumeration waited for here is not reported again by `enumerate`.
    reported_ = std::max(reported_, session_.enumerations());
    return true;
}

std::string ScriptRunner::run(const ScriptCommand& c)
{
    host::Host& host = session_.host();
    switch (c.kind) {
    case Kind::load:
        return load(c.image);
    case Kind::enumerate:
        return enumerate(c.ms);
    case Kind::control:
        return control(c);
    case Kind::string:
        return string(c);
    case Kind::out:
        return transfer(c, false);
    case Kind::in:
        return transfer(c, true);
    case Kind::reset:
        host.reset_port();
        return "ok";
    case Kind::suspend:
        host.suspend();
        return "ok";
    case Kind::resume:
        host.resume();
        return "ok";
    case Kind::wakeup:
        session_.board().press_wakeup();
        return "ok";
    case Kind::wait:
        host.wait(c.ms.value_or(0));
        return "ok";
    case Kind::pins:
        return pins();
    }
    return "fail unknown command";
}

std::string ScriptRunner::load(const std::string& path)
{
    std::vector<uint8_t> image;
    if (path.empty()) {
        image.assign(fw_bin, fw_bin + fw_size);
    } else {
        auto code = std::make_unique<uint8_t[]>(0x10000);
        std::vector<ImageRange> ranges;
        std::string error;
        if (!load_image(path, code.get(), &ranges, &error))
            return "fail " + cmdline::escaped(error);
        if (ranges.empty())
            return "fail " + cmdline::escaped(path) + " holds no bytes";
        // The loader writes the on-chip RAM only; a byte beyond it would be
        // dropped by the controller while the load looked fine.
        if (ranges.back().end > controller::ram_size) {
            char where[96];
            std::snprintf(where, sizeof where, " has bytes at 0x%04X-0x%04X, outside the on-chip RAM (0x0000-0x%04X)",
                          std::max(ranges.back().begin, controller::ram_size), ranges.back().end - 1,
                          controller::ram_size - 1);
            return "fail " + cmdline::escaped(path) + where;
        }
        image.assign(code.get(), code.get() + ranges.back().end);
    }

    if (!device_ready())
        return "fail open";
    host::Driver& driver = session_.driver();
    const std::optional<host::Driver::Handle> handle = driver.open(driver.device_number());
    if (!handle)
        return "fail open";
    auto cpucs = [&](uint8_t value) {
        // The vendor request record: the loader's request writing one byte to CPUCS.
        const uint8_t record[10] = {host::Driver::loader_request, 0, 0x92, 0x7F, 0, 0, 1, 0, 0, value};
        uint32_t returned = 0;
        return driver.io_control(*handle, host::ioctl::vendor_request, record, {}, returned);
    };
    std::string result = "ok";
    uint32_t returned = 0;
    if (!cpucs(1))
        result = "fail halt";
    else if (!driver.io_control(*handle, host::ioctl::download, image, {}, returned))
        result = "fail download";
    else if (!cpucs(0))
        result = "fail run";
    driver.close(*handle);
    // What enumerates from here on is the loaded program's.
    reported_ = session_.enumerations();
    return result;
}

std::string ScriptRunner::enumerate(std::optional<uint32_t> ms)
{
    host::Host& host = session_.host();
    const usb::clock_t start = host.now();
    const uint64_t seen = reported_;
    const bool done = host.wait_until([&] { return session_.enumerations() > seen; },
                                      ms.value_or(host.profile().transfer_timeout_ms));
    if (!done)
        return "timeout";
    reported_ = session_.enumerations();
    return "ok " + std::to_string((host.now() - start) / usb::clocks_per_ms);
}

std::string ScriptRunner::control(const ScriptCommand& c)
{
    if (!device_ready())
        return "timeout";
    const host::TransferResult r = session_.host().control(c.setup, c.data);
    if (!r.ok())
        return failure(r.status);
    return ok_with(c.setup.device_to_host() ? hex(r.data) : "");
}

std::string ScriptRunner::string(const ScriptCommand& c)
{
    if (!device_ready())
        return "fail";
    host::Driver& driver = session_.driver();
    const std::optional<host::Driver::Handle> handle = driver.open(driver.device_number());
    if (!handle)
        return "fail";
    const uint8_t record[4] = {c.index, 0, static_cast<uint8_t>(c.language),
                               static_cast<uint8_t>(c.language >> 8)};
    std::vector<uint8_t> reply(host::Driver::string_reply_max);
    uint32_t returned = 0;
    const bool ok = driver.io_control(*handle, host::ioctl::get_string, record, reply, returned);
    driver.close(*handle);
    if (!ok)
        return "fail";
    reply.resize(std::min<size_t>(returned, reply.size()));
    return ok_with(string_text(reply));
}

std::string ScriptRunner::transfer(const ScriptCommand& c, bool in)
{
    if (!device_ready())
        return "timeout";
    const std::vector<host::EndpointDescriptor> pipes = session_.driver().pipes();
    if (c.pipe >= pipes.size())
        return "fail pipe " + std::to_string(c.pipe) + " does not exist (the device has " +
               std::to_string(pipes.size()) + ")";
    const host::EndpointDescriptor& ep = pipes[c.pipe];
    if (ep.is_in() != in)
        return "fail pipe " + std::to_string(c.pipe) + " is an " + (ep.is_in() ? "IN" : "OUT") + " pipe";
    const bool interrupt = ep.type() == host::EndpointType::interrupt;
    if (!interrupt && ep.type() != host::EndpointType::bulk)
        return "fail pipe " + std::to_string(c.pipe) + " is neither bulk nor interrupt";

    host::Host& host = session_.host();
    const uint8_t interval = std::max<uint8_t>(ep.interval, 1);
    const host::TransferResult r =
        in ? (interrupt ? host.interrupt_in(ep.address, c.length, interval) : host.bulk_in(ep.address, c.length))
           : (interrupt ? host.interrupt_out(ep.address, c.data, interval) : host.bulk_out(ep.address, c.data));
    if (!r.ok())
        return failure(r.status);
    return in ? ok_with(hex(r.data)) : "ok " + std::to_string(r.sent);
}

std::string ScriptRunner::pins()
{
    controller::Ports& ports = session_.board().ports();
    char line[48];
    std::snprintf(line, sizeof line, "pc %02x oec %02x outc %02x", ports.pins_c(),
                  ports.read(controller::Ports::OEC), ports.read(controller::Ports::OUTC));
    return line;
}

int ScriptRunner::run_script(std::istream& in, std::ostream& out)
{
    int malformed = 0;
    std::string line;
    bool too_long = false;
    auto finish_line = [&] {
        std::string result;
        if (too_long) {
            result = "error line longer than " + std::to_string(max_line) + " characters";
        } else {
            const ScriptLine parsed = parse_script_line(line);
            if (parsed.blank())
                return;
            result = parsed.command ? run(*parsed.command) : "error " + parsed.error;
        }
        if (result.rfind("error ", 0) == 0)
            ++malformed;
        else if (result == "fail" || result.rfind("fail ", 0) == 0)
            ++failed_;
        out << result << '\n' << std::flush;
    };
    char ch;
    while (in.get(ch)) {
        if (ch == '\n') {
            finish_line();
            line.clear();
            too_long = false;
        } else if (line.size() < max_line) {
            line += ch;
        } else {
            too_long = true;
        }
    }
    if (in.bad()) {
        read_error_ = errno != 0 ? errno : EIO;
        return malformed;
    }
    if (!line.empty() || too_long)
        finish_line();
    return malformed;
}

}  // namespace vboard::serve
