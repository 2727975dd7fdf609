// What a log line may show of an MQTT payload: passwords never, anything
// else as it came, cut when long.

#include <gtest/gtest.h>

#include "messaging/PasswordMask.h"

#include <string>

namespace {

struct MaskCase {
    const char* topic;
    const char* payload;
    const char* shown;
};

const MaskCase kCases[] = {
    {"base/config/set", R"({"mqtt":{"password":"pw","url":"u"}})", R"({"mqtt":{"password":"********","url":"u"}})"},
    {"base/config/set/response/t/1", R"({"data":[{"password":"pw"}]})", R"({"data":[{"password":"********"}]})"},
    {"base/config/set", R"({"pass\u0077ord":"pw"})", R"({"password":"********"})"},
    {"base/config/set", R"({"mqtt":{"password":"pw")", "********"},
    {"base/config/mqtt/password/set", R"("pw")", "********"},
    {"config/mqtt/password", "pw", "********"},
    {"base/config/mqtt/password", "", ""},
    {"base/config", R"({ "password" : "" , "x":1 })", R"({ "password" : "" , "x":1 })"},
    {"base/passwords", "pw", "pw"},
    {"base/gpio/set", R"({ "1" : {"value": 0} })", R"({ "1" : {"value": 0} })"},
    {"base/lcd/text", "password: reset\u00e9", "********"},
};

} // namespace

TEST(PasswordMask, PayloadForLogHidesEveryPasswordAndNothingElse)
{
    for (const MaskCase& c : kCases)
        EXPECT_EQ(MQTT::payloadForLog(c.topic, c.payload), c.shown) << c.topic << " " << c.payload;
    // Too deep to walk safely, so hidden whole rather than parsed.
    const std::string deep = std::string(100000, '[') + R"({"password":"pw"})" + std::string(100000, ']');
    EXPECT_EQ(MQTT::payloadForLog("base/x", deep), "********");
    // A long payload is cut, so that a peer's megabyte takes no megabyte of log.
    EXPECT_EQ(MQTT::payloadForLog("base/x", std::string(1000000, 'x')), std::string(256, 'x') + "... (1000000 octets)");
}
