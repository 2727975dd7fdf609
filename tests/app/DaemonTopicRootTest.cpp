// End-to-end, service mode: the topic root. A remote set never moves it to
// one MQTT cannot carry, a file's such root never locks the daemon out, a
// move leaves the old root's retained topics telling the truth, and the
// retained "config" follows every set.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <utility>

#include "ServiceDaemon.h"

namespace {

using nlohmann::json;

// The payload of the first message a new subscriber of topic gets within
// timeoutMs (the retained one, if any); null when none came.
json firstMessage(const MosquittoBroker& broker, const std::string& topic, int timeoutMs = kReactMs)
{
    MqttPeer peer(broker.url(), "fresh-reader");
    peer.subscribe(topic);
    const auto message = peer.next(topic, timeoutMs);
    return message ? json::parse(message->to_string(), nullptr, false) : json();
}

// The "mqtt" section of the test's file with another topic root.
json mqttSection(const ServiceDaemon& service, const std::string& base)
{
    return {{"url", service.broker.url()}, {"base", base}, {"clientId", "lumacore-under-test"}};
}

// The RPC get of "config" under root, from a peer of its own; its data, or
// null when no reply came.
json configUnder(const ServiceDaemon& service, const std::string& root)
{
    MqttPeer peer(service.broker.url(), "root-reader");
    peer.subscribe(root + "/config/get/response/+");
    peer.publish(root + "/config/get/request/7", "");
    const auto reply = peer.next(root + "/config/get/response/7", kReactMs);
    return reply ? json::parse(reply->to_string(), nullptr, false)["data"] : json();
}

} // namespace

// A wildcard or a control character would make the broker refuse every
// connection for good, "$" topics are the broker's, and a root of 33 levels
// or 257 octets takes the deepest topics past what brokers take or makes
// every refresh cost megabytes: each set is refused with nothing applied,
// in either form and at any depth.
TEST(DaemonTopicRoot, ASetToARootMqttCannotServeIsRefused)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.subscribe({"error", "config/mqtt/set/response/me/1"});
    const std::string file = readFile(service.configPath());
    const std::string control = "tavo/lumacore\u0007";

    service.publish("config/mqtt/set", mqttSection(service, "tavo/+/lumacore"));
    EXPECT_EQ(service.next("error"), json({{"command", "config/mqtt/set"},
                                           {"error", {{"config", "Invalid topic root: tavo/+/lumacore"}}}}));
    service.publish("config/mqtt/set/request/me/1", mqttSection(service, control));
    const json reply = service.next("config/mqtt/set/response/me/1");
    EXPECT_EQ(reply["completed"], false) << reply;
    EXPECT_EQ(reply["error"], json({{"config", "Invalid topic root: " + control}})) << reply;
    service.publish("config/mqtt/base/set", "$SYS/x");
    EXPECT_EQ(service.next("error"), json({{"command", "config/mqtt/base/set"},
                                           {"error", {{"config", "Invalid topic root: $SYS/x"}}}}));
    std::string deep = "tavo";
    for (int level = 2; level <= 33; ++level)
        deep += "/a";
    const std::string wide(257, 'r');
    const std::pair<std::string, std::string> deepAndWide[] = {{deep, deep},
                                                                {wide, std::string(256, 'r') + "... (257 octets)"}};
    for (const auto& [base, shown] : deepAndWide) {
        service.publish("config/mqtt/set", mqttSection(service, base));
        EXPECT_EQ(service.next("error"), json({{"command", "config/mqtt/set"},
                                               {"error", {{"config", "Invalid topic root: " + shown}}}}));
    }

    EXPECT_EQ(readFile(service.configPath()), file);
    EXPECT_EQ(configUnder(service, "tavo/lumacore")["mqtt"]["base"], "tavo/lumacore");
    EXPECT_EQ(service.daemon.err().find("[MQTT::Client] Stopping..."), std::string::npos) << service.daemon.err();
}

// The broker closes every connection whose client id or user name holds a
// control character: such a set is refused with nothing applied.
TEST(DaemonTopicRoot, ASetToAClientIdOrUserNameMqttCannotCarryIsRefused)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.subscribe({"error"});
    const std::string file = readFile(service.configPath());
    const char* const rows[][3] = {{"clientId", "lumacore\u0007", "Invalid client id: lumacore\u0007"},
                                   {"username", "user\u0001", "Invalid user name: user\u0001"}};
    for (const auto& [key, value, error] : rows) {
        json section = mqttSection(service, "tavo/lumacore");
        section[key] = value;
        service.publish("config/mqtt/set", section);
        EXPECT_EQ(service.next("error"), json({{"command", "config/mqtt/set"}, {"error", {{"config", error}}}}));
    }
    EXPECT_EQ(readFile(service.configPath()), file);
    EXPECT_EQ(configUnder(service, "tavo/lumacore")["mqtt"]["clientId"], "lumacore-under-test");
    EXPECT_EQ(service.daemon.err().find("[MQTT::Client] Stopping..."), std::string::npos) << service.daemon.err();
}

