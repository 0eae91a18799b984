#include "simulators.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string_view>

extern char** environ;

namespace cpu_diff {
namespace fs = std::filesystem;
namespace {

std::string hex(unsigned v, int digits) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%0*X", digits, v);
    return buf;
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct ProcessResult {
    std::string error;  // could not start, killed, or a non-zero exit (with its stderr)
    int exit_code = -1;
    std::string out;
};

// Runs argv under `timeout`, stdin from /dev/null, stdout and stderr into
// workdir/tag.out and tag.err.
ProcessResult run_process(const std::vector<std::string>& argv, const fs::path& workdir,
                          const std::string& tag) {
    std::vector<std::string> full = {"timeout", "-k", "5", std::to_string(kTimeoutSeconds)};
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& a : full) args.push_back(a.data());
    args.push_back(nullptr);

    const fs::path out = workdir / (tag + ".out"), err = workdir / (tag + ".err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, "timeout", &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);

    ProcessResult r;
    if (rc != 0) {
        r.error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return r;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            r.error = std::string("waitpid: ") + std::strerror(errno);
            return r;
        }
    }
    r.out = slurp(out);
    if (!WIFEXITED(status)) {
        r.error = argv[0] + " ended by a signal";
        return r;
    }
    r.exit_code = WEXITSTATUS(status);
    if (r.exit_code == 124 || r.exit_code == 137) {
        r.error = argv[0] + " timed out after " + std::to_string(kTimeoutSeconds) + " s";
    } else if (r.exit_code == 126 || r.exit_code == 127) {
        r.error = "cannot run " + argv[0];
    }
    if (!r.error.empty() || r.exit_code != 0) {
        std::string e = slurp(err);
        if (e.size() > 400) e.resize(400);
        if (r.error.empty()) r.error = argv[0] + " exited with status " + std::to_string(r.exit_code);
        if (!e.empty()) r.error += ": " + e;
    }
    return r;
}

// "0x0040 00 11 ... (16 bytes)" -> address and bytes; false for any other line.
bool parse_dump_line(std::string_view line, unsigned& address, int& address_digits,
                     std::array<uint8_t, 16>& bytes) {
    if (line.substr(0, 2) != "0x") return false;
    std::istringstream in{std::string(line.substr(2))};
    std::string token;
    if (!(in >> token) || token.size() > 4) return false;
    char* end = nullptr;
    address = static_cast<unsigned>(std::strtoul(token.c_str(), &end, 16));
    if (*end != '\0') return false;
    address_digits = static_cast<int>(token.size());
    for (auto& b : bytes) {
        if (!(in >> token) || token.size() != 2) return false;
        b = static_cast<uint8_t>(std::strtoul(token.c_str(), &end, 16));
        if (*end != '\0') return false;
    }
    return true;
}

}  // namespace

std::string first_difference(const CpuState& e, const CpuState& g) {
    auto diff = [](const std::string& field, unsigned ev, unsigned gv, int digits) {
        return field + ": expected " + hex(ev, digits) + ", got " + hex(gv, digits);
    };
    if (e.pc != g.pc) return diff("PC", e.pc, g.pc, 4);
    if (e.a != g.a) return diff("A", e.a, g.a, 2);
    if (e.b != g.b) return diff("B", e.b, g.b, 2);
    if (e.psw != g.psw) return diff("PSW", e.psw, g.psw, 2);
    if (e.sp != g.sp) return diff("SP", e.sp, g.sp, 2);
    if (e.dptr != g.dptr) return diff("DPTR", e.dptr, g.dptr, 4);
    for (unsigned i = 0; i < 256; ++i)
        if (e.iram[i] != g.iram[i]) return diff("IRAM " + hex(i, 2), e.iram[i], g.iram[i], 2);
    for (unsigned i = 0; i < 256; ++i)
        if (e.xram[i] != g.xram[i]) return diff("XRAM " + hex(i, 4), e.xram[i], g.xram[i], 2);
    if (e.instructions != g.instructions)
        return "INSTS: expected " + std::to_string(e.instructions) + ", got " +
               std::to_string(g.instructions);
    return {};
}

bool on_path(const std::string& tool) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const fs::path p = fs::path(dir) / tool;
        if (access(p.c_str(), X_OK) == 0 && !fs::is_directory(p)) return true;
    }
    return false;
}

// The command file dumps internal RAM, then the SFRs, then external RAM;
// internal RAM and SFR lines both have two-digit addresses and are told
// apart by order.
RunResult parse_s51_output(const std::string& text) {
    RunResult r;
    std::array<uint8_t, 128> sfr{};
    int iram_lines = 0, sfr_lines = 0, xram_lines = 0;
    bool have_pc = false, have_insts = false;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        unsigned address = 0;
        int digits = 0;
        std::array<uint8_t, 16> bytes{};
        if (line.rfind("Stop at 0x", 0) == 0) {
            r.state.pc = static_cast<uint16_t>(std::strtoul(line.c_str() + 10, nullptr, 16));
            have_pc = true;
        } else if (line.rfind("Inst= ", 0) == 0) {
            r.state.instructions = std::strtoull(line.c_str() + 6, nullptr, 10);
            have_insts = true;
        } else if (parse_dump_line(line, address, digits, bytes)) {
            if (digits == 4 && xram_lines < 16 && address == 16u * xram_lines) {
                std::copy(bytes.begin(), bytes.end(), r.state.xram.begin() + address);
                ++xram_lines;
            } else if (digits == 2 && iram_lines < 16 && address == 16u * iram_lines) {
                std::copy(bytes.begin(), bytes.end(), r.state.iram.begin() + address);
                ++iram_lines;
            } else if (digits == 2 && iram_lines == 16 && sfr_lines < 8 &&
                       address == 0x80u + 16u * sfr_lines) {
                std::copy(bytes.begin(), bytes.end(), sfr.begin() + (address - 0x80));
                ++sfr_lines;
            }
        }
    }
    if (!have_pc || !have_insts || iram_lines != 16 || sfr_lines != 8 || xram_lines != 16) {
        r.error = "could not read s51's output (stop line, state, or memory dumps missing)";
        return r;
    }
    r.state.sp = sfr[0x81 - 0x80];
    r.state.dptr = static_cast<uint16_t>(sfr[0x83 - 0x80] << 8 | sfr[0x82 - 0x80]);
    r.state.psw = sfr[0xD0 - 0x80];
    r.state.a = sfr[0xE0 - 0x80];
    r.state.b = sfr[0xF0 - 0x80];
    return r;
}

