// The GPIO, bootloader, LED, parameter, serial-port and peripheral commands.
// The numbers of the pull resistor, the pin mode and the duplex are the
// command's own, not the board's enumerations.

#include <sstream>

#include "app/TCPService.h"
#include "board/Helpers.h"
#include "foundation/String.h"

namespace tavo::Board::TCP {

namespace {

const std::string kMalformed = Service::renderErrorCode(ErrorCode::MalformedRequest);

// A pin as the device takes it: 256 is pin 0.
uint8_t pinOf(long long number)
{
    return static_cast<uint8_t>(number);
}

// A pin as the reply shows it: the number as it was given.
int shown(long long number)
{
    return static_cast<int32_t>(number);
}

Color colorOf(long long bbggrr)
{
    return Color::unpack(static_cast<uint32_t>(bbggrr));
}

} // namespace

std::string Service::gpioPullResistorSet(const Tokens& tokens)
{
    long long pin = 0;
    long long mode = 0;
    if (!numberAt(tokens, 1, pin) || !numberAt(tokens, 2, mode))
        return kMalformed;
    const GPIO::Resistor resistor =
        mode == 0 ? GPIO::Resistor::floating : mode == 2 ? GPIO::Resistor::pullUp : GPIO::Resistor::pullDown;
    return renderErrorCode(manager->gpioPullResistorSet(pinOf(pin), resistor));
}

std::string Service::gpioPullResistorGet(const Tokens& tokens)
{
    long long pin = 0;
    if (!numberAt(tokens, 1, pin))
        return kMalformed;
    GPIO::Resistor resistor = GPIO::Resistor::floating;
    const ErrorCode result = manager->gpioPullResistorGet(pinOf(pin), resistor);
    if (result != ErrorCode::Ok)
        return renderErrorCode(result);
    const int mode = resistor == GPIO::Resistor::floating ? 0 : resistor == GPIO::Resistor::pullDown ? 1 : 2;
    return String::format("ok,%d,%d", shown(pin), mode);
}

std::string Service::gpioModeSet(const Tokens& tokens)
{
    long long pin = 0;
    long long mode = 0;
    if (!numberAt(tokens, 1, pin) || !numberAt(tokens, 2, mode))
        return kMalformed;
    const GPIO::Mode direction = mode == 0 ? GPIO::Mode::output : GPIO::Mode::input;
    const GPIO::Encoding encoding = mode == 2 ? GPIO::Encoding::analog : GPIO::Encoding::digital;
    return renderErrorCode(manager->gpioModeSet(pinOf(pin), direction, encoding));
}

std::string Service::gpioModeGet(const Tokens& tokens)
{
    long long pin = 0;
    if (!numberAt(tokens, 1, pin))
        return kMalformed;
    GPIO::Mode mode = GPIO::Mode::input;
    GPIO::Encoding encoding = GPIO::Encoding::digital;
    const ErrorCode result = manager->gpioModeGet(pinOf(pin), mode, encoding);
    if (result != ErrorCode::Ok)
        return renderErrorCode(result);
    const int number = mode == GPIO::Mode::output ? 0 : encoding == GPIO::Encoding::analog ? 2 : 1;
    return String::format("ok,%d,%d", shown(pin), number);
}

std::string Service::gpioDigitalOutputSet(const Tokens& tokens)
{
    long long pin = 0;
    long long value = 0;
    if (!numberAt(tokens, 1, pin) || !numberAt(tokens, 2, value))
        return kMalformed;
    ErrorCode result = manager->gpioModeSet(pinOf(pin), GPIO::Mode::output, GPIO::Encoding::digital);
    if (result == ErrorCode::Ok)
        result = manager->gpioValueSet(pinOf(pin), value != 0 ? 1 : 0);
    return renderErrorCode(result);
}

std::string Service::gpioDigitalOutputGet(const Tokens& tokens)
{
    long long pin = 0;
    if (!numberAt(tokens, 1, pin))
        return kMalformed;
    uint16_t value = 0;
    const ErrorCode result = manager->gpioValueGet(pinOf(pin), value);
    return result == ErrorCode::Ok ? String::format("ok,%d,%d", shown(pin), int(value)) : renderErrorCode(result);
}

std::string Service::gpioDigitalInputGet(const Tokens& tokens)
{
    return pinInputGet(tokens, GPIO::Encoding::digital);
}

std::string Service::gpioAnalogInputGet(const Tokens& tokens)
{
    return pinInputGet(tokens, GPIO::Encoding::analog);
}

std::string Service::pinInputGet(const Tokens& tokens, GPIO::Encoding encoding)
{
    long long pin = 0;
    if (!numberAt(tokens, 1, pin))
        return kMalformed;
    uint16_t value = 0;
    ErrorCode result = manager->gpioModeSet(pinOf(pin), GPIO::Mode::input, encoding);
    if (result == ErrorCode::Ok)
        result = manager->gpioValueGet(pinOf(pin), value);
    return result == ErrorCode::Ok ? String::format("ok,%d", int(value)) : renderErrorCode(result);
}

std::string Service::bootloaderFlagsSet(const Tokens& tokens)
{
    if (tokens.size() < 2)
        return kMalformed;
    uint32_t flags = 0;
    std::istringstream text(tokens[1]);
    if (!(text >> std::hex >> flags))
        flags = 0;
    log(Log::Info, "Parsed: 0x%08X", flags);
    return renderErrorCode(manager->bootloaderFlagsSet(std::bitset<16>(flags & 0xFFFF)));
}

std::string Service::bootloaderFlagsBitSet(const Tokens& tokens)
{
    long long bit = 0;
    if (!numberAt(tokens, 1, bit))
        return kMalformed;
    return renderErrorCode(manager->bootloaderFlagsBitSet(static_cast<unsigned long>(bit), true));
}

std::string Service::bootloaderFlagsBitClear(const Tokens& tokens)
{
    long long bit = 0;
    if (!numberAt(tokens, 1, bit))
        return kMalformed;
    return renderErrorCode(manager->bootloaderFlagsBitSet(static_cast<unsigned long>(bit), false));
}

std::string Service::ledPlay(const Tokens& tokens)
{
    long long repeat = 0;
    if (tokens.size() < 4 || tokens.size() % 2 != 0 || !numberAt(tokens, 1, repeat))
        return kMalformed;
    log(Log::Debug, "Repeating %d", int(repeat));
    std::vector<LED::AnimationStep> steps;
    for (size_t index = 2; index + 1 < tokens.size(); index += 2) {
        long long duration = 0;
        long long colour = 0;
        if (!numberAt(tokens, index, duration))
            return kMalformed;
        log(Log::Debug, "Duration %d ms", int(duration));
        if (!numberAt(tokens, index + 1, colour))
            return kMalformed;
        const Color color = colorOf(colour);
        log(Log::Debug, "Color R:%d G:%d B:%d", color.r, color.g, color.b);
        steps.push_back(LED::AnimationStep{color, duration});
    }
    log(Log::Debug, "Sending...");
    return renderErrorCode(manager->ledPlay(steps, int(repeat)));
}

std::string Service::ledColorSet(const Tokens& tokens)
{
    long long colour = 0;
    if (!numberAt(tokens, 1, colour))
        return kMalformed;
    return renderErrorCode(manager->ledColorSet(colorOf(colour)));
}

std::string Service::parametersGet(const Tokens& tokens)
{
    if (tokens.size() < 2)
        return kMalformed;
    Variant value;
    const ErrorCode result = manager->parametersGet(tokens[1], value);
    return result == ErrorCode::Ok ? "ok," + value.toString() : renderErrorCode(result);
}

std::string Service::parametersSet(const Tokens& tokens)
{
    if (tokens.size() < 3)
        return kMalformed;
    const std::string& text = tokens[2];
    Variant value;
    if (String::isNumeric(text))
        value = static_cast<int>(String::toInteger(text, 0));
    else if (text.find_first_not_of("0123456789") != std::string::npos)
        value = text;
    else
        value = 0.0;
    return renderErrorCode(manager->parametersSet(tokens[1], value));
}

std::string Service::serialProtocolSet(const Tokens& tokens)
{
    long long port = 0;
    long long protocol = 0;
    if (!numberAt(tokens, 1, port) || !numberAt(tokens, 2, protocol))
        return kMalformed;
    return renderErrorCode(manager->serialProtocolSet(static_cast<unsigned long>(port),
                                                      protocol == 1 ? Serial::Protocol::rs485
                                                                    : Serial::Protocol::rs232));
}

std::string Service::serialProtocolGet(const Tokens& tokens)
{
    long long port = 0;
    if (!numberAt(tokens, 1, port))
        return kMalformed;
    // Stays out of range when the device reports an unknown protocol.
    auto protocol = static_cast<Serial::Protocol>(-1);
    const ErrorCode result = manager->serialProtocolGet(static_cast<unsigned long>(port), protocol);
    if (result != ErrorCode::Ok)
        return renderErrorCode(result);
    if (protocol != Serial::Protocol::rs232 && protocol != Serial::Protocol::rs485)
        return renderErrorCode(ErrorCode::UnknownError);
    return String::format("ok,%d,%s", shown(port), protocol == Serial::Protocol::rs485 ? "rs485" : "rs232");
}

std::string Service::serialDuplexSet(const Tokens& tokens)
{
    long long port = 0;
    long long duplex = 0;
    if (!numberAt(tokens, 1, port) || !numberAt(tokens, 2, duplex))
        return kMalformed;
    return renderErrorCode(manager->serialDuplexSet(static_cast<unsigned long>(port),
                                                    duplex == 1 ? Serial::Duplex::full : Serial::Duplex::half));
}

std::string Service::serialDuplexGet(const Tokens& tokens)
{
    long long port = 0;
    if (!numberAt(tokens, 1, port))
        return kMalformed;
    // Stays out of range when the device reports an unknown duplex.
    auto duplex = static_cast<Serial::Duplex>(-1);
    const ErrorCode result = manager->serialDuplexGet(static_cast<unsigned long>(port), duplex);
    if (result != ErrorCode::Ok)
        return renderErrorCode(result);
    if (duplex != Serial::Duplex::full && duplex != Serial::Duplex::half)
        return renderErrorCode(ErrorCode::UnknownError);
    return String::format("ok,%d,%s", shown(port), duplex == Serial::Duplex::full ? "full" : "half");
}

std::string Service::peripheralPoweredSet(const Tokens& tokens)
{
    long long number = 0;
    long long on = 0;
    if (!numberAt(tokens, 1, number) || !numberAt(tokens, 2, on))
        return kMalformed;
    return renderErrorCode(manager->peripheralPoweredSet(Helpers::translatePeripheral(int(number)), on != 0));
}

std::string Service::peripheralPoweredGet(const Tokens& tokens)
{
    long long number = 0;
    if (!numberAt(tokens, 1, number))
        return kMalformed;
    bool on = false;
    const ErrorCode result = manager->peripheralPoweredGet(Helpers::translatePeripheral(int(number)), on);
    return result == ErrorCode::Ok ? String::format("ok,%d", on ? 1 : 0) : renderErrorCode(result);
}

std::string Service::peripheralReset(const Tokens& tokens)
{
    long long number = 0;
    if (!numberAt(tokens, 1, number))
        return kMalformed;
    return renderErrorCode(manager->peripheralReset(Helpers::translatePeripheral(int(number))));
}

} // namespace tavo::Board::TCP
