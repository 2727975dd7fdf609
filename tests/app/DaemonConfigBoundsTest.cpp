// End-to-end, service mode: what remote sets of "config" may store. A set
// that would cut the daemon's own topics, or store a long text or a large
// file, is refused whole, and the daemon keeps serving.

#include <gtest/gtest.h>

#include "ServiceDaemon.h"
#include "app/Config.h"

namespace {

using nlohmann::json;

json refused(const std::string& node)
{
    return {{"command", node + "/set"}, {"error", "Value too wide"}};
}

// What the broker hands a new peer as "config".
json retainedConfig(ServiceDaemon& service)
{
    MqttPeer late(service.broker.url(), "late-peer");
    late.subscribe("tavo/lumacore/config");
    const auto message = late.next("tavo/lumacore/config");
    return message ? json::parse(message->get_payload_str()) : json();
}

} // namespace

// "config" holds about 80 nodes of its own: 780 more, or two members of 390,
// would take it over the mirror bound.
TEST(DaemonConfigBounds, SetsThatWouldCutTheDaemonsOwnTopicsAreRefused)
{
    ServiceDaemon service;
    ASSERT_TRUE(service.run());
    const json retained = retainedConfig(service);
    for (const char* topic : {"error", "config/tcp", "config/mqtt/url"})
        service.peer->subscribe(std::string("tavo/lumacore/") + topic);
    json file = service.configFile();
    const std::string before = readFile(service.configPath());
    file["mqtt"]["extra"] = std::vector<int>(780);
    service.publish("config/mqtt/set", file["mqtt"]);
    EXPECT_EQ(service.next("error"), refused("config/mqtt"));
    EXPECT_EQ(readFile(service.configPath()), before);

    file["tcp"]["extra"] = std::vector<int>(390);
    service.publish("config/tcp/set", file["tcp"]);
    EXPECT_EQ(service.next("config/tcp"), file["tcp"]);
    const std::string withOne = readFile(service.configPath());
    file["mqtt"]["extra"] = std::vector<int>(390);
    service.publish("config/mqtt/set", file["mqtt"]);
    EXPECT_EQ(service.next("error"), refused("config/mqtt"));
    EXPECT_EQ(readFile(service.configPath()), withOne);

    service.publish("config/tcp/get", nullptr);
    EXPECT_EQ(service.next("config/tcp"), file["tcp"]);
    service.publish("config/mqtt/url/get", nullptr);
    EXPECT_EQ(service.next("config/mqtt/url"), service.broker.url());
    EXPECT_EQ(retainedConfig(service), retained);
}

// At the default level, as on a board, where one row of a million characters
// wrote 75 MB of log. Each accepted set restarts the TCP listener, which
// takes about a second.
TEST(DaemonConfigBounds, LongTextsAndALargeFileAreRefusedWithoutFloodingTheLog)
{
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run());
    for (const char* topic : {"error", "config/tcp", "config/tcp/set/response/+"})
        service.peer->subscribe(std::string("tavo/lumacore/") + topic);
    const size_t logged = service.daemon.err().size();
    const std::string before = readFile(service.configPath());
    service.publish("config/set", {{"tcp", {{"junk", std::string(1000000, 'j')}}}});
    EXPECT_EQ(service.next("error"), refused("config"));
    service.publish("config/tcp/get", nullptr);
    EXPECT_FALSE(service.next("config/tcp", 1000).is_null());
    EXPECT_LT(service.daemon.err().size() - logged, 64u * 1024);
    EXPECT_EQ(readFile(service.configPath()), before);

    // The tcp section merges each set into what it holds: four more texts a
    // set, until the file would pass its bound.
    const std::string text(4000, 't');
    json reply = {{"completed", true}};
    for (size_t set = 0; set < 20 && reply["completed"] == true; ++set) {
        const std::string was = readFile(service.configPath());
        json texts;
        for (size_t key = 0; key < 4; ++key)
            texts["t" + std::to_string(set * 4 + key)] = text;
        service.publish("config/tcp/set/request/" + std::to_string(set), texts);
        reply = service.next("config/tcp/set/response/" + std::to_string(set));
        EXPECT_LE(readFile(service.configPath()).size(), tavo::Config::Config::kMaxRemoteFile);
        if (reply["completed"] != true) {
            EXPECT_EQ(readFile(service.configPath()), was);
        }
    }
    EXPECT_EQ(reply, json::parse(R"({"completed":false,"error":{"description":"Value too wide"}})"));
    service.publish("config/tcp/get", nullptr);
    EXPECT_FALSE(service.next("config/tcp", 1000).is_null());
}

// The text bound counts octets: 4,096 one-octet characters or 1,024
// four-octet ones are stored, one more is refused, by a plain set and by a
// request alike. Each text goes to a member of its own.
TEST(DaemonConfigBounds, ATextOf4096OctetsIsStoredAndOneMoreRefused)
{
    ServiceDaemon service;
    service.debugLog = false;
    ASSERT_TRUE(service.run());
    for (const char* topic : {"error", "config/tcp", "config/tcp/set/response/+"})
        service.peer->subscribe(std::string("tavo/lumacore/") + topic);
    const struct {
        const char* character;
        size_t count;
        bool stored;
    } rows[] = {{"a", 4096, true},
                {"a", 4097, false},
                {"\xf0\x9f\x98\x80", 1024, true},
                {"\xf0\x9f\x98\x80", 1025, false}};
    int member = 0;
    for (const auto& row : rows) {
        std::string text;
        for (size_t i = 0; i < row.count; ++i)
            text += row.character;
        for (const bool request : {false, true}) {
            const std::string name = "text" + std::to_string(member++);
            if (request) {
                service.publish("config/tcp/set/request/" + name, {{name, text}});
                EXPECT_EQ(service.next("config/tcp/set/response/" + name)["completed"], row.stored) << name;
            } else if (service.publish("config/tcp/set", {{name, text}}); row.stored) {
                json shown;
                do
                    shown = service.next("config/tcp");
                while (shown.is_object() && !shown.contains(name));
                EXPECT_TRUE(shown[name] == text) << name;
            } else {
                EXPECT_EQ(service.next("error"), refused("config/tcp")) << name;
            }
            EXPECT_EQ(service.configFile()["tcp"].contains(name), row.stored) << name;
        }
    }
}
