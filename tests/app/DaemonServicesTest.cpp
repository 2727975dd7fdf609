// End-to-end, service mode: the real daemon (a copy) on the simulated board,
// reached over a real broker and real TCP as other programs reach it.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Dripper.h"
#include "ServiceDaemon.h"
#include "messaging/LambdaTree.h"
#include "messaging/TCPServer.h"

namespace {

using nlohmann::json;

// Polls until done holds or timeoutMs passed.
bool eventually(const std::function<bool()>& done, int timeoutMs = kReactMs)
{
    for (int waited = 0; !done(); waited += 50) {
        if (waited >= timeoutMs)
            return false;
        usleep(50000);
    }
    return true;
}

// The next "status" whose device is (in)active; null when none came.
json nextStatus(ServiceDaemon& service, bool active)
{
    for (json status = service.next("status"); !status.is_null(); status = service.next("status")) {
        if (status.at("device").at("active") == active)
            return status;
    }
    return nullptr;
}

} // namespace

TEST(DaemonServices, StartUpWritesTheFileThenServesBothInterfaces)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    const std::string log = service.daemon.err();
    EXPECT_LT(log.find("Saving updated config file"), log.find("[MQTT::Client] Starting...")) << log;
    json file = service.configFile();
    for (const char* section : {"device", "mqtt", "tcp"})
        EXPECT_TRUE(file.contains(section)) << file;
    EXPECT_EQ(file["mqtt"]["clientId"], "lumacore-under-test");
    EXPECT_EQ(file["tcp"]["port"], service.tcpPort);

    TCPClient client = service.connect();
    EXPECT_EQ(ServiceDaemon::request(client, "getPoleID"), "ok,SIM-POLE");

    // A peer that comes later is handed the three nodes by the broker.
    MqttPeer late(service.broker.url(), "late-peer");
    std::map<std::string, json> retained;
    for (const char* node : {"status", "info", "config"}) {
        late.subscribe(std::string("tavo/lumacore/") + node);
        const auto message = late.next(std::string("tavo/lumacore/") + node);
        ASSERT_TRUE(message) << node;
        EXPECT_TRUE(message->is_retained()) << node;
        retained[node] = json::parse(message->get_payload_str());
    }
    EXPECT_EQ(retained["status"]["service"], true);
    EXPECT_EQ(retained["status"]["device"]["active"], true);
    EXPECT_EQ(retained["info"]["service"], (json{{"type", "lumacore"}, {"version", "1.0.28"}}));
    EXPECT_EQ(retained["config"]["tcp"]["port"], service.tcpPort);
}

TEST(DaemonServices, TcpAndMqttRequestsReachTheBoard)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    const auto pin1 = [&service] { return service.board.device().access([](SimDeviceState& s) { return s.pins[1]; }); };

    TCPClient client = service.connect();
    EXPECT_EQ(ServiceDaemon::request(client, "setDigitalOutput,1,1"), "ok");
    EXPECT_EQ(pin1().mode, 0);
    EXPECT_EQ(pin1().output, 1);

    service.peer->subscribe("tavo/lumacore/gpio");
    service.publish("gpio/set", {{"1", {{"value", 0}}}});
    const json gpio = service.next("gpio");
    EXPECT_EQ(gpio["1"]["value"], 0) << gpio;
    EXPECT_EQ(ServiceDaemon::request(client, "getDigitalOutput,1"), "ok,1,0");
    EXPECT_EQ(pin1().output, 0);

    service.peer->subscribe("tavo/lumacore/led/color/set/response/tester/7");
    service.publish("led/color/set/request/tester/7", {{"r", 1}, {"g", 2}, {"b", 3}});
    EXPECT_EQ(service.next("led/color/set/response/tester/7"), (json{{"completed", true}}));
    EXPECT_EQ(service.board.device().access([](SimDeviceState& s) { return s.ledColour; }), 0x030201u);
}

