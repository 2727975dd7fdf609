#include "board/StressTest.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>

#include "board/Manager.h"
#include "foundation/Log.h"
#include "foundation/Variant.h"

namespace tavo::Board {

StressTest::StressTest(std::shared_ptr<Manager> manager) : mManager(std::move(manager))
{
    // Pins, ports and jacks are fixed at 0; every result is dropped: what
    // the test measures is what the driver counts.
    mTests = {
        {"audioChannelSelectedGet", [this] { int channel; mManager->audioChannelSelectedGet(channel); }},
        {"audioJackConnectedGet", [this] { bool connected; mManager->audioJackConnectedGet(0, connected); }},
        {"audioMutedGet", [this] { bool muted; mManager->audioMutedGet(muted); }},
        {"bootloaderFlagsGet", [this] { mManager->bootloaderFlagsGet(); }},
        {"bootloaderStatusGet", [this] { mManager->bootloaderStatusGet(); }},
        {"caseHeaterEnabledGet", [this] { bool enabled; mManager->caseHeaterEnabledGet(enabled); }},
        {"caseTemperatureGet", [this] { double temperature; mManager->caseTemperatureGet(temperature); }},
        {"displayBrightnessGet", [this] { unsigned char level; mManager->displayBrightnessGet(level); }},
        {"displayBrightnessModeGet", [this] { bool automatic; mManager->displayBrightnessModeGet(automatic); }},
        {"displayBrightnessSensorGet", [this] { unsigned char level; mManager->displayBrightnessSensorGet(level); }},
        {"firmwareVersionGet", [this] { std::string text; mManager->firmwareVersionGet(text); }},
        {"getImuRawData", [this] { IMUData data; mManager->getImuRawData(data); }},
        {"getImuTotalAcceleration", [this] { double total; mManager->getImuTotalAcceleration(total); }},
        {"gpioModeGet", [this] {
             GPIO::Mode mode;
             GPIO::Encoding encoding;
             mManager->gpioModeGet(0, mode, encoding);
         }},
        {"gpioValueGet", [this] { unsigned short value; mManager->gpioValueGet(0, value); }},
        {"hardwareIDGet", [this] { std::string text; mManager->hardwareIDGet(text); }},
        {"hardwareStatusGet", [this] { Hardware::Status status; mManager->hardwareStatusGet(status); }},
        {"hardwareVersionGet", [this] { std::string text; mManager->hardwareVersionGet(text); }},
        {"lcdBacklightColorGet", [this] { Color color; mManager->lcdBacklightColorGet(color); }},
        {"lcdBacklightEnabledGet", [this] { bool enabled; mManager->lcdBacklightEnabledGet(enabled); }},
        {"lcdEnabledGet", [this] { bool enabled; mManager->lcdEnabledGet(enabled); }},
        {"lcdIdleGet", [this] { bool idle; mManager->lcdIdleGet(idle); }},
        {"parameter", [this] {
             Variant value;
             mManager->parametersGet(randomParameterName(), value);
         }},
        {"peripheral", [this] {
             bool powered;
             for (const auto& entry : stringToPeripherals)
                 mManager->peripheralPoweredGet(entry.second, powered);
         }},
        {"poleIDGet", [this] { std::string text; mManager->poleIDGet(text); }},
        {"serialDuplexGet", [this] { Serial::Duplex duplex; mManager->serialDuplexGet(0, duplex); }},
        {"serialProtocolGet", [this] { Serial::Protocol protocol; mManager->serialProtocolGet(0, protocol); }},
        {"systemUptimeGet", [this] { std::chrono::seconds uptime; mManager->systemUptimeGet(uptime); }},
        {"systemVoltageGet", [this] { double volts; mManager->systemVoltageGet(volts); }},
    };
}

std::string StressTest::randomParameterName()
{
    // '0' stands twice so that rand() % 64 indexes the whole text. Names
    // longer than the driver accepts are refused before anything is sent.
    static const char alphabet[] = "00123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_";
    static_assert(sizeof alphabet - 1 == 64, "the alphabet holds 64 characters");
    std::string name(static_cast<size_t>(std::rand() % 200), '\0');
    for (char& c : name)
        c = alphabet[std::rand() % 64];
    return name;
}

void StressTest::execute(std::chrono::seconds duration)
{
    const auto start = std::chrono::steady_clock::now();
    std::random_device device("default");
    std::mt19937 generator(device());
    std::uniform_int_distribution<int> pick(0, static_cast<int>(mTests.size()) - 1);

    while (std::chrono::steady_clock::now() - start < duration) {
        const auto test = std::next(mTests.begin(), pick(generator));
        Log::info("Executing: %s.. ", test->first.c_str());
        test->second();
    }
}

bool StressTest::report(Format format, std::string file) const
{
    const LpcStats stats = mManager->getStats();
    std::string text;
    switch (format) {
    case Format::ini:
        text = stats.toIni();
        break;
    case Format::json:
        text = stats.toJson().dump();
        break;
    }
    Log::info("Report:\n%s", text.c_str());

    FILE* out = std::fopen(file.c_str(), "w");
    if (!out) {
        Log::error("Could not open file '%s': %s", file.c_str(), std::strerror(errno));
        return false;
    }
    // The stream buffers: a full disk may show only when it is closed.
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    const int error = errno;
    if (std::fclose(out) != 0 || !written) {
        Log::error("Could not write file '%s': %s", file.c_str(), std::strerror(written ? errno : error));
        return false;
    }
    return true;
}

} // namespace tavo::Board
