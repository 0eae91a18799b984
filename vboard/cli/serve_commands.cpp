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

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "command_line.h"
#include "commands.h"
#include "link/rendezvous.h"
#include "serve/board_server.h"
#include "serve/options.h"
#include "serve/script.h"
#include "usbredir/server.h"

namespace vboard::cli {

namespace {

constexpr CommandHelp serve_help = {
    "serve",
    "usage: vboard serve [--usbredir PORT] [OPTIONS]\n"
    "Presents board N (device path \\\\.\\ezusb-N) to programs on this machine until\n"
    "SIGINT or SIGTERM. Simulated time follows the clock unless --fast.\n"
    "With --usbredir, presents the board's USB port instead to one usb-redir peer at\n"
    "a time on 127.0.0.1:PORT (QEMU: -chardev socket,id=u,host=127.0.0.1,port=PORT\n"
    "-device usb-redir,chardev=u); PORT 0 takes a free port and reports it.\n",
    "Exit status: 0 ended by a signal; 1 the board could not be served (another\n"
    "board with that number runs, an unsafe directory) or the card image could not\n"
    "be written back; 2 usage error.\n"};

constexpr CommandHelp run_help = {
    "run",
    "usage: vboard run [OPTIONS] -- COMMAND [ARG...]\n"
    "Presents the board while COMMAND runs. A SIGINT, SIGTERM or SIGHUP to run\n"
    "is passed to COMMAND and every process it started; the board stays until\n"
    "they have ended.\n",
    "Exit status: COMMAND's status (128+N when signal N ended it); 125 when run\n"
    "itself fails (a usage error, a board that cannot be served, a COMMAND that\n"
    "cannot be started, a card image that cannot be written back).\n"};

constexpr CommandHelp script_help = {
    "script",
    "usage: vboard script [OPTIONS] [FILE]\n"
    "Runs the host-side commands of FILE (standard input without it or with -)\n"
    "against a freshly started board on simulated time, one result line per\n"
    "command:\n"
    "  load [IMAGE]                              ok | fail open|halt|download|run\n"
    "                                            | fail <why IMAGE cannot be loaded>\n"
    "  enumerate [MS]                            ok <ms> | timeout\n"
    "  control RT REQ VALUE INDEX LENGTH [DATA]  ok [<data>] | stall | timeout\n"
    "  string INDEX [LANGID]                     ok [<text>] | fail\n"
    "  out PIPE DATA                             ok <count> | stall | timeout | fail <why>\n"
    "  in PIPE LENGTH                            ok [<data>] | stall | timeout | fail <why>\n"
    "  reset | suspend | resume | wakeup | wait MS   ok\n"
    "  pins                                      pc <pins> oec <oec> outc <outc>\n"
    "  (a malformed line)                        error <why>\n"
    "RT, REQ, VALUE, INDEX, LENGTH (of control), LANGID and DATA are hex; PIPE,\n"
    "INDEX (of string), LENGTH (of in) and MS decimal, MS at most 60000. '#' starts\n"
    "a comment; bytes outside printable ASCII are echoed as \\xNN.\n",
    "Exit status: 0 every command ran (whatever the device answered: ok, stall,\n"
    "timeout); 1 a command failed (a 'fail' line), the board could not be\n"
    "built or the card image could not be written back; 2 a malformed line (an 'error' line) or a usage error.\n"};

volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal)
{
    stop_signal = signal;
}

// SIGINT, SIGTERM and SIGHUP set stop_signal and interrupt the wait for requests.
void catch_stop_signals()
{
    struct sigaction action{};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: poll() returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// The end of a run: the card image written back (see Session::save_card_image);
// false after a message.
bool save_card(const CommandHelp& help, serve::Session& session)
{
    std::string error;
    if (session.save_card_image(error))
        return true;
    std::fprintf(stderr, "vboard %s: %s\n", help.name, error.c_str());
    return false;
}

void print_findings(serve::Session& session)
{
    const Diagnostics& diag = session.board().diagnostics();
    if (diag.empty())
        return;
    std::ostringstream text;
    diag.print_summary(text);
    std::fprintf(stderr, "vboard: the firmware did what the board reports:\n%s", text.str().c_str());
}

// The command line of serve, run and script: the board options (and what
// `extra` adds), then the checks between them. Returns an exit status when
// the command is done, or nothing.
std::optional<int> read_board_command_line(const CommandHelp& help, serve::BoardOptions& options,
                                           std::vector<cmdline::Option> table, int argc, char** argv,
                                           cmdline::Parsed& parsed, int usage_status)
{
    if (const std::optional<int> done = read_command_line(help, std::move(table), argc, argv, parsed, usage_status))
        return done;
    std::string error;
    if (!serve::check_board_options(options, error))
        return usage_error(help, error, usage_status);
    return std::nullopt;
}

// The board the options describe, served: null after a message.
std::unique_ptr<serve::BoardServer> start_board(const CommandHelp& help, const serve::BoardOptions& options)
{
    std::string error;
    std::unique_ptr<serve::Session> session = serve::Session::create(options, error);
    if (!session) {
        std::fprintf(stderr, "vboard %s: %s\n", help.name, error.c_str());
        return nullptr;
    }
    auto log = [&help](const std::string& line) { std::fprintf(stderr, "vboard %s: %s\n", help.name, line.c_str()); };
    auto server = serve::BoardServer::start(std::move(session), link::rendezvous_directory(), log, error);
    if (!server) {
        std::fprintf(stderr, "vboard %s: %s\n", help.name, error.c_str());
        return nullptr;
    }
    if (!server->settled())
        std::fprintf(stderr, "vboard %s: the board has not enumerated after %u ms; serving it anyway\n", help.name,
                     serve::BoardServer::settle_limit_ms);
    return server;
}

// The command of `run`, started in a process group of its own so that a
// signal to run reaches everything it started; on a terminal that group gets
// the foreground while it runs.
class Child {
public:
    // Starts argv[0] (searched in PATH); false with the reason in `error`.
    bool start(char** argv, std::string& error)
    {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) {
            error = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) {
            error = std::string("fork: ") + std::strerror(errno);
            ::close(report[0]);
            ::close(report[1]);
            return false;
        }
        if (pid_ == 0) {
            ::setpgid(0, 0);
            // Should run be killed outright, the command goes with it.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(run_failure);
            std::signal(SIGPIPE, SIG_DFL);
            std::signal(SIGTTOU, SIG_DFL);
            ::execvp(argv[0], argv);
            const int why = errno;
            ssize_t written = ::write(report[1], &why, sizeof why);
            (void)written;
            ::_exit(run_failure);
        }
        ::setpgid(pid_, pid_);
        ::close(report[1]);
        int why = 0;
        ssize_t got;
        do
            got = ::read(report[0], &why, sizeof why);
        while (got < 0 && errno == EINTR);
        ::close(report[0]);
        if (got == sizeof why) {
            ::waitpid(pid_, nullptr, 0);
            error = std::string("cannot run ") + argv[0] + ": " + std::strerror(why);
            return false;
        }
        if (::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp())
            terminal_ = ::tcsetpgrp(STDIN_FILENO, pid_) == 0;
        return true;
    }

    // Sends `signal` to the command's process group.
    void signal(int signal) const { ::kill(-pid_, signal); }

    // Its exit status once it has ended (128+N for signal N), or nothing yet.
    std::optional<int> ended()
    {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            give_back_terminal();
            return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
        }
        if (done < 0 && errno != EINTR) {
            give_back_terminal();
            return run_failure;
        }
        return std::nullopt;
    }

private:
    void give_back_terminal()
    {
        if (!terminal_)
            return;
        // From the background a terminal change raises SIGTTOU: ignored for it.
        struct sigaction ignore{}, old{};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGTTOU, &ignore, &old);
        ::tcsetpgrp(STDIN_FILENO, ::getpgrp());
        sigaction(SIGTTOU, &old, nullptr);
        terminal_ = false;
    }

    pid_t pid_ = -1;
    bool terminal_ = false;
};

