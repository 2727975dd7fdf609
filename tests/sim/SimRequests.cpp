// The simulated board's answers to the request catalogue: each entry names
// identifier, sub-identifier and the number of argument octets (size
// mismatches are refused with 7 before the handler runs), and reads or
// changes the device state. Arguments out of range get 6.

#include <string>

#include "sim/SimDevice.h"
#include "sim/SimWire.h"

using namespace sim;

namespace {

using Args = const std::vector<uint8_t>&;
using State = SimDeviceState;

std::vector<uint8_t> textOf(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Getter and setter of a one-octet value no larger than max.
SimDevice::Handler getOctet(uint8_t State::*field)
{
    return [field](State& s, Args) { return ok({s.*field}); };
}

SimDevice::Handler setOctet(uint8_t State::*field, uint8_t max)
{
    return [field, max](State& s, Args a) {
        if (a[0] > max)
            return fail(kErrorOutOfRange);
        s.*field = a[0];
        return ok();
    };
}

uint32_t addObject(State& s, SimScreenObject object)
{
    const uint32_t id = s.nextObjectId++;
    s.objects[id] = std::move(object);
    return id;
}

bool validAlignment(uint8_t code)
{
    return (code & 0x0F) <= 2 && (code >> 4) <= 2;
}

} // namespace

void SimDevice::addSystem()
{
    add(0, 0, 0, [](State&, Args) { return ok(); });
    add(0, 1, 0, [](State& s, Args) { return ok(be32(s.uptimeSeconds)); });
    add(0, 2, 0, [](State& s, Args) { return ok(textOf(s.firmwareVersion)); });
    add(0, 3, 0, [](State& s, Args) { return ok(textOf(s.hardwareVersion)); });
    add(0, 4, 0, [](State& s, Args) { return ok(textOf(s.hardwareId)); });
    // The octet before the five status octets counts them.
    add(0, 5, 0, [](State& s, Args) {
        return ok(std::vector<uint8_t>{uint8_t(s.hardwareStatus.size())} +
                  std::vector<uint8_t>(s.hardwareStatus.begin(), s.hardwareStatus.end()));
    });
    add(0, 6, 0, [](State& s, Args) { return ok(textOf(s.poleId)); });
    add(0, 9, 0, [](State& s, Args) {
        ++s.defaultsRestored;
        s.parameters = State::defaultParameters();
        return ok();
    });
}

void SimDevice::addPower()
{
    add(1, 0, 2, [](State& s, Args a) {
        if (a[0] >= State::kPeripherals || a[1] > 1)
            return fail(kErrorOutOfRange);
        s.peripheralPower[a[0]] = a[1];
        return ok();
    });
    add(1, 1, 1, [](State& s, Args a) {
        if (a[0] >= State::kPeripherals)
            return fail(kErrorOutOfRange);
        return ok({a[0], s.peripheralPower[a[0]]});
    });
    add(1, 2, 1, [](State& s, Args a) {
        if (a[0] >= State::kPeripherals)
            return fail(kErrorOutOfRange);
        ++s.peripheralResets[a[0]];
        return ok();
    });
    add(1, 4, 0, getOctet(&State::ignition));
    add(1, 7, 0, getOctet(&State::input));
    add(1, 8, 0, [](State& s, Args) { return ok(be16(s.supplyMillivolts)); });
    add(1, 9, 0, [](State& s, Args) {
        ++s.resets;
        s.uptimeSeconds = 0;
        installFirmware(s);
        return ok();
    });
    add(1, 11, 0, [](State& s, Args) {
        ++s.shutdownDelays;
        return ok();
    });
}

void SimDevice::addDisplayBuzzerAudio()
{
    add(2, 0, 1, setOctet(&State::backlightLevel, 255));
    add(2, 1, 0, getOctet(&State::backlightLevel));
    add(2, 2, 0, getOctet(&State::lightSensorLevel));
    add(2, 3, 1, setOctet(&State::brightnessMode, 1));
    add(2, 4, 0, getOctet(&State::brightnessMode));

    add(3, 0, 5, [](State& s, Args a) {
        s.buzzerOnMs = readBe16(a, 0);
        s.buzzerOffMs = readBe16(a, 2);
        s.buzzerRepeat = a[4];
        return ok();
    });

    add(4, 0, 0, [](State& s, Args) { return ok(be16(uint16_t(s.caseTemperatureCenti))); });
    add(4, 2, 0, getOctet(&State::heater));

    add(5, 1, 0, [](State& s, Args) { return ok(s.jacks); });
    add(5, 2, 0, [](State& s, Args) {
        s.audioChannelAuto = true;
        return ok();
    });
    add(5, 3, 1, [](State& s, Args a) {
        if (a[0] > 2)
            return fail(kErrorOutOfRange);
        s.audioChannel = a[0];
        s.audioChannelAuto = false;
        return ok();
    });
    add(5, 4, 0, getOctet(&State::audioChannel));
    add(5, 5, 1, setOctet(&State::amplifier, 1));
    add(5, 6, 0, getOctet(&State::amplifier));
    add(5, 7, 1, setOctet(&State::mute, 1));
    add(5, 8, 0, getOctet(&State::mute));
}

void SimDevice::addLeds()
{
    add(6, 0, kVariableSize, [](State& s, Args a) {
        if (a.size() < 2)
            return fail(kErrorSize);
        const size_t count = a[1];
        if (count > State::kMaxLedSteps)
            return fail(kErrorOutOfRange);
        if (a.size() != 2 + 8 * count)
            return fail(kErrorSize);
        s.ledRepeat = a[0];
        s.ledPattern.clear();
        for (size_t i = 0; i < count; ++i)
            s.ledPattern.push_back(SimLedStep{readBe32(a, 2 + 8 * i), readBe32(a, 6 + 8 * i)});
        return ok();
    });
    add(6, 1, 4, [](State& s, Args a) {
        s.ledColour = readBe32(a, 0);
        s.ledPattern.clear();
        return ok();
    });
    add(6, 2, 0, [](State& s, Args) {
        s.ledColour = 0;
        s.ledPattern.clear();
        return ok();
    });
}

void SimDevice::addGpio()
{
    // Runs f on the addressed pin, or refuses a pin the board lacks.
    auto pin = [this](uint8_t sub, int argCount, SimReply (*f)(SimPin&, Args)) {
        add(7, sub, argCount, [f](State& s, Args a) {
            if (a[0] >= s.pins.size())
                return fail(kErrorOutOfRange);
            return f(s.pins[a[0]], a);
        });
    };
    pin(0, 2, [](SimPin& p, Args a) {
        if (a[1] > 2)
            return fail(kErrorOutOfRange);
        p.mode = a[1];
        return ok();
    });
    pin(1, 2, [](SimPin& p, Args a) {
        if (p.mode != 0 || a[1] > 1)
            return fail(kErrorOutOfRange);
        p.output = a[1];
        return ok();
    });
    pin(3, 1, [](SimPin& p, Args a) { return ok({a[0], p.input}); });
    pin(4, 1, [](SimPin& p, Args a) { return ok(std::vector<uint8_t>{a[0]} + be16(p.analog)); });
    pin(5, 2, [](SimPin& p, Args a) {
        if (p.mode == 0 || a[1] > 2)
            return fail(kErrorOutOfRange);
        p.pull = a[1];
        return ok();
    });
    pin(6, 1, [](SimPin& p, Args a) { return ok({a[0], p.mode}); });
    pin(7, 1, [](SimPin& p, Args a) { return ok({a[0], p.output}); });
    pin(8, 1, [](SimPin& p, Args a) { return ok({a[0], p.pull}); });
}

void SimDevice::addScreen()
{
    add(8, 0, 0, [](State& s, Args) {
        s.screenStatus = 0;
        return ok();
    });
    add(8, 1, 0, [](State& s, Args) {
        s.screenStatus = 1;
        return ok();
    });
    add(8, 2, 0, [](State& s, Args) {
        s.objects.clear();
        return ok();
    });
    add(8, 7, 0, [](State& s, Args) { return ok(be16(s.screenWidth)); });
    add(8, 8, 0, [](State& s, Args) { return ok(be16(s.screenHeight)); });
    add(8, 9, 0, getOctet(&State::screenStatus));
    add(8, 15, 1, setOctet(&State::font, State::kFonts - 1));
    add(8, 16, 1, setOctet(&State::fontSpacing, 255));
    add(8, 18, 1, [](State& s, Args a) {
        if (!validAlignment(a[0]))
            return fail(kErrorOutOfRange);
        s.textAlign = a[0];
        return ok();
    });
    add(8, 23, 4, [](State& s, Args a) {
        return s.objects.erase(readBe32(a, 0)) == 1 ? ok() : fail(kErrorOutOfRange);
    });
    add(8, 24, 8, [](State& s, Args a) {
        const SimScreenObject blank{SimScreenObject::Blank, int16_t(readBe16(a, 0)), int16_t(readBe16(a, 2)),
                                    int16_t(readBe16(a, 4)), int16_t(readBe16(a, 6)), "", 0};
        return ok(be32(addObject(s, blank)));
    });
    add(8, 32, kVariableSize, [](State& s, Args a) {
        if (a.size() < 8)
            return fail(kErrorSize);
        const SimScreenObject text{SimScreenObject::Text, int16_t(readBe16(a, 0)), int16_t(readBe16(a, 2)),
                                   int16_t(readBe16(a, 4)), int16_t(readBe16(a, 6)),
                                   std::string(a.begin() + 8, a.end()), 0};
        return ok(be32(addObject(s, text)));
    });
    add(8, 34, 9, [](State& s, Args a) {
        if (a[0] >= State::kBitmapBanks)
            return fail(kErrorOutOfRange);
        const SimScreenObject bitmap{SimScreenObject::Bitmap, int16_t(readBe16(a, 1)), int16_t(readBe16(a, 3)),
                                     int16_t(readBe16(a, 5)), int16_t(readBe16(a, 7)), "", a[0]};
        return ok(be32(addObject(s, bitmap)));
    });
    // The backlight colour travels least significant octet first.
    add(8, 35, 3, [](State& s, Args a) {
        s.backlightColour = uint32_t(a[0]) | uint32_t(a[1]) << 8 | uint32_t(a[2]) << 16;
        return ok();
    });
    add(8, 36, 0, [](State& s, Args) {
        const uint32_t c = s.backlightColour;
        return ok({uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
    });
}

void SimDevice::addSerialPrinterImu()
{
    auto port = [this](uint8_t sub, uint8_t SimSerialPort::*field, bool set) {
        add(9, sub, set ? 2 : 1, [field, set](State& s, Args a) {
            if (a[0] >= s.serialPorts.size() || (set && a[1] > 1))
                return fail(kErrorOutOfRange);
            if (!set)
                return ok({a[0], s.serialPorts[a[0]].*field});
            s.serialPorts[a[0]].*field = a[1];
            return ok();
        });
    };
    port(0, &SimSerialPort::protocol, true);
    port(1, &SimSerialPort::protocol, false);
    port(2, &SimSerialPort::duplex, true);
    port(3, &SimSerialPort::duplex, false);

    add(10, 0, 0, [](State& s, Args) {
        ++s.printerCoverOpenings;
        return ok();
    });

    add(11, 0, 0, [](State& s, Args) {
        std::vector<uint8_t> values;
        for (int16_t v : s.imuRaw)
            values = values + be16(uint16_t(v));
        return ok(values);
    });
    add(11, 1, 0, [](State& s, Args) { return ok(be32(s.imuTotalMilliG)); });
}

void SimDevice::addBootloader()
{
    add(12, 1, 0, [](State& s, Args) { return ok(be16(s.bootStatus)); });
    add(12, 2, 0, [](State& s, Args) { return ok({uint8_t(s.bootFlags), uint8_t(s.bootFlags >> 8)}); });
    add(12, 3, 2, [](State& s, Args a) {
        s.bootFlags = uint16_t(a[0] | a[1] << 8);
        return ok();
    });
    add(12, 4, 1, [](State& s, Args a) {
        if (a[0] > 15)
            return fail(kErrorOutOfRange);
        s.bootFlags = uint16_t(s.bootFlags | 1u << a[0]);
        return ok();
    });
    add(12, 5, 1, [](State& s, Args a) {
        if (a[0] > 15)
            return fail(kErrorOutOfRange);
        s.bootFlags = uint16_t(s.bootFlags & ~(1u << a[0]));
        return ok();
    });
}
