// Host-side scripts: the lines they take, and what a fresh board answers.

#include "serve/script.h"

#include "nebu.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

using vboard::serve::BoardOptions;
using vboard::serve::parse_script_line;
using vboard::serve::ScriptCommand;
using vboard::serve::ScriptRunner;
using vboard::serve::Session;
using Kind = ScriptCommand::Kind;

TEST(ScriptLines, CommandsWithTheirFields)
{
    auto c = parse_script_line("  control 80 06 0100 0000 0012   # device descriptor").command;
    ASSERT_TRUE(c);
    EXPECT_EQ(c->kind, Kind::control);
    EXPECT_EQ(c->setup, (vboard::host::SetupPacket{0x80, 0x06, 0x0100, 0x0000, 0x0012}));

    c = parse_script_line("control 40 a0 7f92 0 1 01").command;
    ASSERT_TRUE(c);
    EXPECT_EQ(c->data, (std::vector<uint8_t>{0x01}));

    c = parse_script_line("string 2 0409").command;
    ASSERT_TRUE(c);
    EXPECT_EQ(c->index, 2);
    EXPECT_EQ(c->language, 0x0409);
    EXPECT_EQ(parse_script_line("string 1").command->language, 0x001B) << "the tool's language id";

    c = parse_script_line("out 0\t00140 7f11224\r").command;
    EXPECT_FALSE(c) << "tabs separate, and an odd digit count is no byte string";
    c = parse_script_line("out 0 0014\r").command;
    ASSERT_TRUE(c);
    EXPECT_EQ(c->pipe, 0u);
    EXPECT_EQ(c->data, (std::vector<uint8_t>{0x00, 0x14}));

    c = parse_script_line("in 8 64").command;
    ASSERT_TRUE(c);
    EXPECT_EQ(c->pipe, 8u);
    EXPECT_EQ(c->length, 64u);

    EXPECT_EQ(parse_script_line("enumerate").command->ms, std::nullopt);
    EXPECT_EQ(parse_script_line("enumerate 2500").command->ms, 2500u);
    EXPECT_EQ(parse_script_line("wait 10").command->ms, 10u);
    EXPECT_EQ(parse_script_line("load fw.ihx").command->image, "fw.ihx");
    for (const char* word : {"reset", "suspend", "resume", "wakeup", "pins", "load"})
        EXPECT_TRUE(parse_script_line(word).command) << word;

    for (const char* blank : {"", "   ", "# only a comment", "\t#", "\r"})
        EXPECT_TRUE(parse_script_line(blank).blank()) << blank;
}