// Ignition off reaches both peers as an event, and with "delayShutdownFor"
// 3 the board is asked about once a second for three seconds to hold on.
TEST(DaemonServicesSlow, IgnitionOffReachesBothPeersAndDelaysTheShutdown)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run({{"device", {{"delayShutdownFor", 3}}}}));
    TCPClient client = service.connect();
    service.peer->subscribe("tavo/lumacore/event");
    service.board.sendIgnition(1);
    service.board.sendIgnition(0);

    std::string line;
    do
        line = nextLine(client);
    while (line.rfind("event,2,IgnitionChanged,", 0) == 0 && line.substr(line.size() - 2) != ",0");
    EXPECT_EQ(line.rfind("event,2,IgnitionChanged,", 0), 0u) << line;
    EXPECT_EQ(line.substr(line.size() - 2), ",0") << line;

    json event = service.next("event");
    while (event.is_object() && event["data"] != "0")
        event = service.next("event");
    ASSERT_TRUE(event.is_object());
    EXPECT_EQ(event["name"], "IgnitionChanged") << event;
    EXPECT_EQ(event["timestamp"].get<std::string>().size(), 14u) << event;

    usleep(6000000);
    const size_t delays = service.board.requestTimes(1, 11).size();
    EXPECT_GE(delays, 2u);
    EXPECT_LE(delays, 4u);
}

TEST(DaemonServices, ConfigSetOverMqttMovesTheTcpPortAndRewritesTheFile)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    const auto moved = static_cast<unsigned short>(MosquittoBroker::freePort());
    service.publish("config/set", {{"tcp", {{"port", moved}}}});
    EXPECT_TRUE(eventually([&] { return service.configFile()["tcp"]["port"] == moved; })) << service.configFile();
    TCPClient client = service.connect(moved);
    EXPECT_EQ(ServiceDaemon::request(client, "getPoleID"), "ok,SIM-POLE");
}

TEST(DaemonServicesSlow, SilentBoardIsPublishedInactiveThenActive)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run({{"device", {{"statusPeriod", 300}}}}));
    service.board.setSilent(true);
    EXPECT_FALSE(nextStatus(service, false).is_null()) << service.daemon.err();
    service.board.setSilent(false);
    EXPECT_FALSE(nextStatus(service, true).is_null()) << service.daemon.err();
}

// With every "log" switch on and the debug level, the payloads that carry
// the broker's password (the retained "config", a set of it and its reply,
// the reply of the password's own node) reach the log only masked.
TEST(DaemonServices, NoLogLineHoldsTheBrokerPassword)
{
    ServiceDaemon service;
    const json logAll = {{"payload", true}, {"published", true}, {"received", true}, {"subscriptions", true}};
    ASSERT_TRUE(service.run({{"mqtt", {{"username", "luma"}, {"password", "a-secret"}, {"log", logAll}}}}));
    const char* const retained = "Publishing retained message (qos=0): tavo/lumacore/config : ";
    EXPECT_TRUE(eventually([&] { return occurrences(service.daemon.err(), retained) == 1; }, kStartMs));
    service.peer->subscribe("tavo/lumacore/config/#");
    service.publish("config/set/request/tester/1", service.configFile());
    EXPECT_EQ(service.next("config/set/response/tester/1")["data"]["mqtt"]["password"], "a-secret");
    service.publish("config/mqtt/password/get/request/tester/2", nullptr);
    EXPECT_EQ(service.next("config/mqtt/password/get/response/tester/2")["data"], "a-secret");

    service.daemon.signal(SIGTERM);
    EXPECT_EQ(exitCode(service.daemon.wait(kStopMs)), 0);
    const std::string log = service.daemon.err();
    EXPECT_NE(log.find("Handling LambdaTree RPC 'config' '{"), std::string::npos) << log;
    EXPECT_NE(log.find("Handling LambdaTree RPC 'config/mqtt/password' '********'"), std::string::npos) << log;
    EXPECT_EQ(log.find("a-secret"), std::string::npos) << log;
}

