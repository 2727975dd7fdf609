// The getters of the board's tree.

#include "app/BoardMqttAdaptor.h"

#include <chrono>
#include <string>

#include "app/version/Version.h"
#include "board/Helpers.h"

namespace tavo::Board {

namespace {

using json = nlohmann::json;
using Result = MqttAdaptor::Result;

// {true, value()} when the read succeeded, else {false, the code's name}.
template <typename F>
Result single(ErrorCode code, F value)
{
    if (code != ErrorCode::Ok) {
        return {false, Helpers::errorCodeToString(code)};
    }
    return {true, value()};
}

// The value when the read succeeded, else null.
template <typename T>
json orNull(ErrorCode code, const T& value)
{
    return code == ErrorCode::Ok ? json(value) : json();
}

const char* protocolText(Serial::Protocol protocol)
{
    switch (protocol) {
    case Serial::Protocol::rs232:
        return "rs232";
    case Serial::Protocol::rs485:
        return "rs485";
    }
    return nullptr;
}

// Only an RS-485 port has a duplex worth reporting.
json duplexJson(Serial::Protocol protocol, Serial::Duplex duplex)
{
    if (protocol != Serial::Protocol::rs485) {
        return json();
    }
    switch (duplex) {
    case Serial::Duplex::full:
        return "full";
    case Serial::Duplex::half:
        return "half";
    }
    return json();
}

// The display's backlight level (0-255) as a percentage: levels below 50
// are dark, 50 gives 0 and 255 gives 100.
unsigned brightnessToPercent(unsigned level)
{
    if (level < 50) {
        return 0;
    }
    return static_cast<unsigned>((level - 50) * 100 / 205.0 + 0.5);
}

// The light sensor's level (0-255) as a percentage, truncated.
unsigned sensorToPercent(unsigned level)
{
    return level * 100 / 255;
}

// Out of both enumerations: what a read that left its output alone reports.
constexpr int32_t kUnknown = -1;

} // namespace

Result MqttAdaptor::audioGet()
{
    int channel = 0;
    bool muted = false;
    bool jack1 = false;
    bool jack2 = false;
    json value = json::object();
    value["channel"] = orNull(manager->audioChannelSelectedGet(channel), channel);
    value["mute"] = orNull(manager->audioMutedGet(muted), muted);
    value["jack1"] = orNull(manager->audioJackConnectedGet(0, jack1), jack1);
    value["jack2"] = orNull(manager->audioJackConnectedGet(1, jack2), jack2);
    return {true, value};
}

Result MqttAdaptor::serialGet()
{
    json value;
    for (unsigned long port = 0; port < manager->serialPortCountGet(); ++port) {
        auto duplex = static_cast<Serial::Duplex>(kUnknown);
        auto protocol = static_cast<Serial::Protocol>(kUnknown);
        json& entry = value[std::to_string(port)];
        if (manager->serialDuplexGet(port, duplex) != ErrorCode::Ok ||
            manager->serialProtocolGet(port, protocol) != ErrorCode::Ok) {
            continue;
        }
        const char* protocolName = protocolText(protocol);
        entry = {{"duplex", duplexJson(protocol, duplex)},
                 {"protocol", protocolName ? json(protocolName) : json()}};
    }
    return {true, value};
}

Result MqttAdaptor::gpioGet()
{
    json value;
    for (unsigned long pin = 0; pin < manager->gpioPinCountGet(); ++pin) {
        json& entry = value[std::to_string(pin)];
        GPIO gpio(GPIO::Mode::input, GPIO::Encoding::digital, 0);
        if (manager->gpioPinGet(pin, gpio) != ErrorCode::Ok) {
            continue;
        }
        entry = gpio.toJson();
        if (gpio.mode == GPIO::Mode::input) {
            uint16_t reading = 0;
            entry["value"] = orNull(manager->gpioValueGet(static_cast<uint8_t>(pin), reading), reading);
        }
    }
    return {true, value};
}

Result MqttAdaptor::displayGet()
{
    uint8_t level = 0;
    bool automatic = false;
    uint8_t sensor = 0;
    ErrorCode code = manager->displayBrightnessGet(level);
    if (code == ErrorCode::Ok) {
        code = manager->displayBrightnessModeGet(automatic);
    }
    if (code == ErrorCode::Ok) {
        code = manager->displayBrightnessSensorGet(sensor);
    }
    if (code != ErrorCode::Ok) {
        return {false, Helpers::errorCodeToString(code)};
    }
    return {true,
            {{"brightness", brightnessToPercent(level)},
             {"mode", automatic ? "auto" : "manual"},
             {"sensor", sensorToPercent(sensor)}}};
}

Result MqttAdaptor::lcdGet()
{
    Color color;
    int width = 0;
    int height = 0;
    bool enabled = false;
    bool idle = false;
    bool backlight = false;
    json value = json::object();
    value["color"] = manager->lcdBacklightColorGet(color) == ErrorCode::Ok
                         ? json{{"b", int(color.b)}, {"g", int(color.g)}, {"r", int(color.r)}}
                         : json();
    value["width"] = orNull(manager->lcdGetWidth(width), width);
    value["height"] = orNull(manager->lcdGetHeight(height), height);
    value["enabled"] = orNull(manager->lcdEnabledGet(enabled), enabled);
    value["idle"] = orNull(manager->lcdIdleGet(idle), idle);
    value["backlight"] = orNull(manager->lcdBacklightEnabledGet(backlight), backlight);
    return {true, value};
}

Result MqttAdaptor::powerGet()
{
    json value = json::object();
    for (const auto& [name, peripheral] : stringToPeripherals) {
        bool on = false;
        value[name] = orNull(manager->peripheralPoweredGet(peripheral, on), on);
    }
    return {true, value};
}

Result MqttAdaptor::imuRawDataGet()
{
    IMUData data{};
    return single(manager->getImuRawData(data), [&] {
        return json{{"accx", data.accx},   {"accy", data.accy},   {"accz", data.accz},
                    {"gyrox", data.gyrox}, {"gyroy", data.gyroy}, {"gyroz", data.gyroz}};
    });
}

Result MqttAdaptor::imuTotalAccGet()
{
    double acceleration = 0;
    return single(manager->getImuTotalAcceleration(acceleration),
                  [&] { return json{{"totalAcc", acceleration}}; });
}

Result MqttAdaptor::deviceInfoGet()
{
    std::string firmware;
    std::string id;
    std::string hardware;
    manager->firmwareVersionGet(firmware);
    manager->hardwareIDGet(id);
    manager->hardwareVersionGet(hardware);
    return {true, {{"firmwareVersion", firmware}, {"hardwareId", id}, {"hardwareVersion", hardware}}};
}

Result MqttAdaptor::serviceInfoGet()
{
    return {true, {{"type", "lumacore"}, {"version", getProjectVersion()}}};
}

Result MqttAdaptor::activeGet()
{
    return {true, manager->getIsActive()};
}

Result MqttAdaptor::hardwareStatusGet()
{
    Hardware::Status status;
    const ErrorCode code = manager->hardwareStatusGet(status);
    if (code != ErrorCode::Ok) {
        return {false, Helpers::errorCodeToString(code)};
    }
    json value = status.toJson();
    const auto [bootCode, bootStatus] = manager->bootloaderStatusGet();
    if (bootCode != ErrorCode::Ok) {
        return {false, Helpers::errorCodeToString(bootCode)};
    }
    value["lastBootStatus"] = bootStatus->toJson();
    return {true, value};
}

Result MqttAdaptor::heaterGet()
{
    bool on = false;
    return single(manager->caseHeaterEnabledGet(on), [&] { return json(on); });
}

Result MqttAdaptor::ignitionGet()
{
    bool on = false;
    return single(manager->gpioDigitalInputIgnitionGet(on), [&] { return json(on); });
}

Result MqttAdaptor::poleIDGet()
{
    std::string id;
    return single(manager->poleIDGet(id), [&] { return json(id); });
}

Result MqttAdaptor::temperatureGet()
{
    double celsius = 0;
    return single(manager->caseTemperatureGet(celsius), [&] { return json(celsius); });
}

Result MqttAdaptor::uptimeGet()
{
    std::chrono::seconds uptime{0};
    return single(manager->systemUptimeGet(uptime), [&] { return json(static_cast<int64_t>(uptime.count())); });
}

Result MqttAdaptor::voltageGet()
{
    double volts = 0;
    return single(manager->systemVoltageGet(volts), [&] { return json(volts); });
}

Result MqttAdaptor::serviceGet()
{
    return {true, serviceRunning.load()};
}

} // namespace tavo::Board