TEST(ScriptLines, MalformedLinesSayWhy)
{
    const struct {
        const char* line;
        const char* error;
    } cases[] = {
        {"frobnicate", "unknown command 'frobnicate'"},
        {"Load", "unknown command 'Load'"},
        {"control 80 06 0100 0000", "control: too few arguments"},
        {"control 80 06 0100 0000 0012 00", "DATA given for a device-to-host request"},
        {"control 180 06 0100 0000 0012", "RT '180' is not a hex byte"},
        {"control 80 06 10000 0000 0012", "VALUE '10000' is not a hex 16-bit value"},
        {"control 80 06 0100 0000 -1", "LENGTH '-1' is not a hex 16-bit value"},
        {"control 00 09 0001 0000 0001", "DATA has 0 bytes, LENGTH says 1"},
        {"control 40 a0 7f92 0000 0001 0102", "DATA has 2 bytes, LENGTH says 1"},
        {"control 40 a0 7f92 0000 0001 zz", "DATA 'zz' is not hex bytes"},
        {"string", "string: too few arguments"},
        {"string 256", "INDEX '256' is not a decimal index"},
        {"string 1 10000", "LANGID '10000' is not a hex 16-bit value"},
        {"out 0", "out: too few arguments"},
        {"out 0 123", "DATA '123' is not hex bytes"},
        {"out x 00", "PIPE 'x' is not a decimal pipe number"},
        {"in 8", "in: too few arguments"},
        {"in 8 65537", "LENGTH '65537' is not a decimal byte count"},
        {"wait", "wait: too few arguments"},
        {"wait 5 5", "wait: too many arguments"},
        {"enumerate soon", "MS 'soon' is not a decimal count"},
        {"pins now", "pins: too many arguments"},
        {"load a b", "load: too many arguments"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_script_line(c.line);
        EXPECT_FALSE(parsed.command) << c.line;
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << c.line << " -> " << parsed.error;
    }
}

// "ok <hex>" with `digits` hex digits starting with `prefix`.
bool ok_hex(const std::string& line, const std::string& prefix, size_t digits)
{
    if (line.rfind("ok " + prefix, 0) != 0 || line.size() != 3 + digits)
        return false;
    return line.find_first_not_of("0123456789abcdef", 3) == std::string::npos;
}

// The number of an "ok <decimal>" line, or -1.
int ok_number(const std::string& line)
{
    if (line.rfind("ok ", 0) != 0 || line.size() == 3 || line.find_first_not_of("0123456789", 3) != std::string::npos)
        return -1;
    return std::stoi(line.substr(3));
}

std::string run_script(Session& session, const std::string& script, int* malformed = nullptr)
{
    ScriptRunner runner(session);
    std::istringstream in(script);
    std::ostringstream out;
    const int bad = runner.run_script(in, out);
    if (malformed)
        *malformed = bad;
    return out.str();
}

std::unique_ptr<Session> fresh_board(BoardOptions options = {})
{
    std::string error;
    auto session = Session::create(options, error);
    EXPECT_TRUE(session) << error;
    return session;
}

TEST(ScriptRun, TheBareBoardAnswersAsTheBareController)
{
    auto session = fresh_board();
    int malformed = 0;
    const std::string out = run_script(*session,
                                       "enumerate\n"
                                       "control 80 06 0100 0000 0012\n"
                                       "control 80 06 0200 0000 0009\n"
                                       "control 80 00 0000 0000 0002   # GET_STATUS\n"
                                       "string 1\n"
                                       "string 2 0409\n"
                                       "pins\n"
                                       "out 40 00\n"
                                       "nonsense\n"
                                       "control 80 06 0300 0000 00ff\n"
                                       "wait 3\n",
                                       &malformed);
    // Every line gets exactly one result.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 11);
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);
    EXPECT_GE(ok_number(line), 0) << line;
    std::getline(lines, line);
    EXPECT_TRUE(ok_hex(line, "1201", 36)) << "device descriptor: " << line;
    std::getline(lines, line);
    EXPECT_TRUE(ok_hex(line, "0902", 18)) << "configuration: " << line;
    std::getline(lines, line);
    EXPECT_TRUE(ok_hex(line, "", 4)) << line;
    std::getline(lines, line);
    EXPECT_EQ(line, "ok") << "string 1 of the bare controller is empty";
    std::getline(lines, line);
    EXPECT_EQ(line, "ok");
    std::getline(lines, line);
    EXPECT_EQ(line, "pc fc oec 00 outc 00") << "PC0/PC1 pulled down, card present on PC3";
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("fail pipe 40 does not exist", 0), 0u) << line;
    std::getline(lines, line);
    EXPECT_EQ(line, "error unknown command 'nonsense'");
    std::getline(lines, line);
    EXPECT_EQ(line, "ok 04030904") << "language ids";
    std::getline(lines, line);
    EXPECT_EQ(line, "ok");
    EXPECT_EQ(malformed, 1);
}

TEST(ScriptRun, LoadThenTheFirmwaresOwnEnumeration)
{
    auto session = fresh_board({});
    const std::string out = run_script(*session,
                                       "load\n"
                                       "enumerate\n"
                                       "string 1\n"
                                       "string 2\n"
                                       "enumerate 100\n");
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "ok");
    std::getline(lines, line);
    const int ms = ok_number(line);
    ASSERT_GE(ms, 0) << line;
    EXPECT_GE(ms, 1500) << "the firmware stays off the bus about 1.5 s";
    EXPECT_LE(ms, 2000) << "and is back within the tool's 2-second wait";
    std::getline(lines, line);
    EXPECT_EQ(line, "ok NEBU");
    std::getline(lines, line);
    EXPECT_EQ(line, "ok Z100");
    std::getline(lines, line);
    EXPECT_EQ(line, "timeout") << "no further enumeration comes";
    EXPECT_EQ(session->board().controller().loaded().count(), fw_size) << "exactly the image was written";
}

