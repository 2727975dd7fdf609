// The reactive side of the manager: events from the microcontroller and the
// status poll, both running on threads other than the callers'.

#include "board/Manager.h"

namespace tavo::Board {

// On the driver's reader thread: nothing here may make a device request.
void Manager::lpcEventHandler(const LPCEvent& event, void* manager)
{
    auto* self = static_cast<Manager*>(manager);
    self->log(Log::Info, "LPC Event received: [%s] %d - %s %s", event.timestamp.toString("%FT%T").c_str(), event.type,
              event.name.c_str(), event.value.c_str());
    self->notifyObservers("onEvent", [&event](Observer& observer) { observer.onEvent(event); });
}

// On the status timer's thread. Observers hear only of changes.
void Manager::statusFunction(void* manager)
{
    auto* self = static_cast<Manager*>(manager);
    const bool active = self->driver.heartbeat() == LPCDriver::NoError;
    if (self->isActive.exchange(active) == active) {
        return;
    }
    self->log(Log::Info, "Current device status: %s", active ? "active" : "inactive");
    self->log(Log::Debug, "Notifying observers of status");
    self->notifyObservers("onStatusChanged", [](Observer& observer) { observer.onStatusChanged(); });
}

// Runs once, 100 ms after the manager was made, on the timer's thread.
void Manager::autoFirmwareUpdate(void*) {}

} // namespace tavo::Board
