// Stateless helpers the board manager shares with its callers: result codes,
// peripheral numbering and the executable's own directory. Callable from any
// thread.
#pragma once

#include <string>

#include "board/ErrorCode.h"
#include "board/Peripheral.h"
#include "lpc/LPCDriver.h"

namespace tavo::Board::Helpers {

// Maps a driver result to a board result; any unknown driver value gives
// UnknownError. Never fails.
ErrorCode translateMcuErrorCode(LPCDriver::ErrorCode code);

// The enumerator's name ("Ok", "NotSupported", ...); UnknownError and every
// value outside 0 to 10 give "UnknownError".
std::string errorCodeToString(ErrorCode code);

// The microcontroller's number of a peripheral. Throws std::runtime_error
// "Unregistered peripheral" for a value outside 0 to 14.
int translatePeripheral(Peripheral peripheral);

// The peripheral of a microcontroller number. Throws std::runtime_error
// "Unregistered peripheral" for a number outside 0 to 14.
Peripheral translatePeripheral(int number);

// The absolute, canonical directory holding the running executable (the
// directory of the path it was started under, so a symbolic link's own
// directory, not its target's). Throws std::logic_error when the location
// cannot be resolved (for example the directory no longer exists).
std::string getExecutableLocation();

} // namespace tavo::Board::Helpers
