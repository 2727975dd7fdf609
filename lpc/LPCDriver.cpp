#include "lpc/LPCDriver.h"

std::string LPCDriver::strerror(ErrorCode code)
{
    static const char* const texts[] = {
        "No error",
        "General/Hardware error",
        "Malformed packet received",
        "The requested API ID is invalid, or not supported",
        "Wrong or unsupported message Type",
        "An invalid command was requested",
        "Command parameter is invalid or out of range",
        "Unexpected message size",
        "Unknown error",
        "A response was not received within the timeout period",
        "Failed to send the API message",
        "Failed to open resource",
    };
    const int index = static_cast<int>(code);
    if (index < 0 || index >= static_cast<int>(sizeof texts / sizeof texts[0]))
        return "Unspecified Error";
    return texts[index];
}
