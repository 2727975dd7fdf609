// The board's power-switchable peripherals. The board numbers them
// differently from the microcontroller (Helpers::translatePeripheral
// converts); the names are the keys of the configuration and of the remote
// interfaces.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace tavo::Board {

enum class Peripheral : int32_t {
    display = 0,
    gpPort1 = 1,
    gpPort2 = 2,
    gpPort3 = 3,
    gpPort4 = 4,
    mPCIe1 = 5,
    mPCIe2 = 6,
    printer = 7,
    qrReader = 8,
    rfidReader = 9,
    ftdi = 10,
    touch = 11,
    usbHost1 = 12,
    usbHost2 = 13,
    usbHub = 14,
};

// Name to peripheral and back, 15 rows each; built at program start and
// read-only afterwards. Lookups are exact and case-sensitive.
extern const std::map<std::string, Peripheral> stringToPeripherals;
extern const std::map<Peripheral, std::string> peripheralToString;

} // namespace tavo::Board