// serve --usbredir: the board's USB port to one usb-redir peer at a time.
int serve_usbredir(const serve::BoardOptions& options, uint16_t port)
{
    std::string error;
    std::unique_ptr<serve::Session> session = serve::Session::create(options, error);
    if (!session) {
        std::fprintf(stderr, "vboard serve: %s\n", error.c_str());
        return exit_failure;
    }
    auto log = [](const std::string& line) { std::fprintf(stderr, "vboard serve: %s\n", line.c_str()); };
    auto server = usbredir::Server::start(std::move(session), port, log, error);
    if (!server) {
        std::fprintf(stderr, "vboard serve: %s\n", error.c_str());
        return exit_failure;
    }
    if (!server->settled())
        std::fprintf(stderr, "vboard serve: the board has not enumerated after %u ms; serving it anyway\n",
                     serve::BoardServer::settle_limit_ms);
    std::fprintf(stderr, "vboard serve: usb-redir on 127.0.0.1:%u%s; interrupt to end\n", server->port(),
                 options.fast ? " (fast)" : "");
    while (stop_signal == 0)
        server->step(50);
    print_findings(server->session());
    return save_card(serve_help, server->session()) ? exit_success : exit_failure;
}

}  // namespace

int serve_command(int argc, char** argv)
{
    serve::BoardOptions options;
    long usbredir_port = -1;
    std::vector<cmdline::Option> table = serve::board_option_table(options);
    table.push_back({"--usbredir", "", "PORT", "serve the board's USB port to a usb-redir peer on 127.0.0.1:PORT",
                     [&usbredir_port](const std::string& v, std::string& error) {
                         char* end = nullptr;
                         errno = 0;
                         const long port = std::strtol(v.c_str(), &end, 10);
                         if (v.empty() || *end != '\0' || errno != 0 || port < 0 || port > 65535) {
                             error = "needs a port from 0 to 65535, not '" + cmdline::escaped(v) + "'";
                             return false;
                         }
                         usbredir_port = port;
                         return true;
                     }});
    cmdline::Parsed parsed;
    if (const auto done = read_board_command_line(serve_help, options, std::move(table), argc, argv, parsed, exit_usage))
        return *done;
    if (!parsed.operands.empty())
        return usage_error(serve_help, "unexpected argument '" + cmdline::escaped(parsed.operands[0]) + "'");

    catch_stop_signals();
    if (usbredir_port >= 0)
        return serve_usbredir(options, static_cast<uint16_t>(usbredir_port));
    auto server = start_board(serve_help, options);
    if (!server)
        return exit_failure;
    std::fprintf(stderr, "vboard serve: board %d at %s%s; interrupt to end\n", options.device,
                 server->socket_path().c_str(), options.fast ? " (fast)" : "");
    while (stop_signal == 0)
        server->step(50);
    print_findings(server->session());
    return save_card(serve_help, server->session()) ? exit_success : exit_failure;
}

