// vboard serve / run / script: the board presented to programs through its
// rendezvous socket, alone or for the life of one command, and host-side
// scripts against a fresh board on simulated time.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "commands.h"
#include "link/rendezvous.h"
#include "serve/board_server.h"
#include "serve/options.h"
#include "serve/script.h"
#include "usbredir/server.h"

extern char** environ;

namespace vboard::cli {

namespace {

constexpr const char* serve_usage =
    "usage: vboard serve [--usbredir PORT] [OPTIONS]\n"
    "Presents board N (device path \\\\.\\ezusb-N) to programs on this machine until\n"
    "interrupted. Simulated time follows the clock unless --fast.\n"
    "With --usbredir, presents the board's USB port instead to one usb-redir peer at\n"
    "a time on 127.0.0.1:PORT (QEMU: -chardev socket,id=u,host=127.0.0.1,port=PORT\n"
    "-device usb-redir,chardev=u); PORT 0 takes a free port and reports it.\n";
constexpr const char* run_usage =
    "usage: vboard run [OPTIONS] -- COMMAND [ARG...]\n"
    "Presents the board while COMMAND runs; exits with COMMAND's status.\n";
constexpr const char* script_usage =
    "usage: vboard script [OPTIONS] [FILE]\n"
    "Runs the host-side commands of FILE (standard input without it) against a\n"
    "freshly started board on simulated time, one result line per command:\n"
    "  load [IMAGE]                              ok | fail open|halt|download|run\n"
    "  enumerate [MS]                            ok <ms> | timeout\n"
    "  control RT REQ VALUE INDEX LENGTH [DATA]  ok [<data>] | stall | timeout\n"
    "  string INDEX [LANGID]                     ok [<text>] | fail\n"
    "  out PIPE DATA                             ok <count> | stall | timeout\n"
    "  in PIPE LENGTH                            ok [<data>] | stall | timeout\n"
    "  reset | suspend | resume | wakeup | wait MS   ok\n"
    "  pins                                      pc <pins> oec <oec> outc <outc>\n"
    "RT, REQ, VALUE, INDEX, LENGTH (of control), LANGID and DATA are hex; PIPE,\n"
    "INDEX (of string), LENGTH (of in) and MS decimal. '#' starts a comment.\n"
    "Exit status 1 when a line was malformed.\n";

void usage(std::FILE* out, const char* text)
{
    std::fprintf(out, "%soptions:\n%s", text, serve::board_options_help);
}

int bad_usage(const char* command, const std::string& what)
{
    std::fprintf(stderr, "vboard %s: %s\n", command, what.c_str());
    return 2;
}

volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal)
{
    stop_signal = signal;
}

// SIGINT and SIGTERM set stop_signal and interrupt the wait for requests.
void catch_stop_signals()
{
    struct sigaction action{};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: poll() returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void print_findings(serve::Session& session)
{
    const Diagnostics& diag = session.board().diagnostics();
    if (diag.empty())
        return;
    std::ostringstream text;
    diag.print(text);
    std::fprintf(stderr, "vboard: the firmware did what the board reports:\n%s", text.str().c_str());
}

// Parses the board options, then whatever the command allows after them.
// Returns the index after the options, or -1 (message printed).
int read_options(const char* command, int argc, char** argv, serve::BoardOptions& options, bool& help)
{
    help = false;
    for (int i = 0; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h"))
            help = true;
    if (help)
        return 0;
    std::string error;
    const int next = serve::parse_board_options(argc, argv, options, error);
    if (next < 0)
        bad_usage(command, error);
    return next;
}

// The board the options describe, served: null after a message, with the
// exit status in `status` (2: the options describe no board it can build).
std::unique_ptr<serve::BoardServer> start_board(const char* command, const serve::BoardOptions& options,
                                                int& status)
{
    std::string error;
    std::unique_ptr<serve::Session> session = serve::Session::create(options, error);
    if (!session) {
        status = bad_usage(command, error);
        return nullptr;
    }
    auto log = [command](const std::string& line) { std::fprintf(stderr, "vboard %s: %s\n", command, line.c_str()); };
    auto server = serve::BoardServer::start(std::move(session), link::rendezvous_directory(), log, error);
    if (!server) {
        std::fprintf(stderr, "vboard %s: %s\n", command, error.c_str());
        status = 1;
        return nullptr;
    }
    if (!server->settled())
        std::fprintf(stderr, "vboard %s: the board has not enumerated after %u ms; serving it anyway\n",
                     command, serve::BoardServer::settle_limit_ms);
    return server;
}

}  // namespace

// --usbredir PORT, taken out of the arguments; -1 when absent, -2 after a
// message when malformed.
long take_usbredir_port(int& argc, char** argv)
{
    long port = -1;
    for (int i = 0; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const char* value = nullptr;
        int used = 1;
        if (!std::strcmp(argv[i], "--usbredir")) {
            if (i + 1 >= argc) {
                bad_usage("serve", "--usbredir needs a port");
                return -2;
            }
            value = argv[i + 1];
            used = 2;
        } else if (!std::strncmp(argv[i], "--usbredir=", 11)) {
            value = argv[i] + 11;
        } else {
            continue;
        }
        char* end = nullptr;
        errno = 0;
        port = std::strtol(value, &end, 10);
        if (*value == '\0' || *end != '\0' || errno != 0 || port < 0 || port > 65535) {
            bad_usage("serve", std::string("--usbredir: '") + value + "' is not a port (0 to 65535)");
            return -2;
        }
        for (int j = i; j + used < argc; ++j)
            argv[j] = argv[j + used];
        argc -= used;
        --i;
    }
    return port;
}

int serve_usbredir(const serve::BoardOptions& options, uint16_t port)
{
    std::string error;
    std::unique_ptr<serve::Session> session = serve::Session::create(options, error);
    if (!session)
        return bad_usage("serve", error);
    auto log = [](const std::string& line) { std::fprintf(stderr, "vboard serve: %s\n", line.c_str()); };
    auto server = usbredir::Server::start(std::move(session), port, log, error);
    if (!server) {
        std::fprintf(stderr, "vboard serve: %s\n", error.c_str());
        return 1;
    }
    if (!server->settled())
        std::fprintf(stderr, "vboard serve: the board has not enumerated after %u ms; serving it anyway\n",
                     serve::BoardServer::settle_limit_ms);
    std::fprintf(stderr, "vboard serve: usb-redir on 127.0.0.1:%u%s; interrupt to end\n", server->port(),
                 options.fast ? " (fast)" : "");
    while (stop_signal == 0)
        server->step(50);
    print_findings(server->session());
    return 0;
}

int serve_command(int argc, char** argv)
{
    serve::BoardOptions options;
    bool help = false;
    const long usbredir_port = take_usbredir_port(argc, argv);
    if (usbredir_port == -2)
        return 2;
    const int next = read_options("serve", argc, argv, options, help);
    if (help) {
        usage(stdout, serve_usage);
        return 0;
    }
    if (next < 0)
        return 2;
    if (next < argc)
        return bad_usage("serve", std::string("unexpected argument '") + argv[next] + "'");

    catch_stop_signals();
    if (usbredir_port >= 0)
        return serve_usbredir(options, static_cast<uint16_t>(usbredir_port));
    int status = 0;
    auto server = start_board("serve", options, status);
    if (!server)
        return status;
    std::fprintf(stderr, "vboard serve: board %d at %s%s; interrupt to end\n", options.device,
                 server->socket_path().c_str(), options.fast ? " (fast)" : "");
    while (stop_signal == 0)
        server->step(50);
    print_findings(server->session());
    return 0;
}

int run_command(int argc, char** argv)
{
    serve::BoardOptions options;
    bool help = false;
    const int next = read_options("run", argc, argv, options, help);
    if (help) {
        usage(stdout, run_usage);
        return 0;
    }
    if (next < 0)
        return 2;
    if (next >= argc || std::strcmp(argv[next], "--") != 0)
        return bad_usage("run", next < argc ? std::string("unexpected argument '") + argv[next] +
                                                  "'; the command follows --"
                                            : "no command: vboard run [OPTIONS] -- COMMAND [ARG...]");
    if (next + 1 >= argc)
        return bad_usage("run", "no command after --");
    char** command = argv + next + 1;

    catch_stop_signals();
    int status = 0;
    auto server = start_board("run", options, status);
    if (!server)
        return status;

    pid_t child = 0;
    const int spawn_error = posix_spawnp(&child, command[0], nullptr, nullptr, command, environ);
    if (spawn_error != 0) {
        std::fprintf(stderr, "vboard run: cannot run %s: %s\n", command[0], std::strerror(spawn_error));
        return 127;
    }
    for (;;) {
        int wait_status = 0;
        const pid_t done = waitpid(child, &wait_status, WNOHANG);
        if (done == child) {
            status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status)
                     : WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status)
                                                : 1;
            break;
        }
        if (done < 0 && errno != EINTR) {
            status = 1;
            break;
        }
        if (stop_signal != 0) {
            // Passed on; the board stays until the command has ended.
            kill(child, stop_signal);
            stop_signal = 0;
        }
        server->step(5);
    }
    print_findings(server->session());
    return status;
}

