// The TCP command table, the argument helpers and the commands that take
// no arguments.

#include "app/TCPService.h"

#include <chrono>

#include "foundation/String.h"

namespace tavo::Board::TCP {

namespace {

std::string flag(bool on)
{
    return on ? "1" : "0";
}

std::string decimal(long long value)
{
    return std::to_string(value);
}

std::string fixed(double value)
{
    return String::format("%f", value);
}

std::string text(const std::string& value)
{
    return value;
}

} // namespace

const std::map<std::string, Service::Handler> Service::mCommands = {
    {"clearBootFlagBit", &Service::bootloaderFlagsBitClear},
    {"clearLEDState", &Service::ledOff},
    {"debug", &Service::debugEnabledSet},
    {"getAnalogInput", &Service::gpioAnalogInputGet},
    {"getAudioChannel", &Service::audioChannelSelectedGet},
    {"getAudioJackState", &Service::audioJackConnectedGet},
    {"getAudioMute", &Service::audioMutedGet},
    {"getBacklightLevel", &Service::displayBrightnessGet},
    {"getBootFlags", &Service::bootloaderFlagsGet},
    {"getBootStatus", &Service::bootloaderStatus},
    {"getBrightnessMode", &Service::displayBrightnessModeGet},
    {"getCaseTemperature", &Service::caseTemperatureGet},
    {"getDigitalInput", &Service::gpioDigitalInputGet},
    {"getDigitalOutput", &Service::gpioDigitalOutputGet},
    {"getFWVer", &Service::firmwareVersionGet},
    {"getHWID", &Service::hardwareIDGet},
    {"getHWStatus", &Service::hardwareStatusGet},
    {"getHWVer", &Service::hardwareVersionGet},
    {"getHeaterState", &Service::caseHeaterEnabledGet},
    {"getIOMode", &Service::gpioModeGet},
    {"getIgnitionInput", &Service::gpioIgnitionInputGet},
    {"getImuRawData", &Service::getImuRawData},
    {"getImuTotalAcceleration", &Service::getImuTotalAcceleration},
    {"getInput", &Service::gpioInputGet},
    {"getLightSensorLevel", &Service::displayBrightnessSensorGet},
    {"getParameter", &Service::parametersGet},
    {"getPeripheralPower", &Service::peripheralPoweredGet},
    {"getPoleID", &Service::poleIDGet},
    {"getPullResistor", &Service::gpioPullResistorGet},
    {"getSerialDuplex", &Service::serialDuplexGet},
    {"getSerialProtocol", &Service::serialProtocolGet},
    {"getSystemUptime", &Service::systemUptimeGet},
    {"getSystemVoltage", &Service::systemVoltageGet},
    {"heartbeat", &Service::heartbeatSend},
    {"help", &Service::printHelp},
    {"openPrinterCover", &Service::openPrinterCover},
    {"resetPeripheral", &Service::peripheralReset},
    {"resetSystem", &Service::systemReset},
    {"screenBacklight", &Service::lcdBacklightSet},
    {"screenClear", &Service::lcdClear},
    {"screenDrawBitmap", &Service::lcdDrawBitmap},
    {"screenFont", &Service::lcdFontSet},
    {"screenOff", &Service::lcdOff},
    {"screenOn", &Service::lcdOn},
    {"screenRemoveObject", &Service::lcdRemoveObject},
    {"screenSize", &Service::lcdSizeGet},
    {"screenStatus", &Service::lcdStatusGet},
    {"screenStoreBitmapBuffer", &Service::lcdBitmapStoreBuffeer},
    {"screenStoreBitmapFile", &Service::lcdBitmapStoreFile},
    {"screenText", &Service::lcdDrawText},
    {"screenTextAlign", &Service::lcdTextAlignSet},
    {"setAudioAutoSelect", &Service::audioChannelSelectionAutoSet},
    {"setAudioChannel", &Service::audioChannelSelectedSet},
    {"setAudioMute", &Service::audioMutedSet},
    {"setBacklightLevel", &Service::displayBrightnessSet},
    {"setBootFlagBit", &Service::bootloaderFlagsBitSet},
    {"setBootFlags", &Service::bootloaderFlagsSet},
    {"setBrightnessMode", &Service::displayBrightnessModeSet},
    {"setBuzzerPattern", &Service::buzzerPlay},
    {"setDefaults", &Service::parametersDefaults},
    {"setDigitalOutput", &Service::gpioDigitalOutputSet},
    {"setIOMode", &Service::gpioModeSet},
    {"setLEDPattern", &Service::ledPlay},
    {"setLEDState", &Service::ledColorSet},
    {"setParameter", &Service::parametersSet},
    {"setPeripheralPower", &Service::peripheralPoweredSet},
    {"setPullResistor", &Service::gpioPullResistorSet},
    {"setSerialDuplex", &Service::serialDuplexSet},
    {"setSerialProtocol", &Service::serialProtocolSet},
    {"updateFW", &Service::firmwareUpdate},
};

bool Service::numberAt(const Tokens& tokens, size_t index, long long& value)
{
    if (index >= tokens.size() || !String::isNumeric(tokens[index]))
        return false;
    value = String::toInteger(tokens[index], 0);
    return true;
}

std::string Service::exactlyOneNumber(const Tokens& tokens, const std::function<ErrorCode(long long)>& apply)
{
    long long value = 0;
    if (tokens.size() != 2)
        return renderErrorCode(ErrorCode::MalformedRequest);
    if (!numberAt(tokens, 1, value))
        return renderErrorCode(ErrorCode::InvalidArgument);
    return renderErrorCode(apply(value));
}

template <typename T, typename Format>
std::string Service::valueReply(ErrorCode (Manager::*get)(T&), Format format)
{
    T value{};
    const ErrorCode result = (manager.get()->*get)(value);
    return result == ErrorCode::Ok ? "ok," + format(value) : renderErrorCode(result);
}

std::string Service::audioChannelSelectionAutoSet(const Tokens&)
{
    return renderErrorCode(manager->audioChannelSelectionAutoSet());
}

std::string Service::lcdOn(const Tokens&)
{
    return renderErrorCode(manager->lcdEnabledSet(true));
}

std::string Service::lcdOff(const Tokens&)
{
    return renderErrorCode(manager->lcdEnabledSet(false));
}

std::string Service::lcdClear(const Tokens&)
{
    return renderErrorCode(manager->lcdClear());
}

std::string Service::ledOff(const Tokens&)
{
    return renderErrorCode(manager->ledOff());
}

std::string Service::systemReset(const Tokens&)
{
    return renderErrorCode(manager->systemReset());
}

std::string Service::openPrinterCover(const Tokens&)
{
    return renderErrorCode(manager->openPrinterCover());
}

std::string Service::heartbeatSend(const Tokens&)
{
    return renderErrorCode(manager->heartbeatSend());
}

std::string Service::parametersDefaults(const Tokens&)
{
    return renderErrorCode(manager->parametersDefaults());
}

std::string Service::gpioIgnitionInputGet(const Tokens&)
{
    return valueReply(&Manager::gpioDigitalInputIgnitionGet, flag);
}

std::string Service::gpioInputGet(const Tokens&)
{
    return valueReply(&Manager::gpioDigitalInputGet, flag);
}

std::string Service::systemUptimeGet(const Tokens&)
{
    return valueReply(&Manager::systemUptimeGet,
                      [](std::chrono::seconds uptime) { return decimal(int32_t(uptime.count())); });
}

std::string Service::systemVoltageGet(const Tokens&)
{
    return valueReply(&Manager::systemVoltageGet, fixed);
}

std::string Service::caseTemperatureGet(const Tokens&)
{
    return valueReply(&Manager::caseTemperatureGet, fixed);
}

std::string Service::caseHeaterEnabledGet(const Tokens&)
{
    return valueReply(&Manager::caseHeaterEnabledGet, flag);
}

std::string Service::firmwareVersionGet(const Tokens&)
{
    return valueReply(&Manager::firmwareVersionGet, text);
}

std::string Service::hardwareVersionGet(const Tokens&)
{
    return valueReply(&Manager::hardwareVersionGet, text);
}

std::string Service::hardwareIDGet(const Tokens&)
{
    return valueReply(&Manager::hardwareIDGet, text);
}

std::string Service::poleIDGet(const Tokens&)
{
    return valueReply(&Manager::poleIDGet, text);
}

std::string Service::hardwareStatusGet(const Tokens&)
{
    return valueReply(&Manager::hardwareStatusGet, [](const Hardware::Status& status) {
        return String::format("%d,%d,%d,%d", int32_t(status.reason), int(status.wdtTriggered),
                              int(status.rtcFailed), int(status.debugEnabled));
    });
}

std::string Service::getImuRawData(const Tokens&)
{
    return valueReply(&Manager::getImuRawData, [](const IMUData& data) {
        return String::format("%d,%d,%d,%d,%d,%d", data.accx, data.accy, data.accz, data.gyrox, data.gyroy,
                              data.gyroz);
    });
}

std::string Service::getImuTotalAcceleration(const Tokens&)
{
    return valueReply(&Manager::getImuTotalAcceleration, fixed);
}

std::string Service::audioJackConnectedGet(const Tokens&)
{
    bool first = false;
    bool second = false;
    ErrorCode result = manager->audioJackConnectedGet(0, first);
    if (result == ErrorCode::Ok)
        result = manager->audioJackConnectedGet(1, second);
    return result == ErrorCode::Ok ? "ok," + flag(first) + "," + flag(second) : renderErrorCode(result);
}

std::string Service::audioChannelSelectedGet(const Tokens&)
{
    return valueReply(&Manager::audioChannelSelectedGet, [](int channel) { return decimal(channel); });
}

std::string Service::audioMutedGet(const Tokens&)
{
    return valueReply(&Manager::audioMutedGet, flag);
}

std::string Service::displayBrightnessGet(const Tokens&)
{
    return valueReply(&Manager::displayBrightnessGet, [](uint8_t level) { return decimal(level); });
}

std::string Service::displayBrightnessSensorGet(const Tokens&)
{
    return valueReply(&Manager::displayBrightnessSensorGet, [](uint8_t level) { return decimal(level); });
}

std::string Service::displayBrightnessModeGet(const Tokens&)
{
    return valueReply(&Manager::displayBrightnessModeGet, flag);
}

std::string Service::lcdSizeGet(const Tokens&)
{
    int width = 0;
    int height = 0;
    ErrorCode result = manager->lcdGetWidth(width);
    if (result == ErrorCode::Ok)
        result = manager->lcdGetHeight(height);
    return result == ErrorCode::Ok ? "ok," + decimal(width) + "," + decimal(height) : renderErrorCode(result);
}

std::string Service::lcdStatusGet(const Tokens&)
{
    bool on = false;
    bool idle = false;
    ErrorCode result = manager->lcdEnabledGet(on);
    if (result == ErrorCode::Ok && on)
        result = manager->lcdIdleGet(idle);
    if (result != ErrorCode::Ok)
        return renderErrorCode(result);
    // 0 off, 1 on and busy, 2 on and idle, as the microcontroller counts.
    return !on ? "ok,0" : idle ? "ok,2" : "ok,1";
}

std::string Service::bootloaderFlagsGet(const Tokens&)
{
    const auto flags = manager->bootloaderFlagsGet();
    if (flags.first != ErrorCode::Ok)
        return renderErrorCode(flags.first);
    return String::format("ok,%04lX", flags.second->toBitset().to_ulong());
}

std::string Service::bootloaderStatus(const Tokens&)
{
    const auto status = manager->bootloaderStatusGet();
    if (status.first != ErrorCode::Ok)
        return renderErrorCode(status.first);
    return String::format("ok,%lx", status.second->toBitset().to_ulong());
}

std::vector<std::string> Service::commandWords()
{
    std::vector<std::string> words;
    for (const auto& command : mCommands)
        words.push_back(command.first);
    return words;
}

// The bootloader-flag commands are left out: they are for service work.
std::string Service::printHelp(const Tokens&)
{
    for (const auto& word : commandWords()) {
        if (word.find("BootFlag") == std::string::npos)
            sendLine(word);
    }
    return "ok";
}

} // namespace tavo::Board::TCP
