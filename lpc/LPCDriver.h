#pragma once
// LPCDriver: the one object that talks to the microcontroller.

#include <string>

class LPCDriver {
public:
    // Result of every exchange: 0 to 8 are the microcontroller's Error field
    // passed on unchanged, 9 to 11 the driver's own.
    enum ErrorCode : int {
        NoError = 0,
        GeneralError = 1,
        MalformedPacket = 2,
        InvalidApiId = 3,
        InvalidMessageType = 4,
        InvalidCommand = 5,
        InvalidParameter = 6,
        UnexpectedSize = 7,
        UnknownError = 8,
        Timeout = 9,
        SendFailed = 10,
        OpenFailed = 11,
    };

    // The text of a result code; "Unspecified Error" for any other number.
    static std::string strerror(ErrorCode code);
};
