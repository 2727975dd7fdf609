// The TCP service's settings: defaults, the ports taken and refused, and
// keys kept through a merge.

#include <gtest/gtest.h>

#include "app/TCPConfig.h"
#include "foundation/JsonSetting.h"

namespace {

// A port is a number or a text holding one, up to 65535; anything else
// leaves the settings as they were. Stored is the port's JSON text after.
TEST(TCPConfig, PortIsANumberOrATextHoldingOne)
{
    const struct {
        const char* document;
        unsigned long port;
        const char* stored;
        const char* error;
    } cases[] = {
        {R"({"port": 1500})", 1500, "1500", ""},
        {R"({"port": "1500"})", 1500, R"("1500")", ""},
        {R"({"port": 1500.0})", 1500, "1500", ""},
        {R"({"port": 65535})", 65535, "65535", ""},
        {R"({"port": 70000})", 1414, "1414", "port: 70000 is not a port number"},
        {R"({"port": "70000"})", 1414, "1414", R"(port: "70000" is not a port number)"},
        {R"({"port": -1})", 1414, "1414", "port: -1 is not a port number"},
        {R"({"port": 1e30})", 1414, "1414", "port: 1e+30 is not a port number"},
        {R"({"port": 1500.7})", 1414, "1414", "port: 1500.7 is not a port number"},
        {R"({"port": "letters"})", 1414, "1414", R"(port: "letters" is not a port number)"},
        {R"({"port": " 1500"})", 1414, "1414", R"(port: " 1500" is not a port number)"},
        {R"({"port": true})", 1414, "1414", "port: true is not a port number"},
        // Other spellings of the key reach the same setting.
        {R"({"": {"port": 70000}})", 1414, "1414", "port: 70000 is not a port number"},
        {R"({"port": 1500, "port/": 70000})", 1500, "1500", ""},
    };
    for (const auto& c : cases) {
        tavo::Board::TCP::Config config;
        std::string error;
        try {
            config.fromJson(nlohmann::json::parse(c.document));
        } catch (const SettingError& refused) {
            error = refused.what();
        }
        EXPECT_EQ(error, c.error) << c.document;
        EXPECT_EQ(config.portGet(), c.port) << c.document;
        EXPECT_EQ(config.toJson()["port"].dump(), c.stored) << c.document;
    }
}

TEST(TCPConfig, DefaultsAndOtherKeys)
{
    tavo::Board::TCP::Config config;
    EXPECT_EQ(config.toJson(), (nlohmann::json{{"address", "127.0.0.1"}, {"port", 1414}}));
    config.fromJson({{"extra", "kept"}, {"address", "0.0.0.0"}});
    config.portSet(2000);
    EXPECT_EQ(config.addressGet(), "0.0.0.0");
    EXPECT_EQ(config.toJson(), (nlohmann::json{{"address", "0.0.0.0"}, {"extra", "kept"}, {"port", 2000}}));
}

} // namespace
