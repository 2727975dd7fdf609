// The board tree's getters and setters called directly, against a manager
// on the simulated board: the values they report, the failures they turn
// into null members or error texts, and what their checks let through.

#include "BoardMqttFixture.h"

#include <stdexcept>

using Adaptor = tavo::Board::MqttAdaptor;
using Getter = Result (Adaptor::*)();
using Setter = Result (Adaptor::*)(const json&);

TEST_F(BoardMqttTest, GettersReportTheBoardsState)
{
    openAdaptor();
    boardState([](SimDeviceState& s) {
        s.audioChannel = 2, s.mute = 1, s.jacks = {1, 0};
        s.serialPorts = {{0, 0}, {1, 0}};
        s.pins[1].input = 1;
        s.backlightLevel = 255, s.brightnessMode = 1, s.lightSensorLevel = 128;
        s.backlightColour = 0x030201, s.screenStatus = 2;
        s.imuRaw = {1, -2, 3, -4, 5, -6}, s.imuTotalMilliG = 1500;
        s.heater = 1, s.ignition = 1, s.poleId = "POLE-7", s.caseTemperatureCenti = 2150;
        return s.uptimeSeconds = 3600, s.supplyMillivolts = 12500;
    });
    const char* pin = R"({"mode":"digitalIn","resistor":"pullDown","value":)";
    const std::pair<Getter, std::string> cases[] = {
        {&Adaptor::audioGet, R"({"channel":2,"jack1":true,"jack2":false,"mute":true})"},
        {&Adaptor::serialGet, R"({"0":{"duplex":null,"protocol":"rs232"},"1":{"duplex":"half","protocol":"rs485"}})"},
        {&Adaptor::gpioGet,
         std::string("{\"0\":") + pin + "0},\"1\":" + pin + "1},\"2\":" + pin + "0},\"3\":" + pin + "0}}"},
        {&Adaptor::displayGet, R"({"brightness":100,"mode":"auto","sensor":50})"},
        {&Adaptor::lcdGet,
         R"({"backlight":true,"color":{"b":3,"g":2,"r":1},"enabled":true,"height":64,"idle":true,"width":128})"},
        {&Adaptor::imuRawDataGet, R"({"accx":1,"accy":-2,"accz":3,"gyrox":-4,"gyroy":5,"gyroz":-6})"},
        {&Adaptor::imuTotalAccGet, R"({"totalAcc":1.5})"},
        {&Adaptor::deviceInfoGet,
         R"({"firmwareVersion":"1.2.3","hardwareId":"HWID-0001","hardwareVersion":"Velmor7-R4"})"},
        {&Adaptor::serviceInfoGet, R"({"type":"lumacore","version":"1.0.28"})"},
        {&Adaptor::activeGet, "true"},
        {&Adaptor::heaterGet, "true"},
        {&Adaptor::ignitionGet, "true"},
        {&Adaptor::poleIDGet, R"("POLE-7")"},
        {&Adaptor::temperatureGet, "21.5"},
        {&Adaptor::uptimeGet, "3600"},
        {&Adaptor::voltageGet, "12.5"},
        {&Adaptor::serviceGet, "false"},
    };
    for (const auto& [getter, expected] : cases) {
        const Result result = ((*adaptor).*getter)();
        EXPECT_TRUE(result.first) << expected;
        EXPECT_EQ(MQTT::Client::toText(result.second), expected);
    }
    const json status = adaptor->hardwareStatusGet().second;
    EXPECT_EQ(status["lastBootReason"], "SoftReset");
    EXPECT_EQ(status["lastBootStatus"]["noAction"], true);
}

TEST_F(BoardMqttTest, FailedReadsGiveNullMembersOrTheCodesName)
{
    BoardProfile profile;
    profile.colourBacklight = false;
    profile.unreadableRails = {9}; // the printer
    openAdaptor(profile);
    board.forceReply(5, 8, 1, {8}); // the mute read
    EXPECT_EQ(MQTT::Client::toText(adaptor->audioGet().second),
              R"({"channel":0,"jack1":false,"jack2":false,"mute":null})");
    EXPECT_EQ(adaptor->lcdGet().second["color"], nullptr);
    const json power = adaptor->powerGet().second;
    EXPECT_EQ(power.size(), 15u);
    EXPECT_EQ(power["printer"], nullptr);
    EXPECT_EQ(power["usbHub"], false);

    board.forceReply(4, 0, 1, {0}); // the temperature read
    board.forceReply(2, 4, 1, {4}); // the brightness mode read
    EXPECT_EQ(adaptor->temperatureGet(), Result(false, "HardwareError"));
    settle();
    EXPECT_EQ(adaptor->displayGet(), Result(false, "HardwareError"));
    const auto requests = sent();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), std::vector<uint8_t>{2, 2}), 0) << "sensor read";
}

