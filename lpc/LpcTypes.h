#pragma once
// Records and one-octet enumerations that the microcontroller's requests
// carry. Each enumeration is sent as its low octet; a one-octet reply is
// zero-extended into it.

#include <cstdint>

// The microcontroller's hardware status, five octets in wire order.
struct LPCHWStatus {
    uint8_t bootReason;
    uint8_t watchdogTriggered;
    uint8_t rtcFailed;
    uint8_t debugEnabled;
    uint8_t mcuReset;
};

// Raw inertial readings in device units: accelerometer, then gyroscope axes.
struct IMUData {
    int16_t accx;
    int16_t accy;
    int16_t accz;
    int16_t gyrox;
    int16_t gyroy;
    int16_t gyroz;
};

// One step of an LED pattern.
struct LPCLEDStep {
    uint32_t color;    // red in bits 0-7, green in 8-15, blue in 16-23
    uint32_t duration; // milliseconds
};

// Peripheral power rails as the microcontroller numbers them.
enum LPCPeripheral : int {
    LPC_PERIPHERAL_USB_HUB = 0,
    LPC_PERIPHERAL_MPCIE1 = 1,
    LPC_PERIPHERAL_MPCIE2 = 2,
    LPC_PERIPHERAL_DISPLAY = 3,
    LPC_PERIPHERAL_TOUCH = 4,
    LPC_PERIPHERAL_FTDI = 5,
    LPC_PERIPHERAL_USB_HOST1 = 6,
    LPC_PERIPHERAL_USB_HOST2 = 7,
    LPC_PERIPHERAL_RFID_READER = 8,
    LPC_PERIPHERAL_PRINTER = 9,
    LPC_PERIPHERAL_QR_READER = 10,
    LPC_PERIPHERAL_GP_PORT1 = 11,
    LPC_PERIPHERAL_GP_PORT2 = 12,
    LPC_PERIPHERAL_GP_PORT3 = 13,
    LPC_PERIPHERAL_GP_PORT4 = 14,
};

// LCD font index 0 to 34; the microcontroller's font table gives the meaning.
enum LPCScreenFont : int {
    LPC_SCREEN_FONT_DEFAULT = 0,
};

// Horizontal alignment plus 16 times the vertical alignment.
enum LPCScreenAlignment : int {
    LPC_SCREEN_ALIGN_LEFT = 0x00,
    LPC_SCREEN_ALIGN_CENTER = 0x01,
    LPC_SCREEN_ALIGN_RIGHT = 0x02,
    LPC_SCREEN_ALIGN_TOP = 0x00,
    LPC_SCREEN_ALIGN_MIDDLE = 0x10,
    LPC_SCREEN_ALIGN_BOTTOM = 0x20,
};

// LCD state: 0 off, 2 on and idle, any other non-zero value on.
enum LPCScreenStatus : int {
    LPC_SCREEN_OFF = 0,
    LPC_SCREEN_ON = 1,
    LPC_SCREEN_IDLE = 2,
};

enum LPCSerialProtocol : int {
    LPC_SERIAL_RS232 = 0,
    LPC_SERIAL_RS485 = 1,
};

enum LPCSerialDuplex : int {
    LPC_SERIAL_HALF_DUPLEX = 0,
    LPC_SERIAL_FULL_DUPLEX = 1,
};
