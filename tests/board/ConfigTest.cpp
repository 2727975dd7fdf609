// The board configuration and its "device" JSON section.
#include "board/Config.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <syslog.h>

#include "foundation/JsonSetting.h"
#include "tests/support/LogCapture.h"

using nlohmann::json;
using tavo::Board::Config;
using tavo::Board::Peripheral;
using Protocol = tavo::Board::Serial::Protocol;
using Duplex = tavo::Board::Serial::Duplex;

namespace {


// A board with every peripheral, four pins and three ports registered.
Config registeredBoard(bool delayedShutdown = true, bool driversDisplay = true)
{
    Config config(delayedShutdown, driversDisplay);
    for (int p = 0; p <= 14; ++p) {
        config.peripheralSet(static_cast<Peripheral>(p), false);
    }
    for (unsigned long pin = 0; pin < 4; ++pin) {
        config.pinSet(pin, json::parse(R"({"mode":"digitalIn","resistor":null,"value":null})"));
    }
    for (unsigned long port = 0; port < 3; ++port) {
        config.serialProtocolSet(port, Protocol::rs232);
    }
    return config;
}

} // namespace

TEST(BoardConfig, DefaultsDependOnFeatures)
{
    LogCapture logs;
    EXPECT_EQ(Config(false, false).toJson().dump(),
              R"({"imu":{"highGduration":200,"highGthreshold":1200},"statusPeriod":5000})");
    EXPECT_TRUE(logs.contains(LOG_INFO, "[Lpc::Config] Loading default configuration."));
    EXPECT_EQ(Config(true, true).toJson().dump(),
              R"({"delayShutdownFor":0,"display":{"brightness":100,"mode":"auto"},)"
              R"("imu":{"highGduration":200,"highGthreshold":1200},"statusPeriod":5000})");

    Config config(true, true);
    config.statusPeriodSet(1);
    config.displayBrightnessModeSet(false);
    config.peripheralSet(Peripheral::touch, true);
    config.defaults();
    EXPECT_EQ(config.statusPeriod(), 5000u);
    EXPECT_TRUE(config.displayBrightnessMode());
    EXPECT_TRUE(config.peripheral(Peripheral::touch)); // maps are kept
}

TEST(BoardConfig, DeviceSectionRoundTripsWithEveryKey)
{
    Config source = registeredBoard();
    source.statusPeriodSet(250);
    source.displayBrightnessSet(42);
    source.displayBrightnessModeSet(false);
    source.delayShutdownForSet(90);
    source.imuHighGthresholdSet(3000);
    source.imuHighGdurationSet(15);
    source.peripheralSet(Peripheral::printer, true);
    source.peripheralSet(Peripheral::usbHub, true);
    source.pinSet(2, json::parse(R"({"mode":"digitalOut","resistor":null,"value":1})"));
    source.serialProtocolSet(1, Protocol::rs485);
    source.serialDuplexSet(2, Duplex::half);

    const std::string text = source.toJson().dump();
    const json j = json::parse(text);
    std::vector<std::string> keys;
    for (const auto& [key, value] : j.items()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"delayShutdownFor", "display", "gpio", "imu", "power", "serial",
                                              "statusPeriod"}));
    EXPECT_EQ(j.at("power").size(), 15u);
    EXPECT_EQ(j.at("power").at("printer"), true);
    EXPECT_EQ(j.at("serial").at("1"), json::parse(R"({"duplex":"full","protocol":"rs485"})"));
    EXPECT_EQ(j.at("serial").at("2"), json::parse(R"({"duplex":"half","protocol":"rs232"})"));
    EXPECT_EQ(j.at("display"), json::parse(R"({"brightness":42,"mode":"manual"})"));

    Config target = registeredBoard();
    target.fromJson(j);
    EXPECT_EQ(target.toJson().dump(), text);
    EXPECT_EQ(target.statusPeriod(), 250u);
    EXPECT_EQ(target.displayBrightness(), 42u);
    EXPECT_FALSE(target.displayBrightnessMode());
    EXPECT_EQ(target.delayShutdownFor(), 90u);
    EXPECT_EQ(target.imuHighGthreshold(), 3000u);
    EXPECT_EQ(target.imuHighGduration(), 15u);
    EXPECT_TRUE(target.peripheral(Peripheral::usbHub));
    EXPECT_FALSE(target.peripheral(Peripheral::touch));
    EXPECT_EQ(target.pin(2).at("value"), 1);
    EXPECT_EQ(target.serialProtocol(1), Protocol::rs485);
    EXPECT_EQ(target.serialDuplex(2), Duplex::half);
}