// SIGTERM stops the MQTT client (which says the service is gone), then the
// TCP service, then the board, and ends with status 0.
TEST(DaemonServices, TermStopsTheInterfacesBeforeTheBoard)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.daemon.signal(SIGTERM);
    EXPECT_EQ(exitCode(service.daemon.wait(kStopMs)), 0);
    const std::string log = service.daemon.err();
    const size_t caught = log.find("Signal caught: Terminated [15]");
    const size_t mqtt = log.find("[MQTT::Client] Stopped!");
    const size_t tcp = log.find("[TCP::Server] Stopped");
    const size_t board = log.find("[Manager] Stopped");
    ASSERT_NE(board, std::string::npos) << log;
    EXPECT_LT(caught, mqtt) << log;
    EXPECT_LT(mqtt, tcp) << log;
    EXPECT_LT(tcp, board) << log;

    MqttPeer late(service.broker.url(), "late-peer");
    late.subscribe("tavo/lumacore/status");
    const auto status = late.next("tavo/lumacore/status");
    ASSERT_TRUE(status);
    EXPECT_EQ(json::parse(status->get_payload_str())["service"], false);
}

// SIGTERM while a TCP client drips a request line (an octet every 250 ms)
// or an upload (one every 1.5 s, under its 2 s read time-out) ends the
// daemon within 5 s.
class DaemonDripTest : public ::testing::TestWithParam<bool> {};

TEST_P(DaemonDripTest, TermEndsTheDaemonWhileAClientDrips)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    TCPClient client = service.connect();
    client.print(GetParam() ? "screenStoreBitmapBuffer,1,8,8,16000000\r\n" : "g");
    ASSERT_TRUE(!GetParam() || client.read() == '>');
    int status = -1;
    {
        Dripper drip(client, std::chrono::milliseconds(GetParam() ? 1500 : 250));
        usleep(2000000);
        service.daemon.signal(SIGTERM);
        status = service.daemon.wait(5000); // -1 after 5 s
    }
    EXPECT_EQ(exitCode(status), 0) << service.daemon.err();
    client.close();
}

INSTANTIATE_TEST_SUITE_P(LineAndUpload, DaemonDripTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Upload" : "Line"; });

// A client that takes 4 KiB of its event lines every 900 ms, at 1,000
// events a second, holds the client lock for at most one line's write
// time-out at a time: SIGTERM ends the daemon within 5 s, and a new client
// is greeted within 2.5 s. Its small receive buffer makes the daemon's
// writes wait for it from about 3 s on.
class DaemonSlowReaderTest : public ::testing::TestWithParam<bool> {};

TEST_P(DaemonSlowReaderTest, NeitherTheStopNorANewClientWaitsForItsLines)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    TCPClient slow;
    slow.setReceiveBuffer(4096);
    slow.setReadTimeout(kReactMs);
    slow.connect("127.0.0.1", service.tcpPort);
    EXPECT_EQ(nextLine(slow), "Lumacore 1.0.28");
    std::atomic<bool> done{false};
    std::thread events([&] {
        for (auto due = std::chrono::steady_clock::now(); !done; due += std::chrono::milliseconds(1)) {
            service.board.sendIndication(1, 5, {1});
            std::this_thread::sleep_until(due);
        }
    });
    std::thread reader([&] {
        unsigned char chunk[4096];
        while (!done && slow.connected()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(900));
            slow.readSome(chunk, sizeof chunk);
        }
    });
    usleep(3000000);
    const auto start = std::chrono::steady_clock::now();
    if (GetParam()) {
        service.daemon.signal(SIGTERM);
        EXPECT_EQ(exitCode(service.daemon.wait(5000)), 0) << service.daemon.err();
    } else {
        TCPClient next = service.connect();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
        next.close();
    }
    done = true;
    events.join();
    reader.join();
    slow.close();
}

