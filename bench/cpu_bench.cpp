// Speed of the 8051 core, side by side with ucsim's s51 on the same programs.
//
//   build/bin/cpu_bench                 Google Benchmark cases, then the comparison
//   build/bin/cpu_bench --compare-only  the comparison alone
//   build/bin/cpu_bench --no-s51        no comparison
//
// Both simulators run each program from reset to its `done` loop at 0x0003;
// rates are instructions per second of CPU time (s51: user + system time of
// the process, less the time of an empty run that only loads and stops).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cpu/cpu.h"
#include "cpu/image.h"
#include "diag/diagnostics.h"

#ifndef BENCH_PROGRAM_DIR
#error "BENCH_PROGRAM_DIR must name the directory of the assembled programs"
#endif

namespace {

constexpr std::uint16_t done_addr = 0x0003;

// The core on a plain 8052 map, as `vboard cpu` sets it up.
struct Machine {
    std::unique_ptr<std::uint8_t[]> code = std::make_unique<std::uint8_t[]>(0x10000);
    std::unique_ptr<std::uint8_t[]> xram = std::make_unique<std::uint8_t[]>(0x10000);
    vboard::Diagnostics diag;
    vboard::Cpu cpu{&diag};

    explicit Machine(const std::string& image) {
        std::string error;
        if (!vboard::load_image(image, code.get(), nullptr, &error)) {
            std::fprintf(stderr, "cpu_bench: %s\n", error.c_str());
            std::exit(1);
        }
        cpu.set_code(code.get());
        cpu.map_xdata_memory(0, 0x10000, xram.get());
        for (int a = 0x80; a < 0x100; ++a) cpu.attach_sfr_register(static_cast<std::uint8_t>(a), 0);
        cpu.set_movx_page_sfr(0xA0);
        cpu.reset();
        cpu.set_breakpoint(done_addr);
    }
};

std::string program(const char* name) { return std::string(BENCH_PROGRAM_DIR) + "/" + name + ".ihx"; }

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---- Google Benchmark cases ------------------------------------------------------------

void run_slices(benchmark::State& state, const char* name) {
    Machine m(program(name));
    std::uint64_t instructions = 0;
    for (auto _ : state) {
        const std::uint64_t before = m.cpu.instructions();
        if (m.cpu.run(m.cpu.cycles() + 1'000'000) == vboard::StopReason::breakpoint) m.cpu.reset();
        instructions += m.cpu.instructions() - before;
    }
    state.counters["inst/s"] = benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
}

void BM_reference_loop(benchmark::State& state) { run_slices(state, "reference"); }
void BM_mixed(benchmark::State& state) { run_slices(state, "mixed"); }
BENCHMARK(BM_reference_loop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mixed)->Unit(benchmark::kMillisecond);

// A trace hook that does nothing: what tracing costs per instruction.
void BM_reference_loop_traced(benchmark::State& state) {
    Machine m(program("reference"));
    static std::uint64_t seen = 0;
    m.cpu.set_trace([](void*, const vboard::Cpu&) { ++seen; }, nullptr);
    std::uint64_t instructions = 0;
    for (auto _ : state) {
        const std::uint64_t before = m.cpu.instructions();
        if (m.cpu.run(m.cpu.cycles() + 1'000'000) == vboard::StopReason::breakpoint) m.cpu.reset();
        instructions += m.cpu.instructions() - before;
    }
    benchmark::DoNotOptimize(seen);
    state.counters["inst/s"] = benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_reference_loop_traced)->Unit(benchmark::kMillisecond);

// Coverage counting on: what the counts cost per instruction.
void BM_reference_loop_counted(benchmark::State& state) {
    Machine m(program("reference"));
    const auto counts = std::make_unique<vboard::CodeCounts>();
    m.cpu.set_coverage(counts.get());
    std::uint64_t instructions = 0;
    for (auto _ : state) {
        const std::uint64_t before = m.cpu.instructions();
        if (m.cpu.run(m.cpu.cycles() + 1'000'000) == vboard::StopReason::breakpoint) m.cpu.reset();
        instructions += m.cpu.instructions() - before;
    }
    state.counters["inst/s"] = benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_reference_loop_counted)->Unit(benchmark::kMillisecond);

// ---- side-by-side comparison with s51 --------------------------------------------------

struct Rate {
    std::uint64_t instructions = 0;
    double seconds = 0;
    double per_second() const { return seconds > 0 ? static_cast<double>(instructions) / seconds : 0; }
};

// Runs the whole program on the core; best of `reps` runs.
Rate vboard_rate(const char* name, int reps) {
    Rate best;
    for (int r = 0; r < reps; ++r) {
        Machine m(program(name));
        const double t0 = cpu_seconds();
        const vboard::StopReason why = m.cpu.run(~0ull);
        const double t = cpu_seconds() - t0;
        if (why != vboard::StopReason::breakpoint) {
            std::fprintf(stderr, "cpu_bench: %s did not reach its end\n", name);
            std::exit(1);
        }
        if (best.seconds == 0 || t < best.seconds) best = Rate{m.cpu.instructions(), t};
    }
    return best;
}

// CPU seconds of one s51 run of `image` up to `done`, or a negative value.
double s51_seconds(const std::string& image) {
    char dir[] = "/tmp/cpu_bench.XXXXXX";
    if (!mkdtemp(dir)) return -1;
    const std::string cmd = std::string(dir) + "/cmd";
    const std::string out = std::string(dir) + "/out";
    {
        std::ofstream f(cmd);
        f << "file \"" << image << "\"\nbreak 0x" << std::hex << done_addr << "\ngo\nkill\n";
    }
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_in = open("/dev/null", O_RDONLY);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (null_in < 0 || fd < 0) _exit(127);
        dup2(null_in, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        execlp("timeout", "timeout", "600", "s51", "-t", "8052", "-C", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    getrusage(RUSAGE_CHILDREN, &after);
    std::ifstream o(out);
    const std::string text((std::istreambuf_iterator<char>(o)), std::istreambuf_iterator<char>());
    std::remove(cmd.c_str());
    std::remove(out.c_str());
    rmdir(dir);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.find("Stop at 0x000003") == std::string::npos) return -1;
    auto secs = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; };
    return (secs(after.ru_utime) - secs(before.ru_utime)) + (secs(after.ru_stime) - secs(before.ru_stime));
}

// CPU seconds of one `vboard cpu --until 0003 <image>` run, or a negative value.
double vboard_command_seconds(const std::string& image) {
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd < 0) _exit(127);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        execl(VBOARD_EXE, VBOARD_EXE, "cpu", "--until", "0003", image.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    getrusage(RUSAGE_CHILDREN, &after);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    auto secs = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; };
    return (secs(after.ru_utime) - secs(before.ru_utime)) + (secs(after.ru_stime) - secs(before.ru_stime));
}

