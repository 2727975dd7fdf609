// End-to-end: SIGTERM while the daemon is still starting, sent the moment it
// logs the line of each start-up step. Whatever the step, the stop must win:
// nothing starts and the file is not written after the "Signal caught" line,
// and the process ends with status 0.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>

#include "ServiceDaemon.h"

namespace {

using nlohmann::json;

// The stop's bound: the deadline ends a longer stop.
constexpr int kStopBoundMs = 4000;

// Lines of start-up steps, none of which may follow the stop's first line.
const char* const kStartLines[] = {"Saving updated config file", "[MQTT::Client] Starting...",
                                   "[TCP::Server] Starting...", "Main blocks here!"};

// Connects to the TCP service again and again until ended is set; sets
// greeted when the service ever greets.
void probeGreetings(unsigned short port, const std::atomic<bool>& ended, std::atomic<bool>& greeted)
{
    for (; !ended; usleep(2000)) {
        TCPClient client;
        client.setReadTimeout(2000);
        try {
            client.connect("127.0.0.1", port);
            greeted = greeted || nextLine(client) == "Lumacore 1.0.28";
            client.close();
        } catch (const std::runtime_error&) {
        }
    }
}

// Waits until every connection of the daemon's client has ended at the
// broker.
bool brokerLetGo(const MosquittoBroker& broker)
{
    for (int waited = 0; waited < kReactMs; waited += 50) {
        const std::string log = broker.log();
        const size_t ended = occurrences(log, "Client lumacore-under-test closed its connection") +
                             occurrences(log, "Client lumacore-under-test disconnected");
        if (ended >= occurrences(log, " as lumacore-under-test "))
            return true;
        usleep(50000);
    }
    return false;
}

// Waits until no SIGTERM is pending for process pid any more: its stop
// thread has taken the signal.
bool sigtermTaken(pid_t pid, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("ShdPnd:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGTERM - 1))) == 0)
                return true;
        }
        usleep(20000);
    }
    return false;
}

struct StopPoint {
    const char* name;
    const char* line; // the signal goes out when the daemon logs this
};

void PrintTo(const StopPoint& point, std::ostream* out)
{
    *out << point.name;
}

class DaemonStartStopSlow : public ::testing::TestWithParam<StopPoint> {};

} // namespace

TEST_P(DaemonStartStopSlow, TermDuringStartUpStopsEverythingWithStatusZero)
{
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ServiceDaemon service;
        // One member no component reports, so start-up rewrites the file.
        service.writeConfig({{"extra", 1}});
        service.launch();
        ASSERT_TRUE(service.daemon.waitForErr(GetParam().line, kStartMs)) << service.daemon.err();
        service.daemon.signal(SIGTERM);
        std::atomic<bool> ended{false};
        std::atomic<bool> greeted{false};
        std::thread probe(probeGreetings, service.tcpPort, std::cref(ended), std::ref(greeted));
        const int status = service.daemon.wait(kStopMs);
        ended = true;
        probe.join();
        EXPECT_EQ(exitCode(status), 0);

        const std::string log = service.daemon.err();
        const size_t caught = log.find("Signal caught: Terminated [15]");
        ASSERT_NE(caught, std::string::npos) << log;
        EXPECT_EQ(occurrences(log, "Signal caught"), 1u) << log;
        for (const char* line : kStartLines)
            EXPECT_EQ(log.find(line, caught), std::string::npos) << line << "\n" << log;
        // A TCP service that was up before the stop serves until MQTT has
        // stopped; one that was not must never greet.
        if (log.find("[TCP::Server] Started") > caught) {
            EXPECT_FALSE(greeted) << log;
        }
        EXPECT_TRUE(brokerLetGo(service.broker)) << service.broker.log();
        const json file = service.configFile();
        ASSERT_FALSE(file.is_discarded()) << readFile(service.configPath());
        EXPECT_EQ(file["mqtt"]["clientId"], "lumacore-under-test");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DaemonStartStopSlow,
    ::testing::Values(StopPoint{"ManagerOpens", "Trying handshake (0/"},
                      StopPoint{"ConfigRewrite", "Configuration changed ===> Updating"},
                      StopPoint{"MqttStarts", "[MQTT::Client] Starting..."},
                      StopPoint{"TcpStarts", "[TCP::Server] Starting..."},
                      StopPoint{"MainBlocks", "Main blocks here!"}),
    [](const ::testing::TestParamInfo<StopPoint>& info) { return std::string(info.param.name); });

