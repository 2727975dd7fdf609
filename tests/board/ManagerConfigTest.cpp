// The "device" section through the manager: applied to the board and read
// back, and an invalid pin entry that must not stay stored.

#include <atomic>
#include <stdexcept>

#include "board/Helpers.h"
#include "ManagerFixture.h"
#include "sim/SimWire.h"

namespace {

using nlohmann::json;
using tavo::Board::ErrorCode;
using tavo::Board::GPIO;

class ConfigObserver : public tavo::Board::Observer {
public:
    void onConfigSet() override { ++sets; }
    std::atomic<int> sets{0};
};

json pinEntry(const char* mode, json value, json resistor)
{
    return json{{"mode", mode}, {"value", value}, {"resistor", resistor}};
}

// What the board holds of the settings a configuration reaches.
json deviceView(SimDeviceState& s)
{
    json view;
    view["brightnessMode"] = s.brightnessMode;
    view["backlightLevel"] = s.backlightLevel;
    view["threshold"] = s.parameters["ACC_G_THRESHOLD"].integer;
    view["duration"] = s.parameters["ACC_G_DURATION"].integer;
    view["power"] = s.peripheralPower;
    for (const SimPin& pin : s.pins) {
        view["pins"].push_back({pin.mode, pin.output, pin.pull});
    }
    for (const SimSerialPort& port : s.serialPorts) {
        view["serial"].push_back({port.protocol, port.duplex});
    }
    return view;
}

} // namespace

TEST_F(ManagerTest, ConfigurationWithEveryKeyAppliesAndReadsBackEqual)
{
    open();
    auto observer = std::make_shared<ConfigObserver>();
    manager->observerAttach(observer);

    json power = json::object();
    json devicePower(std::size_t{15}, 0);
    for (const auto& [peripheral, name] : tavo::Board::peripheralToString) {
        const bool on = static_cast<int>(peripheral) % 3 == 0;
        power[name] = on;
        devicePower[tavo::Board::Helpers::translatePeripheral(peripheral)] = on ? 1 : 0;
    }
    const json config = {
        {"statusPeriod", 60000},
        {"display", {{"brightness", 40}, {"mode", "manual"}}},
        {"delayShutdownFor", 30},
        {"imu", {{"highGthreshold", 900}, {"highGduration", 150}}},
        {"power", power},
        {"gpio",
         {{"0", pinEntry("digitalOut", 1, nullptr)},
          {"1", pinEntry("analogIn", nullptr, "floating")},
          {"2", pinEntry("digitalIn", nullptr, "pullUp")},
          {"3", pinEntry("digitalIn", nullptr, "pullDown")}}},
        {"serial", {{"0", {{"protocol", "rs485"}, {"duplex", "half"}}}, {"1", {{"protocol", "rs232"}, {"duplex", "full"}}}}},
    };

    manager->setConfig(config);
    EXPECT_EQ(manager->getConfig(), config);
    EXPECT_EQ(observer->sets, 1);
    const json expectedDevice = {
        {"brightnessMode", 0},
        {"backlightLevel", 40},
        {"threshold", 900},
        {"duration", 150},
        {"power", devicePower},
        {"pins", {{0, 1, 2}, {2, 0, 0}, {1, 0, 1}, {1, 0, 2}}}, // an output keeps its pull-down from the probe
        {"serial", {{1, 0}, {0, 1}}},
    };
    EXPECT_EQ(boardState(deviceView), expectedDevice);
}