INSTANTIATE_TEST_SUITE_P(ReplaceAndTerm, DaemonSlowReaderTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Term" : "Replace"; });

struct FailedStartCase {
    const char* name;
    json extra;
    bool portTaken;
    const char* error;
};

class DaemonFailedStartTest : public ::testing::TestWithParam<FailedStartCase> {};

// A start that throws ends with status 1 through the stop path, with the
// board stopped and the configuration file as it was.
TEST_P(DaemonFailedStartTest, EndsWithStatusOneAndTheFileUnchanged)
{
    const FailedStartCase& c = GetParam();
    ServiceDaemon service;
    TCPServer taken;
    if (c.portTaken) {
        // First a clean run, so that the file holds what the components
        // report and a second start has nothing to rewrite.
        ASSERT_TRUE(service.run(c.extra));
        service.daemon.signal(SIGTERM);
        ASSERT_EQ(exitCode(service.daemon.wait(kStopMs)), 0);
        taken.listen(service.tcpPort, "127.0.0.1");
    } else {
        service.writeConfig(c.extra);
    }
    const std::string before = readFile(service.configPath());
    service.launch();

    EXPECT_EQ(exitCode(service.daemon.wait(kStartMs)), 1);
    const std::string log = service.daemon.err();
    EXPECT_NE(log.find(c.error), std::string::npos) << log;
    EXPECT_NE(log.find("[Manager] Stopped"), std::string::npos) << log;
    EXPECT_EQ(log.find("Main blocks here!"), std::string::npos) << log;
    EXPECT_EQ(readFile(service.configPath()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DaemonFailedStartTest,
    ::testing::Values(FailedStartCase{"PortTaken", json::object(), true, "Address already in use"},
                      FailedStartCase{"DeviceOfWrongTypes", {{"device", {{"statusPeriod", "fast"}}}}, false,
                                      R"(lumacore.json: device/statusPeriod: "fast" is not an unsigned number)"},
                      FailedStartCase{"DeviceOutOfRange", {{"device", {{"statusPeriod", 1e30}}}}, false,
                                      "lumacore.json: device/statusPeriod: 1e+30 is not an unsigned number of "
                                      "milliseconds"},
                      FailedStartCase{"TcpPortOutOfRange", {{"tcp", {{"port", 70000}}}}, false,
                                      "lumacore.json: tcp/port: 70000 is not a port number"},
                      FailedStartCase{"MqttKeepAliveOutOfRange", {{"mqtt", {{"keepAliveSec", 1e30}}}}, false,
                                      "lumacore.json: mqtt/keepAliveSec: 1e+30 is not an unsigned number of seconds "
                                      "up to 4294967295"}),
    [](const ::testing::TestParamInfo<FailedStartCase>& info) { return std::string(info.param.name); });

namespace {

// The members of value at all depths.
size_t nodesBelow(const json& value)
{
    size_t nodes = value.is_structured() ? value.size() : 0;
    for (const json& member : value)
        nodes += member.is_structured() ? nodesBelow(member) : 0;
    return nodes;
}

} // namespace

// Generous for a loaded machine; far below the minutes a stall lasts.
constexpr int kAnswerMs = 5000;
// Extra members of the "mqtt" section: far wider than the mirror bound, and
// well within it.
const json kWide(std::vector<int>(20000));
const json kNarrow(std::vector<int>(50));

TEST(DaemonServices, TheMirrorBoundIsTenTimesTheLargestValueServed)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.peer->subscribe("tavo/lumacore");
    service.publish("get", nullptr);
    const auto whole = service.peer->next("tavo/lumacore", kReactMs);
    ASSERT_TRUE(whole);
    size_t most = 0;
    for (const json& node : json::parse(whole->get_payload_str()))
        most = std::max(most, nodesBelow(node));
    EXPECT_EQ(LambdaTree::kMaxMirrorNodes, 10 * most);
}

// A short keep-alive, so that a stalled client would be dropped within the
// test; a stalled delivery thread answered nothing for minutes.
TEST(DaemonServices, ATooWideConfigSetIsRefusedWhileTheDaemonKeepsServing)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run({{"mqtt", {{"keepAliveSec", 2}}}}));
    const std::string before = readFile(service.configPath());
    json mqtt = service.configFile()["mqtt"];
    mqtt["extra"] = kWide;
    service.peer->subscribe("tavo/lumacore/error");
    service.peer->subscribe("tavo/lumacore/info");
    service.publish("config/set", {{"mqtt", mqtt}});
    EXPECT_EQ(service.next("error"), (json{{"command", "config/set"}, {"error", "Value too wide"}}));

    TCPClient tcp = service.connect();
    tcp.setReadTimeout(kAnswerMs);
    for (int second = 0; second < 4; ++second) {
        service.publish("info/get", nullptr);
        EXPECT_FALSE(service.next("info", kAnswerMs).is_null()) << second;
        EXPECT_EQ(ServiceDaemon::request(tcp, "getPoleID"), "ok,SIM-POLE") << second;
        usleep(1000000);
    }
    EXPECT_EQ(service.broker.log().find("exceeded timeout"), std::string::npos) << service.broker.log();
    EXPECT_EQ(readFile(service.configPath()), before);

    // A narrow extra member is kept: in the file and in the retained node.
    service.peer->subscribe("tavo/lumacore/config");
    mqtt["extra"] = kNarrow;
    service.publish("config/set", {{"mqtt", mqtt}});
    EXPECT_TRUE(eventually([&] { return service.configFile()["mqtt"]["extra"] == kNarrow; }));
    // Once in the set's reply, then retained once the client has restarted
    // with it.
    for (int seen = 0; seen < 2;) {
        json published = service.next("config");
        ASSERT_TRUE(published.is_object());
        seen += published["mqtt"]["extra"] == kNarrow ? 1 : 0;
    }
    MqttPeer late(service.broker.url(), "late-peer");
    late.subscribe("tavo/lumacore/config");
    const auto retained = late.next("tavo/lumacore/config");
    ASSERT_TRUE(retained);
    EXPECT_EQ(json::parse(retained->get_payload_str())["mqtt"]["extra"], kNarrow);

    service.daemon.signal(SIGTERM);
    EXPECT_EQ(exitCode(service.daemon.wait(5000)), 0);
}

