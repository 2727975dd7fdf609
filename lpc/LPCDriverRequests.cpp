// The request catalogue: one line per request of the microcontroller. Each
// names its identifier and sub-identifier, its arguments in wire order, the
// smallest reply it accepts and where the values sit in that reply, so a
// slip in any of them stands out against its neighbours.

#include <algorithm>
#include <mutex>

#include "lpc/LPCDriver.h"

namespace {

enum : uint8_t {
    IdSystem = 0,
    IdPower = 1,
    IdDisplay = 2,
    IdBuzzer = 3,
    IdTemperature = 4,
    IdAudio = 5,
    IdLed = 6,
    IdGpio = 7,
    IdScreen = 8,
    IdSerial = 9,
    IdPrinter = 10,
    IdImu = 11,
    IdBootloader = 12,
};

// A text reply: every octet after the sub-identifier.
std::string replyText(const LpcReply& r)
{
    return std::string(reinterpret_cast<const char*>(r.data() + 1), r.size() - 1u);
}

} // namespace

LPCDriver::ErrorCode LPCDriver::runRequest(const LpcRequest& request, uint16_t minSize, API_Message_t& reply)
{
    if (!request.fits())
        return InvalidParameter;
    API_Message_t message = request.message();
    message.SeqNo = getNextSeqNumber();
    const ErrorCode result = executeRPC(message, reply);
    if (result == NoError && reply.Size < minSize)
        return UnexpectedSize;
    return result;
}

LPCDriver::ErrorCode LPCDriver::command(const LpcRequest& request)
{
    API_Message_t reply;
    return runRequest(request, 0, reply);
}

template <typename Decode>
LPCDriver::ErrorCode LPCDriver::query(const LpcRequest& request, uint16_t minSize, Decode decode)
{
    API_Message_t reply;
    const ErrorCode result = runRequest(request, minSize, reply);
    if (result == NoError)
        decode(LpcReply(reply));
    return result;
}

// System.

LPCDriver::ErrorCode LPCDriver::heartbeat()
{
    return command(LpcRequest(IdSystem, 0));
}

LPCDriver::ErrorCode LPCDriver::getSystemUptime(unsigned int& uptime)
{
    return query(LpcRequest(IdSystem, 1), 5, [&](const LpcReply& r) { uptime = r.be32(1); });
}

LPCDriver::ErrorCode LPCDriver::getFirmwareVersion(std::string& version)
{
    return query(LpcRequest(IdSystem, 2), 1, [&](const LpcReply& r) { version = replyText(r); });
}

LPCDriver::ErrorCode LPCDriver::getHardwareVersion(std::string& version)
{
    return query(LpcRequest(IdSystem, 3), 1, [&](const LpcReply& r) { version = replyText(r); });
}

LPCDriver::ErrorCode LPCDriver::getHardwareID(std::string& id)
{
    return query(LpcRequest(IdSystem, 4), 1, [&](const LpcReply& r) { id = replyText(r); });
}

LPCDriver::ErrorCode LPCDriver::getHardwareStatus(LPCHWStatus& status)
{
    return query(LpcRequest(IdSystem, 5), 7, [&](const LpcReply& r) {
        status = LPCHWStatus{r.u8(2), r.u8(3), r.u8(4), r.u8(5), r.u8(6)};
    });
}

LPCDriver::ErrorCode LPCDriver::getPoleID(std::string& id)
{
    return query(LpcRequest(IdSystem, 6), 1, [&](const LpcReply& r) { id = replyText(r); });
}

LPCDriver::ErrorCode LPCDriver::setFirmwareDefaults()
{
    return command(LpcRequest(IdSystem, 9));
}

// Power and inputs.

LPCDriver::ErrorCode LPCDriver::setPeripheralPowerState(LPCPeripheral peripheral, int state)
{
    return command(LpcRequest(IdPower, 0).u8(peripheral).u8(state));
}

LPCDriver::ErrorCode LPCDriver::getPeripheralPowerState(LPCPeripheral peripheral, int& state)
{
    return query(LpcRequest(IdPower, 1).u8(peripheral), 3, [&](const LpcReply& r) { state = r.u8(2); });
}

LPCDriver::ErrorCode LPCDriver::resetPeripheral(LPCPeripheral peripheral)
{
    return command(LpcRequest(IdPower, 2).u8(peripheral));
}

LPCDriver::ErrorCode LPCDriver::getIgnitionInput(int& state)
{
    return query(LpcRequest(IdPower, 4), 2, [&](const LpcReply& r) { state = r.u8(1); });
}