// Pin 1 is applied before pin 2's unknown mode throws; pin 2 keeps its
// previous record in the cache and in the stored configuration, and pin 3,
// never applied, its previous entry. Nobody is told of a configuration.
TEST_F(ManagerTest, InvalidPinEntryIsRefusedAndLeavesThePreviousRecord)
{
    open();
    auto observer = std::make_shared<ConfigObserver>();
    manager->observerAttach(observer);
    const json before = manager->getConfig()["gpio"];
    GPIO pin2(GPIO::Mode::output, GPIO::Encoding::digital, 1);
    ASSERT_EQ(manager->gpioPinGet(2, pin2), ErrorCode::Ok);

    const json config = {{"gpio",
                          {{"1", {{"mode", "digitalOut"}, {"value", 1}}},
                           {"2", {{"mode", "sideways"}}},
                           {"3", {{"mode", "digitalOut"}, {"value", 1}}}}}};
    try {
        manager->setConfig(config);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Mode sideways is invalid");
    }

    const json after = manager->getConfig()["gpio"];
    EXPECT_EQ(after["1"], pinEntry("digitalOut", 1, nullptr));
    EXPECT_EQ(after["2"], before["2"]);
    EXPECT_EQ(after["3"], before["3"]);
    GPIO cached(GPIO::Mode::output, GPIO::Encoding::digital, 1);
    ASSERT_EQ(manager->gpioPinGet(2, cached), ErrorCode::Ok);
    EXPECT_EQ(cached.toJson(), pin2.toJson());
    EXPECT_EQ(boardState([](SimDeviceState& s) { return json{s.pins[1].mode, s.pins[1].output, s.pins[3].mode}; }),
              json({0, 1, 1}));
    EXPECT_EQ(observer->sets, 0);
}

// A set that names a pin leaves it the record the set makes of the cache,
// which a TCP client or the board may change meanwhile into any record of
// the pin, or its previous entry where a step throws. The preview counts at
// least each of them, and these sets, which change pins only, no more than
// the configuration now as counted for them.
TEST_F(ManagerTest, APreviewCountsEveryRecordASetMayLeaveAPin)
{
    BoardProfile profile;
    profile.pinsWithoutResistor = {1};
    open(profile);
    std::atomic<bool> refuseModes{false};
    board.refuseRequests([&refuseModes](const API_Message_t& request) {
        const bool mode = request.ID == 7 && request.Size > 0 && request.Data[0] == 0;
        return mode && refuseModes ? sim::kErrorInvalidCommand : 0;
    });
    // An output keeps the value that an analog input read last.
    const auto output = [](GPIO pin) {
        pin.mode = GPIO::Mode::output;
        pin.value = UINT16_MAX;
        return pin;
    };
    using Mode = GPIO::Mode;
    using Encoding = GPIO::Encoding;
    using Resistor = GPIO::Resistor;
    const std::pair<const char*, GPIO> extremes[] = {
        {"0", GPIO(Mode::input, Encoding::digital, Resistor::pullDown, 0)},
        {"0", GPIO(Mode::input, Encoding::analog, Resistor::floating, 0)},
        {"0", GPIO(Mode::input, Encoding::digital, Resistor::pullUp, 0)},
        {"0", output(GPIO(Mode::input, Encoding::analog, Resistor::pullDown, 0))},
        {"1", GPIO(Mode::input, Encoding::digital, 0)},
        {"1", GPIO(Mode::input, Encoding::analog, 0)},
        {"1", output(GPIO(Mode::input, Encoding::analog, 0))},
    };
    const auto octets = [](const json& device) { return json{{"device", device}}.dump(4).size(); };
    for (const auto& [pin, left] : extremes) {
        for (int set = 0; set < 4; ++set) {
            manager->setConfig({{"gpio", {{pin, pinEntry("digitalOut", 0, nullptr)}}}});
            const json sets[] = {
                manager->getConfig(),
                {{"gpio", {{pin, {{"value", 0}}}}}},
                {{"gpio", {{pin, {{"mode", "digitalIn"}}}}}},
                {{"gpio", {{pin, {{"mode", "digitalIn"}}}}}, {"imu", {{"highGthreshold", "x"}}}},
            };
            const size_t counted = octets(manager->configPreview(sets[set]));
            EXPECT_LE(counted, octets(manager->configPreviewNow(sets[set]))) << set;
            refuseModes = set == 2;
            try {
                manager->setConfig(sets[set]);
            } catch (const std::exception&) {
                EXPECT_EQ(set, 3);
            }
            refuseModes = false;
            // As the set leaves it, and as a change of the pin meanwhile may.
            json after = manager->getConfig();
            EXPECT_LE(octets(after), counted) << set;
            after["gpio"][pin] = left.toJson();
            EXPECT_LE(octets(after), counted) << pin << " " << left.toJson().dump() << " " << set;
        }
    }
}
