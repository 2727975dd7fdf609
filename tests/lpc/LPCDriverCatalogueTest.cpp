// Every request method of the driver against the simulated board: the
// octets that reached the board, the decoded result, short replies and
// refused arguments. Expected octets are written out by hand from the wire
// layouts, not taken from the driver.

#include <iomanip>
#include <sstream>

#include "DriverFixture.h"

namespace {

using Code = LPCDriver::ErrorCode;
using Octets = std::vector<uint8_t>;

// Sentinels that outputs start at, so a missed or stray write shows.
constexpr int kInt = -7;
constexpr unsigned kUnsigned = 0xDEADBEEF;
constexpr unsigned char kOctet = 0xEE;
constexpr unsigned short kShort = 0xEEEE;
constexpr double kDouble = -99.5;
const std::string kText = "untouched";

template <typename... T>
std::string show(const T&... values)
{
    std::ostringstream out;
    out << std::setprecision(12);
    const char* separator = "";
    ((out << separator << values, separator = ","), ...);
    return out.str();
}

std::string showStatus(const LPCHWStatus& s)
{
    return show(int(s.bootReason), int(s.watchdogTriggered), int(s.rtcFailed), int(s.debugEnabled), int(s.mcuReset));
}

std::string showImu(const IMUData& d)
{
    return show(d.accx, d.accy, d.accz, d.gyrox, d.gyroy, d.gyroz);
}

// A state where every value the catalogue reads is distinctive.
void prepare(SimDeviceState& s)
{
    s.uptimeSeconds = 0x01020304;
    s.firmwareVersion = "FW 2.7.1";
    s.hardwareVersion = "HW-C";
    s.hardwareId = "ID-42";
    s.poleId = "POLE-9";
    s.hardwareStatus = {3, 1, 0, 1, 2};
    s.peripheralPower[3] = 1;
    s.ignition = 1;
    s.input = 1;
    s.supplyMillivolts = 0x30D4;
    s.backlightLevel = 200;
    s.lightSensorLevel = 77;
    s.brightnessMode = 1;
    s.caseTemperatureCenti = int16_t(0xFF38);
    s.heater = 1;
    s.jacks = {1, 1};
    s.audioChannel = 2;
    s.amplifier = 1;
    s.mute = 1;
    s.pins[2] = SimPin{1, 0, 1, 0x0ABC, 2};
    s.pins[5] = SimPin{0, 1, 0, 0, 0};
    s.screenStatus = 2;
    s.screenWidth = 240;
    s.screenHeight = 0x0140;
    s.backlightColour = 0x332211;
    s.serialPorts[1] = SimSerialPort{1, 0};
    s.imuRaw = {-1, 2, -300, 400, -5, 32767};
    s.imuTotalMilliG = 1234567;
    s.bootStatus = 0x0102;
    s.bootFlags = 0x8101;
}

// A request whose reply the method decodes.
struct Query {
    const char* name;
    Octets request; // ID, sub-identifier, arguments
    uint16_t minSize;
    std::string expected;
    std::string untouched;
    std::function<Code(LPCDriver&, std::string&)> call; // renders the outputs
};

const std::vector<Query>& queries()
{
    static const std::vector<Query> table = {
        {"getSystemUptime", {0, 1}, 5, "16909060", show(kUnsigned),
         [](LPCDriver& d, std::string& out) {
             unsigned v = kUnsigned;
             const Code rc = d.getSystemUptime(v);
             out = show(v);
             return rc;
         }},
        {"getFirmwareVersion", {0, 2}, 1, "FW 2.7.1", kText,
         [](LPCDriver& d, std::string& out) {
             out = kText;
             return d.getFirmwareVersion(out);
         }},
        {"getHardwareVersion", {0, 3}, 1, "HW-C", kText,
         [](LPCDriver& d, std::string& out) {
             out = kText;
             return d.getHardwareVersion(out);
         }},
        {"getHardwareID", {0, 4}, 1, "ID-42", kText,
         [](LPCDriver& d, std::string& out) {
             out = kText;
             return d.getHardwareID(out);
         }},
        {"getHardwareStatus", {0, 5}, 7, "3,1,0,1,2", "238,238,238,238,238",
         [](LPCDriver& d, std::string& out) {
             LPCHWStatus v{kOctet, kOctet, kOctet, kOctet, kOctet};
             const Code rc = d.getHardwareStatus(v);
             out = showStatus(v);
             return rc;
         }},
        {"getPoleID", {0, 6}, 1, "POLE-9", kText,
         [](LPCDriver& d, std::string& out) {
             out = kText;
             return d.getPoleID(out);
         }},
        {"getPeripheralPowerState", {1, 1, 3}, 3, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getPeripheralPowerState(LPC_PERIPHERAL_DISPLAY, v);
             out = show(v);
             return rc;
         }},
        {"getIgnitionInput", {1, 4}, 2, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getIgnitionInput(v);
             out = show(v);
             return rc;
         }},
        {"getInput", {1, 7}, 2, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getInput(v);
             out = show(v);
             return rc;
         }},
        {"getSystemVoltage", {1, 8}, 3, "12.5", show(kDouble),
         [](LPCDriver& d, std::string& out) {
             double v = kDouble;
             const Code rc = d.getSystemVoltage(v);
             out = show(v);
             return rc;
         }},
        {"getDisplayBacklightLevel", {2, 1}, 2, "200", show(int(kOctet)),
         [](LPCDriver& d, std::string& out) {
             unsigned char v = kOctet;
             const Code rc = d.getDisplayBacklightLevel(v);
             out = show(int(v));
             return rc;
         }},
        {"getLightSensorLevel", {2, 2}, 2, "77", show(int(kOctet)),
         [](LPCDriver& d, std::string& out) {
             unsigned char v = kOctet;
             const Code rc = d.getLightSensorLevel(v);
             out = show(int(v));
             return rc;
         }},
        {"getDisplayBrightnessMode", {2, 4}, 2, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getDisplayBrightnessMode(v);
             out = show(v);
             return rc;
         }},
        {"getCaseTemperature", {4, 0}, 3, "-2", show(kDouble),
         [](LPCDriver& d, std::string& out) {
             double v = kDouble;
             const Code rc = d.getCaseTemperature(v);
             out = show(v);
             return rc;
         }},
        {"getDeviceHeaterState", {4, 2}, 2, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getDeviceHeaterState(v);
             out = show(v);
             return rc;
         }},
        {"getAudioJackState", {5, 1}, 2, "1,1", show(kInt, kInt),
         [](LPCDriver& d, std::string& out) {
             int a = kInt, b = kInt;
             const Code rc = d.getAudioJackState(a, b);
             out = show(a, b);
             return rc;
         }},
        {"getAudioChannel", {5, 4}, 2, "2", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getAudioChannel(v);
             out = show(v);
             return rc;
         }},
        {"getAmplifierState", {5, 6}, 2, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getAmplifierState(v);
             out = show(v);
             return rc;
         }},
        {"getAudioMute", {5, 8}, 2, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getAudioMute(v);
             out = show(v);
             return rc;
         }},
        {"getDigitalInputState", {7, 3, 2}, 3, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getDigitalInputState(2, v);
             out = show(v);
             return rc;
         }},
        {"getAnalogInputState", {7, 4, 2}, 4, "2748", show(kShort),
         [](LPCDriver& d, std::string& out) {
             unsigned short v = kShort;
             const Code rc = d.getAnalogInputState(2, v);
             out = show(v);
             return rc;
         }},
        {"getIOMode", {7, 6, 5}, 3, "0", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getIOMode(5, v);
             out = show(v);
             return rc;
         }},
        {"getDigitalOutputState", {7, 7, 5}, 3, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getDigitalOutputState(5, v);
             out = show(v);
             return rc;
         }},
        {"getPullResistor", {7, 8, 2}, 3, "2", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getPullResistor(2, v);
             out = show(v);
             return rc;
         }},
        {"screenGetWidth", {8, 7}, 3, "240", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.screenGetWidth(v);
             out = show(v);
             return rc;
         }},
        {"screenGetHeight", {8, 8}, 3, "320", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.screenGetHeight(v);
             out = show(v);
             return rc;
         }},
        {"screenStatus", {8, 9}, 2, "2", show(kInt),
         [](LPCDriver& d, std::string& out) {
             LPCScreenStatus v = static_cast<LPCScreenStatus>(kInt);
             const Code rc = d.screenStatus(v);
             out = show(int(v));
             return rc;
         }},
        {"screenErase", {8, 24, 0x00, 0x05, 0xFF, 0xFE, 0x01, 0x00, 0x00, 0x20}, 5, "1", show(kUnsigned),
         [](LPCDriver& d, std::string& out) {
             unsigned v = kUnsigned;
             const Code rc = d.screenErase(5, -2, 256, 32, v);
             out = show(v);
             return rc;
         }},
        {"screenText", {8, 32, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 'H', 'i'}, 5, "2", show(kUnsigned),
         [](LPCDriver& d, std::string& out) {
             unsigned v = kUnsigned;
             const Code rc = d.screenText(v, 1, 2, "Hi", 3, 4);
             out = show(v);
             return rc;
         }},
        {"screenDrawBitmap", {8, 34, 7, 0x00, 0x0A, 0x00, 0x0B, 0x00, 0x40, 0x00, 0x20}, 5, "3", show(kUnsigned),
         [](LPCDriver& d, std::string& out) {
             unsigned v = kUnsigned;
             const Code rc = d.screenDrawBitmap(v, 7, 10, 11, 64, 32);
             out = show(v);
             return rc;
         }},
        {"screenGetBacklight", {8, 36}, 4, show(0x332211), show(kUnsigned),
         [](LPCDriver& d, std::string& out) {
             unsigned v = kUnsigned;
             const Code rc = d.screenGetBacklight(v);
             out = show(v);
             return rc;
         }},
        {"getSerialProtocol", {9, 1, 1}, 3, "1", show(kInt),
         [](LPCDriver& d, std::string& out) {
             LPCSerialProtocol v = static_cast<LPCSerialProtocol>(kInt);
             const Code rc = d.getSerialProtocol(1, v);
             out = show(int(v));
             return rc;
         }},
        {"getSerialDuplex", {9, 3, 1}, 3, "0", show(kInt),
         [](LPCDriver& d, std::string& out) {
             LPCSerialDuplex v = static_cast<LPCSerialDuplex>(kInt);
             const Code rc = d.getSerialDuplex(1, v);
             out = show(int(v));
             return rc;
         }},
        {"getImuRawData", {11, 0}, 13, "-1,2,-300,400,-5,32767", "-7,-7,-7,-7,-7,-7",
         [](LPCDriver& d, std::string& out) {
             IMUData v{kInt, kInt, kInt, kInt, kInt, kInt};
             const Code rc = d.getImuRawData(v);
             out = showImu(v);
             return rc;
         }},
        {"getImuTotalAcceleration", {11, 1}, 5, "1234.567", show(kDouble),
         [](LPCDriver& d, std::string& out) {
             double v = kDouble;
             const Code rc = d.getImuTotalAcceleration(v);
             out = show(v);
             return rc;
         }},
        {"getBootStatus", {12, 1}, 3, "258", show(kInt),
         [](LPCDriver& d, std::string& out) {
             int v = kInt;
             const Code rc = d.getBootStatus(v);
             out = show(v);
             return rc;
         }},
        {"getBootFlags", {12, 2}, 3, "1000000100000001", "0000000000000011",
         [](LPCDriver& d, std::string& out) {
             std::bitset<16> v(3);
             const Code rc = d.getBootFlags(v);
             out = v.to_string();
             return rc;
         }},
    };
    return table;
}

