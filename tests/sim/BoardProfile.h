#pragma once
// BoardProfile: a kind of board, for tests of the board manager. It says
// which rates the board hears, which optional features it refuses, what it
// says about itself, how many GPIO pins (and which without a pull resistor)
// and serial ports it has, and which power rails it cannot read. applyTo
// sets a fresh SimulatedBoard up as that board; it uses only the board's
// public controls (its state, its rate filter and its refusal hook).

#include <array>
#include <set>
#include <string>
#include <vector>

#include "sim/SimulatedBoard.h"

struct BoardProfile {
    // The rates the board hears; empty: every rate.
    std::vector<int> baudRates;
    // Answers nothing at all.
    bool silent = false;
    // Knows the firmware parameter MAX_SHUTDOWN_DELAY.
    bool delayedShutdown = true;
    // Answers the level of the display backlight it drives.
    bool driversDisplay = true;
    // Takes any 24-bit backlight colour; otherwise only levels 0 to 255.
    bool colourBacklight = true;

    std::string firmwareVersion = "1.2.3";
    std::string hardwareVersion = "Velmor7-R4";
    std::string hardwareId = "HWID-0001";
    std::array<uint8_t, 5> hardwareStatus{3, 0, 0, 0, 0};
    uint16_t bootStatus = 0;

    // Pins 0 to gpioPins - 1 exist; these refuse a pull resistor.
    size_t gpioPins = 4;
    std::set<uint8_t> pinsWithoutResistor;
    // Ports 0 to serialPorts - 1 exist.
    size_t serialPorts = 2;
    // Microcontroller peripheral numbers whose power state cannot be read.
    std::set<uint8_t> unreadableRails;

    void applyTo(SimulatedBoard& board) const;
};
