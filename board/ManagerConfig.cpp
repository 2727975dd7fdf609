// The "device" section of the configuration: setConfig stores it and pushes
// the parts it names to the device, getConfig reports what is stored, and
// gpioPinSet drives one pin to a record. Device errors here are not
// reported: the stored configuration is what is wanted, and the next
// setConfig tries again.

#include "board/Manager.h"

#include <climits>
#include <string>

#include "foundation/JsonText.h"

namespace tavo::Board {

namespace {

// The period within what a timer takes: a longer one would wrap around to
// a busy loop of heartbeats or a timer that never fires.
int statusPeriodMs(uint64_t period)
{
    return period > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(period);
}

} // namespace

void Manager::setConfig(const nlohmann::json& j)
{
    if (Log::enabled(Log::Debug)) {
        log(Log::Debug, "Setting config to: %s", JsonText::forLog(j).c_str());
    }
    if (j.empty()) {
        return;
    }

    // A pin entry is stored only once it was applied: should anything throw,
    // the pins not applied get their previous entries back, so that no
    // invalid entry is ever saved with the configuration.
    std::vector<nlohmann::json> previousPins;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        for (unsigned long pin = 0; pin < gpios.size(); ++pin) {
            previousPins.push_back(config.pin(pin));
        }
    }
    unsigned long applied = 0;
    try {
        {
            std::lock_guard<std::mutex> lock(configMutex);
            config.fromJson(j);
        }
        if (j.is_object()) {
            if (j.contains("statusPeriod")) {
                applyStatusPeriod();
            }
            if (j.contains("display")) {
                applyDisplay();
            }
            if (j.contains("imu")) {
                applyImu();
            }
            if (j.contains("power")) {
                applyPower();
            }
            if (j.contains("gpio") && !gpios.empty()) {
                applyGpio(j["gpio"], applied);
            }
            if (j.contains("serial") && serialPortCount != 0) {
                applySerial(j["serial"]);
            }
        }
    } catch (...) {
        std::lock_guard<std::mutex> lock(configMutex);
        for (unsigned long pin = applied; pin < gpios.size(); ++pin) {
            config.pinSet(pin, previousPins[pin]);
        }
        throw;
    }

    log(Log::Debug, "Notifying observers of setConfig");
    notifyObservers("onConfigSet", [this](Observer& observer) {
        log(Log::Debug, "Setting config on an observer");
        observer.onConfigSet();
    });
}

nlohmann::json Manager::getConfig()
{
    nlohmann::json j;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        j = config.toJson();
    }
    if (Log::enabled(Log::Debug)) {
        log(Log::Debug, "Getting config... %s", JsonText::forLog(j).c_str());
    }
    return j;
}

void Manager::applyStatusPeriod()
{
    statusTimer.stop();
    uint64_t period;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        period = config.statusPeriod();
    }
    if (period != 0) {
        statusTimer.start(statusPeriodMs(period));
    }
}

// A mode that can't be read is written: the configured one is what counts.
void Manager::applyDisplay()
{
    bool automatic;
    uint64_t brightness;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        automatic = config.displayBrightnessMode();
        brightness = config.displayBrightness();
    }
    int mode = 0;
    const bool known = driver.getDisplayBrightnessMode(mode) == LPCDriver::NoError;
    if (!known || (mode != 0) != automatic) {
        driver.setDisplayBrightnessMode(automatic ? 1 : 0);
    }
    if (!automatic) {
        driver.setDisplayBacklightLevel(static_cast<unsigned char>(brightness & 0xFF));
    }
}

void Manager::applyImu()
{
    int32_t threshold;
    int32_t duration;
    {
        std::lock_guard<std::mutex> lock(configMutex);
        threshold = static_cast<int32_t>(config.imuHighGthreshold());
        duration = static_cast<int32_t>(config.imuHighGduration());
    }
    Variant deviceThreshold;
    Variant deviceDuration;
    driver.getFirmwareParameter("ACC_G_THRESHOLD", deviceThreshold);
    driver.getFirmwareParameter("ACC_G_DURATION", deviceDuration);
    if (deviceThreshold.toInt() != threshold) {
        parametersSet("ACC_G_THRESHOLD", Variant(threshold));
    }
    if (deviceDuration.toInt() != duration) {
        parametersSet("ACC_G_DURATION", Variant(duration));
    }
}

// A rail whose state can't be read is left alone.
void Manager::applyPower()
{
    for (const auto& entry : peripheralToString) {
        const Peripheral peripheral = entry.first;
        const auto devicePeripheral = toDevice(peripheral);
        int state = 0;
        if (translate(driver.getPeripheralPowerState(devicePeripheral, state)) != ErrorCode::Ok) {
            continue;
        }
        bool wanted;
        {
            std::lock_guard<std::mutex> lock(configMutex);
            wanted = config.peripheral(peripheral);
        }
        if ((state != 0) != wanted) {
            driver.setPeripheralPowerState(devicePeripheral, wanted ? 1 : 0);
        }
    }
}

