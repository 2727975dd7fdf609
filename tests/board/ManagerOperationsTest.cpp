// The manager's other hardware operations by area: the request that reaches
// the board, the value returned, the checks made before sending, and the
// translation of device errors.

#include <stdexcept>

#include "ManagerFixture.h"

using tavo::Board::Color;
using tavo::Board::ErrorCode;
using tavo::Board::Peripheral;
using tavo::Board::Manager;
using Requests = std::vector<std::vector<uint8_t>>;
namespace Serial = tavo::Board::Serial;
namespace LED = tavo::Board::LED;

namespace {

class ManagerOperationsTest : public ManagerTest {
protected:
    void SetUp() override
    {
        open();
        settle();
        capture.clear();
    }
};

} // namespace

TEST_F(ManagerOperationsTest, Audio)
{
    boardState([](SimDeviceState& s) {
        s.audioChannel = 2;
        s.mute = 1;
        s.jacks = {0, 1};
        return 0;
    });
    int channel = -1;
    bool muted = false;
    bool first = true;
    bool second = false;
    EXPECT_EQ(manager->audioChannelSelectedGet(channel), ErrorCode::Ok);
    EXPECT_EQ(channel, 2);
    EXPECT_EQ(manager->audioChannelSelectedSet(1), ErrorCode::Ok);
    EXPECT_EQ(manager->audioChannelSelectionAutoSet(), ErrorCode::Ok);
    EXPECT_EQ(manager->audioMutedGet(muted), ErrorCode::Ok);
    EXPECT_TRUE(muted);
    EXPECT_EQ(manager->audioMutedSet(false), ErrorCode::Ok);
    EXPECT_EQ(manager->audioJackConnectedGet(0, first), ErrorCode::Ok);
    EXPECT_EQ(manager->audioJackConnectedGet(1, second), ErrorCode::Ok);
    EXPECT_FALSE(first);
    EXPECT_TRUE(second);
    EXPECT_EQ(sent(), (Requests{{5, 4}, {5, 3, 1}, {5, 2}, {5, 8}, {5, 7, 0}, {5, 1}, {5, 1}}));
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.mute; }), 0);
}

TEST_F(ManagerOperationsTest, JacksOutsideZeroAndOneAreRefusedBeforeSending)
{
    bool connected = true;
    EXPECT_EQ(manager->audioJackConnectedGet(2, connected), ErrorCode::InvalidArgument);
    EXPECT_EQ(manager->audioJackConnectedGet(-1, connected), ErrorCode::InvalidArgument);
    EXPECT_TRUE(connected);
    EXPECT_EQ(sent(), Requests{});
}

TEST_F(ManagerOperationsTest, DriversDisplay)
{
    boardState([](SimDeviceState& s) {
        s.backlightLevel = 42;
        s.lightSensorLevel = 77;
        s.brightnessMode = 1;
        return 0;
    });
    uint8_t level = 0;
    uint8_t sensor = 0;
    bool automatic = false;
    EXPECT_EQ(manager->displayBrightnessGet(level), ErrorCode::Ok);
    EXPECT_EQ(level, 42);
    EXPECT_EQ(manager->displayBrightnessSet(200), ErrorCode::Ok);
    EXPECT_EQ(manager->displayBrightnessModeGet(automatic), ErrorCode::Ok);
    EXPECT_TRUE(automatic);
    EXPECT_EQ(manager->displayBrightnessModeSet(false), ErrorCode::Ok);
    EXPECT_EQ(manager->displayBrightnessSensorGet(sensor), ErrorCode::Ok);
    EXPECT_EQ(sensor, 77);
    EXPECT_EQ(sent(), (Requests{{2, 1}, {2, 0, 200}, {2, 4}, {2, 3, 0}, {2, 2}}));
}

TEST_F(ManagerOperationsTest, PeripheralPowerUsesTheMicrocontrollersNumbers)
{
    bool on = false;
    EXPECT_EQ(manager->peripheralPoweredSet(Peripheral::printer, true), ErrorCode::Ok);
    EXPECT_EQ(manager->peripheralPoweredGet(Peripheral::printer, on), ErrorCode::Ok);
    EXPECT_TRUE(on);
    EXPECT_EQ(manager->peripheralPoweredGet(Peripheral::display, on), ErrorCode::Ok);
    EXPECT_FALSE(on);
    EXPECT_EQ(manager->peripheralReset(Peripheral::usbHub), ErrorCode::Ok);
    EXPECT_EQ(sent(), (Requests{{1, 0, 9, 1}, {1, 1, 9}, {1, 1, 3}, {1, 2, 0}}));
}

