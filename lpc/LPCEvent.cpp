#include "lpc/LPCEvent.h"

#include <locale>
#include <sstream>
#include <utility>

namespace {

// Data[index] when Size covers it, else 0.
unsigned octetAt(const API_Message_t& message, int index)
{
    return index < message.Size ? message.Data[index] : 0;
}

// A double as a default-formatted stream writes it (%g, 6 significant digits).
std::string numberText(double value)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

std::string pairText(unsigned first, unsigned second)
{
    return std::to_string(first) + "," + std::to_string(second);
}

} // namespace

LPCEvent::LPCEvent(int type, std::string name, std::string value)
    : type(type), name(std::move(name)), value(std::move(value)), timestamp(DateTime::currentDateTime())
{
}

LPCEvent LPCEvent::create(const API_Message_t& message)
{
    if (message.Size == 0)
        return LPCEvent(UnknownEvent, "UnknownEvent", "");

    const unsigned id = message.ID;
    const unsigned subId = message.Data[0];
    if (id == 1 && subId == 3)
        return LPCEvent(SystemOff, "SystemOff", "");
    if (id == 1 && subId == 10)
        return LPCEvent(IgnitionChanged, "IgnitionChanged", std::to_string(octetAt(message, 1)));
    if (id == 1 && subId == 5)
        return LPCEvent(PowerButtonPressed, "PowerButtonPressed", std::to_string(octetAt(message, 1)));
    if (id == 4 && subId == 1) {
        const unsigned hundredths = message.Size >= 3 ? (octetAt(message, 1) << 8) | octetAt(message, 2) : 0;
        return LPCEvent(Overtemperature, "Overtemperature", numberText(hundredths / 100.0));
    }
    if (id == 5 && subId == 0)
        return LPCEvent(AudioJackChanged, "AudioJackChanged", pairText(octetAt(message, 1), octetAt(message, 2)));
    if (id == 1 && subId == 6)
        return LPCEvent(InputChanged, "InputChanged", pairText(0, octetAt(message, 1)));
    if (id == 7 && subId == 2)
        return LPCEvent(InputChanged, "InputChanged", pairText(octetAt(message, 1), octetAt(message, 2)));
    if (id == 11 && subId == 2) {
        uint32_t thousandths = 0;
        if (message.Size >= 5) {
            for (int i = 1; i <= 4; ++i)
                thousandths = (thousandths << 8) | octetAt(message, i);
        }
        return LPCEvent(HighGAlarm, "HighGAlarm", numberText(thousandths / 1000.0));
    }
    return LPCEvent(UnknownEvent, "UnknownEvent", "");
}