// A request whose reply carries nothing the method reads; effect renders
// what it changed on the board.
struct Command {
    const char* name;
    Octets request;
    std::function<Code(LPCDriver&)> call;
    std::string expected;
    std::function<std::string(const SimDeviceState&)> effect;
};

std::vector<LPCLEDStep> ledSteps(size_t n)
{
    std::vector<LPCLEDStep> steps;
    for (uint32_t i = 0; i < n; ++i)
        steps.push_back(LPCLEDStep{0x00102030u + i, 100u * (i + 1)});
    return steps;
}

// The octets of ledSteps(n) as the wire carries them.
Octets ledOctets(size_t n)
{
    Octets out;
    for (uint8_t i = 0; i < n; ++i) {
        const uint16_t duration = uint16_t(100 * (i + 1));
        out.insert(out.end(), {0x00, 0x10, 0x20, uint8_t(0x30 + i), 0, 0, uint8_t(duration >> 8), uint8_t(duration)});
    }
    return out;
}

Octets concat(Octets a, const Octets& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<Command>& commands()
{
    const std::string long200(200, 'x');
    static const std::vector<Command> table = {
        {"heartbeat", {0, 0}, [](LPCDriver& d) { return d.heartbeat(); }, "", nullptr},
        {"setFirmwareDefaults", {0, 9}, [](LPCDriver& d) { return d.setFirmwareDefaults(); }, "1",
         [](const SimDeviceState& s) { return show(s.defaultsRestored); }},
        {"setPeripheralPowerState", {1, 0, 14, 1},
         [](LPCDriver& d) { return d.setPeripheralPowerState(LPC_PERIPHERAL_GP_PORT4, 1); }, "1",
         [](const SimDeviceState& s) { return show(int(s.peripheralPower[14])); }},
        {"setPeripheralPowerState keeps the low octet", {1, 0, 4, 1},
         [](LPCDriver& d) { return d.setPeripheralPowerState(LPC_PERIPHERAL_TOUCH, 257); }, "1",
         [](const SimDeviceState& s) { return show(int(s.peripheralPower[4])); }},
        {"resetPeripheral", {1, 2, 9}, [](LPCDriver& d) { return d.resetPeripheral(LPC_PERIPHERAL_PRINTER); }, "1",
         [](const SimDeviceState& s) { return show(s.peripheralResets[9]); }},
        {"delayShutdown", {1, 11}, [](LPCDriver& d) { return d.delayShutdown(); }, "1",
         [](const SimDeviceState& s) { return show(s.shutdownDelays); }},
        {"setDisplayBacklightLevel", {2, 0, 42}, [](LPCDriver& d) { return d.setDisplayBacklightLevel(42); }, "42",
         [](const SimDeviceState& s) { return show(int(s.backlightLevel)); }},
        {"setDisplayBrightnessMode", {2, 3, 0}, [](LPCDriver& d) { return d.setDisplayBrightnessMode(0); }, "0",
         [](const SimDeviceState& s) { return show(int(s.brightnessMode)); }},
        {"setBuzzerPattern", {3, 0, 0x01, 0xF4, 0x03, 0xE8, 3},
         [](LPCDriver& d) { return d.setBuzzerPattern(500, 1000, 3); }, "500,1000,3",
         [](const SimDeviceState& s) { return show(s.buzzerOnMs, s.buzzerOffMs, int(s.buzzerRepeat)); }},
        {"setAudioChannel", {5, 3, 1}, [](LPCDriver& d) { return d.setAudioChannel(1); }, "1,0",
         [](const SimDeviceState& s) { return show(int(s.audioChannel), s.audioChannelAuto); }},
        {"setAudioJackSelectionAuto", {5, 2}, [](LPCDriver& d) { return d.setAudioJackSelectionAuto(); }, "1",
         [](const SimDeviceState& s) { return show(s.audioChannelAuto); }},
        {"setAmplifierState", {5, 5, 0}, [](LPCDriver& d) { return d.setAmplifierState(0); }, "0",
         [](const SimDeviceState& s) { return show(int(s.amplifier)); }},
        {"setAudioMute", {5, 7, 0}, [](LPCDriver& d) { return d.setAudioMute(0); }, "0",
         [](const SimDeviceState& s) { return show(int(s.mute)); }},
        {"setLEDPattern", concat({6, 0, 4, 2}, ledOctets(2)),
         [](LPCDriver& d) { return d.setLEDPattern(ledSteps(2), 4); }, show(4, 2, 0x00102031, 200),
         [](const SimDeviceState& s) {
             return show(int(s.ledRepeat), s.ledPattern.size(), s.ledPattern.back().colour,
                         s.ledPattern.back().durationMs);
         }},
        {"setLEDPattern sends six of eight steps", concat({6, 0, 0, 6}, ledOctets(6)),
         [](LPCDriver& d) { return d.setLEDPattern(ledSteps(8), 0); }, "6",
         [](const SimDeviceState& s) { return show(s.ledPattern.size()); }},
        {"setLEDPattern empty", {6, 0, 1, 0}, [](LPCDriver& d) { return d.setLEDPattern({}, 1); }, "0",
         [](const SimDeviceState& s) { return show(s.ledPattern.size()); }},
        {"setLEDState", {6, 1, 0x00, 0x33, 0x22, 0x11}, [](LPCDriver& d) { return d.setLEDState(0x332211); },
         "3351057", [](const SimDeviceState& s) { return show(s.ledColour); }},
        {"clearLEDState", {6, 2}, [](LPCDriver& d) { return d.clearLEDState(); }, "0",
         [](const SimDeviceState& s) { return show(s.ledColour); }},
        {"setIOMode", {7, 0, 6, 0}, [](LPCDriver& d) { return d.setIOMode(6, 0); }, "0",
         [](const SimDeviceState& s) { return show(int(s.pins[6].mode)); }},
        {"setDigitalOutputState", {7, 1, 6, 1}, [](LPCDriver& d) { return d.setDigitalOutputState(6, 1); }, "1",
         [](const SimDeviceState& s) { return show(int(s.pins[6].output)); }},
        {"setPullResistor", {7, 5, 2, 1}, [](LPCDriver& d) { return d.setPullResistor(2, 1); }, "1",
         [](const SimDeviceState& s) { return show(int(s.pins[2].pull)); }},
        {"screenOff", {8, 0}, [](LPCDriver& d) { return d.screenOff(); }, "0",
         [](const SimDeviceState& s) { return show(int(s.screenStatus)); }},
        {"screenOn", {8, 1}, [](LPCDriver& d) { return d.screenOn(); }, "1",
         [](const SimDeviceState& s) { return show(int(s.screenStatus)); }},
        {"screenSetFont", {8, 15, 34}, [](LPCDriver& d) { return d.screenSetFont(LPCScreenFont(34)); }, "34",
         [](const SimDeviceState& s) { return show(int(s.font)); }},
        {"screenSetFontSpacing", {8, 16, 3}, [](LPCDriver& d) { return d.screenSetFontSpacing(3); }, "3",
         [](const SimDeviceState& s) { return show(int(s.fontSpacing)); }},
        {"screenSetTextAlign", {8, 18, 0x21},
         [](LPCDriver& d) {
             return d.screenSetTextAlign(LPCScreenAlignment(LPC_SCREEN_ALIGN_CENTER | LPC_SCREEN_ALIGN_BOTTOM));
         },
         "33", [](const SimDeviceState& s) { return show(int(s.textAlign)); }},
        {"screenText cuts the text to 150 octets", concat({8, 32, 0, 0, 0, 0, 0, 8, 0, 8}, Octets(150, 'x')),
         [long200](LPCDriver& d) {
             unsigned id = 0;
             return d.screenText(id, 0, 0, long200, 8, 8);
         },
         "150", [](const SimDeviceState& s) { return show(s.objects.rbegin()->second.text.size()); }},
        {"screenRemoveObject", {8, 23, 0x00, 0x00, 0x00, 0x01},
         [](LPCDriver& d) { return d.screenRemoveObject(1); }, "0",
         [](const SimDeviceState& s) { return show(s.objects.count(1)); }},
        {"screenClear", {8, 2}, [](LPCDriver& d) { return d.screenClear(); }, "0",
         [](const SimDeviceState& s) { return show(s.objects.size()); }},
        {"screenSetBacklight", {8, 35, 0x11, 0x22, 0x33},
         [](LPCDriver& d) { return d.screenSetBacklight(0xAB332211); }, show(0x332211),
         [](const SimDeviceState& s) { return show(s.backlightColour); }},
        {"setSerialProtocol", {9, 0, 0, 1}, [](LPCDriver& d) { return d.setSerialProtocol(0, LPC_SERIAL_RS485); },
         "1", [](const SimDeviceState& s) { return show(int(s.serialPorts[0].protocol)); }},
        {"setSerialDuplex", {9, 2, 0, 0},
         [](LPCDriver& d) { return d.setSerialDuplex(0, LPC_SERIAL_HALF_DUPLEX); }, "0",
         [](const SimDeviceState& s) { return show(int(s.serialPorts[0].duplex)); }},
        {"openPrinterCover", {10, 0}, [](LPCDriver& d) { return d.openPrinterCover(); }, "1",
         [](const SimDeviceState& s) { return show(s.printerCoverOpenings); }},
        {"setBootFlags", {12, 3, 0x05, 0x80}, [](LPCDriver& d) { return d.setBootFlags(std::bitset<16>(0x8005)); },
         show(0x8005), [](const SimDeviceState& s) { return show(s.bootFlags); }},
        {"setBootFlagBit", {12, 4, 9}, [](LPCDriver& d) { return d.setBootFlagBit(9); }, show(0x8205),
         [](const SimDeviceState& s) { return show(s.bootFlags); }},
        {"setBootFlagBit 0 is sent", {12, 4, 0}, [](LPCDriver& d) { return d.setBootFlagBit(0); }, show(0x8205),
         [](const SimDeviceState& s) { return show(s.bootFlags); }},
        {"clearBootFlagBit", {12, 5, 15}, [](LPCDriver& d) { return d.clearBootFlagBit(15); }, show(0x0205),
         [](const SimDeviceState& s) { return show(s.bootFlags); }},
    };
    return table;
}

class CatalogueTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        board.device().access([](SimDeviceState& s) { prepare(s); });
    }

    // The ID and Data of the request the board logged last, after waiting
    // for count requests in all.
    Octets lastRequest(size_t count)
    {
        if (!board.waitForRequests(count, 2000))
            return {};
        const API_Message_t m = board.requests().back().message;
        Octets out{m.ID};
        out.insert(out.end(), m.Data, m.Data + m.Size);
        EXPECT_EQ(m.Type, API_TYPE_REQUEST);
        return out;
    }
};