// The nodes of value below path, but not below skipped.
void nodesOf(const json& value, const std::string& path, const std::string& skipped, std::vector<std::string>& nodes)
{
    nodes.push_back(path);
    if (path == skipped || !value.is_structured())
        return;
    for (const auto& member : value.items())
        nodesOf(member.value(), path + "/" + member.key(), skipped, nodes);
}

// A member that takes "config" over the mirror bound stays in the
// configuration without topics below it, until a section without it
// replaces it; every other node keeps its topics, and one warning names it.
TEST(DaemonServices, AMemberInTheFileThatBringsTheBulkGetsNoTopics)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run({{"mqtt", {{"extra", std::vector<int>(780)}}}}));
    const json file = service.configFile();
    std::vector<std::string> nodes;
    nodesOf(file, "config", "config/mqtt/extra", nodes);
    service.peer->subscribe("tavo/lumacore/config/#");
    for (const std::string& node : nodes) {
        service.publish(node + "/get", nullptr);
        ASSERT_EQ(service.next(node), file[json::json_pointer(node.substr(6))]) << node;
    }
    EXPECT_EQ(occurrences(service.daemon.err(), "'config/mqtt/extra' holds "), 1u);
    EXPECT_EQ(occurrences(service.daemon.err(), " holds "), 1u);
    EXPECT_EQ(service.broker.log().find("tavo/lumacore/config/mqtt/extra/0"), std::string::npos);

    json mqtt = file["mqtt"];
    mqtt.erase("extra");
    service.publish("config/set", {{"mqtt", mqtt}});
    EXPECT_TRUE(eventually([&] { return !service.configFile()["mqtt"].contains("extra"); }));
}
