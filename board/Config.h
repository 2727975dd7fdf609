// The board manager's configuration: polling period, display brightness,
// delayed shutdown, IMU alarm parameters, and the desired state of every
// registered peripheral, GPIO pin and serial port. Its JSON form is the
// "device" section of the configuration file.
//
// Entries exist only once the manager registered them (peripheralSet,
// pinSet, serialProtocolSet/serialDuplexSet); fromJson never adds one.
// No lock: the owner serialises access.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "board/Peripheral.h"
#include "board/Serial.h"
#include "foundation/Log.h"

namespace tavo::Board {

class Config : public Logger {
public:
    // Stores the two feature flags, then the defaults (with their log line).
    Config(bool delayedShutdownSupported, bool driversDisplaySupported);

    // Resets the scalar settings to their defaults; flags and maps are kept.
    void defaults();

    uint64_t statusPeriod() const;
    uint64_t displayBrightness() const;
    uint64_t delayShutdownFor() const;
    uint64_t imuHighGthreshold() const;
    uint64_t imuHighGduration() const;
    // True when the stored mode text is "auto".
    bool displayBrightnessMode() const;

    void statusPeriodSet(uint64_t milliseconds);
    void displayBrightnessSet(uint64_t level);
    void delayShutdownForSet(uint64_t seconds);
    void imuHighGthresholdSet(uint64_t threshold);
    void imuHighGdurationSet(uint64_t duration);
    // Stores "auto" or "manual".
    void displayBrightnessModeSet(bool automatic);

    // The stored flag, false when not registered. Throws std::out_of_range
    // for a value outside 0 to 14.
    bool peripheral(Peripheral peripheral) const;
    // Stores the flag, registering the peripheral. Throws std::out_of_range
    // for a value outside 0 to 14.
    void peripheralSet(Peripheral peripheral, bool on);

    // Throw std::out_of_range for a port that was never registered.
    Serial::Protocol serialProtocol(unsigned long port) const;
    Serial::Duplex serialDuplex(unsigned long port) const;
    // Store one half; an unregistered port starts as (rs232, full).
    void serialProtocolSet(unsigned long port, Serial::Protocol protocol);
    void serialDuplexSet(unsigned long port, Serial::Duplex duplex);

    // The pin's GPIO JSON. Throws std::out_of_range for an unregistered pin.
    nlohmann::json pin(unsigned long pin) const;
    // Stores a copy, registering the pin.
    void pinSet(unsigned long pin, const nlohmann::json& gpio);

    // The "device" section: "statusPeriod" and "imu" always; "power",
    // "gpio" and "serial" when something is registered; "delayShutdownFor"
    // and "display" when the board has the feature.
    nlohmann::json toJson() const;
    // Takes the known keys for registered entries and supported features and
    // ignores everything else. A value the setting cannot hold (another JSON
    // type, a negative or fractional number, one past the setting's range)
    // throws SettingError naming its key path within the section; settings
    // taken before it keep their new values.
    void fromJson(const nlohmann::json& j);

private:
    void fromJsonDisplay(const nlohmann::json& display);
    void fromJsonPower(const nlohmann::json& power);
    void fromJsonGpio(const nlohmann::json& gpio);
    void fromJsonSerial(const nlohmann::json& serial);
    void fromJsonImu(const nlohmann::json& imu);

    bool mDelayedShutdownSupported;
    bool mDriversDisplaySupported;
    uint64_t mStatusPeriod = 0;
    uint64_t mDisplayBrightness = 0;
    uint64_t mDelayShutdownFor = 0;
    uint64_t mImuHighGthreshold = 0;
    uint64_t mImuHighGduration = 0;
    std::string mDisplayBrightnessMode;
    std::map<std::string, bool> mPower;
    std::map<uint64_t, nlohmann::json> mGpio;
    std::map<uint64_t, std::pair<Serial::Protocol, Serial::Duplex>> mSerial;
};

} // namespace tavo::Board