// The board stalls at the first request of the configuration's step (the
// IMU threshold's read, which opening the board does not make) until the
// stop has begun; each request meanwhile times out, so the step lasts some
// seconds: it finishes, and no later one may start.
TEST(DaemonStartStop, NoStartStepBeginsOnceTheStopHasBegun)
{
    ServiceDaemon service;
    std::atomic<bool> stalled{false};
    std::atomic<bool> held{true};
    service.board.refuseRequests([&stalled, &held](const API_Message_t& request) {
        const std::string data(reinterpret_cast<const char*>(request.Data), request.Size);
        if (data.find("ACC_G_THRESHOLD") != std::string::npos && !stalled.exchange(true)) {
            while (held)
                usleep(1000);
        }
        return 0;
    });
    service.writeConfig({{"device", {{"imu", {{"highGthreshold", 1000}}}, {"power", {{"usbHub", true}}}}}});
    service.launch();
    for (int waited = 0; !stalled && waited < kStartMs; waited += 20)
        usleep(20000);
    ASSERT_TRUE(stalled) << service.daemon.err();
    service.daemon.signal(SIGTERM);
    const bool taken = sigtermTaken(service.daemon.pid(), kStopMs);
    // From taking the signal to claiming the stop is a few instructions.
    usleep(300000);
    held = false;
    ASSERT_TRUE(taken);
    EXPECT_EQ(exitCode(service.daemon.wait(kStopMs)), 0);

    const std::string log = service.daemon.err();
    EXPECT_NE(log.find("Signal caught: Terminated [15]"), std::string::npos) << log;
    for (const char* line : {"[MQTT::Client] Starting...", "[TCP::Server] Starting...", "Main blocks here!"})
        EXPECT_EQ(log.find(line), std::string::npos) << line << "\n" << log;
}

#if defined(__SANITIZE_THREAD__)
constexpr int kEndMs = 10000;
#else
constexpr int kEndMs = 5000;
#endif

// SIGTERM early in the start-up with a very long value in the file, while
// it is read, printed and applied.
TEST(DaemonStartStopSlow, TermWhileStartingWithAVeryLongValueEndsSoon)
{
    for (const int moment : {200, 600, 1000}) {
        SCOPED_TRACE(moment);
        ServiceDaemon service;
        service.writeConfig({{"mqtt", {{"extra", std::string(1000000, 'x')}}}});
        service.launch();
        ASSERT_TRUE(service.daemon.waitForErr(" started", kStartMs));
        usleep(moment * 1000);
        service.daemon.signal(SIGTERM);
        EXPECT_EQ(exitCode(service.daemon.wait(kEndMs)), 0);
    }
}

class DaemonStopStormSlow : public ::testing::TestWithParam<int> {};

// SIGTERM while a peer sets the configuration every 10 ms (on for a second
// after the signal): the daemon ends soon, the file whole and no temporary
// file beside it, and no set rewrites the file once MQTT has stopped.
TEST_P(DaemonStopStormSlow, TermEndsSoonAndNoSetRewritesTheFileAfterTheMqttStop)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    std::atomic<bool> storming{true};
    std::thread storm([&] {
        MqttPeer peer(service.broker.url(), "storm-peer");
        for (int n = 0; storming; ++n, usleep(10000))
            peer.publish("tavo/lumacore/config/set", json{{"device", {{"display", {{"brightness", n % 90}}}}}}.dump());
    });
    usleep(GetParam() * 1000);
    const std::string temporary =
        service.daemon.dir().file("lumacore-" + std::to_string(service.daemon.pid()) + "-temp-config");
    service.daemon.signal(SIGTERM);
    const auto signalled = std::chrono::steady_clock::now();
    usleep(1000000);
    storming = false;
    storm.join();
    const auto spent = std::chrono::steady_clock::now() - signalled;
    const int status =
        service.daemon.wait(kEndMs - int(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count()));

    const std::string log = service.daemon.err();
    EXPECT_EQ(exitCode(status), 0) << log;
    EXPECT_NE(access(temporary.c_str(), F_OK), 0);
    EXPECT_TRUE(service.configFile().contains("device")) << readFile(service.configPath());
    const size_t stopped = log.find("[MQTT::Client] Stopped!");
    ASSERT_NE(stopped, std::string::npos) << log;
    EXPECT_EQ(log.find("Configuration changed", stopped), std::string::npos) << log;
}