TEST_F(ManagerOperationsTest, UnregisteredPeripheralThrowsBeforeSending)
{
    bool on = false;
    const auto bad = static_cast<Peripheral>(15);
    EXPECT_THROW(manager->peripheralPoweredSet(bad, true), std::runtime_error);
    EXPECT_THROW(manager->peripheralPoweredGet(bad, on), std::runtime_error);
    try {
        manager->peripheralReset(static_cast<Peripheral>(-1));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unregistered peripheral");
    }
    EXPECT_EQ(sent(), Requests{});
}

TEST_F(ManagerOperationsTest, LedsAndBuzzer)
{
    std::vector<LED::AnimationStep> steps;
    for (int i = 0; i < 8; ++i) {
        steps.push_back(LED::AnimationStep{Color(uint8_t(i), 0x22, 0x33), 0x100000000LL + 500 + i});
    }
    EXPECT_EQ(manager->ledColorSet(Color(0x11, 0x22, 0x33)), ErrorCode::Ok);
    EXPECT_EQ(manager->ledPlay(steps, 3), ErrorCode::Ok);
    const auto pattern = boardState([](SimDeviceState& s) { return s.ledPattern; });
    ASSERT_EQ(pattern.size(), 6u);
    EXPECT_EQ(pattern[5].colour, 0x332205u);
    EXPECT_EQ(pattern[5].durationMs, 505u);
    EXPECT_EQ(manager->ledPlay({}, 1), ErrorCode::Ok);
    EXPECT_EQ(manager->ledOff(), ErrorCode::Ok);
    EXPECT_EQ(manager->buzzerPlay(100, 2000, 3), ErrorCode::Ok);
    EXPECT_TRUE(capture.contains("[Manager] Playing buzzer: on=100 off=2000 repeat=3"));

    const Requests requests = sent();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0], (std::vector<uint8_t>{6, 1, 0, 0x33, 0x22, 0x11}));
    EXPECT_EQ(requests[1].size(), 2u + 2u + 6u * 8u);
    EXPECT_EQ(std::vector<uint8_t>(requests[1].begin(), requests[1].begin() + 12),
              (std::vector<uint8_t>{6, 0, 3, 6, 0, 0x33, 0x22, 0x00, 0, 0, 0x01, 0xF4}));
    EXPECT_EQ(requests[2], (std::vector<uint8_t>{6, 0, 1, 0}));
    EXPECT_EQ(requests[3], (std::vector<uint8_t>{6, 2}));
    EXPECT_EQ(requests[4], (std::vector<uint8_t>{3, 0, 0, 100, 0x07, 0xD0, 3}));
}

TEST_F(ManagerOperationsTest, SerialPortsConvertTheDevicesDuplexNumbers)
{
    boardState([](SimDeviceState& s) {
        s.serialPorts[0] = SimSerialPort{1, 1};
        return 0;
    });
    Serial::Protocol protocol = Serial::Protocol::rs232;
    Serial::Duplex duplex = Serial::Duplex::half;
    EXPECT_EQ(manager->serialProtocolGet(0, protocol), ErrorCode::Ok);
    EXPECT_EQ(protocol, Serial::Protocol::rs485);
    EXPECT_EQ(manager->serialDuplexGet(0, duplex), ErrorCode::Ok);
    EXPECT_EQ(duplex, Serial::Duplex::full);
    EXPECT_EQ(manager->serialProtocolSet(1, Serial::Protocol::rs485), ErrorCode::Ok);
    EXPECT_EQ(manager->serialProtocolSet(1, static_cast<Serial::Protocol>(5)), ErrorCode::Ok);
    EXPECT_EQ(manager->serialDuplexSet(1, Serial::Duplex::half), ErrorCode::Ok);
    EXPECT_EQ(manager->serialDuplexSet(1, Serial::Duplex::full), ErrorCode::Ok);
    EXPECT_EQ(sent(), (Requests{{9, 1, 0}, {9, 3, 0}, {9, 0, 1, 1}, {9, 0, 1, 0}, {9, 2, 1, 0}, {9, 2, 1, 1}}));
}

TEST_F(ManagerOperationsTest, UnknownSerialValuesLeaveTheCallersVariable)
{
    boardState([](SimDeviceState& s) {
        s.serialPorts[1] = SimSerialPort{2, 2};
        return 0;
    });
    Serial::Protocol protocol = Serial::Protocol::rs485;
    Serial::Duplex duplex = Serial::Duplex::half;
    EXPECT_EQ(manager->serialProtocolGet(1, protocol), ErrorCode::Ok);
    EXPECT_EQ(manager->serialDuplexGet(1, duplex), ErrorCode::Ok);
    EXPECT_EQ(protocol, Serial::Protocol::rs485);
    EXPECT_EQ(duplex, Serial::Duplex::half);
}