int run_command(int argc, char** argv)
{
    serve::BoardOptions options;
    cmdline::Parsed parsed;
    if (const auto done = read_board_command_line(run_help, options, serve::board_option_table(options), argc, argv,
                                                  parsed, run_failure))
        return *done;
    if (parsed.before_dashdash > 0)
        return usage_error(run_help,
                           "unexpected argument '" + cmdline::escaped(parsed.operands[0]) + "'; the command follows --",
                           run_failure);
    if (parsed.operands.empty())
        return usage_error(run_help, "no command: vboard run [OPTIONS] -- COMMAND [ARG...]", run_failure);
    std::vector<char*> command;
    for (std::string& word : parsed.operands)
        command.push_back(word.data());
    command.push_back(nullptr);

    catch_stop_signals();
    auto server = start_board(run_help, options);
    if (!server)
        return run_failure;

    Child child;
    std::string error;
    if (!child.start(command.data(), error)) {
        std::fprintf(stderr, "vboard run: %s\n", error.c_str());
        return run_failure;
    }
    int status = 0;
    for (;;) {
        if (const std::optional<int> done = child.ended()) {
            status = *done;
            break;
        }
        if (stop_signal != 0) {
            // Passed on; the board stays until the command has ended.
            child.signal(stop_signal);
            stop_signal = 0;
        }
        server->step(5);
    }
    print_findings(server->session());
    return save_card(run_help, server->session()) ? status : run_failure;
}

int script_command(int argc, char** argv)
{
    serve::BoardOptions options;
    std::vector<cmdline::Option> table = serve::board_option_table(options, false);
    table.push_back({"--fast", "", "", "", [](const std::string&, std::string& error) {
                         error = "means nothing here: a script runs on simulated time, as fast as it can";
                         return false;
                     },
                     true});
    cmdline::Parsed parsed;
    if (const auto done = read_board_command_line(script_help, options, std::move(table), argc, argv, parsed,
                                                  exit_usage))
        return *done;
    if (parsed.operands.size() > 1)
        return usage_error(script_help, "more than one script file given");

    std::ifstream file;
    std::istream* in = &std::cin;
    if (!parsed.operands.empty() && parsed.operands[0] != "-") {
        const std::string& path = parsed.operands[0];
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) {
            std::fprintf(stderr, "vboard script: cannot read %s: %s\n", cmdline::escaped(path).c_str(),
                         std::strerror(errno));
            return exit_failure;
        }
        if (S_ISDIR(st.st_mode)) {
            std::fprintf(stderr, "vboard script: %s is a directory, not a script\n", cmdline::escaped(path).c_str());
            return exit_failure;
        }
        file.open(path, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "vboard script: cannot read %s: %s\n", cmdline::escaped(path).c_str(),
                         std::strerror(errno));
            return exit_failure;
        }
        in = &file;
    }

    std::string error;
    auto session = serve::Session::create(options, error);
    if (!session) {
        std::fprintf(stderr, "vboard script: %s\n", error.c_str());
        return exit_failure;
    }
    serve::ScriptRunner runner(*session);
    const int malformed = runner.run_script(*in, std::cout);
    std::cout.flush();
    print_findings(*session);
    if (!save_card(script_help, *session))
        return exit_failure;
    return malformed > 0 ? exit_usage : runner.failed() > 0 ? exit_failure : exit_success;
}

}  // namespace vboard::cli
