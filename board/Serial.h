// Protocol and duplex of the board's serial ports as the board names them.
// The device numbers duplex the other way round (0 half, 1 full); the
// manager's serial operations convert.
#pragma once

#include <cstdint>

namespace tavo::Board::Serial {

enum class Protocol : int32_t { rs232 = 0, rs485 = 1 };
enum class Duplex : int32_t { full = 0, half = 1 };

} // namespace tavo::Board::Serial
