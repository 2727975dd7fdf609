// tavo::Board::Manager: the facade of the board. main, the remote interfaces,
// the configuration adaptor and the stress test reach the microcontroller only
// through it. It owns the device driver, the board configuration, the cached
// GPIO records and identity, the bootloader status and its timers, and tells
// its observers of events, status changes and configuration changes.
//
// The code is split by concern: Manager.cpp (opening, handshake, stop),
// ManagerProbe.cpp (capability probe, identity, pin/port/power counts),
// ManagerEvents.cpp (events, status polling), ManagerGpio.cpp and
// ManagerOperations.cpp (hardware operations).
//
// Threading:
// - The constructor runs on the caller's thread. From the moment the event
//   handler is registered, lpcEventHandler runs on the driver's reader thread
//   (and on a downloading thread for download progress). Each timer runs its
//   callback on a thread of its own. The operations run on their callers'
//   threads (remote interfaces, timers, stress test); the driver serialises
//   their device requests and blocks each caller until reply or time-out.
// - Nothing on the reader thread makes a device request.
// - observersMutex guards `observers`; it is held only to add an observer or
//   to copy the set, never while an observer runs.
// - gpioMutex guards the records in `gpios`; it is held across a pin's device
//   request so that the cache follows the order in which requests were sent.
//   Lock order: gpioMutex, then the driver's request mutex.
// - The counts, the capability flags, the identity texts and the bootloader
//   status are written only by the constructor and read-only afterwards.
//   isActive is an atomic flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "board/BootloaderStatus.h"
#include "board/Color.h"
#include "board/Config.h"
#include "board/ErrorCode.h"
#include "board/Gpio.h"
#include "board/Observer.h"
#include "foundation/Log.h"
#include "foundation/Timer.h"
#include "lpc/LPCDriver.h"

namespace tavo::Board {

class Manager : public Logger {
public:
    // What the manager reaches on its host besides the serial device. Tests
    // replace both, so that no test moves files beside its own binary or
    // runs a real host command.
    struct Host {
        // Searched for firmware files; empty means the executable's directory.
        std::string firmwareDirectory;
        // Runs a shell command; returns what std::system returns. Empty
        // means std::system.
        std::function<int(const std::string& command)> runCommand;
    };

    // Opens the device (115200 twice, then 57600 twice, each with up to
    // three heartbeat handshakes), probes it, reads its identity, counts its
    // GPIO pins and serial ports, reads the power states and arms the
    // automatic firmware update. Throws std::runtime_error "Could not open
    // device <path> ." when no rate answers.
    explicit Manager(const std::string& device, Host host = Host{});
    // Does what stop() does; the timers then end with their members.
    ~Manager() override;
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // Stops the status polling and closes the driver. Any thread.
    void stop();

    // Adds the observer once; observers are notified in address order.
    // A null pointer is ignored. Any thread.
    void observerAttach(std::shared_ptr<Observer> observer);
    // True while the microcontroller answers. No device request.
    bool getIsActive() const;

    // GPIO pins and serial ports found when the device was opened; a pin at
    // or beyond the count is InvalidArgument.
    unsigned long gpioPinCountGet() const;
    ErrorCode gpioPinGet(unsigned long pin, GPIO& gpio);
    unsigned long serialPortCountGet() const;

    // One round trip to the microcontroller.
    ErrorCode heartbeatSend();

    // Identity read when the device was opened; always Ok, no device request.
    ErrorCode firmwareVersionGet(std::string& version);
    ErrorCode hardwareIDGet(std::string& id);
    ErrorCode hardwareVersionGet(std::string& version);

private:
    // Construction steps, in their order.
    bool deviceFactory();
    bool openAttempt(int baud);
    void logSupport();
    void cacheLpcInfo();
    void gpioInitialize();
    void serialInitialize();
    void powerInitialize();

    // Callbacks registered with the driver and the timers; `manager` is this.
    static void lpcEventHandler(const LPCEvent& event, void* manager);
    static void statusFunction(void* manager);
    static void autoFirmwareUpdate(void* manager);

    // The driver's result as the board's.
    static ErrorCode translate(LPCDriver::ErrorCode result);

    // Calls `notification` on every observer in the set's order, without a
    // lock held. An exception from one observer is logged and does not keep
    // the others from being notified.
    void notifyObservers(const char* what, const std::function<void(Observer&)>& notification);

    // The pin's record when pin < the count, else null. Caller holds gpioMutex.
    GPIO* gpioRecord(unsigned long pin);

    LPCDriver driver;
    std::string devicePath;
    std::vector<GPIO> gpios;
    uint64_t gpioPinCount = 0;
    uint64_t serialPortCount = 0;
    std::atomic<bool> isActive{false};
    Config config;
    std::set<std::shared_ptr<Observer>> observers;
    bool delayedShutdownSupported = false;
    bool colorBacklightSupported = false;
    bool driversDisplaySupported = false;
    std::string hardwareId;
    std::string boardName;
    std::string boardRevision;
    std::string firmwareVersion;
    std::string lastBootCause;
    bool corvidDetected = false;
    std::shared_ptr<BootloaderStatus::Interface> bootloaderStatus;
    Host host;
    mutable std::mutex observersMutex;
    mutable std::mutex gpioMutex;
    // Last: destroyed first, each waiting for its running callback, while the
    // members above still exist.
    Timer statusTimer;
    Timer autoFirmwareUpdateTimer;
};

} // namespace tavo::Board