// GPIO pins through the manager: checks against the cached records, the
// device requests, and keeping the cache in step with what was sent.
// Every operation on a pin holds gpioMutex from the check to the cache update.

#include "board/Manager.h"

namespace tavo::Board {

unsigned long Manager::gpioPinCountGet() const
{
    return gpioPinCount;
}

GPIO* Manager::gpioRecord(unsigned long pin)
{
    return pin < gpioPinCount ? &gpios[pin] : nullptr;
}

ErrorCode Manager::gpioPinGet(unsigned long pin, GPIO& gpio)
{
    std::lock_guard<std::mutex> lock(gpioMutex);
    const GPIO* record = gpioRecord(pin);
    if (record == nullptr) {
        return ErrorCode::InvalidArgument;
    }
    gpio = *record;
    return ErrorCode::Ok;
}

} // namespace tavo::Board
