// The manager's hardware operations other than GPIO and LCD: each is one
// device request with the manager's own checks and conversions, or an answer
// from what was cached when the device was opened.

#include "board/Manager.h"

#include "board/Helpers.h"

namespace tavo::Board {

namespace {

constexpr int kAudioJacks = 2;

} // namespace

const Manager::ParameterHistory Manager::mHistory = {
    {"Velmor7", {{1001001, {{"param", true}}}}},
};

// Audio.

ErrorCode Manager::audioChannelSelectedGet(int& channel)
{
    return translate(driver.getAudioChannel(channel));
}

ErrorCode Manager::audioChannelSelectedSet(int channel)
{
    return translate(driver.setAudioChannel(channel));
}

ErrorCode Manager::audioChannelSelectionAutoSet()
{
    return translate(driver.setAudioJackSelectionAuto());
}

ErrorCode Manager::audioJackConnectedGet(int jack, bool& connected)
{
    if (jack < 0 || jack >= kAudioJacks) {
        return ErrorCode::InvalidArgument;
    }
    int first = 0;
    int second = 0;
    const LPCDriver::ErrorCode result = driver.getAudioJackState(first, second);
    return flagResult(result, jack == 0 ? first : second, connected);
}

ErrorCode Manager::audioMutedGet(bool& muted)
{
    int state = 0;
    return flagResult(driver.getAudioMute(state), state, muted);
}

ErrorCode Manager::audioMutedSet(bool muted)
{
    return translate(driver.setAudioMute(muted ? 1 : 0));
}

// The driver's display.

ErrorCode Manager::displayBrightnessGet(uint8_t& level)
{
    return translate(driver.getDisplayBacklightLevel(level));
}

ErrorCode Manager::displayBrightnessSet(uint8_t level)
{
    return translate(driver.setDisplayBacklightLevel(level));
}

ErrorCode Manager::displayBrightnessModeGet(bool& automatic)
{
    int mode = 0;
    return flagResult(driver.getDisplayBrightnessMode(mode), mode, automatic);
}

ErrorCode Manager::displayBrightnessModeSet(bool automatic)
{
    return translate(driver.setDisplayBrightnessMode(automatic ? 1 : 0));
}

ErrorCode Manager::displayBrightnessSensorGet(uint8_t& level)
{
    return translate(driver.getLightSensorLevel(level));
}

// Peripheral power.

LPCPeripheral Manager::toDevice(Peripheral peripheral)
{
    return static_cast<LPCPeripheral>(Helpers::translatePeripheral(peripheral));
}

ErrorCode Manager::peripheralPoweredGet(Peripheral peripheral, bool& on)
{
    const LPCPeripheral number = toDevice(peripheral);
    int state = 0;
    return flagResult(driver.getPeripheralPowerState(number, state), state, on);
}

ErrorCode Manager::peripheralPoweredSet(Peripheral peripheral, bool on)
{
    return translate(driver.setPeripheralPowerState(toDevice(peripheral), on ? 1 : 0));
}

ErrorCode Manager::peripheralReset(Peripheral peripheral)
{
    return translate(driver.resetPeripheral(toDevice(peripheral)));
}

// LEDs and buzzer.

ErrorCode Manager::ledOff()
{
    return translate(driver.clearLEDState());
}

ErrorCode Manager::ledColorSet(Color color)
{
    return translate(driver.setLEDState(color.pack()));
}

ErrorCode Manager::ledPlay(const std::vector<LED::AnimationStep>& steps, int repeat)
{
    std::vector<LPCLEDStep> deviceSteps;
    deviceSteps.reserve(steps.size());
    for (const LED::AnimationStep& step : steps) {
        deviceSteps.push_back(LPCLEDStep{step.color.pack(), static_cast<uint32_t>(step.duration)});
    }
    return translate(driver.setLEDPattern(deviceSteps, repeat));
}

ErrorCode Manager::buzzerPlay(uint16_t onMs, uint16_t offMs, uint8_t repeat)
{
    log(Log::Info, "Playing buzzer: on=%d off=%d repeat=%d", onMs, offMs, repeat);
    return translate(driver.setBuzzerPattern(onMs, offMs, repeat));
}

// Serial ports. The device numbers duplex the other way round.

bool Manager::fromDevice(LPCSerialProtocol value, Serial::Protocol& protocol)
{
    if (value != LPC_SERIAL_RS232 && value != LPC_SERIAL_RS485) {
        return false;
    }
    protocol = value == LPC_SERIAL_RS485 ? Serial::Protocol::rs485 : Serial::Protocol::rs232;
    return true;
}

bool Manager::fromDevice(LPCSerialDuplex value, Serial::Duplex& duplex)
{
    if (value != LPC_SERIAL_HALF_DUPLEX && value != LPC_SERIAL_FULL_DUPLEX) {
        return false;
    }
    duplex = value == LPC_SERIAL_HALF_DUPLEX ? Serial::Duplex::half : Serial::Duplex::full;
    return true;
}

unsigned long Manager::serialPortCountGet() const
{
    return serialPortCount;
}

ErrorCode Manager::serialProtocolGet(unsigned long port, Serial::Protocol& protocol)
{
    LPCSerialProtocol deviceProtocol = LPC_SERIAL_RS232;
    const LPCDriver::ErrorCode result = driver.getSerialProtocol(static_cast<int>(port), deviceProtocol);
    if (result == LPCDriver::NoError) {
        fromDevice(deviceProtocol, protocol);
    }
    return translate(result);
}

ErrorCode Manager::serialProtocolSet(unsigned long port, Serial::Protocol protocol)
{
    const LPCSerialProtocol deviceProtocol =
        protocol == Serial::Protocol::rs485 ? LPC_SERIAL_RS485 : LPC_SERIAL_RS232;
    return translate(driver.setSerialProtocol(static_cast<int>(port), deviceProtocol));
}

ErrorCode Manager::serialDuplexGet(unsigned long port, Serial::Duplex& duplex)
{
    LPCSerialDuplex deviceDuplex = LPC_SERIAL_HALF_DUPLEX;
    const LPCDriver::ErrorCode result = driver.getSerialDuplex(static_cast<int>(port), deviceDuplex);
    if (result == LPCDriver::NoError) {
        fromDevice(deviceDuplex, duplex);
    }
    return translate(result);
}

ErrorCode Manager::serialDuplexSet(unsigned long port, Serial::Duplex duplex)
{
    const LPCSerialDuplex deviceDuplex =
        duplex == Serial::Duplex::half ? LPC_SERIAL_HALF_DUPLEX : LPC_SERIAL_FULL_DUPLEX;
    return translate(driver.setSerialDuplex(static_cast<int>(port), deviceDuplex));
}

// Case, motion sensor, system.

ErrorCode Manager::caseHeaterEnabledGet(bool& on)
{
    int state = 0;
    return flagResult(driver.getDeviceHeaterState(state), state, on);
}

ErrorCode Manager::caseTemperatureGet(double& celsius)
{
    return translate(driver.getCaseTemperature(celsius));
}

ErrorCode Manager::getImuRawData(IMUData& data)
{
    return translate(driver.getImuRawData(data));
}

ErrorCode Manager::getImuTotalAcceleration(double& acceleration)
{
    return translate(driver.getImuTotalAcceleration(acceleration));
}

ErrorCode Manager::systemUptimeGet(std::chrono::seconds& uptime)
{
    unsigned int seconds = 0;
    const LPCDriver::ErrorCode result = driver.getSystemUptime(seconds);
    if (result == LPCDriver::NoError) {
        uptime = std::chrono::seconds(seconds);
    }
    return translate(result);
}

ErrorCode Manager::systemVoltageGet(double& volts)
{
    return translate(driver.getSystemVoltage(volts));
}

ErrorCode Manager::systemReset()
{
    return translate(driver.resetSystem());
}

ErrorCode Manager::openPrinterCover()
{
    return translate(driver.openPrinterCover());
}

ErrorCode Manager::heartbeatSend()
{
    return translate(driver.heartbeat());
}

ErrorCode Manager::hardwareStatusGet(Hardware::Status& status)
{
    LPCHWStatus raw{};
    const LPCDriver::ErrorCode result = driver.getHardwareStatus(raw);
    if (result == LPCDriver::NoError) {
        status = Hardware::Status(raw);
    }
    return translate(result);
}

// Identity.

ErrorCode Manager::firmwareVersionGet(std::string& version)
{
    version = firmwareVersion;
    return ErrorCode::Ok;
}

ErrorCode Manager::hardwareIDGet(std::string& id)
{
    id = hardwareId;
    return ErrorCode::Ok;
}

ErrorCode Manager::hardwareVersionGet(std::string& version)
{
    version = boardName + "-R" + boardRevision;
    return ErrorCode::Ok;
}

ErrorCode Manager::poleIDGet(std::string& id)
{
    return translate(driver.getPoleID(id));
}

// Firmware parameters and bootloader flag bits.

ErrorCode Manager::parametersGet(const std::string& name, Variant& value)
{
    return translate(driver.getFirmwareParameter(name, value));
}

ErrorCode Manager::parametersSet(const std::string& name, const Variant& value)
{
    return translate(driver.setFirmwareParameter(name, value));
}

ErrorCode Manager::parametersDefaults()
{
    return translate(driver.setFirmwareDefaults());
}

ErrorCode Manager::bootloaderFlagsBitSet(unsigned long bit, bool on)
{
    const auto number = static_cast<unsigned char>(bit & 0xFF);
    return translate(on ? driver.setBootFlagBit(number) : driver.clearBootFlagBit(number));
}

// A later version's entry for a parameter overrides an earlier one's.
std::vector<std::string> Manager::getAvailableParameters(const std::string& boardName, const unsigned long& version)
{
    std::vector<std::string> names;
    const auto board = mHistory.find(boardName);
    if (board == mHistory.end()) {
        return names;
    }
    std::map<std::string, bool> available;
    for (auto release = board->second.begin(); release != board->second.upper_bound(version); ++release) {
        for (const auto& [name, flag] : release->second) {
            available[name] = flag;
        }
    }
    for (const auto& [name, flag] : available) {
        if (flag) {
            names.push_back(name);
        }
    }
    return names;
}

} // namespace tavo::Board
