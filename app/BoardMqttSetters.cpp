// The setters of the board's tree. Each treats its value as partial: members
// that are absent, or of another type than the one it reads, leave their part
// of the board alone. Numbers that would lose bits on the way to the device
// (a brightness above 100, a colour part above 255, a pin value above 65535)
// are refused rather than wrapped.

#include "app/BoardMqttAdaptor.h"

#include <limits>
#include <string>

#include "board/Helpers.h"

namespace tavo::Board {

namespace {

using json = nlohmann::json;
using Result = MqttAdaptor::Result;

const Result kDone{true, json()};
const Result kMalformed{false, "MalformedRequest"};
const Result kInvalid{false, "InvalidArgument"};

Result failed(ErrorCode code)
{
    return {false, Helpers::errorCodeToString(code)};
}

// value[key] when the value is an object that holds a member of the kind.
const json* member(const json& value, const char* key, json::value_t kind)
{
    const auto it = value.find(key);
    if (it == value.end() || it->type() != kind) {
        return nullptr;
    }
    return &*it;
}

const json* stringMember(const json& value, const char* key)
{
    return member(value, key, json::value_t::string);
}

const json* booleanMember(const json& value, const char* key)
{
    return member(value, key, json::value_t::boolean);
}

// A non-negative integer: a number the parser holds as unsigned.
const json* unsignedMember(const json& value, const char* key)
{
    return member(value, key, json::value_t::number_unsigned);
}

// A percentage (0-100) as the display's backlight level: 0 gives 50, 100
// gives 255.
uint8_t percentToBrightness(uint64_t percent)
{
    return static_cast<uint8_t>(static_cast<unsigned>(percent * 205 / 100.0 + 50 + 0.5));
}

} // namespace

Result MqttAdaptor::audioSet(const json& value)
{
    if (!value.is_object()) {
        return kMalformed;
    }
    if (const json* channel = unsignedMember(value, "channel")) {
        const ErrorCode code = manager->audioChannelSelectedSet(channel->get<int>());
        if (code != ErrorCode::Ok) {
            return failed(code);
        }
    }
    if (const json* mute = booleanMember(value, "mute")) {
        const ErrorCode code = manager->audioMutedSet(mute->get<bool>());
        if (code != ErrorCode::Ok) {
            return failed(code);
        }
    }
    return kDone;
}

Result MqttAdaptor::serialSet(const json& value)
{
    if (!value.is_object()) {
        return kDone;
    }
    for (unsigned long port = 0; port < manager->serialPortCountGet(); ++port) {
        const auto it = value.find(std::to_string(port));
        if (it == value.end()) {
            continue;
        }
        if (!it->is_object()) {
            return kInvalid;
        }
        if (const json* text = stringMember(*it, "protocol")) {
            Serial::Protocol protocol;
            if (*text == "rs232") {
                protocol = Serial::Protocol::rs232;
            } else if (*text == "rs485") {
                protocol = Serial::Protocol::rs485;
            } else {
                return kInvalid;
            }
            const ErrorCode code = manager->serialProtocolSet(port, protocol);
            if (code != ErrorCode::Ok) {
                return failed(code);
            }
        }
        if (const json* text = stringMember(*it, "duplex")) {
            Serial::Duplex duplex;
            if (*text == "full") {
                duplex = Serial::Duplex::full;
            } else if (*text == "half") {
                duplex = Serial::Duplex::half;
            } else {
                return kInvalid;
            }
            const ErrorCode code = manager->serialDuplexSet(port, duplex);
            if (code != ErrorCode::Ok) {
                return failed(code);
            }
        }
    }
    return kDone;
}

Result MqttAdaptor::gpioSet(const json& value)
{
    if (!value.is_object()) {
        return kDone;
    }
    for (unsigned long index = 0; index < manager->gpioPinCountGet(); ++index) {
        const auto it = value.find(std::to_string(index));
        if (it == value.end()) {
            continue;
        }
        if (!it->is_object()) {
            return kInvalid;
        }
        const auto pin = static_cast<uint8_t>(index);
        if (const json* text = stringMember(*it, "mode")) {
            const std::string name = text->get<std::string>();
            const GPIO::Mode mode = GPIO::strToMode(name);
            const GPIO::Encoding encoding = GPIO::strToEncoding(name);
            const ErrorCode code = manager->gpioModeSet(pin, mode, encoding);
            if (code != ErrorCode::Ok) {
                return failed(code);
            }
        }
        GPIO::Mode mode;
        GPIO::Encoding encoding;
        ErrorCode code = manager->gpioModeGet(pin, mode, encoding);
        if (code != ErrorCode::Ok) {
            return failed(code);
        }
        if (const json* text = stringMember(*it, "resistor")) {
            if (mode == GPIO::Mode::output) {
                return kInvalid;
            }
            code = manager->gpioPullResistorSet(pin, GPIO::strToResistor(text->get<std::string>()));
            if (code != ErrorCode::Ok) {
                return failed(code);
            }
        }
        if (const json* number = unsignedMember(*it, "value")) {
            if (mode != GPIO::Mode::output || number->get<uint64_t>() > std::numeric_limits<uint16_t>::max()) {
                return kInvalid;
            }
            code = manager->gpioValueSet(pin, number->get<uint16_t>());
            if (code != ErrorCode::Ok) {
                return failed(code);
            }
        }
    }
    return kDone;
}

Result MqttAdaptor::displaySet(const json& value)
{
    if (!value.is_object()) {
        return kDone;
    }
    bool automatic = false;
    if (const json* text = stringMember(value, "mode")) {
        if (*text == "auto") {
            automatic = true;
        } else if (*text != "manual") {
            return kInvalid;
        }
        const ErrorCode code = manager->displayBrightnessModeSet(automatic);
        if (code != ErrorCode::Ok) {
            return failed(code);
        }
    }
    const json* percent = unsignedMember(value, "brightness");
    if (percent && !automatic) {
        if (percent->get<uint64_t>() > 100) {
            return kInvalid;
        }
        const ErrorCode code = manager->displayBrightnessSet(percentToBrightness(percent->get<uint64_t>()));
        if (code != ErrorCode::Ok) {
            return failed(code);
        }
    }
    return kDone;
}

Result MqttAdaptor::lcdSet(const json& value)
{
    if (!value.is_object()) {
        return kMalformed;
    }
    if (const json* enabled = booleanMember(value, "enabled")) {
        log(Log::Debug, "Setting enabled");
        const ErrorCode code = manager->lcdEnabledSet(enabled->get<bool>());
        if (code != ErrorCode::Ok) {
            return failed(code);
        }
    }
    if (const json* backlight = booleanMember(value, "backlight")) {
        log(Log::Debug, "Setting backlight");
        const ErrorCode code = manager->lcdBacklightEnabledSet(backlight->get<bool>());
        if (code != ErrorCode::Ok) {
            return failed(code);
        }
    }
    if (const json* color = member(value, "color", json::value_t::object)) {
        log(Log::Debug, "Setting color");
        uint8_t parts[3];
        const char* names[3] = {"r", "g", "b"};
        for (const char* name : names) {
            if (!color->contains(name)) {
                log(Log::Debug, "Missing color part(s)");
                return kMalformed;
            }
        }
        for (int i = 0; i < 3; ++i) {
            const json* part = unsignedMember(*color, names[i]);
            if (!part) {
                log(Log::Debug, "Color not a number");
                return kInvalid;
            }
            if (part->get<uint64_t>() > 255) {
                log(Log::Debug, "Color part above 255");
                return kInvalid;
            }
            parts[i] = part->get<uint8_t>();
        }
        const ErrorCode code = manager->lcdBacklightColorSet(Color(parts[0], parts[1], parts[2]));
        if (code != ErrorCode::Ok) {
            return failed(code);
        }
    }
    log(Log::Debug, "Done");
    return kDone;
}

Result MqttAdaptor::powerSet(const json& value)
{
    if (!value.is_object()) {
        return kDone;
    }
    for (auto it = value.begin(); it != value.end(); ++it) {
        const std::string& name = it.key();
        const json& state = it.value();
        const auto rail = stringToPeripherals.find(name);
        if (rail == stringToPeripherals.end()) {
            continue;
        }
        if (!state.is_boolean()) {
            return {false, "Expected boolean value"};
        }
        log(Log::Debug, "Setting power of: %s", name.c_str());
        const ErrorCode code = manager->peripheralPoweredSet(rail->second, state.get<bool>());
        if (code != ErrorCode::Ok) {
            return failed(code);
        }
    }
    return kDone;
}

} // namespace tavo::Board
