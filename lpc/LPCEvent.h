#pragma once
// LPCEvent: something that happened on the board, as the host sees it. Made
// from an indication of the microcontroller (create) or by the driver itself
// (download progress). Values are text so every consumer can publish them
// without knowing their types.

#include <string>

#include "foundation/DateTime.h"
#include "lpc/api.h"

class LPCEvent {
public:
    enum Type : int {
        UnknownEvent = 0,
        SystemOff = 1,
        IgnitionChanged = 2,
        PowerButtonPressed = 3,
        Overtemperature = 4,
        AudioJackChanged = 5,
        InputChanged = 6,
        DownloadProgress = 7,
        HighGAlarm = 8,
    };

    LPCEvent(int type, std::string name, std::string value);
    virtual ~LPCEvent() = default;

    // The event for an indication: looks at ID, Size and Data only. Octets
    // that Size does not cover read as 0; unknown pairs give UnknownEvent.
    static LPCEvent create(const API_Message_t& message);

    int type;
    std::string name;
    std::string value;
    DateTime timestamp; // local time at which the event was made
};