TEST_F(CatalogueTest, QueriesSendTheirOctetsAndDecodeTheReply)
{
    size_t count = 0;
    for (const auto& q : queries()) {
        std::string out;
        EXPECT_EQ(q.call(driver, out), LPCDriver::NoError) << q.name;
        EXPECT_EQ(out, q.expected) << q.name;
        EXPECT_EQ(lastRequest(++count), q.request) << q.name;
    }
    EXPECT_EQ(exchanges(), count);
}

TEST_F(CatalogueTest, CommandsSendTheirOctetsAndChangeTheBoard)
{
    size_t count = 0;
    for (const auto& c : commands()) {
        EXPECT_EQ(c.call(driver), LPCDriver::NoError) << c.name;
        EXPECT_EQ(lastRequest(++count), c.request) << c.name;
        if (c.effect) {
            EXPECT_EQ(board.device().access([&](SimDeviceState& s) { return c.effect(s); }), c.expected) << c.name;
        }
    }
    EXPECT_EQ(exchanges(), count);
}

// Each reply one octet short of what the method reads: 7, outputs as they
// were, and no retransmission.
TEST_F(CatalogueTest, ShortRepliesGiveUnexpectedSizeAndLeaveOutputs)
{
    for (const auto& q : queries()) {
        Octets reply;
        if (q.minSize > 1) {
            reply.assign(q.minSize - 1, 0x11);
            reply[0] = q.request[1];
        }
        board.forceReply(q.request[0], q.request[1], 0, reply);
        std::string out;
        EXPECT_EQ(q.call(driver, out), LPCDriver::UnexpectedSize) << q.name;
        EXPECT_EQ(out, q.untouched) << q.name;
    }
    EXPECT_EQ(board.requests().size(), queries().size());
    EXPECT_EQ(driver.getStats().retransmitted, 0u);
}