TEST(BoardConfig, FromJsonIgnoresWhatIsNotRegisteredOrSupported)
{
    Config config(false, false);
    config.pinSet(3, json::parse(R"({"mode":"digitalOut","value":0,"resistor":null})"));
    config.serialDuplexSet(0, Duplex::full);
    const std::string before = config.toJson().dump();

    config.fromJson(json::parse(R"({
        "power": {"printer": true},
        "display": {"brightness": 7, "mode": "manual"},
        "delayShutdownFor": 30,
        "gpio": {"03": {"mode": "analogIn"}, " 3": {"mode": "analogIn"}, "4": {"mode": "analogIn"}},
        "serial": {"1": {"protocol": "rs485"}, "0": {"protocol": "RS485", "duplex": 1}},
        "unknown": {"anything": 1}
    })"));
    EXPECT_EQ(config.toJson().dump(), before);
    EXPECT_FALSE(config.peripheral(Peripheral::printer));
    EXPECT_THROW(config.serialProtocol(1), std::out_of_range);

    for (const json& notObject : {json::array({1, 2}), json(nullptr), json(5), json("statusPeriod")}) {
        config.fromJson(notObject);
        EXPECT_EQ(config.toJson().dump(), before) << notObject.dump();
    }
    config.fromJson(json::parse(R"({"power": [true], "gpio": 1, "serial": "rs485", "imu": null})"));
    EXPECT_EQ(config.toJson().dump(), before);
}

TEST(BoardConfig, DisplayModeTextIsStoredAsGiven)
{
    Config config(false, true);
    config.fromJson(json::parse(R"({"display": {"mode": "dim"}})"));
    EXPECT_FALSE(config.displayBrightnessMode());
    EXPECT_EQ(config.toJson().at("display"), json::parse(R"({"brightness":100,"mode":"dim"})"));
}

TEST(BoardConfig, GpioValueIsCopiedWhateverItHolds)
{
    Config config(false, false);
    config.pinSet(0, json::object());
    config.fromJson(json::parse(R"({"gpio": {"0": [1, "x"]}})"));
    EXPECT_EQ(config.pin(0), json::parse(R"([1, "x"])"));
}

TEST(BoardConfig, WrongTypesThrowAndKeepEarlierSteps)
{
    Config config(true, true);
    // "statusPeriod" is taken before "imu" fails.
    EXPECT_THROW(config.fromJson(json::parse(R"({"statusPeriod": 10, "imu": {"highGthreshold": "x"}})")),
                 SettingError);
    EXPECT_EQ(config.statusPeriod(), 10u);
    EXPECT_EQ(config.imuHighGthreshold(), 1200u);
}

struct SettingCase {
    const char* given;
    const char* error; // what() of the refusal; "" when the setting is taken
};

class BoardConfigSettingTest : public ::testing::TestWithParam<SettingCase> {};

// A refused value names its key path and changes nothing; a taken one is
// reported back as given, by value.
TEST_P(BoardConfigSettingTest, TakesOnlyWhatTheSettingHolds)
{
    Config config = registeredBoard();
    const json before = config.toJson();
    const json given = json::parse(GetParam().given);
    json expected = before;
    if (*GetParam().error == '\0') {
        config.fromJson(given);
        expected.merge_patch(given);
    } else {
        try {
            config.fromJson(given);
            ADD_FAILURE() << "taken";
        } catch (const SettingError& error) {
            EXPECT_STREQ(error.what(), GetParam().error);
        }
    }
    EXPECT_EQ(config.toJson(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, BoardConfigSettingTest,
    ::testing::Values(
        SettingCase{R"({"statusPeriod": 1e30})", "statusPeriod: 1e+30 is not an unsigned number of milliseconds"},
        SettingCase{R"({"statusPeriod": -1.5})", "statusPeriod: -1.5 is not an unsigned number of milliseconds"},
        SettingCase{R"({"statusPeriod": -1})", "statusPeriod: -1 is not an unsigned number of milliseconds"},
        SettingCase{R"({"statusPeriod": 1000.5})", "statusPeriod: 1000.5 is not an unsigned number of milliseconds"},
        SettingCase{R"({"statusPeriod": "5000"})", R"(statusPeriod: "5000" is not an unsigned number of milliseconds)"},
        SettingCase{R"({"statusPeriod": 1000.0})", ""},
        SettingCase{R"({"statusPeriod": 18446744073709551615})", ""},
        SettingCase{R"({"delayShutdownFor": true})", "delayShutdownFor: true is not an unsigned number of seconds"},
        SettingCase{R"({"display": {"mode": 1}})", "display/mode: 1 is not a text"},
        SettingCase{R"({"power": {"ftdi": "on"}})", R"(power/ftdi: "on" is not a boolean)"},
        SettingCase{R"({"imu": {"highGduration": 2147483647}})", ""},
        SettingCase{R"({"imu": {"highGthreshold": 2147483648}})",
                    "imu/highGthreshold: 2147483648 is not an unsigned number up to 2147483647"}));

TEST(BoardConfig, RegistrationAndLookups)
{
    Config config(false, false);
    EXPECT_FALSE(config.peripheral(Peripheral::display));
    EXPECT_THROW(config.peripheral(static_cast<Peripheral>(15)), std::out_of_range);
    EXPECT_THROW(config.peripheralSet(static_cast<Peripheral>(-1), true), std::out_of_range);
    EXPECT_THROW(config.pin(0), std::out_of_range);
    EXPECT_THROW(config.serialDuplex(0), std::out_of_range);

    config.serialDuplexSet(4, Duplex::half);
    EXPECT_EQ(config.serialProtocol(4), Protocol::rs232);
    config.serialProtocolSet(5, Protocol::rs485);
    EXPECT_EQ(config.serialDuplex(5), Duplex::full);
    EXPECT_EQ(config.toJson().at("serial").at("5").at("protocol"), "rs485");

    Config replaced(true, true);
    replaced = config;
    EXPECT_EQ(replaced.toJson(), config.toJson());
}