// The file's root cannot be carried: the daemon serves the root it was built
// with, keeps the file's text, and a set there puts the root right.
TEST(DaemonTopicRoot, AFileRootMqttCannotCarryIsServedUnderTheBuiltInRoot)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run({{"mqtt", {{"base", "tavo/+/lumacore"}}}}));
    EXPECT_EQ(occurrences(service.daemon.err(), "MQTT cannot carry the topic root 'tavo/+/lumacore'"), 1u);
    EXPECT_EQ(configUnder(service, "tavo/lumacore")["mqtt"]["base"], "tavo/+/lumacore");
    EXPECT_EQ(service.configFile()["mqtt"]["base"], "tavo/+/lumacore");

    service.publish("config/mqtt/set", mqttSection(service, "tavo/fixed"));
    EXPECT_FALSE(firstMessage(service.broker, "tavo/fixed/status").is_null()) << service.daemon.err();
    EXPECT_EQ(configUnder(service, "tavo/fixed")["mqtt"]["base"], "tavo/fixed");
    EXPECT_EQ(service.configFile()["mqtt"]["base"], "tavo/fixed");
}

namespace {

class DaemonTopicRootMove : public ::testing::TestWithParam<int> {};

} // namespace

// A set that moves the root is answered under the root it came in on; the
// old root's retained "status" then says the service is gone and its
// retained "config" shows the move, whether the daemon stops or is killed.
TEST_P(DaemonTopicRootMove, TheOldRootIsLeftTellingTheTruth)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.subscribe({"config/mqtt/set/response/me/1"});
    service.publish("config/mqtt/set/request/me/1", mqttSection(service, "tavo/moved"));
    EXPECT_EQ(service.next("config/mqtt/set/response/me/1")["completed"], true) << service.daemon.err();
    EXPECT_FALSE(firstMessage(service.broker, "tavo/moved/status").is_null()) << service.daemon.err();

    service.daemon.signal(GetParam());
    service.daemon.wait(kStopMs);
    EXPECT_EQ(firstMessage(service.broker, "tavo/lumacore/status")["service"], false);
    EXPECT_EQ(firstMessage(service.broker, "tavo/lumacore/config")["mqtt"]["base"], "tavo/moved");
}

INSTANTIATE_TEST_SUITE_P(Ends, DaemonTopicRootMove, ::testing::Values(SIGTERM, SIGKILL),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGTERM ? "Term" : "Kill");
                         });

// A root may hold a level "request": the RPCs under it are still answered.
TEST(DaemonTopicRoot, RpcsAreAnsweredUnderARootHoldingALevelRequest)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.publish("config/mqtt/set", mqttSection(service, "tavo/request/x"));
    EXPECT_FALSE(firstMessage(service.broker, "tavo/request/x/status").is_null()) << service.daemon.err();
    EXPECT_EQ(configUnder(service, "tavo/request/x")["mqtt"]["base"], "tavo/request/x") << service.daemon.err();
}

// A set that one component refuses moves no part of the connection: the
// daemon stays at its root, where its retained status still says it serves.
TEST(DaemonTopicRoot, ASetAComponentRefusesLeavesTheConnectionAsItWas)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.subscribe({"config/set/response/me/1"});
    service.publish("config/set/request/me/1",
                    {{"mqtt", mqttSection(service, "tavo/elsewhere")}, {"device", {{"statusPeriod", "abc"}}}});
    const json reply = service.next("config/set/response/me/1");
    EXPECT_EQ(reply["completed"], false) << reply;
    EXPECT_FALSE(reply["error"].is_null()) << reply;
    // A restart the set planned would have begun by now.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(configUnder(service, "tavo/lumacore")["mqtt"]["base"], "tavo/lumacore") << service.daemon.err();
    EXPECT_EQ(firstMessage(service.broker, "tavo/lumacore/status")["service"], true);
}

// A peer that subscribes after a set gets the configuration the daemon now
// runs with, not that of its last connection.
TEST(DaemonTopicRoot, TheRetainedConfigFollowsASet)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.publish("config/tcp/set", {{"s1", 1}});
    json seen;
    do
        seen = service.next("config");
    while (!seen.is_null() && seen["tcp"]["s1"] != 1);
    ASSERT_EQ(seen["tcp"]["s1"], 1) << service.daemon.err();
    EXPECT_EQ(firstMessage(service.broker, "tavo/lumacore/config")["tcp"]["s1"], 1);
}