// Milliseconds from the retained status to the signal.
INSTANTIATE_TEST_SUITE_P(Moments, DaemonStopStormSlow, ::testing::Range(500, 2301, 200));

namespace {

// What holds a stop up: the board, the log, or both at once.
struct StopFault {
    const char* name;
    int runs;
    bool storm;       // sets every 10 ms, else one set
    bool silence;     // the board falls silent 0.5 s before the signal
    size_t errRate;   // octets a second the test takes of the daemon's standard error; 0: all
    size_t wideRows;  // members of an extra section of the file, each a row of the settings table
};

void PrintTo(const StopFault& fault, std::ostream* out)
{
    *out << fault.name;
}

// A set that makes several board requests: pin modes and a brightness.
json boardSet(int n)
{
    const json pin = {{"mode", n % 2 ? "digitalIn" : "digitalOut"}};
    return {{"device", {{"display", {{"brightness", n % 90}}}, {"gpio", {{"0", pin}, {"1", pin}}}}}};
}

// Waits until the daemon's standard error grows by less than 4 KB a second:
// what it logged at start-up has come through.
void waitLogCaughtUp(const DaemonProcess& daemon)
{
    size_t before = daemon.err().size();
    for (int waited = 0; waited < kReactMs; waited += 1000) {
        usleep(1000000);
        const size_t now = daemon.err().size();
        if (now - before < 4096)
            return;
        before = now;
    }
}

// Rows of the settings table as wide as its widest key and value, about
// 500 characters.
json wideSection(size_t rows)
{
    json section = {{std::string(250, 'k'), std::string(250, 'w')}};
    for (size_t row = 1; row < rows; ++row)
        section[std::to_string(1000 + row)] = "w";
    return {{"mqtt", {{"extra", section}}}};
}

// The retained "status" a new subscriber gets within timeoutMs; null when
// none came.
json retainedStatus(const MosquittoBroker& broker, int timeoutMs = 5000)
{
    MqttPeer peer(broker.url(), "status-reader");
    peer.subscribe("tavo/lumacore/status");
    const auto message = peer.next("tavo/lumacore/status", timeoutMs);
    return message ? json::parse(message->to_string(), nullptr, false) : json();
}

// The deadline's warning, naming a step of the stop.
const std::regex kBoundWarning("Stop took longer than 4 s while (waiting for the start-up step under way|stopping the "
                               "(MQTT client|TCP service|board manager)|writing the last log lines); ending now\n");

class DaemonStopBoundSlow : public ::testing::TestWithParam<StopFault> {};

} // namespace