LPCDriver::ErrorCode LPCDriver::getInput(int& state)
{
    return query(LpcRequest(IdPower, 7), 2, [&](const LpcReply& r) { state = r.u8(1); });
}

LPCDriver::ErrorCode LPCDriver::getSystemVoltage(double& volts)
{
    return query(LpcRequest(IdPower, 8), 3, [&](const LpcReply& r) { volts = r.be16(1) / 1000.0; });
}

// The board resets before it could answer, so nothing is awaited; a late
// reply is discarded by the next exchange.
LPCDriver::ErrorCode LPCDriver::resetSystem()
{
    API_Message_t message = LpcRequest(IdPower, 9).message();
    message.SeqNo = getNextSeqNumber();
    std::lock_guard<Mutex> lock(mRequestMutex);
    return sendRequest(message);
}

LPCDriver::ErrorCode LPCDriver::delayShutdown()
{
    return command(LpcRequest(IdPower, 11));
}

// Display brightness.

LPCDriver::ErrorCode LPCDriver::setDisplayBacklightLevel(unsigned char level)
{
    return command(LpcRequest(IdDisplay, 0).u8(level));
}

LPCDriver::ErrorCode LPCDriver::getDisplayBacklightLevel(unsigned char& level)
{
    return query(LpcRequest(IdDisplay, 1), 2, [&](const LpcReply& r) { level = r.u8(1); });
}

LPCDriver::ErrorCode LPCDriver::getLightSensorLevel(unsigned char& level)
{
    return query(LpcRequest(IdDisplay, 2), 2, [&](const LpcReply& r) { level = r.u8(1); });
}

LPCDriver::ErrorCode LPCDriver::setDisplayBrightnessMode(int mode)
{
    return command(LpcRequest(IdDisplay, 3).u8(mode));
}

LPCDriver::ErrorCode LPCDriver::getDisplayBrightnessMode(int& mode)
{
    return query(LpcRequest(IdDisplay, 4), 2, [&](const LpcReply& r) { mode = r.u8(1); });
}

// Buzzer, case temperature and heater, audio.

LPCDriver::ErrorCode LPCDriver::setBuzzerPattern(unsigned short on, unsigned short off, int repeat)
{
    return command(LpcRequest(IdBuzzer, 0).be16(on).be16(off).u8(repeat));
}

LPCDriver::ErrorCode LPCDriver::getCaseTemperature(double& temperature)
{
    return query(LpcRequest(IdTemperature, 0), 3, [&](const LpcReply& r) { temperature = r.s16(1) / 100.0; });
}

LPCDriver::ErrorCode LPCDriver::getDeviceHeaterState(int& state)
{
    return query(LpcRequest(IdTemperature, 2), 2, [&](const LpcReply& r) { state = r.u8(1); });
}

LPCDriver::ErrorCode LPCDriver::getAudioJackState(int& first, int& second)
{
    return query(LpcRequest(IdAudio, 1), 2, [&](const LpcReply& r) {
        first = r.u8(1);
        second = r.size() >= 3 ? r.u8(2) : 0;
    });
}

LPCDriver::ErrorCode LPCDriver::setAudioJackSelectionAuto()
{
    return command(LpcRequest(IdAudio, 2));
}

LPCDriver::ErrorCode LPCDriver::setAudioChannel(int channel)
{
    return command(LpcRequest(IdAudio, 3).u8(channel));
}

LPCDriver::ErrorCode LPCDriver::getAudioChannel(int& channel)
{
    return query(LpcRequest(IdAudio, 4), 2, [&](const LpcReply& r) { channel = r.u8(1); });
}

LPCDriver::ErrorCode LPCDriver::setAmplifierState(int state)
{
    return command(LpcRequest(IdAudio, 5).u8(state));
}

LPCDriver::ErrorCode LPCDriver::getAmplifierState(int& state)
{
    return query(LpcRequest(IdAudio, 6), 2, [&](const LpcReply& r) { state = r.u8(1); });
}

LPCDriver::ErrorCode LPCDriver::setAudioMute(int mute)
{
    return command(LpcRequest(IdAudio, 7).u8(mute));
}

LPCDriver::ErrorCode LPCDriver::getAudioMute(int& mute)
{
    return query(LpcRequest(IdAudio, 8), 2, [&](const LpcReply& r) { mute = r.u8(1); });
}

// LEDs.

