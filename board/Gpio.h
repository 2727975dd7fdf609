// One general-purpose pin of the microcontroller as the board manager keeps
// it, with its configuration JSON ({"mode", "value", "resistor"}) and the
// pin-mode number the device takes.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace tavo::Board {

class GPIO {
public:
    enum class Mode : int32_t { input = 0, output = 1 };
    enum class Encoding : int32_t { digital = 0, analog = 1 };
    // The same numbers go to the device.
    enum class Resistor : int32_t { floating = 0, pullUp = 1, pullDown = 2 };

    // A pin that accepts a pull resistor. A digital pin's value becomes 0 or 1.
    GPIO(Mode mode, Encoding encoding, Resistor resistor, uint16_t value);
    // A pin without a pull resistor (floating). Same value rule.
    GPIO(Mode mode, Encoding encoding, uint16_t value);

    // "digitalIn" and "analogIn" give input, "digitalOut" output. Throws
    // std::runtime_error "Mode <text> is invalid" for any other text.
    static Mode strToMode(const std::string& text);
    // "digitalIn" and "digitalOut" give digital, "analogIn" analog. Throws
    // std::runtime_error "Mode <text> is invalid" for any other text.
    static Encoding strToEncoding(const std::string& text);
    // "" and "floating" give floating, "pullUp" and "pullDown" their own.
    // Throws std::runtime_error "Resistor <text> is invalid" for any other.
    static Resistor strToResistor(const std::string& text);
    // The device's pin-mode number: output 0, digital input 1, analog input 2.
    static int typeToInt(Mode mode, Encoding encoding);

    // {"mode": pin text, "value": an output's value or null, "resistor": an
    // input's resistor text when resistor-capable, else null}.
    nlohmann::json toJson() const;
    // The widest toJson this pin can give, whatever its mode, encoding,
    // resistor and value become: only whether it takes a resistor stays.
    nlohmann::json widestJson() const;
    // Applies "mode" (when a string), then for an input "resistor" (when a
    // string), for an output "value" (0 unless a non-negative integer). An
    // invalid text throws as above; fields set before the throw stay set.
    void updateFromJson(const nlohmann::json& value);

    Mode mode;
    Encoding encoding;
    bool resistorCapable;
    Resistor resistor;
    uint16_t value;
};

} // namespace tavo::Board
