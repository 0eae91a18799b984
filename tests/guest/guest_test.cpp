// The Linux kernel as the judge of the board: Debian's kernel boots under
// QEMU (TCG) with an xHCI controller whose usb-redir port is this process's
// board, served by the same usb-redir server as `vboard serve --usbredir`.
// The guest's /init (init.sh) reports what the kernel recorded in sysfs,
// runs the Linux card tool cold and warm, and streams 1 MiB each way
// (guest_stream.cpp). This program compares the report with expected.txt
// byte for byte, and the streamed data with what the card saw on its bus.
//
// usage: guest_test CARD_TOOL GUEST_STREAM SOURCE_DIR [TIMEOUT_S]
// Exit status 0 when everything matches, 1 otherwise (one line says what).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "serve/session.h"
#include "stream_pattern.h"
#include "usbredir/server.h"

namespace {

namespace fs = std::filesystem;
using vboard::controller::BusEvent;
using Clock = std::chrono::steady_clock;

constexpr size_t card_image_pages = 2000;  // 1,056,000 bytes: more than the stream reads
constexpr size_t page_bytes = 528;

int fail(const std::string& why) {
    std::printf("guest test: %s\n", why.c_str());
    return 1;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The newest kernel in /boot whose modules are installed.
std::string kernel_release() {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/boot", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("vmlinuz-", 0) == 0 && fs::exists("/lib/modules/" + name.substr(8) + "/modules.dep"))
            found.push_back(name.substr(8));
    }
    std::sort(found.begin(), found.end());
    return found.empty() ? std::string() : found.back();
}

// Starts a program with standard input from /dev/null and standard output
// on `stdout_fd` (-1: ours); it is killed when this process ends, however
// that happens.
pid_t spawn(const std::vector<std::string>& args, int stdout_fd) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    if (stdout_fd >= 0) dup2(stdout_fd, 1);
    execvp(argv[0], argv.data());
    _exit(127);
}

// The bytes of the strobes of one kind between two port C writes, for every
// such run.
std::vector<std::vector<unsigned char>> strobe_runs(const std::vector<BusEvent>& events, BusEvent::Kind kind) {
    std::vector<std::vector<unsigned char>> runs(1);
    for (const BusEvent& e : events) {
        if (e.kind == BusEvent::Kind::outc || e.kind == BusEvent::Kind::oec) {
            if (!runs.back().empty()) runs.emplace_back();
        } else if (e.kind == kind) {
            runs.back().push_back(e.value);
        }
    }
    return runs;
}

