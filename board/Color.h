// An RGB colour of the LCD backlight or the LEDs. On the device link a colour
// is one 24-bit value: red in bits 0-7, green in 8-15, blue in 16-23.
#pragma once

#include <cstdint>

namespace tavo::Board {

class Color {
public:
    Color() = default;
    Color(uint8_t red, uint8_t green, uint8_t blue) : r(red), g(green), b(blue) {}
    Color(const Color&) = default;
    Color& operator=(const Color&) = default;
    virtual ~Color() = default;

    // The device's 24-bit form.
    uint32_t pack() const { return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16; }
    // From the device's form; bits 24-31 are ignored.
    static Color unpack(uint32_t packed)
    {
        return Color(uint8_t(packed), uint8_t(packed >> 8), uint8_t(packed >> 16));
    }

    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
};

} // namespace tavo::Board
