// End-to-end: the real lumacore executable (a copy) as a child process
// against the simulated board in this process.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include <nlohmann/json.hpp>

#include "ServiceDaemon.h"

namespace {

// The line the manager logs once the board is identified.
const char* const kIdentified = "Lumacore version: 1.0.28";

// Waits for the identity banner, then until the board has heard nothing for
// 500 ms: the manager's start-up requests are over and the handle is set.
::testing::AssertionResult startedUp(const DaemonProcess& daemon, const SimulatedBoard& board)
{
    if (!daemon.waitForErr(kIdentified, kStartMs))
        return ::testing::AssertionFailure() << daemon.err();
    size_t seen = board.requests().size();
    for (int quietMs = 0; quietMs < 500; quietMs += 20) {
        usleep(20000);
        const size_t now = board.requests().size();
        if (now != seen) {
            seen = now;
            quietMs = 0;
        }
    }
    return ::testing::AssertionSuccess();
}

// Service-mode arguments for a daemon with no broker to reach: a
// configuration file with a TCP port of its own, so that tests may run side
// by side.
std::vector<std::string> serviceArgs(const DaemonProcess& daemon, const SimulatedBoard& board)
{
    const std::string file = daemon.dir().file("lumacore.json");
    const std::string nowhere = "127.0.0.1:" + std::to_string(MosquittoBroker::freePort());
    writeJson(file, serviceConfig(nowhere, static_cast<unsigned short>(MosquittoBroker::freePort())));
    return {"-d", board.devicePath(), "-e", "-f", file};
}

struct CommandLineCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* output; // expected in standard output, or standard error for a refusal
};

class DaemonCommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

} // namespace

