// GPIO pins through the manager: checks against the cached records, the
// device requests, and keeping the cache in step with what was sent.
// Every operation on a pin holds gpioMutex from the check to the cache update.

#include "board/Manager.h"

namespace tavo::Board {

unsigned long Manager::gpioPinCountGet() const
{
    return gpios.size();
}

GPIO* Manager::gpioRecord(unsigned long pin)
{
    return pin < gpios.size() ? &gpios[pin] : nullptr;
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

ErrorCode Manager::gpioModeGet(uint8_t pin, GPIO::Mode& mode, GPIO::Encoding& encoding)
{
    std::lock_guard<std::mutex> lock(gpioMutex);
    const GPIO* record = gpioRecord(pin);
    if (record == nullptr) {
        return ErrorCode::InvalidArgument;
    }
    mode = record->mode;
    encoding = record->encoding;
    return ErrorCode::Ok;
}

ErrorCode Manager::gpioPullResistorGet(uint8_t pin, GPIO::Resistor& resistor)
{
    std::lock_guard<std::mutex> lock(gpioMutex);
    const GPIO* record = gpioRecord(pin);
    if (record == nullptr || record->mode != GPIO::Mode::input) {
        return ErrorCode::InvalidArgument;
    }
    resistor = record->resistor;
    return ErrorCode::Ok;
}

ErrorCode Manager::gpioModeSet(uint8_t pin, GPIO::Mode mode, GPIO::Encoding encoding)
{
    std::lock_guard<std::mutex> lock(gpioMutex);
    GPIO* record = gpioRecord(pin);
    if (record == nullptr || (mode == GPIO::Mode::output && encoding == GPIO::Encoding::analog)) {
        return ErrorCode::InvalidArgument;
    }
    return applyGpioMode(pin, *record, mode, encoding);
}

// The cache takes the mode even when the device refuses it: a request that
// timed out may still have reached the device.
ErrorCode Manager::applyGpioMode(uint8_t pin, GPIO& gpio, GPIO::Mode mode, GPIO::Encoding encoding)
{
    const int deviceMode = GPIO::typeToInt(mode, encoding);
    log(Log::Debug, "Setting GPIO %d mode to %d", pin, deviceMode);
    const LPCDriver::ErrorCode result = driver.setIOMode(pin, deviceMode);
    gpio.mode = mode;
    gpio.encoding = encoding;
    return translate(result);
}

// After a failed read the previous cached value stays.
ErrorCode Manager::gpioValueGet(uint8_t pin, uint16_t& value)
{
    std::lock_guard<std::mutex> lock(gpioMutex);
    GPIO* record = gpioRecord(pin);
    if (record == nullptr) {
        return ErrorCode::InvalidArgument;
    }
    if (record->mode == GPIO::Mode::output) {
        log(Log::Debug, "Getting stored output state");
        value = record->value;
        return ErrorCode::Ok;
    }

    LPCDriver::ErrorCode result;
    uint16_t reading = 0;
    if (record->encoding == GPIO::Encoding::analog) {
        log(Log::Debug, "Getting analog input state");
        unsigned short raw = 0;
        result = driver.getAnalogInputState(pin, raw);
        reading = raw;
    } else {
        log(Log::Debug, "Getting digital input state");
        int state = 0;
        result = driver.getDigitalInputState(pin, state);
        reading = state > 0 ? 1 : 0;
    }
    if (result == LPCDriver::NoError) {
        value = reading;
        record->value = reading;
    }
    return translate(result);
}

ErrorCode Manager::gpioValueSet(uint8_t pin, uint16_t value)
{
    std::lock_guard<std::mutex> lock(gpioMutex);
    GPIO* record = gpioRecord(pin);
    if (record == nullptr) {
        return ErrorCode::InvalidArgument;
    }
    if (record->mode != GPIO::Mode::output || record->encoding != GPIO::Encoding::digital) {
        return ErrorCode::NotSupported;
    }
    const uint16_t level = value != 0 ? 1 : 0;
    log(Log::Debug, "Setting GPIO %d value to %d", pin, level);
    const ErrorCode result = translate(driver.setDigitalOutputState(pin, level));
    if (result == ErrorCode::Ok) {
        record->value = level;
    }
    return result;
}

// Whether the pin took a resistor at start-up is not checked: the device
// decides. An unknown resistor value is sent, and cached, as pull-up.
ErrorCode Manager::gpioPullResistorSet(uint8_t pin, GPIO::Resistor resistor)
{
    std::lock_guard<std::mutex> lock(gpioMutex);
    GPIO* record = gpioRecord(pin);
    if (record == nullptr || record->mode != GPIO::Mode::input) {
        return ErrorCode::InvalidArgument;
    }
    GPIO::Resistor sent = resistor;
    if (sent != GPIO::Resistor::floating && sent != GPIO::Resistor::pullUp && sent != GPIO::Resistor::pullDown) {
        sent = GPIO::Resistor::pullUp;
    }
    const int deviceResistor = static_cast<int>(sent);
    log(Log::Debug, "Setting GPIO %d resistor to %d", pin, deviceResistor);
    const ErrorCode result = translate(driver.setPullResistor(pin, deviceResistor));
    if (result == ErrorCode::Ok) {
        record->resistor = sent;
    }
    return result;
}

ErrorCode Manager::gpioDigitalInputGet(bool& on)
{
    int state = 0;
    return flagResult(driver.getInput(state), state, on);
}

ErrorCode Manager::gpioDigitalInputIgnitionGet(bool& on)
{
    int state = 0;
    return flagResult(driver.getIgnitionInput(state), state, on);
}

} // namespace tavo::Board