// The board's Error wins over the size check, and outputs stay as they were.
TEST_F(CatalogueTest, ErrorReplyIsReturnedBeforeTheSizeCheck)
{
    for (const auto& q : queries()) {
        board.forceReply(q.request[0], q.request[1], 1, {q.request[1]});
        std::string out;
        EXPECT_EQ(q.call(driver, out), LPCDriver::GeneralError) << q.name;
        EXPECT_EQ(out, q.untouched) << q.name;
    }
}

TEST_F(CatalogueTest, BoardRefusalsComeBackAsTheirCodes)
{
    int value = kInt;
    EXPECT_EQ(driver.getDigitalInputState(8, value), LPCDriver::InvalidParameter);
    EXPECT_EQ(driver.setPeripheralPowerState(LPCPeripheral(15), 1), LPCDriver::InvalidParameter);
    EXPECT_EQ(driver.screenSetTextAlign(LPCScreenAlignment(3)), LPCDriver::InvalidParameter);
    EXPECT_EQ(driver.screenRemoveObject(99), LPCDriver::InvalidParameter);
    EXPECT_EQ(value, kInt);
}

TEST_F(CatalogueTest, ClearingBootFlagBitZeroIsRefusedWithoutTraffic)
{
    const uint16_t before = driver.getNextSeqNumber();
    EXPECT_EQ(driver.clearBootFlagBit(0), LPCDriver::InvalidParameter);
    const uint16_t after = driver.getNextSeqNumber();
    EXPECT_EQ(after, before == 65534 ? 0 : before + 1); // no sequence number drawn
    EXPECT_TRUE(board.requests().empty());
    EXPECT_EQ(board.device().access([](SimDeviceState& s) { return s.bootFlags; }), 0x8101);
}