TEST_F(BoardMqttTest, ABoardWithoutPinsOrPortsGivesNullAndIgnoresTheirMembers)
{
    BoardProfile bare;
    bare.gpioPins = 0;
    bare.serialPorts = 0;
    openAdaptor(bare);
    EXPECT_EQ(adaptor->gpioGet(), Result(true, nullptr));
    EXPECT_EQ(adaptor->serialGet(), Result(true, nullptr));
    EXPECT_EQ(adaptor->gpioSet(json::parse(R"({"0":{"mode":"digitalOut"}})")), Result(true, nullptr));
    EXPECT_TRUE(sent().empty());
}

TEST_F(BoardMqttTest, BrightnessConvertsBetweenLevelsAndPercentages)
{
    openAdaptor();
    const std::pair<unsigned, unsigned> reads[] = {{0, 0}, {49, 0}, {50, 0}, {152, 50}, {255, 100}};
    for (const auto& [level, percent] : reads) {
        boardState([level = level](SimDeviceState& s) { return s.backlightLevel = uint8_t(level); });
        EXPECT_EQ(adaptor->displayGet().second["brightness"], percent) << level;
    }
    const std::pair<unsigned, unsigned> writes[] = {{0, 50}, {50, 153}, {100, 255}};
    for (const auto& [percent, level] : writes) {
        EXPECT_TRUE(adaptor->displaySet({{"brightness", percent}}).first);
        EXPECT_EQ(boardState([](SimDeviceState& s) { return s.backlightLevel; }), level) << percent;
    }
}

namespace {

// What the setters change on the board, by area. Pins: mode and output of
// pin 0, then mode, output and pull resistor of pin 2 (mode 0 output, 1
// digital input; the manager pulls inputs down at start).
std::string boardSummary(SimDeviceState& s)
{
    auto n = [](int v) { return std::to_string(v); };
    return "audio " + n(s.audioChannel) + "," + n(s.mute) + " serial " + n(s.serialPorts[0].protocol) + "," +
           n(s.serialPorts[0].duplex) + " pins " + n(s.pins[0].mode) + n(s.pins[0].output) + "," +
           n(s.pins[2].mode) + n(s.pins[2].output) + n(s.pins[2].pull) + " display " + n(s.brightnessMode) + "," +
           n(s.backlightLevel) + " lcd " + n(s.screenStatus) + "," + n(s.backlightColour) + " printer " +
           n(s.peripheralPower[9]);
}

const Result kOk{true, nullptr};
const Result kMalformed{false, "MalformedRequest"};
const Result kInvalid{false, "InvalidArgument"};

} // namespace