std::string hex64(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return fail("usage: guest_test CARD_TOOL GUEST_STREAM SOURCE_DIR [TIMEOUT_S]");
    const std::string card_tool = argv[1], guest_stream = argv[2];
    const fs::path source = argv[3];
    const int timeout_s = argc > 4 ? std::atoi(argv[4]) : 300;

    const std::string release = kernel_release();
    if (release.empty()) return fail("no kernel in /boot with its modules in /lib/modules (linux-image-amd64)");
    char dir_template[] = "/tmp/nebu-guest-XXXXXX";
    if (!mkdtemp(dir_template)) return fail(std::string("cannot make a temporary directory: ") + std::strerror(errno));
    const fs::path dir = dir_template;
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } cleanup{dir};

    // The card: a pattern in its first pages, so that the bus-to-host stream
    // reads something the test can recognise.
    const std::vector<unsigned char> image = guest_test::pattern(card_image_pages * page_bytes, 2);
    {
        std::ofstream out(dir / "card.img", std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    const fs::path initrd = dir / "initrd.gz";
    {
        const pid_t pid = spawn({(source / "make_initramfs.sh").string(), initrd.string(), release,
                                 (source / "init.sh").string(), card_tool, guest_stream},
                                -1);
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return fail("make_initramfs.sh failed");
    }

    vboard::serve::BoardOptions options;
    options.card_image = (dir / "card.img").string();
    // The guest reads the card's first 1 MiB as one stream, across pages.
    options.card_busy_times = false;
    std::string error;
    auto session = vboard::serve::Session::create(options, error);
    if (!session) return fail(error);
    vboard::board::Board& board = session->board();
    board.ports().record(true, 3 * guest_test::stream_bytes);
    auto server = vboard::usbredir::Server::start(
        std::move(session), 0, [](const std::string& line) { std::printf("vboard: %s\n", line.c_str()); },
        error);
    if (!server) return fail(error);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return fail("cannot make a pipe");
    // QEMU clears the remote wake-up bit of configuration descriptors unless
    // told not to; the kernel is to see the firmware's own.
    const std::string chardev = "socket,id=redir,host=127.0.0.1,port=" + std::to_string(server->port());
    const pid_t qemu = spawn({"qemu-system-x86_64", "-accel", "tcg", "-m", "256", "-nodefaults", "-no-reboot",
                              "-display", "none", "-serial", "stdio", "-monitor", "none", "-kernel",
                              "/boot/vmlinuz-" + release, "-initrd", initrd.string(), "-append",
                              "console=ttyS0 panic=-1 quiet", "-device", "qemu-xhci,id=xhci", "-chardev", chardev,
                              "-device", "usb-redir,chardev=redir,bus=xhci.0,suppress-remote-wake=off"},
                             pipe_fds[1]);
    close(pipe_fds[1]);
    if (qemu < 0) return fail(std::string("cannot fork: ") + std::strerror(errno));
    fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);

    // The board runs, paced to the wall clock, while the guest does its part.
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(timeout_s);
    std::string console;
    bool exited = false;
    int qemu_status = 0;
    while (!exited) {
        server->step(5);
        char chunk[4096];
        ssize_t n;
        while ((n = read(pipe_fds[0], chunk, sizeof chunk)) > 0) console.append(chunk, static_cast<size_t>(n));
        exited = waitpid(qemu, &qemu_status, WNOHANG) == qemu;
        if (!exited && Clock::now() > deadline) {
            kill(qemu, SIGKILL);
            waitpid(qemu, &qemu_status, 0);
            std::printf("%s\n", console.c_str());
            return fail("the guest did not power off within " + std::to_string(timeout_s) +
                        " s (its console is above)");
        }
    }
    close(pipe_fds[0]);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    console.erase(std::remove(console.begin(), console.end(), '\r'), console.end());

    // The report, byte for byte.
    const size_t begin = console.find("=== BEGIN ===\n");
    const size_t end = console.find("=== END ===\n");
    if (begin == std::string::npos || end == std::string::npos || end < begin) {
        std::printf("%s\n", console.c_str());
        if (WIFEXITED(qemu_status) && WEXITSTATUS(qemu_status) == 127)
            return fail("cannot run qemu-system-x86_64 (qemu-system-x86)");
        return fail("the guest's report is incomplete (its console is above; qemu-system-x86_64 exited with " +
                    std::to_string(WIFEXITED(qemu_status) ? WEXITSTATUS(qemu_status) : 128 + WTERMSIG(qemu_status)) +
                    ")");
    }
    const std::string report = console.substr(begin, end + 12 - begin);
    const std::string expected = read_file(source / "expected.txt");
    int failures = 0;
    if (report != expected) {
        std::printf("---- the guest reported:\n%s---- expected (tests/guest/expected.txt):\n%s----\n", report.c_str(),
                    expected.c_str());
        failures += fail("the guest's report differs from expected.txt");
    }

    // The streams against what the card saw on its bus.
    const std::vector<unsigned char> sent = guest_test::pattern(guest_test::stream_bytes);
    const std::vector<unsigned char> card_data(image.begin(), image.begin() + guest_test::stream_bytes);
    const auto& events = board.ports().events();
    const auto written = strobe_runs(events, BusEvent::Kind::fwr);
    const auto read_in = strobe_runs(events, BusEvent::Kind::frd);
    if (std::find(written.begin(), written.end(), sent) == written.end())
        failures += fail("no run of write strobes on the card's bus carried the 1 MiB the guest sent");
    if (std::find(read_in.begin(), read_in.end(), card_data) == read_in.end())
        failures += fail("no run of read strobes took the card's first 1 MiB");
    if (report.find("out 1048576 rc 0 fnv " + hex64(guest_test::fnv1a(sent)) + "\n") == std::string::npos)
        failures += fail("the guest's out line does not fingerprint the pattern");
    if (report.find("in 1048576 rc 0 0 fnv " + hex64(guest_test::fnv1a(card_data)) + "\n") == std::string::npos)
        failures += fail("the guest did not receive the card's first 1 MiB");
    if (board.ports().dropped_events() != 0) failures += fail("the bus record overflowed");
    if (board.stream_packets_after_short() != 0)
        failures += fail("the kernel wrote a stream in pieces that are not whole packets");

    std::ostringstream findings;
    board.diagnostics().print(findings);
    if (!findings.str().empty()) failures += fail("the firmware did what the board reports:\n" + findings.str());

    // What the kernel logged about the board, for the reader.
    for (size_t at = console.find("KERNEL "); at != std::string::npos; at = console.find("KERNEL ", at + 1))
        std::printf("%s\n", console.substr(at, console.find('\n', at) - at).c_str());
    const size_t timing = console.find("GUEST time");
    std::printf("guest test: %.1f s wall clock; %s", wall,
                timing == std::string::npos ? "no stream timing\n"
                                            : console.substr(timing + 6, console.find('\n', timing) - timing - 5).c_str());
    return failures == 0 ? 0 : 1;
}