TEST_F(CatalogueTest, TextRepliesMayBeEmpty)
{
    board.forceReply(0, 2, 0, {2});
    std::string text = kText;
    EXPECT_EQ(driver.getFirmwareVersion(text), LPCDriver::NoError);
    EXPECT_EQ(text, "");
}

TEST_F(CatalogueTest, SingleAudioJackReportsSecondAsZero)
{
    board.device().access([](SimDeviceState& s) { s.jacks = {1}; });
    int first = kInt, second = kInt;
    EXPECT_EQ(driver.getAudioJackState(first, second), LPCDriver::NoError);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}

TEST_F(CatalogueTest, HardwareStatusSkipsTheLeadingOctet)
{
    board.forceReply(0, 5, 0, {5, 0xAA, 1, 2, 3, 4, 5});
    LPCHWStatus status{kOctet, kOctet, kOctet, kOctet, kOctet};
    EXPECT_EQ(driver.getHardwareStatus(status), LPCDriver::NoError);
    EXPECT_EQ(showStatus(status), "1,2,3,4,5");
}

// The reset is sent once and not awaited; its late reply is discarded by
// the next exchange, and nothing is counted.
TEST_F(CatalogueTest, ResetSystemIsSentWithoutWaiting)
{
    board.delayReplies(100);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(driver.resetSystem(), LPCDriver::NoError);
    EXPECT_LT(msSince(start), 100.0);
    EXPECT_EQ(lastRequest(1), (Octets{1, 9}));
    EXPECT_TRUE(board.waitForRequests(1, 1000));
    EXPECT_EQ(board.device().access([](SimDeviceState& s) { return s.resets; }), 1);
    const LpcStats stats = driver.getStats();
    EXPECT_EQ(stats.successes + stats.failures + stats.retransmitted, 0u);

    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    board.delayReplies(0);
    unsigned uptime = kUnsigned;
    EXPECT_EQ(driver.getSystemUptime(uptime), LPCDriver::NoError);
    EXPECT_EQ(uptime, 0u);
    EXPECT_EQ(driver.getStats().successes, 1u);
}

} // namespace
