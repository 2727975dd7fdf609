// Opening the device: the baud-rate attempts with their handshakes, the
// capability probes, the order of the construction steps, and stopping.

#include "board/Manager.h"

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>

#include "board/Helpers.h"
#include "board/HostCommand.h"
#include "foundation/String.h"
#include "foundation/Variant.h"
#include "foundation/Thread.h"

namespace tavo::Board {

namespace {

// Each rate twice: a board that is still booting misses the first attempt.
constexpr int kBaudRates[] = {115200, 115200, 57600, 57600};
constexpr size_t kHandshakes = 3;
constexpr int kAttemptPauseMs = 500;
constexpr int kHandshakePauseMs = 100;
constexpr int kAutoFirmwareUpdateDelayMs = 100;
// Red, green and blue 100 each: a colour backlight accepts it, a
// single-colour one refuses it.
const Color kProbeBacklight(100, 100, 100);

} // namespace

Manager::Manager(const std::string& device, Host hostAccess)
    : Logger("Manager"), devicePath(device), config(false, false), host(std::move(hostAccess)),
      statusTimer(Timer::Periodic, &Manager::statusFunction, this),
      autoFirmwareUpdateTimer(Timer::SingleShot, &Manager::autoFirmwareUpdate, this)
{
    if (!host.runCommand) {
        host.runCommand = runHostCommand;
    }
    if (host.receiveTimeoutMs) {
        driver.setReceiveTimeout(*host.receiveTimeoutMs);
    }
    if (!deviceFactory()) {
        throw std::runtime_error(String::format("Could not open device %s .", devicePath.c_str()));
    }
    isActive = true;
    driver.registerEventHandler(&Manager::lpcEventHandler, this);

    // From here on the reader thread calls into this object: should a step
    // throw, it must be gone before the members are.
    try {
        Variant maxShutdownDelay;
        const bool delayedShutdown =
            driver.getFirmwareParameter("MAX_SHUTDOWN_DELAY", maxShutdownDelay) == LPCDriver::NoError;
        unsigned char level = 0;
        driversDisplaySupported = driver.getDisplayBacklightLevel(level) == LPCDriver::NoError;
        colorBacklightSupported = driver.screenSetBacklight(kProbeBacklight.pack()) == LPCDriver::NoError;
        // The ignition handler reads the flag and the configuration on the
        // reader thread from the moment it is registered.
        {
            std::lock_guard<std::mutex> lock(configMutex);
            delayedShutdownSupported = delayedShutdown;
        }
        logSupport();
        {
            std::lock_guard<std::mutex> lock(configMutex);
            config = Config(delayedShutdownSupported, driversDisplaySupported);
        }
        cacheLpcInfo();
        gpioInitialize();
        serialInitialize();
        powerInitialize();
        autoFirmwareUpdateTimer.start(kAutoFirmwareUpdateDelayMs);
    } catch (...) {
        driver.registerEventHandler(nullptr, nullptr);
        driver.close();
        throw;
    }
}

Manager::~Manager()
{
    quiesce();
    stop();
}

void Manager::stop()
{
    log(Log::Debug, "Stopping...");
    statusTimer.stop();
    driver.close();
    log(Log::Debug, "Stopped");
}

void Manager::beginStop()
{
    stopBegun = true;
    driver.refuseRequests();
}

void Manager::beginLastStatus()
{
    if (!stopBegun || lastStatusBegun.exchange(true)) {
        return;
    }
    driver.admitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(lastStatusMs.load()));
    isActive = driver.heartbeat() == LPCDriver::NoError;
}

// Logs why the last attempt failed when none succeeded.
bool Manager::deviceFactory()
{
    std::string failure;
    for (const int baud : kBaudRates) {
        if (openAttempt(baud, failure)) {
            return true;
        }
    }
    log(Log::Error, "Opening %s failed: %s", devicePath.c_str(), failure.c_str());
    return false;
}

// One attempt: open at the rate, then up to three heartbeats. A failed open
// needs no close; a silent device is closed again.
bool Manager::openAttempt(int baud, std::string& failure)
{
    Thread::sleep(kAttemptPauseMs);
    log(Log::Info, "Attempting to open device (baud=%zu)", static_cast<size_t>(baud));
    if (driver.open(devicePath.c_str(), baud) != LPCDriver::NoError) {
        failure = std::error_code(errno, std::generic_category()).message();
        return false;
    }
    for (size_t attempt = 0; attempt < kHandshakes; ++attempt) {
        log(Log::Info, "Trying handshake (%zu/%zu)...", attempt, kHandshakes);
        if (driver.heartbeat() == LPCDriver::NoError) {
            log(Log::Info, "Handshake: success");
            return true;
        }
        log(Log::Warning, "Handshake: failed");
        Thread::sleep(kHandshakePauseMs);
    }
    driver.close();
    failure = "no answer at any speed";
    return false;
}

void Manager::logSupport()
{
    const auto text = [](bool supported) { return supported ? "true" : "false"; };
    log(Log::Info, "Device %s supports:", devicePath.c_str());
    log(Log::Info, "  - Delayed shutdown: %s", text(delayedShutdownSupported));
    log(Log::Info, "  - Color LCD backlight: %s", text(colorBacklightSupported));
    log(Log::Info, "  - Driver's display: %s", text(driversDisplaySupported));
}

void Manager::observerAttach(std::shared_ptr<Observer> observer)
{
    if (!observer) {
        return;
    }
    std::lock_guard<std::mutex> lock(observersMutex);
    observers.insert(std::move(observer));
}

void Manager::notifyObservers(const char* what, const std::function<void(Observer&)>& notification)
{
    std::set<std::shared_ptr<Observer>> current;
    {
        std::lock_guard<std::mutex> lock(observersMutex);
        current = observers;
    }
    for (const auto& observer : current) {
        try {
            notification(*observer);
        } catch (const std::exception& e) {
            log(Log::Error, "An observer failed in %s: %s", what, e.what());
        } catch (...) {
            log(Log::Error, "An observer failed in %s", what);
        }
    }
}

ErrorCode Manager::translate(LPCDriver::ErrorCode result)
{
    return Helpers::translateMcuErrorCode(result);
}

ErrorCode Manager::flagResult(LPCDriver::ErrorCode result, const int& state, bool& flag)
{
    if (result == LPCDriver::NoError) {
        flag = state != 0;
    }
    return translate(result);
}

bool Manager::getIsActive() const
{
    return isActive;
}

LpcStats Manager::getStats() const
{
    return driver.getStats();
}

void Manager::receiveTimeoutSet(int ms)
{
    driver.setReceiveTimeout(ms);
}

ErrorCode Manager::debugEnabledSet(bool on)
{
    driver.setDebugEnable(on);
    Log::setLevel(on ? Log::Debug : Log::Info);
    Log::info("Debug is %s", on ? "ON" : "OFF");
    return ErrorCode::Ok;
}

} // namespace tavo::Board