// Whatever holds it up, the stop ends with status 0 within its bound of the
// signal, the deadline's warning and the exit included, the file whole and no
// temporary file left; when the bound ended it, the warning names the step
// then under way.
TEST_P(DaemonStopBoundSlow, TheStopEndsWithinItsBound)
{
    const StopFault& fault = GetParam();
    for (int run = 0; run < fault.runs; ++run) {
        SCOPED_TRACE(run);
        ServiceDaemon service;
        service.daemon.setErrRate(fault.errRate);
        ASSERT_TRUE(service.run(fault.wideRows ? wideSection(fault.wideRows) : json::object()));
        waitLogCaughtUp(service.daemon);
        MqttPeer peer(service.broker.url(), "storm-peer");
        std::atomic<bool> storming{true};
        std::thread sets([&] {
            for (int n = 1; storming && (n == 1 || fault.storm); ++n, usleep(10000))
                peer.publish("tavo/lumacore/config/set", boardSet(n).dump());
        });
        if (fault.silence) {
            usleep(1000000);
            service.board.setSilent(true);
        }
        usleep(500000);
        const std::string temporary =
            service.daemon.dir().file("lumacore-" + std::to_string(service.daemon.pid()) + "-temp-config");
        const auto signalled = std::chrono::steady_clock::now();
        service.daemon.signal(SIGTERM);
        const int status = service.daemon.wait(6000);
        const auto took = std::chrono::steady_clock::now() - signalled;
        storming = false;
        sets.join();

        const std::string log = service.daemon.err();
        const size_t caught = log.find("Signal caught");
        ASSERT_NE(caught, std::string::npos) << log;
        EXPECT_EQ(exitCode(status), 0) << log.substr(caught);
        EXPECT_LT(took, std::chrono::milliseconds(kStopBoundMs));
        EXPECT_NE(access(temporary.c_str(), F_OK), 0);
        EXPECT_FALSE(service.configFile().is_discarded()) << readFile(service.configPath());
        if (log.find("Stop took longer") != std::string::npos) {
            EXPECT_TRUE(std::regex_search(log, kBoundWarning)) << log.substr(caught);
        }
        EXPECT_EQ(retainedStatus(service.broker)["service"], false) << log.substr(caught);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DaemonStopBoundSlow,
    ::testing::Values(StopFault{"SilentBoardUnderSets", 5, true, true, 0, 0},
                      StopFault{"SlowLogWideFile", 1, false, false, 54000, 780},
                      StopFault{"SlowLogWideFileUnderSets", 2, true, false, 54000, 782}),
    [](const ::testing::TestParamInfo<StopFault>& info) { return std::string(info.param.name); });

// A set of the MQTT settings restarts the client; with the board silent its
// "status" takes long, and the signal comes meanwhile: the restart ends as
// the stop, and the client never starts again.
TEST(DaemonStartStopSlow, NoRestartOfTheClientFollowsTheSignal)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.board.setSilent(true);
    service.publish("config/set", {{"mqtt", {{"keepAliveSec", 30}}}});
    ASSERT_TRUE(service.daemon.waitForErr("[MQTT::Client] Stopping...", kReactMs)) << service.daemon.err();
    service.daemon.signal(SIGTERM);
    EXPECT_EQ(exitCode(service.daemon.wait(kStopMs)), 0);

    const std::string log = service.daemon.err();
    const size_t caught = log.find("Signal caught");
    ASSERT_NE(caught, std::string::npos) << log;
    EXPECT_EQ(log.find("[MQTT::Client] Starting...", caught), std::string::npos) << log.substr(caught);
}

// RPC sets every 20 ms while standard error drains at 15 KB/s, then SIGTERM:
// no set the daemon took after the signal is acknowledged, and every set
// acknowledged is in the file. Each set adds a member of its own to "tcp",
// which keeps the members a set does not name.
TEST(DaemonStartStopSlow, NoSetIsTakenAfterTheSignalOrAcknowledgedAndLost)
{
    const std::string request = "tavo/lumacore/config/set/request/me/";
    const std::regex detected("Detected RPC command 'config/set' with id '([0-9]+)'");
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        ServiceDaemon service;
        service.daemon.setErrRate(15000);
        ASSERT_TRUE(service.run());
        waitLogCaughtUp(service.daemon);
        MqttPeer replies(service.broker.url(), "reply-peer");
        replies.subscribe("tavo/lumacore/config/set/response/me/+");
        std::atomic<bool> storming{true};
        std::thread sets([&] {
            MqttPeer peer(service.broker.url(), "storm-peer");
            for (int n = 1; storming; ++n, usleep(20000))
                peer.publish(request + std::to_string(n), json{{"tcp", {{"s" + std::to_string(n), n}}}}.dump());
        });
        ASSERT_TRUE(service.daemon.waitForErr("Detected RPC command 'config/set'", kReactMs));
        usleep(1000000);
        service.daemon.signal(SIGTERM);
        const int status = service.daemon.wait(6000);
        storming = false;
        sets.join();
        usleep(500000);

        const std::string log = service.daemon.err();
        EXPECT_EQ(exitCode(status), 0);
        const size_t caught = log.find("Signal caught");
        ASSERT_NE(caught, std::string::npos) << log;
        std::set<std::string> late;
        for (std::sregex_iterator match(log.begin() + caught, log.end(), detected), end; match != end; ++match)
            late.insert((*match)[1]);
        const json file = service.configFile();
        ASSERT_TRUE(file.contains("tcp")) << readFile(service.configPath());
        size_t acknowledged = 0;
        for (const auto& reply : replies.takeAll()) {
            if (json::parse(reply->to_string(), nullptr, false)["completed"] != true)
                continue;
            const std::string id = reply->get_topic().substr(reply->get_topic().rfind('/') + 1);
            ++acknowledged;
            EXPECT_EQ(late.count(id), 0u) << "acknowledged after the signal: " << id;
            EXPECT_TRUE(file["tcp"].contains("s" + id)) << "acknowledged, not saved: " << id;
        }
        EXPECT_GT(acknowledged, 0u) << log.substr(caught, 3000);
    }
}

