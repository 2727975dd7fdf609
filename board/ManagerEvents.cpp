// The reactive side of the manager: events from the microcontroller, the
// status poll and the delayed shutdown, all running on threads other than
// the callers'.

#include "board/Manager.h"

#include <climits>

#include "foundation/String.h"

namespace tavo::Board {

namespace {

constexpr int kEventSystemOff = 1;
constexpr int kEventIgnitionChanged = 2;
constexpr int kEventHighGAlarm = 8;
constexpr int kDelayShutdownPingMs = 1000;

// The delay in milliseconds, held within what a timer takes: a longer one
// would wrap around to a timer that fires at once or never.
int delayShutdownMs(uint64_t seconds)
{
    constexpr uint64_t kMaxSeconds = INT_MAX / 1000;
    return seconds > kMaxSeconds ? INT_MAX : static_cast<int>(seconds * 1000);
}

} // namespace

// On the driver's reader thread: nothing here may make a device request.
void Manager::lpcEventHandler(const LPCEvent& event, void* manager)
{
    auto* self = static_cast<Manager*>(manager);
    self->log(Log::Info, "LPC Event received: [%s] %d - %s %s", event.timestamp.toString("%FT%T").c_str(), event.type,
              event.name.c_str(), event.value.c_str());
    self->notifyObservers("onEvent", [&event](Observer& observer) { observer.onEvent(event); });
    switch (event.type) {
    case kEventIgnitionChanged:
        self->handleIgnitionChangedEvent(event);
        break;
    case kEventHighGAlarm:
        self->handleHighGAlarm(event);
        break;
    case kEventSystemOff:
        self->handlePowerOffEvent(event);
        break;
    default:
        break;
    }
}

// The host goes down with the board; the command's own exit status is not
// ours to judge.
void Manager::handlePowerOffEvent(const LPCEvent&)
{
    log(Log::Warning, "System is shutting down.");
    if (host.runCommand("shutdown now") < 0) {
        log(Log::Error, "Failed to shutdown system");
    }
}

void Manager::handleHighGAlarm(const LPCEvent& event)
{
    Log::warning("High-G Alarm Event With Total Acceleration : %f", String::toDouble(event.value));
}

// Ignition off asks the microcontroller once a second, for the configured
// time, to hold off its power-off; ignition on cancels that.
void Manager::handleIgnitionChangedEvent(const LPCEvent& event)
{
    bool supported;
    uint64_t seconds;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        supported = delayedShutdownSupported;
        seconds = config.delayShutdownFor();
    }
    if (!supported) {
        return;
    }
    // The value is compared with the state as 0 or 1, so any other non-zero
    // value counts as a change to on, even while on.
    const long long value = String::toInteger(event.value, 10);
    if (value == (ignitionOn ? 1 : 0)) {
        return;
    }
    const bool on = value != 0;
    ignitionOn = on;
    if (on) {
        log(Log::Warning, "System shutdown aborted");
        delayShutdownPingTimer.stop();
        delayShutdownStopTimer.stop();
        return;
    }
    log(Log::Warning, "System prepares to shutdown...");
    if (seconds == 0) {
        return;
    }
    delayShutdownPingTimer.start(kDelayShutdownPingMs);
    delayShutdownStopTimer.start(delayShutdownMs(seconds));
}

// On the ping timer's thread; a failed request is retried with the next ping.
void Manager::delayShutdownPingFunction(void* manager)
{
    auto* self = static_cast<Manager*>(manager);
    self->log(Log::Debug, "Requesting delay of shutdown");
    self->driver.delayShutdown();
}

void Manager::delayShutdownStopFunction(void* manager)
{
    auto* self = static_cast<Manager*>(manager);
    self->log(Log::Debug, "Stopping delay shutdown requests");
    self->delayShutdownPingTimer.stop();
}

// On the status timer's thread. Observers hear only of changes; once the
// process stop has begun a refused heartbeat is none, and the answering
// state is the last status's to set.
void Manager::statusFunction(void* manager)
{
    auto* self = static_cast<Manager*>(manager);
    const bool active = self->driver.heartbeat() == LPCDriver::NoError;
    if (self->stopBegun || self->isActive.exchange(active) == active) {
        return;
    }
    self->log(Log::Info, "Current device status: %s", active ? "active" : "inactive");
    self->log(Log::Debug, "Notifying observers of status");
    self->notifyObservers("onStatusChanged", [](Observer& observer) { observer.onStatusChanged(); });
}

} // namespace tavo::Board
