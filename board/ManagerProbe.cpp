// What the manager learns about the board once, while it is being made: its
// identity, its GPIO pins and serial ports, and the power of its peripherals.
// These run on the constructor's thread before any other thread may call an
// operation; only the configuration, which the ignition handler reads on the
// reader thread, is written under its lock.

#include "board/Manager.h"

#include <bitset>

#include "app/version/Version.h"
#include "board/Firmware.h"
#include "board/Hardware.h"
#include "board/Peripheral.h"
#include "board/Serial.h"
#include "lpc/LpcTypes.h"

namespace tavo::Board {

namespace {

// The device offers at most this many pins and ports; the probes stop at the
// first that fails.
constexpr int kMaxGpioPins = 10;
constexpr int kMaxSerialPorts = 10;
constexpr int kPeripheralCount = 15;
// Pull-down, so an unconnected input reads 0.
constexpr int kProbeResistor = static_cast<int>(GPIO::Resistor::pullDown);

} // namespace

void Manager::cacheLpcInfo()
{
    const LPCDriver::ErrorCode versionResult = driver.getFirmwareVersion(firmwareVersion);
    firmwareVersion = Firmware::versionToStr(Firmware::strToVersion(firmwareVersion));

    // A failed read leaves the record at its "Undefined" defaults.
    LPCHWStatus raw{};
    const LPCDriver::ErrorCode statusResult = driver.getHardwareStatus(raw);
    const Hardware::Status status = statusResult == LPCDriver::NoError ? Hardware::Status(raw) : Hardware::Status();
    if (!statusResult == LPCDriver::NoError) {
        log(Log::Error, "Could not get hardware status");
    }
    lastBootCause = status.toJson()["lastBootReason"].get<std::string>();

    if (versionResult != LPCDriver::NoError) {
        log(Log::Error, "Could not get firmware version");
    }

    std::string hardwareVersion;
    const LPCDriver::ErrorCode hardwareResult = driver.getHardwareVersion(hardwareVersion);
    const size_t marker = hardwareVersion.find("-R");
    if (marker != std::string::npos) {
        boardName = hardwareVersion.substr(0, marker);
        boardRevision = hardwareVersion.substr(marker + 2);
        corvidDetected =
            boardRevision.find('.') != std::string::npos && boardRevision.find('/') != std::string::npos;
    } else {
        log(Log::Error, "Could not parse board name and revision: '%s'", hardwareVersion.c_str());
        boardName = hardwareVersion;
    }
    if (hardwareResult != LPCDriver::NoError) {
        log(Log::Error, "Could not get hardware version");
    }

    int bootStatus = 0;
    const LPCDriver::ErrorCode bootResult = driver.getBootStatus(bootStatus);
    log(Log::Info, "Bootloader Status: 0x%08X", static_cast<unsigned>(bootStatus));
    if (bootResult != LPCDriver::NoError) {
        log(Log::Error, "Could not get bootloader status");
    }
    const std::bitset<16> bits(static_cast<unsigned long>(bootStatus) & 0xFFFF);
    if (corvidDetected) {
        bootloaderStatus = std::make_shared<BootloaderStatus::CorvidNX>(bits);
    } else {
        bootloaderStatus = std::make_shared<BootloaderStatus::LPC176xFlashBoot>(bits);
    }

    if (driver.getHardwareID(hardwareId) != LPCDriver::NoError) {
        log(Log::Error, "Could not get hardware id");
    }

    log(Log::Info, "Lumacore version: %s", getProjectVersion());
    log(Log::Info, "Firmware version:     %s", firmwareVersion.c_str());
    log(Log::Info, "Board name:           %s", boardName.c_str());
    log(Log::Info, "Board revision:       %s", boardRevision.c_str());
    log(Log::Info, "Hardware Id:          %s", hardwareId.c_str());
    log(Log::Info, "Result of Last Boot:  %d", static_cast<int>(bootloaderStatus->toBitset().to_ulong()));
    log(Log::Info, "Last Boot Cause:      %s", lastBootCause.c_str());
    log(Log::Info, "Detected Corvid:      %s", corvidDetected ? "true" : "false");
}

// Every pin found is left a digital input, pulled down where it can be.
void Manager::gpioInitialize()
{
    log(Log::Debug, "Counting gpio pins");
    for (int pin = 0; pin < kMaxGpioPins; ++pin) {
        log(Log::Debug, "Attempting to set mode of %d", pin);
        const int inputMode = GPIO::typeToInt(GPIO::Mode::input, GPIO::Encoding::digital);
        if (translate(driver.setIOMode(pin, inputMode)) != ErrorCode::Ok) {
            break;
        }
        log(Log::Debug, "Attempting to set resistor of %d", pin);
        const bool resistorCapable = translate(driver.setPullResistor(pin, kProbeResistor)) == ErrorCode::Ok;
        log(Log::Debug, "Attempting to get value of %d", pin);
        int value = 0;
        if (translate(driver.getDigitalInputState(pin, value)) != ErrorCode::Ok) {
            break;
        }
        log(Log::Debug, "Attempting to store state of %d", pin);
        const auto reading = static_cast<uint16_t>(value);
        if (resistorCapable) {
            gpios.emplace_back(GPIO::Mode::input, GPIO::Encoding::digital, GPIO::Resistor::pullDown, reading);
        } else {
            gpios.emplace_back(GPIO::Mode::input, GPIO::Encoding::digital, reading);
        }
        {
            std::lock_guard<std::mutex> lock(configMutex);
            config.pinSet(static_cast<unsigned long>(pin), gpios.back().toJson());
        }
        log(Log::Debug, "Added pin %d", pin);
    }
    log(Log::Debug, "Found %d gpio pins", static_cast<int>(gpios.size()));
}

// A value outside the two known ones is recorded as rs232 or full, so the
// configuration always holds a valid entry for a port that answered.
void Manager::serialInitialize()
{
    log(Log::Debug, "Counting serial ports");
    uint64_t found = 0;
    for (int port = 0; port < kMaxSerialPorts; ++port) {
        log(Log::Debug, "Attempting to get protocol of %d", port);
        LPCSerialProtocol deviceProtocol = LPC_SERIAL_RS232;
        if (translate(driver.getSerialProtocol(port, deviceProtocol)) != ErrorCode::Ok) {
            break;
        }
        LPCSerialDuplex deviceDuplex = LPC_SERIAL_HALF_DUPLEX;
        if (translate(driver.getSerialDuplex(port, deviceDuplex)) != ErrorCode::Ok) {
            break;
        }

        Serial::Protocol protocol = Serial::Protocol::rs232;
        if (!fromDevice(deviceProtocol, protocol)) {
            log(Log::Warning, "Serial port %d reports unknown protocol %d; recording rs232", port,
                static_cast<int>(deviceProtocol));
        }
        Serial::Duplex duplex = Serial::Duplex::full;
        if (!fromDevice(deviceDuplex, duplex)) {
            log(Log::Warning, "Serial port %d reports unknown duplex %d; recording full", port,
                static_cast<int>(deviceDuplex));
        }

        {
            std::lock_guard<std::mutex> lock(configMutex);
            config.serialProtocolSet(static_cast<unsigned long>(port), protocol);
            config.serialDuplexSet(static_cast<unsigned long>(port), duplex);
        }
        log(Log::Debug, "Added serial port %d", port);
        ++found;
    }
    serialPortCount = found;
    log(Log::Debug, "Found %d serial ports", static_cast<int>(serialPortCount));
}

// Registers the state just read, so that the configuration reports the
// board as it is until a configuration is applied.
void Manager::powerInitialize()
{
    for (int index = 0; index < kPeripheralCount; ++index) {
        const auto peripheral = static_cast<Peripheral>(index);
        int state = 0;
        const auto devicePeripheral = toDevice(peripheral);
        if (translate(driver.getPeripheralPowerState(devicePeripheral, state)) == ErrorCode::Ok) {
            std::lock_guard<std::mutex> lock(configMutex);
            config.peripheralSet(peripheral, state != 0);
        }
    }
}

} // namespace tavo::Board
