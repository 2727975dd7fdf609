#include <gtest/gtest.h>

#include "messaging/Client.h"

namespace {

using RpcData = MQTT::Client::RpcData;

struct ParseCase {
    const char* base;
    const char* topic;
    RpcData expected;
};

TEST(ClientTopics, RpcRequestTopicsParse)
{
    const ParseCase cases[] = {
        {"tavo/lumacore", "tavo/lumacore/gpio/set/request/42", {"", "gpio/set", "42"}},
        {"tavo/lumacore", "tavo/lumacore/gpio/set/request/tool/42", {"tool", "gpio/set", "42"}},
        {"tavo/lumacore", "tavo/lumacore/gpio/set/request//42", {}},
        {"tavo/lumacore", "tavo/lumacore/N/request/a/b/c", {"a", "N", "b/c"}},
        {"tavo/lumacore", "tavo/lumacore/N/request/", {}},
        {"tavo/lumacore", "tavo/lumacore/request/1", {}},
        {"tavo/lumacore", "tavo/lumacoreN/request/1", {}},
        {"tavo/lumacore", "other/N/request/1", {}},
        {"", "gpio/set/request/7", {"", "gpio/set", "7"}},
        {"", "/request/7", {}},
        {"", "config/get/request/me/1", {"me", "config/get", "1"}},
        {"tavo/x/", "tavo/x/config/get/request/me/1", {"me", "config/get", "1"}},
        {"/", "/config/get/request/1", {"", "config/get", "1"}},
        {"/", "//config/get/request/1", {"", "config/get", "1"}},
        {"tavo/request/x", "tavo/request/x/config/get/request/me/1", {"me", "config/get", "1"}},
        {"tavo/request", "tavo/request/request/1", {}},
    };
    for (const auto& c : cases) {
        MQTT::Client client(c.base, "MQTT");
        const RpcData parsed = client.parseRpcTopicRequest(c.topic);
        EXPECT_EQ(c.expected.issuer, parsed.issuer) << c.topic;
        EXPECT_EQ(c.expected.name, parsed.name) << c.topic;
        EXPECT_EQ(c.expected.id, parsed.id) << c.topic;
    }
}

TEST(ClientTopics, RpcResponseTopicsParse)
{
    MQTT::Client client("tavo/lumacore", "MQTT");
    const RpcData parsed = client.parseRpcTopicResponse("remote/svc/response/12345");
    EXPECT_EQ("remote/svc", parsed.name);
    EXPECT_EQ("12345", parsed.id);
    EXPECT_TRUE(client.parseRpcTopicResponse("remote/svc/12345").id.empty());
}

TEST(ClientTopics, RemoveTopicPartFoldsSlashes)
{
    const char* cases[][3] = {
        {"tavo/lumacore/a//b", "tavo/lumacore", "a/b"},
        {"a/b", "", "a/b"},
        {"a/b", "x", "a/b"},
        {"x/tavo/y", "tavo", "x/y"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c[2], MQTT::Client::removeTopicPart(c[0], c[1])) << c[0] << " - " << c[1];
}

TEST(ClientTopics, TopicMatchFollowsTheSystemRules)
{
    const struct {
        const char* topic;
        const char* pattern;
        bool matches;
    } cases[] = {
        {"a", "a", true},           {"ab", "a/#", true},          {"a", "a/#", true},
        {"a/b", "a/#", true},       {"b", "a/#", false},          {"x/y", "#", true},
        {"a/b", "a/c", false},      {"gpio/set", "gpio/+", true}, {"gpio", "gpio/+", false},
        {"g/s/x", "g/+", false},    {"a/b/c", "a/+/#", true},     {"a", "a/+/#", false},
        {"N/request/1", "N/request/+", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.matches, MQTT::Client::topicMatch(c.topic, c.pattern)) << c.topic << " ~ " << c.pattern;
}

TEST(ClientTopics, RpcRepliesLeaveOutEmptyMembers)
{
    using nlohmann::json;
    EXPECT_EQ(R"({"completed":true})", MQTT::Client::makeRpcCompleted(nullptr));
    EXPECT_EQ(R"({"completed":true})", MQTT::Client::makeRpcCompleted(json::object()));
    EXPECT_EQ(R"({"completed":true})", MQTT::Client::makeRpcCompleted(json::array()));
    EXPECT_EQ(R"({"completed":true,"data":{"a":1}})", MQTT::Client::makeRpcCompleted({{"a", 1}}));
    EXPECT_EQ(R"({"completed":false,"data":5,"error":"x"})", MQTT::Client::makeRpcFailed("x", 5));
    EXPECT_EQ(R"({"completed":false})", MQTT::Client::makeRpcFailed(nullptr, json::array()));
    // A device text with a bad byte is replaced, never thrown.
    EXPECT_EQ("{\"completed\":true,\"data\":\"\xEF\xBF\xBD\"}", MQTT::Client::makeRpcCompleted("\xFF"));
}

} // namespace