// The port goes out unchecked; the board refuses ports it lacks.
TEST_F(ManagerOperationsTest, SerialPortIndexIsLeftToTheDevice)
{
    Serial::Protocol protocol = Serial::Protocol::rs485;
    EXPECT_EQ(manager->serialProtocolGet(7, protocol), ErrorCode::InvalidArgument);
    EXPECT_EQ(manager->serialDuplexSet(7, Serial::Duplex::full), ErrorCode::InvalidArgument);
    EXPECT_EQ(protocol, Serial::Protocol::rs485);
    EXPECT_EQ(sent(), (Requests{{9, 1, 7}, {9, 2, 7, 1}}));
}

TEST_F(ManagerOperationsTest, CaseMotionAndSystemReadings)
{
    boardState([](SimDeviceState& s) {
        s.heater = 1;
        s.caseTemperatureCenti = -200;
        s.imuRaw = {1, -2, 3, -4, 5, -6};
        s.imuTotalMilliG = 1500;
        s.uptimeSeconds = 0x01020304;
        s.supplyMillivolts = 12500;
        s.hardwareStatus = {5, 1, 0, 1, 0};
        return 0;
    });
    bool heater = false;
    double temperature = 0;
    IMUData imu{};
    double acceleration = 0;
    std::chrono::seconds uptime{0};
    double volts = 0;
    tavo::Board::Hardware::Status status;
    EXPECT_EQ(manager->caseHeaterEnabledGet(heater), ErrorCode::Ok);
    EXPECT_EQ(manager->caseTemperatureGet(temperature), ErrorCode::Ok);
    EXPECT_EQ(manager->getImuRawData(imu), ErrorCode::Ok);
    EXPECT_EQ(manager->getImuTotalAcceleration(acceleration), ErrorCode::Ok);
    EXPECT_EQ(manager->systemUptimeGet(uptime), ErrorCode::Ok);
    EXPECT_EQ(manager->systemVoltageGet(volts), ErrorCode::Ok);
    EXPECT_EQ(manager->hardwareStatusGet(status), ErrorCode::Ok);
    EXPECT_TRUE(heater);
    EXPECT_DOUBLE_EQ(temperature, -2.0);
    EXPECT_EQ(imu.accy, -2);
    EXPECT_EQ(imu.gyroz, -6);
    EXPECT_DOUBLE_EQ(acceleration, 1.5);
    EXPECT_EQ(uptime.count(), 0x01020304);
    EXPECT_DOUBLE_EQ(volts, 12.5);
    EXPECT_EQ(status.toJson()["lastBootReason"], "PowerButton");
    EXPECT_TRUE(status.wdtTriggered);
    EXPECT_TRUE(status.debugEnabled);
    EXPECT_EQ(sent(), (Requests{{4, 2}, {4, 0}, {11, 0}, {11, 1}, {0, 1}, {1, 8}, {0, 5}}));
}

TEST_F(ManagerOperationsTest, SystemRequests)
{
    EXPECT_EQ(manager->heartbeatSend(), ErrorCode::Ok);
    EXPECT_EQ(manager->openPrinterCover(), ErrorCode::Ok);
    EXPECT_EQ(manager->systemReset(), ErrorCode::Ok);
    ASSERT_TRUE(board.waitForRequests(mark + 3, 2000));
    EXPECT_EQ(sent(), (Requests{{0, 0}, {10, 0}, {1, 9}}));
    EXPECT_EQ(boardState([](SimDeviceState& s) { return s.printerCoverOpenings; }), 1);
}

// Cached identity answers without the device; the pole id is read each time.
TEST_F(ManagerOperationsTest, IdentityComesFromTheCacheExceptThePoleId)
{
    board.setSilent(true);
    std::string text;
    EXPECT_EQ(manager->firmwareVersionGet(text), ErrorCode::Ok);
    EXPECT_EQ(manager->hardwareIDGet(text), ErrorCode::Ok);
    EXPECT_EQ(manager->hardwareVersionGet(text), ErrorCode::Ok);
    EXPECT_EQ(sent(), Requests{});
    board.setSilent(false);
    boardState([](SimDeviceState& s) { return s.poleId = "POLE-1"; });
    EXPECT_EQ(manager->poleIDGet(text), ErrorCode::Ok);
    EXPECT_EQ(text, "POLE-1");
    boardState([](SimDeviceState& s) { return s.poleId = "POLE-2"; });
    EXPECT_EQ(manager->poleIDGet(text), ErrorCode::Ok);
    EXPECT_EQ(text, "POLE-2");
    EXPECT_EQ(sent(), (Requests{{0, 6}, {0, 6}}));
}

TEST_F(ManagerOperationsTest, BootloaderFlagBitsAreCutToEightBits)
{
    EXPECT_EQ(manager->bootloaderFlagsBitSet(0, false), ErrorCode::InvalidArgument);
    EXPECT_EQ(sent(), Requests{});
    EXPECT_EQ(manager->bootloaderFlagsBitSet(260, true), ErrorCode::Ok);
    EXPECT_EQ(manager->bootloaderFlagsBitSet(4, false), ErrorCode::Ok);
    EXPECT_EQ(manager->parametersDefaults(), ErrorCode::Ok);
    EXPECT_EQ(sent(), (Requests{{12, 4, 4}, {12, 5, 4}, {0, 9}}));
}