TEST_F(BoardMqttTest, SettersApplyTheirMembersInOrderAndStopAtTheFirstFault)
{
    const struct {
        const char* name;
        Setter setter;
        const char* value; // as the parser gives it: non-negative integers are unsigned
        Result expected;
        const char* observed;
    } cases[] = {
        {"audio", &Adaptor::audioSet, R"({"channel":1,"mute":true})", kOk, "audio 1,1"},
        {"audio negative", &Adaptor::audioSet, R"({"channel":-1})", kOk, "audio 0,0"},
        {"audio fraction", &Adaptor::audioSet, R"({"channel":1.5})", kOk, "audio 0,0"},
        {"audio number", &Adaptor::audioSet, "5", kMalformed, "audio 0,0"},
        {"serial", &Adaptor::serialSet, R"({"0":{"protocol":"rs485","duplex":"half"}})", kOk, "serial 1,0"},
        {"serial not a port", &Adaptor::serialSet, R"({"01":{"protocol":"rs485"}})", kOk, "serial 0,1"},
        {"serial port not an object", &Adaptor::serialSet, R"({"0":5})", kInvalid, "serial 0,1"},
        {"serial unknown protocol", &Adaptor::serialSet, R"({"0":{"protocol":"rs422"}})", kInvalid, "serial 0,1"},
        {"serial unknown duplex", &Adaptor::serialSet, R"({"0":{"protocol":"rs485","duplex":"quarter"}})", kInvalid,
         "serial 1,1"},
        {"serial string", &Adaptor::serialSet, R"("x")", kOk, "serial 0,1"},
        {"gpio output high", &Adaptor::gpioSet, R"({"2":{"mode":"digitalOut","value":1}})", kOk, "pins 10,012"},
        {"gpio value on input", &Adaptor::gpioSet, R"({"2":{"value":1}})", kInvalid, "pins 10,102"},
        {"gpio resistor on output", &Adaptor::gpioSet, R"({"2":{"mode":"digitalOut","resistor":"pullUp"}})", kInvalid,
         "pins 10,002"},
        {"gpio resistor on input", &Adaptor::gpioSet, R"({"2":{"resistor":"pullUp"}})", kOk, "pins 10,101"},
        {"gpio partial apply", &Adaptor::gpioSet, R"({"0":{"mode":"digitalOut"},"1":5})", kInvalid, "pins 00,102"},
        {"gpio value above 16 bits", &Adaptor::gpioSet, R"({"2":{"mode":"digitalOut","value":65536}})", kInvalid,
         "pins 10,002"},
        {"display auto ignores brightness", &Adaptor::displaySet, R"({"mode":"auto","brightness":80})", kOk,
         "display 1,100"},
        {"display manual", &Adaptor::displaySet, R"({"mode":"manual","brightness":100})", kOk, "display 0,255"},
        {"display unknown mode", &Adaptor::displaySet, R"({"mode":"dim"})", kInvalid, "display 0,100"},
        {"display above 100", &Adaptor::displaySet, R"({"brightness":101})", kInvalid, "display 0,100"},
        {"lcd", &Adaptor::lcdSet, R"({"enabled":false,"color":{"r":255,"g":0,"b":1}})", kOk, "lcd 0,65791"},
        {"lcd colour part missing", &Adaptor::lcdSet, R"({"color":{"r":255,"g":0}})", kMalformed, "lcd 1,6579300"},
        {"lcd colour part a string", &Adaptor::lcdSet, R"({"color":{"r":"255","g":0,"b":0}})", kInvalid,
         "lcd 1,6579300"},
        {"lcd colour part above 255", &Adaptor::lcdSet, R"({"color":{"r":256,"g":0,"b":0}})", kInvalid,
         "lcd 1,6579300"},
        {"lcd string", &Adaptor::lcdSet, R"("on")", kMalformed, "lcd 1,6579300"},
        {"power", &Adaptor::powerSet, R"({"printer":true,"toaster":false})", kOk, "printer 1"},
        {"power not a boolean", &Adaptor::powerSet, R"({"printer":1})", {false, "Expected boolean value"}, "printer 0"},
        {"power number", &Adaptor::powerSet, "5", kOk, "printer 0"},
    };
    openAdaptor();
    const SimDeviceState first = boardState([](SimDeviceState& s) { return s; });
    const tavo::Board::GPIO input(tavo::Board::GPIO::Mode::input, tavo::Board::GPIO::Encoding::digital,
                                  tavo::Board::GPIO::Resistor::pullDown, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (unsigned long pin = 0; pin < manager->gpioPinCountGet(); ++pin) {
            ASSERT_EQ(manager->gpioPinSet(pin, input), tavo::Board::ErrorCode::Ok);
        }
        boardState([&first](SimDeviceState& s) { return s = first, 0; });
        EXPECT_EQ(((*adaptor).*c.setter)(json::parse(c.value)), c.expected);
        const std::string summary = boardState(boardSummary);
        EXPECT_NE(summary.find(c.observed), std::string::npos) << summary;
    }
    EXPECT_TRUE(capture.contains("[ManagerMqttAdaptor] Missing color part(s)"));
    EXPECT_TRUE(capture.contains("[ManagerMqttAdaptor] Color not a number"));
}

TEST_F(BoardMqttTest, UnknownPinTextsThrowTheirOwnTextsAndLeaveThePinAlone)
{
    openAdaptor();
    const struct {
        const char* value;
        const char* error;
    } cases[] = {
        {R"({"1":{"mode":"digitalOut"},"2":{"mode":"bogus"}})", "Mode bogus is invalid"},
        {R"({"2":{"resistor":"sideways"}})", "Resistor sideways is invalid"},
    };
    for (const auto& c : cases) {
        try {
            adaptor->gpioSet(json::parse(c.value));
            ADD_FAILURE() << c.value;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        EXPECT_EQ(boardState([](SimDeviceState& s) { return int(s.pins[2].mode * 10 + s.pins[2].pull); }), 12);
    }
    EXPECT_EQ(boardState([](SimDeviceState& s) { return int(s.pins[1].mode); }), 0);
}