LPCDriver::ErrorCode LPCDriver::setLEDPattern(const std::vector<LPCLEDStep>& steps, int repeat)
{
    const size_t count = std::min(steps.size(), kMaxLedSteps);
    LpcRequest request(IdLed, 0);
    request.u8(repeat).u8(unsigned(count));
    for (size_t i = 0; i < count; ++i)
        request.be32(steps[i].color).be32(steps[i].duration);
    return command(request);
}

LPCDriver::ErrorCode LPCDriver::setLEDState(unsigned int colour)
{
    return command(LpcRequest(IdLed, 1).be32(colour));
}

LPCDriver::ErrorCode LPCDriver::clearLEDState()
{
    return command(LpcRequest(IdLed, 2));
}

// GPIO pins.

LPCDriver::ErrorCode LPCDriver::setIOMode(int pin, int mode)
{
    return command(LpcRequest(IdGpio, 0).u8(pin).u8(mode));
}

LPCDriver::ErrorCode LPCDriver::setDigitalOutputState(int pin, int value)
{
    return command(LpcRequest(IdGpio, 1).u8(pin).u8(value));
}

LPCDriver::ErrorCode LPCDriver::getDigitalInputState(int pin, int& value)
{
    return query(LpcRequest(IdGpio, 3).u8(pin), 3, [&](const LpcReply& r) { value = r.u8(2); });
}

LPCDriver::ErrorCode LPCDriver::getAnalogInputState(int pin, unsigned short& value)
{
    return query(LpcRequest(IdGpio, 4).u8(pin), 4, [&](const LpcReply& r) { value = r.be16(2); });
}

LPCDriver::ErrorCode LPCDriver::setPullResistor(int pin, int resistor)
{
    return command(LpcRequest(IdGpio, 5).u8(pin).u8(resistor));
}

LPCDriver::ErrorCode LPCDriver::getIOMode(int pin, int& mode)
{
    return query(LpcRequest(IdGpio, 6).u8(pin), 3, [&](const LpcReply& r) { mode = r.u8(2); });
}

LPCDriver::ErrorCode LPCDriver::getDigitalOutputState(int pin, int& value)
{
    return query(LpcRequest(IdGpio, 7).u8(pin), 3, [&](const LpcReply& r) { value = r.u8(2); });
}

LPCDriver::ErrorCode LPCDriver::getPullResistor(int pin, int& resistor)
{
    return query(LpcRequest(IdGpio, 8).u8(pin), 3, [&](const LpcReply& r) { resistor = r.u8(2); });
}

// LCD.

LPCDriver::ErrorCode LPCDriver::screenOff()
{
    return command(LpcRequest(IdScreen, 0));
}

LPCDriver::ErrorCode LPCDriver::screenOn()
{
    return command(LpcRequest(IdScreen, 1));
}

LPCDriver::ErrorCode LPCDriver::screenClear()
{
    return command(LpcRequest(IdScreen, 2));
}

LPCDriver::ErrorCode LPCDriver::screenGetWidth(int& pixels)
{
    return query(LpcRequest(IdScreen, 7), 3, [&](const LpcReply& r) { pixels = r.be16(1); });
}

LPCDriver::ErrorCode LPCDriver::screenGetHeight(int& pixels)
{
    return query(LpcRequest(IdScreen, 8), 3, [&](const LpcReply& r) { pixels = r.be16(1); });
}

LPCDriver::ErrorCode LPCDriver::screenStatus(LPCScreenStatus& status)
{
    return query(LpcRequest(IdScreen, 9), 2,
                 [&](const LpcReply& r) { status = static_cast<LPCScreenStatus>(r.u8(1)); });
}

LPCDriver::ErrorCode LPCDriver::screenSetFont(LPCScreenFont font)
{
    return command(LpcRequest(IdScreen, 15).u8(font));
}

LPCDriver::ErrorCode LPCDriver::screenSetFontSpacing(int spacing)
{
    return command(LpcRequest(IdScreen, 16).u8(spacing));
}

LPCDriver::ErrorCode LPCDriver::screenSetTextAlign(LPCScreenAlignment align)
{
    return command(LpcRequest(IdScreen, 18).u8(align));
}

LPCDriver::ErrorCode LPCDriver::screenRemoveObject(unsigned int id)
{
    return command(LpcRequest(IdScreen, 23).be32(id));
}

