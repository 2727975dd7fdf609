// The GPIO pin record: texts, device numbers, and its JSON both ways.
#include "board/Gpio.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using nlohmann::json;
using tavo::Board::GPIO;
using Mode = GPIO::Mode;
using Encoding = GPIO::Encoding;
using Resistor = GPIO::Resistor;

namespace {

template <typename F>
std::string thrownText(F&& f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

} // namespace

TEST(Gpio, PinTextsAndDeviceNumbers)
{
    struct Row {
        const char* text;
        Mode mode;
        Encoding encoding;
        int device;
    };
    const std::vector<Row> rows = {
        {"digitalIn", Mode::input, Encoding::digital, 1},
        {"digitalOut", Mode::output, Encoding::digital, 0},
        {"analogIn", Mode::input, Encoding::analog, 2},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(GPIO::strToMode(row.text), row.mode) << row.text;
        EXPECT_EQ(GPIO::strToEncoding(row.text), row.encoding) << row.text;
        EXPECT_EQ(GPIO::typeToInt(row.mode, row.encoding), row.device) << row.text;
        EXPECT_EQ(GPIO(row.mode, row.encoding, 0).toJson().at("mode"), row.text);
    }
    EXPECT_EQ(GPIO::typeToInt(Mode::output, Encoding::analog), 0);

    EXPECT_EQ(thrownText([] { GPIO::strToMode("analogOut"); }), "Mode analogOut is invalid");
    EXPECT_EQ(thrownText([] { GPIO::strToEncoding("output"); }), "Mode output is invalid");
    EXPECT_EQ(thrownText([] { GPIO::strToMode("DigitalIn"); }), "Mode DigitalIn is invalid");
}

TEST(Gpio, ResistorTexts)
{
    EXPECT_EQ(GPIO::strToResistor(""), Resistor::floating);
    EXPECT_EQ(GPIO::strToResistor("floating"), Resistor::floating);
    EXPECT_EQ(GPIO::strToResistor("pullUp"), Resistor::pullUp);
    EXPECT_EQ(GPIO::strToResistor("pullDown"), Resistor::pullDown);
    EXPECT_EQ(thrownText([] { GPIO::strToResistor("up"); }), "Resistor up is invalid");
}

TEST(Gpio, ConstructorsReduceDigitalValues)
{
    const GPIO out(Mode::output, Encoding::digital, 5);
    EXPECT_EQ(out.value, 1);
    EXPECT_FALSE(out.resistorCapable);
    EXPECT_EQ(out.resistor, Resistor::floating);
    EXPECT_EQ(GPIO(Mode::input, Encoding::analog, 700).value, 700);
    const GPIO pulled(Mode::input, Encoding::digital, Resistor::pullDown, 0);
    EXPECT_TRUE(pulled.resistorCapable);
    EXPECT_EQ(pulled.resistor, Resistor::pullDown);
}

TEST(Gpio, ToJson)
{
    EXPECT_EQ(GPIO(Mode::input, Encoding::digital, Resistor::pullDown, 1).toJson(),
              json::parse(R"({"mode":"digitalIn","resistor":"pullDown","value":null})"));
    EXPECT_EQ(GPIO(Mode::input, Encoding::digital, 1).toJson(),
              json::parse(R"({"mode":"digitalIn","resistor":null,"value":null})"));
    EXPECT_EQ(GPIO(Mode::input, Encoding::analog, Resistor::pullUp, 700).toJson(),
              json::parse(R"({"mode":"analogIn","resistor":"pullUp","value":null})"));
    EXPECT_EQ(GPIO(Mode::output, Encoding::digital, Resistor::pullUp, 1).toJson(),
              json::parse(R"({"mode":"digitalOut","resistor":null,"value":1})"));
    EXPECT_TRUE(GPIO(Mode::output, Encoding::digital, 1).toJson().at("value").is_number_unsigned());
}

TEST(Gpio, UpdateFromJsonOutputValues)
{
    struct Row {
        const char* json;
        uint16_t expected;
    };
    const std::vector<Row> rows = {
        {R"({"mode":"digitalOut"})", 0},
        {R"({"mode":"digitalOut","value":7})", 1},
        {R"({"mode":"digitalOut","value":0})", 0},
        {R"({"value":1})", 1},
        {R"({"value":true})", 0},
        {R"({"value":-1})", 0},
        {R"({"value":1.5})", 0},
        {R"({"value":"1"})", 0},
        {R"({"value":null})", 0},
        {R"({"mode":5,"value":1})", 1},
        {R"([1])", 0},
        {R"(1)", 0},
    };
    for (const auto& row : rows) {
        GPIO pin(Mode::output, Encoding::digital, 1);
        pin.updateFromJson(json::parse(row.json));
        EXPECT_EQ(pin.mode, Mode::output) << row.json;
        EXPECT_EQ(pin.value, row.expected) << row.json;
    }
    // Built in code, a small integer is stored signed; it still counts.
    GPIO pin(Mode::output, Encoding::digital, 0);
    pin.updateFromJson(json{{"value", 1}});
    EXPECT_EQ(pin.value, 1);
}

TEST(Gpio, UpdateFromJsonInputs)
{
    GPIO pin(Mode::output, Encoding::digital, Resistor::floating, 1);
    pin.updateFromJson(json::parse(R"({"mode":"analogIn","value":7,"resistor":"pullUp"})"));
    EXPECT_EQ(pin.mode, Mode::input);
    EXPECT_EQ(pin.encoding, Encoding::analog);
    EXPECT_EQ(pin.value, 1); // inputs ignore "value"
    EXPECT_EQ(pin.resistor, Resistor::pullUp);

    pin.updateFromJson(json::parse(R"({"resistor":null})"));
    EXPECT_EQ(pin.resistor, Resistor::pullUp);
    pin.updateFromJson(json::parse(R"({"resistor":2})"));
    EXPECT_EQ(pin.resistor, Resistor::pullUp);
    pin.updateFromJson(json::parse(R"({"resistor":""})"));
    EXPECT_EQ(pin.resistor, Resistor::floating);

    // resistorCapable is not consulted here: the manager decides.
    GPIO plain(Mode::input, Encoding::digital, 0);
    plain.updateFromJson(json::parse(R"({"resistor":"pullDown"})"));
    EXPECT_EQ(plain.resistor, Resistor::pullDown);
}

TEST(Gpio, UpdateFromJsonFailuresKeepWhatWasSetBefore)
{
    GPIO pin(Mode::output, Encoding::digital, Resistor::pullDown, 1);
    EXPECT_EQ(thrownText([&] { pin.updateFromJson(json::parse(R"({"mode":"analogOut","value":0})")); }),
              "Mode analogOut is invalid");
    EXPECT_EQ(pin.mode, Mode::output);
    EXPECT_EQ(pin.encoding, Encoding::digital);
    EXPECT_EQ(pin.value, 1);

    EXPECT_EQ(thrownText([&] { pin.updateFromJson(json::parse(R"({"mode":"digitalIn","resistor":"up"})")); }),
              "Resistor up is invalid");
    EXPECT_EQ(pin.mode, Mode::input);
    EXPECT_EQ(pin.resistor, Resistor::pullDown);
}

TEST(Gpio, JsonRoundTrip)
{
    for (const GPIO& original : {GPIO(Mode::output, Encoding::digital, 1), GPIO(Mode::output, Encoding::digital, 0),
                                 GPIO(Mode::input, Encoding::digital, Resistor::pullUp, 0),
                                 GPIO(Mode::input, Encoding::analog, Resistor::pullDown, 0)}) {
        GPIO copy(Mode::input, Encoding::digital, Resistor::floating, 0);
        copy.updateFromJson(json::parse(original.toJson().dump()));
        EXPECT_EQ(copy.toJson(), original.toJson()) << original.toJson().dump();
    }
}