TEST_F(ManagerOperationsTest, FirmwareParametersAreReadAndWrittenByName)
{
    Variant value("sentinel");
    EXPECT_EQ(manager->parametersGet("MAX_SHUTDOWN_DELAY", value), ErrorCode::Ok);
    EXPECT_EQ(value.toInt(), 600);
    EXPECT_EQ(manager->parametersSet("ACC_G_THRESHOLD", Variant(2500)), ErrorCode::Ok);
    EXPECT_EQ(manager->parametersGet("ACC_G_THRESHOLD", value), ErrorCode::Ok);
    EXPECT_EQ(value.toInt(), 2500);
    EXPECT_EQ(manager->parametersSet("SITE_NAME", Variant("yard")), ErrorCode::Ok);
    EXPECT_EQ(manager->parametersGet("SITE_NAME", value), ErrorCode::Ok);
    EXPECT_EQ(value.toString(), "yard");

    value = Variant("sentinel");
    EXPECT_EQ(manager->parametersGet("NO_SUCH_PARAMETER", value), ErrorCode::InvalidArgument);
    EXPECT_EQ(value.toString(), "sentinel");
    settle();
    EXPECT_EQ(manager->parametersSet("ACC_G_THRESHOLD", Variant(true)), ErrorCode::InvalidArgument);
    EXPECT_EQ(sent(), Requests{});
}

TEST(ManagerParameters, AvailableParametersFollowTheHistory)
{
    using Names = std::vector<std::string>;
    EXPECT_EQ(Manager::getAvailableParameters("Velmor7", 1001000), Names{});
    EXPECT_EQ(Manager::getAvailableParameters("Velmor7", 1001001), Names{"param"});
    EXPECT_EQ(Manager::getAvailableParameters("Velmor7", 9999999), Names{"param"});
    EXPECT_EQ(Manager::getAvailableParameters("Other", 9999999), Names{});
}

TEST_F(ManagerOperationsTest, DebugSwitchSetsTheLogLevelAndTheDriversDumps)
{
    EXPECT_EQ(manager->debugEnabledSet(false), ErrorCode::Ok);
    EXPECT_TRUE(capture.contains("Debug is OFF"));
    capture.clear();
    EXPECT_EQ(manager->lcdClear(), ErrorCode::Ok);
    EXPECT_FALSE(capture.contains("[Manager] lcdClear"));

    EXPECT_EQ(manager->debugEnabledSet(true), ErrorCode::Ok);
    EXPECT_TRUE(capture.contains("Debug is ON"));
    EXPECT_EQ(manager->lcdClear(), ErrorCode::Ok);
    EXPECT_TRUE(capture.contains("[Manager] lcdClear"));
    EXPECT_TRUE(capture.contains("[LPCDriver] Send request"));
}

TEST_F(ManagerOperationsTest, StatisticsCountTheExchanges)
{
    const LpcStats before = manager->getStats();
    EXPECT_EQ(manager->heartbeatSend(), ErrorCode::Ok);
    EXPECT_EQ(manager->getStats().successes, before.successes + 1);
}

// Each Error the board can send, and no reply at all, as the board's codes;
// the out-parameter stays as it was.
TEST_F(ManagerOperationsTest, DeviceErrorsAreTranslated)
{
    const std::vector<std::pair<int, ErrorCode>> table = {
        {1, ErrorCode::HardwareError},   {2, ErrorCode::MalformedResponse}, {3, ErrorCode::InvalidArgument},
        {4, ErrorCode::UnsupportedType}, {5, ErrorCode::NotSupported},      {6, ErrorCode::InvalidArgument},
        {7, ErrorCode::InvalidSize},     {8, ErrorCode::UnknownError},
    };
    for (const auto& [error, expected] : table) {
        board.forceReply(5, 8, error, {8});
        bool muted = true;
        EXPECT_EQ(manager->audioMutedGet(muted), expected) << error;
        EXPECT_TRUE(muted) << error;
    }
    board.forceReply(0, 1, 0, {1, 0, 0});
    std::chrono::seconds uptime{77};
    EXPECT_EQ(manager->systemUptimeGet(uptime), ErrorCode::InvalidSize);
    EXPECT_EQ(uptime.count(), 77);

    board.clearForcedReplies();
    board.setSilent(true);
    bool heater = true;
    EXPECT_EQ(manager->caseHeaterEnabledGet(heater), ErrorCode::Timeout);
    EXPECT_TRUE(heater);
}
