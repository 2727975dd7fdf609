#include "board/Gpio.h"

#include <cstdint>
#include <stdexcept>

#include "foundation/String.h"

namespace tavo::Board {

namespace {

uint16_t reduced(GPIO::Encoding encoding, uint64_t value)
{
    if (encoding == GPIO::Encoding::digital) {
        return value != 0 ? 1 : 0;
    }
    return static_cast<uint16_t>(value);
}

} // namespace

GPIO::GPIO(Mode mode, Encoding encoding, Resistor resistor, uint16_t value)
    : mode(mode), encoding(encoding), resistorCapable(true), resistor(resistor), value(reduced(encoding, value))
{
}

GPIO::GPIO(Mode mode, Encoding encoding, uint16_t value)
    : mode(mode), encoding(encoding), resistorCapable(false), resistor(Resistor::floating),
      value(reduced(encoding, value))
{
}

GPIO::Mode GPIO::strToMode(const std::string& text)
{
    if (text == "digitalIn" || text == "analogIn") {
        return Mode::input;
    }
    if (text == "digitalOut") {
        return Mode::output;
    }
    throw std::runtime_error(String::format("Mode %s is invalid", text.c_str()));
}

GPIO::Encoding GPIO::strToEncoding(const std::string& text)
{
    if (text == "digitalIn" || text == "digitalOut") {
        return Encoding::digital;
    }
    if (text == "analogIn") {
        return Encoding::analog;
    }
    throw std::runtime_error(String::format("Mode %s is invalid", text.c_str()));
}

GPIO::Resistor GPIO::strToResistor(const std::string& text)
{
    if (text.empty() || text == "floating") {
        return Resistor::floating;
    }
    if (text == "pullUp") {
        return Resistor::pullUp;
    }
    if (text == "pullDown") {
        return Resistor::pullDown;
    }
    throw std::runtime_error(String::format("Resistor %s is invalid", text.c_str()));
}

int GPIO::typeToInt(Mode mode, Encoding encoding)
{
    if (mode == Mode::output) {
        return 0;
    }
    return encoding == Encoding::analog ? 2 : 1;
}

nlohmann::json GPIO::toJson() const
{
    static const char* const kResistorTexts[] = {"floating", "pullUp", "pullDown"};

    nlohmann::json j = nlohmann::json::object();
    if (mode == Mode::output) {
        j["mode"] = "digitalOut";
        j["value"] = value;
        j["resistor"] = nullptr;
        return j;
    }
    j["mode"] = encoding == Encoding::analog ? "analogIn" : "digitalIn";
    j["value"] = nullptr;
    const auto index = static_cast<std::size_t>(resistor);
    if (resistorCapable && index < sizeof kResistorTexts / sizeof kResistorTexts[0]) {
        j["resistor"] = kResistorTexts[index];
    } else {
        j["resistor"] = nullptr;
    }
    return j;
}

nlohmann::json GPIO::widestJson() const
{
    nlohmann::json widest;
    GPIO record = *this;
    // An output keeps the value an analog input last read.
    record.value = UINT16_MAX;
    for (const Mode mode : {Mode::input, Mode::output}) {
        for (const Encoding encoding : {Encoding::digital, Encoding::analog}) {
            for (const Resistor resistor : {Resistor::floating, Resistor::pullUp, Resistor::pullDown}) {
                record.mode = mode;
                record.encoding = encoding;
                record.resistor = resistor;
                const nlohmann::json candidate = record.toJson();
                if (widest.is_null() || candidate.dump().size() > widest.dump().size()) {
                    widest = candidate;
                }
            }
        }
    }
    return widest;
}

void GPIO::updateFromJson(const nlohmann::json& j)
{
    const bool isObject = j.is_object();
    if (isObject) {
        const auto it = j.find("mode");
        if (it != j.end() && it->is_string()) {
            const auto& text = it->get_ref<const std::string&>();
            // Both conversions first, so an invalid text changes neither field.
            const Mode newMode = strToMode(text);
            const Encoding newEncoding = strToEncoding(text);
            mode = newMode;
            encoding = newEncoding;
        }
    }

    if (mode == Mode::input) {
        if (isObject) {
            const auto it = j.find("resistor");
            if (it != j.end() && it->is_string()) {
                resistor = strToResistor(it->get_ref<const std::string&>());
            }
        }
        return;
    }

    // A missing or unusable value switches an output off. A non-negative
    // integer counts whether the JSON library stored it as signed or not.
    uint64_t newValue = 0;
    if (isObject) {
        const auto it = j.find("value");
        if (it != j.end()) {
            if (it->is_number_unsigned()) {
                newValue = it->get<uint64_t>();
            } else if (it->is_number_integer() && it->get<int64_t>() >= 0) {
                newValue = static_cast<uint64_t>(it->get<int64_t>());
            }
        }
    }
    value = reduced(encoding, newValue);
}

} // namespace tavo::Board
