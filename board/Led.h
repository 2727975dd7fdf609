// One step of an RGB LED animation as the board's users describe it.
#pragma once

#include <cstdint>

#include "board/Color.h"

namespace tavo::Board::LED {

struct AnimationStep {
    Color color;
    // Milliseconds; the device takes the low 32 bits.
    int64_t duration = 0;
};

} // namespace tavo::Board::LED
