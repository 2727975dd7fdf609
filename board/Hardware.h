// The microcontroller's hardware status decoded: why the board last booted
// and four health flags.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

#include "lpc/LpcTypes.h"

namespace tavo::Board::Hardware {

struct Status {
    // Reads as "Undefined" until filled from the device.
    Status() = default;
    // The boot reason octet as it came; each flag true when its octet is non-zero.
    explicit Status(LPCHWStatus status);

    // {"debugEnabled", "lastBootReason", "mcuReset", "rtcFailed",
    // "wdtTriggered"}; the boot reason is named by the low four bits of
    // `reason`, "Undefined" for 7 to 15 and whenever bit 7 is set.
    nlohmann::json toJson() const;

    uint32_t reason = 0x80;
    bool wdtTriggered = false;
    bool rtcFailed = false;
    bool debugEnabled = false;
    bool mcuReset = false;
};

} // namespace tavo::Board::Hardware
