// End-to-end, service mode: what remote sets of "config" may store. A set
// that would cut the daemon's own topics, or store a long text or a large
// file, is refused whole, and the daemon keeps serving.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ServiceDaemon.h"
#include "app/Config.h"

namespace {

using nlohmann::json;
using tavo::Config::Config;

const json kRefusedSet = {{"error", "Value too wide"}};

json numbers(size_t count)
{
    json list = json::array();
    for (size_t i = 0; i < count; ++i)
        list.push_back(i);
    return list;
}

// The error a refused plain set of the node publishes.
json refused(const std::string& node)
{
    json error = kRefusedSet;
    error["command"] = node + "/set";
    return error;
}

// Milliseconds until the node's value came back for a get; -1 when none did.
long long answerMs(ServiceDaemon& service, const std::string& node, const json& expected)
{
    using namespace std::chrono;
    const auto start = steady_clock::now();
    service.publish(node + "/get", nullptr);
    const json value = service.next(node);
    EXPECT_EQ(value, expected) << node;
    return value.is_null() ? -1 : duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// What the broker hands a new peer as "config"; null when nothing.
json retainedConfig(ServiceDaemon& service)
{
    MqttPeer late(service.broker.url(), "late-peer");
    late.subscribe("tavo/lumacore/config");
    const auto message = late.next("tavo/lumacore/config");
    return message ? json::parse(message->get_payload_str(), nullptr, false) : json();
}

} // namespace

// The "config" node holds about 80 nodes of its own: 780 more, or two
// members of 390, would take it over the mirror bound.
TEST(DaemonConfigBounds, SetsThatWouldCutTheDaemonsOwnTopicsAreRefused)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    const json retained = retainedConfig(service);
    ASSERT_TRUE(retained.is_object());
    for (const char* topic : {"error", "config/tcp", "config/mqtt/url"})
        service.peer->subscribe(std::string("tavo/lumacore/") + topic);
    json mqtt = service.configFile()["mqtt"];
    json tcp = service.configFile()["tcp"];
    const std::string before = readFile(service.configPath());

    mqtt["extra"] = numbers(780);
    service.publish("config/mqtt/set", mqtt);
    EXPECT_EQ(service.next("error"), refused("config/mqtt"));
    EXPECT_EQ(readFile(service.configPath()), before);

    tcp["extra"] = numbers(390);
    service.publish("config/tcp/set", tcp);
    EXPECT_EQ(service.next("config/tcp"), tcp);
    const std::string withOne = readFile(service.configPath());
    EXPECT_EQ(service.configFile()["tcp"], tcp);
    mqtt["extra"] = numbers(390);
    service.publish("config/mqtt/set", mqtt);
    EXPECT_EQ(service.next("error"), refused("config/mqtt"));
    EXPECT_EQ(readFile(service.configPath()), withOne);

    EXPECT_LE(answerMs(service, "config/tcp", tcp), kReactMs);
    EXPECT_LE(answerMs(service, "config/mqtt/url", service.broker.url()), kReactMs);
    EXPECT_EQ(retainedConfig(service), retained);
}

// At the default level, as on a board; one such row used to write 75 MB.
TEST(DaemonConfigBounds, AMillionCharacterTextIsRefusedWithoutFloodingTheLog)
{
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run());
    for (const char* topic : {"error", "config/tcp"})
        service.peer->subscribe(std::string("tavo/lumacore/") + topic);
    const std::string before = readFile(service.configPath());
    const size_t logged = service.daemon.err().size();

    service.publish("config/set", {{"tcp", {{"junk", std::string(1000000, 'j')}}}});
    EXPECT_EQ(service.next("error"), refused("config"));
    const long long ms = answerMs(service, "config/tcp", service.configFile()["tcp"]);
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, 1000);
    EXPECT_LT(service.daemon.err().size() - logged, 64u * 1024) << service.daemon.err().substr(logged, 2000);
    EXPECT_EQ(readFile(service.configPath()), before);
}

// The tcp section merges what a set names into what it holds, so each set
// adds its texts until the file would pass its bound. Through the RPC form,
// whose reply says which. Each accepted set restarts the TCP listener, which
// takes about a second.
TEST(DaemonConfigBounds, TextsUnderNewKeysStopAtTheFileBound)
{
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run());
    for (const char* topic : {"config/tcp", "config/tcp/set/response/+"})
        service.peer->subscribe(std::string("tavo/lumacore/") + topic);
    const std::string text(4000, 't');
    const size_t perSet = 4;
    for (size_t set = 0;; ++set) {
        ASSERT_LE(set * perSet * text.size(), Config::kMaxRemoteFile) << "never refused";
        const std::string before = readFile(service.configPath());
        json texts;
        for (size_t key = 0; key < perSet; ++key)
            texts["text" + std::to_string(set * perSet + key)] = text;
        const std::string id = std::to_string(set);
        service.publish("config/tcp/set/request/" + id, texts);
        const json reply = service.next("config/tcp/set/response/" + id);
        ASSERT_TRUE(reply.is_object()) << set;
        if (!reply["completed"].get<bool>()) {
            EXPECT_EQ(reply, json::parse(R"({"completed":false,"error":{"description":"Value too wide"}})"));
            EXPECT_EQ(readFile(service.configPath()), before);
            EXPECT_GT(before.size() + perSet * text.size(), Config::kMaxRemoteFile);
            break;
        }
        for (const auto& added : texts.items())
            EXPECT_EQ(reply["data"][added.key()], text) << added.key();
        EXPECT_LE(readFile(service.configPath()).size(), Config::kMaxRemoteFile);
    }
    const long long ms = answerMs(service, "config/tcp", service.configFile()["tcp"]);
    EXPECT_GE(ms, 0);
    EXPECT_LE(ms, 1000);
}