// The bus commands: a suspended board sleeps until the host resumes the bus
// or, with WAKEUP#, until the firmware's remote wake-up brings the bus back;
// either way it answers again. A port reset is followed by a new enumeration.
TEST(ScriptRun, SuspendResumeWakeupAndReset)
{
    BoardOptions warm;
    warm.firmware_loaded = true;
    auto session = fresh_board(warm);
    ASSERT_EQ(run_script(*session, "string 1\nsuspend\nwait 20\n"), "ok NEBU\nok\nok\n");
    EXPECT_TRUE(session->host().suspended());
    EXPECT_TRUE(session->board().cpu().idle()) << "the firmware idles while the bus is suspended";

    EXPECT_EQ(run_script(*session, "resume\nstring 2\nsuspend\nwait 20\nwakeup\nwait 100\n"),
              "ok\nok Z100\nok\nok\nok\nok\n");
    EXPECT_FALSE(session->host().suspended()) << "the remote wake-up resumed the bus";
    EXPECT_EQ(run_script(*session, "string 1\nreset\nenumerate\n").substr(0, 14), "ok NEBU\nok\nok ");
    EXPECT_EQ(run_script(*session, "string 2\n"), "ok Z100\n") << "answers after the new enumeration";
    EXPECT_TRUE(session->board().diagnostics().empty());
}

TEST(ScriptRun, CommandsWaitForTheDeviceUpToTheTransferTimeout)
{
    // A host that would notice the board only after a minute.
    vboard::host::TimingProfile slow;
    slow.attach_debounce_ms = 60'000;
    std::string error;
    auto session = Session::create({}, error, slow);
    ASSERT_TRUE(session) << error;
    const auto start = session->host().now();
    EXPECT_EQ(run_script(*session, "control 80 06 0100 0000 0012\nstring 1\nload\nin 8 1\nout 0 00\npins\n"),
              "timeout\nfail\nfail open\ntimeout\ntimeout\npc fc oec 00 outc 00\n");
    const double waited_ms = static_cast<double>(session->host().now() - start) / vboard::usb::clocks_per_ms;
    EXPECT_NEAR(waited_ms, 5 * 5000.0, 5.0) << "five commands, each waiting the transfer timeout";
}

TEST(ScriptRun, StalledStringsFailAndAMissingImageIsAnError)
{
    BoardOptions options;
    options.bare_strings_stalled = true;
    auto session = fresh_board(options);
    const std::string out = run_script(*session, "string 1\nstring 2\nload /nonexistent/image.bin\nstring 0\n");
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "fail");
    std::getline(lines, line);
    EXPECT_EQ(line, "fail");
    std::getline(lines, line);
    EXPECT_EQ(line.rfind("fail ", 0), 0u) << line;
    EXPECT_NE(line.find("/nonexistent/image.bin"), std::string::npos) << line;
    std::getline(lines, line);
    EXPECT_EQ(line, "ok \\x09") << "string 0: the language id 0409, one unit, low byte 09";
}

TEST(ScriptRun, ALineTooLongIsMalformedAndTheScriptGoesOn)
{
    auto session = fresh_board();
    const std::string long_line(ScriptRunner::max_line + 10, 'x');
    int malformed = 0;
    EXPECT_EQ(run_script(*session, long_line + "\nwait 1\npins", &malformed),
              "error line longer than 65536 characters\nok\npc fc oec 00 outc 00\n");
    EXPECT_EQ(malformed, 1);
}

TEST(ScriptRun, NoCardReadsAsAnEmptySocket)
{
    BoardOptions options;
    options.card.reset();
    auto session = fresh_board(options);
    EXPECT_EQ(run_script(*session, "pins\n"), "pc f4 oec 00 outc 00\n");
}

}  // namespace