int compare() {
    if (s51_seconds(program("empty")) < 0) {
        std::printf("s51 comparison: s51 not available or failed (is sdcc-ucsim installed?)\n");
        return 1;
    }
    int failures = 0;
    for (const char* name : {"reference", "mixed"}) {
        const Rate v = vboard_rate(name, 3);
        const double empty = s51_seconds(program("empty"));
        const double total = s51_seconds(program(name));
        if (empty < 0 || total < 0) {
            std::printf("%-10s s51 run failed\n", name);
            ++failures;
            continue;
        }
        const Rate s{v.instructions, total - empty};
        std::printf("%-10s %llu instructions: vboard %.1f M inst/s, s51 %.2f M inst/s, ratio %.1fx\n", name,
                    static_cast<unsigned long long>(v.instructions), v.per_second() / 1e6, s.per_second() / 1e6,
                    v.per_second() / s.per_second());
        // The `vboard cpu` command on the same program, as s51 is run: a whole
        // process, less one that only loads the empty program.
        double command = -1;
        for (int k = 0; k < 3; ++k) {
            const double c = vboard_command_seconds(program(name)) - vboard_command_seconds(program("empty"));
            if (c > 0 && (command < 0 || c < command)) command = c;
        }
        if (command > 0) {
            const Rate c{v.instructions, command};
            std::printf("%-10s `vboard cpu` command %.1f M inst/s, ratio to s51 %.1fx\n", name,
                        c.per_second() / 1e6, c.per_second() / s.per_second());
        } else {
            std::printf("%-10s `vboard cpu` command failed\n", name);
            ++failures;
        }
        std::fflush(stdout);
    }
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool run_gbench = true, run_compare = true;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--compare-only"))
            run_gbench = false;
        else if (!std::strcmp(argv[i], "--no-s51"))
            run_compare = false;
        else
            rest.push_back(argv[i]);
    }
    if (run_gbench) {
        int n = static_cast<int>(rest.size());
        benchmark::Initialize(&n, rest.data());
        if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 1;
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    return run_compare ? compare() : 0;
}