// SIGKILL leaves no time for a last status: the broker publishes the will.
TEST(DaemonStartStopSlow, AKilledDaemonLeavesItsWillAsTheStatus)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.daemon.signal(SIGKILL);
    service.daemon.wait(kStopMs);
    json status;
    for (int tried = 0; tried < 10 && !(status.is_object() && status["service"] == false); ++tried, usleep(500000))
        status = retainedStatus(service.broker, 500);
    const json absent = {{"service", false},
                         {"device",
                          {{"active", false}, {"hardwareStatus", nullptr}, {"heater", nullptr}, {"ignition", nullptr},
                           {"poleId", nullptr}, {"temperature", nullptr}, {"uptime", nullptr}, {"voltage", nullptr}}}};
    EXPECT_EQ(status, absent);
}

namespace {

// Whether the board falls silent just before the signal.
class DaemonLastStatusSlow : public ::testing::TestWithParam<bool> {};

// The last "status" of a stop: no service, and from a board that answers
// "active" and every reading, from a silent one neither.
void expectLastStatus(const json& last, bool answering)
{
    ASSERT_TRUE(last.contains("device")) << last;
    EXPECT_EQ(last["service"], false) << last;
    EXPECT_EQ(last["device"]["active"], answering) << last;
    for (const auto& [name, reading] : last["device"].items()) {
        if (name != "active") {
            EXPECT_NE(reading.is_null(), answering) << name << " in " << last;
        }
    }
}

} // namespace

// The last "status" of an orderly stop agrees with the board: one that
// answers gives its readings, one fallen silent is reported inactive with
// null readings, and the stop ends well within its bound either way. The
// board is polled every 50 ms, so a poll that changed the answering state
// during the stop would publish over the last status.
TEST_P(DaemonLastStatusSlow, TheLastStatusAgreesWithTheBoard)
{
    const bool silent = GetParam();
    ServiceDaemon service;
    ASSERT_TRUE(service.run({{"device", {{"statusPeriod", 50}}}}));
    if (silent)
        service.board.setSilent(true);
    const auto signalled = std::chrono::steady_clock::now();
    service.daemon.signal(SIGTERM);
    const int status = service.daemon.wait(kStopMs);
    const auto took = std::chrono::steady_clock::now() - signalled;

    const std::string log = service.daemon.err();
    EXPECT_EQ(exitCode(status), 0) << log;
    EXPECT_EQ(log.find("Stop took longer"), std::string::npos) << log;
    EXPECT_LT(took, std::chrono::milliseconds(kStopBoundMs));
    expectLastStatus(retainedStatus(service.broker), !silent);
}

INSTANTIATE_TEST_SUITE_P(Boards, DaemonLastStatusSlow, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Silent" : "Answering");
                         });

// The signal the moment the client first connects, while the connection's
// first refresh reads every node of the tree and subscribes its topics: the
// connection's own "status" must not follow the last one, nor the broker
// take the disconnect for a lost connection and publish the will over it.
// At the default log level, as on a board: the debug lines' pace hides both.
TEST(DaemonLastStatusSlow, ASignalAtTheFirstConnectionLeavesTheReadings)
{
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        ServiceDaemon service;
        service.debugLog = false;
        service.writeConfig();
        service.launch();
        ASSERT_TRUE(service.daemon.waitForErr("Connected to broker", kStartMs)) << service.daemon.err();
        service.daemon.signal(SIGTERM);
        EXPECT_EQ(exitCode(service.daemon.wait(kStopMs)), 0);
        expectLastStatus(retainedStatus(service.broker), true);
    }
}
