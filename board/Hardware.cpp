#include "board/Hardware.h"

#include <string>

namespace tavo::Board::Hardware {

namespace {

std::string bootReasonName(uint32_t reason)
{
    static const char* const kNames[] = {
        "IgnitionOff", "Overheated", "BrownOutDetected", "SoftReset", "HardReset", "PowerButton", "HardFault",
    };
    const uint32_t low = reason & 0x0F;
    if ((reason & 0x80) != 0 || low >= sizeof kNames / sizeof kNames[0]) {
        return "Undefined";
    }
    return kNames[low];
}

} // namespace

Status::Status(LPCHWStatus status)
    : reason(status.bootReason), wdtTriggered(status.watchdogTriggered != 0), rtcFailed(status.rtcFailed != 0),
      debugEnabled(status.debugEnabled != 0), mcuReset(status.mcuReset != 0)
{
}

nlohmann::json Status::toJson() const
{
    return nlohmann::json{
        {"wdtTriggered", wdtTriggered},
        {"rtcFailed", rtcFailed},
        {"debugEnabled", debugEnabled},
        {"lastBootReason", bootReasonName(reason)},
        {"mcuReset", mcuReset},
    };
}

} // namespace tavo::Board::Hardware
