#include "messaging/Config.h"

#include <gtest/gtest.h>

#include "foundation/JsonSetting.h"
#include "tests/support/LogCapture.h"

using nlohmann::json;

namespace {

MQTT::Config merged(const json& section)
{
    MQTT::Config config("", "MQTT");
    config.fromJson(section);
    return config;
}

} // namespace

TEST(MQTTConfig, DefaultsAsJsonAndLoggedOnce)
{
    LogCapture capture;
    const MQTT::Config config("tavo/lumacore", "MQTT");
    EXPECT_EQ(config.toJson(), json::parse(R"({
        "base": "tavo/lumacore", "clientId": "", "keepAliveSec": 20,
        "log": {"payload": false, "published": false, "received": false, "subscriptions": false},
        "password": "", "url": "127.0.0.1:1883", "username": ""})"));
    const auto texts = capture.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "[MQTT::Config] Loading default configuration."), 1);
}

TEST(MQTTConfig, MergeKeepsDefaultsAndExtraKeys)
{
    const MQTT::Config config = merged(json::parse(R"({"url": "10.0.0.7:1884", "extra": {"x": 1}})"));
    EXPECT_EQ(config.getUrl(), "10.0.0.7:1884");
    EXPECT_EQ(config.getUsername(), "");
    EXPECT_EQ(config.getPassword(), "");
    EXPECT_EQ(config.getClientId(), "");
    EXPECT_EQ(config.getBase(), "");
    EXPECT_EQ(config.getKeepAlive(), 20u);
    EXPECT_FALSE(config.getLogPayload() || config.getLogSubscriptions() || config.getLogPublished() ||
                 config.getLogReceived());
    EXPECT_EQ(config.toJson()["extra"], json::parse(R"({"x": 1})"));
}

// A value beyond 32 bits, negative, fractional or no number is refused and
// the default stays; one within 32 bits is clamped to what MQTT carries.
TEST(MQTTConfig, KeepAliveReadsBaseZeroAndClamps)
{
    const struct {
        json value;
        unsigned int expected;
        bool warned;
        bool refused = false;
    } cases[] = {
        {"30", 30, false}, {"0x1E", 30, false}, {"036", 30, false}, {"abc", 20, false, true},
        {30, 30, false},   {0, 0, false},       {65535, 65535, false}, {70000, 65535, true},
        {-5, 20, false, true}, {"4294967326", 20, false, true}, {4294967295U, 65535, true},
        {1e6, 65535, true}, {1e30, 20, false, true}, {2.5, 20, false, true},
    };
    for (const auto& c : cases) {
        LogCapture capture;
        MQTT::Config config("", "MQTT");
        bool refused = false;
        try {
            config.fromJson(json{{"keepAliveSec", c.value}});
        } catch (const SettingError&) {
            refused = true;
        }
        EXPECT_EQ(refused, c.refused) << c.value;
        EXPECT_EQ(config.getKeepAlive(), c.expected) << c.value;
        bool warned = false;
        for (const auto& line : capture.lines()) {
            warned = warned || line.text.rfind("[MQTT::Config] Keep-alive", 0) == 0;
        }
        EXPECT_EQ(warned, c.warned) << c.value;
    }
}

TEST(MQTTConfig, SwitchesAreOnOnlyForTheTrueWords)
{
    const struct {
        json value;
        bool expected;
    } cases[] = {
        {"on", true}, {"TRUE", true}, {"High", true}, {"1", true}, {true, true}, {1, true},
        {"yes", false}, {"0", false}, {false, false}, {2, false}, {nullptr, false},
    };
    for (const auto& c : cases) {
        const json log{{"payload", c.value}, {"published", c.value}, {"received", c.value},
                       {"subscriptions", c.value}};
        const MQTT::Config config = merged(json{{"log", log}});
        EXPECT_EQ(config.getLogPayload(), c.expected) << c.value;
        EXPECT_EQ(config.getLogPublished(), c.expected) << c.value;
        EXPECT_EQ(config.getLogReceived(), c.expected) << c.value;
        EXPECT_EQ(config.getLogSubscriptions(), c.expected) << c.value;
    }
}
