#include "board/Peripheral.h"

namespace tavo::Board {

const std::map<std::string, Peripheral> stringToPeripherals = {
    {"display", Peripheral::display},
    {"gpPort1", Peripheral::gpPort1},
    {"gpPort2", Peripheral::gpPort2},
    {"gpPort3", Peripheral::gpPort3},
    {"gpPort4", Peripheral::gpPort4},
    {"mPCIe1", Peripheral::mPCIe1},
    {"mPCIe2", Peripheral::mPCIe2},
    {"printer", Peripheral::printer},
    {"qrReader", Peripheral::qrReader},
    {"rfidReader", Peripheral::rfidReader},
    {"ftdi", Peripheral::ftdi},
    {"touch", Peripheral::touch},
    {"usbHost1", Peripheral::usbHost1},
    {"usbHost2", Peripheral::usbHost2},
    {"usbHub", Peripheral::usbHub},
};

const std::map<Peripheral, std::string> peripheralToString = {
    {Peripheral::display, "display"},
    {Peripheral::gpPort1, "gpPort1"},
    {Peripheral::gpPort2, "gpPort2"},
    {Peripheral::gpPort3, "gpPort3"},
    {Peripheral::gpPort4, "gpPort4"},
    {Peripheral::mPCIe1, "mPCIe1"},
    {Peripheral::mPCIe2, "mPCIe2"},
    {Peripheral::printer, "printer"},
    {Peripheral::qrReader, "qrReader"},
    {Peripheral::rfidReader, "rfidReader"},
    {Peripheral::ftdi, "ftdi"},
    {Peripheral::touch, "touch"},
    {Peripheral::usbHost1, "usbHost1"},
    {Peripheral::usbHost2, "usbHost2"},
    {Peripheral::usbHub, "usbHub"},
};

} // namespace tavo::Board