// The entry is applied to a copy of the pin's record, so an invalid one
// leaves the cached record as it was.
void Manager::applyGpio(const nlohmann::json& entries, unsigned long& applied)
{
    if (!entries.is_object()) {
        return;
    }
    for (unsigned long pin = 0; pin < gpios.size(); ++pin) {
        const auto entry = entries.find(std::to_string(pin));
        if (entry == entries.end()) {
            continue;
        }
        if (Log::enabled(Log::Debug)) {
            log(Log::Debug, "Setting pin %lu to %s", pin, JsonText::forLog(*entry).c_str());
        }
        GPIO record = [this, pin] {
            std::lock_guard<std::mutex> lock(gpioMutex);
            return gpios[pin];
        }();
        record.updateFromJson(*entry);
        {
            std::lock_guard<std::mutex> lock(gpioMutex);
            gpios[pin] = record;
        }
        gpioPinSet(pin, record);
        nlohmann::json stored;
        {
            std::lock_guard<std::mutex> lock(gpioMutex);
            stored = gpios[pin].toJson();
        }
        {
            std::lock_guard<std::mutex> lock(configMutex);
            config.pinSet(pin, stored);
        }
        applied = pin + 1;
    }
}

void Manager::applySerial(const nlohmann::json& entries)
{
    if (!entries.is_object()) {
        return;
    }
    for (unsigned long port = 0; port < serialPortCount; ++port) {
        const auto entry = entries.find(std::to_string(port));
        if (entry == entries.end()) {
            continue;
        }
        if (Log::enabled(Log::Debug)) {
            log(Log::Debug, "Setting serial port %lu to %s", port, JsonText::forLog(*entry).c_str());
        }
        Serial::Protocol protocol;
        Serial::Duplex duplex;
        {
            std::lock_guard<std::mutex> lock(configMutex);
            protocol = config.serialProtocol(port);
            duplex = config.serialDuplex(port);
        }
        const int devicePort = static_cast<int>(port);
        driver.setSerialProtocol(devicePort, protocol == Serial::Protocol::rs485 ? LPC_SERIAL_RS485 : LPC_SERIAL_RS232);
        driver.setSerialDuplex(devicePort, duplex == Serial::Duplex::full ? LPC_SERIAL_FULL_DUPLEX : LPC_SERIAL_HALF_DUPLEX);
    }
}

ErrorCode Manager::gpioPinSet(unsigned long pin, const GPIO& gpio)
{
    const uint8_t number = static_cast<uint8_t>(pin);
    {
        std::lock_guard<std::mutex> lock(gpioMutex);
        GPIO* record = gpioRecord(pin);
        if (record == nullptr) {
            return ErrorCode::InvalidArgument;
        }
        log(Log::Debug, "Setting pin %lu", pin);
        if (gpio.mode == GPIO::Mode::output && gpio.encoding == GPIO::Encoding::analog) {
            return ErrorCode::InvalidArgument;
        }
        const ErrorCode result = applyGpioMode(number, *record, gpio.mode, gpio.encoding);
        if (result != ErrorCode::Ok) {
            return result;
        }
    }
    if (gpio.mode == GPIO::Mode::input) {
        return gpioPullResistorSet(number, gpio.resistor);
    }
    return gpioValueSet(number, gpio.value);
}

void Manager::countNamedPinsAtWidest(Config& counted, const nlohmann::json& j) const
{
    const auto entries = j.find("gpio");
    if (entries == j.end() || !entries->is_object()) {
        return;
    }
    for (unsigned long pin = 0; pin < gpios.size(); ++pin) {
        if (entries->find(std::to_string(pin)) != entries->end()) {
            std::lock_guard<std::mutex> lock(gpioMutex);
            counted.pinSet(pin, gpios[pin].widestJson());
        }
    }
}

nlohmann::json Manager::configPreview(const nlohmann::json& j) const
{
    Config preview = [this] {
        std::lock_guard<std::mutex> lock(configMutex);
        return config;
    }();
    if (j.empty()) {
        return preview.toJson();
    }
    // As setConfig, where a throw keeps what was taken before it.
    try {
        preview.fromJson(j);
    } catch (const std::exception&) {
    }
    countNamedPinsAtWidest(preview, j);
    return preview.toJson();
}

nlohmann::json Manager::configPreviewNow(const nlohmann::json& j) const
{
    Config now = [this] {
        std::lock_guard<std::mutex> lock(configMutex);
        return config;
    }();
    countNamedPinsAtWidest(now, j);
    return now.toJson();
}

} // namespace tavo::Board