RunResult parse_vboard_output(const std::string& text) {
    RunResult r;
    unsigned seen = 0;  // bit per field
    int iram_lines = 0, xram_lines = 0;
    std::istringstream in(text);
    std::string line;
    auto bad = [&](const std::string& what) {
        r.error = "could not read vboard's output: " + what;
        return r;
    };
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        auto hex_value = [&](unsigned max, unsigned& out) {
            std::string v;
            char* end = nullptr;
            if (!(words >> v)) return false;
            out = static_cast<unsigned>(std::strtoul(v.c_str(), &end, 16));
            return *end == '\0' && out <= max;
        };
        unsigned v = 0;
        if (key == "PC" || key == "DPTR") {
            if (!hex_value(0xFFFF, v)) return bad(line);
            (key == "PC" ? r.state.pc : r.state.dptr) = static_cast<uint16_t>(v);
            seen |= key == "PC" ? 1u : 2u;
        } else if (key == "A" || key == "B" || key == "PSW" || key == "SP") {
            if (!hex_value(0xFF, v)) return bad(line);
            uint8_t& field = key == "A" ? r.state.a : key == "B" ? r.state.b : key == "PSW" ? r.state.psw : r.state.sp;
            field = static_cast<uint8_t>(v);
            seen |= key == "A" ? 4u : key == "B" ? 8u : key == "PSW" ? 16u : 32u;
        } else if (key == "IRAM" || key == "XRAM") {
            const bool iram = key == "IRAM";
            int& lines = iram ? iram_lines : xram_lines;
            unsigned address = 0;
            if (!hex_value(0xFF, address) || address != 16u * lines) return bad(line);
            for (int i = 0; i < 16; ++i) {
                if (!hex_value(0xFF, v)) return bad(line);
                (iram ? r.state.iram : r.state.xram)[address + i] = static_cast<uint8_t>(v);
            }
            ++lines;
        } else if (key == "INSTS" || key == "CYCLES") {
            std::string n;
            char* end = nullptr;
            if (!(words >> n)) return bad(line);
            const uint64_t value = std::strtoull(n.c_str(), &end, 10);
            if (*end != '\0') return bad(line);
            (key == "INSTS" ? r.state.instructions : r.state.cycles) = value;
            seen |= key == "INSTS" ? 64u : 128u;
        }
    }
    if (seen != 255u || iram_lines != 16 || xram_lines != 16) return bad("fields missing");
    return r;
}

RunResult run_s51(const fs::path& workdir, const std::string& tag, const fs::path& image_hex,
                  uint64_t steps) {
    const fs::path commands = workdir / (tag + ".s51");
    {
        std::ofstream c(commands);
        c << "fill iram 0 0xff 0\n"
             "fill xram 0 0xffff 0\n"
          << "file \"" << fs::absolute(image_hex).string() << "\"\n"
          << "step " << steps << "\n"
          << "state\n"
             "dump /h iram 0 0xff 16\n"
             "dump /h sfr 0x80 0xff 16\n"
             "dump /h xram 0 0xff 16\n"
             "kill\n";
        if (!c) return {"cannot write " + commands.string(), {}};
    }
    const ProcessResult p = run_process({"s51", "-t", "8052", "-C", commands.string()}, workdir, tag);
    if (!p.error.empty()) return {p.error, {}};
    RunResult r = parse_s51_output(p.out);
    if (r.error.empty() && r.state.instructions != steps)
        r.error = "s51 ran " + std::to_string(r.state.instructions) + " instructions, asked for " +
                  std::to_string(steps);
    return r;
}

RunResult run_vboard(const fs::path& vboard, const fs::path& workdir, const std::string& tag,
                     const fs::path& image, const VboardStop& stop) {
    std::vector<std::string> argv = {vboard.string(), "cpu"};
    if (stop.until) {
        argv.insert(argv.end(), {"--until", "0x" + hex(static_cast<unsigned>(stop.value), 4)});
        if (stop.max_steps) argv.insert(argv.end(), {"--max-steps", std::to_string(stop.max_steps)});
    } else {
        argv.insert(argv.end(), {"--steps", std::to_string(stop.value)});
    }
    argv.push_back(image.string());
    const ProcessResult p = run_process(argv, workdir, tag);
    if (!p.error.empty()) return {p.error, {}};
    return parse_vboard_output(p.out);
}

}  // namespace cpu_diff
