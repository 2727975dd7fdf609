// Text alignment in a box on the LCD. The device takes horizontal plus 16
// times vertical as one octet (the manager encodes it).
#pragma once

#include <cstdint>

namespace tavo::Board::Screen::Align {

enum class Horizontal : int32_t { left = 0, centre = 1, right = 2 };
enum class Vertical : int32_t { top = 0, middle = 1, bottom = 2 };

} // namespace tavo::Board::Screen::Align