// Help, version and refused command lines end in the parser: nothing is
// logged and no device is opened.
TEST_P(DaemonCommandLineTest, EndsBeforeTheLog)
{
    DaemonProcess daemon;
    const CommandLineCase& c = GetParam();
    const int status = daemon.run(c.args, kStopMs);
    EXPECT_EQ(exitCode(status), c.status);
    const std::string shown = c.status == 0 ? daemon.out() : daemon.err();
    EXPECT_NE(shown.find(c.output), std::string::npos) << shown;
    EXPECT_EQ(daemon.err().find("started"), std::string::npos);
    if (c.status != 0)
        return;

    // The help text: description first, then the options in their order,
    // with the configuration path beside the program.
    const std::string out = daemon.out();
    EXPECT_EQ(out.rfind("LPC Lumacore v1.0.28 (", 0), 0u) << out;
    size_t at = 0;
    const std::vector<std::string> helpTexts{"Device. Default is '/dev/lpc'.",
                                   "Configuration file. Default is '" + daemon.dir().file("lumacore.json") + "'.",
                                   "Listen on this port. Default is '1414'.", "Sets verbosity level of log messages.",
                                   "Number of seconds to run the stress test (default 60)",
                                   "Filename to store report of stress test", "Format of the stress test report",
                                   "Perform stress test on the serial port", "Listen on any address, not just localhost.",
                                   "Print version and exit.", "Print messages to stderr as well as syslog.",
                                   "Increases verbosity level of log messages by 1."};
    for (const std::string& text : helpTexts) {
        const size_t found = out.find(text, at);
        ASSERT_NE(found, std::string::npos) << text << "\n" << out;
        at = found;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DaemonCommandLineTest,
    ::testing::Values(CommandLineCase{"Help", {"-h"}, 0, "Print this help message and exit"},
                      CommandLineCase{"Version", {"-V", "-e", "-d", "/nonexistent"}, 0, "Print version and exit."},
                      CommandLineCase{"NotANumber", {"--verbose", "many"}, 104, "many"},
                      CommandLineCase{"Negative", {"--stress-test-seconds", "-5"}, 104, "-5"},
                      CommandLineCase{"PortAbove65535", {"-p", "65536"}, 105, "not in range 0 to 65535"},
                      CommandLineCase{"UnknownFormat", {"--stress-test-format", "xml"}, 105, "xml"},
                      CommandLineCase{"UnknownOptionBesideVersion", {"-V", "--bogus"}, 109, "--bogus"},
                      CommandLineCase{"ExtraArgument", {"/dev/a", "/dev/b"}, 109, "/dev/b"}),
    [](const ::testing::TestParamInfo<CommandLineCase>& info) { return std::string(info.param.name); });

struct StopCase {
    const char* name;
    std::vector<std::string> args;
    int first;
    int second;
    const char* caught;
    const char* levelLine;
    bool debugShown;
};

class DaemonStopTest : public ::testing::TestWithParam<StopCase> {};

// Service mode: the board opens, the daemon waits; the first signal stops it
// with status 0, one sent while it stops changes nothing.
TEST_P(DaemonStopTest, SignalEndsWithStatusZero)
{
    const StopCase& c = GetParam();
    SimulatedBoard board;
    DaemonProcess daemon;
    std::vector<std::string> args = serviceArgs(daemon, board);
    args.insert(args.end(), c.args.begin(), c.args.end());
    daemon.start(args);
    ASSERT_TRUE(startedUp(daemon, board));
    EXPECT_NE(daemon.err().find("LPC Lumacore v1.0.28 ("), std::string::npos);
    EXPECT_NE(daemon.err().find(") started"), std::string::npos);
    EXPECT_NE(daemon.err().find(c.levelLine), std::string::npos) << daemon.err();

    daemon.signal(c.first);
    ASSERT_TRUE(daemon.waitForErr(c.caught, kStopMs)) << daemon.err();
    daemon.signal(c.second);
    const int status = daemon.wait(kStopMs);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(exitCode(status), 0);
    EXPECT_EQ(occurrences(daemon.err(), "Signal caught"), 1u) << daemon.err();
    EXPECT_EQ(daemon.err().find("[Manager] Stopped") != std::string::npos, c.debugShown) << daemon.err();
    EXPECT_EQ(daemon.shutdownLog(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DaemonStopTest,
    ::testing::Values(StopCase{"Term", {}, SIGTERM, SIGINT, "Signal caught: Terminated [15]", "Log level is 2.", false},
                      StopCase{"IntAtDebug", {"-vvvv"}, SIGINT, SIGTERM, "Signal caught: Interrupt [2]",
                               "Log level is 3.", true}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

TEST(Daemon, MissingDeviceEndsNonZeroStartingNothing)
{
    DaemonProcess daemon;
    const std::string device = daemon.dir().file("no-such-device");
    const int status = daemon.run({"-d", device, "-e"}, kStartMs);
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_NE(exitCode(status), 0);
    EXPECT_NE(daemon.err().find("Could not open device " + device + " ."), std::string::npos) << daemon.err();
    EXPECT_EQ(daemon.err().find(kIdentified), std::string::npos);
}

TEST(Daemon, PowerOffIndicationRunsShutdown)
{
    SimulatedBoard board;
    DaemonProcess daemon;
    daemon.start(serviceArgs(daemon, board));
    ASSERT_TRUE(startedUp(daemon, board));
    board.sendIndication(1, 3);
    ASSERT_TRUE(daemon.waitForErr("System is shutting down.", kStopMs)) << daemon.err();
    for (int i = 0; i < 250 && daemon.shutdownLog().empty(); ++i)
        usleep(20000);
    EXPECT_EQ(daemon.shutdownLog(), "shutdown now\n");
    daemon.signal(SIGTERM);
    EXPECT_EQ(exitCode(daemon.wait(kStopMs)), 0);
}

// Stress-test mode writes the report in the chosen format (any case) with
// the counts of what the board saw, and creates no configuration file.
TEST(Daemon, StressTestWritesBothFormats)
{
    for (const char* format : {"INI", "json"}) {
        SCOPED_TRACE(format);
        SimulatedBoard board;
        DaemonProcess daemon;
        const std::string report = daemon.dir().file("report");
        // Errors only: a line per executed test would go to the host's
        // logger, or to its console when it runs none, which may stall the
        // daemon.
        const int status = daemon.run({"-d", board.devicePath(), "--verbose", "0", "--stress-test",
                                       "--stress-test-seconds", "1", "--stress-test-format", format,
                                       "--stress-test-output", report},
                                      kStartMs);
        EXPECT_EQ(exitCode(status), 0) << daemon.err();

        std::ifstream in(report);
        std::stringstream text;
        text << in.rdbuf();
        size_t successes = 0, failures = 0, retransmitted = 0, total = 0;
        if (format[0] == 'I') {
            std::string line;
            while (std::getline(text, line)) {
                sscanf(line.c_str(), "successes = %zu", &successes);
                sscanf(line.c_str(), "failures = %zu", &failures);
                sscanf(line.c_str(), "retransmitted = %zu", &retransmitted);
                sscanf(line.c_str(), "total = %zu", &total);
            }
        } else {
            const auto json = nlohmann::json::parse(text.str());
            successes = json.at("packets").at("successes");
            failures = json.at("packets").at("failures");
            retransmitted = json.at("packets").at("retransmitted");
            total = json.at("packets").at("total");
        }
        // Every exchange the board saw counts once, but for one the status
        // poll may have started after the report was taken. A starved host
        // may fail or repeat a few; a report with its fields mixed up shows
        // hundreds.
        std::set<uint16_t> seqNos;
        for (const auto& request : board.requests())
            seqNos.insert(request.message.SeqNo);
        EXPECT_EQ(total, successes + failures + retransmitted);
        EXPECT_LE(total, seqNos.size());
        EXPECT_GE(total + 1, seqNos.size());
        EXPECT_GT(successes, total / 2);
        EXPECT_LE(failures, 3 + total / 20);
        EXPECT_LE(retransmitted, 3 + total / 20);
        EXPECT_FALSE(std::filesystem::exists(daemon.dir().file("lumacore.json")));
    }
}

// A report that is not kept ends the stress test with status 1 and a line
// saying why, so a script can tell it from a kept one.
TEST(Daemon, StressTestReportNotKeptEndsWithStatusOne)
{
    SimulatedBoard board;
    DaemonProcess daemon;
    const std::string missing = daemon.dir().file("missing/report");
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/full", "Could not write file '/dev/full': No space left on device"},
        {missing, "Could not open file '" + missing + "': No such file or directory"},
    };
    for (const auto& [output, error] : cases) {
        const int status = daemon.run({"-d", board.devicePath(), "-e", "--verbose", "0", "--stress-test",
                                       "--stress-test-seconds", "0", "--stress-test-output", output},
                                      kStartMs);
        EXPECT_EQ(exitCode(status), 1) << daemon.err();
        EXPECT_NE(daemon.err().find(error), std::string::npos) << daemon.err();
    }
}