int script_command(int argc, char** argv)
{
    serve::BoardOptions options;
    bool help = false;
    const int next = read_options("script", argc, argv, options, help);
    if (help) {
        usage(stdout, script_usage);
        return 0;
    }
    if (next < 0)
        return 2;
    int file_index = next;
    if (file_index < argc && !std::strcmp(argv[file_index], "--"))
        ++file_index;
    else if (file_index < argc && argv[file_index][0] == '-' && argv[file_index][1] != '\0')
        return bad_usage("script", std::string("unknown option ") + argv[file_index]);
    if (file_index + 1 < argc)
        return bad_usage("script", "more than one script file given");

    std::ifstream file;
    std::istream* in = &std::cin;
    if (file_index < argc && std::strcmp(argv[file_index], "-") != 0) {
        file.open(argv[file_index], std::ios::binary);
        if (!file)
            return bad_usage("script", std::string("cannot read ") + argv[file_index] + ": " + std::strerror(errno));
        in = &file;
    }

    std::string error;
    auto session = serve::Session::create(options, error);
    if (!session)
        return bad_usage("script", error);
    serve::ScriptRunner runner(*session);
    const int malformed = runner.run_script(*in, std::cout);
    std::cout.flush();
    print_findings(*session);
    return malformed > 0 ? 1 : 0;
}

}  // namespace vboard::cli
