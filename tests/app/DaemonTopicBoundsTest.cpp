// End-to-end, service mode: the topics a configuration gives its nodes. A
// node costs the octets of its path, so a set whose paths MQTT could not
// carry, or that would make megabytes of subscriptions, is refused; a file
// that holds them keeps its value without those topics. No member takes a
// command level, and no reply goes out on a topic MQTT cannot carry.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include "ServiceDaemon.h"

namespace {

using nlohmann::json;

const std::string kRoot = "tavo/lumacore/";

// {"deep": {N1: {N2: ... {Nlevels: inner}}}}, each name `octets` long.
json chain(size_t levels, size_t octets, const json& inner)
{
    json value = inner;
    for (size_t level = levels; level > 0; --level)
        value = json{{std::string(octets, static_cast<char>('a' + level % 26)), value}};
    return json{{"deep", value}};
}

size_t longestLine(const std::string& log)
{
    size_t longest = 0;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        longest = std::max(longest, line.size());
    return longest;
}

// The child's peak resident set in KiB; 0 when unknown.
size_t peakKib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::stoul(line.substr(6));
    }
    return 0;
}

// Both forms answer: the plain get and the RPC get of "config" and "tcp".
void expectServing(ServiceDaemon& service, const std::string& id)
{
    service.publish("config/get", nullptr);
    EXPECT_FALSE(service.next("config").is_null());
    service.publish("config/tcp/get/request/" + id, nullptr);
    EXPECT_EQ(service.next("config/tcp/get/response/" + id)["completed"], true);
}

} // namespace

// Seventeen names of 4,000 octets: within the text rule, but the paths of
// their nodes would pass what a SUBSCRIBE packet can carry, and the broker
// would drop the daemon at every connection.
TEST(DaemonTopicBounds, AChainOfLongNamesIsRefusedAndTheDaemonKeepsItsConnection)
{
    const json deep = chain(17, 4000, 0);
    for (const bool debug : {false, true}) {
        ServiceDaemon service;
        service.debugLog = debug;
        ASSERT_TRUE(service.run());
        service.subscribe({"error", "config/tcp", "config/set/response/+", "config/tcp/get/response/+"});
        const std::string before = readFile(service.configPath());
        const size_t logged = service.daemon.err().size();
        service.publish("config/tcp/set", deep);
        EXPECT_EQ(service.next("error"), json({{"command", "config/tcp/set"}, {"error", "Value too wide"}}));
        service.publish("config/set/request/1", {{"tcp", deep}});
        EXPECT_EQ(service.next("config/set/response/1"),
                  json({{"completed", false}, {"error", {{"description", "Value too wide"}}}}));
        expectServing(service, "2");
        EXPECT_EQ(readFile(service.configPath()), before);
        const std::string log = service.daemon.err().substr(logged);
        EXPECT_EQ(log.find("Disconnected from broker"), std::string::npos);
        EXPECT_LE(longestLine(log), debug ? 16u * 1024 : 1024u);
    }
}

// The same chain in a file edited by hand: the deepest node whose path fits
// keeps its value without children, named by one warning.
TEST(DaemonTopicBounds, AChainInTheFileKeepsItsValueAndTheNodesThatFit)
{
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run({{"tcp", chain(17, 4000, 0)}}));
    service.subscribe({"config/tcp", "config/tcp/get/response/+"});
    expectServing(service, "1");
    const std::string log = service.daemon.err();
    EXPECT_EQ(occurrences(log, "[LambdaTree] "), 1u) << log.substr(0, 4000);
    EXPECT_EQ(occurrences(log, "[LambdaTree] The members of 'config/tcp/deep/"), 1u);
    EXPECT_EQ(log.find("Disconnected from broker"), std::string::npos);
    EXPECT_LE(longestLine(log), 1024u);
}

// Fifteen names of 4,000 octets and 700 leaves: 716 nodes within the node
// bound, whose subscriptions would have taken the daemon to a gigabyte.
TEST(DaemonTopicBounds, ASetOfLongPathsIsJudgedQuicklyInLittleMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own memory hides the daemon's";
#endif
    json leaves;
    for (int leaf = 0; leaf < 700; ++leaf)
        leaves["leaf" + std::to_string(leaf)] = leaf;
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run());
    service.subscribe({"error"});
    const size_t peak = peakKib(service.daemon.pid());
    ASSERT_GT(peak, 0u);
    const auto start = std::chrono::steady_clock::now();
    service.publish("config/tcp/set", chain(15, 4000, leaves));
    EXPECT_FALSE(service.next("error", 5000).is_null());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_LT(peakKib(service.daemon.pid()) - peak, 32u * 1024);
}

// Members named "set", "get" and "request" are kept but get no node: a read
// of what would be their topics writes nothing, and every RPC parses. They
// are in the file, so that their topics would be subscribed at the start.
TEST(DaemonTopicBounds, MembersNamedAsCommandLevelsGetNoNode)
{
    ServiceDaemon service;
    const int other = service.tcpPort == 65535 ? 1 : service.tcpPort + 1;
    const json members = {{"set", {{"port", other}}}, {"get", {{"port", other}}}, {"request", {{"x", 1}}}};
    ASSERT_TRUE(service.run({{"tcp", members}}));
    service.subscribe({"error", "config/tcp", "config/tcp/get/response/+"});
    const std::string stored = readFile(service.configPath());
    for (const char* topic : {"config/tcp/set/get", "config/tcp/get/get", "config/tcp/get"})
        service.peer->publish(kRoot + topic, "");
    service.publish("config/tcp/get/request/1", nullptr);
    const json tcp = service.next("config/tcp/get/response/1")["data"];
    for (const auto& member : members.items())
        EXPECT_EQ(tcp[member.key()], member.value()) << member.key();
    // Time for a set that a get would have turned into to land.
    EXPECT_TRUE(service.next("error", 2000).is_null());
    EXPECT_EQ(readFile(service.configPath()), stored);
    EXPECT_EQ(occurrences(service.daemon.err(), "' gets no topics: its name is a level of the command topics"), 3u);
}

// The reply topic of this request would be one octet over what MQTT carries.
TEST(DaemonTopicBounds, ARequestWhoseReplyCannotBeCarriedGetsNone)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    service.subscribe({"status/get/response/+"});
    const std::string request = kRoot + "status/get/request/";
    const size_t logged = service.daemon.err().size();
    service.peer->publish(request + std::string(65535 - request.size(), 'i'), "");
    service.publish("status/get/request/2", nullptr);
    EXPECT_EQ(service.next("status/get/response/2")["completed"], true);
    const std::string log = service.daemon.err().substr(logged);
    EXPECT_EQ(occurrences(log, "[MQTTClient] Not publishing on 'tavo/lumacore/status/get/response/"), 1u);
    EXPECT_EQ(log.find("Disconnected from broker"), std::string::npos);
    EXPECT_LE(longestLine(log), 16u * 1024);
}
