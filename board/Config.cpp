#include "board/Config.h"

#include <cstdint>

#include "foundation/JsonSetting.h"

namespace tavo::Board {

namespace {

const char* const kMilliseconds = "an unsigned number of milliseconds";
const char* const kSeconds = "an unsigned number of seconds";
const char* const kLevel = "an unsigned number";
// The firmware takes the IMU parameters as signed 32-bit numbers.
const char* const kImuParameter = "an unsigned number up to 2147483647";

} // namespace

Config::Config(bool delayedShutdownSupported, bool driversDisplaySupported)
    : Logger("Lpc::Config"), mDelayedShutdownSupported(delayedShutdownSupported),
      mDriversDisplaySupported(driversDisplaySupported)
{
    defaults();
}

void Config::defaults()
{
    log(Log::Level::Info, "Loading default configuration.");
    mStatusPeriod = 5000;
    mDisplayBrightness = 100;
    mDisplayBrightnessMode = "auto";
    mDelayShutdownFor = 0;
    mImuHighGthreshold = 1200;
    mImuHighGduration = 200;
}

uint64_t Config::statusPeriod() const { return mStatusPeriod; }
uint64_t Config::displayBrightness() const { return mDisplayBrightness; }
uint64_t Config::delayShutdownFor() const { return mDelayShutdownFor; }
uint64_t Config::imuHighGthreshold() const { return mImuHighGthreshold; }
uint64_t Config::imuHighGduration() const { return mImuHighGduration; }
bool Config::displayBrightnessMode() const { return mDisplayBrightnessMode == "auto"; }

void Config::statusPeriodSet(uint64_t milliseconds) { mStatusPeriod = milliseconds; }
void Config::displayBrightnessSet(uint64_t level) { mDisplayBrightness = level; }
void Config::delayShutdownForSet(uint64_t seconds) { mDelayShutdownFor = seconds; }
void Config::imuHighGthresholdSet(uint64_t threshold) { mImuHighGthreshold = threshold; }
void Config::imuHighGdurationSet(uint64_t duration) { mImuHighGduration = duration; }
void Config::displayBrightnessModeSet(bool automatic) { mDisplayBrightnessMode = automatic ? "auto" : "manual"; }

bool Config::peripheral(Peripheral peripheral) const
{
    const auto it = mPower.find(peripheralToString.at(peripheral));
    return it != mPower.end() && it->second;
}

void Config::peripheralSet(Peripheral peripheral, bool on)
{
    mPower[peripheralToString.at(peripheral)] = on;
}

Serial::Protocol Config::serialProtocol(unsigned long port) const
{
    return mSerial.at(port).first;
}

Serial::Duplex Config::serialDuplex(unsigned long port) const
{
    return mSerial.at(port).second;
}

void Config::serialProtocolSet(unsigned long port, Serial::Protocol protocol)
{
    mSerial.try_emplace(port, Serial::Protocol::rs232, Serial::Duplex::full).first->second.first = protocol;
}

void Config::serialDuplexSet(unsigned long port, Serial::Duplex duplex)
{
    mSerial.try_emplace(port, Serial::Protocol::rs232, Serial::Duplex::full).first->second.second = duplex;
}

nlohmann::json Config::pin(unsigned long pin) const
{
    return mGpio.at(pin);
}

void Config::pinSet(unsigned long pin, const nlohmann::json& gpio)
{
    mGpio[pin] = gpio;
}

nlohmann::json Config::toJson() const
{
    nlohmann::json j = nlohmann::json::object();
    j["statusPeriod"] = mStatusPeriod;

    if (!mPower.empty()) {
        nlohmann::json power = nlohmann::json::object();
        for (const auto& [name, on] : mPower) {
            power[name] = on;
        }
        j["power"] = power;
    }
    if (!mGpio.empty()) {
        nlohmann::json gpio = nlohmann::json::object();
        for (const auto& [pin, setting] : mGpio) {
            gpio[std::to_string(pin)] = setting;
        }
        j["gpio"] = gpio;
    }
    if (!mSerial.empty()) {
        nlohmann::json serial = nlohmann::json::object();
        for (const auto& [port, mode] : mSerial) {
            serial[std::to_string(port)] = {
                {"protocol", mode.first == Serial::Protocol::rs232 ? "rs232" : "rs485"},
                {"duplex", mode.second == Serial::Duplex::full ? "full" : "half"},
            };
        }
        j["serial"] = serial;
    }
    if (mDelayedShutdownSupported) {
        j["delayShutdownFor"] = mDelayShutdownFor;
    }
    if (mDriversDisplaySupported) {
        j["display"] = {{"brightness", mDisplayBrightness}, {"mode", mDisplayBrightnessMode}};
    }
    j["imu"] = {{"highGthreshold", mImuHighGthreshold}, {"highGduration", mImuHighGduration}};
    return j;
}

void Config::fromJson(const nlohmann::json& j)
{
    // find on a non-object finds nothing, so such a j changes nothing.
    if (const auto it = j.find("statusPeriod"); it != j.end()) {
        mStatusPeriod = JsonSetting::unsignedNumber(*it, "statusPeriod", kMilliseconds);
    }
    if (const auto it = j.find("display"); mDriversDisplaySupported && it != j.end()) {
        fromJsonDisplay(*it);
    }
    if (const auto it = j.find("power"); it != j.end()) {
        fromJsonPower(*it);
    }
    if (const auto it = j.find("gpio"); it != j.end()) {
        fromJsonGpio(*it);
    }
    if (const auto it = j.find("serial"); it != j.end()) {
        fromJsonSerial(*it);
    }
    if (const auto it = j.find("delayShutdownFor"); mDelayedShutdownSupported && it != j.end()) {
        mDelayShutdownFor = JsonSetting::unsignedNumber(*it, "delayShutdownFor", kSeconds);
    }
    if (const auto it = j.find("imu"); it != j.end()) {
        fromJsonImu(*it);
    }
}

void Config::fromJsonDisplay(const nlohmann::json& display)
{
    if (const auto it = display.find("brightness"); it != display.end()) {
        mDisplayBrightness = JsonSetting::unsignedNumber(*it, "display/brightness", kLevel);
    }
    if (const auto it = display.find("mode"); it != display.end()) {
        mDisplayBrightnessMode = JsonSetting::text(*it, "display/mode");
    }
}

void Config::fromJsonPower(const nlohmann::json& power)
{
    for (auto& [name, on] : mPower) {
        if (const auto it = power.find(name); it != power.end()) {
            on = JsonSetting::boolean(*it, "power/" + name);
        }
    }
}

void Config::fromJsonGpio(const nlohmann::json& gpio)
{
    for (auto& [pin, setting] : mGpio) {
        if (const auto it = gpio.find(std::to_string(pin)); it != gpio.end()) {
            setting = *it;
        }
    }
}

void Config::fromJsonSerial(const nlohmann::json& serial)
{
    for (auto& [port, mode] : mSerial) {
        const auto it = serial.find(std::to_string(port));
        if (it == serial.end()) {
            continue;
        }
        // Only the exact texts count; anything else leaves that half as it is.
        if (const auto p = it->find("protocol"); p != it->end()) {
            if (*p == "rs232") {
                mode.first = Serial::Protocol::rs232;
            } else if (*p == "rs485") {
                mode.first = Serial::Protocol::rs485;
            }
        }
        if (const auto d = it->find("duplex"); d != it->end()) {
            if (*d == "full") {
                mode.second = Serial::Duplex::full;
            } else if (*d == "half") {
                mode.second = Serial::Duplex::half;
            }
        }
    }
}

void Config::fromJsonImu(const nlohmann::json& imu)
{
    if (const auto it = imu.find("highGthreshold"); it != imu.end()) {
        mImuHighGthreshold = JsonSetting::unsignedNumber(*it, "imu/highGthreshold", kImuParameter, INT32_MAX);
    }
    if (const auto it = imu.find("highGduration"); it != imu.end()) {
        mImuHighGduration = JsonSetting::unsignedNumber(*it, "imu/highGduration", kImuParameter, INT32_MAX);
    }
}

} // namespace tavo::Board