LPCDriver::ErrorCode LPCDriver::screenErase(int x, int y, int width, int height, unsigned int& id)
{
    return query(LpcRequest(IdScreen, 24).be16(x).be16(y).be16(width).be16(height), 5,
                 [&](const LpcReply& r) { id = r.be32(1); });
}

LPCDriver::ErrorCode LPCDriver::screenText(unsigned int& id, int x, int y, const std::string& text, int width,
                                           int height)
{
    const size_t count = std::min(text.size(), kMaxScreenText);
    return query(LpcRequest(IdScreen, 32).be16(x).be16(y).be16(width).be16(height).octets(text.data(), count), 5,
                 [&](const LpcReply& r) { id = r.be32(1); });
}

LPCDriver::ErrorCode LPCDriver::screenDrawBitmap(unsigned int& id, int bank, int x, int y, int width, int height)
{
    return query(LpcRequest(IdScreen, 34).u8(bank).be16(x).be16(y).be16(width).be16(height), 5,
                 [&](const LpcReply& r) { id = r.be32(1); });
}

LPCDriver::ErrorCode LPCDriver::screenSetBacklight(unsigned int colour)
{
    return command(LpcRequest(IdScreen, 35).le24(colour));
}

LPCDriver::ErrorCode LPCDriver::screenGetBacklight(unsigned int& colour)
{
    return query(LpcRequest(IdScreen, 36), 4,
                 [&](const LpcReply& r) { colour = r.u8(1) | r.u8(2) << 8 | r.u8(3) << 16; });
}

// Serial ports, printer, inertial unit.

LPCDriver::ErrorCode LPCDriver::setSerialProtocol(int port, LPCSerialProtocol protocol)
{
    return command(LpcRequest(IdSerial, 0).u8(port).u8(protocol));
}

LPCDriver::ErrorCode LPCDriver::getSerialProtocol(int port, LPCSerialProtocol& protocol)
{
    return query(LpcRequest(IdSerial, 1).u8(port), 3,
                 [&](const LpcReply& r) { protocol = static_cast<LPCSerialProtocol>(r.u8(2)); });
}

LPCDriver::ErrorCode LPCDriver::setSerialDuplex(int port, LPCSerialDuplex duplex)
{
    return command(LpcRequest(IdSerial, 2).u8(port).u8(duplex));
}

LPCDriver::ErrorCode LPCDriver::getSerialDuplex(int port, LPCSerialDuplex& duplex)
{
    return query(LpcRequest(IdSerial, 3).u8(port), 3,
                 [&](const LpcReply& r) { duplex = static_cast<LPCSerialDuplex>(r.u8(2)); });
}

LPCDriver::ErrorCode LPCDriver::openPrinterCover()
{
    return command(LpcRequest(IdPrinter, 0));
}

LPCDriver::ErrorCode LPCDriver::getImuRawData(IMUData& data)
{
    return query(LpcRequest(IdImu, 0), 13, [&](const LpcReply& r) {
        data = IMUData{r.s16(1), r.s16(3), r.s16(5), r.s16(7), r.s16(9), r.s16(11)};
    });
}

LPCDriver::ErrorCode LPCDriver::getImuTotalAcceleration(double& value)
{
    return query(LpcRequest(IdImu, 1), 5, [&](const LpcReply& r) { value = r.be32(1) / 1000.0; });
}

// Bootloader.

LPCDriver::ErrorCode LPCDriver::getBootStatus(int& status)
{
    return query(LpcRequest(IdBootloader, 1), 3, [&](const LpcReply& r) { status = r.be16(1); });
}

LPCDriver::ErrorCode LPCDriver::getBootFlags(std::bitset<16>& flags)
{
    return query(LpcRequest(IdBootloader, 2), 3,
                 [&](const LpcReply& r) { flags = std::bitset<16>(r.u8(1) | r.u8(2) << 8); });
}

LPCDriver::ErrorCode LPCDriver::setBootFlags(const std::bitset<16>& flags)
{
    const unsigned long bits = flags.to_ulong();
    return command(LpcRequest(IdBootloader, 3).u8(bits & 0xFF).u8(bits >> 8));
}

LPCDriver::ErrorCode LPCDriver::setBootFlagBit(unsigned char bit)
{
    return command(LpcRequest(IdBootloader, 4).u8(bit));
}

// Bit 0 must stay set; the board is not asked to clear it.
LPCDriver::ErrorCode LPCDriver::clearBootFlagBit(unsigned char bit)
{
    if (bit == 0)
        return InvalidParameter;
    return command(LpcRequest(IdBootloader, 5).u8(bit));
}
